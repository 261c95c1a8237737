// Size values of -s and -o.
#include <gtest/gtest.h>

#include "image_job.h"

TEST(ParseSizeValue, DecimalWithOptionalSuffix)
{
    EXPECT_EQ(2048, parse_size_value("2048"));
    EXPECT_EQ(2048, parse_size_value("2K"));
    EXPECT_EQ(1024, parse_size_value("1k"));
    EXPECT_EQ(65536, parse_size_value("64K"));
    EXPECT_EQ(4194304, parse_size_value("4M"));
    EXPECT_EQ(4194304, parse_size_value("4m"));
    EXPECT_EQ(0, parse_size_value(""));
    EXPECT_EQ(0, parse_size_value("0"));
    EXPECT_EQ(0, parse_size_value("K")); // a bare suffix scales nothing
}

TEST(ParseSizeValue, RejectsOtherForms)
{
    for (const char *text : {"x", "1K5", "-5", "+5", " 5", "5 ", "0x10", "4KK", "4G", "1.5M"})
        EXPECT_EQ(-1, parse_size_value(text)) << text;
}

TEST(ParseSizeValue, LargestValueAndNoWrapping)
{
    EXPECT_EQ(2147483647, parse_size_value("2147483647"));
    EXPECT_EQ(2047 * 1048576, parse_size_value("2047M"));
    EXPECT_EQ(-1, parse_size_value("2147483648"));
    EXPECT_EQ(-1, parse_size_value("2048M"));
    EXPECT_EQ(-1, parse_size_value("2097152K"));
    // These used to wrap modulo 2^32 into small, valid-looking values.
    EXPECT_EQ(-1, parse_size_value("4097M"));
    EXPECT_EQ(-1, parse_size_value("4096M"));
    EXPECT_EQ(-1, parse_size_value("4294967296"));
    EXPECT_EQ(-1, parse_size_value("99999999999999999999999"));
}
