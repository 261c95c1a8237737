// Line maps: the text forms -A and -D accept, and what a map does to a value.
#include <gtest/gtest.h>

#include <cstring>

#include "line_map.h"

TEST(LineMap, MapsValues)
{
    struct Case {
        const char *text;
        uint32_t value, mapped;
    } cases[] = {
        {"FEDCBA9876543210", 0x00FF, 0x00FF}, {"76543210FEDCBA98", 0x1234, 0x3412},
        {"01234567", 0x01, 0x80}, {"HL543210", 0x5A, 0x9A}, {"LLLLLLLLLLLLLLLL", 0xBEEF, 0x0000},
        // Lower case text is the same map.
        {"fedcba9876543210", 0x0000, 0x0000}, {"fedcba9876543210", 0x1234, 0x1234},
        {"fedcba9876543210", 0x8001, 0x8001}, {"fedcba9876543210", 0xFFFF, 0xFFFF},
        {"hhhhhhhh", 0x00, 0xFF}, {"llllHHHH", 0xA5, 0x0F},
        // One input bit may feed every output bit.
        {"FFFFFFFFFFFFFFFF", 0x8000, 0xFFFF}, {"FFFFFFFFFFFFFFFF", 0xFFFF, 0xFFFF},
        {"FFFFFFFFFFFFFFFF", 0x7FFF, 0x0000},
        // An 8 KiB chip at E000-FFFF sees only A12-A0.
        {"LLLCBA9876543210", 0xE000, 0x0000}, {"LLLCBA9876543210", 0xFFFC, 0x1FFC},
    };
    for (const Case &c : cases) {
        int n = static_cast<int>(strlen(c.text));
        std::optional<LineMap> map = parse_line_map(c.text, n);
        ASSERT_TRUE(map.has_value()) << c.text;
        EXPECT_EQ(c.mapped, map_bits(c.value, n, &*map)) << c.text << " " << c.value;
    }
}

TEST(LineMap, RejectsBadTexts)
{
    EXPECT_FALSE(parse_line_map("FEDCBA987654321", 16));     // one short
    EXPECT_FALSE(parse_line_map("FEDCBA98765432100", 16));   // one long
    EXPECT_FALSE(parse_line_map("", 16));
    EXPECT_FALSE(parse_line_map("76543218", 8));             // bit 8 of a byte
    EXPECT_FALSE(parse_line_map("7654321G", 8));
    EXPECT_FALSE(parse_line_map("7654321 ", 8));
    EXPECT_FALSE(parse_line_map("FEDCBA98", 8));
    EXPECT_FALSE(parse_line_map("76543210x", 8));
}

TEST(HexDigitValue, AcceptsBothCasesOnly)
{
    EXPECT_EQ(0, hex_digit_value('0'));
    EXPECT_EQ(9, hex_digit_value('9'));
    EXPECT_EQ(10, hex_digit_value('a'));
    EXPECT_EQ(15, hex_digit_value('F'));
    for (int c : {int{'G'}, int{'g'}, int{'/'}, int{':'}, int{'@'}, int{'`'}, int{' '}, 0, EOF, 0xE4})
        EXPECT_EQ(-1, hex_digit_value(c)) << c;
}
