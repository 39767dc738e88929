#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

// Copies the heap record until `writing` turns false (at least once) while
// other threads churn, and counts the copies that show a state that never
// existed: one in which the bytes held beyond `before` are not 64 per block
// or the peak is lower than the bytes held.
struct RecordCopies {
    uint64_t copies = 0;
    uint64_t impossible = 0;
};
RecordCopies copy_record_while(const std::atomic<bool> &writing, const Counters &before) {
    RecordCopies seen;
    while (writing || seen.copies == 0) {
        kuv_heap_info_t copy;
        kuv_xapi_get_heap_info(&copy);
        const uint64_t blocks = copy.allocated_memory_count - before.count;
        const uint64_t bytes = copy.allocated_memory_size - before.size;
        if (bytes != blocks * 64 || copy.allocated_memory_peak_size < copy.allocated_memory_size)
            ++seen.impossible;
        ++seen.copies;
    }
    return seen;
}

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
// heap record: every copy must be a state that existed.
TEST(TrackedHeap, ConcurrentCountersOnlyShowStatesThatExisted) {
    Counters before;
    std::atomic<bool> writing{true};
    RecordCopies seen;
    std::thread reader([&] { seen = copy_record_while(writing, before); });
    std::thread first([] { churn(400000); }), second([] { churn(400000); });
    first.join();
    second.join();
    writing = false;
    reader.join();
    EXPECT_EQ(seen.impossible, 0u) << "of " << seen.copies << " copies";
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), before.count);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), before.size);
}

int32_t giving_up(kuv_lock_t *, const char *, int32_t, int32_t) {
    return 1;
}

// A copy of the record whose wait for the heap lock a dead-lock callback
// ends must not release the holding of the thread that has the lock.
TEST(TrackedHeap, RecordCopyWithoutTheLockLeavesTheHolderItsHolding) {
    kuv_lock_t *lock = &kuv_xapi_get_heap_info(nullptr)->lock;
    ASSERT_EQ(kuv_mapi_lock_v0(lock, "holder", __LINE__), 1u);
    kuv_mapi_set_dead_lock_callback_v0(giving_up);
    kuv_heap_info_t copy;
    EXPECT_EQ(kuv_xapi_get_heap_info(&copy), &copy);
    kuv_mapi_set_dead_lock_callback_v0(nullptr);
    EXPECT_EQ(lock->count, 1u);
    EXPECT_EQ(lock->exclusive, 1u);
    kuv_mapi_unlock_v0(lock);
}

