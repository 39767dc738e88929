#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using Strings = kuv_test::ResourceCheckedTest;

// Bytes placed at the very end of a readable page, followed by an
// inaccessible one: a single byte read too far faults.
class PageEdge {
  public:
    explicit PageEdge(const char *bytes, size_t length) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        base_ = static_cast<char *>(
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + page_, page_, PROT_NONE);
        data_ = base_ + page_ - length;
        std::memcpy(data_, bytes, length);
    }
    ~PageEdge() { munmap(base_, 2 * page_); }
    const char *data() const { return data_; }

  private:
    size_t page_;
    char *base_;
    char *data_;
};

TEST_F(Strings, BoundedCopyTerminatesAtLimitAndLeavesTheRest) {
    char dst[16];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(kuv_xapi_copy_string_limit(dst, "0123456789", 4), dst);
    EXPECT_STREQ(dst, "0123");
    EXPECT_EQ(std::string(dst + 5, 11), std::string(11, 'Z'));

    std::memset(dst, 'Z', sizeof dst);
    kuv_xapi_copy_string_limit(dst, "0123456789", 0);
    EXPECT_EQ(dst[0], '\0');
    EXPECT_EQ(dst[1], 'Z');

    kuv_xapi_copy_string_limit(dst, "ab", 10);
    EXPECT_STREQ(dst, "ab");
    EXPECT_EQ(dst[3], 'Z');  // nothing written after the terminator
    EXPECT_EQ(kuv_xapi_copy_string_limit(dst, nullptr, 3), dst);
    EXPECT_STREQ(dst, "ab");
    EXPECT_EQ(kuv_xapi_copy_string_limit(nullptr, "ab", 3), nullptr);
}

TEST_F(Strings, AppendLimitCountsAppendedBytesOnly) {
    char dst[16] = "key=";
    kuv_xapi_append_string_limit(dst, "value", 3);
    EXPECT_STREQ(dst, "key=val");
    kuv_xapi_append_string(dst, nullptr);
    EXPECT_STREQ(dst, "key=val");
    kuv_xapi_append_string(dst, "!");
    EXPECT_STREQ(dst, "key=val!");
    EXPECT_EQ(kuv_xapi_append_string(nullptr, "x"), nullptr);
    EXPECT_EQ(kuv_xapi_append_string_limit(nullptr, "x", 1), nullptr);
}

TEST_F(Strings, LimitedReadsStopAtTheLimitOfUnterminatedFields) {
    PageEdge field("abcd", 4);  // no terminator before the guard page
    EXPECT_EQ(kuv_xapi_string_length_limit(field.data(), 4), 4u);
    EXPECT_EQ(kuv_xapi_string_length_limit(field.data(), 2), 2u);
    char copy[8];
    kuv_xapi_copy_string_limit(copy, field.data(), 4);
    EXPECT_STREQ(copy, "abcd");
    char *dup = kuv_xapi_alloc_string(field.data(), 4);
    EXPECT_STREQ(dup, "abcd");
    kuv_xapi_free(dup);
    EXPECT_EQ(kuv_xapi_string_length_limit("abc", 10), 3u);
    EXPECT_EQ(kuv_xapi_string_length_limit("abc", 0), 0u);
    EXPECT_EQ(kuv_xapi_string_length_limit(nullptr, 5), 0u);
}

