#include "common/int_text.h"

#include <gtest/gtest.h>

#include <cstdint>

using tallowfin::ReadIntegerText;

namespace {

std::int32_t Read32(const char* text) { return ReadIntegerText<std::int32_t>(text); }
std::int64_t Read64(const char* text) { return ReadIntegerText<std::int64_t>(text); }

}  // namespace

TEST(IntegerText, ReadsDecimalAndHexadecimalForms)
{
    EXPECT_EQ(Read32("123"), 123);
    EXPECT_EQ(Read32(" 123"), 123);
    EXPECT_EQ(Read32("   +123"), 123);
    EXPECT_EQ(Read32("-123"), -123);
    EXPECT_EQ(Read32("$7B"), 123);
    EXPECT_EQ(Read32("$7b"), 123);
    EXPECT_EQ(Read32("0x7B"), 123);
    EXPECT_EQ(Read32("0X7b"), 123);
    EXPECT_EQ(Read32("x7B"), 123);
    EXPECT_EQ(Read32("X7B"), 123);
    EXPECT_EQ(Read32("-$10"), -16);
    EXPECT_EQ(Read32("0"), 0);
    EXPECT_EQ(Read32("000123"), 123);
}

TEST(IntegerText, AnythingElseReadsAsZero)
{
    for (const char* text : {"", " ", "+", "-", "$", "0x", "x", "123abc", "abc", "12 ", "1 2", "\t1", "1.5", "0x1G",
                             "--1", "+-1", "$-1", "0b1", "1e3"})
        EXPECT_EQ(Read32(text), 0) << '"' << text << '"';
}

TEST(IntegerText, ThirtyTwoBitRange)
{
    EXPECT_EQ(Read32("2147483647"), 2147483647);
    EXPECT_EQ(Read32("-2147483648"), INT32_MIN);
    EXPECT_EQ(Read32("2147483648"), 0);
    EXPECT_EQ(Read32("4294967296"), 0);
    EXPECT_EQ(Read32("-2147483649"), 0);
    // Hexadecimal is a bit pattern of up to eight significant digits.
    EXPECT_EQ(Read32("$FFFFFFFF"), -1);
    EXPECT_EQ(Read32("$80000000"), INT32_MIN);
    EXPECT_EQ(Read32("$00000000FFFFFFFF"), -1);
    EXPECT_EQ(Read32("$100000000"), 0);
}

TEST(IntegerText, SixtyFourBitRange)
{
    EXPECT_EQ(Read64("4294967296"), 4294967296LL);
    EXPECT_EQ(Read64("4294967297"), 4294967297LL);
    EXPECT_EQ(Read64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(Read64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(Read64("9223372036854775808"), 0);
    EXPECT_EQ(Read64("99999999999999999999999"), 0);
    EXPECT_EQ(Read64("$FFFFFFFFFFFFFFFF"), -1);
    EXPECT_EQ(Read64("0x1F"), 31);
    EXPECT_EQ(Read64("$FFFFFFFF"), 4294967295LL);
    EXPECT_EQ(Read64("$10000000000000000"), 0);  // 17 significant digits
    EXPECT_EQ(Read64("-1"), -1);
}
