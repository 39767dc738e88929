// The chained buffer and the line assembler: their rules and failure paths.
// Their agreement with a byte queue and a reference splitter on random
// operations is checked by buffer_line_fuzz and readline_fuzz.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

// The tracked heap as the tests watch it: it refuses the countdown-th
// allocation while counting down, sums the bytes it hands out, and counts
// released blocks that still hold "SECRET" (the checking heap keeps a
// block's rounded size in the 8 bytes in front of it).
int countdown = 0, secrets_released = 0;
uint64_t allocated_bytes = 0;
void *watching_heap(void *pointer, uint64_t size) {
    if (!pointer && size > 0 && countdown > 0 && --countdown == 0) return nullptr;
    allocated_bytes += size;
    const char *block = static_cast<const char *>(pointer);
    if (block && size == 0 &&
        memmem(block, *reinterpret_cast<const uint64_t *>(block - 8), "SECRET", 6))
        ++secrets_released;
    return kuv_xapi_heap_debug(pointer, size);
}

// A heap whose releases answer the block released, as a handler may: what
// kuv_xapi_free hands back is then not NULL.
void *answering_heap(void *pointer, uint64_t size) {
    void *result = kuv_xapi_heap_debug(pointer, size);
    return size == 0 ? pointer : result;
}

// Runs call while the tracked heap refuses the n-th allocation from now (1
// is the next one) and serves everything else from the checking heap.
template <typename Call>
auto refused(int n, Call call) {
    countdown = n;
    kuv_xapi_set_heap_handler(&watching_heap, nullptr);
    const auto result = call();
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    countdown = 0;
    return result;
}

// A fresh handle from Open per test, given to Close before the heap check.
template <typename T, T *(*Open)(), T *(*Close)(T *)>
class Owning : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        handle = Open();
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(Close(handle), nullptr);
        ResourceCheckedTest::TearDown();
    }
    T *handle = nullptr;
};

class ChainedBuffer : public Owning<kuv_buffer_t, kuv_xapi_open_buffer, kuv_xapi_close_buffer> {
  protected:
    uint64_t push(const std::string &bytes) {
        return kuv_xapi_push_buffer_ex(handle, bytes.data(), bytes.size(), 0);
    }
    std::string pop_line() {
        char *line = kuv_xapi_pop_buffer_line(handle);
        if (!line) return "<none>";
        const std::string text = line;
        kuv_xapi_free(line);
        return text;
    }
};

// Tail fill and node flags, exact peeks, and an adopted block handed back whole.
TEST_F(ChainedBuffer, PushFillsTheTailThenMakesAtMostOneNode) {
    push(std::string(200, 'b'));
    // 3896 bytes fill the tail's room, the other 104 go into one new node
    // that carries this push's flags; a missing source stores zeros. Wiped
    // bytes in the old tail make it wiped too.
    EXPECT_EQ(kuv_xapi_push_buffer_ex(handle, nullptr, 4000, KUV_BUFFER_WIPE), 4000u);
    ASSERT_EQ(handle->head->next, handle->tail);
    EXPECT_EQ(handle->head->flags, KUV_BUFFER_WIPE);
    EXPECT_EQ(handle->tail->flags, KUV_BUFFER_WIPE);
    char out[8] = {};
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(handle, out, 4, 198, KUV_BUFFER_EXACT), 4u);
    EXPECT_EQ(std::string(out, 4), std::string("bb\0\0", 4));
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(handle, out, 5, 4196, KUV_BUFFER_EXACT), 0u);
    // count + offset past 64 bits must not wrap into a small request.
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(handle, out, 2, UINT64_MAX, KUV_BUFFER_EXACT), 0u);
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(handle, out, UINT64_MAX, 2, KUV_BUFFER_EXACT), 0u);
    EXPECT_EQ(kuv_xapi_pop_buffer_ex(handle, nullptr, 4200, KUV_BUFFER_EXACT), 4200u);
    EXPECT_EQ(kuv_xapi_push_printf_buffer(handle, "value=%d", 42), 8u);
    const uint8_t *formatted = handle->head->data;
    void *block = kuv_xapi_alloc_pop_buffer_ex(handle, 8, KUV_BUFFER_EXACT);
    EXPECT_EQ(block, formatted);
    EXPECT_STREQ(static_cast<char *>(block), "value=42");
    kuv_xapi_free(block);
    // Only an unread adopted node taken whole is handed back; else a copy.
    kuv_xapi_push_printf_buffer(handle, "%s", "abcdef");
    kuv_xapi_push_printf_buffer(handle, "%s", "ghij");
    for (const std::string part : {"ab", "cdefgh"}) {
        block = kuv_xapi_alloc_pop_buffer_ex(handle, part.size(), KUV_BUFFER_EXACT);
        EXPECT_EQ(std::string(static_cast<char *>(block), part.size()), part);
        kuv_xapi_free(block);
    }
}

