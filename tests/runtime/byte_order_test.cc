#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "davro_kuv.h"

namespace {

TEST(ByteOrder, LittleEndianHostSwapsOnlyTheBigEndianFamily) {
    uint32_t mark;
    const unsigned char bytes[4] = {0x12, 0x34, 0x56, 0x78};
    std::memcpy(&mark, bytes, 4);
    ASSERT_EQ(kuv_xapi_get_order(), mark);
    if (mark != 0x78563412u) GTEST_SKIP() << "not a little-endian host";
    EXPECT_EQ(kuv_xapi_get_order(), 2018915346u);
    EXPECT_EQ(kuv_xapi_be_value(0x11223344u), 0x44332211u);
    EXPECT_EQ(kuv_xapi_bedword_value(0x11223344u), 0x44332211u);
    EXPECT_EQ(kuv_xapi_le_value(0x11223344u), 0x11223344u);
    EXPECT_EQ(kuv_xapi_ledword_value(0x11223344u), 0x11223344u);
    EXPECT_EQ(kuv_xapi_beword_value(0x1234u), 0x3412u);
    EXPECT_EQ(kuv_xapi_beword_value(0xABCD1234u), 0xABCD3412u);
    EXPECT_EQ(kuv_xapi_leword_value(0xABCD1234u), 0xABCD1234u);
    EXPECT_EQ(kuv_xapi_beqword_value(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(kuv_xapi_leqword_value(0x0102030405060708ull), 0x0102030405060708ull);
}

TEST(ByteOrder, EveryConversionIsItsOwnInverse) {
    std::mt19937_64 random(12345);
    for (int i = 0; i < 1000; ++i) {
        uint64_t q = random();
        auto d = static_cast<uint32_t>(q);
        EXPECT_EQ(kuv_xapi_be_value(kuv_xapi_be_value(d)), d);
        EXPECT_EQ(kuv_xapi_le_value(kuv_xapi_le_value(d)), d);
        EXPECT_EQ(kuv_xapi_beword_value(kuv_xapi_beword_value(d)), d);
        EXPECT_EQ(kuv_xapi_leword_value(kuv_xapi_leword_value(d)), d);
        EXPECT_EQ(kuv_xapi_beqword_value(kuv_xapi_beqword_value(q)), q);
        EXPECT_EQ(kuv_xapi_leqword_value(kuv_xapi_leqword_value(q)), q);
    }
}

}  // namespace
