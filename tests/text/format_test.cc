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

TEST(FixedFormat, CheckedFormsRefuseMissingBufferOrFormat) {
    char buffer[8];
    EXPECT_EQ(kuv_xapi_sprintf(nullptr, "%d", 1), 0);
    EXPECT_EQ(kuv_xapi_snprintf(buffer, 8, nullptr), 0);
    EXPECT_EQ(kuv_xapi_sprintf(buffer, "%s-%02d", "ab", 7), 5);
    EXPECT_STREQ(buffer, "ab-07");
    EXPECT_EQ(kuv_xapi_snprintf(buffer, 4, "%s", "abcdef"), 6);  // whole length
    EXPECT_STREQ(buffer, "abc");
}

// "<p...>|12345" of exactly length characters from both families: a later
// attempt that did not restart the argument list would print garbage.
void expect_exact_text(uint64_t length) {
    const std::string expected = std::string(length - 6, 'p') + "|12345";
    const std::string prefix = expected.substr(0, length - 6);
    char *tracked = kuv_xapi_alloc_sprintf("%s|%d", prefix.c_str(), 12345);
    char *system = kuv_xapi_sys_alloc_sprintf("%s|%d", prefix.c_str(), 12345);
    EXPECT_EQ(tracked ? std::string(tracked) : "NULL", expected) << length;
    EXPECT_EQ(system ? std::string(system) : "NULL", expected) << length;
    kuv_xapi_free(tracked);
    if (system) kuv_xapi_sys_free(system);
}

TEST_F(AllocFormat, EveryAttemptFormatsTheWholeArgumentList) {
    for (uint64_t length : {10u, 4094u, 4095u, 4096u, 8190u, 8191u, 100000u, 520190u})
        expect_exact_text(length);
}

TEST_F(AllocFormat, TextsBeyondTheLastStepAndFormatterErrorsGiveNull) {
    EXPECT_EQ(kuv_xapi_alloc_sprintf("%520191s", "x"), nullptr);
    EXPECT_EQ(kuv_xapi_sys_alloc_sprintf("%*d", 600000, 1), nullptr);
    EXPECT_EQ(kuv_xapi_alloc_sprintf(nullptr), nullptr);
    // A wide character outside the "C" locale cannot be converted: the
    // formatter reports a negative count.
    EXPECT_EQ(kuv_xapi_alloc_sprintf("ok %ls", L"\u00e9"), nullptr);
    EXPECT_EQ(kuv_xapi_sys_alloc_sprintf("%ls", L"\u20ac"), nullptr);
}

TEST_F(AllocFormat, ThreadsFormatAtOnceAndLeaveNothingBehind) {
    // Short and long texts from threads that then end: a scratch block kept
    // for a thread must go with it (the leak checker sees it otherwise).
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                const int width = i % 3 == 0 ? 5000 : 1;
                char *text = kuv_xapi_alloc_sprintf("%d:%*d", t, width, i);
                std::string digits = std::to_string(i);
                std::string expected = std::to_string(t) + ":" +
                                       std::string(width > 1 ? width - digits.size() : 0, ' ') +
                                       digits;
                if (!text || expected != text) ++failures[t];
                kuv_xapi_free(text);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

char *append_through_list(char *old, const char *format, ...) {
    va_list list;
    va_start(list, format);
    char *text = kuv_xapi_alloc_append_vsprintf(old, format, list);
    va_end(list);
    return text;
}

// Fails the tracked allocation with the given number (1 = the next one).
int g_allocations_until_failure = 0;
void *failing_heap(void *pointer, uint64_t size) {
    if (!pointer && size > 0 && --g_allocations_until_failure == 0) return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

char *append_with_failure(char *old, int failing_allocation) {
    g_allocations_until_failure = failing_allocation;
    kuv_heap_handler_t previous = nullptr;
    kuv_xapi_set_heap_handler(failing_heap, &previous);
    char *result = kuv_xapi_alloc_append_sprintf(old, "%s", "new");
    kuv_xapi_set_heap_handler(previous, nullptr);
    return result;
}

// The fixture's final count proves that every replaced string was released.
TEST_F(AllocFormat, AppendOwnsOldUnlessThePieceFails) {
    char *text = kuv_xapi_alloc_append_sprintf(nullptr, "%s", "a");
    for (int i = 0; i < 3; ++i)
        text = kuv_xapi_alloc_append_sprintf(text, "%d", i);
    const std::string piece(5000, 'x');
    text = append_through_list(text, "%s%c", piece.c_str(), '>');
    EXPECT_EQ(std::string(text), "a012" + piece + ">");
    // No piece (NULL format, text too long, no memory): old comes back.
    EXPECT_EQ(kuv_xapi_alloc_append_sprintf(text, nullptr), text);
    EXPECT_EQ(kuv_xapi_alloc_append_sprintf(text, "%520191s", ""), text);
    EXPECT_EQ(append_with_failure(text, 1), text);
    EXPECT_EQ(std::string(text), "a012" + piece + ">");
    // The joined string cannot be made: old and the piece are both released.
    EXPECT_EQ(append_with_failure(text, 2), nullptr);

    char *sys_text = nullptr;
    for (int i = 0; i < 3; ++i)
        sys_text = kuv_xapi_sys_alloc_append_sprintf(sys_text, "[%d]", i);
    EXPECT_STREQ(sys_text, "[0][1][2]");
    kuv_xapi_sys_free(sys_text);
}

}  // namespace
