// The chained buffer: node making, pops and peeks, offsets, wiping, hand-over
// of adopted blocks, messages and failure paths.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/buffer/buffer_test_util.h"

namespace {

using buffer_test::bytes_of;
using buffer_test::node_count;
using buffer_test::RefuseAllocation;
using kuv_test::OutputCapture;

class ChainedBuffer : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        buffer = kuv_xapi_open_buffer();
        ASSERT_NE(buffer, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(kuv_xapi_close_buffer(buffer), nullptr);
        ResourceCheckedTest::TearDown();
    }
    std::string pop_text(uint64_t count, int32_t mode = KUV_BUFFER_PARTIAL) {
        std::string text(count, '\0');
        text.resize(kuv_xapi_pop_buffer_ex(buffer, text.data(), count, mode));
        return text;
    }
    kuv_buffer_t *buffer = nullptr;
};

TEST_F(ChainedBuffer, LargePushGetsItsOwnNodeAndSmallPushesShareOne) {
    std::vector<uint8_t> big(5000, 'x');
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, big.data(), big.size(), 0), 5000u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, "0123456789", 10, 0), 10u);
    ASSERT_EQ(node_count(buffer), 2);
    EXPECT_EQ(buffer->head->capacity, 5000u);
    EXPECT_EQ(buffer->tail->capacity, 4096u);
    EXPECT_EQ(buffer->tail->length, 10u);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 5010);

    kuv_buffer_t *small = kuv_xapi_open_buffer();
    std::vector<uint8_t> hundred(100, 'y');
    kuv_xapi_push_buffer_ex(small, hundred.data(), 100, 0);
    kuv_xapi_push_buffer_ex(small, hundred.data(), 100, 0);
    ASSERT_EQ(node_count(small), 1);
    EXPECT_EQ(small->head->capacity, 4096u);
    EXPECT_EQ(small->head->length, 200u);
    // The tail's room is filled first, the rest goes into one new node.
    std::vector<uint8_t> more(4000, 'z');
    EXPECT_EQ(kuv_xapi_push_buffer_ex(small, more.data(), more.size(), 0), 4000u);
    ASSERT_EQ(node_count(small), 2);
    EXPECT_EQ(small->head->length, 4096u);
    EXPECT_EQ(small->tail->length, 104u);
    EXPECT_EQ(kuv_xapi_get_buffer_size(small), 4200);
    kuv_xapi_close_buffer(small);
}

TEST_F(ChainedBuffer, PushWithoutSourceStoresZeros) {
    kuv_xapi_push_buffer_ex(buffer, "ab", 2, 0);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, nullptr, 3, 0), 3u);
    EXPECT_EQ(pop_text(10), std::string("ab\0\0\0", 5));
}

TEST_F(ChainedBuffer, PushFlagsReachOnlyTheNodeThePushMakes) {
    kuv_xapi_push_buffer_ex(buffer, "plain", 5, 0);
    kuv_xapi_push_buffer_ex(buffer, "wiped?", 6, KUV_BUFFER_WIPE);
    ASSERT_EQ(node_count(buffer), 1);
    EXPECT_EQ(buffer->head->flags, 0u);
    std::vector<uint8_t> rest(5000, 'r');
    kuv_xapi_push_buffer_ex(buffer, rest.data(), rest.size(), KUV_BUFFER_WIPE);
    ASSERT_EQ(node_count(buffer), 2);
    EXPECT_EQ(buffer->head->flags, 0u);
    EXPECT_EQ(buffer->tail->flags, KUV_BUFFER_WIPE);
    EXPECT_EQ(buffer->tail->length, 5000u - (4096u - 11u));

    kuv_buffer_t *wiping = kuv_xapi_open_buffer_ex(KUV_BUFFER_WIPE);
    char lent[] = "lent";
    kuv_xapi_push_buffer_ex(wiping, lent, 4, KUV_BUFFER_REFERENCE);
    EXPECT_EQ(wiping->head->flags, KUV_BUFFER_WIPE | KUV_BUFFER_REFERENCE);
    kuv_xapi_pop_buffer_ex(wiping, nullptr, 4, KUV_BUFFER_EXACT);
    kuv_xapi_close_buffer(wiping);
}

