#include <gtest/gtest.h>

#include "davro_kuv.h"

namespace {

TEST(ByteOrder, LittleEndianHostSwapsOnlyTheBigEndianFamily) {
    if (kuv_xapi_get_order() != 0x78563412u) GTEST_SKIP() << "not a little-endian host";
    EXPECT_EQ(kuv_xapi_be_value(0x11223344u), 0x44332211u);
    EXPECT_EQ(kuv_xapi_bedword_value(0x11223344u), 0x44332211u);
    EXPECT_EQ(kuv_xapi_le_value(0x11223344u), 0x11223344u);
    EXPECT_EQ(kuv_xapi_beword_value(0xABCD1234u), 0xABCD3412u);  // bits above kept
    EXPECT_EQ(kuv_xapi_leword_value(0xABCD1234u), 0xABCD1234u);
    EXPECT_EQ(kuv_xapi_beqword_value(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(kuv_xapi_leqword_value(0x0102030405060708ull), 0x0102030405060708ull);
}

}  // namespace
