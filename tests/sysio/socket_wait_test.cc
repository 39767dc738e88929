// Readiness waits: masks, time-outs, interruptions, descriptors above 1024.
#include <errno.h>
#include <sys/resource.h>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

using namespace kuv_socket_test;
using SocketWait = kuv_test::ResourceCheckedTest;

TEST_F(SocketWait, ReportsTheAskedConditionsThatAreReady) {
    TcpPair pair;
    Stopwatch watch;
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, KUV_SOCKET_POLL_READABLE, 0), 0);
    EXPECT_LT(watch.ms(), 200);
    EXPECT_EQ(kuv_xapi_tx_poll_socket(pair.server, 0), 1);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        send(pair.client, "x", 1, 0);
    });
    EXPECT_EQ(kuv_xapi_rx_poll_socket(pair.server, -1), 1);
    writer.join();
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, 7, 1000), 3);
    ASSERT_EQ(send(pair.client, "!", 1, MSG_OOB), 1);
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, KUV_SOCKET_POLL_EXCEPTIONAL, 1000), 4);

    int closed = dup(pair.server);
    close(closed);
    EXPECT_EQ(kuv_xapi_poll_socket(closed, 1, 100), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(SocketWait, TimeOutsAndInterruptions) {
    TcpPair pair;
    Stopwatch plain;
    EXPECT_EQ(kuv_xapi_rx_poll_socket(pair.server, 1500), 0);
    EXPECT_GE(plain.ms(), 1450);
    EXPECT_LT(plain.ms(), 5000);

    Stopwatch repeated;
    {
        SignalAfter signal(400);
        EXPECT_EQ(kuv_xapi_poll_socket_intr(pair.server, 1, 1000, 0), 0);
    }
    EXPECT_GE(repeated.ms(), 1350);  // the whole time-out again after the signal

    Stopwatch abandoned;
    SignalAfter signal(200);
    EXPECT_EQ(kuv_xapi_rx_poll_socket_intr(pair.server, 5000, 1), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_LT(abandoned.ms(), 4000);
}

// select's sets end at 1024; waits must work past it without writing out
// of bounds.
TEST_F(SocketWait, DescriptorsAbove1024WorkInEveryWait) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1800) GTEST_SKIP() << "descriptor limit below 1800";
    rlimit raised{limit.rlim_max, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    Listener listener;
    Fd high_listener(dup2(listener.fd, 1500));
    Fd high_client(dup2(Fd(socket(AF_INET, SOCK_STREAM, 0)), 1600));
    EXPECT_EQ(kuv_xapi_accept(high_listener, nullptr, nullptr, 50), -1);
    ASSERT_EQ(kuv_xapi_connect(high_client, listener.addr(), sizeof listener.address, 2000), 1);
    Fd high_server(dup2(Fd(kuv_xapi_accept(high_listener, nullptr, nullptr, 2000)), 1700));
    ASSERT_EQ(high_server, 1700);

    char buffer[8];
    EXPECT_EQ(kuv_xapi_recv(high_server, buffer, sizeof buffer, 50), 0);
    EXPECT_EQ(kuv_xapi_send(high_client, "abcd", 4, 1000), 4);
    EXPECT_EQ(kuv_xapi_poll_socket(high_server, 3, 1000), 3);
    EXPECT_EQ(kuv_xapi_recv_fill(high_server, buffer, 4, 1000), 4);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
