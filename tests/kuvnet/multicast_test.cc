// Multicast receivers for real, each in a network namespace of its own:
// loopback with multicast switched on and a route for the IPv4 groups, and
// a veth pair whose link-local addresses carry IPv6 multicast. Receivers
// join on every interface address; senders are a library handle (IPv4) or a
// plain socket that names its outgoing interface (IPv6).
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;
using kuv_test::Failures;

// Loopback up with multicast and the IPv4 group route; a veth pair up
// without duplicate-address detection, so that its link-local addresses
// are usable at once.
const char *const kNetworkSetup =
    "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo && "
    "echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad && "
    "ip link add kv0 type veth peer name kv1 && ip link set kv0 up && ip link set kv1 up";

// Runs scenario in a fresh network namespace set up by setup; a machine
// that forbids namespaces skips the test.
#define RUN_IN_OWN_NETWORK(setup, scenario)                                                        \
    do {                                                                                           \
        kuv_test::ChildReport report = kuv_test::run_in_namespaces(CLONE_NEWNET, setup, scenario); \
        if (report.skipped) GTEST_SKIP() << report.text;                                           \
        EXPECT_EQ(report.text, "");                                                                \
    } while (0)

std::string receive_text(int32_t socket, sockaddr_storage *from, int32_t timeout_msec) {
    char buffer[64] = {};
    uint32_t length = sizeof *from;
    int32_t got = kuv_xapi_recvfrom(socket, buffer, sizeof buffer - 1,
                                    reinterpret_cast<sockaddr *>(from), &length, timeout_msec);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

// A passive receiver of group at a port the system chooses.
void join(Endpoint &receiver, const char *group, Failures &failures) {
    receiver->is_server = 1;
    receiver->port = 0;
    kuv_xapi_kuvnet_set_remote(receiver.handle, group, 0);
    const uint32_t created = kuv_xapi_kuvnet_create(receiver.handle);
    failures.check(created == 1, "create returned " + std::to_string(created));
    failures.check(receiver->peer_address.is_multicast == 1, "group not marked multicast");
}

// A plain IPv4 socket bound to source, sending text to group:port.
bool send_from(const char *source, const char *group, int32_t port, const char *text) {
    int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{AF_INET, 0, {}, {}};
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
    inet_pton(AF_INET, group, &to.sin_addr);
    bool sent = bind(socket, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
                sendto(socket, text, std::strlen(text), 0, reinterpret_cast<sockaddr *>(&to),
                       sizeof to) == static_cast<ssize_t>(std::strlen(text));
    close(socket);
    return sent;
}

using Multicast = kuv_test::ResourceCheckedTest;

TEST_F(Multicast, ReceiverJoinedToAnIpv4GroupHearsTheGroup) {
    auto scenario = [] {
        Failures failures;
        Endpoint receiver(KUVNET_UDP | KUVNET_IPV4);
        std::string traces;
        {
            kuv_test::OutputCapture capture(1);
            receiver->debug_level = 100000;
            join(receiver, "239.1.2.3", failures);
            receiver->debug_level = 0;
            traces = capture.finish();
        }
        failures.check(receiver->local_address.is_unspecified == 1, "not bound to the wildcard");
        failures.check(traces.find("kuv: [MESSAGE] ipv4 multicast join (interface=\"127.0.0.1\", "
                                   "multicast=\"239.1.2.3\"\n") != std::string::npos,
                       "join trace missing in: " + traces);
        // The library's own sender: bound towards the group, its multicast
        // hop limit set.
        Endpoint sender(KUVNET_UDP | KUVNET_IPV4);
        kuv_xapi_kuvnet_set_remote(sender.handle, "239.1.2.3", 0);
        sender->port = receiver->port;
        sender->hops = 3;
        failures.check(kuv_xapi_kuvnet_create(sender.handle) == 1, "sender create");
        failures.check(kuv_xapi_hops_socket(AF_INET, sender->socket, -1, 1) == 3, "sender hops");
        const sockaddr *group = sender->peer_address.selected;
        failures.check(group && kuv_xapi_sendto(sender->socket, "group", 5, group,
                                                sizeof(sockaddr_in), 2000) == 5,
                       "send");
        sockaddr_storage from{};
        failures.check(receive_text(receiver->socket, &from, 3000) == "group", "nothing received");
        return failures.text;
    };
    RUN_IN_OWN_NETWORK(kNetworkSetup, scenario);
}

TEST_F(Multicast, ReceiverJoinedToAnIpv6GroupHearsTheGroup) {
    auto scenario = [] {
        Failures failures;
        const unsigned veth = if_nametoindex("kv0");
        failures.check(veth != 0, "no veth");
        // The link-local address appears once the pair has its carrier.
        bool addressed = false;
        for (int tries = 0; tries < 100 && !addressed; ++tries) {
            std::ifstream file("/proc/net/if_inet6");
            std::stringstream lines;
            lines << file.rdbuf();
            addressed = lines.str().find(" kv0\n") != std::string::npos;
            if (!addressed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        failures.check(addressed, "kv0 has no IPv6 address");

        Endpoint receiver(KUVNET_UDP | KUVNET_IPV6);
        join(receiver, "ff15::4b75", failures);
        failures.check(receiver->local_address.addresses &&
                           receiver->local_address.addresses->ai_family == AF_INET6,
                       "not bound to the IPv6 wildcard");
        int socket = ::socket(AF_INET6, SOCK_DGRAM, 0);
        setsockopt(socket, IPPROTO_IPV6, IPV6_MULTICAST_IF, &veth, sizeof veth);
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(static_cast<uint16_t>(receiver->port));
        inet_pton(AF_INET6, "ff15::4b75", &to.sin6_addr);
        failures.check(
            sendto(socket, "group6", 6, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == 6,
            "send");
        close(socket);
        sockaddr_storage from{};
        failures.check(receive_text(receiver->socket, &from, 3000) == "group6", "nothing received");
        return failures.text;
    };
    RUN_IN_OWN_NETWORK(kNetworkSetup, scenario);
}

TEST_F(Multicast, SourceSpecificReceiverHearsItsSourceOnly) {
    auto scenario = [] {
        Failures failures;
        Endpoint receiver(KUVNET_UDP | KUVNET_IPV4);
        failures.check(kuv_xapi_kuvnet_add_source(receiver.handle, "127.0.0.2", 0) == 1,
                       "add source");
        std::string traces;
        {
            kuv_test::OutputCapture capture(1);
            receiver->debug_level = 100000;
            join(receiver, "232.1.1.7", failures);
            receiver->debug_level = 0;
            traces = capture.finish();
        }
        failures.check(
            traces.find("kuv: [MESSAGE] ipv4 multicast join source (interface=\""
                        "127.0.0.1\", multicast=\"232.1.1.7\", source=\"127.0.0.2\")\n") !=
                std::string::npos,
            "source join trace missing in: " + traces);
        // The stranger's datagram goes first: were it let through, it
        // would be queued ahead of the source's.
        failures.check(send_from("127.0.0.3", "232.1.1.7", receiver->port, "stranger"),
                       "stranger send");
        failures.check(send_from("127.0.0.2", "232.1.1.7", receiver->port, "source"),
                       "source send");
        sockaddr_storage from{};
        failures.check(receive_text(receiver->socket, &from, 3000) == "source",
                       "the source's datagram is not the one received");
        failures.check(kuv_xapi_rx_poll_socket(receiver->socket, 0) == 0,
                       "a datagram of another sender came through");
        return failures.text;
    };
    RUN_IN_OWN_NETWORK(kNetworkSetup, scenario);
}

TEST_F(Multicast, ReceiverWithNowhereToJoinFailsAndKeepsItsSocket) {
    // A new network whose loopback is down has an interface without any
    // address: the group is joined nowhere.
    auto scenario = [] {
        Failures failures;
        Endpoint receiver(KUVNET_UDP | KUVNET_IPV4);
        receiver->is_server = 1;
        receiver->port = 0;
        kuv_xapi_kuvnet_set_remote(receiver.handle, "239.1.2.3", 0);
        failures.check(kuv_xapi_kuvnet_create(receiver.handle) == KUVNET_RESULT_MULTICAST_JOIN,
                       "create did not report the missing joins");
        failures.check(receiver->error_code == KUVNET_RESULT_MULTICAST_JOIN, "error_code");
        failures.check(receiver->socket != -1, "socket closed");
        return failures.text;
    };
    RUN_IN_OWN_NETWORK("", scenario);
}

}  // namespace