TEST_F(ChainedBuffer, LendingNodesPointAtTheCallersMemory) {
    char lent[] = "referenced";
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, lent, 10, KUV_BUFFER_REFERENCE), 10u);
    ASSERT_EQ(node_count(buffer), 1);
    EXPECT_EQ(buffer->head->data, reinterpret_cast<uint8_t *>(lent));
    EXPECT_EQ(buffer->head->capacity, 10u);
    // A full lending node takes no more bytes: the copy makes a new node.
    kuv_xapi_push_buffer_ex(buffer, "+", 1, 0);
    EXPECT_EQ(node_count(buffer), 2);

    auto *block = static_cast<char *>(kuv_xapi_alloc(7));
    std::memcpy(block, "adopted", 7);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, block, 7, KUV_BUFFER_ADOPT), 7u);
    EXPECT_EQ(buffer->tail->data, reinterpret_cast<uint8_t *>(block));
    EXPECT_EQ(pop_text(18), "referenced+adopted");
    EXPECT_STREQ(lent, "referenced");  // lent memory is neither changed nor released
}

TEST_F(ChainedBuffer, EmptyOrSourcelessLendingPushesMakeNoNode) {
    OutputCapture out(1);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, "x", 0, 0), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, "x", 0, KUV_BUFFER_REFERENCE), 0u);
    EXPECT_EQ(kuv_xapi_push_string_buffer(buffer, ""), 0u);
    EXPECT_EQ(kuv_xapi_push_string_buffer(buffer, nullptr), 0u);
    EXPECT_EQ(out.peek(), "");
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, nullptr, 5, KUV_BUFFER_REFERENCE), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, nullptr, 5, KUV_BUFFER_ADOPT), 0u);
    EXPECT_EQ(out.finish(), "invalid argumentinvalid argument");
    EXPECT_EQ(buffer->head, nullptr);
    // With no empty node in the way, later bytes stay reachable.
    kuv_xapi_push_string_buffer(buffer, "after");
    EXPECT_EQ(pop_text(10), "after");
}

TEST_F(ChainedBuffer, ExactPopsAreAllOrNothingAndPartialPopsTakeWhatIsThere) {
    kuv_xapi_push_string_buffer(buffer, "abcd");
    EXPECT_EQ(pop_text(10, KUV_BUFFER_EXACT), "");
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 4);
    EXPECT_EQ(pop_text(10), "abcd");
    EXPECT_EQ(buffer->head, nullptr);
    EXPECT_EQ(buffer->tail, nullptr);

    std::string first(5000, 'a');
    kuv_xapi_push_string_buffer(buffer, first.c_str());
    kuv_xapi_push_string_buffer(buffer, "0123456789");
    EXPECT_EQ(pop_text(5005, KUV_BUFFER_EXACT), first + "01234");
    ASSERT_EQ(node_count(buffer), 1);
    EXPECT_EQ(buffer->head->position, 5u);
    // Without a destination the bytes are discarded.
    EXPECT_EQ(kuv_xapi_pop_buffer_ex(buffer, nullptr, 3, KUV_BUFFER_EXACT), 3u);
    EXPECT_EQ(pop_text(10), "89");
}

TEST_F(ChainedBuffer, PeeksReadAtAnOffsetAcrossNodesWithoutConsuming) {
    kuv_xapi_push_buffer_ex(buffer, "hello", 5, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_buffer_ex(buffer, "world", 5, KUV_BUFFER_REFERENCE);
    kuv_xapi_pop_buffer_ex(buffer, nullptr, 1, 0);
    char out[16] = {};
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 5, 2, KUV_BUFFER_EXACT), 5u);
    EXPECT_EQ(std::string(out, 5), "lowor");
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 5, 5, KUV_BUFFER_EXACT), 0u);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 5, 5, KUV_BUFFER_PARTIAL), 4u);
    EXPECT_EQ(std::string(out, 4), "orld");
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 5, 9, KUV_BUFFER_PARTIAL), 0u);
    // count + offset past 64 bits must not wrap into a small request.
    const uint64_t huge = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, 2, huge, KUV_BUFFER_EXACT), 0u);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, out, huge, 2, KUV_BUFFER_EXACT), 0u);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 9);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 1);
}

TEST_F(ChainedBuffer, OffsetCountsConsumedBytesUntilSet) {
    kuv_xapi_push_string_buffer(buffer, "0123456789abc");
    pop_text(3);
    pop_text(4);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 7);
    EXPECT_EQ(kuv_xapi_set_buffer_offset(buffer, 0), 0);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 0);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 6);
    EXPECT_EQ(kuv_xapi_flush_buffer(buffer), 6u);
    EXPECT_EQ(kuv_xapi_flush_buffer(buffer), 0u);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 6);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 0);
}

// Sees every block as it is released, to prove that no released block still
// holds the secret.
class ReleaseWatcher {
  public:
    ReleaseWatcher() { kuv_xapi_set_heap_handler(&handler, nullptr); }
    ~ReleaseWatcher() { kuv_xapi_set_heap_handler(nullptr, nullptr); }
    static inline int secrets_released = 0;

