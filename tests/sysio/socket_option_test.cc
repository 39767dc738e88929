// The "no socket" column, names, the library's own option rules, hop
// limits and multicast membership on loopback.
#include <errno.h>
#include <net/if.h>

#include <cstring>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

using namespace kuv_socket_test;
using SocketOptions = kuv_test::ResourceCheckedTest;

TEST_F(SocketOptions, NoSocketIsRefusedWithEachFunctionsValue) {
    char buffer[8];
    uint32_t length = 4;
    sockaddr_in address = loopback4();
    sockaddr *any = as_address(&address);
    for (int32_t result :
         {kuv_xapi_close_socket(-1), kuv_xapi_bind(-1, any, 16), kuv_xapi_listen(-1, 1),
          kuv_xapi_connect(-1, any, 16, 10), kuv_xapi_poll_socket(-1, 1, 10),
          kuv_xapi_accept(-1, nullptr, nullptr, 10), kuv_xapi_recv(-1, buffer, 8, 10),
          kuv_xapi_send(-1, buffer, 8, 10), kuv_xapi_getsockname(-1, any, nullptr),
          kuv_xapi_getsockopt(-1, 1, 2, buffer, &length), kuv_xapi_setsockopt(-1, 1, 2, buffer, 4),
          kuv_xapi_set_tx_buffer_socket(-1, 4096), kuv_xapi_set_rx_buffer_socket(-1, 4096),
          kuv_xapi_set_no_delay_tcp_socket(-1, 1), kuv_xapi_set_non_block_socket(-1, 1),
          kuv_xapi_hops_socket(0, -1, -1, 1)})
        EXPECT_EQ(result, -1);
    for (int32_t result : {kuv_xapi_set_reuse_socket(-1, 1), kuv_xapi_set_broadcast_socket(-1, 1),
                           kuv_xapi_set_linger_socket(-1, 1, 5), kuv_xapi_getpeername(-1, any, 0)})
        EXPECT_EQ(result, 0);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(SocketOptions, HostNameOnRuleAndHopLimits) {
    char host[256], expected[256] = {};
    gethostname(expected, sizeof expected);
    EXPECT_EQ(kuv_xapi_gethostname(host, sizeof host), 1);
    EXPECT_STREQ(host, expected);
    EXPECT_EQ(kuv_xapi_gethostname(host, 2), std::strlen(expected) > 1 ? 0 : 1);
    EXPECT_NE(std::memchr(host, '\0', 2), nullptr);  // a cut name is still terminated

    Fd udp4(socket(AF_INET, SOCK_DGRAM, 0));
    int reuse = -1;
    uint32_t length = sizeof reuse;
    EXPECT_EQ(kuv_xapi_set_reuse_socket(udp4, 2), 1);  // "on" only when it is 1
    EXPECT_EQ(kuv_xapi_getsockopt(udp4, SOL_SOCKET, SO_REUSEADDR, &reuse, &length), 0);
    EXPECT_EQ(reuse, 0);

    EXPECT_EQ(kuv_xapi_hops_socket(2, udp4, 17, 0), 1);
    EXPECT_EQ(kuv_xapi_hops_socket(0, udp4, -1, 0), 17);
    EXPECT_EQ(kuv_xapi_hops_socket(0, udp4, 5, 1), 1);
    EXPECT_EQ(kuv_xapi_hops_socket(2, udp4, -1, 1), 5);
    EXPECT_EQ(kuv_xapi_hops_socket(7, udp4, -1, 0), -1);
    Fd udp6(socket(AF_INET6, SOCK_DGRAM, 0));
    if (udp6 < 0) GTEST_SKIP() << "no IPv6 sockets on this machine";
    EXPECT_EQ(kuv_xapi_hops_socket(0, udp6, -1, 1), 1);  // the default multicast hop limit
    EXPECT_EQ(kuv_xapi_hops_socket(10, udp6, 33, 0), 1);
    EXPECT_EQ(kuv_xapi_hops_socket(0, udp6, -1, 0), 33);
}

// Memberships on the loopback interface only: nothing leaves the machine.
TEST_F(SocketOptions, MulticastMembershipOnLoopback) {
    Fd udp4(socket(AF_INET, SOCK_DGRAM, 0));
    const uint32_t group = inet_addr("239.255.12.34"), lo = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join(udp4, group, lo, 1), 1);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join(udp4, group, lo, 0), 1);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join(udp4, group, lo, 0), 0);

    const uint32_t lo_index = if_nametoindex("lo");
    sockaddr_in source = loopback4(), ssm_group = loopback4();
    ssm_group.sin_addr.s_addr = inet_addr("232.1.2.3");
    sockaddr *g = as_address(&ssm_group), *s = as_address(&source);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join_source(udp4, lo_index, g, s, 1), 1);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join_source(udp4, lo_index, g, s, 0), 1);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join_source(udp4, lo_index, g, s, 0), 0);
    EXPECT_EQ(kuv_xapi_ipv4_multicast_join_source(udp4, lo_index, nullptr, s, 1), 0);

    Fd udp6(socket(AF_INET6, SOCK_DGRAM, 0));
    if (udp6 < 0) GTEST_SKIP() << "no IPv6 sockets on this machine";
    sockaddr_in6 group6{}, source6{};
    group6.sin6_family = source6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "ff32::1234", &group6.sin6_addr);
    source6.sin6_addr = in6addr_loopback;
    EXPECT_EQ(kuv_xapi_ipv6_multicast_join(udp6, &group6.sin6_addr, lo_index, 1), 1);
    EXPECT_EQ(kuv_xapi_ipv6_multicast_join(udp6, &group6.sin6_addr, lo_index, 2), 1);  // leaves
    EXPECT_EQ(kuv_xapi_ipv6_multicast_join(udp6, nullptr, lo_index, 1), 0);
    EXPECT_EQ(kuv_xapi_ipv6_multicast_join_source(udp6, lo_index, as_address(&group6),
                                                  as_address(&source6), 1),
              1);
}

}  // namespace
