// Waiting for descriptors: results, refusals, and descriptors numbered 1024
// and above.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "sysio/file_test_support.h"

namespace {

using kuv_file_test::Pipe;
using kuv_file_test::seconds_since;
using Clock = std::chrono::steady_clock;

class FilePoll : public kuv_test::ResourceCheckedTest {};

// Every wait on a pipe whose ends carry these numbers.
void check_waits_on_pipe(int read_end, int write_end) {
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, 0), 0);
    auto start = Clock::now();
    EXPECT_EQ(kuv_xapi_poll_fd(read_end, 1 | 4, 150), 0);
    EXPECT_GE(seconds_since(start), 0.14);
    EXPECT_EQ(kuv_xapi_tx_poll_fd(write_end, 0), 1);
    EXPECT_EQ(kuv_xapi_poll_fd(write_end, 1 | 2 | 4, -1), 2);

    ASSERT_EQ(write(write_end, "ab", 2), 2);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, -1), 1);
    EXPECT_EQ(kuv_xapi_poll_fd(read_end, 1 | 2 | 4, 1000), 1);
    EXPECT_EQ(kuv_xapi_poll_fd_intr(read_end, 2, 0, 1), 0);  // only what was asked
    // A hang-up counts as readable; the read then sees the end.
    close(write_end);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, 1000), 1);
    char drained[4];
    EXPECT_EQ(kuv_xapi_read(read_end, drained, sizeof drained), 2);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, -1), 1);
    EXPECT_EQ(kuv_xapi_read(read_end, drained, sizeof drained), 0);
}

TEST_F(FilePoll, PipeReadinessTimeOutsAndRefusals) {
    Pipe pipe;
    check_waits_on_pipe(pipe.read_end(), pipe.write_end());
    pipe.ends[1] = -1;

    auto start = Clock::now();
    EXPECT_EQ(kuv_xapi_poll_fd(-1, 1, 2000), -1);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(-5, -1), -1);
    EXPECT_EQ(kuv_xapi_tx_poll_fd(-1, -1), -1);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(pipe.read_end() + 1, 2000), -1);  // not open
    EXPECT_LT(seconds_since(start), 1.5);                           // refused without waiting
}

TEST_F(FilePoll, DescriptorsAbove1024WorkInEveryWait) {
    struct rlimit limit, saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    saved = limit;
    const int high = 1500;
    if (limit.rlim_max <= static_cast<rlim_t>(high + 1)) GTEST_SKIP() << "descriptor limit";
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, high + 2);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    {
        Pipe pipe;
        ASSERT_EQ(dup2(pipe.read_end(), high), high);
        ASSERT_EQ(dup2(pipe.write_end(), high + 1), high + 1);
        close(pipe.ends[0]);
        close(pipe.ends[1]);
        pipe.ends[0] = high;
        pipe.ends[1] = -1;
        check_waits_on_pipe(high, high + 1);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
