// Address text: the library's own parser and formatter against their rules,
// and socket-address names. (Their agreement with the system's converters
// is checked by inet_pton_fuzz.)
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "davro_kuv.h"

namespace {

// The own formatter's text of what the own parser reads from text, or for a
// refused text the result. (That a refusal leaves the address zero and
// that neither writes beyond its area, inet_pton_fuzz checks on any text.)
std::string own_round_trip(int family, const char *text) {
    uint8_t address[16];
    char out[64];
    const int32_t result = kuv_mapi_inet_pton(family, text, address);
    return result == 1 ? kuv_mapi_inet_ntop(family, address, out, sizeof out)
                       : std::to_string(result);
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
        {"1..2.3", "0"}, {"1234.1.1.1", "0"}, {"0001.1.1.1", "0"}, {"", "0"}, {"1.2.3.4 ", "0"},
        {"1.2.3.4.", "0"}};
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
    // The text may be parsed in place: the output is written once it is read.
    char in_place[20] = "192.168.100.200";
    EXPECT_EQ(kuv_mapi_inet_pton(AF_INET, in_place, in_place), 1);
    EXPECT_EQ(std::string(in_place, 4), "\xC0\xA8\x64\xC8");
    std::strcpy(in_place, "1111:2222::3");
    EXPECT_EQ(kuv_mapi_inet_pton(AF_INET6, in_place, in_place), 1);
    EXPECT_STREQ(kuv_mapi_inet_ntop(AF_INET6, in_place, text, sizeof text), "1111:2222::3");
}

TEST(AddressSystemConverters, SocketAddressNamesAreAlwaysTerminated) {
    char text[64];
    sockaddr_in address{};  // family 0 first
    auto *name = reinterpret_cast<sockaddr *>(&address);
    EXPECT_STREQ(kuv_xapi_inet_stop(name, text, 16), "?UNSPEC");
    EXPECT_STREQ(kuv_xapi_inet_stop(name, text, 7), "?UNSPE");  // cut, terminated within 7
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
