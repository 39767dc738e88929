#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using Strings = kuv_test::ResourceCheckedTest;

TEST_F(Strings, BoundedCopiesTerminateAtTheLimitAndLeaveTheRest) {
    char dst[16];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(kuv_xapi_copy_string_limit(dst, "0123456789", 4), dst);
    EXPECT_STREQ(dst, "0123");
    EXPECT_EQ(std::string(dst + 5, 11), std::string(11, 'Z'));
    kuv_xapi_copy_string_limit(dst, "0123456789", 0);
    EXPECT_EQ(dst[0], '\0');
    EXPECT_EQ(dst[1], '1');
    kuv_xapi_copy_string_limit(dst, nullptr, 3);
    EXPECT_EQ(dst[1], '1');  // nothing written
    EXPECT_EQ(kuv_xapi_copy_string_limit(nullptr, "ab", 3), nullptr);

    char line[16] = "key=";
    EXPECT_STREQ(kuv_xapi_append_string_limit(line, "value", 3), "key=val");
    EXPECT_STREQ(kuv_xapi_append_string(line, nullptr), "key=val");
    EXPECT_STREQ(kuv_xapi_append_string(line, "!"), "key=val!");
    EXPECT_EQ(kuv_xapi_append_string(nullptr, "x"), nullptr);
}

TEST_F(Strings, LimitedReadsNeverTouchTheByteAfterTheLimit) {
    // An unterminated field at the end of a page, followed by an
    // inaccessible page: one byte read too far faults.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *pages = static_cast<char *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    mprotect(pages + page, page, PROT_NONE);
    char *field = pages + page - 4;
    std::memcpy(field, "abcd", 4);
    EXPECT_EQ(kuv_xapi_string_length_limit(field, 4), 4u);
    EXPECT_EQ(kuv_xapi_string_length_limit(field, 2), 2u);
    char copy[8];
    EXPECT_STREQ(kuv_xapi_copy_string_limit(copy, field, 4), "abcd");
    char *tracked = kuv_xapi_alloc_string(field, 4);
    char *system = kuv_xapi_sys_alloc_string(field, 3);
    EXPECT_STREQ(tracked, "abcd");
    EXPECT_STREQ(system, "abc");
    kuv_xapi_free(tracked);
    kuv_xapi_sys_free(system);
    munmap(pages, 2 * page);

    char *whole = kuv_xapi_alloc_string("abcdef", 0);  // limit 0: all of it
    EXPECT_STREQ(whole, "abcdef");
    kuv_xapi_free(whole);
    EXPECT_EQ(kuv_xapi_string_length_limit("abc", 0), 0u);
}

TEST_F(Strings, NullStringsAndTheTerminatorHaveFixedResults) {
    EXPECT_STREQ(kuv_xapi_check_string(nullptr), "{null}");
    EXPECT_EQ(kuv_xapi_check_string_ex(nullptr, nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_string_length(nullptr), 0u);
    EXPECT_EQ(kuv_xapi_compare_string(nullptr, nullptr), -1);
    EXPECT_EQ(kuv_xapi_compare_case_string_limit(nullptr, "a", 1), -1);
    EXPECT_EQ(kuv_xapi_to_upper_string(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_skip_space(nullptr), nullptr);
    const char *text =
        "a\xE9"
        "ba";
    EXPECT_EQ(kuv_xapi_search_character(text, 0), nullptr);
    EXPECT_EQ(kuv_xapi_rsearch_character(text, 0), nullptr);
    EXPECT_EQ(kuv_xapi_search_character(text, 0x100 | 'a'), text);  // the low byte counts
    EXPECT_EQ(kuv_xapi_rsearch_character(text, 'a'), text + 3);
    EXPECT_EQ(kuv_xapi_search_character(text, -23), text + 1);  // 0xE9 as a signed char
    EXPECT_EQ(kuv_xapi_search_string(text, ""), text);
}

TEST_F(Strings, CaseRulesLeaveTwoByteCharactersAlone) {
    char upper[] =
        "a\xB0"
        "ab";
    EXPECT_STREQ(kuv_xapi_to_upper_string(upper),
                 "A\xB0"
                 "aB");
    // The second byte stays even when it is a letter; the rule covers
    // exactly one byte after the high one.
    char lower[] =
        "\xC3"
        "AAB\xFF";
    EXPECT_STREQ(kuv_xapi_to_lower_string(lower),
                 "\xC3"
                 "Aab\xFF");
    EXPECT_EQ(kuv_xapi_compare_case_string("Content-Length", "content-LENGTH"), 0);
    EXPECT_LT(kuv_xapi_compare_case_string("ABC", "abd"), 0);
    EXPECT_GT(kuv_xapi_compare_case_string("b", "A"), 0);
    EXPECT_EQ(kuv_xapi_compare_case_string_limit("HTTP/1.1", "http/1.0", 7), 0);
    EXPECT_NE(kuv_xapi_compare_case_string_limit("HTTP/1.1", "http/1.0", 8), 0);
    EXPECT_NE(kuv_xapi_compare_case_string("\xC3"
                                           "A",
                                           "\xC3"
                                           "a"),
              0);
    EXPECT_EQ(kuv_xapi_ctype_select('F', KUV_CTYPE_XDIGIT), 1);
    EXPECT_EQ(kuv_xapi_ctype_select('g', KUV_CTYPE_XDIGIT), 0);
    EXPECT_STREQ(kuv_xapi_skip_space(" \t\r\n x "), "x ");
}

}  // namespace
