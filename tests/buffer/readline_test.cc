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
using kuv_test::OutputCapture;

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
    // Every queued line, oldest first.
    std::vector<std::string> pop_all() {
        std::vector<std::string> lines;
        while (char *line = kuv_xapi_pop_readline(assembler)) {
            lines.emplace_back(line);
            kuv_xapi_free(line);
        }
        EXPECT_EQ(kuv_xapi_quantity_readline(assembler), 0u);
        return lines;
    }
    using Lines = std::vector<std::string>;
    kuv_readline_t *assembler = nullptr;
};

TEST_F(LineAssembler, QueuesLinesEndedByCrLfAndCrLfPairs) {
    EXPECT_EQ(push("abc\r\ndef\n"), 0u);
    EXPECT_EQ(kuv_xapi_quantity_readline(assembler), 2u);
    EXPECT_EQ(pop_all(), (Lines{"abc", "def"}));
    EXPECT_EQ(push("a\r\r"), 1u);  // CR CR: one line, the second CR held over
    EXPECT_EQ(push("b\rc\n"), 0u);
    EXPECT_EQ(pop_all(), (Lines{"a", "b", "c"}));
    EXPECT_EQ(assembler->line_ready, 0u);
}

TEST_F(LineAssembler, LfLfGivesAnEmptyLineButRepeatedCrLfDoesNot) {
    EXPECT_EQ(push("a\n\nb"), 1u);
    EXPECT_EQ(push_final(), 0u);
    EXPECT_EQ(pop_all(), (Lines{"a", "", "b"}));
    EXPECT_EQ(push("a\r\n\r\nb\n"), 0u);
    EXPECT_EQ(pop_all(), (Lines{"a", "b"}));
    EXPECT_EQ(push("x\n\r\n"), 1u);  // LF CR LF ends one line
    EXPECT_EQ(push("y\r\n\n"), 1u);  // so does CR LF LF
    EXPECT_EQ(pop_all(), (Lines{"x", "y"}));
}

TEST_F(LineAssembler, LineEndsSplitBetweenChunksEndOneLine) {
    EXPECT_EQ(push("ab"), 2u);
    EXPECT_EQ(push("c\n"), 0u);
    EXPECT_EQ(push("ab\r"), 0u);
    EXPECT_EQ(push("\ncd\n"), 0u);
    EXPECT_EQ(pop_all(), (Lines{"abc", "ab", "cd"}));
    // Held-over line-end bytes stand at the front of the next line's text
    // and are gone when it is popped.
    EXPECT_EQ(push("e\r\n"), 1u);
    EXPECT_EQ(push("\n"), 2u);
    EXPECT_EQ(push("f"), 3u);
    EXPECT_EQ(push("g\n"), 0u);
    EXPECT_EQ(pop_all(), (Lines{"e", "fg"}));
}

TEST_F(LineAssembler, FinalPushTurnsHeldBytesIntoALastLineAndAssemblerStaysUsable) {
    EXPECT_EQ(push("abc\r\n"), 1u);
    EXPECT_EQ(push_final(), 0u);
    EXPECT_EQ(assembler->pending, nullptr);
    EXPECT_EQ(pop_all(), (Lines{"abc", ""}));
    EXPECT_EQ(push_final(), 0u);  // nothing held: no line
    EXPECT_EQ(kuv_xapi_quantity_readline(assembler), 0u);
    // The flags survive the final push: this LF completes the CR LF pair.
    EXPECT_EQ(push("\nnext"), 4u);
    EXPECT_EQ(kuv_xapi_push_readline(assembler, "ignored", 0), 0u);
    EXPECT_EQ(pop_all(), (Lines{"next"}));
}

TEST_F(LineAssembler, FirstLineEndOfANewAssemblerIsAnEmptyLine) {
    EXPECT_EQ(push("\n"), 0u);
    EXPECT_EQ(kuv_xapi_quantity_readline(assembler), 1u);
    EXPECT_EQ(assembler->head->text, nullptr);  // an empty line owns no text
    EXPECT_EQ(pop_all(), (Lines{""}));
}

