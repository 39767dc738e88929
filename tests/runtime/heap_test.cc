#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using kuv_test::OutputCapture;

const char kBrokenLines[] = "=> REVERSE DUMP\nkuv: [FATAL-ERROR] heap broken\n";

struct Counters {
    uint64_t size = kuv_xapi_get_allocated_memory_size();
    uint64_t count = kuv_xapi_get_allocated_memory_count();
};

TEST(TrackedHeap, RoundsToFourAndCountsEachBlock) {
    Counters before;
    void *block = kuv_xapi_alloc(1);
    ASSERT_NE(block, nullptr);
    uint64_t header[2];
    std::memcpy(header, static_cast<char *>(block) - 16, sizeof header);
    EXPECT_EQ(header[0], reinterpret_cast<uint64_t>(static_cast<char *>(block) - 16));
    EXPECT_EQ(header[1], 4u);
    uint32_t guard;
    std::memcpy(&guard, static_cast<char *>(block) + 4, sizeof guard);
    EXPECT_EQ(guard, 0xA55A55AAu);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 4);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
    EXPECT_EQ(kuv_xapi_free(block), nullptr);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

TEST(TrackedHeap, PeakStaysAtItsMaximum) {
    void *big = kuv_xapi_alloc(1 << 20);
    ASSERT_NE(big, nullptr);
    uint64_t peak = kuv_xapi_get_allocated_memory_peak_size();
    EXPECT_GE(peak, uint64_t{1} << 20);
    kuv_xapi_free(big);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_peak_size(), peak);
    kuv_heap_info_t copy;
    EXPECT_EQ(kuv_xapi_get_heap_info(&copy), &copy);
    EXPECT_EQ(copy.allocated_memory_peak_size, peak);
    EXPECT_EQ(kuv_xapi_get_heap_info(nullptr)->allocated_memory_peak_size, peak);
}

TEST(TrackedHeap, WritesInsideTheRoundingGoUnnoticed) {
    Counters before;
    auto *block = static_cast<unsigned char *>(kuv_xapi_alloc(5));
    ASSERT_NE(block, nullptr);
    block[5] = block[6] = block[7] = 0xEE;
    OutputCapture err(2);
    kuv_xapi_free(block);
    EXPECT_EQ(err.finish(), "");
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

TEST(TrackedHeap, DamagedGuardIsReportedAndBlockLeftAlone) {
    Counters before;
    auto *block = static_cast<unsigned char *>(kuv_xapi_alloc(5));
    ASSERT_NE(block, nullptr);
    block[8] ^= 0xFF;  // first byte of the guard
    OutputCapture err(2);
    EXPECT_EQ(kuv_xapi_free(block), nullptr);
    EXPECT_EQ(err.finish(), kBrokenLines);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 8);
    // Repair and release for real so the process stays clean.
    block[8] ^= 0xFF;
    kuv_xapi_free(block);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

TEST(TrackedHeap, DamagedBaseIsReportedEvenWithIntactGuard) {
    Counters before;
    auto *block = static_cast<unsigned char *>(kuv_xapi_alloc(16));
    ASSERT_NE(block, nullptr);
    block[-16] ^= 0x10;  // a write in front of the user bytes
    OutputCapture err(2);
    kuv_xapi_free(block);
    EXPECT_EQ(err.finish(), kBrokenLines);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
    block[-16] ^= 0x10;
    kuv_xapi_free(block);
}

TEST(TrackedHeap, DamagedSizeIsReportedWithoutReadingFarAway) {
    auto *block = static_cast<unsigned char *>(kuv_xapi_alloc(16));
    ASSERT_NE(block, nullptr);
    uint64_t original;
    std::memcpy(&original, block - 8, sizeof original);
    uint64_t wild = uint64_t{1} << 40;
    std::memcpy(block - 8, &wild, sizeof wild);
    OutputCapture err(2);
    kuv_xapi_free(block);
    // A resize of the damaged block still returns a new one and copies
    // nothing from the wild length.
    void *moved = kuv_xapi_realloc(block, 64);
    EXPECT_EQ(err.finish(), std::string(kBrokenLines) + kBrokenLines);
    ASSERT_NE(moved, nullptr);
    kuv_xapi_free(moved);
    std::memcpy(block - 8, &original, sizeof original);
    kuv_xapi_free(block);
}

TEST(TrackedHeap, ResizeKeepsBlockOnlyForTheStoredSize) {
    Counters before;
    auto *block = static_cast<char *>(kuv_xapi_alloc(5));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "abcde", 5);
    EXPECT_EQ(kuv_xapi_realloc(block, 8), block);  // stored size is 8
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);

    auto *moved = static_cast<char *>(kuv_xapi_realloc(block, 5));  // 5 != 8: a new block
    ASSERT_NE(moved, nullptr);
    EXPECT_NE(moved, block);
    EXPECT_EQ(std::memcmp(moved, "abcde", 5), 0);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 8);

    auto *grown = static_cast<char *>(kuv_xapi_realloc(moved, 4000));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::memcmp(grown, "abcde", 5), 0);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 4000);
    kuv_xapi_free(grown);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