  private:
    static void *handler(void *pointer, uint64_t size) {
        if (pointer && size == 0) {
            // The checking heap keeps the rounded size right before the
            // user bytes.
            uint64_t stored;
            std::memcpy(&stored, static_cast<char *>(pointer) - 8, sizeof stored);
            std::string bytes(static_cast<char *>(pointer), stored);
            if (bytes.find("SECRET") != std::string::npos) ++secrets_released;
        }
        return kuv_xapi_heap_debug(pointer, size);
    }
};

TEST_F(ChainedBuffer, WipeZeroesNodesAsTheyAreReleasedLentMemoryIncluded) {
    ReleaseWatcher watcher;
    ReleaseWatcher::secrets_released = 0;
    kuv_buffer_t *wiping = kuv_xapi_open_buffer_ex(KUV_BUFFER_WIPE);
    char lent[] = "SECRET lent";
    kuv_xapi_push_string_buffer(wiping, "SECRET copied");
    kuv_xapi_push_buffer_ex(wiping, lent, sizeof lent - 1, KUV_BUFFER_REFERENCE);
    auto *adopted = static_cast<char *>(kuv_xapi_alloc(6));
    std::memcpy(adopted, "SECRET", 6);
    kuv_xapi_push_buffer_ex(wiping, adopted, 6, KUV_BUFFER_ADOPT);
    kuv_xapi_pop_buffer_ex(wiping, nullptr, 13 + 11, KUV_BUFFER_EXACT);
    EXPECT_EQ(std::string(lent, sizeof lent - 1), std::string(sizeof lent - 1, '\0'));
    kuv_xapi_close_buffer(wiping);  // the adopted node goes on close
    EXPECT_EQ(ReleaseWatcher::secrets_released, 0);

    // Without the flag nothing is wiped.
    char kept[] = "SECRET";
    kuv_xapi_push_buffer_ex(buffer, kept, 6, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_string_buffer(buffer, "SECRET");
    kuv_xapi_flush_buffer(buffer);
    EXPECT_STREQ(kept, "SECRET");
    EXPECT_EQ(ReleaseWatcher::secrets_released, 1);
}

TEST_F(ChainedBuffer, AllocPopHandsOverAnUntouchedAdoptedBlockOfExactlyTheCount) {
    EXPECT_EQ(kuv_xapi_push_printf_buffer(buffer, "value=%d", 42), 8u);
    const uint8_t *formatted = buffer->head->data;
    char *block = static_cast<char *>(kuv_xapi_alloc_pop_buffer_ex(buffer, 8, KUV_BUFFER_EXACT));
    EXPECT_EQ(reinterpret_cast<uint8_t *>(block), formatted);
    EXPECT_STREQ(block, "value=42");  // the formatted block keeps its terminator
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 0);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 8);
    kuv_xapi_free(block);

    // A touched adopted node, or another count, is copied.
    kuv_xapi_push_printf_buffer(buffer, "%s", "abcdef");
    formatted = buffer->head->data;
    block = static_cast<char *>(kuv_xapi_alloc_pop_buffer_ex(buffer, 5, KUV_BUFFER_EXACT));
    EXPECT_NE(reinterpret_cast<uint8_t *>(block), formatted);
    EXPECT_EQ(std::string(block, 5), "abcde");
    kuv_xapi_free(block);
    block = static_cast<char *>(kuv_xapi_alloc_pop_buffer_ex(buffer, 1, KUV_BUFFER_EXACT));
    EXPECT_EQ(*block, 'f');
    kuv_xapi_free(block);
}

TEST_F(ChainedBuffer, AllocPopCopiesAcrossNodesAndRespectsTheMode) {
    EXPECT_EQ(kuv_xapi_alloc_pop_buffer_ex(buffer, 4, KUV_BUFFER_PARTIAL), nullptr);
    kuv_xapi_push_buffer_ex(buffer, "abc", 3, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_buffer_ex(buffer, "def", 3, KUV_BUFFER_REFERENCE);
    EXPECT_EQ(kuv_xapi_alloc_pop_buffer_ex(buffer, 7, KUV_BUFFER_EXACT), nullptr);
    const uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    char *block = static_cast<char *>(kuv_xapi_alloc_pop_buffer_ex(buffer, 7, KUV_BUFFER_PARTIAL));
    EXPECT_EQ(std::string(block, 6), "abcdef");
    // Six bytes asked of the heap, rounded to eight; both nodes released.
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks + 1 - 2);
    kuv_xapi_free(block);
}

