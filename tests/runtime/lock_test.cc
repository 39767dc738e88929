// Reference locks, their dead-lock report and lock conditions, between threads.
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

// A warning as the library prints it: the message between two banners.
std::string warning(const std::string &message) {
    const std::string banner =
        "-=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=-";
    return "\n" + banner + "\nkuv: [WARNING] " + message + "\n" + banner + "\n";
}

// Waits (bounded) until `ready()` holds.
template <typename Ready>
bool await(Ready ready, std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto deadline = Clock::now() + limit;
    while (!ready() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ready();
}

int waiter_count(kuv_lock_condition_t *condition) {
    kuv_mapi_ref_lock_v0(&condition->lock, 1, "waiter_count", __LINE__);
    int count = 0;
    for (kuv_lock_waiter_t *w = condition->first; w; w = w->next)
        ++count;
    kuv_mapi_unlock_v0(&condition->lock);
    return count;
}

// Records the attempts it is called with; ends the wait at a chosen one.
std::vector<int32_t> g_attempts;
int32_t g_stop_at = 0;
int32_t recording_callback(kuv_lock_t *, const char *, int32_t, int32_t attempt) {
    g_attempts.push_back(attempt);
    return attempt == g_stop_at ? 1 : 0;
}

// A held lock shuts out the other mode. A dead-lock callback ends a wait
// for it without the lock, at the attempt it chooses; a timed take gives up
// after its time-out; a blocking one warns at attempt 12100 and every
// hundred after. A free lock's unlock only warns.
TEST(ReferenceLock, HeldLockEndsOrReportsWaitsForItAndAFreeUnlockOnlyWarns) {
    kuv_lock_t lock;
    kuv_mapi_init_lock_v0(&lock);
    EXPECT_EQ(kuv_mapi_try_lock_v0(&lock, "holder_function", 11), 1u);
    EXPECT_EQ(kuv_mapi_ref_try_lock_v0(&lock, 1, "second", 20), 0u);
    g_stop_at = 5;
    kuv_mapi_set_dead_lock_callback_v0(recording_callback);
    EXPECT_EQ(kuv_mapi_ref_lock_v0(&lock, 1, "waiter", 42), 0u);
    EXPECT_EQ(g_attempts, (std::vector<int32_t>{1, 2, 3, 4, 5}));
    // A time-out of 0 tries twice with one pause between.
    g_attempts.clear();
    g_stop_at = -1;
    EXPECT_EQ(kuv_mapi_lock_timeout_v0(&lock, "waiter", 42, 0), 0u);
    EXPECT_EQ(g_attempts, (std::vector<int32_t>{1}));
    kuv_mapi_set_dead_lock_callback_v0(nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(kuv_mapi_lock_timeout_v0(&lock, "waiter", 2, 100), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(99));  // whole-ms readings
    EXPECT_EQ(lock.count, 1u);                                       // still the holder's alone

    sorvan_set_load_balance_range(5, 5);  // 12200 attempts take about a second
    OutputCapture warned(2);
    std::thread waiting([&] { kuv_mapi_lock_v0(&lock, "waiter_function", 77); });
    await([&] { return warned.peek().find("122+ sec") != std::string::npos; },
          std::chrono::seconds(60));
    kuv_mapi_unlock_v0(&lock);
    waiting.join();
    sorvan_set_load_balance_range(50, 10000);
    std::string text = warned.finish();
    std::string first =
        warning("dead lock \"waiter_function:77\" LOCKED(holder_function:11), ref=1, 121+ sec");
    EXPECT_EQ(text.substr(0, first.size()), first) << text;
    EXPECT_NE(text.find("ref=1, 122+ sec\n"), std::string::npos) << text;
    kuv_mapi_unlock_v0(&lock);
    EXPECT_EQ(kuv_mapi_ref_try_lock_v0(&lock, 1, "reader", 1), 1u);
    EXPECT_EQ(kuv_mapi_ref_lock_v0(&lock, 1, "reader", 2), 1u);
    EXPECT_EQ(lock.owner_line, 1);  // recorded only by the take of a free lock
    for (uint32_t taken : {0u, 0u, 1u}) {
        EXPECT_EQ(kuv_mapi_try_lock_v0(&lock, "writer", 3), taken);
        kuv_mapi_unlock_v0(&lock);
    }
    OutputCapture err(2);
    kuv_mapi_unlock_v0(&lock);
    kuv_mapi_unlock_v0(&lock);
    const std::string one = warning("unlock - invalid reference count (already unlocked ?)");
    EXPECT_EQ(err.finish(), one + one);
    EXPECT_EQ(kuv_mapi_try_lock_v0(&lock, "after", 1), 1u);  // the count did not go below 0
}

TEST(ReferenceLock, ExclusiveCounterStaysExactUnderContention) {
    // Half the threads take with a time-out no wait reaches: each of their
    // takes too must end with the lock a holder handed over.
    kuv_lock_t lock{};
    uint64_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200000; ++i) {
                if (t % 2 ? kuv_mapi_lock_timeout_v0(&lock, "counter", __LINE__, 600000)
                          : kuv_mapi_lock_v0(&lock, "counter", __LINE__)) {
                    ++counter;
                    kuv_mapi_unlock_v0(&lock);
                }
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(counter, 4u * 200000);
    EXPECT_EQ(lock.count, 0u);
}

int32_t giving_up(kuv_lock_t *, const char *, int32_t, int32_t) {
    return 1;
}

// Every call below gives up waiting for a lock the test holds (or, for the
// time stamps, that the other reader holds): none may act as if it held the
// lock, which would touch the queue or release the real holder's holding.
TEST(DeadLockCallback, CallsItEndsNeitherReleaseAnotherHoldingNorCountUnguarded) {
    kuv_lock_condition_t condition{};
    kuv_lock_t outer{}, *heap_lock = &kuv_xapi_get_heap_info(nullptr)->lock;
    ASSERT_EQ(kuv_mapi_lock_v0(&condition.lock, "holder", 1), 1u);
    ASSERT_EQ(kuv_mapi_lock_v0(&outer, "outer", 2), 1u);
    ASSERT_EQ(kuv_mapi_lock_v0(heap_lock, "holder", 3), 1u);
    EXPECT_EQ(kuv_mapi_set_dead_lock_callback_v0(giving_up), nullptr);
    OutputCapture err(2);
    // The untimed wait first: once a holding is wrongly released, it would
    // join the queue and never end.
    EXPECT_EQ(kuv_mapi_lock_condition_wait_v0(&condition, &outer, 3, "w", 4), 0u);
    EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, &outer, 3, 10, "w", 5), 0u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 6), 0u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_broadcast_v0(&condition, "t", 7), 0u);
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 8), 0u);
    kuv_heap_info_t copy;
    EXPECT_EQ(kuv_xapi_get_heap_info(&copy), &copy);
    for (kuv_lock_t *lock : {&condition.lock, &outer, heap_lock}) {
        EXPECT_EQ(lock->count, 1u);
        EXPECT_EQ(lock->exclusive, 1u);
    }
    EXPECT_EQ(condition.first, nullptr);
    // Another thread's block may not be counted beside the holder either: an
    // update made beside one made under the lock can be lost.
    std::atomic<bool> counted{false};
    std::thread allocating([&] {
        kuv_xapi_free(kuv_xapi_alloc(8));
        counted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(counted);
    kuv_mapi_unlock_v0(heap_lock);
    allocating.join();
    kuv_mapi_unlock_v0(&outer);
    kuv_mapi_unlock_v0(&condition.lock);

    auto read_stamps = [] {
        for (int i = 0; i < 300000; ++i)
            kuv_xapi_time_stamp();
    };
    std::thread first(read_stamps), second(read_stamps);
    first.join();
    second.join();
    EXPECT_EQ(kuv_mapi_set_dead_lock_callback_v0(nullptr), giving_up);
    EXPECT_EQ(err.finish(), "");
}

// Wake-ups before a waiter are not remembered; later ones reach the oldest
// waiters one each. A wait gives up its outer lock and holds it again in
// the outer mode when woken or timed out.
TEST(Condition, WakeUpsReachTheOldestWaitersOneEach) {
    kuv_lock_condition_t condition;
    kuv_mapi_init_lock_condition_v0(&condition);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 1), 0u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_broadcast_v0(&condition, "t", 1), 0u);
    kuv_lock_t outer{};
    ASSERT_EQ(kuv_mapi_ref_lock_v0(&outer, 1, "outer", 1), 1u);
    const auto start = Clock::now();
    EXPECT_EQ(kuv_mapi_lock_condition_time_wait_v0(&condition, &outer, 1, 30, "w", 2), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(29));  // whole-ms readings
    EXPECT_EQ(outer.count, 1u);
    EXPECT_EQ(outer.exclusive, 0u);
    kuv_mapi_unlock_v0(&outer);
    std::atomic<int> woken[3] = {0, 0, 0};
    std::thread waiters[3];
    for (int i = 0; i < 3; ++i) {
        waiters[i] = std::thread([&, i] {
            kuv_mapi_lock_v0(&outer, "outer", 1);
            EXPECT_EQ(kuv_mapi_lock_condition_wait_v0(&condition, &outer, 3, "w", i), 1u);
            EXPECT_EQ(outer.exclusive, 1u);
            kuv_mapi_unlock_v0(&outer);
            woken[i] = 1;
        });
        ASSERT_TRUE(await([&] { return waiter_count(&condition) == i + 1; }));
    }
    EXPECT_EQ(kuv_mapi_lock_timeout_v0(&outer, "waker", 2, 5000), 1u);
    kuv_mapi_unlock_v0(&outer);
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 4), 0u);
    // Two wake-ups in a row, before the first waiter can have left: each
    // reaches a different waiter, oldest first; the youngest keeps waiting.
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 5), 1u);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "t", 6), 1u);
    EXPECT_TRUE(await([&] { return woken[0] && woken[1]; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(woken[2]);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_broadcast_v0(&condition, "t", 7), 1u);
    for (auto &waiter : waiters)
        waiter.join();
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 8), 1u);
}

