// The event handle without a network: defaults, the event header on the
// wire, calls without a handle, poll before create, and the service and
// thread forwards.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>

#include "kue/event_header.h"
#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kuv::kue;
using kue_test::StatusLog;

class KueHandle : public kuv_test::ResourceCheckedTest {};

TEST(KueEventHeader, IsLittleEndianTypeCmdSeqAndLifetime) {
    std::array<uint8_t, 20> bytes{};
    EventHeader header{0x04030201u, 0x08070605u, 0x0C0B0A09u, 0x14131211100F0E0Dull};
    write_event_header(bytes, header);
    for (size_t i = 0; i < bytes.size(); ++i)
        EXPECT_EQ(bytes[i], i + 1) << i;
    EventHeader back = read_event_header(bytes);
    EXPECT_EQ(back.type, header.type);
    EXPECT_EQ(back.cmd, header.cmd);
    EXPECT_EQ(back.seq, header.seq);
    EXPECT_EQ(back.remaining_msec, header.remaining_msec);
}

TEST(KueEventHeader, LifetimeIsWhatIsLeftAndNeverStaysNeverAtTheReceiver) {
    EXPECT_EQ(remaining_lifetime(1500, 1000), 500u);
    EXPECT_EQ(remaining_lifetime(1000, 1000), 0u);
    EXPECT_EQ(remaining_lifetime(999, 1000), 0u);  // already past: nothing left
    // "Never" travels as all ones minus the sender's time ...
    const uint64_t sender_time = 123456789;
    const uint64_t wire = remaining_lifetime(kNever, sender_time);
    EXPECT_EQ(wire, ~0ull - sender_time);
    // ... and a receiver whose clock is ahead does not wrap it into the past.
    EXPECT_EQ(expiry_from_remaining(sender_time + 1, wire), kNever);
    EXPECT_EQ(expiry_from_remaining(sender_time, wire), kNever);
    EXPECT_EQ(expiry_from_remaining(~0ull, 1), kNever);
    EXPECT_EQ(expiry_from_remaining(2000, 500), 2500u);
}

TEST_F(KueHandle, CallsWithoutHandleAreRefused) {
    EXPECT_EQ(kue_xapi_event_init(nullptr), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kue_xapi_event_create(nullptr), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kue_xapi_event_poll(nullptr), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kue_xapi_event_push(nullptr, 0, 1, 2, "x", 1), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kue_xapi_event_pop(nullptr), nullptr);
    EXPECT_EQ(kue_xapi_event_get_rx_count(nullptr), -1);
    EXPECT_EQ(kue_xapi_event_get_tx_count(nullptr), -1);
    EXPECT_EQ(kue_xapi_event_free(nullptr), 0);
    kue *none = nullptr;
    EXPECT_EQ(kue_xapi_event_delete(nullptr), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kue_xapi_event_delete(&none), KUV_RESULT_INVALID_ARGUMENT);
}

TEST_F(KueHandle, PollBeforeCreateReportsNotReadyAndPushQueuesNothing) {
    kue *handle = nullptr;
    ASSERT_EQ(kue_xapi_event_init(&handle), 1u);
    EXPECT_EQ(handle->protocol_type, 0x11020400u);
    EXPECT_EQ(handle->use_async_service, 1u);
    EXPECT_EQ(handle->expire_time, 60000);
    StatusLog log;
    log.clear_errors = false;
    log.attach(handle);
    EXPECT_EQ(kue_xapi_event_poll(handle), KUE_RESULT_NOT_CREATED);
    EXPECT_EQ(handle->error_code, KUE_RESULT_NOT_CREATED);
    EXPECT_EQ(kue_xapi_event_push(handle, 0, 1, 2, "abc", 3), 0u);
    EXPECT_EQ(kue_xapi_event_pop(handle), nullptr);
    auto reports = log.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, KUE_STATUS_ERROR);
    EXPECT_EQ(reports[0].id, KUE_RESULT_NOT_CREATED);
    EXPECT_EQ(reports[0].text, "not ready head ! (need create)");
    EXPECT_EQ(kue_xapi_event_delete(&handle), 1u);
    EXPECT_EQ(handle, nullptr);
}

std::atomic<int> g_detached_runs;
void *count_run(void *) {
    ++g_detached_runs;
    return nullptr;
}

std::atomic<int> g_service_state_seen;
void service_entry(kue_service_t service, void *context) {
    auto *rounds = static_cast<std::atomic<int> *>(context);
    g_service_state_seen = kue_xapi_check_service(service);  // started, not yet acknowledged
    kue_xapi_ack_service(service);
    while (kue_xapi_break_service(service) == 0) {
        ++*rounds;
        kuv_xapi_sleep_wait(0, 500);
    }
}

TEST_F(KueHandle, ServiceAndThreadForwardsMapThePlatformAnswers) {
    std::atomic<int> rounds{0};
    kue_service_t service = kue_xapi_open_service_ex("kue_test", service_entry, &rounds, 0);
    ASSERT_NE(service, 0u);
    ASSERT_TRUE(kue_test::wait_until([&] { return rounds > 2; }, 10000));
    EXPECT_EQ(g_service_state_seen, 1);  // the platform's 2 ("starting") reads as 1
    EXPECT_EQ(kue_xapi_check_service(service), 1);
    EXPECT_EQ(kue_xapi_break_service(service), 0);
    EXPECT_EQ(kue_xapi_error_service(service, 0), 0);
    EXPECT_EQ(kue_xapi_error_service(service, 77), 77);
    EXPECT_EQ(kue_xapi_close_service(service), 0);
    EXPECT_EQ(kue_xapi_check_service(0), -1);
    EXPECT_EQ(kue_xapi_close_service(0), -1);
    EXPECT_EQ(kue_xapi_ack_service(0), -1);

    EXPECT_EQ(kue_xapi_detached_thread_ex(count_run, nullptr, 0), 1);
    EXPECT_TRUE(kue_test::wait_until([] { return g_detached_runs == 1; }, 10000));
    EXPECT_EQ(kue_xapi_detached_thread_ex(nullptr, nullptr, 0), -1);
    EXPECT_EQ(kue_xapi_detached_thread_ex(count_run, nullptr, 1), -1);  // stack too small
    EXPECT_EQ(kue_xapi_set_minimum_thread_stack_size(65536), 65536u);
}

}  // namespace
