#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "davro_kuv.h"
#include "platform/sorvan_vkl.h"
#include "support/test_support.h"

namespace {

using kuv_test::OutputCapture;
using Clock = std::chrono::steady_clock;

const std::string kBanner =
    "-=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=-";

TEST(ReferenceLock, CountsSharedHoldersAndRefusesExclusiveUntilAllLeft) {
    kuv_lock_t lock;
    kuv_mapi_init_lock_v0(&lock);
    EXPECT_EQ(kuv_mapi_try_lock_v0(&lock, "first", 10), 1u);
    EXPECT_STREQ(lock.owner_name, "first");
    EXPECT_EQ(lock.owner_line, 10);
    EXPECT_EQ(kuv_mapi_ref_try_lock_v0(&lock, 1, "second", 20), 0u);
    kuv_mapi_unlock_v0(&lock);

    EXPECT_EQ(kuv_mapi_ref_try_lock_v0(&lock, 1, "reader", 1), 1u);
    EXPECT_EQ(kuv_mapi_ref_lock_v0(&lock, 1, "reader", 2), 1u);
    EXPECT_EQ(lock.count, 2u);
    EXPECT_EQ(lock.owner_line, 1);  // recorded only by the take of a free lock
    EXPECT_EQ(kuv_mapi_try_lock_v0(&lock, "writer", 3), 0u);
    kuv_mapi_unlock_v0(&lock);
    EXPECT_EQ(kuv_mapi_try_lock_v0(&lock, "writer", 4), 0u);
    kuv_mapi_unlock_v0(&lock);
    EXPECT_EQ(kuv_mapi_try_lock_v0(&lock, "writer", 5), 1u);
    kuv_mapi_unlock_v0(&lock);
}

TEST(ReferenceLock, UnlockingAFreeLockWarnsEachTimeAndLeavesItUsable) {
    kuv_lock_t lock{};
    OutputCapture err(2);
    kuv_mapi_unlock_v0(&lock);
    kuv_mapi_unlock_v0(&lock);
    std::string one = "\n" + kBanner +
                      "\nkuv: [WARNING] unlock - invalid reference count (already unlocked ?)\n" +
                      kBanner + "\n";
    EXPECT_EQ(err.finish(), one + one);
    EXPECT_EQ(lock.count, 0u);
    EXPECT_EQ(kuv_mapi_try_lock_v0(&lock, "after", 1), 1u);
    kuv_mapi_unlock_v0(&lock);
}

TEST(ReferenceLock, ExclusiveCounterStaysExactUnderContention) {
    kuv_lock_t lock{};
    uint64_t counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 200000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                kuv_mapi_lock_v0(&lock, "counter", __LINE__);
                ++counter;
                kuv_mapi_unlock_v0(&lock);
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(counter, uint64_t{kThreads} * kRounds);
    EXPECT_EQ(lock.count, 0u);
}

// Records the attempts it is called with; ends the wait at a chosen one.
std::vector<int32_t> g_attempts;
int32_t g_stop_at = 0;
int32_t recording_callback(kuv_lock_t *, const char *name, int32_t line, int32_t attempt) {
    EXPECT_STREQ(name, "waiter");
    EXPECT_EQ(line, 42);
    g_attempts.push_back(attempt);
    return attempt == g_stop_at ? 1 : 0;
}

TEST(DeadLockCallback, EndsWaitsWithoutTheLock) {
    kuv_lock_t lock{};
    ASSERT_EQ(kuv_mapi_try_lock_v0(&lock, "holder", 7), 1u);
    g_stop_at = 5;
    EXPECT_EQ(kuv_mapi_set_dead_lock_callback_v0(recording_callback), nullptr);
    EXPECT_EQ(kuv_mapi_lock_v0(&lock, "waiter", 42), 0u);
    EXPECT_EQ(g_attempts, (std::vector<int32_t>{1, 2, 3, 4, 5}));

    // A time-out of 0 tries twice with one pause between.
    g_attempts.clear();
    g_stop_at = -1;
    EXPECT_EQ(kuv_mapi_lock_timeout_v0(&lock, "waiter", 42, 0), 0u);
    EXPECT_EQ(g_attempts, (std::vector<int32_t>{1}));
    g_attempts.clear();
    g_stop_at = 3;
    EXPECT_EQ(kuv_mapi_ref_lock_timeout_v0(&lock, 3, "waiter", 42, 60000), 0u);
    EXPECT_EQ(g_attempts.size(), 3u);
    EXPECT_EQ(kuv_mapi_set_dead_lock_callback_v0(nullptr), recording_callback);
    EXPECT_EQ(lock.count, 1u);  // still the holder's alone
    kuv_mapi_unlock_v0(&lock);
}

TEST(ReferenceLock, TimedTakeWaitsItsTimeOutOrTakesAFreedLock) {
    kuv_lock_t lock{};
    ASSERT_EQ(kuv_xapi_glock(), 1u);  // the global lock shuts out other threads
    std::atomic<bool> global_taken{false};
    std::thread other([&] {
        kuv_xapi_glock();
        global_taken = true;
        kuv_xapi_gunlock();
    });
    ASSERT_EQ(kuv_mapi_try_lock_v0(&lock, "holder", 1), 1u);
    auto start = Clock::now();
    EXPECT_EQ(kuv_mapi_lock_timeout_v0(&lock, "waiter", 2, 100), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(99));  // whole-ms readings
    EXPECT_FALSE(global_taken);
    kuv_xapi_gunlock();

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        kuv_mapi_unlock_v0(&lock);
    });
    EXPECT_EQ(kuv_mapi_lock_timeout_v0(&lock, "waiter", 3, 5000), 1u);
    releaser.join();
    other.join();
    EXPECT_TRUE(global_taken);
    EXPECT_STREQ(lock.owner_name, "waiter");
    kuv_mapi_unlock_v0(&lock);
}

TEST(DeadLockWarning, PrintsAtAttempt12100AndEveryHundredAfter) {
    // Short, fixed pauses so that 12200 attempts take about a second.
    sorvan_set_load_balance_range(5, 5);
    kuv_lock_t lock{};
    ASSERT_EQ(kuv_mapi_try_lock_v0(&lock, "holder_function", 11), 1u);
    OutputCapture err(2);
    std::thread waiting([&] {
        kuv_mapi_lock_v0(&lock, "waiter_function", 77);
        kuv_mapi_unlock_v0(&lock);
    });
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && err.peek().find("122+ sec") == std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kuv_mapi_unlock_v0(&lock);
    waiting.join();
    sorvan_set_load_balance_range(50, 10000);
    std::string text = err.finish();

    std::string first = "\n" + kBanner +
                        "\nkuv: [WARNING] dead lock \"waiter_function:77\" "
                        "LOCKED(holder_function:11), ref=1, 121+ sec\n" +
                        kBanner + "\n";
    EXPECT_EQ(text.substr(0, first.size()), first) << text;
    EXPECT_NE(text.find("ref=1, 122+ sec\n"), std::string::npos) << text;
}

}  // namespace
