// Address text: the library's own parser and formatter against their rules
// and against the system's converters, and socket-address names.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "davro_kuv.h"

namespace {

// Parses with the own parser between guard bytes, which must stay untouched,
// and gives the own formatter's text of the address; for a refused text,
// whose bytes must be left zero, the result.
std::string own_round_trip(int family, const char *text) {
    const size_t size = family == AF_INET ? 4 : 16;
    uint8_t area[48];
    std::memset(area, 0xEE, sizeof area);
    const int32_t result = kuv_mapi_inet_pton(family, text, area + 16);
    const std::string bytes(reinterpret_cast<char *>(area), sizeof area);
    EXPECT_EQ(bytes.substr(0, 16) + bytes.substr(16 + size), std::string(48 - size, '\xEE'))
        << text;
    char out[64];
    if (result == 1) return kuv_mapi_inet_ntop(family, area + 16, out, sizeof out);
    EXPECT_EQ(bytes.substr(16, size), std::string(size, '\0')) << text;
    return std::to_string(result);
}

TEST(AddressOwnConverters, ParsingCompressionAndRefusals) {
    // clang-format off
    const char *const v6[][2] = {
        // The first longest run of zero groups, even a single one, is "::".
        {"1:0:2:3:4:5:6:7", "1::2:3:4:5:6:7"}, {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},
        {"1:0:2:0:0:3:0:4", "1:0:2::3:0:4"},   {"0:0:0:0:0:0:0:0", "::"},
        {"0:0:0:0:0:0:0:1", "::1"},            {"1:0:0:0:0:0:0:0", "1::"},
        {"0:0:0:0:0:ffff:102:304", "::ffff:102:304"},
        {"ABCD:abcd:ABCD:abcd:ABCD:abcd:ABCD:abcd", "abcd:abcd:abcd:abcd:abcd:abcd:abcd:abcd"},
        // Head groups before the gap, tail groups after it; "1:2" is a head.
        {"fe80::1", "fe80::1"}, {"1:2", "1:2::"}, {"FFFF::0001", "ffff::1"}, {":1", "::1"},
        {"::1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        // A ninth group is refused before it is stored.
        {"1", "0"}, {"12345::", "0"}, {"1::2:3::4", "0"}, {":::", "0"}, {"g::1", "0"},
        {"::1.2.3.4", "0"}, {"1:2:3:4:5:6:7:8:9", "0"}, {"1:2:3:4:5:6:7:8::", "0"}};
    const char *const v4[][2] = {
        {"010.1.1.1", "10.1.1.1"}, {"1.2.3", "0"}, {"1.2.3.4.5", "0"}, {"256.1.1.1", "0"},
        {"1..2.3", "0"}, {"1234.1.1.1", "0"}, {"", "0"}, {"1.2.3.4 ", "0"}, {"1.2.3.4.", "0"}};
    // clang-format on
    for (const auto &[text, expected] : v6)
        EXPECT_EQ(own_round_trip(AF_INET6, text), expected) << text;
    for (const auto &[text, expected] : v4)
        EXPECT_EQ(own_round_trip(AF_INET, text), expected) << text;
    // Other families are refused; the family's upper bits are flags.
    uint8_t address[4] = {1, 2, 3, 4};
    char text[20];
    std::memset(text, 0xEE, sizeof text);
    EXPECT_EQ(kuv_mapi_inet_pton(7, "5.6.7.8", address), -1);
    EXPECT_EQ(kuv_mapi_inet_ntop(7, address, text, 19), text);
    EXPECT_EQ(std::string(text, 20), std::string(19, '\0') + '\xEE');
    EXPECT_STREQ(kuv_mapi_inet_ntop(0x10000 | AF_INET, address, text, 20), "1.2.3.4");
    EXPECT_EQ(kuv_mapi_inet_ntop(AF_INET6, nullptr, text, sizeof text), nullptr);
    EXPECT_STREQ(text, "");
}

// On random addresses, in the ways the two are defined to agree: the same
// IPv4 text; each parser reads the other formatter's IPv6 text back to the
// address (except the system's embedded IPv4 forms).
TEST(AddressOwnConverters, AgreeWithTheSystemsOnRandomAddresses) {
    std::mt19937 random(20261206);
    char own[64], system[64];
    uint8_t back[16];
    for (int round = 0; round < 20000; ++round) {
        uint8_t v4[4], v6[16];
        for (auto &byte : v4)
            byte = static_cast<uint8_t>(random());
        ASSERT_STREQ(kuv_mapi_inet_ntop(AF_INET, v4, own, 64), inet_ntop(AF_INET, v4, system, 64));
        for (int i = 0; i < 16; i += 2) {  // half the groups zero: runs of every length
            unsigned group = random() % 2 ? 0 : random() % (random() % 2 ? 0x10 : 0x10000);
            v6[i] = static_cast<uint8_t>(group >> 8);
            v6[i + 1] = static_cast<uint8_t>(group);
        }
        kuv_mapi_inet_ntop(AF_INET6, v6, own, 64);
        ASSERT_TRUE(inet_pton(AF_INET6, own, back) == 1 && !std::memcmp(back, v6, 16)) << own;
        ASSERT_TRUE(kuv_mapi_inet_pton(AF_INET6, own, back) == 1 && !std::memcmp(back, v6, 16));
        if (std::strchr(inet_ntop(AF_INET6, v6, system, 64), '.')) continue;
        ASSERT_TRUE(kuv_mapi_inet_pton(AF_INET6, system, back) == 1 && !std::memcmp(back, v6, 16))
            << system;
    }
}

TEST(AddressSystemConverters, SocketAddressNamesAreAlwaysTerminated) {
    char text[64];
    sockaddr_in address{};  // family 0 first
    auto *name = reinterpret_cast<sockaddr *>(&address);
    EXPECT_STREQ(kuv_xapi_inet_stop(name, text, 16), "?UNSPEC");
    EXPECT_STREQ(kuv_xapi_inet_stop(name, text, 4), "?UN");
    EXPECT_STREQ(kuv_xapi_inet_stop(name, text, 1), "");
    address = {AF_INET, 0, {htonl(0x0A000001)}, {}};
    EXPECT_STREQ(kuv_xapi_inet_stop(name, text, sizeof text), "10.0.0.1");
    EXPECT_EQ(kuv_xapi_inet_stop(name, text, 5), nullptr);  // too small for the system's
    EXPECT_STREQ(text, "");                                 // and no stale text
    address.sin_family = AF_UNIX;
    EXPECT_STREQ(kuv_xapi_inet_stop(name, text, sizeof text), "?N/A");
    EXPECT_STREQ(kuv_xapi_inet_ntop_ipv4(0x0A000001, 0), "10.0.0.1");
}

}  // namespace