// Holds a waiter that waits for the condition's lock to leave the queue
// until the test has had its turn with the condition.
std::atomic<bool> g_leaving{false}, g_test_done{false};
int32_t pausing_leaver(kuv_lock_t *, const char *name, int32_t, int32_t) {
    if (std::string(name) != "late_waiter") return 0;
    g_leaving = true;
    await([] { return g_test_done.load(); });
    return 0;
}

TEST(Condition, AWakeUpThatReachesAWaiterAfterItsTimeOutIsNotLost) {
    // The waiter's time-out passes while the condition's lock is held, so it
    // has not seen its flag when it goes to leave the queue; a wake-up comes
    // before it can. That wake-up reports a waiter reached, so the waiter
    // must count as woken, or nobody is.
    kuv_lock_condition_t condition{};
    std::atomic<uint32_t> result{2};
    std::thread waiter([&] {
        result = kuv_mapi_lock_condition_time_wait_v0(&condition, nullptr, 0, 20, "late_waiter", 1);
    });
    ASSERT_TRUE(await([&] { return waiter_count(&condition) == 1; }));
    EXPECT_EQ(kuv_mapi_set_dead_lock_callback_v0(pausing_leaver), nullptr);
    ASSERT_EQ(kuv_mapi_lock_v0(&condition.lock, "holder", 2), 1u);
    EXPECT_TRUE(await([] { return g_leaving.load(); }));
    kuv_mapi_unlock_v0(&condition.lock);
    EXPECT_EQ(kuv_mapi_lock_condition_wakeup_v0(&condition, "waker", 3), 1u);
    g_test_done = true;
    waiter.join();
    EXPECT_EQ(kuv_mapi_set_dead_lock_callback_v0(nullptr), pausing_leaver);
    EXPECT_EQ(result, 1u);
    EXPECT_EQ(kuv_mapi_lock_condition_destroy_v0(&condition, "t", 4), 1u);
}

