// Address to text: the library's own formatter, and socket-address names
// through the system's.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

std::string own_ntop6(std::initializer_list<unsigned> groups) {
    uint8_t address[16] = {};
    size_t i = 0;
    for (unsigned group : groups) {
        address[i++] = static_cast<uint8_t>(group >> 8);
        address[i++] = static_cast<uint8_t>(group);
    }
    char text[64];
    return kuv_mapi_inet_ntop(AF_INET6, address, text, sizeof text);
}

TEST(AddressOwnNtop, CompressesTheFirstLongestRunOfZeroGroups) {
    EXPECT_EQ(own_ntop6({1, 0, 2, 3, 4, 5, 6, 7}), "1::2:3:4:5:6:7");
    EXPECT_EQ(own_ntop6({1, 0, 0, 2, 0, 0, 3, 4}), "1::2:0:0:3:4");
    EXPECT_EQ(own_ntop6({1, 0, 2, 0, 0, 3, 0, 4}), "1:0:2::3:0:4");
    EXPECT_EQ(own_ntop6({0, 0, 0, 0, 0, 0, 0, 0}), "::");
    EXPECT_EQ(own_ntop6({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    EXPECT_EQ(own_ntop6({1, 0, 0, 0, 0, 0, 0, 0}), "1::");
    EXPECT_EQ(own_ntop6({0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304}), "::ffff:102:304");
    EXPECT_EQ(own_ntop6({0xABCD, 0xABCD, 0xABCD, 0xABCD, 0xABCD, 0xABCD, 0xABCD, 0xABCD}),
              "abcd:abcd:abcd:abcd:abcd:abcd:abcd:abcd");
}

TEST(AddressOwnNtop, CutsToTheBufferAndClearsItForOtherFamilies) {
    const uint8_t address[4] = {192, 168, 0, 1};
    char text[32];
    EXPECT_STREQ(kuv_mapi_inet_ntop(0x10000 | AF_INET, address, text, 32), "192.168.0.1");
    std::memset(text, 'x', sizeof text);
    EXPECT_STREQ(kuv_mapi_inet_ntop(AF_INET, address, text, 6), "192.1");
    EXPECT_EQ(text[6], 'x');
    EXPECT_EQ(kuv_mapi_inet_ntop(7, address, text, 20), text);
    EXPECT_EQ(std::string(text, 21), std::string(20, '\0') + 'x');
    EXPECT_EQ(kuv_mapi_inet_ntop(AF_INET, address, text, 0), nullptr);
    EXPECT_EQ(kuv_mapi_inet_ntop(AF_INET6, nullptr, text, sizeof text), nullptr);
    EXPECT_STREQ(text, "");
}

TEST(AddressSystemNtop, SocketAddressNames) {
    char text[64];
    sockaddr_storage storage{};
    auto *address = reinterpret_cast<sockaddr *>(&storage);
    EXPECT_STREQ(kuv_xapi_inet_stop(address, text, 16), "?UNSPEC");
    EXPECT_STREQ(kuv_xapi_inet_stop(address, text, 4), "?UN");
    std::memset(text, 'x', sizeof text);
    EXPECT_STREQ(kuv_xapi_inet_stop(address, text, 1), "");
    EXPECT_EQ(kuv_xapi_inet_stop(address, text, 0), text);
    EXPECT_EQ(text[1], 'x');

    auto &v4 = reinterpret_cast<sockaddr_in &>(storage);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(0x0A000001);
    EXPECT_STREQ(kuv_xapi_inet_stop(address, text, sizeof text), "10.0.0.1");
    // Too small for the system's converter: NULL, and no stale text.
    EXPECT_EQ(kuv_xapi_inet_stop(address, text, 5), nullptr);
    EXPECT_EQ(text[0], '\0');
    storage.ss_family = AF_UNIX;
    EXPECT_STREQ(kuv_xapi_inet_stop(address, text, sizeof text), "?N/A");

    EXPECT_STREQ(kuv_xapi_inet_ntop_ipv4(htonl(0xC0A80001), 1), "192.168.0.1");
    EXPECT_STREQ(kuv_xapi_inet_ntop_ipv4(0xC0A80001, 0), "192.168.0.1");
}

}  // namespace
