#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using kuv_test::OutputCapture;

const char kBrokenLines[] = "=> REVERSE DUMP\nkuv: [FATAL-ERROR] heap broken\n";

struct Counters {
    uint64_t size = kuv_xapi_get_allocated_memory_size();
    uint64_t count = kuv_xapi_get_allocated_memory_count();
};

TEST(TrackedHeap, LaysOutRoundedBlocksAndCountsThem) {
    Counters before;
    auto *block = static_cast<char *>(kuv_xapi_alloc(1));
    ASSERT_NE(block, nullptr);
    uint64_t header[2];
    uint32_t guard;
    std::memcpy(header, block - 16, sizeof header);
    std::memcpy(&guard, block + 4, sizeof guard);
    EXPECT_EQ(header[0], reinterpret_cast<uint64_t>(block - 16));
    EXPECT_EQ(header[1], 4u);
    EXPECT_EQ(guard, 0xA55A55AAu);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 4);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);

    void *big = kuv_xapi_alloc(1 << 20);
    uint64_t peak = kuv_xapi_get_allocated_memory_peak_size();
    EXPECT_GE(peak, before.size + (1 << 20));
    kuv_xapi_free(big);
    EXPECT_EQ(kuv_xapi_free(block), nullptr);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
    kuv_heap_info_t copy;
    EXPECT_EQ(kuv_xapi_get_heap_info(&copy), &copy);
    EXPECT_EQ(copy.allocated_memory_peak_size, peak);  // the peak is never lowered
}

// Damage inside the rounding goes unnoticed; damage to the guard, to base
// or to the stored size is reported with the two lines, and the block and
// the counters are left alone (a damaged size without reading far away).
TEST(TrackedHeap, DamagedBlocksAreReportedAndLeftAlone) {
    Counters before;
    auto *block = static_cast<unsigned char *>(kuv_xapi_alloc(5));
    ASSERT_NE(block, nullptr);
    block[5] = block[6] = block[7] = 0xEE;
    // One flipped byte each: the guard, base, and the stored size (2^44 more).
    for (unsigned char *damaged : {block + 8, block - 16, block - 8 + 5}) {
        *damaged ^= 0x10;
        OutputCapture err(2);
        EXPECT_EQ(kuv_xapi_free(block), nullptr);
        EXPECT_EQ(err.finish(), kBrokenLines);
        EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
        EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 8);
        *damaged ^= 0x10;
    }
    // A resize of a block with a wild size still returns a new block and
    // copies nothing from the wild length.
    block[-8 + 5] ^= 0x10;
    OutputCapture err(2);
    void *moved = kuv_xapi_realloc(block, 64);
    EXPECT_EQ(err.finish(), kBrokenLines);
    ASSERT_NE(moved, nullptr);
    kuv_xapi_free(moved);
    block[-8 + 5] ^= 0x10;
    OutputCapture quiet(2);
    kuv_xapi_free(block);
    EXPECT_EQ(quiet.finish(), "");
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

