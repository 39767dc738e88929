// Text to address: the library's own parser against its rules and against
// the system's converters, and the system's through the library.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <random>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

// Parses text with the own parser into 16 bytes inside guard bytes; checks
// that nothing outside them is written. Returns the result and the groups.
int32_t own_pton6(const char *text, std::string *hex = nullptr) {
    uint8_t guarded[48];
    std::memset(guarded, 0xEE, sizeof guarded);
    int32_t result = kuv_mapi_inet_pton(AF_INET6, text, guarded + 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(guarded[i], 0xEE) << text;
        EXPECT_EQ(guarded[32 + i], 0xEE) << text;
    }
    char out[64];
    if (hex && result == 1) *hex = kuv_mapi_inet_ntop(AF_INET6, guarded + 16, out, sizeof out);
    if (result != 1) {
        for (int i = 16; i < 32; ++i)
            EXPECT_EQ(guarded[i], 0) << text;
    }
    return result;
}

TEST(OwnPton, Ipv4Parts) {
    uint8_t address[4];
    EXPECT_EQ(kuv_mapi_inet_pton(AF_INET, "010.1.1.1", address), 1);
    EXPECT_EQ(std::memcmp(address, "\x0a\x01\x01\x01", 4), 0);
    EXPECT_EQ(kuv_mapi_inet_pton(AF_INET, "255.255.255.255", address), 1);
    for (const char *bad : {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1234.1.1.1", "",
                            "1.2.3.4 ", "1.2.3.-4", ".1.2.3", "1.2.3.4."}) {
        std::memset(address, 0xEE, sizeof address);
        EXPECT_EQ(kuv_mapi_inet_pton(AF_INET, bad, address), 0) << bad;
        EXPECT_EQ(std::memcmp(address, "\0\0\0\0", 4), 0) << bad;
    }
}

TEST(OwnPton, Ipv6GroupsAndGap) {
    std::string hex;
    const std::pair<const char *, const char *> accepted[] = {
        {"::1", "::1"},
        {"1::", "1::"},
        {"1::2", "1::2"},
        {"fe80::1", "fe80::1"},
        {"1:2", "1:2::"},
        {"::", "::"},
        {"FFFF::0001", "ffff::1"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7::"},
        {"::1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {":1", "::1"},
        {"1:2:", "1:2::"}};
    for (const auto &[text, expected] : accepted) {
        EXPECT_EQ(own_pton6(text, &hex), 1) << text;
        EXPECT_EQ(hex, expected) << text;
    }
    // A ninth group is refused before it is stored (the guards above check
    // that nothing is written past the 16 bytes).
    for (const char *bad : {"1", "12345::", "1::2:3::4", "1::2::3", ":::", "1:::2", "g::1",
                            "::1.2.3.4", "1:2:3:4:5:6:7:8:9",
                            "1:2:3:4:5:6:7:8::", "1:2:3:4:5:6:7:8:9:a:b:c:d:e:f:0:1:2", "", " ::1"})
        EXPECT_EQ(own_pton6(bad), 0) << bad;

    uint8_t untouched[16];
    std::memset(untouched, 0xEE, sizeof untouched);
    EXPECT_EQ(kuv_mapi_inet_pton(7, "::1", untouched), -1);
    EXPECT_EQ(untouched[0], 0xEE);
    EXPECT_EQ(kuv_mapi_inet_pton(AF_INET6, nullptr, untouched), -1);
    EXPECT_EQ(kuv_mapi_inet_pton(AF_INET6, "::1", nullptr), -1);
}

// The own converters against the system's on random addresses, in the ways
// they are defined to agree: the same text for IPv4; for IPv6 each parses
// the other's text back to the address, except the system's embedded IPv4
// forms, which the own parser does not read.
TEST(OwnConverters, RoundTripWithTheSystemsOnRandomAddresses) {
    std::mt19937 random(20261206);
    char own_text[64], system_text[64];
    uint8_t back[16];
    for (int round = 0; round < 20000; ++round) {
        uint8_t v4[4];
        for (auto &byte : v4)
            byte = static_cast<uint8_t>(random());
        ASSERT_STREQ(kuv_mapi_inet_ntop(AF_INET, v4, own_text, sizeof own_text),
                     inet_ntop(AF_INET, v4, system_text, sizeof system_text));
        ASSERT_EQ(kuv_mapi_inet_pton(AF_INET, system_text, back), 1);
        ASSERT_EQ(std::memcmp(back, v4, 4), 0);

        uint8_t v6[16];
        for (int group = 0; group < 8; ++group) {
            // Half the groups zero, so that runs of every length appear.
            unsigned value = random() % 2 ? 0 : random() % (random() % 2 ? 0x10 : 0x10000);
            v6[2 * group] = static_cast<uint8_t>(value >> 8);
            v6[2 * group + 1] = static_cast<uint8_t>(value);
        }
        kuv_mapi_inet_ntop(AF_INET6, v6, own_text, sizeof own_text);
        ASSERT_EQ(inet_pton(AF_INET6, own_text, back), 1) << own_text;
        ASSERT_EQ(std::memcmp(back, v6, 16), 0) << own_text;
        ASSERT_EQ(kuv_mapi_inet_pton(AF_INET6, own_text, back), 1) << own_text;
        ASSERT_EQ(std::memcmp(back, v6, 16), 0) << own_text;
        inet_ntop(AF_INET6, v6, system_text, sizeof system_text);
        if (std::strchr(system_text, '.')) continue;
        ASSERT_EQ(kuv_mapi_inet_pton(AF_INET6, system_text, back), 1) << system_text;
        ASSERT_EQ(std::memcmp(back, v6, 16), 0) << system_text;
    }
}

TEST(SystemPton, ResultsAndHostNames) {
    uint8_t address[16];
    EXPECT_EQ(kuv_xapi_inet_pton(AF_INET6, "::1", address), 1);
    EXPECT_EQ(kuv_xapi_inet_pton(AF_INET, "1.2.3", address), 0);
    EXPECT_EQ(kuv_xapi_inet_pton(7, "1.2.3.4", address), -1);
    EXPECT_EQ(kuv_xapi_inet_pton(AF_INET, nullptr, address), -1);

    uint32_t value = kuv_xapi_inet_pton_ipv4("10.0.0.1", 1);
    EXPECT_EQ(std::memcmp(&value, "\x0a\x00\x00\x01", 4), 0);
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4("10.0.0.1", 0), 0x0A000001u);
    // From /etc/hosts: no query leaves the machine.
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4("localhost", 0), 0x7F000001u);
}

}  // namespace
