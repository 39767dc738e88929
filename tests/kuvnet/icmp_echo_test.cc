// ICMP echo over real raw sockets on loopback, and the Internet checksum.
// Raw sockets need root (or CAP_NET_RAW); without it the echo cases skip.
// The kernel drops echo requests whose checksum is wrong, so a reply also
// vouches for the checksum of what was sent.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Bytes;

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
        {"::1", KUVNET_IPV6, nullptr, 1000, 7},
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

// The first echo to an IPv6 neighbour waits for neighbour discovery, whose
// messages reach a raw ICMPv6 socket before the reply does; they are no
// answer to the echo and must not end its wait. The child's namespace and a
// peer namespace of a second child share a fresh veth link, so the
// neighbour is not known yet.
TEST_F(IcmpEcho, FirstEchoToANewIpv6NeighbourIsAnswered) {
    EXPECT_CHILD_PASSES(CLONE_NEWNET, "ip link set lo up", []() -> std::string {
        int ready[2], hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0) return "SKIP: no pipes";
        const pid_t peer = fork();
        if (peer == 0) {  // holds the peer namespace until hold is closed
            close(hold[1]);
            char byte = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &byte, 1);
            (void)!read(hold[0], &byte, 1);
            _exit(0);
        }
        close(hold[0]);
        char byte = 'n';
        pollfd watch{ready[0], POLLIN, 0};
        const std::string pid = std::to_string(peer);
        const std::string link =
            "(ip link add va type veth peer name vb netns " + pid +
            " && ip link set va up && ip addr add fd00:6b75:76::1/64 dev va nodad && nsenter -t " +
            pid + " -n sh -c 'ip link set vb up && ip addr add fd00:6b75:76::2/64 dev vb nodad')";
        std::string report = "SKIP: the veth link between two namespaces cannot be made here";
        if (peer > 0 && poll(&watch, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1 &&
            byte == 'y' && std::system((link + " >/dev/null 2>&1").c_str()) == 0) {
            kuv_test::Endpoint handle(KUVNET_ICMP | KUVNET_IPV6);
            handle->timeout = 5000;
            kuv_xapi_kuvnet_set_remote(handle.handle, "fd00:6b75:76::2", 0);
            report = kuv_xapi_kuvnet_create(handle.handle) != 1 ? "create failed"
                     : kuv_xapi_kuvnet_simple_ping(handle.handle, nullptr, 56, 7) != 7
                         ? "the first echo got no reply"
                         : "";
        }
        close(ready[0]);
        close(ready[1]);
        close(hold[1]);  // the peer ends
        if (peer > 0) waitpid(peer, nullptr, 0);
        return report;
    });
}

}  // namespace
