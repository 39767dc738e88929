// Readiness waits: masks and results, time-outs, interruptions, and
// descriptors above select's limit.
#include <errno.h>
#include <sys/resource.h>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

using namespace kuv_socket_test;
using SocketWait = kuv_test::ResourceCheckedTest;

TEST_F(SocketWait, ReportsOnlyTheAskedConditionsThatAreReady) {
    TcpPair pair;
    Stopwatch watch;
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, KUV_SOCKET_POLL_READABLE, 0), 0);
    EXPECT_LT(watch.elapsed_ms(), 200);
    EXPECT_EQ(kuv_xapi_rx_poll_socket(pair.server, 0), 0);
    EXPECT_EQ(kuv_xapi_tx_poll_socket(pair.server, 0), 1);

    ASSERT_EQ(send(pair.client, "x", 1, 0), 1);
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, 7, 1000), 3);
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, KUV_SOCKET_POLL_WRITABLE, 1000), 2);
    ASSERT_EQ(send(pair.client, "!", 1, MSG_OOB), 1);
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, KUV_SOCKET_POLL_EXCEPTIONAL, 1000), 4);
}

TEST_F(SocketWait, WaitsForItsTimeOut) {
    TcpPair pair;
    Stopwatch watch;
    EXPECT_EQ(kuv_xapi_rx_poll_socket(pair.server, 1500), 0);
    EXPECT_GE(watch.elapsed_ms(), 1450);
    EXPECT_LT(watch.elapsed_ms(), 10000);
}

TEST_F(SocketWait, UnlimitedWaitEndsWhenDataArrive) {
    TcpPair pair;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        send(pair.client, "x", 1, 0);
    });
    EXPECT_EQ(kuv_xapi_rx_poll_socket(pair.server, -1), 1);
    writer.join();
}

TEST_F(SocketWait, InterruptedWaitStartsAgainWithFlagZero) {
    TcpPair pair;
    Stopwatch watch;
    {
        SignalAfter signal(400);
        EXPECT_EQ(kuv_xapi_poll_socket_intr(pair.server, KUV_SOCKET_POLL_READABLE, 1000, 0), 0);
    }
    // The whole time-out applies again after the interruption.
    EXPECT_GE(watch.elapsed_ms(), 1350);
    EXPECT_LT(watch.elapsed_ms(), 10000);
}

TEST_F(SocketWait, InterruptedWaitFailsWithFlagOne) {
    TcpPair pair;
    Stopwatch watch;
    SignalAfter signal(200);
    errno = 0;
    EXPECT_EQ(kuv_xapi_rx_poll_socket_intr(pair.server, 5000, 1), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_LT(watch.elapsed_ms(), 4000);
}

TEST_F(SocketWait, ClosedDescriptorFailsWithEbadf) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(kuv_xapi_poll_socket(fd, KUV_SOCKET_POLL_READABLE, 100), -1);
    EXPECT_EQ(errno, EBADF);
}

// select's sets end at 1024; a descriptor beyond them must still work in
// every wait, with no memory written out of bounds.
TEST_F(SocketWait, DescriptorsAbove1024WorkInEveryWait) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1700) GTEST_SKIP() << "descriptor limit below 1700";
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    Listener listener;
    Fd high_listener(dup2(listener.fd, 1500));
    Fd high_client(dup2(Fd(socket(AF_INET, SOCK_STREAM, 0)), 1600));
    ASSERT_EQ(high_listener, 1500);
    ASSERT_EQ(high_client, 1600);

    EXPECT_EQ(kuv_xapi_accept(high_listener, nullptr, nullptr, 50), -1);
    ASSERT_EQ(kuv_xapi_connect(high_client, listener.addr(), sizeof listener.address, 2000), 1);
    Fd server(kuv_xapi_accept(high_listener, nullptr, nullptr, 2000));
    ASSERT_GE(server, 0);
    Fd high_server(dup2(server, 1700));

    char buffer[8];
    EXPECT_EQ(kuv_xapi_recv(high_server, buffer, sizeof buffer, 50), 0);
    EXPECT_EQ(kuv_xapi_tx_poll_socket(high_client, 1000), 1);
    EXPECT_EQ(kuv_xapi_send(high_client, "abcd", 4, 1000), 4);
    EXPECT_EQ(kuv_xapi_poll_socket(high_server, 3, 1000), 3);
    EXPECT_EQ(kuv_xapi_recv_fill(high_server, buffer, 4, 1000), 4);
    EXPECT_EQ(kuv_xapi_rx_poll_socket(high_server, 50), 0);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