TEST(TrackedHeap, FailedResizeLeavesTheOldBlockValid) {
    auto *block = static_cast<char *>(kuv_xapi_alloc(8));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "1234567", 8);
    OutputCapture err(2);
    EXPECT_EQ(kuv_xapi_realloc(block, UINT64_MAX - 8), nullptr);
    EXPECT_EQ(err.finish(), "kuv: [ERROR] not enough memory! maybe bug! (overflow size)\n");
    EXPECT_STREQ(block, "1234567");
    kuv_xapi_free(block);
}

TEST(TrackedHeap, NullReleaseWarnsInBothFamilies) {
    OutputCapture err(2);
    EXPECT_EQ(kuv_xapi_free(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_sys_free(nullptr), nullptr);
    EXPECT_EQ(err.finish(),
              "kuv: [WARNING] null pointer free ? \nkuv: [WARNING] null pointer free ? \n");
}

TEST(TrackedHeap, CallocClearsAndRefusesAnOverflowingProduct) {
    Counters before;
    auto *cleared = static_cast<unsigned char *>(kuv_xapi_calloc(10, 7));
    ASSERT_NE(cleared, nullptr);
    for (int i = 0; i < 70; ++i)
        EXPECT_EQ(cleared[i], 0) << i;
    kuv_xapi_free(cleared);
    EXPECT_EQ(kuv_xapi_calloc(uint64_t{1} << 33, uint64_t{1} << 33), nullptr);
    EXPECT_EQ(kuv_xapi_debug_calloc(UINT64_MAX, 2), nullptr);
    EXPECT_EQ(kuv_xapi_sys_calloc(UINT64_MAX / 2, 3), nullptr);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

TEST(TrackedHeap, SystemFamilyIsNotCounted) {
    Counters before;
    void *block = kuv_xapi_sys_alloc(100);
    ASSERT_NE(block, nullptr);
    block = kuv_xapi_sys_realloc(block, 200);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
    EXPECT_EQ(kuv_xapi_sys_free(block), nullptr);
}

TEST(TrackedHeap, LegacyReleaseClearsTheVariable) {
    EXPECT_EQ(kuv_xapi_mem_free_legacy_v1_by_windows_team(nullptr), 0);
    void *block = kuv_xapi_alloc(3);
    EXPECT_EQ(kuv_xapi_mem_free_legacy_v1_by_windows_team(&block), 0);
    EXPECT_EQ(block, nullptr);
}

// A handler that counts its calls by operation and serves from the
// checking heap.
struct HandlerCalls {
    int allocate = 0, release = 0, resize = 0;
};
HandlerCalls g_calls;
void *g_release_result;

void *counting_handler(void *pointer, uint64_t size) {
    if (!pointer && size) ++g_calls.allocate;
    if (pointer && !size) {
        ++g_calls.release;
        kuv_xapi_debug_free(pointer);
        return g_release_result;
    }
    if (pointer && size) ++g_calls.resize;
    return kuv_xapi_heap_debug(pointer, size);
}

TEST(HeapHandler, DispatchesEveryOperationAndDebugFamilyStillCounts) {
    g_calls = {};
    kuv_heap_handler_t previous = counting_handler;
    EXPECT_EQ(kuv_xapi_set_heap_handler(counting_handler, &previous), 1u);
    EXPECT_EQ(previous, nullptr);

    Counters before;
    void *block = kuv_xapi_alloc(10);
    block = kuv_xapi_realloc(block, 40);
    void *cleared = kuv_xapi_calloc(2, 3);
    g_release_result = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(kuv_xapi_free(block), reinterpret_cast<void *>(0x1));  // handed back unchanged
    g_release_result = nullptr;
    kuv_xapi_free(cleared);
    EXPECT_EQ(g_calls.allocate, 2);
    EXPECT_EQ(g_calls.resize, 1);
    EXPECT_EQ(g_calls.release, 2);

    void *direct = kuv_xapi_debug_alloc(12);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
    kuv_xapi_debug_free(direct);
    EXPECT_EQ(g_calls.allocate, 2);  // the debug family bypasses the handler

    EXPECT_EQ(kuv_xapi_set_heap_handler(nullptr, &previous), 1u);
    EXPECT_EQ(previous, counting_handler);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

}  // namespace