TEST(TrackedHeap, ResizeKeepsTheBlockOnlyForTheStoredSize) {
    Counters before;
    auto *block = static_cast<char *>(kuv_xapi_alloc(5));
    std::memcpy(block, "abcde", 5);
    EXPECT_EQ(kuv_xapi_realloc(block, 8), block);  // stored size is 8
    auto *moved = static_cast<char *>(kuv_xapi_realloc(block, 5));
    ASSERT_NE(moved, block);
    EXPECT_EQ(std::memcmp(moved, "abcde", 5), 0);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
    auto *grown = static_cast<char *>(kuv_xapi_realloc(moved, 4000));
    EXPECT_EQ(std::memcmp(grown, "abcde", 5), 0);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 4000);

    OutputCapture err(2);
    EXPECT_EQ(kuv_xapi_realloc(grown, UINT64_MAX - 8), nullptr);  // the old block stays valid
    EXPECT_EQ(kuv_xapi_free(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_sys_free(nullptr), nullptr);
    EXPECT_EQ(err.finish(),
              "kuv: [ERROR] not enough memory! maybe bug! (overflow size)\n"
              "kuv: [WARNING] null pointer free ? \nkuv: [WARNING] null pointer free ? \n");
    EXPECT_EQ(std::memcmp(grown, "abcde", 5), 0);
    void *variable = grown;
    EXPECT_EQ(kuv_xapi_mem_free_legacy_v1_by_windows_team(&variable), 0);
    EXPECT_EQ(variable, nullptr);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

TEST(TrackedHeap, CallocClearsAndRefusesAnOverflowingProductInEveryFamily) {
    Counters before;
    auto *cleared = static_cast<unsigned char *>(kuv_xapi_calloc(10, 7));
    ASSERT_NE(cleared, nullptr);
    for (int i = 0; i < 70; ++i)
        EXPECT_EQ(cleared[i], 0) << i;
    kuv_xapi_free(cleared);
    EXPECT_EQ(kuv_xapi_calloc(uint64_t{1} << 33, uint64_t{1} << 33), nullptr);
    EXPECT_EQ(kuv_xapi_debug_calloc(UINT64_MAX, 2), nullptr);
    EXPECT_EQ(kuv_xapi_sys_calloc(UINT64_MAX / 2, 3), nullptr);
    void *system = kuv_xapi_sys_realloc(kuv_xapi_sys_alloc(100), 200);  // not counted
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
    kuv_xapi_sys_free(system);
}

// Two threads allocate and release 64-byte blocks while a third copies the
// heap record: every copy must be a state that existed, in which the bytes
// held are 64 per block held and the peak is no lower than them.
TEST(TrackedHeap, ConcurrentCountersOnlyShowStatesThatExisted) {
    Counters before;
    std::atomic<int> writers_left{2};
    auto writer = [&] {
        void *held[8] = {};
        for (int i = 0; i < 400000; ++i) {
            void *&slot = held[i % 8];
            if (slot) kuv_xapi_free(slot);
            slot = kuv_xapi_alloc(64);
        }
        for (void *block : held)
            kuv_xapi_free(block);
        --writers_left;
    };
    std::thread first(writer), second(writer);
    uint64_t copies = 0, mismatches = 0;
    while (writers_left > 0 || copies == 0) {
        kuv_heap_info_t copy;
        kuv_xapi_get_heap_info(&copy);
        const uint64_t blocks = copy.allocated_memory_count - before.count;
        const uint64_t bytes = copy.allocated_memory_size - before.size;
        if (bytes != blocks * 64 || copy.allocated_memory_peak_size < copy.allocated_memory_size)
            ++mismatches;
        ++copies;
    }
    first.join();
    second.join();
    EXPECT_EQ(mismatches, 0u) << "of " << copies << " copies";
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size);
}

// Counts the handler's calls by operation and serves from the checking heap.
int g_allocations, g_releases, g_resizes;
void *counting_handler(void *pointer, uint64_t size) {
    if (pointer && !size) {
        ++g_releases;
        kuv_xapi_debug_free(pointer);
        return reinterpret_cast<void *>(0x1);  // handed back to the caller unchanged
    }
    ++(pointer ? g_resizes : g_allocations);
    return kuv_xapi_heap_debug(pointer, size);
}

TEST(HeapHandler, DispatchesEveryOperationAndTheDebugFamilyBypassesIt) {
    kuv_heap_handler_t previous = counting_handler;
    EXPECT_EQ(kuv_xapi_set_heap_handler(counting_handler, &previous), 1u);
    EXPECT_EQ(previous, nullptr);
    Counters before;
    void *block = kuv_xapi_realloc(kuv_xapi_alloc(10), 40);
    void *cleared = kuv_xapi_calloc(2, 3);
    EXPECT_EQ(kuv_xapi_free(block), reinterpret_cast<void *>(0x1));
    kuv_xapi_free(cleared);
    kuv_xapi_debug_free(kuv_xapi_debug_alloc(12));
    EXPECT_EQ(g_allocations, 2);
    EXPECT_EQ(g_resizes, 1);
    EXPECT_EQ(g_releases, 2);
    EXPECT_EQ(kuv_xapi_set_heap_handler(nullptr, &previous), 1u);
    EXPECT_EQ(previous, counting_handler);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
}

}  // namespace
