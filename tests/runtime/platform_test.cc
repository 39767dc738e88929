#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sorvan_vkl.h"

namespace {

std::atomic<int> g_rounds;
std::atomic<bool> g_returned;

void service_loop(sorvan_service_t service, void *) {
    sorvan_ack_service(service);
    while (!sorvan_break_service(service)) {
        ++g_rounds;
        sorvan_sleep_wait(0, 1000);
    }
    g_returned = true;
}

TEST(PlatformService, RunsUntilCloseAndCloseWaitsForTheEntry) {
    sorvan_service_t service =
        sorvan_open_service_ex("kue_async_service", service_loop, nullptr, 0);
    ASSERT_NE(service, 0u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_rounds < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(sorvan_check_service(service), 1);
    EXPECT_EQ(sorvan_error_service(service, 7), 7);
    EXPECT_EQ(sorvan_close_service(service), 0);
    EXPECT_TRUE(g_returned);  // close returns only after the entry did
}

TEST(PlatformText, ClassesAreThoseOfTheCLocale) {
    EXPECT_NE(sorvan_ctype_select('F', 0x28), 0);
    EXPECT_EQ(sorvan_ctype_select('g', 0x28), 0);
    EXPECT_EQ(sorvan_ctype_select(0xE9, 0x2A), 0);
    EXPECT_EQ(sorvan_to_lower(0xC9), 0xC9);
    EXPECT_EQ(sorvan_atox("12g4", 16), 0x12u);
    EXPECT_EQ(sorvan_uninit_network(), -1);  // no start to match
}

}  // namespace
