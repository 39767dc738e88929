#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using Strings = kuv_test::ResourceCheckedTest;

TEST_F(Strings, BoundedCopiesTerminateAtTheLimitAndReadNoFurther) {
    char dst[16];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_STREQ(kuv_xapi_copy_string_limit(dst, "0123456789", 4), "0123");
    EXPECT_EQ(std::string(dst + 5, 11), std::string(11, 'Z'));
    kuv_xapi_copy_string_limit(dst, "0123456789", 0);
    EXPECT_EQ(std::string(dst, 2), std::string("\0001", 2));
    char line[16] = "key=";
    EXPECT_STREQ(kuv_xapi_append_string_limit(line, "value", 3), "key=val");
    EXPECT_EQ(kuv_xapi_append_string(nullptr, "x"), nullptr);
    // An unterminated, exactly sized field lets the sanitizer see a read
    // beyond the limit.
    auto *field = static_cast<char *>(kuv_xapi_sys_alloc(4));
    std::memcpy(field, "abcd", 4);
    EXPECT_EQ(kuv_xapi_string_length_limit(field, 4), 4u);
    EXPECT_STREQ(kuv_xapi_copy_string_limit(dst, field, 4), "abcd");
    char *copy = kuv_xapi_alloc_string(field, 3);
    EXPECT_STREQ(copy, "abc");
    kuv_xapi_free(copy);
    kuv_xapi_sys_free(field);
    // A limit past 32 bits bounds nothing, whatever the width of size_t.
    const uint64_t far = (uint64_t{1} << 32) + 2;
    EXPECT_EQ(kuv_xapi_string_length_limit("abc", far), 3u);
    EXPECT_STREQ(kuv_xapi_copy_string_limit(dst, "abc", far), "abc");
    EXPECT_LT(kuv_xapi_compare_string_limit("abc", "abd", far), 0);
    EXPECT_LT(kuv_xapi_compare_case_string_limit("ABC", "abd", far), 0);
    copy = kuv_xapi_alloc_string("abc", far);
    EXPECT_STREQ(copy, "abc");
    kuv_xapi_free(copy);
}

TEST(StringRules, NullTerminatorAndTwoByteCharactersHaveFixedResults) {
    EXPECT_STREQ(kuv_xapi_check_string(nullptr), "{null}");
    EXPECT_EQ(kuv_xapi_compare_string(nullptr, nullptr), -1);
    const char *text = "a\351ba";
    EXPECT_EQ(kuv_xapi_search_character(text, 0), nullptr);
    EXPECT_EQ(kuv_xapi_rsearch_character(text, 0), nullptr);
    EXPECT_EQ(kuv_xapi_search_character(text, 0x100 | 'a'), text);  // the low byte counts
    EXPECT_EQ(kuv_xapi_search_character(text, -23), text + 1);      // 0351 as a signed char
    char upper[] = "a\260ab";
    EXPECT_STREQ(kuv_xapi_to_upper_string(upper), "A\260aB");
    // Exactly one byte after the high one is kept, letter or not.
    char lower[] = "\303AAB\377";
    EXPECT_STREQ(kuv_xapi_to_lower_string(lower), "\303Aab\377");
    EXPECT_EQ(kuv_xapi_compare_case_string("Content-Length", "content-LENGTH"), 0);
    EXPECT_LT(kuv_xapi_compare_case_string("ABC", "abd"), 0);
    EXPECT_EQ(kuv_xapi_compare_case_string_limit("HTTP/1.1", "http/1.0", 7), 0);
    // A bounded comparison reads nothing past its limit, as strncasecmp:
    // the inputs need no terminator (the sanitizer build sees any over-read).
    const std::vector<char> abc{'A', 'b', 'C'}, abd{'a', 'B', 'd'};
    EXPECT_EQ(kuv_xapi_compare_case_string_limit(abc.data(), abd.data(), 2), 0);
    EXPECT_LT(kuv_xapi_compare_case_string_limit(abc.data(), abd.data(), 3), 0);
    EXPECT_EQ(kuv_xapi_compare_case_string_limit(abc.data(), abd.data(), 0), 0);
    EXPECT_NE(kuv_xapi_compare_case_string("\303A", "\303a"), 0);
}

