#include <gtest/gtest.h>

#include <cstdint>

#include "davro_kuv.h"

namespace {

struct NumberCase {
    const char *text;
    int32_t base;
    int64_t expected;
};

TEST(NumberReader, PrefixDecidesSignAndBase) {
    const NumberCase cases[] = {
        {"42", 0, 42},   {"-42", 0, -42},   {"+7", 0, 7},    {"0x1A", 0, 26},  {"0x1A", 10, 26},
        {"017", 0, 15},  {"017", 10, 17},   {"0", 0, 0},     {"12ab", 0, 12},  {"ff", 16, 255},
        {"FF", 16, 255}, {"0X10", 0, 0},    {"101", 2, 101}, {" 5", 0, 0},     {"-0x10", 0, 0},
        {"089", 0, 0},   {"-ff", 16, -255}, {"+0x1", 0, 0},  {"0x", 0, 0},     {"", 0, 0},
        {"fg", 36, 15},  {"10", 36, 36},    {"19", -5, 19},  {"0777", 1, 511}, {"7z", 8, 7},
        {"-", 0, 0},
    };
    for (const NumberCase &c : cases) {
        EXPECT_EQ(kuv_xapi_string_to_int(c.text, c.base), c.expected) << c.text << " " << c.base;
        EXPECT_EQ(kuv_xapi_string_to_int32(c.text, c.base), c.expected) << c.text;
        EXPECT_EQ(kuv_xapi_string_to_int64(c.text, c.base), c.expected) << c.text;
        EXPECT_EQ(kuv_xapi_string_to_max_int(c.text, c.base), c.expected) << c.text;
    }
    EXPECT_EQ(kuv_xapi_string_to_max_int(nullptr, 10), 0);
    // Signs count anywhere in a decimal text; a hexadecimal one takes no prefix.
    EXPECT_EQ(kuv_xapi_is_decimal_string("1-2+3"), 1);
    EXPECT_EQ(kuv_xapi_is_decimal_string(""), 0);
    EXPECT_EQ(kuv_xapi_is_hexa_string("deadBEEF"), 1);
    EXPECT_EQ(kuv_xapi_is_hexa_string("0xdead"), 0);
}

TEST(NumberReader, OverflowWrapsInTheResultWidth) {
    EXPECT_EQ(kuv_xapi_string_to_int32("4294967297", 10), 1);
    EXPECT_EQ(kuv_xapi_string_to_int64("4294967297", 10), 4294967297);
    EXPECT_EQ(kuv_xapi_string_to_int32("2147483648", 10), INT32_MIN);
    EXPECT_EQ(kuv_xapi_string_to_int32("0xffffffff", 0), -1);
    EXPECT_EQ(kuv_xapi_string_to_int64("0xffffffffffffffff", 0), -1);
    EXPECT_EQ(kuv_xapi_string_to_max_int("18446744073709551617", 10), 1);
    EXPECT_EQ(kuv_xapi_string_to_int64("-9223372036854775808", 10), INT64_MIN);
}

struct PatternCase {
    const char *pattern;
    const char *text;
    int32_t expected;
};

TEST(Pattern, MatchesWithoutBacktracking) {
    const PatternCase cases[] = {
        {"a?c", "abc", 1},
        {"a?c", "ac", 0},
        {"a*c", "abXc", 1},
        {"a*c", "abcXc", 0},
        {"a*c", "ac", 1},
        {"*", "abc", 1},
        {"abc", "abcd", 0},
        {"abcd", "abc", 0},
        {"a\\*b", "a*b", 1},
        {"a\\*b", "axb", 0},
        {"", "", 1},
        {"", "x", 0},
        {"*.txt", "notes.txt", 1},
        {"*.txt", "a.b.txt", 0},
        {"*\\*x", "ab*x", 1},
        {"*?", "ab?", 1},
        {"*?", "abc", 0},
        {"a\\", "a", 0},
        {"a\\", "a\\", 0},
        {"*\\", "x\\", 0},
        {"?", "", 0},
        // A '*' where the text has ended needs a byte; a last '*' takes any
        // non-empty rest.
        {"*", "", 0},
        {"abc*", "abc", 0},
        {"abc*", "abcd", 1},
        {"a*b*", "ab", 0},
        {"a*b*", "abX", 1},
        {"\xe9*", "\xe9\xff", 1},
    };
    for (const PatternCase &c : cases)
        EXPECT_EQ(kuv_xapi_check_pattern(c.pattern, c.text), c.expected)
            << c.pattern << " ~ " << c.text;
    EXPECT_EQ(kuv_xapi_check_pattern(nullptr, "x"), -1);
    EXPECT_EQ(kuv_xapi_check_pattern("", nullptr), 1);
    EXPECT_EQ(kuv_xapi_check_pattern("*", nullptr), 0);
}

}  // namespace
