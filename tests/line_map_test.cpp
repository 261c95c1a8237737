// Line maps: the text forms -A and -D accept, and what a map does to a value.
#include <gtest/gtest.h>

#include "line_map.h"

static uint32_t apply(const char *text, int n, uint32_t value)
{
    std::optional<LineMap> map = parse_line_map(text, n);
    EXPECT_TRUE(map.has_value()) << text;
    return map ? map_bits(value, n, &*map) : ~0u;
}

TEST(LineMap, WorkedValues)
{
    EXPECT_EQ(0x00FFu, apply("FEDCBA9876543210", 16, 0x00FF));
    EXPECT_EQ(0x3412u, apply("76543210FEDCBA98", 16, 0x1234));
    EXPECT_EQ(0x80u, apply("01234567", 8, 0x01));
    EXPECT_EQ(0x9Au, apply("HL543210", 8, 0x5A));
    EXPECT_EQ(0x0000u, apply("LLLLLLLLLLLLLLLL", 16, 0xBEEF));
}

TEST(LineMap, LowerCaseTextIsTheSameMap)
{
    for (uint32_t a : {0x0000u, 0x1234u, 0x8001u, 0xFFFFu})
        EXPECT_EQ(a, apply("fedcba9876543210", 16, a));
    EXPECT_EQ(0xFFu, apply("hhhhhhhh", 8, 0x00));
    EXPECT_EQ(0x0Fu, apply("llllHHHH", 8, 0xA5));
}

TEST(LineMap, OneInputBitMayFeedEveryOutputBit)
{
    EXPECT_EQ(0xFFFFu, apply("FFFFFFFFFFFFFFFF", 16, 0x8000));
    EXPECT_EQ(0xFFFFu, apply("FFFFFFFFFFFFFFFF", 16, 0xFFFF));
    EXPECT_EQ(0x0000u, apply("FFFFFFFFFFFFFFFF", 16, 0x7FFF));
}

TEST(LineMap, TiesTopLinesLowForASmallChip)
{
    // An 8 KiB chip at E000-FFFF sees only A12-A0.
    EXPECT_EQ(0x0000u, apply("LLLCBA9876543210", 16, 0xE000));
    EXPECT_EQ(0x1FFCu, apply("LLLCBA9876543210", 16, 0xFFFC));
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

TEST(LineMap, NoMapLeavesValuesAlone)
{
    EXPECT_EQ(0x1234u, map_bits(0x1234, 16, nullptr));
    EXPECT_EQ(0xABCDu, map_address(0xABCD, std::nullopt));
    EXPECT_EQ(0x5Au, map_data(0x5A, std::nullopt));
}

TEST(LineMap, MappedValuesStayInRange)
{
    // Whatever the codes, a mapped data byte cannot reach bit 8.
    std::optional<LineMap> map = parse_line_map("HHHHHHHH", 8);
    ASSERT_TRUE(map);
    EXPECT_EQ(0xFFu, map_data(0x1FF, map));
    EXPECT_EQ(0xFFFFu, map_address(0xFFFF, parse_line_map("HHHHHHHHHHHHHHHH", 16)));
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
