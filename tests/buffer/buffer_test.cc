// The chained buffer: node making, pops and peeks, offsets, wiping, hand-over
// of adopted blocks, messages and failure paths.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/buffer/buffer_test_util.h"

namespace {

using buffer_test::node_count;
using buffer_test::RefuseAllocation;
using kuv_test::OutputCapture;

using ChainedBuffer = buffer_test::BufferTest;

TEST_F(ChainedBuffer, PushFillsTheTailThenMakesAtMostOneNode) {
    EXPECT_EQ(push(std::string(5000, 'a')), 5000u);
    EXPECT_EQ(push("0123456789"), 10u);
    ASSERT_EQ(node_count(buffer), 2);
    EXPECT_EQ(buffer->head->capacity, 5000u);
    EXPECT_EQ(buffer->tail->capacity, 4096u);

    kuv_xapi_flush_buffer(buffer);
    push(std::string(100, 'b'));
    push(std::string(100, 'b'));
    ASSERT_EQ(node_count(buffer), 1);
    EXPECT_EQ(buffer->head->length, 200u);
    // 3896 bytes fill the tail's room, the other 104 go into one new node
    // that carries only this push's flags; a missing source stores zeros.
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, nullptr, 4000, KUV_BUFFER_WIPE), 4000u);
    ASSERT_EQ(node_count(buffer), 2);
    EXPECT_EQ(buffer->head->flags, 0u);
    EXPECT_EQ(buffer->tail->flags, KUV_BUFFER_WIPE);
    EXPECT_EQ(buffer->tail->length, 104u);
    EXPECT_EQ(pop(4200).substr(198), std::string("bb") + std::string(4000, '\0'));
}

TEST_F(ChainedBuffer, LendingNodesPointAtTheCallersMemoryAndAreFull) {
    char lent[] = "referenced";
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, lent, 10, KUV_BUFFER_REFERENCE), 10u);
    EXPECT_EQ(buffer->head->data, reinterpret_cast<uint8_t *>(lent));
    EXPECT_EQ(buffer->head->capacity, 10u);
    push("+");  // copied into a node of its own
    auto *block = static_cast<char *>(kuv_xapi_alloc(7));
    std::memcpy(block, "adopted", 7);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, block, 7, KUV_BUFFER_ADOPT), 7u);
    EXPECT_EQ(node_count(buffer), 3);
    EXPECT_EQ(pop(18), "referenced+adopted");  // the adopted block goes with its node
    EXPECT_STREQ(lent, "referenced");
}

TEST_F(ChainedBuffer, EmptyOrSourcelessLendingPushesMakeNoNode) {
    OutputCapture out(1);
    EXPECT_EQ(push(""), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, "", 0, KUV_BUFFER_ADOPT), 0u);
    EXPECT_EQ(kuv_xapi_push_string_buffer(buffer, nullptr), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, nullptr, 5, KUV_BUFFER_REFERENCE), 0u);
    EXPECT_EQ(out.finish(), "invalid argument");
    EXPECT_EQ(buffer->head, nullptr);
    // No empty node stands in front of later bytes.
    kuv_xapi_push_string_buffer(buffer, "after");
    EXPECT_EQ(pop(10), "after");
}

TEST_F(ChainedBuffer, ExactTakesAllOrNothingPartialTakesWhatThereIs) {
    push("abcd");
    EXPECT_EQ(pop(10, KUV_BUFFER_EXACT), "");
    EXPECT_EQ(pop(10), "abcd");
    EXPECT_EQ(buffer->tail, nullptr);

    lend("hello");
    lend("world");
    EXPECT_EQ(kuv_xapi_pop_buffer_ex(buffer, nullptr, 1, KUV_BUFFER_EXACT), 1u);
    char out[8] = {};
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 5, 2, KUV_BUFFER_EXACT), 5u);
    EXPECT_EQ(std::string(out, 5), "lowor");
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 5, 5, KUV_BUFFER_EXACT), 0u);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 5, 5, KUV_BUFFER_PARTIAL), 4u);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 5, 9, KUV_BUFFER_PARTIAL), 0u);
    // count + offset past 64 bits must not wrap into a small request.
    const uint64_t huge = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 2, huge, KUV_BUFFER_EXACT), 0u);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, huge, 2, KUV_BUFFER_EXACT), 0u);
    EXPECT_EQ(pop(6, KUV_BUFFER_EXACT), "ellowo");
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 11);
    EXPECT_EQ(kuv_xapi_set_buffer_offset(buffer, 0), 0);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 3);
    EXPECT_EQ(kuv_xapi_flush_buffer(buffer), 3u);
    EXPECT_EQ(kuv_xapi_flush_buffer(buffer), 0u);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 3);
}

