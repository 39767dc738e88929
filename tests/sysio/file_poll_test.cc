// Waiting for descriptors: results for pipes and files, refusals, and
// descriptors numbered 1024 and above.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "sysio/file_test_support.h"

namespace {

using kuv_file_test::Pipe;

class FilePoll : public kuv_test::ResourceCheckedTest {};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Checks every wait on a pipe whose ends carry these numbers.
void check_waits_on_pipe(int read_end, int write_end) {
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, 0), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, 150), 0);
    EXPECT_GE(seconds_since(start), 0.14);
    EXPECT_EQ(kuv_xapi_poll_fd(read_end, 1 | 4, 50), 0);

    EXPECT_EQ(kuv_xapi_tx_poll_fd(write_end, 0), 1);
    EXPECT_EQ(kuv_xapi_poll_fd(write_end, 1 | 2 | 4, -1), 2);

    ASSERT_EQ(write(write_end, "ab", 2), 2);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, -1), 1);
    EXPECT_EQ(kuv_xapi_poll_fd(read_end, 1 | 2 | 4, 1000), 1);
    EXPECT_EQ(kuv_xapi_poll_fd_intr(read_end, 2, 0, 1), 0);  // only what was asked
    char drained[2];
    ASSERT_EQ(read(read_end, drained, 2), 2);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, 0), 0);
}

TEST_F(FilePoll, PipeReadinessAndTimeOuts) {
    Pipe pipe;
    check_waits_on_pipe(pipe.read_end, pipe.write_end);

    // A hang-up counts as readable, and the read then sees the end.
    pipe.close_write();
    EXPECT_EQ(kuv_xapi_rx_poll_fd(pipe.read_end, 1000), 1);
    char byte;
    EXPECT_EQ(kuv_xapi_read(pipe.read_end, &byte, 1), 0);
}

TEST_F(FilePoll, RefusesDescriptorsThatAreNotOpen) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kuv_xapi_poll_fd(-1, 1, 2000), -1);
    EXPECT_EQ(kuv_xapi_poll_fd(-5, 1, -1), -1);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(-1, -1), -1);
    EXPECT_EQ(kuv_xapi_tx_poll_fd(-1, -1), -1);
    int closed = dup(0);
    ASSERT_GE(closed, 0);
    close(closed);
    EXPECT_EQ(kuv_xapi_rx_poll_fd(closed, 2000), -1);
    EXPECT_EQ(kuv_xapi_tx_poll_fd(closed, 2000), -1);
    EXPECT_LT(seconds_since(start), 1.5);  // refused without waiting
}

TEST_F(FilePoll, RegularFilesAreAlwaysReady) {
    kuv_file_test::TempDir dir;
    int file = kuv_xapi_open((dir / "plain").c_str(), 0x4 | 0x8, 0600);
    ASSERT_GE(file, 0);
    EXPECT_EQ(kuv_xapi_poll_fd(file, 1 | 2, -1), 3);
    EXPECT_EQ(kuv_xapi_close(file), 1);
}

TEST_F(FilePoll, DescriptorsAbove1024WorkInEveryWait) {
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int high = 1500;
    rlimit saved = limit;
    if (limit.rlim_cur <= static_cast<rlim_t>(high + 1)) {
        if (limit.rlim_max <= static_cast<rlim_t>(high + 1)) GTEST_SKIP() << "descriptor limit";
        limit.rlim_cur = high + 2;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    {
        Pipe pipe;
        ASSERT_EQ(dup2(pipe.read_end, high), high);
        ASSERT_EQ(dup2(pipe.write_end, high + 1), high + 1);
        pipe.close_read();
        pipe.close_write();
        pipe.read_end = high;
        pipe.write_end = high + 1;
        check_waits_on_pipe(high, high + 1);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
