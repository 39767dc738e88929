// Text lines popped out of a chained buffer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/buffer/buffer_test_util.h"

namespace {

using buffer_test::RefuseAllocation;

class LinePop : public buffer_test::BufferTest {
  protected:
    void lend_all(std::initializer_list<const char *> pieces) {
        for (const char *piece : pieces)
            lend(piece);
    }
    std::string pop_line() {
        char *line = kuv_xapi_pop_buffer_line(buffer);
        if (!line) return "<none>";
        std::string text = line;
        kuv_xapi_free(line);
        return text;
    }
};

TEST_F(LinePop, EachLineEndCombinationAndAnUnfinishedLine) {
    push("lf\ncr\rcrlf\r\nlfcr\n\rcrcr\r\rlflf\n\nrest");
    for (const char *expected : {"lf", "cr", "crlf", "lfcr", "crcr", "", "lflf", "", "<none>"})
        EXPECT_EQ(pop_line(), expected);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 4);
    push("\r");
    EXPECT_EQ(pop_line(), "rest");
    push("\n");  // the partner came too late: an empty line of its own
    EXPECT_EQ(pop_line(), "");
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 36);
}

TEST_F(LinePop, LineEndsAndPartnersAreFoundAcrossNodes) {
    lend_all({"ab", "c\n", "\rd\r", "\n"});
    EXPECT_EQ(pop_line(), "abc");
    EXPECT_EQ(pop_line(), "d");
    EXPECT_EQ(buffer->head, nullptr);
}

TEST_F(LinePop, ByteAfterAHighBitByteIsNeverALineEnd) {
    push(std::string("\xB0\nx\n", 4));
    char *line = kuv_xapi_pop_buffer_line(buffer);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line, 4), std::string("\xB0\nx\0", 4));
    kuv_xapi_free(line);
    // A second high-bit byte closes the character again.
    lend_all({"\xC3", "\xA9\n\xD0", "\ry\r"});
    EXPECT_EQ(pop_line(), "\xC3\xA9");
    EXPECT_EQ(pop_line(), "\xD0\ry");
}

TEST_F(LinePop, NoMemoryForTheLineConsumesNothing) {
    push("line\nnext");
    {
        RefuseAllocation refuse(1);
        EXPECT_EQ(kuv_xapi_pop_buffer_line(buffer), nullptr);
    }
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 9);
    EXPECT_EQ(pop_line(), "line");
}

TEST_F(LinePop, MatchesTheByteByByteDefinitionOverRandomStreams) {
    std::mt19937 random(20240601);
    const char alphabet[] = {'a', 'b', '\r', '\n', '\x80', '\xfe', '\0'};
    std::deque<uint8_t> model;
    for (int step = 0; step < 12000; ++step) {
        if (random() % 3 != 0) {
            std::string chunk(random() % 12, '\0');
            for (char &c : chunk)
                c = alphabet[random() % sizeof alphabet];
            push(chunk);
            model.insert(model.end(), chunk.begin(), chunk.end());
            continue;
        }
        const auto expected = buffer_test::reference_pop_line(model);
        char *line = kuv_xapi_pop_buffer_line(buffer);
        ASSERT_EQ(line != nullptr, expected.has_value()) << "step " << step;
        if (line) {
            EXPECT_EQ(std::string(line, expected->size() + 1), *expected + '\0');
            kuv_xapi_free(line);
        }
        ASSERT_EQ(static_cast<size_t>(kuv_xapi_get_buffer_size(buffer)), model.size());
    }
}

TEST_F(LinePop, LongLineCostsLinearTime) {
    // A peek from the head for every byte would take about 2^43 steps here.
    const size_t length = size_t{4} << 20;
    const std::string piece(65536, 'L');
    for (size_t pushed = 0; pushed < length; pushed += piece.size())
        push(piece);
    push("\r\n");
    const auto start = std::chrono::steady_clock::now();
    char *line = kuv_xapi_pop_buffer_line(buffer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::strlen(line), length);
    kuv_xapi_free(line);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 0);
}

}  // namespace
