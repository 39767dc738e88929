// Receiving and sending with time-outs over TCP, UDP, IPv6 and Unix sockets.
#include <errno.h>

#include <cstring>
#include <vector>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

using namespace kuv_socket_test;
using Transfer = kuv_test::ResourceCheckedTest;

TEST_F(Transfer, ZeroIsOnlyATimeOutAndAPeerCloseIsMinusOne) {
    TcpPair pair;
    char buffer[16];
    Stopwatch watch;
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, sizeof buffer, 300), 0);
    EXPECT_GE(watch.elapsed_ms(), 250);
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, 0, 300), -1);
    EXPECT_EQ(kuv_xapi_recv(pair.server, nullptr, 4, 300), -1);

    EXPECT_EQ(kuv_xapi_send(pair.client, "hello", 5, 1000), 5);
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, sizeof buffer, 1000), 5);
    EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);

    shutdown(pair.client, SHUT_WR);
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, sizeof buffer, 1000), -1);
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, sizeof buffer, -1), -1);
}

TEST_F(Transfer, FillReturnsThePartialCountAfterOneMoreTimeOut) {
    TcpPair pair;
    char data[100];
    std::memset(data, 'q', sizeof data);
    ASSERT_EQ(send(pair.client, data, 60, 0), 60);
    char buffer[100];
    Stopwatch watch;
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 400), 60);
    EXPECT_GE(watch.elapsed_ms(), 350);
    EXPECT_LT(watch.elapsed_ms(), 5000);

    std::thread writer([&] {
        for (int i = 0; i < 10; ++i) {
            send(pair.client, data, 10, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 1000), 100);
    writer.join();

    ASSERT_EQ(send(pair.client, data, 10, 0), 10);
    shutdown(pair.client, SHUT_WR);
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 1000), -1);
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, nullptr, 100, 1000), -1);
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 0, 1000), 0);
}

// A blocking send would only return once all 64 MiB were queued, long after
// its time-out and never when the peer does not read.
TEST_F(Transfer, TimedSendTakesWhatFitsAndNeverBlocks) {
    TcpPair pair;
    std::vector<char> big(64 << 20, 'b');
    Stopwatch watch;
    int32_t sent = kuv_xapi_send(pair.client, big.data(), big.size(), 500);
    EXPECT_GT(sent, 0);
    EXPECT_LT(static_cast<size_t>(sent), big.size());
    int32_t more;
    while ((more = kuv_xapi_send(pair.client, big.data(), big.size(), 200)) > 0) {
    }
    EXPECT_EQ(more, 0);
    EXPECT_LT(watch.elapsed_ms(), 10000);
    EXPECT_TRUE(is_blocking(pair.client));

    // A closed peer: -1 (EPIPE or ECONNRESET) and no SIGPIPE.
    close(pair.server.fd);
    pair.server.fd = -1;
    for (int i = 0; i < 100 && more >= 0; ++i)
        more = kuv_xapi_send(pair.client, "x", 1, 200);
    EXPECT_EQ(more, -1);
}

TEST_F(Transfer, DatagramsCarryTheirSenderAddress) {
    Fd receiver(socket(AF_INET, SOCK_DGRAM, 0));
    Fd sender(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in address = loopback4();
    ASSERT_EQ(kuv_xapi_bind(receiver, reinterpret_cast<sockaddr *>(&address), sizeof address), 1);
    uint32_t length = sizeof address;
    ASSERT_EQ(kuv_xapi_getsockname(receiver, reinterpret_cast<sockaddr *>(&address), &length), 1);
    ASSERT_EQ(kuv_xapi_sendto(sender, "ping", 4, reinterpret_cast<sockaddr *>(&address),
                              sizeof address, 1000),
              4);

    // Without a length pointer the datagram would be consumed and lost.
    char buffer[16];
    sockaddr_in from{};
    EXPECT_EQ(kuv_xapi_recvfrom(receiver, buffer, sizeof buffer,
                                reinterpret_cast<sockaddr *>(&from), nullptr, 1000),
              -1);
    uint32_t from_length = sizeof from;
    EXPECT_EQ(kuv_xapi_recvfrom(receiver, buffer, sizeof buffer,
                                reinterpret_cast<sockaddr *>(&from), &from_length, 1000),
              4);
    EXPECT_EQ(from_length, sizeof from);
    sockaddr_in sender_address{};
    length = sizeof sender_address;
    getsockname(sender, reinterpret_cast<sockaddr *>(&sender_address), &length);
    EXPECT_EQ(from.sin_port, sender_address.sin_port);
    EXPECT_EQ(kuv_xapi_recvfrom(receiver, buffer, sizeof buffer, nullptr, nullptr, 100), 0);
}

TEST_F(Transfer, Ipv6AndUnixStreamsExchangeData) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Fd left(pair[0]), right(pair[1]);
    char buffer[8];
    EXPECT_EQ(kuv_xapi_send(left, "unix", 4, 1000), 4);
    EXPECT_EQ(kuv_xapi_recv_fill(right, buffer, 4, 1000), 4);

    if (!ipv6_loopback_available()) GTEST_SKIP() << "::1 is not available on this machine";
    Fd listener(socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(kuv_xapi_bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 1);
    ASSERT_EQ(kuv_xapi_listen(listener, 4), 1);
    uint32_t length = sizeof address;
    ASSERT_EQ(kuv_xapi_getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 1);
    Fd client(socket(AF_INET6, SOCK_STREAM, 0));
    ASSERT_EQ(
        kuv_xapi_connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address, 2000), 1);
    Fd server(kuv_xapi_accept(listener, nullptr, nullptr, 2000));
    EXPECT_EQ(kuv_xapi_send(client, "six", 3, 1000), 3);
    EXPECT_EQ(kuv_xapi_recv(server, buffer, sizeof buffer, 1000), 3);
    char text[64];
    sockaddr_in6 peer{};
    ASSERT_EQ(kuv_xapi_getpeername(server, reinterpret_cast<sockaddr *>(&peer), nullptr), 1);
    EXPECT_STREQ(kuv_xapi_inet_stop(reinterpret_cast<sockaddr *>(&peer), text, sizeof text), "::1");
}

}  // namespace
