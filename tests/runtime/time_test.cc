#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "davro_kuv.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
std::chrono::microseconds time_of(F &&f) {
    auto start = Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

TEST(LoadBalance, MinimumPauseIsASettingThatOnlyPositiveValuesChange) {
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(0), 10000);
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(-3), 10000);
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(20000), 10000);
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(10000), 20000);
}

TEST(LoadBalance, PauseIsNeverShorterThanTheMinimum) {
    EXPECT_GE(time_of([] { kuv_xapi_load_balance_ex(500); }), std::chrono::microseconds(10000));
    EXPECT_GE(time_of([] { kuv_xapi_load_balance_ex(50000); }), std::chrono::microseconds(50000));
    // The spinning pause is short: well under a millisecond at first.
    auto short_pause = time_of([] { kuv_xapi_load_balance(); });
    EXPECT_LT(short_pause, std::chrono::milliseconds(5));
    EXPECT_EQ(kuv_xapi_sched_yield(), 0);
}

TEST(Timer, ExpiresAfterItsDurationAndRecordsElapsedTime) {
    kuv_timer_t timer;
    EXPECT_EQ(kuv_xapi_init_timer(&timer, 0), 0);
    EXPECT_EQ(kuv_xapi_check_timer(&timer), 1);

    auto start = Clock::now();
    kuv_xapi_init_timer(&timer, 100);
    EXPECT_EQ(kuv_xapi_update_timer(&timer, 50), 150u);
    while (!kuv_xapi_check_timer(&timer))
        kuv_xapi_sleep_wait(0, 1000);
    // Readings are whole milliseconds, so the real time may fall short of
    // the duration by less than one.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(149));
    EXPECT_GE(timer.elapsed, 150u);
    EXPECT_LT(timer.elapsed, 5000u);
    EXPECT_EQ(timer.info.last_msec, timer.start + timer.elapsed);

    uint64_t reading = kuv_xapi_set_timer(&timer, static_cast<uint64_t>(-1));
    EXPECT_EQ(timer.start, reading);
    EXPECT_EQ(timer.elapsed, 0u);
    EXPECT_EQ(kuv_xapi_check_timer(&timer), 0);  // -1 never expires
}

TEST(Timer, SleepWaitTakesMicrosecondsBeyondASecond) {
    auto slept = time_of([] { kuv_xapi_sleep_wait(0, 1200000); });
    EXPECT_GE(slept, std::chrono::microseconds(1200000));
    EXPECT_LT(slept, std::chrono::seconds(5));
}

TEST(Clock, WallClockAndStampsAgreeWithTheSystem) {
    EXPECT_EQ(kuv_xapi_time(nullptr) / 10, static_cast<uint64_t>(std::time(nullptr)) / 10);
    uint64_t seconds = 0, extra = 0;
    uint32_t fraction = 0;
    uint64_t returned = kuv_xapi_time_ex(&seconds, &fraction, &extra);
    EXPECT_EQ(returned, seconds);
    EXPECT_LT(fraction, 1000000u);
    EXPECT_EQ(extra / 1000, seconds);

    kuv_time_stamp_info_t info;
    info.last_msec = 7;
    EXPECT_EQ(kuv_xapi_init_time_stamp_info(&info), &info);
    EXPECT_EQ(info.last_msec, 0u);
    uint64_t first = kuv_xapi_get_time_stamp_info(&info);
    EXPECT_EQ(info.last_msec, first);
    kuv_xapi_sleep_wait(0, 20000);
    uint64_t second = kuv_xapi_time_stamp();
    EXPECT_GE(second, first + 20);
    EXPECT_GT(kuv_xapi_uptime(), 0u);
}

}  // namespace
