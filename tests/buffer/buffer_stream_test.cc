// Long push+pop streams through one chained buffer must not call the
// allocator for every node: each call could hand pages back to the system
// and fault them in again, at a cost that depends on what else the heap
// holds. Its own program, because it counts the process's malloc calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

// Sanitizers bring their own malloc, which this file must not replace.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KUV_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define KUV_SANITIZED_HEAP 1
#endif
#endif

namespace {

// Calls of the system allocator made while counting is on.
bool g_counting = false;
uint64_t g_system_calls = 0;

// Tracked-heap allocations made while the counting handler is installed.
uint64_t g_tracked_allocations = 0;
void *counting_handler(void *pointer, uint64_t size) {
    if (!pointer && size > 0) ++g_tracked_allocations;
    return kuv_xapi_heap_debug(pointer, size);
}

}  // namespace

#if !defined(KUV_SANITIZED_HEAP)
// The system allocator, counted. (Under a sanitizer the tracked heap's
// handler does the counting alone.)
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void __libc_free(void *pointer);

void *malloc(size_t size) {
    if (g_counting) ++g_system_calls;
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    if (g_counting) ++g_system_calls;
    return __libc_calloc(count, size);
}
void *realloc(void *pointer, size_t size) {
    if (g_counting) ++g_system_calls;
    return __libc_realloc(pointer, size);
}
void free(void *pointer) {
    if (g_counting && pointer) ++g_system_calls;
    __libc_free(pointer);
}
}
#endif

namespace {

class BufferStream : public kuv_test::ResourceCheckedTest {
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

    // Counts allocator calls of both kinds while call runs.
    template <typename Call>
    void count_calls(Call call) {
        g_system_calls = 0;
        g_tracked_allocations = 0;
        kuv_xapi_set_heap_handler(&counting_handler, nullptr);
        g_counting = true;
        call();
        g_counting = false;
        kuv_xapi_set_heap_handler(nullptr, nullptr);
    }

    kuv_buffer_t *buffer = nullptr;
};

TEST_F(BufferStream, TwoGigabytesOf64KiBPairsReuseOneNode) {
    constexpr size_t kChunk = 64 * 1024;
    constexpr uint64_t kTotal = uint64_t{2} << 30;
    std::vector<uint8_t> source(kChunk), destination(kChunk);
    for (size_t i = 0; i < kChunk; ++i)
        source[i] = static_cast<uint8_t>(i * 7 + 1);
    const uint64_t blocks_before = kuv_xapi_get_allocated_memory_count();
    bool intact = true;
    count_calls([&] {
        for (uint64_t done = 0; done < kTotal && intact; done += kChunk) {
            source[done / kChunk % kChunk] ^= 0x5A;  // every chunk differs
            intact = kuv_xapi_push_buffer_ex(buffer, source.data(), kChunk, 0) == kChunk &&
                     kuv_xapi_pop_buffer_ex(buffer, destination.data(), kChunk, KUV_BUFFER_EXACT) ==
                         kChunk &&
                     destination == source;
        }
    });
    EXPECT_TRUE(intact);
    // The first node is made once; every later one is the node read out
    // just before.
    EXPECT_LE(g_tracked_allocations, 1u);
#if !defined(KUV_SANITIZED_HEAP)
    EXPECT_LE(g_system_calls, 2u);
#endif
    // Open, the kept node is the one block beyond the handle; a flush gives
    // it back.
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks_before + 1);
    EXPECT_EQ(kuv_xapi_flush_buffer(buffer), 0u);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks_before);
}

// Chunks of every size up to 256 KiB, each read out before the next
// arrives, as a reader that drains the buffer after every receive does: the
// kept storage serves every node that fits in it, so new blocks are made
// only while the largest chunk so far grows. Nodes keep the capacities the
// push rules give them.
TEST_F(BufferStream, VaryingChunksReuseTheKeptStorageAndKeepTheirCapacities) {
    std::mt19937 random(8);
    std::vector<uint8_t> source(256 * 1024), destination(source.size());
    for (auto &byte : source)
        byte = static_cast<uint8_t>(random());
    size_t largest = 0;
    uint64_t records = 0;
    bool intact = true;
    count_calls([&] {
        for (int pair = 0; pair < 20000 && intact; ++pair) {
            const size_t count = 1 + random() % source.size();
            if (count > largest && count > KUV_BUFFER_NODE_SIZE) {
                largest = count;
                ++records;
            }
            intact = kuv_xapi_push_buffer_ex(buffer, source.data(), count, 0) == count &&
                     buffer->head->capacity == std::max<uint64_t>(count, KUV_BUFFER_NODE_SIZE) &&
                     kuv_xapi_pop_buffer_ex(buffer, destination.data(), count, KUV_BUFFER_EXACT) ==
                         count &&
                     std::memcmp(destination.data(), source.data(), count) == 0;
        }
    });
    EXPECT_TRUE(intact);
    EXPECT_LE(g_tracked_allocations, records + 1);
}

}  // namespace
