// The built-in checking heap's block operations. A block is one malloc laid
// out as
//   base (8) | size (8) | user bytes (size) | guard (4)
// where base is the block's own address, size the request rounded up to a
// multiple of 4, and the guard word sits behind the last user byte.
//
// They live in a header so that kuv_xapi_alloc and kuv_xapi_free, the calls
// the whole library makes for every block, run them inline behind their
// handler test instead of through two more calls. The rare paths (messages)
// stay out of line.
#ifndef KUV_RUNTIME_HEAP_BLOCK_H
#define KUV_RUNTIME_HEAP_BLOCK_H

#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/heap_internal.h"
#include "runtime/heap_lease.h"
#include "runtime/lock_internal.h"

namespace kuv::heap {

struct BlockHeader {
    uint64_t base;
    uint64_t size;
};
static_assert(sizeof(BlockHeader) == KUV_HEAP_HEADER_SIZE);

inline constexpr uint32_t kGuard = KUV_HEAP_GUARD;
inline constexpr uint64_t kGuardSize = sizeof(uint32_t);
// The largest request whose rounded size plus header and guard fits both 64
// bits and size_t, which malloc takes (32 bits wide on 32-bit targets).
inline constexpr uint64_t kLargestRequest =
    (SIZE_MAX < UINT64_MAX ? uint64_t{SIZE_MAX} : UINT64_MAX) - 3 - KUV_HEAP_OVERHEAD;

// Out of line: the messages of a refused allocation and of a damaged block.
[[gnu::cold]] void *report_overflow();
[[gnu::cold]] void *report_no_memory();
[[gnu::cold]] void report_broken_block();

inline BlockHeader *header_of(void *user) {
    return reinterpret_cast<BlockHeader *>(static_cast<char *>(user) - sizeof(BlockHeader));
}

inline uint32_t read_guard(const void *user, uint64_t size) {
    uint32_t guard;
    std::memcpy(&guard, static_cast<const char *>(user) + size, sizeof guard);
    return guard;
}

// The header is believable when base names the header itself and the
// stored size, with header and guard, fits in what malloc handed out. Only
// then may size be used to find the guard or to copy user bytes.
inline bool header_is_sane(void *user) {
    BlockHeader *header = header_of(user);
    if (header->base != reinterpret_cast<uint64_t>(header)) return false;
    const uint64_t usable = malloc_usable_size(header);
    return header->size <= usable && usable - header->size >= sizeof(BlockHeader) + kGuardSize;
}

inline bool block_is_intact(void *user) {
    return header_is_sane(user) && read_guard(user, header_of(user)->size) == kGuard;
}

// The counters change together inside one holding of the heap lock, so a
// reader under the lock never sees the size of one state with the count of
// another. The lock is held for these few instructions only. The holder of
// the heap lease (heap_lease.h) changes them without the lock while no
// other thread can read or change them.
template <typename Update>
inline void change_counters(int32_t line, Update &&update) {
    if (lease::run_held(g_info.lock, update)) return;
    lease::claim();
    kuv::lock::run_exclusive(&g_info.lock, "kuv_xapi_heap_debug", line, update);
}

inline void count_allocation(uint64_t rounded) {
    change_counters(__LINE__, [rounded] {
        const uint64_t size = g_info.allocated_memory_size + rounded;
        g_info.allocated_memory_size = size;
        g_info.allocated_memory_count += 1;
        if (size > g_info.allocated_memory_peak_size) g_info.allocated_memory_peak_size = size;
    });
}

inline void count_release(uint64_t rounded) {
    change_counters(__LINE__, [rounded] {
        g_info.allocated_memory_size -= rounded;
        g_info.allocated_memory_count -= 1;
    });
}

// A new block of size (> 0) bytes, counted; NULL with a message when the
// size cannot be rounded or malloc fails.
inline void *allocate_block(uint64_t size) {
    if (__builtin_expect(size > kLargestRequest, 0)) return report_overflow();
    const uint64_t rounded = (size + 3) & ~uint64_t{3};
    auto *header =
        static_cast<BlockHeader *>(std::malloc(static_cast<size_t>(rounded + KUV_HEAP_OVERHEAD)));
    if (__builtin_expect(!header, 0)) return report_no_memory();
    header->base = reinterpret_cast<uint64_t>(header);
    header->size = rounded;
    void *user = header + 1;
    std::memcpy(static_cast<char *>(user) + rounded, &kGuard, sizeof kGuard);
    count_allocation(rounded);
    return user;
}

// Releases a block after checking it. A damaged block is reported and left
// alone: freeing memory whose bookkeeping was overwritten could corrupt the
// system heap as well.
inline void release_block(void *user) {
    if (__builtin_expect(!block_is_intact(user), 0)) {
        report_broken_block();
        return;
    }
    BlockHeader *header = header_of(user);
    count_release(header->size);
    std::free(header);
}

}  // namespace kuv::heap

#endif  // KUV_RUNTIME_HEAP_BLOCK_H
