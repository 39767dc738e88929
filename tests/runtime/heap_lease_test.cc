// The thread that counts first counts without the heap lock until another
// thread comes near the counters. Each case runs in a fresh process (a
// re-executed death-test child), so that its main thread is the first to
// count; the child reports a failure through its exit code and a line on
// standard error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "davro_kuv.h"
#include "platform/sorvan_vkl.h"

namespace {

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

// The main thread counts alone, then a second writer and a reader arrive
// while it goes on: every copy the reader takes is a state that existed
// (64 bytes per block, peak no lower than the size), nothing is lost at
// the hand-over, and from then on the main thread counts under the lock.
void hand_over_while_counting() {
    kuv_xapi_free(kuv_xapi_alloc(1));
    check(counts_without_lock(), "the first counting thread takes the heap lock");
    const Counters before;
    std::atomic<bool> writing{true};
    std::atomic<uint64_t> copies{0}, mismatches{0};
    std::thread reader([&] {
        while (writing || copies == 0) {
            kuv_heap_info_t copy;
            kuv_xapi_get_heap_info(&copy);
            const uint64_t blocks = copy.allocated_memory_count - before.count;
            const uint64_t bytes = copy.allocated_memory_size - before.size;
            if (bytes != blocks * 64 ||
                copy.allocated_memory_peak_size < copy.allocated_memory_size)
                ++mismatches;
            ++copies;
        }
    });
    std::thread writer([] { churn(300000); });
    churn(300000);
    writer.join();
    writing = false;
    reader.join();
    check(mismatches == 0, "a copy of the record shows a state that never existed");
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
