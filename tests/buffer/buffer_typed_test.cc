// Typed pops and peeks of the chained buffer in each width and byte order.
#include <gtest/gtest.h>

#include <cstring>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/buffer/buffer_test_util.h"

namespace {

using kuv_test::OutputCapture;

constexpr uint8_t kCounting[8] = {1, 2, 3, 4, 5, 6, 7, 8};

template <typename T>
T host_value(const uint8_t *bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

class TypedAccess : public buffer_test::BufferTest {
  protected:
    void SetUp() override {
        BufferTest::SetUp();
        // Two nodes, so that values straddle a node boundary.
        lend(kCounting, 3);
        lend(kCounting + 3, 5);
    }
};

TEST_F(TypedAccess, PeeksReadEachWidthAndOrderAtAnOffset) {
    uint32_t dword = 0;
    uint64_t qword = 0;
    EXPECT_EQ(kuv_xapi_peek_buffer_byte(buffer, 7), 8);
    EXPECT_EQ(kuv_xapi_peek_buffer_word(buffer, 2), host_value<uint16_t>(kCounting + 2));
    EXPECT_EQ(kuv_xapi_peek_buffer_leword(buffer, 2), 0x0403);
    EXPECT_EQ(kuv_xapi_peek_buffer_beword(buffer, 2), 0x0304);
    EXPECT_EQ(kuv_xapi_peek_buffer_dword(buffer, &dword, 1), 1);
    EXPECT_EQ(dword, host_value<uint32_t>(kCounting + 1));
    EXPECT_EQ(kuv_xapi_peek_buffer_ledword(buffer, &dword, 1), 1);
    EXPECT_EQ(dword, 0x05040302u);
    EXPECT_EQ(kuv_xapi_peek_buffer_bedword(buffer, &dword, 1), 1);
    EXPECT_EQ(dword, 0x02030405u);
    EXPECT_EQ(kuv_xapi_peek_buffer_qword(buffer, &qword, 0), 1);
    EXPECT_EQ(qword, host_value<uint64_t>(kCounting));
    EXPECT_EQ(kuv_xapi_peek_buffer_leqword(buffer, &qword, 0), 1);
    EXPECT_EQ(qword, 0x0807060504030201u);
    EXPECT_EQ(kuv_xapi_peek_buffer_beqword(buffer, &qword, 0), 1);
    EXPECT_EQ(qword, 0x0102030405060708u);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 8);
}

TEST_F(TypedAccess, PopsConsumeEachWidthAndOrder) {
    lend(kCounting, 8);
    uint32_t dword = 0;
    uint64_t qword = 0;
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(buffer), 1);
    EXPECT_EQ(kuv_xapi_pop_buffer_leword(buffer), 0x0302);
    EXPECT_EQ(kuv_xapi_pop_buffer_beword(buffer), 0x0405);
    EXPECT_EQ(kuv_xapi_pop_buffer_word(buffer), host_value<uint16_t>(kCounting + 5));
    EXPECT_EQ(kuv_xapi_pop_buffer_bedword(buffer, &dword), 1);  // 8 1 2 3
    EXPECT_EQ(dword, 0x08010203u);
    EXPECT_EQ(kuv_xapi_pop_buffer_ledword(buffer, &dword), 1);  // 4 5 6 7
    EXPECT_EQ(dword, 0x07060504u);
    lend(kCounting, 8);
    EXPECT_EQ(kuv_xapi_pop_buffer_beqword(buffer, &qword), 1);  // 8 1 2 ... 7
    EXPECT_EQ(qword, 0x0801020304050607u);
    EXPECT_EQ(kuv_xapi_pop_buffer_leqword(buffer, &qword), 0);  // one byte left
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 23);
}

TEST_F(TypedAccess, TooFewBytesFailWithoutConsumingOrTouchingThePlace) {
    kuv_xapi_pop_buffer_ex(buffer, nullptr, 5, KUV_BUFFER_EXACT);  // 6 7 8 left
    uint32_t dword = 0xDEADBEEF;
    uint64_t qword = 7;
    EXPECT_EQ(kuv_xapi_pop_buffer_bedword(buffer, &dword), 0);
    EXPECT_EQ(kuv_xapi_peek_buffer_ledword(buffer, &dword, 0), 0);
    EXPECT_EQ(dword, 0xDEADBEEFu);
    EXPECT_EQ(kuv_xapi_peek_buffer_qword(buffer, &qword, UINT64_MAX), 0);
    EXPECT_EQ(qword, 7u);
    EXPECT_EQ(kuv_xapi_peek_buffer_beword(buffer, 2), -1);
    EXPECT_EQ(kuv_xapi_peek_buffer_byte(buffer, 3), -1);
    EXPECT_EQ(kuv_xapi_pop_buffer_leword(buffer), 0x0706);
    EXPECT_EQ(kuv_xapi_pop_buffer_word(buffer), -1);  // the last byte stays
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(buffer), 8);
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(buffer), -1);
}

TEST_F(TypedAccess, PopWithoutPlaceDiscardsAndPeekWithoutPlaceIsRefused) {
    OutputCapture out(1);
    EXPECT_EQ(kuv_xapi_peek_buffer_dword(buffer, nullptr, 0), 0);
    EXPECT_EQ(kuv_xapi_pop_buffer_dword(buffer, nullptr), 1);
    EXPECT_EQ(kuv_xapi_pop_buffer_qword(buffer, nullptr), 0);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 4);
    // Without a handle the byte and word forms give -1: 0 is a byte value.
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(nullptr), -1);
    EXPECT_EQ(kuv_xapi_peek_buffer_word(nullptr, 0), -1);
    EXPECT_EQ(kuv_xapi_pop_buffer_qword(nullptr, nullptr), 0);
    EXPECT_EQ(out.finish(), "invalid argumentinvalid handleinvalid handleinvalid handle");
}

}  // namespace