TEST_F(Strings, NullStringsHaveFixedResults) {
    EXPECT_STREQ(kuv_xapi_check_string(nullptr), "{null}");
    EXPECT_STREQ(kuv_xapi_check_string_ex(nullptr, "-"), "-");
    EXPECT_EQ(kuv_xapi_check_string_ex(nullptr, nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_string_length(nullptr), 0u);
    EXPECT_EQ(kuv_xapi_compare_string(nullptr, nullptr), -1);
    EXPECT_EQ(kuv_xapi_compare_string_limit("a", nullptr, 1), -1);
    EXPECT_EQ(kuv_xapi_compare_case_string(nullptr, "a"), -1);
    EXPECT_EQ(kuv_xapi_search_string("abc", nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_to_upper_string(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_skip_space(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_alloc_string(nullptr, 0), nullptr);
    EXPECT_EQ(kuv_xapi_sys_alloc_string(nullptr, 3), nullptr);
}

TEST_F(Strings, SearchesUseTheLowByteAndNeverFindTheTerminator) {
    const char *text =
        "a\xE9"
        "ba";
    EXPECT_EQ(kuv_xapi_search_character(text, 0), nullptr);
    EXPECT_EQ(kuv_xapi_rsearch_character(text, 0), nullptr);
    EXPECT_EQ(kuv_xapi_search_character(text, 0x100 | 'a'), text);
    EXPECT_EQ(kuv_xapi_rsearch_character(text, 'a'), text + 3);
    EXPECT_EQ(kuv_xapi_search_character(text, 0xE9), text + 1);
    EXPECT_EQ(kuv_xapi_rsearch_character("", 'a'), nullptr);
    EXPECT_EQ(kuv_xapi_search_string(text, ""), text);
    EXPECT_EQ(kuv_xapi_search_string(text, "ba"), text + 2);
}

TEST_F(Strings, CaseConversionLeavesTwoByteCharactersAlone) {
    char upper[] =
        "a\xB0"
        "ab";
    EXPECT_STREQ(kuv_xapi_to_upper_string(upper),
                 "A\xB0"
                 "aB");
    // The byte after a high byte stays even when it is an ASCII letter, and
    // the pending state ends after exactly one byte.
    char lower[] =
        "\xC3"
        "AAB\xFF";
    EXPECT_STREQ(kuv_xapi_to_lower_string(lower),
                 "\xC3"
                 "Aab\xFF");
    EXPECT_EQ(kuv_xapi_to_upper('q'), 'Q');
    EXPECT_EQ(kuv_xapi_to_lower(0xC9), 0xC9);
    EXPECT_EQ(kuv_xapi_ctype_select('7', KUV_CTYPE_DIGIT), 1);
    EXPECT_EQ(kuv_xapi_ctype_select('F', KUV_CTYPE_XDIGIT), 1);
    EXPECT_EQ(kuv_xapi_ctype_select('g', KUV_CTYPE_XDIGIT), 0);
    EXPECT_STREQ(kuv_xapi_skip_space(" \t\r\n x "), "x ");
    EXPECT_STREQ(kuv_xapi_skip_space(" \t "), "");
}

TEST_F(Strings, CaseInsensitiveComparisonKeepsOrder) {
    EXPECT_EQ(kuv_xapi_compare_case_string("Content-Length", "content-LENGTH"), 0);
    EXPECT_LT(kuv_xapi_compare_case_string("ABC", "abd"), 0);
    EXPECT_GT(kuv_xapi_compare_case_string("b", "A"), 0);
    EXPECT_EQ(kuv_xapi_compare_case_string_limit("HTTP/1.1", "http/1.0", 7), 0);
    EXPECT_NE(kuv_xapi_compare_case_string_limit("HTTP/1.1", "http/1.0", 8), 0);
    // Two-byte characters are compared as they are: the second byte of
    // "\xC3" "A" is not lowered.
    EXPECT_NE(kuv_xapi_compare_case_string("\xC3"
                                           "A",
                                           "\xC3"
                                           "a"),
              0);
}

TEST_F(Strings, DuplicationLimitZeroMeansWholeString) {
    char *part = kuv_xapi_alloc_string("abcdef", 3);
    char *whole = kuv_xapi_alloc_string("abcdef", 0);
    char *longer = kuv_xapi_sys_alloc_string("abcdef", 100);
    EXPECT_STREQ(part, "abc");
    EXPECT_STREQ(whole, "abcdef");
    EXPECT_STREQ(longer, "abcdef");
    kuv_xapi_free(part);
    kuv_xapi_free(whole);
    kuv_xapi_sys_free(longer);
}

}  // namespace
