#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using AllocFormat = kuv_test::ResourceCheckedTest;
using AppendFormat = kuv_test::ResourceCheckedTest;

TEST(FixedFormat, CheckedFormsRefuseMissingBufferOrFormat) {
    char buffer[8];
    EXPECT_EQ(kuv_xapi_sprintf(nullptr, "%d", 1), 0);
    EXPECT_EQ(kuv_xapi_snprintf(nullptr, 8, "%d", 1), 0);
    EXPECT_EQ(kuv_xapi_snprintf(buffer, 8, nullptr), 0);
    EXPECT_EQ(kuv_xapi_sprintf(buffer, "%s-%02d", "ab", 7), 5);
    EXPECT_STREQ(buffer, "ab-07");
    // A cut text still reports its whole length.
    EXPECT_EQ(kuv_xapi_snprintf(buffer, 4, "%s", "abcdef"), 6);
    EXPECT_STREQ(buffer, "abc");
}

// Formats "<prefix>|<number>" of exactly length characters through the
// argument list, so that a later attempt that did not restart the list
// would print a wrong number or text.
template <typename Format>
void expect_exact_text(uint64_t length, Format format, void (*release)(char *)) {
    const std::string number = "12345";
    const std::string prefix(length - number.size() - 1, 'p');
    char *text = format("%s|%d", prefix.c_str(), 12345);
    ASSERT_NE(text, nullptr) << length;
    EXPECT_EQ(std::strlen(text), length);
    EXPECT_EQ(text, prefix + "|" + number);
    release(text);
}

TEST_F(AllocFormat, EveryAttemptFormatsTheWholeArgumentList) {
    auto tracked = [](const char *f, const char *s, int n) {
        return kuv_xapi_alloc_sprintf(f, s, n);
    };
    auto system = [](const char *f, const char *s, int n) {
        return kuv_xapi_sys_alloc_sprintf(f, s, n);
    };
    auto tracked_free = [](char *s) { kuv_xapi_free(s); };
    auto system_free = [](char *s) { kuv_xapi_sys_free(s); };
    // Around the first and second step, and the longest text there is.
    for (uint64_t length : {10u, 4094u, 4095u, 4096u, 8190u, 8191u, 520190u}) {
        expect_exact_text(length, tracked, tracked_free);
        expect_exact_text(length, system, system_free);
    }
}

TEST_F(AllocFormat, TextsBeyondTheLastStepAreRefused) {
    EXPECT_EQ(kuv_xapi_alloc_sprintf("%520191s", "x"), nullptr);
    EXPECT_EQ(kuv_xapi_sys_alloc_sprintf("%*d", 600000, 1), nullptr);
    char *longest = kuv_xapi_alloc_sprintf("%520190s", "x");
    ASSERT_NE(longest, nullptr);
    EXPECT_EQ(std::strlen(longest), 520190u);
    kuv_xapi_free(longest);
    EXPECT_EQ(kuv_xapi_alloc_sprintf(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_sys_alloc_sprintf(nullptr), nullptr);
}

TEST_F(AllocFormat, ThreadsFormatAtOnceAndLeaveNothingBehind) {
    // Each thread formats short and long texts and ends; a scratch block kept
    // for a thread must go with it (the leak checker sees it otherwise).
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                char *text = kuv_xapi_alloc_sprintf("%d:%*d", t, i % 3 == 0 ? 5000 : 1, i);
                std::string expected =
                    std::to_string(t) + ":" +
                    std::string(i % 3 == 0 ? 5000 - std::to_string(i).size() : 0, ' ') +
                    std::to_string(i);
                if (!text || expected != text) ++failures[t];
                kuv_xapi_free(text);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST_F(AllocFormat, FormatterErrorGivesNull) {
    // A wide character outside the "C" locale cannot be converted: the
    // formatter reports a negative count.
    EXPECT_EQ(kuv_xapi_alloc_sprintf("ok %ls", L"\u00e9"), nullptr);
    EXPECT_EQ(kuv_xapi_sys_alloc_sprintf("%ls", L"\u20ac"), nullptr);
}

TEST_F(AppendFormat, OldIsKeptWhenThePieceCannotBeMade) {
    char *old = kuv_xapi_alloc_string("keep", 0);
    EXPECT_EQ(kuv_xapi_alloc_append_sprintf(old, nullptr), old);
    EXPECT_EQ(kuv_xapi_alloc_append_sprintf(old, "%520191s", ""), old);
    EXPECT_STREQ(old, "keep");
    kuv_xapi_free(old);
    EXPECT_EQ(kuv_xapi_alloc_append_sprintf(nullptr, nullptr), nullptr);
}

TEST_F(AppendFormat, JoinsAndReleasesOldAndPiece) {
    char *text = kuv_xapi_alloc_append_sprintf(nullptr, "%s", "a");
    ASSERT_NE(text, nullptr);
    for (int i = 0; i < 3; ++i)
        text = kuv_xapi_alloc_append_sprintf(text, "%d", i);
    EXPECT_STREQ(text, "a012");
    kuv_xapi_free(text);

    char *sys_text = nullptr;
    for (int i = 0; i < 3; ++i)
        sys_text = kuv_xapi_sys_alloc_append_sprintf(sys_text, "[%d]", i);
    EXPECT_STREQ(sys_text, "[0][1][2]");
    kuv_xapi_sys_free(sys_text);
}

// Fails the tracked allocation with the given number (1 = the next one).
int g_allocations_until_failure = 0;
void *failing_heap(void *pointer, uint64_t size) {
    if (!pointer && size > 0 && --g_allocations_until_failure == 0) return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

TEST_F(AppendFormat, FailedJoinReleasesOldAndReturnsNull) {
    char *old = kuv_xapi_alloc_string("old", 0);
    ASSERT_NE(old, nullptr);
    g_allocations_until_failure = 2;  // the piece succeeds, the join fails
    kuv_heap_handler_t previous = nullptr;
    kuv_xapi_set_heap_handler(failing_heap, &previous);
    char *result = kuv_xapi_alloc_append_sprintf(old, "%s", "new");
    kuv_xapi_set_heap_handler(previous, nullptr);
    EXPECT_EQ(result, nullptr);  // old and the piece are gone: the fixture checks it

    old = kuv_xapi_alloc_string("old", 0);
    g_allocations_until_failure = 1;  // the piece fails: old stays
    kuv_xapi_set_heap_handler(failing_heap, &previous);
    result = kuv_xapi_alloc_append_sprintf(old, "%s", "new");
    kuv_xapi_set_heap_handler(previous, nullptr);
    EXPECT_EQ(result, old);
    kuv_xapi_free(old);
}

char *append_through_list(char *old, const char *format, ...) {
    va_list list;
    va_start(list, format);
    char *text = kuv_xapi_alloc_append_vsprintf(old, format, list);
    va_end(list);
    return text;
}

TEST_F(AppendFormat, ListFormAppendsLongPieces) {
    const std::string piece(5000, 'x');
    char *text = append_through_list(kuv_xapi_alloc_string("<", 0), "%s%c", piece.c_str(), '>');
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text, "<" + piece + ">");
    kuv_xapi_free(text);
}

}  // namespace