TEST_F(ChainedBuffer, AllocPopKeepsTheBytesWhenItsBlockCannotBeAllocated) {
    kuv_xapi_push_string_buffer(buffer, "keep me");
    {
        RefuseAllocation refuse(1);
        EXPECT_EQ(kuv_xapi_alloc_pop_buffer_ex(buffer, 7, KUV_BUFFER_EXACT), nullptr);
    }
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 7);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 0);
    uint64_t length = 99;
    {
        RefuseAllocation refuse(1);
        EXPECT_EQ(kuv_xapi_get_buffer_node(buffer, &length), nullptr);
    }
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(pop_text(7), "keep me");
}

TEST_F(ChainedBuffer, GetNodeReturnsTheUnreadBytesOfTheFirstNode) {
    std::string big(5000, 'b');
    kuv_xapi_push_string_buffer(buffer, big.c_str());
    kuv_xapi_push_string_buffer(buffer, "tail");
    pop_text(1000);
    uint64_t length = 0;
    char *block = static_cast<char *>(kuv_xapi_get_buffer_node(buffer, &length));
    EXPECT_EQ(length, 4000u);
    EXPECT_EQ(std::string(block, length), std::string(4000, 'b'));
    kuv_xapi_free(block);
    block = static_cast<char *>(kuv_xapi_get_buffer_node(buffer, nullptr));
    EXPECT_EQ(std::string(block, 4), "tail");
    kuv_xapi_free(block);
    length = 99;
    EXPECT_EQ(kuv_xapi_get_buffer_node(buffer, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(buffer), 5004);
}

TEST_F(ChainedBuffer, MessagesGoToStandardOutputWithoutNewline) {
    OutputCapture out(1);
    char byte = 0;
    uint64_t length = 7;
    EXPECT_EQ(kuv_xapi_push_buffer_ex(nullptr, "x", 1, 0), 0u);
    EXPECT_EQ(kuv_xapi_pop_buffer_ex(nullptr, &byte, 1, 0), 0u);
    EXPECT_EQ(kuv_xapi_get_buffer_node(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(kuv_xapi_close_buffer(nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_pop_buffer_line(nullptr), nullptr);  // silent
    EXPECT_EQ(out.peek(), "invalid handleinvalid handleinvalid handleinvalid handle");
    kuv_xapi_push_string_buffer(buffer, "x");
    EXPECT_EQ(kuv_xapi_pop_buffer_ex(buffer, &byte, 0, 0), 0u);
    EXPECT_EQ(kuv_xapi_alloc_pop_buffer_ex(buffer, 0, 0), nullptr);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, nullptr, 1, 0, 0), 0u);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(buffer, &byte, 0, 0, 0), 0u);
    EXPECT_EQ(kuv_xapi_push_printf_buffer(buffer, nullptr), 0u);
    const std::string invalid = "invalid argument";
    EXPECT_EQ(out.finish(), "invalid handleinvalid handleinvalid handleinvalid handle" + invalid +
                                invalid + invalid + invalid + invalid);
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 1);
}

TEST_F(ChainedBuffer, FailedNodeKeepsTheBytesAlreadyStoredInTheTail) {
    kuv_xapi_push_buffer_ex(buffer, nullptr, 100, 0);
    OutputCapture out(1);
    std::vector<uint8_t> bytes(5000, 'q');
    {
        RefuseAllocation refuse(1);
        EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, bytes.data(), bytes.size(), 0), 3996u);
    }
    {
        RefuseAllocation refuse(1);
        EXPECT_EQ(kuv_xapi_open_buffer(), nullptr);
    }
    EXPECT_EQ(out.finish(), "can not allocate new buffer nodecan not allocate buffer");
    EXPECT_EQ(kuv_xapi_get_buffer_size(buffer), 4096);
    EXPECT_EQ(node_count(buffer), 1);
}

TEST_F(ChainedBuffer, PushWhoseNodeSizeWouldOverflowMakesNoNode) {
    OutputCapture out(1);
    OutputCapture err(2);
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    // Storage plus the node record past 64 bits: refused before the heap
    // is asked, so no tiny block is allocated and written past.
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, nullptr, max - 10, 0), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(buffer, "x", max, KUV_BUFFER_REFERENCE), 0u);
    EXPECT_EQ(err.finish(), "");
    EXPECT_EQ(out.finish(), "can not allocate new buffer nodecan not allocate new buffer node");
    EXPECT_EQ(buffer->head, nullptr);
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

}  // namespace
