#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using AllocFormat = kuv_test::ResourceCheckedTest;
using PathName = kuv_test::ResourceCheckedTest;

TEST_F(AllocFormat, TextsUpToTheLastStepComeWholeAndLongerOnesGiveNull) {
    // "<p...>|12345" of exactly length characters from both families: a later
    // attempt that did not restart the argument list would print garbage.
    // Longest last, then longest first: the scratch block a thread keeps
    // after a long text serves the shorter ones that follow.
    for (size_t length :
         {10u, 4094u, 4095u, 8191u, 65534u, 65535u, 520190u, 65534u, 8191u, 4095u, 10u}) {
        const std::string prefix(length - 6, 'p');
        char *tracked = kuv_xapi_alloc_sprintf("%s|%d", prefix.c_str(), 12345);
        char *system = kuv_xapi_sys_alloc_sprintf("%s|%d", prefix.c_str(), 12345);
        EXPECT_EQ(std::string(tracked ? tracked : "NULL"), prefix + "|12345") << length;
        EXPECT_EQ(std::string(system ? system : "NULL"), prefix + "|12345") << length;
        kuv_xapi_free(tracked);
        kuv_xapi_sys_free(system);
    }
    EXPECT_EQ(kuv_xapi_alloc_sprintf("%520191s", "x"), nullptr);
    // A wide character outside the "C" locale cannot be converted: the
    // formatter reports a negative count.
    EXPECT_EQ(kuv_xapi_alloc_sprintf("ok %ls", L"\u00e9"), nullptr);
    EXPECT_EQ(kuv_xapi_alloc_sprintf(nullptr), nullptr);
}

// How many times text stands in the process's writable memory right
// behind lead (a copy of a formatted text, not of the argument it was made
// from), outside the reader's own area.
int copies_in_memory(std::string_view lead, std::string_view text) {
    FILE *maps = std::fopen("/proc/self/maps", "r");
    const int memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    const size_t area_size = 1 << 20, overlap = lead.size() + text.size();
    char *area = static_cast<char *>(std::malloc(area_size));
    const auto area_at = reinterpret_cast<uintptr_t>(area);
    int copies = 0;
    char line[512];
    while (maps && memory >= 0 && area && std::fgets(line, sizeof line, maps)) {
        uintptr_t from = 0, to = 0;
        char access[5] = {};
        // Only writable data; the sanitizer's vast shadow areas are skipped.
        if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %4s", &from, &to, access) != 3 ||
            std::strncmp(access, "rw", 2) != 0 || to - from > (1ul << 30))
            continue;
        for (uintptr_t at = from; at < to; at += area_size - overlap) {
            const ssize_t got = pread(memory, area, std::min<uintptr_t>(area_size, to - at),
                                      static_cast<off_t>(at));
            if (got <= 0) break;
            const std::string_view bytes(area, static_cast<size_t>(got));
            for (size_t found = bytes.find(text, lead.size()); found != bytes.npos;
                 found = bytes.find(text, found + 1)) {
                const uintptr_t place = at + found;
                if ((place < area_at || place >= area_at + area_size) &&
                    bytes.substr(found - lead.size(), lead.size()) == lead)
                    ++copies;
            }
            if (static_cast<uintptr_t>(got) < area_size) break;
        }
    }
    std::free(area);
    if (memory >= 0) close(memory);
    if (maps) std::fclose(maps);
    return copies;
}

TEST_F(AllocFormat, KeepsNoCopyOfTheTextsItFormats) {
    // A password made at run time, so that the program holds no copy of it;
    // the caller wipes the one formatted string there is.
    char secret[32];
    std::snprintf(secret, sizeof secret, "pw-%08x-%08x", static_cast<unsigned>(getpid()),
                  0x5eC7e7u);
    for (auto format : {kuv_xapi_alloc_sprintf, kuv_xapi_sys_alloc_sprintf}) {
        char *text = format("PASS %s\r\n", secret);
        ASSERT_NE(text, nullptr);
        explicit_bzero(text, std::strlen(text));
        if (format == kuv_xapi_alloc_sprintf)
            kuv_xapi_free(text);
        else
            kuv_xapi_sys_free(text);
        // The scratch block the thread keeps for the next text keeps none
        // of this one.
        EXPECT_EQ(copies_in_memory("PASS ", secret), 0);
    }
}