TEST_F(Strings, WordModesTrimOrKeepBlanksAndReportTheFullLength) {
    // mode, separators, text, out_size, word written, length, rest
    const std::tuple<int32_t, const char *, const char *, uint64_t, const char *, uint64_t,
                     const char *>
        cases[] = {
            {KUV_WORD_TRIMMED, ",", "  ab c  ,x", 64, "ab c", 4, ",x"},
            {KUV_WORD_TRIMMED, " ", "  ab cd", 64, "ab", 2, " cd"},  // a blank separator
            {KUV_WORD_RAW, ",", " ab ,x", 64, " ab ", 4, ",x"},
            {KUV_WORD_RAW, ",", "abcde,", 3, "ab", 5, ","},  // cut copy
            {KUV_WORD_RAW, ",", "a,", 64, "a", 1, ","},
            {KUV_WORD_RAW, ",", "", 64, "", 0, ""},  // at the terminator: stays there
        };
    for (const auto &[mode, separators, text, out_size, word, length, rest] : cases) {
        SCOPED_TRACE(text);
        char out[64];
        const char *position = text;
        EXPECT_EQ(kuv_xapi_get_word_sep(mode, separators, &position, out, out_size), length);
        EXPECT_STREQ(out, word);
        EXPECT_STREQ(position, rest);
        position = text;
        char *whole = kuv_xapi_get_word_sep_alloc(mode, separators, &position);
        EXPECT_EQ(std::strlen(whole), length);
        kuv_xapi_free(whole);
    }
    // Missing pointers read nothing and give the empty word.
    char out[8] = "stale";
    const char *position = "a,b";
    const char *missing = nullptr;
    EXPECT_EQ(kuv_xapi_get_word_sep(KUV_WORD_RAW, nullptr, &position, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(kuv_xapi_get_word_sep_alloc(KUV_WORD_TRIMMED, ",", &missing), nullptr);
}

TEST(Strip, RemovesThePatternWhereFlagsSay) {
    // Flags: 1 start, 2 end, 4 everywhere. Everywhere ignores the other two,
    // and occurrences that form only where the text closes up stay.
    const std::tuple<const char *, const char *, uint32_t, const char *> cases[] = {
        {"xxabcxx", "x", 3, "abc"},    {"xxabcxx", "x", 0, "xxabcxx"}, {"abab", "ab", 2, ""},
        {"x", "xx", 2, "x"},           {"aabb", "ab", 4, "ab"},        {"xaxbx", "x", 5, "ab"},
        {"a--b---c", "--", 4, "ab-c"},
    };
    for (const auto &[text, pattern, flags, expected] : cases) {
        std::string buffer = text;
        EXPECT_STREQ(kuv_xapi_strip_string(buffer.data(), pattern, flags), expected)
            << text << " / " << pattern << " / " << flags;
    }
}

TEST(EscapeSequence, DropsSequencesUpToTheirFinalByte) {
    // ';' is a final byte; a sequence may be cut off by the end of the text,
    // and exactly sized blocks let the sanitizer see a read past it.
    const char *cases[][2] = {{"\x1b[0mok", "ok"}, {"\x1b[1;31mred", "31mred"},
                              {"\x1b\x1bx", "x"},  {"\x1b:5Kz\351", "z\351"},
                              {"ab\x1b[12", "ab"}, {"ab\x1b", "ab"}};
    for (const auto &[input, expected] : cases) {
        char *text = kuv_xapi_sys_alloc_string(input, 0);
        EXPECT_STREQ(kuv_xapi_strip_escape_sequence(text), expected);
        kuv_xapi_sys_free(text);
    }
}

TEST(NumberReader, PrefixDecidesSignAndBaseAndOverflowWraps) {
    const std::tuple<const char *, int32_t, int64_t> cases[] = {
        {"42", 0, 42},     {"-42", 0, -42}, {"+7", 0, 7},    {"0x1A", 0, 26}, {"0x1A", 10, 26},
        {"017", 0, 15},    {"017", 10, 17}, {"0", 0, 0},     {"12ab", 0, 12}, {"ff", 16, 255},
        {"FF", 16, 255},   {"0X10", 0, 0},  {"101", 2, 101}, {" 5", 0, 0},    {"-0x10", 0, 0},
        {"-ff", 16, -255}, {"", 0, 0},      {"fg", 36, 15},  {"19", -5, 19},  {"0777", 1, 511},
    };
    for (const auto &[text, base, expected] : cases) {
        EXPECT_EQ(kuv_xapi_string_to_int32(text, base), expected) << text << " " << base;
        EXPECT_EQ(kuv_xapi_string_to_int64(text, base), expected) << text << " " << base;
    }
    EXPECT_EQ(kuv_xapi_string_to_int("4294967297", 10), 1);  // wraps in 32 bits
    EXPECT_EQ(kuv_xapi_string_to_int64("4294967297", 10), 4294967297);
    EXPECT_EQ(kuv_xapi_string_to_max_int("18446744073709551617", 10), 1);
    // Signs count anywhere in a decimal text; a hexadecimal one takes no prefix.
    EXPECT_EQ(kuv_xapi_is_decimal_string("1-2+3"), 1);
    EXPECT_EQ(kuv_xapi_is_hexa_string("0xdead"), 0);
}

TEST(Pattern, MatchesWithoutBacktracking) {
    // A '*' ends at the first stop byte; where the text has already ended it
    // needs a byte, and a last '*' takes any non-empty rest.
    const std::tuple<const char *, const char *, int32_t> cases[] = {
        // clang-format off
        {"a?c", "abc", 1}, {"a?c", "ac", 0},        {"a*c", "abXc", 1},       {"a*c", "abcXc", 0},
        {"a*c", "ac", 1},  {"abc", "abcd", 0},      {"a\\*b", "a*b", 1},      {"", "", 1},
        {"*?", "abc", 0},  {"*.txt", "a.b.txt", 0}, {"*\\*x", "ab*x", 1},     {"a\\", "a\\", 0},
        {"*\\", "x\\", 0}, {"*", "", 0},            {"abc*", "abc", 0},       {"abc*", "abcd", 1},
        {"a*b*", "ab", 0}, {"a*b*", "abX", 1},      {"\351*", "\351\377", 1}, {"?", "", 0},
        // clang-format on
    };
    for (const auto &[pattern, text, expected] : cases)
        EXPECT_EQ(kuv_xapi_check_pattern(pattern, text), expected) << pattern << " ~ " << text;
    EXPECT_EQ(kuv_xapi_check_pattern(nullptr, "x"), -1);
    EXPECT_EQ(kuv_xapi_check_pattern("", nullptr), 1);
}

}  // namespace
