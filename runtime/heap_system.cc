// The system heap family: malloc, realloc and free, without header or count.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/heap_internal.h"

extern "C" {

void *kuv_xapi_heap_release(void *pointer, uint64_t size) {
    // malloc and realloc take size_t, 32 bits wide on 32-bit targets: a
    // larger request is refused rather than cut down to its low bits.
    if (size > SIZE_MAX) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!pointer && size > 0) return std::malloc(size);
    if (pointer && size == 0) {
        std::free(pointer);
        return nullptr;
    }
    if (pointer) return std::realloc(pointer, size);
    kuv::heap::warn_null_release();
    return nullptr;
}

void *kuv_xapi_sys_alloc(uint64_t size) {
    return kuv_xapi_heap_release(nullptr, size);
}

void *kuv_xapi_sys_free(void *pointer) {
    return kuv_xapi_heap_release(pointer, 0);
}

void *kuv_xapi_sys_realloc(void *pointer, uint64_t size) {
    return kuv_xapi_heap_release(pointer, size);
}

void *kuv_xapi_sys_calloc(uint64_t count, uint64_t size) {
    return kuv::heap::allocate_cleared<kuv_xapi_sys_alloc>(count, size);
}

}  // extern "C"
