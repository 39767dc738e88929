#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "davro_kuv.h"
#include "platform/sorvan_vkl.h"
#include "support/test_support.h"

namespace {

using kuv_test::OutputCapture;

const char kBrokenLines[] = "=> REVERSE DUMP\nkuv: [FATAL-ERROR] heap broken\n";

struct Counters {
    uint64_t size = kuv_xapi_get_allocated_memory_size();
    uint64_t count = kuv_xapi_get_allocated_memory_count();
    bool unchanged() const {
        return kuv_xapi_get_allocated_memory_size() == size &&
               kuv_xapi_get_allocated_memory_count() == count;
    }
};

// Allocates and releases 64-byte blocks, up to eight held at a time.
void churn(int rounds) {
    void *held[8] = {};
    for (int i = 0; i < rounds; ++i) {
        void *&slot = held[i % 8];
        if (slot) kuv_xapi_free(slot);
        slot = kuv_xapi_alloc(64);
    }
    for (void *block : held)
        kuv_xapi_free(block);
}

// Churns on this thread, and on another if `two_writers`, while one more
// copies the heap record; returns how many copies show a state that never
// existed: bytes held beyond `before` not 64 per block, or a peak below the
// bytes held.
uint64_t impossible_copies_while_churning(const Counters &before, int rounds, bool two_writers) {
    std::atomic<bool> writing{true};
    uint64_t impossible = 0;
    std::thread reader([&] {
        for (bool first = true; writing || first; first = false) {
            kuv_heap_info_t copy;
            kuv_xapi_get_heap_info(&copy);
            if (copy.allocated_memory_size - before.size !=
                    (copy.allocated_memory_count - before.count) * 64 ||
                copy.allocated_memory_peak_size < copy.allocated_memory_size)
                ++impossible;
        }
    });
    std::thread writer([=] { churn(two_writers ? rounds : 0); });
    churn(rounds);
    writer.join();
    writing = false;
    reader.join();
    return impossible;
}

// A block is rounded up to 4 bytes and carries base, size and a guard word.
// Damage inside the rounding goes unnoticed; damage to the guard, to base
// or to the stored size is reported with the two lines, and the block and
// the counters are left alone (a damaged size without reading far away).
TEST(TrackedHeap, BlocksAreLaidOutRoundedResizedAndLeftAloneWhenDamaged) {
    Counters before;
    auto *block = static_cast<unsigned char *>(kuv_xapi_alloc(5));
    ASSERT_NE(block, nullptr);
    uint64_t header[2];
    uint32_t guard;
    std::memcpy(header, block - 16, sizeof header);
    std::memcpy(&guard, block + 8, sizeof guard);
    EXPECT_EQ(header[0], reinterpret_cast<uint64_t>(block - 16));
    EXPECT_EQ(header[1], 8u);
    EXPECT_EQ(guard, 0xA55A55AAu);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 8);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
    const Counters holding;
    block[5] = block[6] = block[7] = 0xEE;
    // One flipped byte each: the guard, base, and the stored size (2^44 more,
    // or 4 more: no room left for the guard where malloc gave exactly 28).
    for (auto [at, flip] : {std::pair{8, 0x10}, {-16, 0x10}, {-8 + 5, 0x10}, {-8, 8 ^ 12}}) {
        block[at] ^= flip;
        OutputCapture err(2);
        EXPECT_EQ(kuv_xapi_free(block), nullptr);
        EXPECT_EQ(err.finish(), kBrokenLines);
        EXPECT_TRUE(holding.unchanged());
        block[at] ^= flip;
    }
    // A resize of a block with a damaged base, a wild size or a size moved
    // down (to 4) still returns a new block that holds the user's bytes,
    // read no further than the old block reaches.
    std::memcpy(block, "abcde", 5);
    // One byte of base flipped; the stored size (8) plus 2^44, or down to 4.
    for (auto [at, flip] : {std::pair{-16, 0x10}, {-8 + 5, 0x10}, {-8, 8 ^ 4}}) {
        block[at] ^= flip;
        OutputCapture err(2);
        auto *fresh = static_cast<char *>(kuv_xapi_realloc(block, 4096));
        EXPECT_EQ(err.finish(), kBrokenLines);
        ASSERT_NE(fresh, nullptr);
        EXPECT_EQ(std::memcmp(fresh, "abcde", 5), 0);
        kuv_xapi_free(fresh);
        block[at] ^= flip;
    }
    void *big = kuv_xapi_alloc(1 << 20);
    const uint64_t peak = kuv_xapi_get_allocated_memory_peak_size();
    EXPECT_GE(peak, before.size + 8 + (1 << 20));
    kuv_xapi_free(big);
    kuv_heap_info_t info;
    EXPECT_EQ(kuv_xapi_get_heap_info(&info)->allocated_memory_peak_size, peak);
    // Restored, the block keeps its place up to its stored size and moves,
    // quietly, below it.
    std::memcpy(block, "abcde", 5);
    OutputCapture quiet(2);
    EXPECT_EQ(kuv_xapi_realloc(block, 8), block);
    auto *moved = static_cast<char *>(kuv_xapi_realloc(block, 5));
    EXPECT_EQ(quiet.finish(), "");
    ASSERT_NE(static_cast<void *>(moved), block);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count + 1);
    auto *grown = static_cast<char *>(kuv_xapi_realloc(moved, 4000));
    EXPECT_EQ(std::memcmp(grown, "abcde", 5), 0);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size + 4000);

    OutputCapture warned(2);
    EXPECT_EQ(kuv_xapi_realloc(grown, UINT64_MAX - 22), nullptr);  // the old block stays valid
    EXPECT_EQ(kuv_xapi_free(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_sys_free(nullptr), nullptr);
    EXPECT_EQ(warned.finish(),
              "kuv: [ERROR] not enough memory! maybe bug! (overflow size)\n"
              "kuv: [WARNING] null pointer free ? \nkuv: [WARNING] null pointer free ? \n");
    EXPECT_EQ(std::memcmp(grown, "abcde", 5), 0);
    grown = static_cast<char *>(kuv_xapi_realloc(grown, 3));  // copies only what fits
    EXPECT_EQ(std::memcmp(grown, "abc", 3), 0);
    void *variable = grown;
    EXPECT_EQ(kuv_xapi_mem_free_legacy_v1_by_windows_team(&variable), 0);
    EXPECT_EQ(variable, nullptr);

    auto *cleared = static_cast<unsigned char *>(kuv_xapi_calloc(10, 7));
    ASSERT_NE(cleared, nullptr);
    EXPECT_EQ(std::count(cleared, cleared + 70, 0), 70);
    kuv_xapi_free(cleared);
    EXPECT_EQ(kuv_xapi_calloc((uint64_t{1} << 63) + 1, 2), nullptr);  // 2 bytes once wrapped
    if constexpr (SIZE_MAX < UINT64_MAX) {
        // Beyond a 32-bit address space: refused, not cut to its low bits.
        const uint64_t beyond = uint64_t{SIZE_MAX} + 9;
        OutputCapture refused(2);
        EXPECT_EQ(kuv_xapi_alloc(beyond), nullptr);
        EXPECT_EQ(kuv_xapi_calloc(beyond / 2 + 1, 2), nullptr);
        EXPECT_EQ(kuv_xapi_sys_alloc(beyond), nullptr);
        void *small = kuv_xapi_sys_alloc(8);
        EXPECT_EQ(kuv_xapi_sys_realloc(small, beyond), nullptr);
        kuv_xapi_sys_free(small);
        const std::string overflow = "kuv: [ERROR] not enough memory! maybe bug! (overflow size)\n";
        EXPECT_EQ(refused.finish(), overflow + overflow);
    }
    void *system = kuv_xapi_sys_realloc(kuv_xapi_sys_alloc(100), 200);  // not counted
    EXPECT_TRUE(before.unchanged());
    EXPECT_EQ(kuv_xapi_get_allocated_memory_peak_size(), peak);  // the peak is never lowered
    kuv_xapi_sys_free(system);
}

