// The descriptor array of one wait, grown on the tracked heap.
#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"

namespace kuv::kue {

namespace {

constexpr uint32_t kFirstCapacity = 16;

}  // namespace

bool reserve_wait_set(WaitSet *set, uint32_t needed) {
    if (needed <= set->capacity) return true;
    uint64_t capacity = set->capacity ? set->capacity : kFirstCapacity;
    while (capacity < needed)
        capacity *= 2;
    if (capacity > UINT32_MAX) capacity = UINT32_MAX;
    void *grown = kuv_xapi_realloc(set->slots, capacity * sizeof(pollfd));
    if (!grown) return false;
    set->slots = static_cast<pollfd *>(grown);
    set->capacity = static_cast<uint32_t>(capacity);
    return true;
}

bool add_to_wait_set(WaitSet *set, int32_t descriptor, short events) {
    if (set->count == UINT32_MAX || !reserve_wait_set(set, set->count + 1)) return false;
    set->slots[set->count++] = pollfd{descriptor, events, 0};
    return true;
}

void release_wait_set(WaitSet *set) {
    if (set->slots) kuv_xapi_free(set->slots);
    *set = WaitSet{};
}

}  // namespace kuv::kue
