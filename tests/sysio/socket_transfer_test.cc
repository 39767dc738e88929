// Receiving and sending with time-outs over TCP and UDP; IPv6 connections.
#include <errno.h>

#include <cstring>
#include <vector>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

using namespace kuv_socket_test;
using SocketTransfer = kuv_test::ResourceCheckedTest;

TEST_F(SocketTransfer, ZeroIsOnlyATimeOutAndAPeerCloseIsMinusOne) {
    TcpPair pair;
    char buffer[100];
    Stopwatch watch;
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, sizeof buffer, 300), 0);
    EXPECT_GE(watch.ms(), 250);
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, 0, 300), -1);

    ASSERT_EQ(send(pair.client, std::string(60, 'q').data(), 60, 0), 60);
    Stopwatch fill;
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 400), 60);
    EXPECT_GE(fill.ms(), 350);
    std::thread writer([&] {
        for (int i = 0; i < 10; ++i) {
            send(pair.client, "0123456789", 10, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 1000), 100);
    writer.join();

    ASSERT_EQ(send(pair.client, "tail", 4, 0), 4);
    shutdown(pair.client, SHUT_WR);
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 1000), -1);
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, sizeof buffer, -1), -1);
}

// A blocking send returns only once all 64 MiB are queued: long after its
// time-out, and never while the peer does not read.
TEST_F(SocketTransfer, TimedSendTakesWhatFitsAndNeverBlocks) {
    TcpPair pair;
    std::vector<char> big(64 << 20, 'b');
    Stopwatch watch;
    int32_t sent = kuv_xapi_send(pair.client, big.data(), big.size(), 500);
    EXPECT_GT(sent, 0);
    EXPECT_LT(static_cast<size_t>(sent), big.size());
    while ((sent = kuv_xapi_send(pair.client, big.data(), big.size(), 200)) > 0) {
    }
    EXPECT_EQ(sent, 0);
    EXPECT_LT(watch.ms(), 10000);

    close(pair.server.fd);  // unread data: the peer resets; no SIGPIPE here
    pair.server.fd = -1;
    for (int i = 0; i < 100 && sent >= 0; ++i)
        sent = kuv_xapi_send(pair.client, "x", 1, 200);
    EXPECT_EQ(sent, -1);
}

TEST_F(SocketTransfer, DatagramsKeepTheirSenderAddress) {
    Fd receiver(socket(AF_INET, SOCK_DGRAM, 0)), sender(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in address = loopback4(), from{};
    ASSERT_EQ(kuv_xapi_bind(receiver, as_address(&address), sizeof address), 1);
    uint32_t length = sizeof address;
    ASSERT_EQ(kuv_xapi_getsockname(receiver, as_address(&address), &length), 1);
    ASSERT_EQ(kuv_xapi_sendto(sender, "ping", 4, as_address(&address), length, 1000), 4);
    // recvfrom would consume the datagram before failing on the missing
    // length: refused first, the datagram is still there.
    char buffer[16];
    EXPECT_EQ(kuv_xapi_recvfrom(receiver, buffer, 16, as_address(&from), nullptr, 1000), -1);
    uint32_t from_length = sizeof from;
    EXPECT_EQ(kuv_xapi_recvfrom(receiver, buffer, 16, as_address(&from), &from_length, 1000), 4);
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

TEST_F(SocketTransfer, ConnectsAndNamesOverIpv6Loopback) {
    Fd listener(socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (kuv_xapi_bind(listener, as_address(&address), sizeof address) != 1)
        GTEST_SKIP() << "::1 is not available on this machine";
    ASSERT_EQ(kuv_xapi_listen(listener, 4), 1);
    ASSERT_EQ(kuv_xapi_getsockname(listener, as_address(&address), nullptr), 1);
    Fd client(socket(AF_INET6, SOCK_STREAM, 0));
    ASSERT_EQ(kuv_xapi_connect(client, as_address(&address), sizeof address, 2000), 1);
    Fd server(kuv_xapi_accept(listener, nullptr, nullptr, 2000));
    EXPECT_GE(server, 0);
    char text[64];
    ASSERT_EQ(kuv_xapi_getpeername(server, as_address(&address), nullptr), 1);
    EXPECT_STREQ(kuv_xapi_inet_stop(as_address(&address), text, sizeof text), "::1");
}

}  // namespace
