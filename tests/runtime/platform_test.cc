#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sorvan_vkl.h"

namespace {

struct LoopState {
    std::atomic<int> rounds{0};
    std::atomic<bool> returned{false};
};

void service_loop(sorvan_service_t service, void *context) {
    auto *state = static_cast<LoopState *>(context);
    sorvan_ack_service(service);
    while (!sorvan_break_service(service)) {
        ++state->rounds;
        sorvan_sleep_wait(0, 1000);
    }
    state->returned = true;
}

TEST(PlatformService, RunsUntilCloseAndCloseWaitsForTheEntry) {
    LoopState state;
    sorvan_service_t service = sorvan_open_service_ex("kue_async_service", service_loop, &state, 0);
    ASSERT_NE(service, 0u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (state.rounds < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(state.rounds, 3);
    EXPECT_EQ(sorvan_check_service(service), 1);
    EXPECT_EQ(sorvan_error_service(service, 0), 0);
    EXPECT_EQ(sorvan_error_service(service, 7), 7);
    EXPECT_EQ(sorvan_close_service(service), 0);
    EXPECT_TRUE(state.returned);  // close returns only after the entry did
    EXPECT_EQ(sorvan_open_service_ex("x", nullptr, nullptr, 0), 0u);
    EXPECT_EQ(sorvan_close_service(0), -1);
}

TEST(PlatformService, DetachedThreadRuns) {
    static std::atomic<bool> ran{false};
    auto entry = [](void *) -> void * {
        ran = true;
        return nullptr;
    };
    ASSERT_EQ(sorvan_detached_thread_ex_tag(entry, nullptr, 0, "test", __LINE__), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ran && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ran);
}

TEST(PlatformText, ClassesCaseAndHexReading) {
    EXPECT_NE(sorvan_ctype_select(' ', 2), 0);
    EXPECT_EQ(sorvan_ctype_select('a', 2), 0);
    EXPECT_NE(sorvan_ctype_select('7', 8), 0);
    EXPECT_NE(sorvan_ctype_select('F', 0x28), 0);
    EXPECT_EQ(sorvan_ctype_select('g', 0x28), 0);
    EXPECT_EQ(sorvan_ctype_select(0xE9, 0x2A), 0);  // no locale letters
    EXPECT_EQ(sorvan_to_upper('q'), 'Q');
    EXPECT_EQ(sorvan_to_lower(0xC9), 0xC9);
    EXPECT_EQ(sorvan_atox("ffff", 16), 0xFFFFu);
    EXPECT_EQ(sorvan_atox("", 16), 0u);
    EXPECT_EQ(sorvan_atox("12g4", 16), 0x12u);
    EXPECT_EQ(sorvan_get_protocol_by_name("udp"), 17);
    EXPECT_EQ(sorvan_get_protocol_by_name("no-such-protocol"), -1);
    EXPECT_EQ(sorvan_init_network(), 0);
    EXPECT_EQ(sorvan_uninit_network(), 0);
    EXPECT_EQ(sorvan_uninit_network(), -1);  // no start left to match
}

}  // namespace
