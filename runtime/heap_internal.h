// The heap's process-wide record, shared by the heap files.
#ifndef KUV_RUNTIME_HEAP_INTERNAL_H
#define KUV_RUNTIME_HEAP_INTERNAL_H

#include <cstring>

#include "davro_kuv/runtime.h"

namespace kuv::heap {

// Zeroed static storage: an unlocked lock, zero counters, no handler.
extern kuv_heap_info_t g_info;

// Prints "kuv: [WARNING] null pointer free ? " for a release of nothing.
void warn_null_release();

// count * size, or false when the product does not fit in 64 bits.
inline bool checked_product(uint64_t count, uint64_t size, uint64_t *product) {
    return !__builtin_mul_overflow(count, size, product);
}

// The calloc of a heap family: count * size bytes from the family's own
// allocation function, cleared; none when the product overflows 64 bits.
template <void *(*Allocate)(uint64_t)>
void *allocate_cleared(uint64_t count, uint64_t size) {
    uint64_t bytes;
    if (!checked_product(count, size, &bytes)) return nullptr;
    void *block = Allocate(bytes);
    if (block) std::memset(block, 0, bytes);
    return block;
}

}  // namespace kuv::heap

#endif  // KUV_RUNTIME_HEAP_INTERNAL_H
