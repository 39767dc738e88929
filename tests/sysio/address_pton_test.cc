// Text to address: the library's own parser against its rules and against
// the system's converters.
#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

// Parses into 16 bytes between guard bytes that must stay untouched; a
// refused text leaves the 16 bytes zero. Returns the result and, when
// parsed, the own text of the address.
int32_t own_pton6(const char *text, std::string *parsed = nullptr) {
    uint8_t area[48];
    std::memset(area, 0xEE, sizeof area);
    int32_t result = kuv_mapi_inet_pton(AF_INET6, text, area + 16);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(area), 16), std::string(16, '\xEE')) << text;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(area + 32), 16), std::string(16, '\xEE'))
        << text;
    if (result != 1) {
        EXPECT_EQ(std::string(reinterpret_cast<char *>(area + 16), 16), std::string(16, '\0'));
    }
    char out[64];
    if (parsed && result == 1) *parsed = kuv_mapi_inet_ntop(AF_INET6, area + 16, out, 64);
    return result;
}

TEST(AddressOwnPton, Ipv4Parts) {
    uint8_t address[4];
    EXPECT_EQ(kuv_mapi_inet_pton(AF_INET, "010.1.1.1", address), 1);
    EXPECT_EQ(std::memcmp(address, "\x0a\x01\x01\x01", 4), 0);
    for (const char *bad :
         {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1234.1.1.1", "", "1.2.3.4 ", "1.2.3.4."}) {
        std::memset(address, 0xEE, sizeof address);
        EXPECT_EQ(kuv_mapi_inet_pton(AF_INET, bad, address), 0) << bad;
        EXPECT_EQ(std::memcmp(address, "\0\0\0\0", 4), 0) << bad;
    }
    EXPECT_EQ(kuv_mapi_inet_pton(7, "1.2.3.4", address), -1);
    EXPECT_EQ(kuv_mapi_inet_pton(AF_INET, nullptr, address), -1);
}

TEST(AddressOwnPton, Ipv6GroupsAndOneGap) {
    std::string parsed;
    for (auto [text, expected] : {std::pair{"::1", "::1"},
                                  {"1::", "1::"},
                                  {"fe80::1", "fe80::1"},
                                  {"1:2", "1:2::"},
                                  {"::", "::"},
                                  {"FFFF::0001", "ffff::1"},
                                  {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
                                  {":1", "::1"},
                                  {"::1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"}}) {
        EXPECT_EQ(own_pton6(text, &parsed), 1) << text;
        EXPECT_EQ(parsed, expected) << text;
    }
    // A ninth group is refused before it is stored; the guards show that
    // nothing lands past the 16 bytes.
    for (const char *bad : {"1", "12345::", "1::2:3::4", "1::2::3", ":::", "g::1", "::1.2.3.4",
                            "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8::", "1:2:3:4:5:6:7:8:9:a:b:c:d"})
        EXPECT_EQ(own_pton6(bad), 0) << bad;
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
        ASSERT_EQ(kuv_mapi_inet_pton(AF_INET, system, back), 1);
        ASSERT_EQ(std::memcmp(back, v4, 4), 0);
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

}  // namespace