// A thread cancelled while a call holds a lock or has a waiter queued in its
// frame: here a cancellation is already pending when the call starts, so it
// would act at the call's first pause, read or close. The call must finish
// first, and leave neither a waiter nor a taken lock behind.
void call_with_cancellation_pending(void *argument) {
    pthread_cancel(pthread_self());
    auto *condition = static_cast<kuv_lock_condition_t *>(argument);
    kuv_lock_t outer{};
    kuv_mapi_lock_v0(&outer, "outer", 1);
    kuv_mapi_lock_condition_time_wait_v0(condition, &outer, 3, 20, "cancelled_waiter", 2);
    kuv_mapi_unlock_v0(&outer);
    // The first answer of each probes the host with a socket it closes
    // under the answer's lock.
    kuv_xapi_is_supported_ipv4();
    kuv_xapi_is_supported_ipv6();
    pthread_testcancel();
}

TEST(Condition, ACancelledThreadLeavesNoWaiterAndNoLockBehind) {
    kuv_lock_condition_t condition{};
    pthread_t thread;
    ASSERT_TRUE(kuv_test::start_cancellable(&thread, call_with_cancellation_pending, &condition));
    ASSERT_TRUE(kuv_test::cancel_and_join(thread));
    EXPECT_EQ(condition.first, nullptr);
    g_attempts.clear();
    g_stop_at = 1;
    kuv_mapi_set_dead_lock_callback_v0(recording_callback);
    kuv_xapi_is_supported_ipv4();
    kuv_xapi_is_supported_ipv6();
    kuv_mapi_set_dead_lock_callback_v0(nullptr);
    EXPECT_TRUE(g_attempts.empty());
}

}  // namespace
