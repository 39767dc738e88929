// UDP endpoints over loopback: receivers and senders exchanging datagrams
// through the socket calls, the port read back, senders without a peer,
// connect binding anew towards a changed peer, socket options, and
// kuv_ipv4_bind.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;

// A receiver bound to address at a port the system chose.
void receive_on(Endpoint &receiver, const char *address) {
    receiver->is_server = 1;
    receiver->port = 0;
    kuv_xapi_kuvnet_set_local(receiver.handle, address, 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(receiver.handle), 1u);
    ASSERT_GT(receiver->port, 0);
}

// A sender bound towards peer:port.
void send_to(Endpoint &sender, const char *peer, int32_t port) {
    kuv_xapi_kuvnet_set_remote(sender.handle, peer, 0);
    sender->port = port;
    ASSERT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
    ASSERT_NE(sender->socket, -1);
    ASSERT_NE(sender->peer_address.selected, nullptr);
}

int32_t send_datagram(const Endpoint &sender, const char *text) {
    const sockaddr *peer = sender->peer_address.selected;
    const uint32_t length = peer->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    return kuv_xapi_sendto(sender->socket, text, std::strlen(text), peer, length, 2000);
}

std::string receive_datagram(const Endpoint &receiver, sockaddr_storage *from = nullptr) {
    char buffer[64] = {};
    sockaddr_storage sender{};
    uint32_t length = sizeof sender;
    int32_t got = kuv_xapi_recvfrom(receiver->socket, buffer, sizeof buffer - 1,
                                    reinterpret_cast<sockaddr *>(&sender), &length, 2000);
    if (from) *from = sender;
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

uint16_t port_of(const sockaddr *address) {
    return ntohs(address->sa_family == AF_INET
                     ? reinterpret_cast<const sockaddr_in *>(address)->sin_port
                     : reinterpret_cast<const sockaddr_in6 *>(address)->sin6_port);
}

using Datagram = kuv_test::ResourceCheckedTest;

TEST_F(Datagram, ReceiverAndSenderExchangeDatagramsOverBothFamilies) {
    for (const char *loopback : {"127.0.0.1", "::1"}) {
        if (std::strchr(loopback, ':') && kuv_xapi_is_supported_ipv6() != 1) continue;
        Endpoint receiver(KUVNET_UDP);
        receive_on(receiver, loopback);
        EXPECT_EQ(receiver->local_address.selected, receiver->local_address.addresses->ai_addr);
        Endpoint sender(KUVNET_UDP);
        send_to(sender, loopback, receiver->port);
        EXPECT_EQ(port_of(sender->peer_address.selected), receiver->port);
        EXPECT_EQ(send_datagram(sender, "first"), 5);
        sockaddr_storage from{};
        EXPECT_EQ(receive_datagram(receiver, &from), "first") << loopback;
        // The sender is bound too (port 0 on the active side): the answer
        // finds its way back to it.
        const uint32_t length =
            from.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        EXPECT_EQ(kuv_xapi_sendto(receiver->socket, "back", 4, reinterpret_cast<sockaddr *>(&from),
                                  length, 2000),
                  4);
        EXPECT_EQ(receive_datagram(sender), "back");
        EXPECT_FALSE(sender->peer_address.is_multicast);
    }
}

TEST_F(Datagram, ReceiverWithoutLocalNameListensOnTheWildcard) {
    Endpoint receiver(KUVNET_UDP | KUVNET_IPV4);
    receive_on(receiver, "");
    ASSERT_NE(receiver->local_address.name, nullptr);
    EXPECT_STREQ(receiver->local_address.name, "0.0.0.0");
    EXPECT_EQ(receiver->local_address.is_unspecified, 1u);
    Endpoint sender(KUVNET_UDP | KUVNET_IPV4);
    send_to(sender, "127.0.0.1", receiver->port);
    EXPECT_EQ(send_datagram(sender, "any"), 3);
    EXPECT_EQ(receive_datagram(receiver), "any");
}

TEST_F(Datagram, SenderWithoutPeerWaitsAndConnectBindsTowardsTheCurrentPeer) {
    Endpoint first(KUVNET_UDP_ACKED | KUVNET_IPV4), second(KUVNET_UDP | KUVNET_IPV4);
    receive_on(first, "127.0.0.1");
    receive_on(second, "127.0.0.1");

    Endpoint sender(KUVNET_UDP | KUVNET_IPV4);
    sender->port = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
    EXPECT_EQ(sender->socket, -1);
    kuv_xapi_kuvnet_set_remote(sender.handle, "0.0.0.0", 0);  // a wildcard is no peer either
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
    EXPECT_EQ(sender->socket, -1);

    send_to(sender, "127.0.0.1", first->port);
    EXPECT_EQ(send_datagram(sender, "to first"), 8);
    EXPECT_EQ(receive_datagram(first), "to first");
    // Connect on a datagram handle with a socket closes it and binds anew.
    sender->port = second->port;
    EXPECT_EQ(kuv_xapi_kuvnet_connect(sender.handle), 1u);
    EXPECT_EQ(port_of(sender->peer_address.selected), second->port);
    EXPECT_EQ(send_datagram(sender, "to second"), 9);
    EXPECT_EQ(receive_datagram(second), "to second");
    EXPECT_EQ(kuv_xapi_rx_poll_socket(first->socket, 0), 0);
    EXPECT_EQ(sender->error_code, 0u);
}

TEST_F(Datagram, RefusedPortsNamesAndBinds) {
    Endpoint sender(KUVNET_UDP);
    kuv_xapi_kuvnet_set_remote(sender.handle, "127.0.0.1", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), KUVNET_RESULT_PORT_RANGE);  // unset
    sender->port = 65536;
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), KUVNET_RESULT_PORT_RANGE);
    sender->port = 9;
    kuv_xapi_kuvnet_set_remote(sender.handle, "no..such..host", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), KUVNET_RESULT_REMOTE_NAME);
    EXPECT_EQ(sender->error_code, KUVNET_RESULT_REMOTE_NAME);
    kuv_xapi_kuvnet_set_remote(sender.handle, "127.0.0.1", 0);
    kuv_xapi_kuvnet_set_local(sender.handle, "no..such..host", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), KUVNET_RESULT_LOCAL_NAME);

    // A port another socket holds without address reuse cannot be bound.
    Endpoint holder(KUVNET_UDP | KUVNET_IPV4);
    holder->reuse_address = 0;
    receive_on(holder, "127.0.0.1");
    Endpoint clash(KUVNET_UDP | KUVNET_IPV4);
    clash->is_server = 1;
    clash->reuse_address = 0;
    clash->port = holder->port;
    kuv_xapi_kuvnet_set_local(clash.handle, "127.0.0.1", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(clash.handle), KUVNET_RESULT_BIND);
    EXPECT_EQ(clash->socket, -1);
    EXPECT_EQ(clash->error_code, KUVNET_RESULT_BIND);
}