TEST_F(LineAssembler, NulEndsTheTextAndHighBitBytesAreOrdinary) {
    push(std::string("a\0b\n\xB0\nz\n", 8));
    EXPECT_EQ(pop_all(), (Lines{"a", "\xB0", "z"}));
}

TEST_F(LineAssembler, MissingRecordAndEmptyQueueGiveNothing) {
    EXPECT_EQ(kuv_xapi_pop_readline(assembler), nullptr);
    EXPECT_EQ(kuv_xapi_quantity_readline(assembler), 0u);
    EXPECT_EQ(kuv_xapi_quantity_readline(nullptr), 0u);
    EXPECT_EQ(kuv_xapi_pop_readline(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_push_readline(nullptr, "a\n", 2), 0u);
    EXPECT_EQ(kuv_xapi_close_readline(nullptr), nullptr);
}

TEST_F(LineAssembler, CloseReleasesQueuedLinesAndHeldBytes) {
    kuv_readline_t *other = kuv_xapi_open_readline();
    kuv_xapi_push_readline(other, "one\n\ntwo\nthree", 14);
    EXPECT_EQ(kuv_xapi_quantity_readline(other), 3u);
    EXPECT_EQ(kuv_xapi_close_readline(other), nullptr);  // the fixture checks the heap
}

TEST_F(LineAssembler, UnallocatableLinesAreDroppedWithoutLeakingIntoTheNext) {
    {
        RefuseAllocation refuse(2);  // after the pending buffer: the line "lost"
        EXPECT_EQ(push("lost\nkept\n"), 0u);
    }
    EXPECT_EQ(pop_all(), (Lines{"kept"}));
    push("held ");
    {
        RefuseAllocation refuse(1);  // the text joining held bytes and chunk
        push("over\nnext\n");
    }
    EXPECT_EQ(pop_all(), (Lines{"next"}));
    push("pending");
    {
        RefuseAllocation refuse(1);
        push_final();
    }
    EXPECT_EQ(pop_all(), Lines{});
    push("\n");
    {
        RefuseAllocation refuse(1);  // popping allocates nothing
        EXPECT_EQ(pop_all(), (Lines{""}));
    }
}

TEST_F(LineAssembler, WithoutAPendingBufferLinesInTheChunkAreStillQueued) {
    OutputCapture out(1);
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
        std::string stream(random() % 200, '\0');
        for (char &c : stream)
            c = alphabet[random() % sizeof alphabet];
        // The line-end flags outlive a final push: each round starts afresh.
        kuv_xapi_close_readline(assembler);
        assembler = kuv_xapi_open_readline();
        buffer_test::ReferenceSplitter model;
        size_t at = 0;
        while (at < stream.size()) {
            const size_t piece = std::min<size_t>(1 + random() % 17, stream.size() - at);
            const std::string chunk = stream.substr(at, piece);
            at += piece;
            const uint64_t held = push(chunk);
            model.feed(chunk);
            ASSERT_EQ(held == 0, !model.holds_bytes()) << "round " << round;
            ASSERT_LE(held, model.held_bytes());
            if (random() % 4 == 0) {
                for (const std::string &line : pop_all()) {
                    ASSERT_FALSE(model.lines.empty());
                    EXPECT_EQ(line, model.lines.front());
                    model.lines.pop_front();
                }
            }
        }
        push_final();
        model.finish();
        const Lines lines = pop_all();
        ASSERT_EQ(lines, Lines(model.lines.begin(), model.lines.end())) << "round " << round;
    }
}

TEST_F(LineAssembler, LineSpanningManyChunksCostsLinearTime) {
    const std::string piece(100, 'p');
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20000; ++i)
        push(piece);  // a 2 MB line
    EXPECT_EQ(push("\r\n"), 1u);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    char *line = kuv_xapi_pop_readline(assembler);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::strlen(line), 2000000u);
    kuv_xapi_free(line);
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    // Many line-end bytes held over in front of a line are stripped too.
    for (int i = 0; i < 100000; ++i)
        push("\n");
    EXPECT_EQ(push("tail\n"), 0u);
    EXPECT_EQ(pop_all(), (Lines{"tail"}));
}

}  // namespace