// Nor may such a callback let another thread count a block while the heap
// lock is held: an update made beside one made under the lock can be lost.
TEST(TrackedHeap, CountingWaitsForTheHeapLockWhateverTheDeadLockCallbackSays) {
    const Counters before;
    kuv_lock_t *lock = &kuv_xapi_get_heap_info(nullptr)->lock;
    ASSERT_EQ(kuv_mapi_lock_v0(lock, "holder", __LINE__), 1u);
    kuv_mapi_set_dead_lock_callback_v0(giving_up);
    std::atomic<bool> counted{false};
    std::thread allocating([&] {
        void *block = kuv_xapi_alloc(8);
        counted = true;
        kuv_xapi_free(block);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(counted);
    EXPECT_EQ(kuv_xapi_get_heap_info(nullptr)->allocated_memory_count, before.count);
    kuv_mapi_unlock_v0(lock);
    allocating.join();
    kuv_mapi_set_dead_lock_callback_v0(nullptr);
    EXPECT_TRUE(before.unchanged());
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

// The thread that counts first counts without the heap lock until another
// thread comes near the counters. Each of these cases runs in a fresh
// process (a re-executed death-test child), so that its main thread is the
// first to count; the child reports a failure through its exit code and a
// line on standard error.
kuv_heap_info_t &live_record() {
    return *kuv_xapi_get_heap_info(nullptr);
}

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "%s\n", what);
    std::fflush(stderr);
    std::_Exit(1);
}

void check(bool condition, const char *what) {
    if (!condition) fail(what);
}

// True when an allocation and a release on this thread leave the heap lock
// untouched: a copy of the record names its taker as the lock's owner, and
// every counting under the lock would name the heap instead.
bool counts_without_lock() {
    kuv_heap_info_t copy;
    kuv_xapi_get_heap_info(&copy);
    kuv_xapi_free(kuv_xapi_alloc(8));
    return std::strcmp(live_record().lock.owner_name, "kuv_xapi_get_heap_info") == 0;
}

// The main thread counts alone, then a second writer and a reader arrive
// while it goes on: every copy the reader takes is a state that existed
// (64 bytes per block, peak no lower than the size), nothing is lost at
// the hand-over, and from then on the main thread counts under the lock.
void hand_over_while_counting() {
    kuv_xapi_free(kuv_xapi_alloc(1));
    check(counts_without_lock(), "the first counting thread takes the heap lock");
    const Counters before;
    std::atomic<bool> writing{true};
    RecordCopies seen;
    std::thread reader([&] { seen = copy_record_while(writing, before); });
    std::thread writer([] { churn(300000); });
    churn(300000);
    writer.join();
    writing = false;
    reader.join();
    check(seen.impossible == 0, "a copy of the record shows a state that never existed");
    check(before.unchanged(), "the counters lost an update at the hand-over");
    check(!counts_without_lock(), "the first thread still counts alone after the hand-over");
}

// Another thread that takes the heap lock holds the counters still, also
// against the thread that had been counting without it, which counts under
// the lock from then on.
void lock_holds_the_counters_still() {
    const Counters before;
    std::atomic<bool> locking{true};
    std::atomic<uint64_t> made{0};
    std::thread freezer([&] {
        while (made < 1000)
            std::this_thread::yield();
        kuv_lock_t *lock = &live_record().lock;
        kuv_mapi_lock_v0(lock, "freezer", __LINE__);
        const uint64_t first = live_record().allocated_memory_count;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const bool still = live_record().allocated_memory_count == first;
        kuv_mapi_unlock_v0(lock);
        if (!still) fail("the counters changed under the heap lock");
        locking = false;
    });
    std::vector<void *> blocks;
    blocks.reserve(1 << 20);
    while (locking && blocks.size() < (1u << 20)) {
        blocks.push_back(kuv_xapi_alloc(16));
        ++made;
    }
    freezer.join();
    check(!locking, "the heap lock was not released within a million allocations");
    for (void *block : blocks)
        kuv_xapi_free(block);
    check(before.unchanged(), "the counters lost an update");
    check(!counts_without_lock(), "another thread took the heap lock and the lease went on");
}

// A forked child counts exactly, on its own thread and on a new one; the
// parent goes on counting without the lock.
void fork_keeps_both_sides_exact() {
    kuv_xapi_free(kuv_xapi_alloc(1));
    void *kept = kuv_xapi_alloc(100);
    const Counters before;
    const pid_t child = fork();
    if (child == 0) {
        std::thread other([] { churn(10000); });
        churn(10000);
        other.join();
        kuv_xapi_free(kept);
        const bool exact = kuv_xapi_get_allocated_memory_count() == before.count - 1 &&
                           kuv_xapi_get_allocated_memory_size() == before.size - 100;
        std::_Exit(exact ? 0 : 1);
    }
    check(child > 0, "fork failed");
    int status = 0;
    for (int waited_ms = 0; waitpid(child, &status, WNOHANG) == 0; ++waited_ms) {
        if (waited_ms == 20000) {
            kill(child, SIGKILL);
            fail("the forked child did not finish within 20 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the forked child miscounted");
    check(before.unchanged(), "the parent's counters changed");
    check(counts_without_lock(), "the parent stopped counting alone after the fork");
    kuv_xapi_free(kept);
}

class HeapLease : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (sorvan_process_barrier_open() != 0)
            GTEST_SKIP() << "the system offers no process-wide memory barrier (membarrier), "
                            "so every thread counts under the heap lock";
    }
};

TEST_F(HeapLease, HandsOverWithoutLosingOrInventingCounts) {
    EXPECT_EXIT((hand_over_while_counting(), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(HeapLease, TakingTheHeapLockStopsTheCountingThread) {
    EXPECT_EXIT((lock_holds_the_counters_still(), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

TEST_F(HeapLease, ForkedChildAndParentKeepExactCounts) {
    EXPECT_EXIT((fork_keeps_both_sides_exact(), std::exit(0)), ::testing::ExitedWithCode(0), "");
}

}  // namespace
