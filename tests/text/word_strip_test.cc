#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using WordSplit = kuv_test::ResourceCheckedTest;

struct Split {
    std::string word;
    uint64_t length;
    std::string rest;
};

Split split_once(int32_t mode, const char *separators, const char *text, uint64_t out_size = 64) {
    char out[64];
    std::memset(out, 'Z', sizeof out);
    const char *position = text;
    uint64_t length = kuv_xapi_get_word_sep(mode, separators, &position, out, out_size);
    return {out_size ? std::string(out) : std::string(), length, position};
}

TEST_F(WordSplit, TrimmedModeKeepsInnerBlanks) {
    Split s = split_once(KUV_WORD_TRIMMED, ",", "  ab c  ,x");
    EXPECT_EQ(s.word, "ab c");
    EXPECT_EQ(s.length, 4u);
    EXPECT_EQ(s.rest, ",x");
    // A blank in the separator set ends the word before it can be trimmed.
    s = split_once(KUV_WORD_TRIMMED, " ", "  ab cd");
    EXPECT_EQ(s.word, "ab");
    EXPECT_EQ(s.rest, " cd");
    s = split_once(KUV_WORD_TRIMMED, ",", " \t ");
    EXPECT_EQ(s.word, "");
    EXPECT_EQ(s.rest, "");
}

TEST_F(WordSplit, RawModeKeepsEveryByte) {
    Split s = split_once(KUV_WORD_RAW, ",", " ab ,x");
    EXPECT_EQ(s.word, " ab ");
    EXPECT_EQ(s.length, 4u);
    EXPECT_EQ(s.rest, ",x");
    s = split_once(KUV_WORD_RAW, "", "a,b");  // no separators: the whole text
    EXPECT_EQ(s.word, "a,b");
}

TEST_F(WordSplit, CutCopyReportsTheFullLength) {
    Split s = split_once(KUV_WORD_RAW, ",", "abcde,", 3);
    EXPECT_EQ(s.word, "ab");
    EXPECT_EQ(s.length, 5u);
    s = split_once(KUV_WORD_RAW, ",", "a,");
    EXPECT_EQ(s.word, "a");
    EXPECT_EQ(s.length, 1u);
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
    }
    // At the terminator the word is empty and the position stays.
    const char *end = line + std::strlen(line);
    const char *position = end;
    EXPECT_EQ(kuv_xapi_get_word_sep(KUV_WORD_TRIMMED, ",", &position, nullptr, 0), 0u);
    EXPECT_EQ(position, end);
}

TEST_F(WordSplit, MissingPointersReadNothing) {
    char out[8] = "stale";
    const char *position = "a,b";
    const char *missing = nullptr;
    EXPECT_EQ(kuv_xapi_get_word_sep(KUV_WORD_RAW, nullptr, &position, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_STREQ(position, "a,b");
    EXPECT_EQ(kuv_xapi_get_word_sep(KUV_WORD_RAW, ",", nullptr, out, sizeof out), 0u);
    EXPECT_EQ(kuv_xapi_get_word_sep(KUV_WORD_RAW, ",", &missing, out, sizeof out), 0u);
    EXPECT_EQ(kuv_xapi_get_word_sep_alloc(KUV_WORD_TRIMMED, nullptr, &position), nullptr);
    EXPECT_EQ(kuv_xapi_get_word_sep_alloc(KUV_WORD_TRIMMED, ",", &missing), nullptr);
    EXPECT_EQ(missing, nullptr);
}

struct StripCase {
    const char *text;
    const char *pattern;
    uint32_t flags;
    const char *expected;
};

TEST(Strip, RemovesThePatternWhereFlagsSay) {
    const StripCase cases[] = {
        {"xxabcxx", "x", KUV_STRIP_START | KUV_STRIP_END, "abc"},
        {"xxabcxx", "x", KUV_STRIP_START, "abcxx"},
        {"xxabcxx", "x", KUV_STRIP_END, "xxabc"},
        {"xxabcxx", "x", 0, "xxabcxx"},
        {"abab", "ab", KUV_STRIP_START | KUV_STRIP_END, ""},
        {"x", "xx", KUV_STRIP_END, "x"},
        // Everywhere: occurrences that form only where text closes up stay,
        // and the start and end flags are ignored.
        {"aabb", "ab", KUV_STRIP_ALL, "ab"},
        {"xaxbx", "x", KUV_STRIP_ALL | KUV_STRIP_START, "ab"},
        {"ababab", "ab", KUV_STRIP_ALL, ""},
        {"a--b---c", "--", KUV_STRIP_ALL, "ab-c"},
        {"abc", "", KUV_STRIP_ALL, "abc"},
    };
    for (const StripCase &c : cases) {
        std::string buffer = c.text;
        EXPECT_STREQ(kuv_xapi_strip_string(buffer.data(), c.pattern, c.flags), c.expected)
            << c.text << " / " << c.pattern << " / " << c.flags;
    }
    char text[] = "abc";
    EXPECT_EQ(kuv_xapi_strip_string(text, nullptr, KUV_STRIP_ALL), text);
    EXPECT_EQ(kuv_xapi_strip_string(nullptr, "a", KUV_STRIP_ALL), nullptr);
}

TEST(EscapeSequence, DropsSequencesUpToTheirFinalByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x1b[0mok", "ok"},
        {"\x1b[1;31mred", "31mred"},  // ';' is a final byte
        {"a\x1b[2Kb\x1b[33mc", "abc"},
        {"\x1b\x1bx", "x"},  // the second escape closes the first
        {"\x1b:5Kz\xe9", "z\xe9"},
        {"plain \xff text", "plain \xff text"},
        {"ab\x1b[12", "ab"},  // cut off at the end of the text
        {"ab\x1b", "ab"},
    };
    for (const auto &[input, expected] : cases) {
        // An exactly sized block lets the sanitizer see a read past the end.
        char *text = kuv_xapi_sys_alloc_string(input.c_str(), 0);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(kuv_xapi_strip_escape_sequence(text), text);
        EXPECT_EQ(std::string(text), expected);
        kuv_xapi_sys_free(text);
    }
    EXPECT_EQ(kuv_xapi_strip_escape_sequence(nullptr), nullptr);
}

}  // namespace
