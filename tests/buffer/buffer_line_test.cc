// Text lines popped out of a chained buffer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/buffer/buffer_test_util.h"

namespace {

using buffer_test::RefuseAllocation;

class LinePop : public kuv_test::ResourceCheckedTest {
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
    void push(const std::string &bytes) {
        kuv_xapi_push_buffer_ex(buffer, bytes.data(), bytes.size(), 0);
    }
    // The popped line, or "<none>".
    std::string pop() {
        char *line = kuv_xapi_pop_buffer_line(buffer);
        if (!line) return "<none>";
        std::string text = line;
        kuv_xapi_free(line);
        return text;
    }
    std::string held() {
        std::string bytes(static_cast<size_t>(kuv_xapi_get_buffer_size(buffer)), '\0');
        if (!bytes.empty())
            kuv_xapi_peek_buffer_ex(buffer, bytes.data(), bytes.size(), 0, KUV_BUFFER_EXACT);
        return bytes;
    }
    kuv_buffer_t *buffer = nullptr;
};

TEST_F(LinePop, CrLfPairEndsOneLineAndAnUnfinishedLineStaysHeld) {
    push("abc\r\ndef");
    EXPECT_EQ(pop(), "abc");
    EXPECT_EQ(pop(), "<none>");
    EXPECT_EQ(held(), "def");
    push("\n");
    EXPECT_EQ(pop(), "def");
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 0);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 9);
}

TEST_F(LinePop, EachLineEndCombination) {
    push("lf\ncr\rcrlf\r\nlfcr\n\rcrcr\r\rlflf\n\nend\n");
    for (const char *expected : {"lf", "cr", "crlf", "lfcr", "crcr", "", "lflf", "", "end"})
        EXPECT_EQ(pop(), expected);
    EXPECT_EQ(pop(), "<none>");
    EXPECT_EQ(buffer->head, nullptr);
}

TEST_F(LinePop, PartnerByteArrivingLaterMakesAnEmptyLine) {
    push("abc\r");
    EXPECT_EQ(pop(), "abc");
    push("\n");
    EXPECT_EQ(pop(), "");
    // Within the chain the partner is found across a node boundary.
    kuv_xapi_push_buffer_ex(buffer, "ab", 2, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_buffer_ex(buffer, "c\n", 2, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_buffer_ex(buffer, "\rd\r", 3, KUV_BUFFER_REFERENCE);
    EXPECT_EQ(pop(), "abc");
    EXPECT_EQ(pop(), "d");
}

TEST_F(LinePop, ByteAfterAHighBitByteIsNeverALineEnd) {
    push(std::string("\xB0\nx\n", 4));
    char *line = kuv_xapi_pop_buffer_line(buffer);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line, 4), std::string("\xB0\nx\0", 4));
    kuv_xapi_free(line);
    // Two high-bit bytes close the character again; the split happens
    // across nodes too.
    kuv_xapi_push_buffer_ex(buffer, "\xC3", 1, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_buffer_ex(buffer, "\xA9\n\xD0", 3, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_buffer_ex(buffer, "\ry\r", 3, KUV_BUFFER_REFERENCE);
    EXPECT_EQ(pop(), "\xC3\xA9");
    EXPECT_EQ(pop(), "\xD0\ry");
}

TEST_F(LinePop, NulBytesStayInTheLine) {
    push(std::string("a\0b\n", 4));
    char *line = kuv_xapi_pop_buffer_line(buffer);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::memcmp(line, "a\0b\0", 4), 0);
    kuv_xapi_free(line);
}

TEST_F(LinePop, NoMemoryForTheLineConsumesNothing) {
    push("line\nnext");
    {
        RefuseAllocation refuse(1);
        EXPECT_EQ(kuv_xapi_pop_buffer_line(buffer), nullptr);
    }
    EXPECT_EQ(held(), "line\nnext");
    EXPECT_EQ(pop(), "line");
}

TEST_F(LinePop, MatchesTheByteByByteDefinitionOverRandomStreams) {
    std::mt19937 random(20240601);
    const char alphabet[] = {'a', 'b', '\r', '\n', '\x80', '\xfe', '\0'};
    for (int round = 0; round < 300; ++round) {
        std::deque<uint8_t> model;
        for (int step = 0; step < 40; ++step) {
            if (random() % 3 != 0) {
                std::string chunk(random() % 12, '\0');
                for (char &c : chunk)
                    c = alphabet[random() % sizeof alphabet];
                push(chunk);
                model.insert(model.end(), chunk.begin(), chunk.end());
                continue;
            }
            auto expected = buffer_test::reference_pop_line(model);
            char *line = kuv_xapi_pop_buffer_line(buffer);
            ASSERT_EQ(line != nullptr, expected.has_value());
            if (line) {
                EXPECT_EQ(std::string(line, expected->size()), *expected);
                EXPECT_EQ(line[expected->size()], '\0');
                kuv_xapi_free(line);
            }
            ASSERT_EQ(static_cast<size_t>(kuv_xapi_get_buffer_size(buffer)), model.size());
        }
        kuv_xapi_flush_buffer(buffer);
    }
}

TEST_F(LinePop, LongLineCostsLinearTime) {
    // Examining each byte with a peek from the head would need about 2^41
    // steps here; a linear scan needs well under a second.
    const size_t length = size_t{4} << 20;
    std::string chunk(65536, 'L');
    for (size_t pushed = 0; pushed < length; pushed += chunk.size())
        push(chunk);
    push("\r\n");
    const auto start = std::chrono::steady_clock::now();
    char *line = kuv_xapi_pop_buffer_line(buffer);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::strlen(line), length);
    kuv_xapi_free(line);
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 0);
}

}  // namespace