// Looks into every block as it is released.
class ReleaseWatcher {
  public:
    ReleaseWatcher() {
        secrets_released = 0;
        kuv_xapi_set_heap_handler(&handler, nullptr);
    }
    ~ReleaseWatcher() { kuv_xapi_set_heap_handler(nullptr, nullptr); }
    static inline int secrets_released = 0;

  private:
    static void *handler(void *pointer, uint64_t size) {
        if (pointer && size == 0) {
            uint64_t stored;  // the checking heap's rounded size, before the user bytes
            std::memcpy(&stored, static_cast<char *>(pointer) - 8, sizeof stored);
            if (std::string(static_cast<char *>(pointer), stored).find("SECRET") !=
                std::string::npos)
                ++secrets_released;
        }
        return kuv_xapi_heap_debug(pointer, size);
    }
};

TEST_F(ChainedBuffer, WipeZeroesNodesOnReleaseLentMemoryIncluded) {
    ReleaseWatcher watcher;
    kuv_buffer_t *wiping = kuv_xapi_open_buffer_ex(KUV_BUFFER_WIPE);
    char lent[] = "SECRET";
    kuv_xapi_push_string_buffer(wiping, "SECRET copied");
    kuv_xapi_push_buffer_ex(wiping, lent, 6, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_printf_buffer(wiping, "%s", "SECRET adopted");
    kuv_xapi_pop_buffer_ex(wiping, nullptr, 19, KUV_BUFFER_EXACT);
    EXPECT_EQ(std::string(lent, 6), std::string(6, '\0'));
    kuv_xapi_close_buffer(wiping);  // releases the adopted node
    EXPECT_EQ(ReleaseWatcher::secrets_released, 0);

    char kept[] = "SECRET";  // without the flag nothing is wiped
    kuv_xapi_push_buffer_ex(buffer, kept, 6, KUV_BUFFER_REFERENCE);
    kuv_xapi_flush_buffer(buffer);
    EXPECT_STREQ(kept, "SECRET");
}

TEST_F(ChainedBuffer, AllocPopHandsOverAnUntouchedAdoptedBlockOfExactlyTheCount) {
    EXPECT_EQ(kuv_xapi_push_printf_buffer(buffer, "value=%d", 42), 8u);
    const uint8_t *formatted = buffer->head->data;
    char *block = static_cast<char *>(kuv_xapi_alloc_pop_buffer_ex(buffer, 8, KUV_BUFFER_EXACT));
    EXPECT_EQ(reinterpret_cast<uint8_t *>(block), formatted);
    EXPECT_STREQ(block, "value=42");
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 8);
    kuv_xapi_free(block);

    // Another count, a touched node or several nodes: a copy.
    kuv_xapi_push_printf_buffer(buffer, "%s", "abcdef");
    lend("gh");
    formatted = buffer->head->data;
    block = static_cast<char *>(kuv_xapi_alloc_pop_buffer_ex(buffer, 5, KUV_BUFFER_EXACT));
    EXPECT_NE(reinterpret_cast<uint8_t *>(block), formatted);
    EXPECT_EQ(std::string(block, 5), "abcde");
    kuv_xapi_free(block);
    EXPECT_EQ(kuv_xapi_alloc_pop_buffer_ex(buffer, 4, KUV_BUFFER_EXACT), nullptr);
    block = static_cast<char *>(kuv_xapi_alloc_pop_buffer_ex(buffer, 4, KUV_BUFFER_PARTIAL));
    EXPECT_EQ(std::string(block, 3), "fgh");
    kuv_xapi_free(block);
    EXPECT_EQ(kuv_xapi_alloc_pop_buffer_ex(buffer, 4, KUV_BUFFER_PARTIAL), nullptr);
}