// Records the handler's calls ('a'llocate, 'r'esize, 'f'ree) and serves them
// from the checking heap; a release's answer goes back to the caller as is.
std::string g_calls;
void *recording_handler(void *pointer, uint64_t size) {
    g_calls += !pointer ? 'a' : size ? 'r' : 'f';
    void *result = kuv_xapi_heap_debug(pointer, size);
    return pointer && !size ? reinterpret_cast<void *>(0x1) : result;
}

TEST(HeapHandler, DispatchesEveryOperationAndTheDebugFamilyBypassesIt) {
    kuv_heap_handler_t previous = recording_handler;
    EXPECT_EQ(kuv_xapi_set_heap_handler(recording_handler, &previous), 1u);
    EXPECT_EQ(previous, nullptr);
    Counters before;
    void *block = kuv_xapi_realloc(kuv_xapi_alloc(10), 40);
    kuv_xapi_free(kuv_xapi_calloc(2, 3));
    EXPECT_EQ(kuv_xapi_free(block), reinterpret_cast<void *>(0x1));
    kuv_xapi_debug_free(kuv_xapi_debug_alloc(12));
    EXPECT_EQ(g_calls, "araff");
    EXPECT_EQ(kuv_xapi_set_heap_handler(nullptr, &previous), 1u);
    EXPECT_EQ(previous, recording_handler);
    EXPECT_TRUE(before.unchanged());
    // The live record given as the place stays as it is, its lock free.
    kuv_heap_info_t *live = kuv_xapi_get_heap_info(nullptr);
    EXPECT_EQ(kuv_xapi_get_heap_info(live), live);
    EXPECT_EQ(live->lock.count, 0u);
}

// The first thread that counts does so without the heap lock until another
// thread comes near the counters. The lease checks run in death-test
// children, whose main thread counts first; a failed check fails the exit.

// True when counting on this thread leaves the heap lock's owner, set by a
// copy of the record just before, unchanged.
bool counts_without_lock() {
    kuv_heap_info_t copy;
    kuv_xapi_get_heap_info(&copy);
    kuv_xapi_free(kuv_xapi_alloc(8));
    return std::strcmp(kuv_xapi_get_heap_info(nullptr)->lock.owner_name,
                       "kuv_xapi_get_heap_info") == 0;
}

