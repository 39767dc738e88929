// The system heap family: malloc, realloc and free, without header or count.
#include <cstdlib>
#include <cstring>

#include "runtime/heap_internal.h"

extern "C" {

void *kuv_xapi_heap_release(void *pointer, uint64_t size) {
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
