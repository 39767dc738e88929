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
    EXPECT_EQ(kuv_xapi_string_length_limit(field, 1), 1u);
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
            {KUV_WORD_TRIMMED, ",", "  ,x", 64, "", 0, ",x"},  // blanks only
            {KUV_WORD_RAW, ",", "abcde,", 3, "ab", 5, ","},    // cut copy
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

// One case each of stripping, escape removal, number reading and pattern
// matching; the text fuzz targets hold every other input against their
// references.
TEST(TextRules, StripEscapeNumberAndPatternGiveTheirResults) {
    std::string buffer = "xxabcxx";
    EXPECT_STREQ(kuv_xapi_strip_string(buffer.data(), "x", KUV_STRIP_START | KUV_STRIP_END), "abc");
    EXPECT_STREQ(kuv_xapi_strip_string(buffer.data(), "", KUV_STRIP_ALL), "abc");
    // ';' is a final byte; the exactly sized block shows a read past it.
    char *text = kuv_xapi_sys_alloc_string("\x1b[1;31mred", 0);
    EXPECT_STREQ(kuv_xapi_strip_escape_sequence(text), "31mred");
    kuv_xapi_sys_free(text);
    EXPECT_EQ(kuv_xapi_string_to_int32("0x1A", 0), 26);
    EXPECT_EQ(kuv_xapi_string_to_int64("4294967297", 10), 4294967297);
    EXPECT_EQ(kuv_xapi_string_to_int("11", 2), 11);  // base 2 selects the default
    EXPECT_EQ(kuv_xapi_string_to_int("-12", 10), -12);
    EXPECT_EQ(kuv_xapi_is_decimal_string("1-2+3"), 1);
    // A '*' ends at the first stop byte, without backtracking.
    EXPECT_EQ(kuv_xapi_check_pattern("a*c", "abXc"), 1);
    EXPECT_EQ(kuv_xapi_check_pattern("a*c", "abcXc"), 0);
}

}  // namespace