bool exited_with_0(pid_t child) {
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// The main thread counts alone, then another thread arrives while it goes
// on: a reader that only takes the heap lock, or a second writer with it.
// Every copy the reader takes is a state that existed, nothing is lost at
// the hand-over, and from then on the main thread counts under the lock.
void hand_over_while_counting(bool two_writers) {
    kuv_xapi_free(kuv_xapi_alloc(1));
    EXPECT_TRUE(counts_without_lock());
    const Counters before;
    EXPECT_EQ(impossible_copies_while_churning(before, two_writers ? 300000 : 30000, two_writers),
              0u);
    EXPECT_TRUE(before.unchanged());
    EXPECT_FALSE(counts_without_lock());
}

// A thread that is not the holder forks while the holder counts, often in
// the middle of an update: each child, left with that thread alone, takes
// the counters and the heap lock at once instead of waiting for the lost
// holder. (That child allocates nothing: a sanitizer's allocator may be
// locked by the holder at the fork.)
void fork_beside_the_counting_holder() {
    kuv_xapi_free(kuv_xapi_alloc(1));
    std::atomic<bool> forking{true};
    int hung = 0;
    std::thread forker([&] {
        for (int i = 0; i < 40; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                alarm(5);  // a child that waits for the holder is ended
                kuv_heap_info_t copy;
                kuv_xapi_get_heap_info(&copy);
                std::_Exit(
                    copy.allocated_memory_count == kuv_xapi_get_allocated_memory_count() ? 0 : 1);
            }
            hung += !exited_with_0(child);
        }
        forking = false;
    });
    while (forking)
        churn(64);
    forker.join();
    EXPECT_EQ(hung, 0);
    EXPECT_TRUE(counts_without_lock());
}

// A child forked by the holder counts exactly, on its own thread and on a
// new one, and the parent goes on counting without the lock.
void fork_by_the_holder() {
    kuv_xapi_free(kuv_xapi_alloc(1));
    void *kept = kuv_xapi_alloc(100);
    const Counters before;
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);  // a child that hangs is ended, so the wait below is bounded
        std::thread other([] { churn(10000); });
        churn(10000);
        other.join();
        kuv_xapi_free(kept);
        const bool exact = kuv_xapi_get_allocated_memory_count() == before.count - 1 &&
                           kuv_xapi_get_allocated_memory_size() == before.size - 100;
        std::_Exit(exact ? 0 : 1);
    }
    EXPECT_TRUE(exited_with_0(child));
    EXPECT_TRUE(before.unchanged());
    EXPECT_TRUE(counts_without_lock());
    kuv_xapi_free(kept);
}

// Two threads count under the heap lock and one reads the shared clock
// under its lock while another forks, often while a lock is held: each
// child, left with the forking thread alone, finds both locks free and the
// counters of a state that existed. (The child allocates nothing, as
// above: the parent has read the clock and counted before, so the child's
// calls have nothing left to set up.)
void fork_beside_threads_taking_the_locks() {
    kuv_xapi_time_stamp();
    kuv_xapi_free(kuv_xapi_alloc(1));
    const Counters before;
    std::atomic<bool> forking{true};
    int failed = 0;
    std::thread forker([&] {
        for (int i = 0; i < 200 && failed == 0; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                alarm(5);  // a child that waits for a lock of a lost thread is ended
                kuv_xapi_time_stamp();
                kuv_heap_info_t copy;
                kuv_xapi_get_heap_info(&copy);
                std::_Exit(copy.allocated_memory_size - before.size ==
                                   (copy.allocated_memory_count - before.count) * 64
                               ? 0
                               : 1);
            }
            failed += !exited_with_0(child);
        }
        forking = false;
    });
    std::thread reader([&] {
        while (forking)
            kuv_xapi_time_stamp();
    });
    std::thread writer([&] {
        while (forking)
            churn(64);
    });
    while (forking)
        churn(64);
    writer.join();
    reader.join();
    forker.join();
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(before.unchanged());
}

TEST(TrackedHeap, ChildForkedWhileOtherThreadsHoldTheLocksFindsThemFree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((fork_beside_threads_taking_the_locks(), std::exit(HasFailure())),
                ::testing::ExitedWithCode(0), "");
}

TEST(HeapLease, HandsOverAndKeepsExactCountsAcrossForkAndLockTakers) {
    if (sorvan_process_barrier_open() != 0)
        GTEST_SKIP() << "the system offers no process-wide memory barrier (membarrier), "
                        "so every thread counts under the heap lock";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using ::testing::ExitedWithCode;
    EXPECT_EXIT((fork_beside_the_counting_holder(), std::exit(HasFailure())), ExitedWithCode(0),
                "");
    EXPECT_EXIT((fork_by_the_holder(), hand_over_while_counting(true), std::exit(HasFailure())),
                ExitedWithCode(0), "");
    EXPECT_EXIT((hand_over_while_counting(false), std::exit(HasFailure())), ExitedWithCode(0), "");
}

}  // namespace
