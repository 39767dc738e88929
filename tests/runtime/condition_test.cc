#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "davro_kuv.h"

namespace {

using Clock = std::chrono::steady_clock;

int waiter_count(kuv_lock_condition_t *condition) {
    kuv_mapi_ref_lock_v0(&condition->lock, 1, "waiter_count", __LINE__);
    int count = 0;
    for (kuv_lock_waiter_t *w = condition->first; w; w = w->next)
        ++count;
    kuv_mapi_unlock_v0(&condition->lock);
    return count;
}

// Waits (bounded) until the condition has `count` waiters.
bool await_waiters(kuv_lock_condition_t *condition, int count) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (waiter_count(condition) == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool await_flag(const std::atomic<bool> &flag) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (flag) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(Condition, WakeUpWithoutWaitersIsNotRemembered) {
    kuv_lock_condition_t condition;
    kuv_mapi_init_lock_condition_v0(&condition);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 1), 0u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_broadcast_v0(&condition, "t", 2), 0u);
    auto start = Clock::now();
    EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, nullptr, 0, 50, "t", 3), 0u);
    // Whole-millisecond readings: up to one millisecond may be missing.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(49));
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 4), 1u);
}

TEST(Condition, OneWakeUpWakesTheOldestWaiterAndASecondOneTheNext) {
    kuv_lock_condition_t condition{};
    std::atomic<bool> first_woken{false}, second_woken{false};
    std::thread first([&] {
        EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, nullptr, 0, 20000, "a", 1), 1u);
        first_woken = true;
    });
    ASSERT_TRUE(await_waiters(&condition, 1));
    std::thread second([&] {
        EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, nullptr, 0, 20000, "b", 2), 1u);
        second_woken = true;
    });
    ASSERT_TRUE(await_waiters(&condition, 2));
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 3), 0u);

    // Two wake-ups in a row, before the first waiter can have left: each
    // reaches a different waiter.
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 4), 1u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 5), 1u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 6), 0u);
    first.join();
    second.join();
    EXPECT_TRUE(first_woken);
    EXPECT_TRUE(second_woken);
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 7), 1u);
}

TEST(Condition, OneWakeUpLeavesTheYoungerWaiterWaiting) {
    kuv_lock_condition_t condition{};
    std::atomic<bool> first_woken{false}, second_woken{false};
    std::thread first([&] {
        kuv_mapi_lock_condition_wait_v0(&condition, nullptr, 0, "a", 1);
        first_woken = true;
    });
    ASSERT_TRUE(await_waiters(&condition, 1));
    std::thread second([&] {
        kuv_mapi_lock_condition_wait_v0(&condition, nullptr, 0, "b", 2);
        second_woken = true;
    });
    ASSERT_TRUE(await_waiters(&condition, 2));
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 3), 1u);
    EXPECT_TRUE(await_flag(first_woken));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(second_woken);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_broadcast_v0(&condition, "t", 4), 1u);
    first.join();
    second.join();
    EXPECT_TRUE(second_woken);
}

TEST(Condition, BroadcastWakesEveryWaiter) {
    kuv_lock_condition_t condition{};
    std::atomic<int> woken{0};
    std::thread waiters[3];
    for (auto &w : waiters)
        w = std::thread([&] {
            EXPECT_EQ(kuv_mapi_lock_condition_wait_v0(&condition, nullptr, 0, "w", 1), 1u);
            ++woken;
        });
    ASSERT_TRUE(await_waiters(&condition, 3));
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_broadcast_v0(&condition, "t", 2), 1u);
    for (auto &w : waiters)
        w.join();
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 3), 1u);
}

TEST(Condition, OuterLockIsReleasedForTheWaitAndHeldAgainAfter) {
    kuv_lock_condition_t condition{};
    kuv_lock_t outer{};

    // Time-out: returns 0 with the outer lock held again in the outer mode.
    ASSERT_EQ(kuv_mapi_ref_lock_v0(&outer, 1, "outer", 1), 1u);
    EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, &outer, 1, 30, "w", 2), 0u);
    EXPECT_EQ(outer.count, 1u);
    EXPECT_EQ(outer.exclusive, 0u);
    kuv_mapi_unlock_v0(&outer);

    // Wake-up: the waker can take the outer lock while the waiter waits.
    ASSERT_EQ(kuv_mapi_lock_v0(&outer, "outer", 3), 1u);
    std::thread waker([&] {
        ASSERT_TRUE(await_waiters(&condition, 1));
        EXPECT_EQ(kuv_mapi_lock_timeout_v0(&outer, "waker", 4, 5000), 1u);
        EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "waker", 5), 1u);
        kuv_mapi_unlock_v0(&outer);
    });
    EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, &outer, 3, 10000, "w", 6), 1u);
    EXPECT_EQ(outer.exclusive, 1u);
    EXPECT_EQ(outer.count, 1u);
    waker.join();
    kuv_mapi_unlock_v0(&outer);
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 7), 1u);
}

}  // namespace
