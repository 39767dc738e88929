// Typed pops and peeks of the chained buffer in each width and byte order.
#include <gtest/gtest.h>

#include <cstring>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using kuv_test::OutputCapture;

class TypedAccess : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        buffer = kuv_xapi_open_buffer();
        ASSERT_NE(buffer, nullptr);
    }
    void TearDown() override {
        kuv_xapi_close_buffer(buffer);
        ResourceCheckedTest::TearDown();
    }
    // Bytes 01 02 03 ... 08, split over two lending nodes so that values
    // straddle the node boundary.
    void push_counting_bytes() {
        kuv_xapi_push_buffer_ex(buffer, kCounting, 3, KUV_BUFFER_REFERENCE);
        kuv_xapi_push_buffer_ex(buffer, kCounting + 3, 5, KUV_BUFFER_REFERENCE);
    }
    template <typename T>
    static T host_value(const uint8_t *bytes) {
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    static constexpr uint8_t kCounting[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    kuv_buffer_t *buffer = nullptr;
};

TEST_F(TypedAccess, PeeksReadEachWidthInEachByteOrder) {
    push_counting_bytes();
    EXPECT_EQ(kuv_xapi_peek_buffer_byte(buffer, 7), 8);
    EXPECT_EQ(kuv_xapi_peek_buffer_word(buffer, 2), host_value<uint16_t>(kCounting + 2));
    EXPECT_EQ(kuv_xapi_peek_buffer_leword(buffer, 2), 0x0403);
    EXPECT_EQ(kuv_xapi_peek_buffer_beword(buffer, 2), 0x0304);
    uint32_t dword = 0;
    EXPECT_EQ(kuv_xapi_peek_buffer_dword(buffer, &dword, 1), 1);
    EXPECT_EQ(dword, host_value<uint32_t>(kCounting + 1));
    EXPECT_EQ(kuv_xapi_peek_buffer_ledword(buffer, &dword, 1), 1);
    EXPECT_EQ(dword, 0x05040302u);
    EXPECT_EQ(kuv_xapi_peek_buffer_bedword(buffer, &dword, 1), 1);
    EXPECT_EQ(dword, 0x02030405u);
    uint64_t qword = 0;
    EXPECT_EQ(kuv_xapi_peek_buffer_qword(buffer, &qword, 0), 1);
    EXPECT_EQ(qword, host_value<uint64_t>(kCounting));
    EXPECT_EQ(kuv_xapi_peek_buffer_leqword(buffer, &qword, 0), 1);
    EXPECT_EQ(qword, 0x0807060504030201u);
    EXPECT_EQ(kuv_xapi_peek_buffer_beqword(buffer, &qword, 0), 1);
    EXPECT_EQ(qword, 0x0102030405060708u);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 8);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 0);
}

TEST_F(TypedAccess, PopsConsumeEachWidthInEachByteOrder) {
    push_counting_bytes();
    push_counting_bytes();
    push_counting_bytes();
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(buffer), 1);
    EXPECT_EQ(kuv_xapi_pop_buffer_leword(buffer), 0x0302);
    EXPECT_EQ(kuv_xapi_pop_buffer_beword(buffer), 0x0405);
    EXPECT_EQ(kuv_xapi_pop_buffer_word(buffer), host_value<uint16_t>(kCounting + 5));
    uint32_t dword = 0;
    EXPECT_EQ(kuv_xapi_pop_buffer_bedword(buffer, &dword), 1);  // 8 1 2 3
    EXPECT_EQ(dword, 0x08010203u);
    EXPECT_EQ(kuv_xapi_pop_buffer_ledword(buffer, &dword), 1);  // 4 5 6 7
    EXPECT_EQ(dword, 0x07060504u);
    EXPECT_EQ(kuv_xapi_pop_buffer_dword(buffer, &dword), 1);  // 8 1 2 3
    const uint8_t straddling[4] = {8, 1, 2, 3};
    EXPECT_EQ(dword, host_value<uint32_t>(straddling));
    uint64_t qword = 0;
    EXPECT_EQ(kuv_xapi_pop_buffer_beqword(buffer, &qword), 0);  // only 5 bytes left
    kuv_xapi_push_buffer_ex(buffer, kCounting, 8, KUV_BUFFER_REFERENCE);
    EXPECT_EQ(kuv_xapi_pop_buffer_beqword(buffer, &qword), 1);  // 4 5 6 7 8 1 2 3
    EXPECT_EQ(qword, 0x0405060708010203u);
    EXPECT_EQ(kuv_xapi_pop_buffer_leqword(buffer, &qword), 0);
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(buffer), 4);
    EXPECT_EQ(kuv_xapi_pop_buffer_qword(buffer, &qword), 0);  // 5 6 7 8
    EXPECT_EQ(kuv_xapi_pop_buffer_dword(buffer, &dword), 1);
    EXPECT_EQ(dword, host_value<uint32_t>(kCounting + 4));
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 32);
}

