// Pauses, clocks, timers and the portability layer's service threads and
// character classes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "davro_kuv.h"
#include "platform/sorvan_vkl.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
std::chrono::microseconds time_of(F &&f) {
    auto start = Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

TEST(Clock, StampsPausesAndTimersKeepToTheSystemClock) {
    EXPECT_EQ(kuv_xapi_time(nullptr) / 10, static_cast<uint64_t>(std::time(nullptr)) / 10);
    uint64_t seconds = 0, extra = 0;
    uint32_t fraction = 0;
    EXPECT_EQ(kuv_xapi_time_ex(&seconds, &fraction, &extra), seconds);
    EXPECT_LT(fraction, 1000000u);
    EXPECT_EQ(fraction / 1000, extra % 1000);  // one instant, in microseconds and milliseconds
    EXPECT_EQ(extra / 1000, seconds);

    // Pauses are never shorter than the configured minimum.
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(0), 10000);  // 0 or less changes nothing
    EXPECT_EQ(kuv_xapi_set_load_balance_time_usec(20000), 10000);
    EXPECT_GE(time_of([] { kuv_xapi_load_balance_ex(500); }), std::chrono::microseconds(20000));
    kuv_xapi_set_load_balance_time_usec(10000);
    EXPECT_GE(time_of([] { kuv_xapi_load_balance_ex(50000); }), std::chrono::microseconds(50000));
    const uint64_t first = kuv_xapi_time_stamp();
    EXPECT_GE(time_of([] { kuv_xapi_sleep_wait(0, 1200000); }),  // beyond one second
              std::chrono::microseconds(1200000));
    EXPECT_GE(kuv_xapi_time_stamp(), first + 1200);

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
    kuv_xapi_set_timer(&timer, static_cast<uint64_t>(-1));
    // -1 never expires, nor once more time is added to it.
    EXPECT_EQ(kuv_xapi_update_timer(&timer, 50), static_cast<uint64_t>(-1));
    EXPECT_EQ(kuv_xapi_check_timer(&timer), 0);
}

std::atomic<int> g_rounds;
std::atomic<bool> g_returned;
std::atomic<int> g_break_after_close{-1};

void service_loop(sorvan_service_t service, void *) {
    sorvan_ack_service(service);
    for (; !sorvan_break_service(service); ++g_rounds)
        sorvan_sleep_wait(0, 1000);
    g_returned = true;
}

void closing_itself(sorvan_service_t service, void *) {
    sorvan_ack_service(service);
    EXPECT_EQ(sorvan_close_service(service), 0);
    // The record stays valid until this entry returns, and says stop.
    g_break_after_close = sorvan_break_service(service);
}

// Closes itself once asked to stop, while the close that asked waits.
void closing_when_stopped(sorvan_service_t service, void *) {
    sorvan_ack_service(service);
    while (!sorvan_break_service(service))
        sorvan_sleep_wait(0, 1000);
    EXPECT_EQ(sorvan_close_service(service), 0);
    sorvan_sleep_wait(0, 20000);  // the waiting close still holds the record
}

void returning_at_once(sorvan_service_t service, void *) {
    sorvan_ack_service(service);
}

void *ran_detached(void *) {
    g_returned = true;
    return nullptr;
}

// Close waits for the entry to return; a service closed from its own entry
// ends without waiting on itself, and under the address sanitizer a record
// freed early, twice, or never, shows.
TEST(PlatformService, RunsUntilCloseAndCloseWaitsForTheEntryUnlessCalledFromIt) {
    sorvan_service_t service =
        sorvan_open_service_ex("kue_async_service", service_loop, nullptr, 0);
    ASSERT_NE(service, 0u);
    ASSERT_NE(sorvan_open_service_ex("closing", closing_itself, nullptr, 0), 0u);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((g_rounds < 3 || g_break_after_close < 0) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(g_break_after_close, 1);
    EXPECT_EQ(sorvan_check_service(service), 1);
    EXPECT_EQ(sorvan_error_service(service, 7), 7);
    EXPECT_EQ(sorvan_error_service(service, 0), 7);  // 0 records nothing
    // A child forked now has the record but not the thread: the service is
    // over there, and its close releases the record without waiting.
    const pid_t child = fork();
    if (child == 0)
        _exit(sorvan_check_service(service) == 0 && !sorvan_close_service(service) ? 7 : 1);
    int status = 0;
    for (int i = 0; i < 5000 && waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (kill(child, SIGKILL) == 0) waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
    EXPECT_EQ(sorvan_close_service(service), 0);
    EXPECT_TRUE(g_returned);
    // An entry that returns by itself leaves a service that says it ended.
    service = sorvan_open_service_ex("returning", returning_at_once, nullptr, 0);
    while (sorvan_check_service(service) != 0 && Clock::now() < deadline + std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(sorvan_check_service(service), 0);
    EXPECT_EQ(sorvan_close_service(service), 0);
    g_returned = false;  // a detached thread with the default stack
    ASSERT_EQ(sorvan_detached_thread_ex_tag(ran_detached, nullptr, 0, "test", __LINE__), 0);
    while (!g_returned && Clock::now() < deadline + std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(g_returned);
    service = sorvan_open_service_ex("closing late", closing_when_stopped, nullptr, 0);
    ASSERT_NE(service, 0u);
    EXPECT_EQ(sorvan_close_service(service), 0);
    std::this_thread::sleep_for(
        std::chrono::milliseconds(20));  // the closed thread frees its record
}

TEST(PlatformText, ClassesAreThoseOfTheCLocale) {
    EXPECT_NE(sorvan_ctype_select('F', 0x28), 0);
    EXPECT_EQ(sorvan_ctype_select('g', 0x28), 0);
    EXPECT_EQ(sorvan_ctype_select(0xE9, 0x2A), 0);
    EXPECT_EQ(sorvan_to_lower(0xC9), 0xC9);
    EXPECT_EQ(sorvan_to_upper('z'), 'Z');
    for (const char space : {' ', '\t', '\n', '\v', '\f', '\r'})
        EXPECT_NE(sorvan_ctype_select(space, SORVAN_CTYPE_SPACE), 0) << int{space};
    EXPECT_EQ(sorvan_atox("12g4", 16), 0x12u);
    EXPECT_EQ(sorvan_uninit_network(), -1);  // no start to match
}

}  // namespace
