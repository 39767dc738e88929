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

// Waits (bounded) until `ready()` holds.
template <typename Ready>
bool await(Ready ready) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!ready() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ready();
}

TEST(Condition, WakeUpsReachTheOldestWaitersOneEachAndAreNotRemembered) {
    kuv_lock_condition_t condition;
    kuv_mapi_init_lock_condition_v0(&condition);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 1), 0u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_broadcast_v0(&condition, "t", 2), 0u);
    auto start = Clock::now();
    EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, nullptr, 0, 50, "t", 3), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(49));  // whole-ms readings

    std::atomic<int> woken[3] = {0, 0, 0};
    std::thread waiters[3];
    for (int i = 0; i < 3; ++i) {
        waiters[i] = std::thread([&, i] {
            EXPECT_EQ(kuv_mapi_lock_condition_wait_v0(&condition, nullptr, 0, "w", i), 1u);
            woken[i] = 1;
        });
        ASSERT_TRUE(await([&] { return waiter_count(&condition) == i + 1; }));
    }
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 4), 0u);
    // Two wake-ups in a row, before the first waiter can have left: each
    // reaches a different waiter, oldest first; the youngest keeps waiting.
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 5), 1u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 6), 1u);
    ASSERT_TRUE(await([&] { return woken[0] && woken[1]; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(woken[2]);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_broadcast_v0(&condition, "t", 7), 1u);
    for (auto &waiter : waiters)
        waiter.join();
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 8), 1u);
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
        ASSERT_TRUE(await([&] { return waiter_count(&condition) == 1; }));
        EXPECT_EQ(kuv_mapi_lock_timeout_v0(&outer, "waker", 4, 5000), 1u);
        EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "waker", 5), 1u);
        kuv_mapi_unlock_v0(&outer);
    });
    EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, &outer, 3, 10000, "w", 6), 1u);
    EXPECT_EQ(outer.exclusive, 1u);
    waker.join();
    kuv_mapi_unlock_v0(&outer);
}

}  // namespace
