// The dispatching heap: the installed handler, else the checking heap.
#include <cstdio>
#include <cstring>

#include "runtime/guards.h"
#include "runtime/heap_block.h"
#include "runtime/heap_internal.h"
#include "runtime/heap_lease.h"
#include "runtime/lock_internal.h"

namespace kuv::heap {

// One cache line holds the lock and the counters that every allocation and
// release change together.
alignas(64) kuv_heap_info_t g_info;

namespace {
inline kuv_heap_handler_t installed_handler() {
    return __atomic_load_n(&g_info.handler, __ATOMIC_RELAXED);
}
}  // namespace

// One counter, read under the heap lock (shared) by a thread that may read
// the counters (heap_lease.h); name and line are the caller's.
template <uint64_t kuv_heap_info_t::*Counter>
uint64_t read_counter(const char *name, int32_t line) {
    lease::claim();
    return kuv::lock::run_shared(&g_info.lock, name, line, [] { return g_info.*Counter; });
}

void warn_null_release() {
    std::fputs("kuv: [WARNING] null pointer free ? \n", stderr);
}

}  // namespace kuv::heap

using kuv::heap::g_info;
using kuv::heap::installed_handler;

extern "C" {

void *kuv_xapi_heap(void *pointer, uint64_t size) {
    kuv_heap_handler_t handler = installed_handler();
    return handler ? handler(pointer, size) : kuv_xapi_heap_debug(pointer, size);
}

// Allocation and release are kuv_xapi_heap with the operation known, so the
// checking heap's block operations run here directly.
void *kuv_xapi_alloc(uint64_t size) {
    if (kuv_heap_handler_t handler = installed_handler()) return handler(nullptr, size);
    if (__builtin_expect(size == 0, 0)) return kuv_xapi_heap_debug(nullptr, 0);
    return kuv::heap::allocate_block(size);
}

void *kuv_xapi_free(void *pointer) {
    if (kuv_heap_handler_t handler = installed_handler()) return handler(pointer, 0);
    if (__builtin_expect(!pointer, 0)) return kuv_xapi_heap_debug(nullptr, 0);
    kuv::heap::release_block(pointer);
    return nullptr;
}

void *kuv_xapi_realloc(void *pointer, uint64_t size) {
    return kuv_xapi_heap(pointer, size);
}

void *kuv_xapi_calloc(uint64_t count, uint64_t size) {
    return kuv::heap::allocate_cleared<kuv_xapi_alloc>(count, size);
}

uint32_t kuv_xapi_set_heap_handler(kuv_heap_handler_t handler, kuv_heap_handler_t *previous) {
    if (previous) *previous = installed_handler();
    __atomic_store_n(&g_info.handler, handler, __ATOMIC_RELAXED);
    return 1;
}

kuv_heap_info_t *kuv_xapi_get_heap_info(kuv_heap_info_t *place) {
    // The live record given as the place is the record already; copied onto
    // itself it would keep this reading's holding of the heap lock, which
    // no one would release.
    if (!place || place == &g_info) return &g_info;
    using kuv::lock::load_relaxed;
    kuv_heap_info_t copy{};
    {
        // Released only when taken: a dead-lock callback may end the wait,
        // and the holding then released would be another thread's.
        const kuv::LockGuard hold(&g_info.lock, KUV_LOCK_MODE_SHARED, "kuv_xapi_get_heap_info",
                                  __LINE__);
        // The counters hold still while the lock is held. The lock's own
        // fields change under other threads' attempts to take it, and the
        // handler slot under kuv_xapi_set_heap_handler: those are read one
        // atomic word at a time.
        copy.lock.guard = __atomic_load_n(&g_info.lock.guard, __ATOMIC_RELAXED);
        copy.lock.owner_name = load_relaxed(&g_info.lock.owner_name);
        copy.lock.owner_line = load_relaxed(&g_info.lock.owner_line);
        copy.lock.exclusive = load_relaxed(&g_info.lock.exclusive);
        copy.lock.count = load_relaxed(&g_info.lock.count);
        copy.handler = installed_handler();
        copy.allocated_memory_size = g_info.allocated_memory_size;
        copy.allocated_memory_count = g_info.allocated_memory_count;
        copy.allocated_memory_peak_size = g_info.allocated_memory_peak_size;
    }
    std::memcpy(static_cast<void *>(place), &copy, sizeof copy);
    return place;
}

uint64_t kuv_xapi_get_allocated_memory_size(void) {
    return kuv::heap::read_counter<&kuv_heap_info_t::allocated_memory_size>(__func__, __LINE__);
}

uint64_t kuv_xapi_get_allocated_memory_count(void) {
    return kuv::heap::read_counter<&kuv_heap_info_t::allocated_memory_count>(__func__, __LINE__);
}

uint64_t kuv_xapi_get_allocated_memory_peak_size(void) {
    return kuv::heap::read_counter<&kuv_heap_info_t::allocated_memory_peak_size>(__func__,
                                                                                 __LINE__);
}

int32_t kuv_xapi_mem_free_legacy_v1_by_windows_team(void **variable) {
    if (variable) *variable = kuv_xapi_free(*variable);
    return 0;
}

}  // extern "C"
