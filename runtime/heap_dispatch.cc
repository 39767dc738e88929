// The dispatching heap: the installed handler, else the checking heap.
#include <cstdio>
#include <cstring>

#include "runtime/heap_internal.h"
#include "runtime/lock_internal.h"

namespace kuv::heap {

kuv_heap_info_t g_info;

void warn_null_release() {
    std::fputs("kuv: [WARNING] null pointer free ? \n", stderr);
}

}  // namespace kuv::heap

using kuv::heap::g_info;

extern "C" {

void *kuv_xapi_heap(void *pointer, uint64_t size) {
    kuv_heap_handler_t handler = __atomic_load_n(&g_info.handler, __ATOMIC_RELAXED);
    return handler ? handler(pointer, size) : kuv_xapi_heap_debug(pointer, size);
}

void *kuv_xapi_alloc(uint64_t size) {
    return kuv_xapi_heap(nullptr, size);
}

void *kuv_xapi_free(void *pointer) {
    return kuv_xapi_heap(pointer, 0);
}

void *kuv_xapi_realloc(void *pointer, uint64_t size) {
    return kuv_xapi_heap(pointer, size);
}

void *kuv_xapi_calloc(uint64_t count, uint64_t size) {
    return kuv::heap::allocate_cleared<kuv_xapi_alloc>(count, size);
}

uint32_t kuv_xapi_set_heap_handler(kuv_heap_handler_t handler, kuv_heap_handler_t *previous) {
    if (previous) *previous = __atomic_load_n(&g_info.handler, __ATOMIC_RELAXED);
    __atomic_store_n(&g_info.handler, handler, __ATOMIC_RELAXED);
    return 1;
}

kuv_heap_info_t *kuv_xapi_get_heap_info(kuv_heap_info_t *place) {
    if (!place) return &g_info;
    kuv_mapi_ref_lock_v0(&g_info.lock, KUV_LOCK_MODE_SHARED, "kuv_xapi_get_heap_info", __LINE__);
    std::memcpy(static_cast<void *>(place), &g_info, sizeof *place);
    kuv_mapi_unlock_v0(&g_info.lock);
    return place;
}

uint64_t kuv_xapi_get_allocated_memory_size(void) {
    return kuv::lock::run_shared(&g_info.lock, __func__, __LINE__,
                                 [] { return g_info.allocated_memory_size; });
}

uint64_t kuv_xapi_get_allocated_memory_count(void) {
    return kuv::lock::run_shared(&g_info.lock, __func__, __LINE__,
                                 [] { return g_info.allocated_memory_count; });
}

uint64_t kuv_xapi_get_allocated_memory_peak_size(void) {
    return kuv::lock::run_shared(&g_info.lock, __func__, __LINE__,
                                 [] { return g_info.allocated_memory_peak_size; });
}

int32_t kuv_xapi_mem_free_legacy_v1_by_windows_team(void **variable) {
    if (variable) *variable = kuv_xapi_free(*variable);
    return 0;
}

}  // extern "C"
