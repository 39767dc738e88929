// The built-in checking heap. A block is one malloc laid out as
//   base (8) | size (8) | user bytes (size) | guard (4)
// where base is the block's own address, size the request rounded up to a
// multiple of 4, and the guard word sits behind the last user byte.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/guards.h"
#include "runtime/heap_internal.h"
#include "runtime/lock_internal.h"

namespace kuv::heap {
namespace {

struct BlockHeader {
    uint64_t base;
    uint64_t size;
};
static_assert(sizeof(BlockHeader) == KUV_HEAP_HEADER_SIZE);

constexpr uint32_t kGuard = KUV_HEAP_GUARD;
constexpr uint64_t kGuardSize = sizeof(uint32_t);

BlockHeader *header_of(void *user) {
    return reinterpret_cast<BlockHeader *>(static_cast<char *>(user) - sizeof(BlockHeader));
}

uint32_t read_guard(const void *user, uint64_t size) {
    uint32_t guard;
    std::memcpy(&guard, static_cast<const char *>(user) + size, sizeof guard);
    return guard;
}

// The header is believable when base names the header itself and the
// stored size, with header and guard, fits in what malloc handed out. Only
// then may size be used to find the guard or to copy user bytes.
bool header_is_sane(void *user) {
    BlockHeader *header = header_of(user);
    if (header->base != reinterpret_cast<uint64_t>(header)) return false;
    uint64_t usable = malloc_usable_size(header);
    return header->size <= usable && usable - header->size >= sizeof(BlockHeader) + kGuardSize;
}

bool block_is_intact(void *user) {
    return header_is_sane(user) && read_guard(user, header_of(user)->size) == kGuard;
}

void *allocate(uint64_t size) {
    // rounded + 20 must fit in 64 bits.
    if (size > UINT64_MAX - 3 - KUV_HEAP_OVERHEAD) {
        std::fputs("kuv: [ERROR] not enough memory! maybe bug! (overflow size)\n", stderr);
        return nullptr;
    }
    uint64_t rounded = (size + 3) & ~uint64_t{3};
    auto *header = static_cast<BlockHeader *>(std::malloc(rounded + KUV_HEAP_OVERHEAD));
    if (!header) {
        std::fputs("kuv: [ERROR] not enough memory\n", stderr);
        return nullptr;
    }
    header->base = reinterpret_cast<uint64_t>(header);
    header->size = rounded;
    void *user = header + 1;
    std::memcpy(static_cast<char *>(user) + rounded, &kGuard, sizeof kGuard);

    kuv::lock::run_exclusive(&g_info.lock, "kuv_xapi_heap_debug", __LINE__, [rounded] {
        g_info.allocated_memory_size += rounded;
        g_info.allocated_memory_count += 1;
        if (g_info.allocated_memory_size > g_info.allocated_memory_peak_size)
            g_info.allocated_memory_peak_size = g_info.allocated_memory_size;
    });
    return user;
}

void release(void *user) {
    if (!block_is_intact(user)) {
        // The block is left alone: freeing memory whose bookkeeping was
        // overwritten could corrupt the system heap as well.
        std::fputs("=> REVERSE DUMP\n", stderr);
        std::fputs("kuv: [FATAL-ERROR] heap broken\n", stderr);
        return;
    }
    BlockHeader *header = header_of(user);
    uint64_t size = header->size;
    kuv::lock::run_exclusive(&g_info.lock, "kuv_xapi_heap_debug", __LINE__, [size] {
        g_info.allocated_memory_size -= size;
        g_info.allocated_memory_count -= 1;
    });
    std::free(header);
}

void *resize(void *user, uint64_t size) {
    BlockHeader *header = header_of(user);
    if (header->size == size) return user;
    void *fresh = allocate(size);
    if (!fresh) return nullptr;
    // A damaged header gives no trustworthy length: copy nothing rather than
    // read past the old block. The release below reports the damage.
    if (header_is_sane(user)) std::memcpy(fresh, user, size < header->size ? size : header->size);
    release(user);
    return fresh;
}

}  // namespace
}  // namespace kuv::heap

using namespace kuv::heap;

extern "C" {

void *kuv_xapi_heap_debug(void *pointer, uint64_t size) {
    if (!pointer && size > 0) return allocate(size);
    if (pointer && size == 0) {
        release(pointer);
        return nullptr;
    }
    if (pointer) return resize(pointer, size);
    warn_null_release();
    return nullptr;
}

void *kuv_xapi_debug_alloc(uint64_t size) {
    return kuv_xapi_heap_debug(nullptr, size);
}

void *kuv_xapi_debug_free(void *pointer) {
    return kuv_xapi_heap_debug(pointer, 0);
}

void *kuv_xapi_debug_realloc(void *pointer, uint64_t size) {
    return kuv_xapi_heap_debug(pointer, size);
}

void *kuv_xapi_debug_calloc(uint64_t count, uint64_t size) {
    return kuv::heap::allocate_cleared<kuv_xapi_debug_alloc>(count, size);
}

}  // extern "C"
