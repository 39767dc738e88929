// ICMP echo over real raw sockets on loopback, and the Internet checksum.
// Raw sockets need root (or CAP_NET_RAW); without it the echo cases skip.
// The kernel drops echo requests whose checksum is wrong, so a reply also
// vouches for the checksum of what was sent.
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Bytes;
using kuv_test::concat;

uint16_t checksum_of(const std::vector<uint8_t> &bytes) {
    return kuv_mapi_kuvnet_icmp_checksum(bytes.data(), bytes.size());
}

TEST(IcmpChecksum, IsStoredInMemoryOrderAndVerifiesToZero) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint8_t stored[2];
    } const cases[] = {
        {{0x08, 0, 0, 0, 0, 0, 0, 0}, {0xF7, 0xFF}},  // an echo request's header
        {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, {0x22, 0x0D}},  // RFC 1071
        {{0x00, 0x01, 0xF2}, {0x0D, 0xFE}},  // an odd last byte is padded with zero
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00}, {0xFD, 0xFF}},  // folded twice
        {{}, {0xFF, 0xFF}},
    };
    for (const Case &c : cases) {
        uint16_t checksum = checksum_of(c.bytes);
        EXPECT_EQ(std::memcmp(&checksum, c.stored, 2), 0) << c.bytes.size();
    }
    // A message carrying its checksum sums to zero, also past the 128 KiB at
    // which a 32-bit sum of 0xFFFF words would overflow.
    for (std::vector<uint8_t> message : {kuv_test::message_bytes(1001), Bytes(300000, 0xFF)}) {
        message[2] = message[3] = 0;
        uint16_t checksum = checksum_of(message);
        std::memcpy(&message[2], &checksum, 2);
        EXPECT_EQ(checksum_of(message), 0) << message.size();
    }
}

using IcmpEcho = kuv_test::ResourceCheckedTest;

TEST_F(IcmpEcho, LoopbackAnswersWithTheRequestedSequence) {
    const int probe = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (probe < 0)
        GTEST_SKIP() << "raw ICMP sockets cannot be opened here (they need root or "
                        "CAP_NET_RAW); the echo is not tested";
    close(probe);
    const char payload[] = "davro echo payload";
    struct Case {
        const char *peer;
        uint32_t family;
        const void *payload;
        uint32_t size, sequence;
    } const cases[] = {
        {"127.0.0.1", KUVNET_IPV4, payload, sizeof payload, 4242},
        {"127.0.0.1", KUVNET_IPV4, nullptr, 0, 65535},
        {"localhost", KUVNET_IPV4, nullptr, 56, 0},
        {"::1", KUVNET_IPV6, payload, sizeof payload, 4243},
    };
    for (const Case &c : cases) {
        if (c.family == KUVNET_IPV6 && kuv_xapi_is_supported_ipv6() != 1) continue;
        kuv_test::Endpoint handle(KUVNET_ICMP | c.family);
        handle->timeout = 5000;
        kuv_xapi_kuvnet_set_remote(handle.handle, c.peer, 0);
        ASSERT_EQ(kuv_xapi_kuvnet_create(handle.handle), 1u) << c.peer;
        EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle.handle, c.payload, c.size, c.sequence),
                  c.sequence)
            << c.peer;
    }
}

