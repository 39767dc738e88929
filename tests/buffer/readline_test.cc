// The line assembler: line ends within and across chunks, held-over bytes,
// the final push, failure paths, and agreement with a reference splitter.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/buffer/buffer_test_util.h"

namespace {

using buffer_test::RefuseAllocation;
using Lines = std::vector<std::string>;

class LineAssembler : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        assembler = kuv_xapi_open_readline();
        ASSERT_NE(assembler, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(kuv_xapi_close_readline(assembler), nullptr);
        ResourceCheckedTest::TearDown();
    }
    uint64_t push(const std::string &bytes) {
        return kuv_xapi_push_readline(assembler, bytes.data(), bytes.size());
    }
    uint64_t push_final() { return kuv_xapi_push_readline(assembler, nullptr, 0); }
    Lines pop_all() {
        Lines lines;
        while (char *line = kuv_xapi_pop_readline(assembler)) {
            lines.emplace_back(line);
            kuv_xapi_free(line);
        }
        EXPECT_EQ(kuv_xapi_quantity_readline(assembler), 0u);
        return lines;
    }
    kuv_readline_t *assembler = nullptr;
};

TEST_F(LineAssembler, CrLfAndCrLfPairsEndOneLineLfLfTwo) {
    EXPECT_EQ(push("abc\r\ndef\n"), 0u);
    EXPECT_EQ(kuv_xapi_quantity_readline(assembler), 2u);
    EXPECT_EQ(pop_all(), (Lines{"abc", "def"}));
    EXPECT_EQ(push("a\r\rb\rc\n"), 0u);        // CR CR ends one line
    EXPECT_EQ(push("a\n\nb\r\n\r\nc\n"), 0u);  // an empty line between LFs only
    EXPECT_EQ(push("x\n\r\ny\r\n\nz\n"), 0u);  // LF CR LF and CR LF LF end one
    EXPECT_EQ(pop_all(), (Lines{"a", "b", "c", "a", "", "b", "c", "x", "y", "z"}));
    EXPECT_EQ(assembler->line_ready, 0u);
}

TEST_F(LineAssembler, LinesAndLineEndsSplitBetweenChunks) {
    EXPECT_EQ(push("ab"), 2u);
    EXPECT_EQ(push("c\nab\r"), 0u);
    EXPECT_EQ(push("\ncd\n"), 0u);  // the split CR LF ends one line
    // Held-over line-end bytes stand in front of the next line's text and
    // are gone when it is popped.
    EXPECT_EQ(push("e\r\n"), 1u);
    EXPECT_EQ(push("\n"), 2u);
    EXPECT_EQ(push("f"), 3u);
    EXPECT_EQ(push("g\n"), 0u);
    EXPECT_EQ(pop_all(), (Lines{"abc", "ab", "cd", "e", "fg"}));
}

TEST_F(LineAssembler, FinalPushQueuesHeldBytesAndTheAssemblerStaysUsable) {
    EXPECT_EQ(push("abc\r\n"), 1u);
    EXPECT_EQ(push_final(), 0u);  // the held LF becomes an empty last line
    EXPECT_EQ(assembler->pending, nullptr);
    EXPECT_EQ(push_final(), 0u);  // nothing held: no line
    EXPECT_EQ(pop_all(), (Lines{"abc", ""}));
    EXPECT_EQ(push("\nnext"), 4u);  // flags survive: this LF ends no line
    EXPECT_EQ(kuv_xapi_push_readline(assembler, "ignored", 0), 0u);
    EXPECT_EQ(pop_all(), (Lines{"next"}));
}

TEST_F(LineAssembler, EmptyFirstLineNulAndHighBitBytes) {
    push(std::string("\na\0b\n\xB0\nz\n", 9));
    EXPECT_EQ(assembler->head->text, nullptr);  // an empty line owns no text
    EXPECT_EQ(pop_all(), (Lines{"", "a", "\xB0", "z"}));
}

TEST_F(LineAssembler, MissingRecordAndEmptyQueueGiveNothing) {
    EXPECT_EQ(kuv_xapi_pop_readline(assembler), nullptr);
    EXPECT_EQ(kuv_xapi_quantity_readline(nullptr), 0u);
    EXPECT_EQ(kuv_xapi_pop_readline(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_push_readline(nullptr, "a\n", 2), 0u);
    EXPECT_EQ(kuv_xapi_close_readline(nullptr), nullptr);
    push("one\n\ntwo\nthree");  // left for close, which the fixture checks
}

TEST_F(LineAssembler, UnallocatableLinesAreDroppedWithoutLeakingIntoTheNext) {
    {
        RefuseAllocation refuse(2);  // after the pending buffer: the line "lost"
        EXPECT_EQ(push("lost\nkept\n"), 0u);
    }
    push("held ");
    {
        RefuseAllocation refuse(1);  // the line joining held bytes and chunk
        push("over\nnext\n");
    }
    push("pending");
    {
        RefuseAllocation refuse(1);
        push_final();
    }
    push("\n");
    {
        RefuseAllocation refuse(1);  // popping allocates nothing
        EXPECT_EQ(pop_all(), (Lines{"kept", "next", ""}));
    }
}

TEST_F(LineAssembler, WithoutAPendingBufferLinesInTheChunkAreStillQueued) {
    kuv_test::OutputCapture out(1);
    {
        RefuseAllocation refuse(1);  // the pending buffer
        EXPECT_EQ(push("one\ntwo\nrest"), 0u);
    }
    EXPECT_EQ(out.finish(), "can not allocate bufferinvalid handle");
    EXPECT_EQ(pop_all(), (Lines{"one", "two"}));
}

TEST_F(LineAssembler, MatchesAReferenceSplitterOverRandomChunkings) {
    std::mt19937 random(7);
    const char alphabet[] = {'x', 'y', '\r', '\n', '\r', '\n', '\0', '\xC0'};
    for (int round = 0; round < 400; ++round) {
        // The line-end flags outlive a final push: each round starts afresh.
        kuv_xapi_close_readline(assembler);
        assembler = kuv_xapi_open_readline();
        std::string stream(random() % 200, '\0');
        for (char &c : stream)
            c = alphabet[random() % sizeof alphabet];
        buffer_test::ReferenceSplitter model;
        Lines lines;
        for (size_t at = 0, piece; at < stream.size(); at += piece) {
            piece = std::min<size_t>(1 + random() % 17, stream.size() - at);
            const uint64_t held = push(stream.substr(at, piece));
            model.feed(stream.substr(at, piece));
            // Line-end bytes the popped text would lose may be dropped early.
            ASSERT_EQ(held == 0, !model.holds_bytes()) << "round " << round;
            ASSERT_LE(held, model.held_bytes());
            if (random() % 4 == 0) {
                for (std::string &line : pop_all())
                    lines.push_back(line);
            }
        }
        push_final();
        model.finish();
        for (std::string &line : pop_all())
            lines.push_back(line);
        ASSERT_EQ(lines, Lines(model.lines.begin(), model.lines.end())) << "round " << round;
    }
}

TEST_F(LineAssembler, LineSpanningManyChunksCostsLinearTime) {
    const std::string piece(100, 'p');
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20000; ++i)
        push(piece);  // a 2 MB line
    EXPECT_EQ(push("\r\n"), 1u);
    // Many line-end bytes held over in front of a line go as well.
    for (int i = 0; i < 100000; ++i)
        push("\n");
    EXPECT_EQ(push("tail\n"), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(pop_all(), (Lines{std::string(2000000, 'p'), "tail"}));
}

}  // namespace