TEST_F(AllocFormat, ThreadsFormatAtOnceAndTakeTheirScratchBlockWithThem) {
    // A scratch block kept for a thread must go when the thread ends (the
    // leak checker sees it otherwise) and never serve two threads.
    std::atomic<int> failures{0};
    auto work = [&failures] {
        for (int i = 0; i < 3000; ++i) {
            const int width = i % 3 == 0 ? 5000 : 1;
            char *text = kuv_xapi_alloc_sprintf("%*d", width, i);
            if (!text || std::strlen(text) < size_t(width) || std::atoi(text) != i) ++failures;
            kuv_xapi_free(text);
        }
    };
    std::thread first(work), second(work);
    first.join();
    second.join();
    EXPECT_EQ(failures, 0);
}

// Fails the tracked allocation with the given number (1 = the next one).
int g_allocations_until_failure = 0;
void *failing_heap(void *pointer, uint64_t size) {
    if (!pointer && size > 0 && --g_allocations_until_failure == 0) return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

char *append_with_failure(char *old, int failing_allocation) {
    g_allocations_until_failure = failing_allocation;
    kuv_xapi_set_heap_handler(failing_heap, nullptr);
    char *result = kuv_xapi_alloc_append_sprintf(old, "%s", "new");
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    return result;
}

// The fixture's final count proves that every replaced string was released.
TEST_F(AllocFormat, AppendOwnsOldUnlessThePieceFails) {
    char *text = kuv_xapi_alloc_append_sprintf(nullptr, "%s", "a");
    text = kuv_xapi_alloc_append_sprintf(text, "%d", 12);
    // No piece (NULL format, text too long, no memory): old comes back.
    EXPECT_EQ(kuv_xapi_alloc_append_sprintf(text, nullptr), text);
    EXPECT_EQ(kuv_xapi_alloc_append_sprintf(text, "%520191s", ""), text);
    EXPECT_EQ(append_with_failure(text, 1), text);
    EXPECT_STREQ(text, "a12");
    // The joined string cannot be made: old and the piece are both released.
    EXPECT_EQ(append_with_failure(text, 2), nullptr);
    // The system family joins and releases on the system heap alone.
    char *plain = kuv_xapi_sys_alloc_append_sprintf(nullptr, "%s", "x");
    plain = kuv_xapi_sys_alloc_append_sprintf(plain, "%d", 7);
    EXPECT_EQ(kuv_xapi_sys_alloc_append_sprintf(plain, nullptr), plain);
    EXPECT_STREQ(plain, "x7");
    kuv_xapi_sys_free(plain);
}

TEST_F(PathName, SplitsAtTheLastComponent) {
    const std::tuple<const char *, const char *, const char *> cases[] = {
        // clang-format off
        {"/usr/lib", "lib", "/usr"}, {"/usr//lib//", "lib", "/usr"}, {"/a", "a", "/"},
        {"//a", "a", "/"},           {"/", "/", "/"},                {"///", "/", "/"},
        {"abc", "abc", "."},         {"../", "..", "."},             {"", "", "."},
        // clang-format on
    };
    for (const auto &[path, base, dir] : cases) {
        std::string base_buffer = path, dir_buffer = path;
        EXPECT_STREQ(kuv_xapi_basename(base_buffer.data()), base) << path;
        EXPECT_STREQ(kuv_xapi_dirname(dir_buffer.data()), dir) << path;
    }
    char trailing[] = "/usr/lib//";
    EXPECT_EQ(kuv_xapi_basename(trailing), trailing + 5);
    EXPECT_STREQ(trailing, "/usr/lib");  // cut in the caller's buffer
    EXPECT_STREQ(kuv_xapi_basename(nullptr), ".");
    char *dot = kuv_xapi_alloc_basename(nullptr);  // a new block, released by the caller
    EXPECT_STREQ(dot, ".");
    kuv_xapi_free(dot);
}

}  // namespace