// An echo endpoint that names no family, with a local name of both families
// whose IPv6 address comes first: the IPv4 echo leaves from the name's IPv4
// address, and a name with only an IPv6 address binds no IPv4 echo at all.
TEST_F(IcmpEcho, TheLocalNameBindsOnlyAddressesOfThePeersFamily) {
    const std::string hosts = kuv_test::unique_path("hosts");
    FILE *file = std::fopen(hosts.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("fd00:6b75::7 kuv-both\n10.7.7.1 kuv-both\n", file);
    std::fclose(file);
    const std::string setup =
        "ip link set lo up && ip addr add 10.7.7.1/32 dev lo && "
        "ip addr add 10.7.7.2/32 dev lo && "
        "ip addr add fd00:6b75::7/128 dev lo nodad && mount --bind " +
        hosts + " /etc/hosts";
    EXPECT_CHILD_PASSES(CLONE_NEWNET | CLONE_NEWNS, setup.c_str(), []() -> std::string {
        const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (raw < 0) return "SKIP: raw ICMP sockets cannot be opened here";
        kuv_test::Failures failures;
        for (const char *local : {"kuv-both", "fd00:6b75::7"}) {
            kuv_test::Endpoint handle(KUVNET_ICMP);
            handle->timeout = 2000;
            kuv_xapi_kuvnet_set_remote(handle.handle, "10.7.7.2", 0);
            kuv_xapi_kuvnet_set_local(handle.handle, local, 0);
            failures.check(kuv_xapi_kuvnet_create(handle.handle) == 1, "create");
            const uint32_t result = kuv_xapi_kuvnet_simple_ping(handle.handle, nullptr, 8, 9);
            failures.check(result == (std::strcmp(local, "kuv-both") == 0 ? 9 : 0xFFFFFFFFu),
                           std::string(local) + ": result " + std::to_string(result));
        }
        // The request the first echo sent, as the host received it.
        uint8_t packet[256];
        pollfd ready{raw, POLLIN, 0};
        std::string sources;
        while (poll(&ready, 1, 0) == 1) {
            const ssize_t got = recv(raw, packet, sizeof packet, 0);
            in_addr source;
            std::memcpy(&source, packet + 12, sizeof source);
            if (got >= 28 && packet[20] == 8) sources += std::string(inet_ntoa(source)) + " ";
        }
        close(raw);
        failures.check(sources == "10.7.7.1 ", "requests from " + sources);
        return failures.text;
    });
    unlink(hosts.c_str());
}

// The two kinds of echo as the test's own raw socket sees and sends them.
struct Family {
    int domain, protocol;
    uint8_t request, reply, unreachable;
    uint32_t kuvnet_family;
    const char *loopback;
    const char *other;  // a second address of the host
    // In front of what a raw socket receives.
    size_t received_ip_header() const { return domain == AF_INET ? 20 : 0; }
    // A namespace whose host does not answer echoes.
    std::string setup() const {
        return domain == AF_INET ? "ip link set lo up && sysctl -qw net.ipv4.icmp_echo_ignore_all=1"
                                 : "ip link set lo up && ip addr add ::2/128 dev lo nodad && "
                                   "sysctl -qw net.ipv6.icmp.echo_ignore_all=1";
    }
};
const Family kIpv4{AF_INET, IPPROTO_ICMP, 8, 0, 3, KUVNET_IPV4, "127.0.0.1", "127.0.0.2"};
const Family kIpv6{AF_INET6, IPPROTO_ICMPV6, 128, 129, 1, KUVNET_IPV6, "::1", "::2"};

// The loopback address of the family, with a port.
union Address {
    sockaddr any;
    sockaddr_in ipv4;
    sockaddr_in6 ipv6;
};
Address loopback(const Family &family, uint16_t port) {
    Address address{};
    if (family.domain == AF_INET)
        address.ipv4 = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    else
        address.ipv6 = {AF_INET6, htons(port), 0, in6addr_loopback, 0};
    return address;
}

// An ICMP message sent from a raw socket to the loopback address; the
// kernel sums ICMPv6 messages itself.
void send_icmp(const Family &family, int raw, Bytes message) {
    if (family.domain == AF_INET) {
        const uint16_t checksum = checksum_of(message);
        std::memcpy(&message[2], &checksum, 2);
    }
    const Address to = loopback(family, 0);
    sendto(raw, message.data(), message.size(), 0, &to.any, sizeof to);
}

Bytes echo_header(uint8_t type, uint16_t identifier, uint16_t sequence, size_t payload) {
    Bytes message(8 + payload);
    message[0] = type;
    message[4] = uint8_t(identifier >> 8), message[5] = uint8_t(identifier);
    message[6] = uint8_t(sequence >> 8), message[7] = uint8_t(sequence);
    return message;
}

// An ICMP message sent to the loopback address from the host's other
// address, as another host would send it.
void send_icmp_from_other(const Family &family, Bytes message) {
    const int raw = socket(family.domain, SOCK_RAW, family.protocol);
    Address from = loopback(family, 0);
    inet_pton(family.domain, family.other,
              family.domain == AF_INET ? static_cast<void *>(&from.ipv4.sin_addr)
                                       : static_cast<void *>(&from.ipv6.sin6_addr));
    if (bind(raw, &from.any, sizeof from) == 0) send_icmp(family, raw, message);
    close(raw);
}

// A destination-unreachable report quoting an echo request to destination
// with the given identifier and sequence behind its IP header.
Bytes unreachable_about(const Family &family, uint16_t identifier, uint16_t sequence,
                        const char *destination) {
    Bytes message = {family.unreachable, 1, 0, 0, 0, 0, 0, 0};
    Bytes quoted_ip(family.domain == AF_INET ? 20 : 40, 0);
    quoted_ip[0] = family.domain == AF_INET ? 0x45 : 0x60;
    quoted_ip[family.domain == AF_INET ? 9 : 6] = static_cast<uint8_t>(family.protocol);
    inet_pton(family.domain, destination, &quoted_ip[family.domain == AF_INET ? 16 : 24]);
    return concat(concat(message, quoted_ip), echo_header(family.request, identifier, sequence, 0));
}

// Whether the echo request of this identifier reaches the raw socket
// within 5 s.
bool saw_request(const Family &family, int raw, uint16_t identifier) {
    uint8_t packet[256];
    const uint8_t *echo = packet + family.received_ip_header();
    pollfd ready{raw, POLLIN, 0};
    while (poll(&ready, 1, 5000) == 1) {
        const ssize_t got = recv(raw, packet, sizeof packet, 0);
        if (got >= static_cast<ssize_t>(family.received_ip_header() + 8) &&
            echo[0] == family.request && echo[4] == (identifier >> 8) &&
            echo[5] == (identifier & 0xFF))
            return true;
    }
    return false;
}

// The host does not answer echoes here: the test's own thread sends the
// reply after other ICMP traffic reached the host. That traffic is someone
// else's and must not end the wait (a reply from another host, an error
// about an echo to another host, both with the request's identifier and
// sequence, and an error cut short before the echo it quotes included); an
// error that quotes the request must.
TEST_F(IcmpEcho, OnlyTheReplyOrAnErrorAboutTheRequestEndsTheWait) {
    for (const Family *family : {&kIpv4, &kIpv6}) {
        if (family == &kIpv6 && kuv_xapi_is_supported_ipv6() != 1) continue;
        for (const bool error_about_request : {false, true}) {
            EXPECT_CHILD_PASSES(CLONE_NEWNET, family->setup().c_str(), [&]() -> std::string {
                const Family &f = *family;
                const int raw = socket(f.domain, SOCK_RAW, f.protocol);
                if (raw < 0) return "SKIP: raw ICMP sockets cannot be opened here";
                const auto identifier = static_cast<uint16_t>(getpid());
                std::thread host([&] {
                    if (!saw_request(f, raw, identifier)) return;
                    send_icmp(f, raw, echo_header(f.reply, identifier ^ 0x5555, 77, 0));
                    send_icmp(f, raw, echo_header(f.reply, identifier, 77, 0));  // too short
                    send_icmp(f, raw, unreachable_about(f, identifier ^ 0x5555, 77, f.loopback));
                    send_icmp(f, raw, unreachable_about(f, identifier, 76, f.loopback));
                    send_icmp(f, raw, unreachable_about(f, identifier, 77, f.other));
                    const Bytes whole = unreachable_about(f, identifier, 77, f.loopback);
                    send_icmp(f, raw, Bytes(whole.begin(), whole.end() - 8));  // no echo quoted
                    send_icmp_from_other(f, echo_header(f.reply, identifier, 77, 100));
                    const int udp = socket(f.domain, SOCK_DGRAM, 0);  // a port unreachable
                    const Address closed = loopback(f, 9);
                    sendto(udp, "x", 1, 0, &closed.any, sizeof closed);
                    close(udp);
                    if (error_about_request)
                        send_icmp(f, raw, unreachable_about(f, identifier, 77, f.loopback));
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    send_icmp(f, raw, echo_header(f.reply, identifier, 77, 100));
                });
                kuv_test::Endpoint handle(KUVNET_ICMP | f.kuvnet_family);
                handle->timeout = 10000;
                kuv_xapi_kuvnet_set_remote(handle.handle, f.loopback, 0);
                uint32_t result = 0;
                if (kuv_xapi_kuvnet_create(handle.handle) == 1)
                    result = kuv_xapi_kuvnet_simple_ping(handle.handle, nullptr, 100, 77);
                host.join();
                close(raw);
                const uint32_t expected = error_about_request ? 0xFFFFFFFFu : 77;
                return result == expected ? "" : "result " + std::to_string(result);
            });
        }
    }
}

}  // namespace
