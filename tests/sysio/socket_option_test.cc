// Set-up, names and options: the "no socket" column, setters read back
// through the system, hop limits and multicast membership on loopback.
#include <errno.h>
#include <net/if.h>
#include <netinet/tcp.h>

#include <cstring>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

using namespace kuv_socket_test;
using SocketSetup = kuv_test::ResourceCheckedTest;
using Options = kuv_test::ResourceCheckedTest;

TEST_F(SocketSetup, NoSocketIsRefusedWithTheValueOfEachFunction) {
    char buffer[8];
    uint32_t length = sizeof buffer;
    int value = 1;
    sockaddr_in address = loopback4();
    auto *any = reinterpret_cast<sockaddr *>(&address);
    const int32_t results[] = {kuv_xapi_close_socket(-1),
                               kuv_xapi_bind(-1, any, sizeof address),
                               kuv_xapi_listen(-1, 1),
                               kuv_xapi_connect(-1, any, sizeof address, 10),
                               kuv_xapi_poll_socket(-1, 1, 10),
                               kuv_xapi_accept(-1, nullptr, nullptr, 10),
                               kuv_xapi_recv(-1, buffer, 8, 10),
                               kuv_xapi_send(-1, buffer, 8, 10),
                               kuv_xapi_getsockname(-1, any, nullptr),
                               kuv_xapi_getsockopt(-1, 1, 2, &value, &length),
                               kuv_xapi_setsockopt(-1, 1, 2, &value, 4),
                               kuv_xapi_set_tx_buffer_socket(-1, 4096),
                               kuv_xapi_set_rx_buffer_socket(-1, 4096),
                               kuv_xapi_set_no_delay_tcp_socket(-1, 1),
                               kuv_xapi_set_non_block_socket(-1, 1),
                               kuv_xapi_hops_socket(0, -1, -1, 1)};
    for (int32_t result : results)
        EXPECT_EQ(result, -1);
    EXPECT_EQ(kuv_xapi_set_reuse_socket(-1, 1), 0);
    EXPECT_EQ(kuv_xapi_set_broadcast_socket(-1, 1), 0);
    EXPECT_EQ(kuv_xapi_set_linger_socket(-1, 1, 5), 0);
    EXPECT_EQ(kuv_xapi_getpeername(-1, any, nullptr), 0);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(SocketSetup, NetworkNamesAndProtocols) {
    EXPECT_EQ(kuv_xapi_initialize_network(), 1);
    EXPECT_EQ(kuv_xapi_uninitialize_network(), 1);
    EXPECT_EQ(kuv_xapi_intr_break(), 0);
    EXPECT_EQ(kuv_xapi_get_protocol_by_name("udp"), 17);
    EXPECT_EQ(kuv_xapi_get_protocol_by_name("tcp"), 6);

    char host[256], expected[256] = {};
    gethostname(expected, sizeof expected);
    EXPECT_EQ(kuv_xapi_gethostname(host, sizeof host), 1);
    EXPECT_STREQ(host, expected);
    EXPECT_EQ(kuv_xapi_gethostname(nullptr, 8), -1);
    EXPECT_EQ(kuv_xapi_gethostname(host, 0), 0);
    // A cut name is never left unterminated.
    if (std::strlen(expected) > 1) {
        std::memset(host, 'x', sizeof host);
        EXPECT_EQ(kuv_xapi_gethostname(host, 2), 0);
        EXPECT_EQ(host[0], '\0');
    }

    TcpPair pair;
    sockaddr_storage own{}, peer{};
    EXPECT_EQ(kuv_xapi_getsockname(pair.server, reinterpret_cast<sockaddr *>(&own), nullptr), 1);
    uint32_t length = sizeof peer;
    EXPECT_EQ(kuv_xapi_getpeername(pair.server, reinterpret_cast<sockaddr *>(&peer), &length), 1);
    EXPECT_EQ(length, sizeof(sockaddr_in));
    EXPECT_EQ(reinterpret_cast<sockaddr_in &>(own).sin_port, pair.listener.address.sin_port);
    EXPECT_EQ(kuv_xapi_getpeername(pair.listener.fd, reinterpret_cast<sockaddr *>(&peer), nullptr),
              0);
}

int read_int_option(int fd, int level, int option) {
    int value = -1;
    uint32_t length = sizeof value;
    EXPECT_EQ(kuv_xapi_getsockopt(fd, level, option, &value, &length), 0);
    return value;
}

TEST_F(Options, OnCountsOnlyWhenItIsOne) {
    Fd fd(kuv_xapi_open_socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kuv_xapi_set_reuse_socket(fd, 1), 1);
    EXPECT_EQ(read_int_option(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(kuv_xapi_set_reuse_socket(fd, 2), 1);
    EXPECT_EQ(read_int_option(fd, SOL_SOCKET, SO_REUSEADDR), 0);
    EXPECT_EQ(kuv_xapi_set_no_delay_tcp_socket(fd, 1), 1);
    EXPECT_NE(read_int_option(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(kuv_xapi_set_non_block_socket(fd, 1), 1);
    EXPECT_FALSE(is_blocking(fd));
    EXPECT_EQ(kuv_xapi_set_non_block_socket(fd, 7), 1);
    EXPECT_TRUE(is_blocking(fd));
    EXPECT_EQ(kuv_xapi_set_tx_buffer_socket(fd, 65536), 1);
    EXPECT_GE(read_int_option(fd, SOL_SOCKET, SO_SNDBUF), 65536);

    EXPECT_EQ(kuv_xapi_set_linger_socket(fd, 1, 7), 1);
    linger setting{};
    uint32_t length = sizeof setting;
    ASSERT_EQ(kuv_xapi_getsockopt(fd, SOL_SOCKET, SO_LINGER, &setting, &length), 0);
    EXPECT_EQ(setting.l_onoff, 1);
    EXPECT_EQ(setting.l_linger, 7);
    EXPECT_EQ(kuv_xapi_set_linger_socket(fd, 0, 7), 1);
    ASSERT_EQ(kuv_xapi_getsockopt(fd, SOL_SOCKET, SO_LINGER, &setting, &length), 0);
    EXPECT_EQ(setting.l_onoff, 0);
    EXPECT_EQ(kuv_xapi_set_broadcast_socket(fd, 1), 1);
    EXPECT_EQ(kuv_xapi_close_socket(fd.fd), 1);
    fd.fd = -1;
}

TEST_F(Options, HopLimitsByFamilyGivenOrLearnt) {
    Fd udp4(socket(AF_INET, SOCK_DGRAM, 0));
    EXPECT_EQ(kuv_xapi_hops_socket(2, udp4, 17, 0), 1);
    EXPECT_EQ(kuv_xapi_hops_socket(0, udp4, -1, 0), 17);
    EXPECT_EQ(kuv_xapi_hops_socket(0, udp4, 5, 1), 1);
    EXPECT_EQ(kuv_xapi_hops_socket(2, udp4, -1, 1), 5);
    EXPECT_EQ(kuv_xapi_hops_socket(2, udp4, 0, 0), 0);  // a TTL of 0 is refused
    EXPECT_EQ(kuv_xapi_hops_socket(7, udp4, -1, 0), -1);

    Fd unix_socket(socket(AF_UNIX, SOCK_DGRAM, 0));
    EXPECT_EQ(kuv_xapi_hops_socket(0, unix_socket, -1, 0), -1);
    Fd udp6(socket(AF_INET6, SOCK_DGRAM, 0));
    if (udp6 < 0) GTEST_SKIP() << "no IPv6 sockets on this machine";
    EXPECT_EQ(kuv_xapi_hops_socket(0, udp6, -1, 1), 1);  // the default multicast hop limit
    EXPECT_EQ(kuv_xapi_hops_socket(10, udp6, 33, 0), 1);
    EXPECT_EQ(kuv_xapi_hops_socket(0, udp6, -1, 0), 33);
}

// Memberships on the loopback interface only: nothing leaves the machine.
TEST_F(Options, MulticastMembershipOnLoopback) {
    Fd udp4(socket(AF_INET, SOCK_DGRAM, 0));
    const uint32_t group = inet_addr("239.255.12.34");
    const uint32_t lo_address = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join(udp4, group, lo_address, 1), 1);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join(udp4, group, lo_address, 0), 1);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join(udp4, group, lo_address, 0), 0);

    const uint32_t lo_index = if_nametoindex("lo");
    ASSERT_NE(lo_index, 0u);
    sockaddr_in source = loopback4(), ssm_group = loopback4();
    ssm_group.sin_addr.s_addr = inet_addr("232.1.2.3");
    auto *g = reinterpret_cast<sockaddr *>(&ssm_group);
    auto *s = reinterpret_cast<sockaddr *>(&source);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join_source(udp4, lo_index, g, s, 1), 1);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join_source(udp4, lo_index, g, s, 0), 1);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join_source(udp4, lo_index, g, s, 0), 0);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join_source(udp4, lo_index, nullptr, s, 1), 0);

    Fd udp6(socket(AF_INET6, SOCK_DGRAM, 0));
    if (udp6 < 0) GTEST_SKIP() << "no IPv6 sockets on this machine";
    uint8_t group6[16] = {0xff, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34};
    EXPECT_EQ(kuv_xapi_ipv6_multicast_join(udp6, group6, lo_index, 1), 1);
    EXPECT_EQ(kuv_xapi_ipv6_multicast_join(udp6, group6, lo_index, 0), 1);
    sockaddr_in6 group6_address{}, source6{};
    group6_address.sin6_family = source6.sin6_family = AF_INET6;
    std::memcpy(&group6_address.sin6_addr, group6, 16);
    group6_address.sin6_addr.s6_addr[1] = 0x32;  // ff32::/96, the source-specific range
    source6.sin6_addr = in6addr_loopback;
    EXPECT_EQ(kuv_xapi_ipv6_multicast_join_source(udp6, lo_index,
                                                  reinterpret_cast<sockaddr *>(&group6_address),
                                                  reinterpret_cast<sockaddr *>(&source6), 1),
              1);
}

}  // namespace
