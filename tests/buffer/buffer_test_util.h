// Helpers of the buffer tests: refusing chosen allocations and walking a
// buffer's chain. The reference models live in buffer_reference.h.
#ifndef KUV_TESTS_BUFFER_TEST_UTIL_H
#define KUV_TESTS_BUFFER_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>

#include "tests/buffer/buffer_reference.h"
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

}  // namespace buffer_test

#endif  // KUV_TESTS_BUFFER_TEST_UTIL_H
