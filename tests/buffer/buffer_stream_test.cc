// Long push+pop streams through one chained buffer must not call the
// allocator for every node, which could hand pages back to the system and
// fault them in again. Its own program: it counts the process's mallocs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

// Calls of both allocators made while counting is on.
bool g_counting = false;
uint64_t g_system_calls = 0;
uint64_t g_tracked_allocations = 0;
void *counting_handler(void *pointer, uint64_t size) {
    if (!pointer && size > 0) ++g_tracked_allocations;
    return kuv_xapi_heap_debug(pointer, size);
}

}  // namespace

#if !defined(KUV_SANITIZED_HEAP)
// The system allocator, counted. (The build defines KUV_SANITIZED_HEAP under
// a sanitizer, whose malloc stays; the tracked heap's handler counts alone.)
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void __libc_free(void *pointer);
void *malloc(size_t size) {
    g_system_calls += g_counting;
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    g_system_calls += g_counting;
    return __libc_calloc(count, size);
}
void *realloc(void *pointer, size_t size) {
    g_system_calls += g_counting;
    return __libc_realloc(pointer, size);
}
void free(void *pointer) {
    g_system_calls += g_counting && pointer;
    __libc_free(pointer);
}
}
#endif

namespace {

// Pushes and reads out count bytes of source through buffer once per pair,
// with both allocators counted; true while every pair came back intact.
template <typename Count>
bool stream_pairs(kuv_buffer_t *buffer, const std::vector<uint8_t> &source, uint64_t pairs,
                  Count count) {
    std::vector<uint8_t> destination(source.size());
    g_system_calls = g_tracked_allocations = 0;
    kuv_xapi_set_heap_handler(&counting_handler, nullptr);
    g_counting = true;
    bool intact = true;
    for (uint64_t pair = 0; pair < pairs && intact; ++pair) {
        const uint64_t n = count(pair);
        intact = kuv_xapi_push_buffer_ex(buffer, source.data(), n, 0) == n &&
                 buffer->head->capacity == std::max<uint64_t>(n, KUV_BUFFER_NODE_SIZE) &&
                 kuv_xapi_pop_buffer_ex(buffer, destination.data(), n, KUV_BUFFER_EXACT) == n &&
                 std::memcmp(destination.data(), source.data(), n) == 0;
    }
    g_counting = false;
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    return intact;
}

using BufferStream = kuv_test::ResourceCheckedTest;

TEST_F(BufferStream, TwoGigabytesOf64KiBPairsReuseOneNode) {
    constexpr size_t kChunk = 64 * 1024;
    std::vector<uint8_t> source(kChunk);
    const uint64_t blocks_before = kuv_xapi_get_allocated_memory_count();
    kuv_buffer_t *buffer = kuv_xapi_open_buffer();
    // Every chunk differs from the one before.
    EXPECT_TRUE(stream_pairs(buffer, source, (uint64_t{2} << 30) / kChunk, [&](uint64_t pair) {
        source[pair % kChunk] ^= 0x5A;
        return kChunk;
    }));
    EXPECT_LE(g_tracked_allocations, 1u);  // the first node; then the one read out before
#if !defined(KUV_SANITIZED_HEAP)
    EXPECT_LE(g_system_calls, 2u);
#endif
    // Open, the kept node is the one block beyond the handle; a flush gives
    // it back.
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks_before + 2);
    EXPECT_EQ(kuv_xapi_flush_buffer(buffer), 0u);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks_before + 1);
    EXPECT_EQ(kuv_xapi_close_buffer(buffer), nullptr);
}

}  // namespace
