// The built-in checking heap behind kuv_xapi_heap_debug and the debug_
// family: allocation, release and resize of checked, counted blocks.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "runtime/heap_block.h"

namespace kuv::heap {

void *report_overflow() {
    std::fputs("kuv: [ERROR] not enough memory! maybe bug! (overflow size)\n", stderr);
    return nullptr;
}

void *report_no_memory() {
    std::fputs("kuv: [ERROR] not enough memory\n", stderr);
    return nullptr;
}

void report_broken_block() {
    std::fputs("=> REVERSE DUMP\n", stderr);
    std::fputs("kuv: [FATAL-ERROR] heap broken\n", stderr);
}

namespace {

void *resize_block(void *user, uint64_t size) {
    BlockHeader *header = header_of(user);
    if (header->size == size) return user;
    void *fresh = allocate_block(size);
    if (!fresh) return nullptr;
    // A damaged block's stored size is not believed, whichever way it moved:
    // the copy takes what malloc handed out, so it keeps the user's bytes
    // without reading past the old block. The release below reports the
    // damage.
    const uint64_t usable = malloc_usable_size(header);
    const uint64_t room = usable > KUV_HEAP_OVERHEAD ? usable - KUV_HEAP_OVERHEAD : 0;
    const uint64_t kept = block_is_intact(user) ? header->size : room;
    std::memcpy(fresh, user, std::min(size, kept));
    release_block(user);
    return fresh;
}

}  // namespace
}  // namespace kuv::heap

using namespace kuv::heap;

extern "C" {

void *kuv_xapi_heap_debug(void *pointer, uint64_t size) {
    if (!pointer && size > 0) return allocate_block(size);
    if (pointer && size == 0) {
        release_block(pointer);
        return nullptr;
    }
    if (pointer) return resize_block(pointer, size);
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