// A read-out node's storage is kept for the next node it can hold; larger
// storage is lent to a smaller node, to one at a time.
TEST_F(ChainedBuffer, KeptStorageServesNodesItHoldsAndIsLentToOneAtATime) {
    std::string bytes(11100, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    push(bytes.substr(0, 6000));
    push(bytes.substr(6000, 5000));
    char out[6000];
    ASSERT_EQ(kuv_xapi_pop_buffer_ex(handle, out, 6000, KUV_BUFFER_EXACT), 6000u);
    // The next node runs on the 6000 bytes kept: it needs no new block.
    EXPECT_EQ(refused(1, [&] { return push(bytes.substr(11000, 100)); }), 100u);
    ASSERT_EQ(kuv_xapi_pop_buffer_ex(handle, out, 5000, KUV_BUFFER_EXACT), 5000u);
    EXPECT_EQ(std::string(out, 5000), bytes.substr(6000, 5000));
    // While that is out, the 5000 bytes kept now are not lent: the node
    // after the tail's 3996 needs a block of its own.
    kuv_test::OutputCapture out_of_nodes(1);
    EXPECT_EQ(refused(1, [&] { return push(bytes.substr(0, 4000)); }), 3996u);
    push(bytes.substr(3996, 4));
    ASSERT_EQ(kuv_xapi_pop_buffer_ex(handle, out, 4100, KUV_BUFFER_EXACT), 4100u);
    EXPECT_EQ(std::string(out, 4100), bytes.substr(11000, 100) + bytes.substr(0, 4000));
    // Storage smaller than the node (4096 bytes kept now) is not used.
    EXPECT_EQ(refused(1, [&] { return push(bytes.substr(0, 5000)); }), 0u);
    EXPECT_EQ(out_of_nodes.finish(),
              "can not allocate new buffer nodecan not allocate new buffer node");
}

TEST_F(ChainedBuffer, WipeZeroesNodesOnReleaseLentMemoryIncluded) {
    kuv_buffer_t *wiping = kuv_xapi_open_buffer_ex(KUV_BUFFER_WIPE);
    char lent[] = "SECRET", one = 'S';
    kuv_xapi_set_heap_handler(&watching_heap, nullptr);
    kuv_xapi_push_string_buffer(wiping, "SECRET copied");
    kuv_xapi_push_buffer_ex(wiping, lent, 6, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_printf_buffer(wiping, "%s", "SECRET adopted");
    kuv_xapi_push_buffer_ex(wiping, &one, 1, KUV_BUFFER_REFERENCE);
    kuv_xapi_pop_buffer_ex(wiping, nullptr, 19, KUV_BUFFER_EXACT);
    kuv_xapi_close_buffer(wiping);  // releases the adopted node
    // Wiped bytes that land in a plain node's free room make it wiped too.
    kuv_xapi_push_string_buffer(handle, "hdr:");
    kuv_xapi_push_buffer_ex(handle, "SECRET key", 10, KUV_BUFFER_WIPE);
    kuv_xapi_pop_buffer_ex(handle, nullptr, 14, KUV_BUFFER_EXACT);
    kuv_xapi_flush_buffer(handle);  // gives the kept node back
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    EXPECT_EQ(secrets_released, 0);
    EXPECT_EQ(std::string(lent, 6), std::string(6, '\0'));
    EXPECT_EQ(one, '\0');
}

TEST_F(ChainedBuffer, TypedValuesInEachByteOrderAcrossNodes) {
    static const uint8_t counting[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    kuv_xapi_push_buffer_ex(handle, counting, 3, KUV_BUFFER_REFERENCE);
    kuv_xapi_push_buffer_ex(handle, counting + 3, 5, KUV_BUFFER_REFERENCE);
    uint32_t dword = 0;
    uint64_t qword = 0;
    // Each width in both orders across the two nodes; the host-order forms
    // differ only in skipping the conversion (their pops follow).
    EXPECT_EQ(kuv_xapi_peek_buffer_leword(handle, 2), 0x0403);
    EXPECT_EQ(kuv_xapi_peek_buffer_beword(handle, 2), 0x0304);
    EXPECT_TRUE(kuv_xapi_peek_buffer_ledword(handle, &dword, 1) && dword == 0x05040302u);
    EXPECT_TRUE(kuv_xapi_peek_buffer_bedword(handle, &dword, 1) && dword == 0x02030405u);
    EXPECT_TRUE(kuv_xapi_peek_buffer_leqword(handle, &qword, 0) && qword == 0x0807060504030201u);
    EXPECT_TRUE(kuv_xapi_peek_buffer_beqword(handle, &qword, 0) && qword == 0x0102030405060708u);
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(handle), 1);
    EXPECT_EQ(kuv_xapi_pop_buffer_leword(handle), 0x0302);
    EXPECT_TRUE(kuv_xapi_pop_buffer_bedword(handle, &dword) && dword == 0x04050607u);
    EXPECT_EQ(kuv_xapi_pop_buffer_word(handle), -1);  // one byte held: it stays
    EXPECT_EQ(kuv_xapi_pop_buffer_ledword(handle, &dword), 0);
    EXPECT_EQ(dword, 0x04050607u);  // a failed read leaves the place alone
    // The host-order pops take the bytes as they lie; a pop without a place
    // discards its width. Setting the consumed count keeps what is held.
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(handle), 8);
    for (int node = 0; node < 3; ++node)
        kuv_xapi_push_buffer_ex(handle, counting, 8, KUV_BUFFER_REFERENCE);
    EXPECT_TRUE(kuv_xapi_pop_buffer_dword(handle, &dword) &&
                dword == kuv_xapi_ledword_value(0x04030201u));
    EXPECT_EQ(kuv_xapi_pop_buffer_dword(handle, nullptr), 1);
    EXPECT_TRUE(kuv_xapi_pop_buffer_qword(handle, &qword) &&
                qword == kuv_xapi_leqword_value(0x0807060504030201u));
    EXPECT_EQ(kuv_xapi_set_buffer_offset(handle, -5), -5);
    EXPECT_TRUE(kuv_xapi_pop_buffer_beqword(handle, &qword) && qword == 0x0102030405060708u);
    EXPECT_EQ(kuv_xapi_get_buffer_offset(handle), 3);
    EXPECT_EQ(kuv_xapi_get_buffer_size(handle), 0);
}

// A line arriving in pieces, with a line pop tried after each, is searched
// once: the node whose bytes an earlier pop searched lies on pages that are
// unreadable meanwhile, so going back over them would fault.
const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
uint8_t *g_arena = nullptr;
void *arena_heap(void *pointer, uint64_t size) {
    uint8_t *node = g_arena + kPage - sizeof(kuv_buffer_node_t);
    if (!pointer && size == sizeof(kuv_buffer_node_t) + 2 * kPage) return node;
    if (pointer == node) return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

TEST_F(ChainedBuffer, LinePopSearchesEachByteOnce) {
    void *arena =
        mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(arena, MAP_FAILED);
    g_arena = static_cast<uint8_t *>(arena);
    kuv_xapi_set_heap_handler(&arena_heap, nullptr);
    const std::string front(2 * kPage, 'x');
    push(front);
    EXPECT_EQ(pop_line(), "<none>");
    ASSERT_EQ(mprotect(g_arena + kPage, 2 * kPage, PROT_NONE), 0);
    for (const char *piece : {"\xC3", "\n", "y", "z"}) {
        push(piece);
        EXPECT_EQ(pop_line(), "<none>");
    }
    ASSERT_EQ(mprotect(g_arena + kPage, 2 * kPage, PROT_READ), 0);
    push("\r\n");
    EXPECT_EQ(pop_line(), front + "\xC3\nyz");
    EXPECT_EQ(kuv_xapi_flush_buffer(handle), 0u);
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    munmap(arena, 3 * kPage);
    // In a short node the search resumes behind the line end it found before.
    push("abcd\r\nefghijklmnopq\n");
    EXPECT_EQ(pop_line(), "abcd");
    EXPECT_EQ(pop_line(), "efghijklmnopq");
    push(std::string(30, 'a') + "\n\nrest of it");
    EXPECT_EQ(pop_line(), std::string(30, 'a'));
    EXPECT_EQ(pop_line(), "");
}

TEST_F(ChainedBuffer, FailuresKeepWhatIsHeldAndReleaseWhatTheyMade) {
    kuv_test::OutputCapture out(1);
    // No empty node may stand in front of later bytes; lending needs a source.
    EXPECT_EQ(push(""), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(handle, "", 0, KUV_BUFFER_ADOPT), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(handle, nullptr, 5, KUV_BUFFER_REFERENCE), 0u);
    // A count whose node would wrap 64 bits is refused before the heap is asked.
    EXPECT_EQ(kuv_xapi_push_buffer_ex(handle, nullptr, UINT64_MAX - 10, 0), 0u);
    EXPECT_EQ(kuv_xapi_push_buffer_ex(handle, "x", UINT64_MAX, KUV_BUFFER_REFERENCE), 0u);
    EXPECT_EQ(handle->head, nullptr);
    push("keep me\n");
    EXPECT_EQ(refused(1, [&] { return kuv_xapi_alloc_pop_buffer_ex(handle, 8, 1); }), nullptr);
    uint64_t length = 9;
    EXPECT_EQ(refused(1, [&] { return kuv_xapi_get_buffer_node(handle, &length); }), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(refused(1, [&] { return kuv_xapi_pop_buffer_line(handle); }), nullptr);
    // The new node fails: the share stored in the old tail stays.
    EXPECT_EQ(refused(1, [&] { return push(std::string(5000, 'q')); }), 4088u);
    // The formatted text, then the node adopting it (the text is released).
    EXPECT_EQ(refused(1, [&] { return kuv_xapi_push_printf_buffer(handle, "n=%d", 1); }), 0u);
    EXPECT_EQ(refused(2, [&] { return kuv_xapi_push_printf_buffer(handle, "n=%d", 2); }), 0u);
    EXPECT_EQ(pop_line(), "keep me");
    EXPECT_EQ(kuv_xapi_get_buffer_size(handle), 4088);
    // Argument errors and a missing handle are refused with their messages.
    EXPECT_EQ(kuv_xapi_peek_buffer_ex(handle, nullptr, 1, 0, 0), 0u);
    EXPECT_EQ(kuv_xapi_peek_buffer_dword(handle, nullptr, 0), 0);
    EXPECT_EQ(kuv_xapi_push_printf_buffer(handle, nullptr), 0u);
    EXPECT_EQ(kuv_xapi_pop_buffer_byte(nullptr), -1);
    const std::string argument = "invalid argument", node = "can not allocate new buffer node";
    EXPECT_EQ(out.finish(), argument + node + node + node + "can not allocate string" + node +
                                argument + argument + argument + "invalid handle");
    // Close answers NULL, for the caller to store back, whatever the heap
    // answers to the release.
    kuv_xapi_set_heap_handler(&answering_heap, nullptr);
    kuv_buffer_t *other = kuv_xapi_open_buffer();
    EXPECT_EQ(kuv_xapi_close_buffer(other), nullptr);
    kuv_xapi_set_heap_handler(nullptr, nullptr);
}

using Lines = std::vector<std::string>;

class LineAssembler
    : public Owning<kuv_readline_t, kuv_xapi_open_readline, kuv_xapi_close_readline> {
  protected:
    uint64_t push(const std::string &bytes) {
        return kuv_xapi_push_readline(handle, bytes.data(), bytes.size());
    }
    uint64_t push_final() { return kuv_xapi_push_readline(handle, nullptr, 0); }
    Lines pop_all() {
        Lines lines;
        while (char *line = kuv_xapi_pop_readline(handle)) {
            lines.emplace_back(line);
            kuv_xapi_free(line);
        }
        EXPECT_EQ(kuv_xapi_quantity_readline(handle), 0u);
        return lines;
    }
};

TEST_F(LineAssembler, UnallocatableLinesAreDroppedWithoutLeakingIntoTheNext) {
    // The second allocation, after the pending buffer, is the line "lost".
    EXPECT_EQ(refused(2, [&] { return push("lost\nkept\n"); }), 0u);
    push("held ");
    refused(1, [&] { return push("over\nnext\n"); });  // joins held bytes and chunk
    push("pending");
    refused(1, [&] { return push_final(); });
    push("\n");
    push_final();
    kuv_test::OutputCapture out(1);
    // Held-over bytes that can be kept only in part (the node after the
    // first 4096 bytes cannot be made) break their line: it goes whole when
    // it ends, by a line end or the final push, and nothing is kept for it
    // meanwhile.
    const std::string front(4000, 'a'), middle(200, 'b');
    for (const char *end : {"c\nd\n", ""}) {
        EXPECT_EQ(push(front), 4000u);
        EXPECT_EQ(refused(1, [&] { return push(middle); }), 0u);
        EXPECT_EQ(push("more"), 0u);
        *end ? push(end) : push_final();
    }
    // Without a pending buffer the chunk's lines still come; the rest is
    // lost, and with it what follows of its line in later chunks, with or
    // without a buffer then.
    EXPECT_EQ(refused(1, [&] { return push("one\ntwo\nre"); }), 0u);
    EXPECT_EQ(refused(1, [&] { return push("st\nthree\nfo"); }), 0u);
    push("ur\nfive\n");
    // Once the line that lost its front has ended (by a line end or the
    // final push), the next line is whole.
    push("more\n");
    push_final();
    refused(1, [&] { return push("six\nse"); });
    refused(1, [&] { return push("ven\n"); });
    push("eight\n");
    push_final();
    refused(1, [&] { return push("nine\nte"); });
    push_final();
    push("eleven\n");
    EXPECT_EQ(out.finish(),
              "can not allocate new buffer nodecan not allocate new buffer node"
              "can not allocate bufferinvalid handlecan not allocate bufferinvalid handle"
              "can not allocate bufferinvalid handlecan not allocate buffer"
              "can not allocate bufferinvalid handle");
    EXPECT_EQ(pop_all(), (Lines{"kept", "next", "", "d", "one", "two", "three", "five", "more",
                                "six", "eight", "nine", "eleven"}));
    EXPECT_EQ(kuv_xapi_push_readline(nullptr, "a\n", 2), 0u);
}

// A 20 MB line in 100-byte chunks, then 200000 held-over line-end bytes.
// Each byte is copied a bounded number of times (joining the held line
// anew for every chunk would copy it 200000 times), and work that grows
// with the square of the chunk count runs past the test's time limit.
TEST_F(LineAssembler, LineSpanningManyChunksCostsLinearTime) {
    const std::string chunk(100, 'p');
    allocated_bytes = 0;
    kuv_xapi_set_heap_handler(&watching_heap, nullptr);
    for (int i = 0; i < 200000; ++i)
        push(chunk);
    for (int i = 0; i < 200000; ++i)
        push(i == 0 ? "\r\n" : "\n");
    EXPECT_EQ(push("tail\n"), 0u);
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    EXPECT_LT(allocated_bytes, 3u * 20200000);
    EXPECT_EQ(pop_all(), (Lines{std::string(20000000, 'p'), "tail"}));
    push("again\n");  // the emptied queue takes new lines
    EXPECT_EQ(pop_all(), Lines{"again"});
}

}  // namespace