TEST_F(ChainedBuffer, GetNodeReturnsTheFirstNodesUnreadBytes) {
    push(std::string(5000, 'b'));
    push("tail");
    pop(1000);
    uint64_t length = 0;
    char *block = static_cast<char *>(kuv_xapi_get_buffer_node(buffer, &length));
    EXPECT_EQ(std::string(block, length), std::string(4000, 'b'));
    kuv_xapi_free(block);
    block = static_cast<char *>(kuv_xapi_get_buffer_node(buffer, nullptr));
    EXPECT_EQ(std::string(block, 4), "tail");
    kuv_xapi_free(block);
    length = 99;
    EXPECT_EQ(kuv_xapi_get_buffer_node(buffer, &length), nullptr);
    EXPECT_EQ(length, 0u);
}

TEST_F(ChainedBuffer, FailedAllocationsKeepWhatIsHeld) {
    push("keep me");
    {
        RefuseAllocation refuse(1);  // the result block: nothing consumed
        EXPECT_EQ(kuv_xapi_alloc_pop_buffer_ex(buffer, 7, KUV_BUFFER_EXACT), nullptr);
    }
    uint64_t length = 99;
    {
        RefuseAllocation refuse(1);
        EXPECT_EQ(kuv_xapi_get_buffer_node(buffer, &length), nullptr);
    }
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 0);
    OutputCapture out(1);
    {
        RefuseAllocation refuse(1);  // the new node: the tail's share stays
        EXPECT_EQ(push(std::string(5000, 'q')), 4089u);
    }
    {
        RefuseAllocation refuse(1);
        EXPECT_EQ(kuv_xapi_open_buffer(), nullptr);
    }
    EXPECT_EQ(out.finish(), "can not allocate new buffer nodecan not allocate buffer");
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 4096);
    EXPECT_EQ(pop(7), "keep me");
}

TEST_F(ChainedBuffer, PushWhoseSizeWouldOverflowMakesNoNode) {
    OutputCapture out(1);
    OutputCapture err(2);
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    // Refused before the heap is asked: no tiny block is made and overrun.
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, nullptr, max - 10, 0), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, "x", max, KUV_BUFFER_REFERENCE), 0u);
    EXPECT_EQ(err.finish(), "");
    EXPECT_EQ(out.finish(), "can not allocate new buffer nodecan not allocate new buffer node");
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 0);
}

TEST_F(ChainedBuffer, PrintfPushReleasesItsTextWhenNoNodeIsMade) {
    OutputCapture out(1);
    EXPECT_EQ(kuv_xapi_push_printf_buffer(buffer, "%s", ""), 0u);
    {
        RefuseAllocation refuse(1);  // the formatted text
        EXPECT_EQ(kuv_xapi_push_printf_buffer(buffer, "n=%d", 1), 0u);
    }
    {
        RefuseAllocation refuse(2);  // the node that would adopt it
        EXPECT_EQ(kuv_xapi_push_printf_buffer(buffer, "n=%d", 2), 0u);
    }
    EXPECT_EQ(out.finish(), "can not allocate stringcan not allocate new buffer node");
    EXPECT_EQ(buffer->head, nullptr);
}

TEST_F(ChainedBuffer, ArgumentErrorsPrintWithoutNewline) {
    OutputCapture out(1);
    char byte = 0;
    uint64_t length = 7;
    EXPECT_EQ(kuv_xapi_push_buffer_ex(nullptr, "x", 1, 0), 0u);
    EXPECT_EQ(kuv_xapi_get_buffer_node(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(kuv_xapi_close_buffer(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_pop_buffer_line(nullptr), nullptr);  // silent
    push("x");
    EXPECT_EQ(kuv_xapi_pop_buffer_ex(buffer, &byte, 0, 0), 0u);
    EXPECT_EQ(kuv_xapi_alloc_pop_buffer_ex(buffer, 0, 0), nullptr);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, nullptr, 1, 0, 0), 0u);
    EXPECT_EQ(kuv_xapi_push_printf_buffer(buffer, nullptr), 0u);
    std::string expected;
    for (int i = 0; i < 3; ++i)
        expected += "invalid handle";
    for (int i = 0; i < 4; ++i)
        expected += "invalid argument";
    EXPECT_EQ(out.finish(), expected);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 1);
}

}  // namespace