TEST_F(TypedAccess, TooFewBytesFailWithoutConsumingOrTouchingThePlace) {
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(buffer), -1);
    EXPECT_EQ(kuv_xapi_peek_buffer_byte(buffer, 0), -1);
    kuv_xapi_push_buffer_ex(buffer, "\xff", 1, 0);
    EXPECT_EQ(kuv_xapi_pop_buffer_word(buffer), -1);
    EXPECT_EQ(kuv_xapi_peek_buffer_beword(buffer, 0), -1);
    EXPECT_EQ(kuv_xapi_peek_buffer_byte(buffer, 1), -1);
    kuv_xapi_push_buffer_ex(buffer, "\xff\xff", 2, 0);
    uint32_t dword = 0xDEADBEEF;
    EXPECT_EQ(kuv_xapi_pop_buffer_bedword(buffer, &dword), 0);
    EXPECT_EQ(kuv_xapi_peek_buffer_ledword(buffer, &dword, 0), 0);
    EXPECT_EQ(dword, 0xDEADBEEFu);
    uint64_t qword = 7;
    EXPECT_EQ(kuv_xapi_peek_buffer_qword(buffer, &qword, UINT64_MAX), 0);
    EXPECT_EQ(qword, 7u);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 3);
    // 0xFFFF is a value, not a failure.
    EXPECT_EQ(kuv_xapi_peek_buffer_leword(buffer, 1), 0xFFFF);
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(buffer), 0xFF);
}

TEST_F(TypedAccess, PopWithoutPlaceDiscardsAndPeekWithoutPlaceIsRefused) {
    kuv_xapi_push_buffer_ex(buffer, "abcdefgh", 8, 0);
    OutputCapture out(1);
    EXPECT_EQ(kuv_xapi_peek_buffer_dword(buffer, nullptr, 0), 0);
    EXPECT_EQ(kuv_xapi_peek_buffer_beqword(buffer, nullptr, 0), 0);
    EXPECT_EQ(out.peek(), "invalid argumentinvalid argument");
    EXPECT_EQ(kuv_xapi_pop_buffer_dword(buffer, nullptr), 1);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 4);
    EXPECT_EQ(kuv_xapi_pop_buffer_qword(buffer, nullptr), 0);
    EXPECT_EQ(kuv_xapi_pop_buffer_ledword(buffer, nullptr), 1);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 0);
    // Without a handle the byte and word forms give -1: 0 is a byte value.
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(nullptr), -1);
    EXPECT_EQ(kuv_xapi_peek_buffer_word(nullptr, 0), -1);
    EXPECT_EQ(kuv_xapi_pop_buffer_qword(nullptr, nullptr), 0);
    EXPECT_EQ(out.finish(), "invalid argumentinvalid argument" + std::string("invalid handle") +
                                "invalid handle" + "invalid handle");
}

}  // namespace