TEST_F(Datagram, CreateSetsHopsBroadcastAndReceiveBuffer) {
    Endpoint receiver(KUVNET_UDP | KUVNET_IPV4);
    receiver->hops = 5;
    receiver->is_broadcast = 1;
    receiver->rx_buffer_size = 256 * 1024;
    receive_on(receiver, "127.0.0.1");
    EXPECT_EQ(kuv_xapi_hops_socket(AF_INET, receiver->socket, -1, 0), 5);
    int value = 0;
    uint32_t length = sizeof value;
    kuv_xapi_getsockopt(receiver->socket, SOL_SOCKET, SO_BROADCAST, &value, &length);
    EXPECT_EQ(value, 1);
    kuv_xapi_getsockopt(receiver->socket, SOL_SOCKET, SO_RCVBUF, &value, &length);
    EXPECT_GE(value, 256 * 1024);
    // Negative hops mean 64.
    Endpoint sender(KUVNET_UDP | KUVNET_IPV4);
    send_to(sender, "127.0.0.1", receiver->port);
    EXPECT_EQ(kuv_xapi_hops_socket(AF_INET, sender->socket, -1, 0), 64);
}

TEST_F(Datagram, Ipv4BindTakesHostOrderNumbers) {
    int32_t socket = kuv_xapi_open_socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(socket, 0);
    // A free port: one the system hands out and takes back.
    int32_t probe = kuv_xapi_open_socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(kuv_ipv4_bind(probe, 0x7F000001u, 0), 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(probe, reinterpret_cast<sockaddr *>(&bound), &length);
    const uint16_t port = ntohs(bound.sin_port);
    kuv_xapi_close_socket(probe);

    EXPECT_EQ(kuv_ipv4_bind(socket, 0x7F000001u, port), 0);
    getsockname(socket, reinterpret_cast<sockaddr *>(&bound), &length);
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohs(bound.sin_port), port);
    int32_t second = kuv_xapi_open_socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(kuv_ipv4_bind(second, 0x7F000001u, port), -1);  // taken
    EXPECT_EQ(kuv_ipv4_bind(-1, 0x7F000001u, port), -1);
    kuv_xapi_close_socket(second);
    kuv_xapi_close_socket(socket);
}

}  // namespace
