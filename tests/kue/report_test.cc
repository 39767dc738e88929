// The built-in status and error reports: every text exactly, where it goes,
// the answers, and that nothing prints at debug_level 0.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kue/kue_internal.h"
#include "support/test_support.h"

namespace {

using kuv::kue::report_error;
using kuv::kue::report_status;
using kuv_test::OutputCapture;

class KueBuiltInReport : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        ASSERT_EQ(kue_xapi_event_init(&handle_), 1u);
        std::strcpy(handle_->peer_name, "peer.example");
        std::strcpy(handle_->local_name, "0.0.0.0");
        handle_->port = 7001;
        handle_->time_stamp = 5000;
        handle_->tx_count = 3;
        handle_->rx_count = 2;
        ASSERT_EQ(kuv_xapi_kuvnet_init(&endpoint_, 0), 1u);
        std::strcpy(endpoint_->peer_name, "127.0.0.9");
        connection_.endpoint = endpoint_;
        connection_.tx_count = 4;
        connection_.rx_count = 5;
        event_.type = 0xA1;
        event_.cmd = 0xB2;
        event_.seq = 0xC3;
        event_.expire_time = 4750;
    }
    void TearDown() override {
        kuv_xapi_kuvnet_delete(&endpoint_);
        kue_xapi_event_delete(&handle_);
        ResourceCheckedTest::TearDown();
    }

    struct Printed {
        int32_t answer;
        std::string out, err;
    };
    Printed report(uint32_t code, uint32_t id, void *object) {
        OutputCapture out(1), err(2);
        int32_t answer = report_status(handle_, code, id, object);
        return {answer, out.finish(), err.finish()};
    }

    kue *handle_ = nullptr;
    kuvnet *endpoint_ = nullptr;
    kue_connection connection_{};
    kue_event event_{};
};

TEST_F(KueBuiltInReport, PrintsEveryStatusTextAboveLevelZeroAndAnswersTheSameAtEveryLevel) {
    struct Case {
        uint32_t code;
        void *object;
        const char *out;
        const char *err;
        int32_t answer;
    };
    const Case cases[] = {
        {2, nullptr, "", "", 1},
        {3, &connection_, "pending (0000002AH) to \"peer.example\" (tx/rx queued count=4/5)\n", "",
         1},
        {4, &connection_, "accepted 0000002AH from \"127.0.0.9\" (listen=\"0.0.0.0:7001\")\n", "",
         1},
        {5, &connection_, "connected 0000002AH to \"127.0.0.9\"\n", "", 1},
        {6, &connection_, "disconnected 0000002AH by \"127.0.0.9\"\n", "", 1},
        {7, &event_,
         "expired tx_event (id=0000002AH, type=000000A1H, cmd=000000B2H, seq=000000C3H, 250 "
         "msec)\n",
         "", 1},
        {8, &event_,
         "expired rx_event (id=0000002AH, type=000000A1H, cmd=000000B2H, seq=000000C3H, 250 "
         "msec)\n",
         "", 1},
        {9, &event_,
         "sent tx_event (id=0000002AH, type=000000A1H, cmd=000000B2H, seq=000000C3H, "
         "tx_count=3--)\n",
         "", 1},
        {10, &event_,
         "recieved rx_event (id=0000002AH, type=000000A1H, cmd=000000B2H, seq=000000C3H, "
         "rx_count=2++)\n",
         "", 0},
        {11, &event_, "push event (id=0000002AH, type=000000A1H, cmd=000000B2H, seq=000000C3H)\n",
         "", 1},
        {12, &event_, "pop event (id=0000002AH, type=000000A1H, cmd=000000B2H, seq=000000C3H)\n",
         "", 1},
        {13, nullptr, "", "unknown status (status_code=0000000DH)\n", 0},
    };
    for (int32_t level : {0, 1}) {
        handle_->debug_level = level;
        for (const Case &expected : cases) {
            SCOPED_TRACE(expected.code);
            Printed printed = report(expected.code, 0x2A, expected.object);
            EXPECT_EQ(printed.out, level ? expected.out : "");
            EXPECT_EQ(printed.err, level ? expected.err : "");
            EXPECT_EQ(printed.answer, expected.answer);
        }
    }
}

TEST_F(KueBuiltInReport, ErrorPrintsTheWidenedCodeAndClearsItAtEveryLevel) {
    handle_->debug_level = 1;
    OutputCapture err(2);
    EXPECT_EQ(report_error(handle_, 0x80000010u, "few rx_packet_size !"), 0x80000010u);
    EXPECT_EQ(handle_->error_code, 0u);
    EXPECT_EQ(report_error(handle_, 0x1234u, "small"), 0x1234u);
    EXPECT_EQ(err.finish(),
              "kue error (error_code=FFFFFFFF80000010H, \"few rx_packet_size !\")\n"
              "kue error (error_code=00001234H, \"small\")\n");

    handle_->debug_level = 0;
    OutputCapture quiet(2);
    report_error(handle_, 0x88000002u, "invalid argument ! (push)");
    EXPECT_EQ(quiet.finish(), "");
    EXPECT_EQ(handle_->error_code, 0u);
    // Without a handle only the code comes back.
    EXPECT_EQ(report_error(nullptr, 0x88000002u, "invalid argument ! (poll)"), 0x88000002u);
}

}  // namespace
