#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using WordSplit = kuv_test::ResourceCheckedTest;

struct WordCase {
    int32_t mode;
    const char *separators, *text;
    uint64_t out_size;
    const char *word;
    uint64_t length;
    const char *rest;
};

TEST_F(WordSplit, ModesTrimOrKeepBlanksAndReportTheFullLength) {
    const WordCase cases[] = {
        {KUV_WORD_TRIMMED, ",", "  ab c  ,x", 64, "ab c", 4, ",x"},
        {KUV_WORD_TRIMMED, " ", "  ab cd", 64, "ab", 2, " cd"},  // a blank separator
        {KUV_WORD_TRIMMED, ",", " \t ", 64, "", 0, ""},
        {KUV_WORD_RAW, ",", " ab ,x", 64, " ab ", 4, ",x"},
        {KUV_WORD_RAW, "", "a,b", 64, "a,b", 3, ""},
        {KUV_WORD_RAW, ",", "abcde,", 3, "ab", 5, ","},  // cut copy
        {KUV_WORD_RAW, ",", "a,", 64, "a", 1, ","},
    };
    for (const WordCase &c : cases) {
        char out[64];
        const char *position = c.text;
        EXPECT_EQ(kuv_xapi_get_word_sep(c.mode, c.separators, &position, out, c.out_size), c.length)
            << c.text;
        EXPECT_STREQ(out, c.word) << c.text;
        EXPECT_STREQ(position, c.rest) << c.text;
    }
    char out[4] = "ZZZ";
    const char *position = "abc";
    EXPECT_EQ(kuv_xapi_get_word_sep(KUV_WORD_RAW, ",", &position, out, 0), 3u);
    EXPECT_STREQ(out, "ZZZ");
}

TEST_F(WordSplit, CallerLoopVisitsEveryWordIncludingEmptyOnes) {
    const char *line = " a , b c,,d ";
    for (int32_t mode : {KUV_WORD_TRIMMED, KUV_WORD_RAW}) {
        std::vector<std::string> words;
        const char *position = line;
        for (;;) {
            char *word = kuv_xapi_get_word_sep_alloc(mode, ",", &position);
            ASSERT_NE(word, nullptr);
            words.emplace_back(word);
            kuv_xapi_free(word);
            if (*position == '\0') break;
            ++position;
        }
        if (mode == KUV_WORD_TRIMMED)
            EXPECT_EQ(words, (std::vector<std::string>{"a", "b c", "", "d"}));
        else
            EXPECT_EQ(words, (std::vector<std::string>{" a ", " b c", "", "d "}));
        EXPECT_EQ(kuv_xapi_get_word_sep(mode, ",", &position, nullptr, 0), 0u);
        EXPECT_EQ(position, line + std::strlen(line));  // stays at the terminator
    }
}

TEST_F(WordSplit, MissingPointersReadNothing) {
    char out[8] = "stale";
    const char *position = "a,b";
    const char *missing = nullptr;
    EXPECT_EQ(kuv_xapi_get_word_sep(KUV_WORD_RAW, nullptr, &position, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_STREQ(position, "a,b");
    EXPECT_EQ(kuv_xapi_get_word_sep(KUV_WORD_RAW, ",", nullptr, out, sizeof out), 0u);
    EXPECT_EQ(kuv_xapi_get_word_sep_alloc(KUV_WORD_TRIMMED, ",", &missing), nullptr);
    EXPECT_EQ(kuv_xapi_get_word_sep_alloc(KUV_WORD_TRIMMED, nullptr, &position), nullptr);
}

TEST(Strip, RemovesThePatternWhereFlagsSay) {
    struct {
        const char *text, *pattern;
        uint32_t flags;
        const char *expected;
    } const cases[] = {
        {"xxabcxx", "x", KUV_STRIP_START | KUV_STRIP_END, "abc"},
        {"xxabcxx", "x", 0, "xxabcxx"},
        {"abab", "ab", KUV_STRIP_END, ""},
        {"x", "xx", KUV_STRIP_END, "x"},
        // Everywhere: occurrences that form only where the text closes up
        // stay, and the start and end flags are ignored.
        {"aabb", "ab", KUV_STRIP_ALL, "ab"},
        {"xaxbx", "x", KUV_STRIP_ALL | KUV_STRIP_START, "ab"},
        {"a--b---c", "--", KUV_STRIP_ALL, "ab-c"},
        {"abc", "", KUV_STRIP_ALL, "abc"},
    };
    for (const auto &c : cases) {
        std::string buffer = c.text;
        EXPECT_STREQ(kuv_xapi_strip_string(buffer.data(), c.pattern, c.flags), c.expected)
            << c.text << " / " << c.pattern << " / " << c.flags;
    }
    EXPECT_EQ(kuv_xapi_strip_string(nullptr, "a", KUV_STRIP_ALL), nullptr);
}

TEST(EscapeSequence, DropsSequencesUpToTheirFinalByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x1b[0mok", "ok"},       {"\x1b[1;31mred", "31mred"},  // ';' is a final byte
        {"\x1b\x1bx", "x"},                              // the second escape closes the first
        {"\x1b:5Kz\xe9", "z\xe9"}, {"ab\x1b[12", "ab"},  // cut off at the end of the text
        {"ab\x1b", "ab"},
    };
    for (const auto &[input, expected] : cases) {
        // An exactly sized block lets the sanitizer see a read past the end.
        char *text = kuv_xapi_sys_alloc_string(input.c_str(), 0);
        EXPECT_EQ(kuv_xapi_strip_escape_sequence(text), text);
        EXPECT_EQ(std::string(text), expected);
        kuv_xapi_sys_free(text);
    }
    EXPECT_EQ(kuv_xapi_strip_escape_sequence(nullptr), nullptr);
}

}  // namespace
