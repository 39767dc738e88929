// Helpers of the buffer tests: refusing chosen allocations, walking a
// buffer's chain, and simple reference models of the line pop and the line
// assembler written straight from their byte-by-byte rules.
#ifndef KUV_TESTS_BUFFER_TEST_UTIL_H
#define KUV_TESTS_BUFFER_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace buffer_test {

// While alive, the tracked heap refuses the n-th allocation from now (1 is
// the next one) and serves everything else from the checking heap.
class RefuseAllocation {
  public:
    explicit RefuseAllocation(int n) {
        countdown_ = n;
        kuv_xapi_set_heap_handler(&handler, nullptr);
    }
    ~RefuseAllocation() { kuv_xapi_set_heap_handler(nullptr, nullptr); }
    RefuseAllocation(const RefuseAllocation &) = delete;
    RefuseAllocation &operator=(const RefuseAllocation &) = delete;

  private:
    static void *handler(void *pointer, uint64_t size) {
        if (!pointer && size > 0 && --countdown_ == 0) return nullptr;
        return kuv_xapi_heap_debug(pointer, size);
    }
    static inline int countdown_ = 0;
};

// A fresh buffer per test, closed at the end before the heap is checked.
class BufferTest : public kuv_test::ResourceCheckedTest {
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
    uint64_t push(const std::string &bytes) {
        return kuv_xapi_push_buffer_ex(buffer, bytes.data(), bytes.size(), 0);
    }
    // Lends static memory (a literal) as a node of its own.
    void lend(const void *memory, uint64_t count) {
        kuv_xapi_push_buffer_ex(buffer, memory, count, KUV_BUFFER_REFERENCE);
    }
    void lend(const char *literal) { lend(literal, std::strlen(literal)); }
    std::string pop(uint64_t count, int32_t mode = KUV_BUFFER_PARTIAL) {
        std::string text(count, '\0');
        text.resize(kuv_xapi_pop_buffer_ex(buffer, text.data(), count, mode));
        return text;
    }
    kuv_buffer_t *buffer = nullptr;
};

inline int node_count(const kuv_buffer_t *buffer) {
    int count = 0;
    for (const kuv_buffer_node_t *node = buffer->head; node; node = node->next)
        ++count;
    return count;
}

inline const uint8_t *bytes_of(const char *text) {
    return reinterpret_cast<const uint8_t *>(text);
}

// The line pop by its definition: a two-byte state toggled by bytes with
// bit 7 set, the byte after a set state skipped, the first LF or CR ends
// the line, and the partner byte of a CR LF or LF CR pair goes with it.
inline std::optional<std::string> reference_pop_line(std::deque<uint8_t> &bytes) {
    bool second_byte = false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t byte = bytes[i];
        if (byte & 0x80) {
            second_byte = !second_byte;
        } else if (second_byte) {
            second_byte = false;
        } else if (byte == '\n' || byte == '\r') {
            std::string line(bytes.begin(), bytes.begin() + static_cast<long>(i));
            bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(i) + 1);
            const uint8_t partner = byte == '\n' ? '\r' : '\n';
            if (!bytes.empty() && bytes.front() == partner) bytes.pop_front();
            return line;
        }
    }
    return std::nullopt;
}

// The line assembler over one unbroken stream, independent of chunking: a
// CR ends a line when no CR or LF came since the last ordinary byte, an LF
// when no CR did. Line texts are what a caller reads: up to the first NUL,
// without CR and LF.
class ReferenceSplitter {
  public:
    void feed(const std::string &bytes) {
        for (char c : bytes)
            feed_byte(static_cast<uint8_t>(c));
    }
    void finish() {
        if (!current_.empty()) emit();
    }
    bool holds_bytes() const { return !current_.empty(); }
    size_t held_bytes() const { return current_.size(); }
    std::deque<std::string> lines;

  private:
    void feed_byte(uint8_t byte) {
        bool ends = false;
        if (byte == '\n') {
            ends = !saw_cr_;
            saw_lf_ = true;
        } else if (byte == '\r') {
            ends = !saw_cr_ && !saw_lf_;
            saw_cr_ = true;
        } else {
            saw_cr_ = saw_lf_ = false;
        }
        if (ends)
            emit();
        else
            current_.push_back(static_cast<char>(byte));
    }
    void emit() {
        std::string text;
        for (char c : current_) {
            if (c == '\0') break;
            if (c != '\r' && c != '\n') text.push_back(c);
        }
        lines.push_back(text);
        current_.clear();
    }
    std::string current_;
    bool saw_cr_ = false;
    bool saw_lf_ = false;
};

}  // namespace buffer_test

#endif  // KUV_TESTS_BUFFER_TEST_UTIL_H
