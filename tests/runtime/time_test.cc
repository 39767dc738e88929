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

TEST(LoadBalance, PausesAreNeverShorterThanTheConfiguredMinimum) {
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(0), 10000);  // 0 or less changes nothing
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(20000), 10000);
    EXPECT_GE(time_of([] { kuv_xapi_load_balance_ex(500); }), std::chrono::microseconds(20000));
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(10000), 20000);
    EXPECT_GE(time_of([] { kuv_xapi_load_balance_ex(50000); }), std::chrono::microseconds(50000));
    // The spinning pause is short: well under a millisecond at first.
    EXPECT_LT(time_of([] { kuv_xapi_load_balance(); }), std::chrono::milliseconds(5));
    auto slept = time_of([] { kuv_xapi_sleep_wait(0, 1200000); });  // beyond one second
    EXPECT_GE(slept, std::chrono::microseconds(1200000));
    EXPECT_LT(slept, std::chrono::seconds(5));
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
    // Readings are whole milliseconds: the real time may fall short by less than one.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(149));
    EXPECT_GE(timer.elapsed, 150u);
    EXPECT_EQ(timer.info.last_msec, timer.start + timer.elapsed);

    kuv_xapi_set_timer(&timer, static_cast<uint64_t>(-1));
    EXPECT_EQ(timer.elapsed, 0u);
    EXPECT_EQ(kuv_xapi_check_timer(&timer), 0);  // -1 never expires
}

TEST(Clock, WallClockAndStampsAgreeWithTheSystem) {
    EXPECT_EQ(kuv_xapi_time(nullptr) / 10, static_cast<uint64_t>(std::time(nullptr)) / 10);
    uint64_t seconds = 0, extra = 0;
    uint32_t fraction = 0;
    EXPECT_EQ(kuv_xapi_time_ex(&seconds, &fraction, &extra), seconds);
    EXPECT_LT(fraction, 1000000u);
    EXPECT_EQ(extra / 1000, seconds);
    uint64_t first = kuv_xapi_time_stamp();
    kuv_xapi_sleep_wait(0, 20000);
    EXPECT_GE(kuv_xapi_time_stamp(), first + 20);
}

}  // namespace
