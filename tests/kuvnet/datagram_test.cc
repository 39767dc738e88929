// UDP endpoints over loopback: datagrams both ways through the socket
// calls, the port read back, the wildcard receiver, a sender without a
// peer, and connect binding anew towards a changed peer.
#include <arpa/inet.h>
#include <netdb.h>

#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;

void receive_on(Endpoint &receiver, const char *address) {
    receiver->is_server = 1;
    receiver->port = 0;
    kuv_xapi_kuvnet_set_local(receiver.handle, address, 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(receiver.handle), 1u);
    ASSERT_GT(receiver->port, 0);
}

int32_t send_text(const Endpoint &sender, const char *text) {
    const sockaddr *peer = sender->peer_address.selected;
    return kuv_xapi_sendto(sender->socket, text, std::strlen(text), peer,
                           peer->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6),
                           2000);
}

std::string receive_text(int32_t socket, sockaddr_storage *from) {
    char buffer[32] = {};
    uint32_t length = sizeof *from;
    int32_t got = kuv_xapi_recvfrom(socket, buffer, sizeof buffer,
                                    reinterpret_cast<sockaddr *>(from), &length, 2000);
    return std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0);
}

using Datagram = kuv_test::ResourceCheckedTest;

TEST_F(Datagram, ReceiversAndSendersExchangeDatagrams) {
    for (const char *local : {"127.0.0.1", "::1", ""}) {
        if (*local == ':' && kuv_xapi_is_supported_ipv6() != 1) continue;
        Endpoint receiver(KUVNET_UDP | (*local ? 0 : KUVNET_IPV4));
        receive_on(receiver, local);
        Endpoint sender(KUVNET_UDP, receiver->port);
        kuv_xapi_kuvnet_set_remote(sender.handle, *local ? local : "127.0.0.1", 0);
        ASSERT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
        EXPECT_EQ(kuv_xapi_hops_socket(0, sender->socket, -1, 0), 64);  // negative hops
        EXPECT_EQ(send_text(sender, "there"), 5) << local;
        sockaddr_storage from{};
        EXPECT_EQ(receive_text(receiver->socket, &from), "there") << local;
        // The sender is bound too: an answer finds its way back.
        EXPECT_EQ(kuv_xapi_sendto(receiver->socket, "back", 4, reinterpret_cast<sockaddr *>(&from),
                                  sizeof from, 2000),
                  4);
        EXPECT_EQ(receive_text(sender->socket, &from), "back") << local;
    }
}

TEST_F(Datagram, SenderWithoutPeerWaitsAndConnectBindsTowardsTheCurrentPeer) {
    Endpoint first(KUVNET_UDP_ACKED), second(KUVNET_UDP);
    receive_on(first, "127.0.0.1");
    receive_on(second, "127.0.0.1");
    Endpoint sender(KUVNET_UDP);
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), KUVNET_RESULT_PORT_RANGE);  // port unset
    sender->port = first->port;
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);  // no peer: nothing to bind
    EXPECT_EQ(sender->socket, -1);
    kuv_xapi_kuvnet_set_remote(sender.handle, "127.0.0.1", 0);
    ASSERT_EQ(kuv_xapi_kuvnet_connect(sender.handle), 1u);
    EXPECT_EQ(send_text(sender, "one"), 3);
    sender->port = second->port;
    ASSERT_EQ(kuv_xapi_kuvnet_connect(sender.handle), 1u);  // closes and binds anew
    EXPECT_EQ(send_text(sender, "two"), 3);
    sockaddr_storage from{};
    EXPECT_EQ(receive_text(first->socket, &from), "one");
    EXPECT_EQ(receive_text(second->socket, &from), "two");
    EXPECT_EQ(kuv_xapi_rx_poll_socket(first->socket, 0), 0);
    kuv_xapi_kuvnet_set_remote(sender.handle, "no..such..host", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(sender.handle), KUVNET_RESULT_REMOTE_NAME);
    EXPECT_EQ(sender->error_code, KUVNET_RESULT_REMOTE_NAME);
}

TEST_F(Datagram, Ipv4BindTakesHostOrderNumbers) {
    const int32_t socket = kuv_xapi_open_socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(kuv_ipv4_bind(socket, 0x7F000001u, 0), 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(socket, reinterpret_cast<sockaddr *>(&bound), &length);
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), 0x7F000001u);
    const int32_t second = kuv_xapi_open_socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(kuv_ipv4_bind(second, 0x7F000001u, ntohs(bound.sin_port)), -1);  // taken
    kuv_xapi_close_socket(second);
    kuv_xapi_close_socket(socket);
}

}  // namespace
