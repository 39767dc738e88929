// ICMP echo over real raw sockets on loopback, and the Internet checksum.
// Raw sockets need root (or CAP_NET_RAW); without it the echo cases skip.
// The kernel drops echo requests whose checksum is wrong, so a reply also
// vouches for the checksum of what was sent.
#include <unistd.h>

#include <cstring>
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
        if (c.family == KUVNET_IPV6 && kuv_xapi_is_supported_ipv6() != 1) {
            std::printf("no IPv6 here: %s not tried\n", c.peer);
            continue;
        }
        kuv_test::Endpoint handle(KUVNET_ICMP | c.family);
        handle->timeout = 5000;
        kuv_xapi_kuvnet_set_remote(handle.handle, c.peer, 0);
        ASSERT_EQ(kuv_xapi_kuvnet_create(handle.handle), 1u) << c.peer;
        EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle.handle, c.payload, c.size, c.sequence),
                  c.sequence)
            << c.peer;
    }
}

}  // namespace
