// The interface records: finding and appending them by name while the list
// is built, and freeing them with everything they own.
#include <utility>

#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"
#include "kuvnet/nic_internal.h"

namespace kuv::net {

namespace {

constexpr uint64_t kFirstIndexSize = 64;

// FNV-1a over the name's bytes.
uint64_t name_hash(const char *name) {
    uint64_t hash = 14695981039346656037ull;
    for (const char *at = name; *at; ++at) {
        hash ^= static_cast<uint8_t>(*at);
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

NicNameIndex::~NicNameIndex() {
    free_block(slots_);
}

void NicNameIndex::take(NicNameIndex &other) {
    slots_ = std::exchange(other.slots_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    count_ = std::exchange(other.count_, 0);
    usable_ = std::exchange(other.usable_, true);
}

NicNameIndex &NicNameIndex::operator=(NicNameIndex &&other) noexcept {
    if (this != &other) {
        free_block(slots_);
        take(other);
    }
    return *this;
}

nic *NicNameIndex::find(const char *name) const {
    if (capacity_ == 0) return nullptr;
    for (uint64_t slot = name_hash(name) & (capacity_ - 1);; slot = (slot + 1) & (capacity_ - 1)) {
        nic *record = slots_[slot];
        if (!record || kuv_xapi_compare_string(record->name, name) == 0) return record;
    }
}

bool NicNameIndex::grow() {
    const uint64_t capacity = capacity_ ? capacity_ * 2 : kFirstIndexSize;
    auto **slots = static_cast<nic **>(kuv_xapi_calloc(capacity, sizeof(nic *)));
    if (!slots) return false;
    for (uint64_t old = 0; old < capacity_; ++old) {
        if (!slots_[old]) continue;
        uint64_t slot = name_hash(slots_[old]->name) & (capacity - 1);
        while (slots[slot])
            slot = (slot + 1) & (capacity - 1);
        slots[slot] = slots_[old];
    }
    free_block(slots_);
    slots_ = slots;
    capacity_ = capacity;
    return true;
}

void NicNameIndex::add(nic *record) {
    if (!usable_) return;
    // The list stays whole without the index: it is only given up.
    if ((count_ + 1) * 2 > capacity_ && !grow()) {
        usable_ = false;
        return;
    }
    uint64_t slot = name_hash(record->name) & (capacity_ - 1);
    while (slots_[slot])
        slot = (slot + 1) & (capacity_ - 1);
    slots_[slot] = record;
    ++count_;
}

nic *NicChain::find(const char *name) const {
    if (index.usable()) return index.find(name);
    for (nic *record = head; record; record = record->next) {
        if (kuv_xapi_compare_string(record->name, name) == 0) return record;
    }
    return nullptr;
}

nic *NicChain::find_or_append(const char *name) {
    if (!name || name[0] == '\0') return nullptr;
    if (nic *known = find(name)) return known;
    auto *record = static_cast<nic *>(noted(kuv_xapi_calloc(1, sizeof(nic))));
    if (!record) return nullptr;
    record->name = noted(kuv_xapi_alloc_string(name, 0));
    // A record without its name could never be found again: drop it.
    if (!record->name) {
        kuv_xapi_free(record);
        return nullptr;
    }
    if (tail) {
        tail->next = record;
    } else {
        head = record;
    }
    tail = record;
    index.add(record);
    return record;
}

void free_nic(nic *record) {
    while (nic_ipv6 *entry = record->ipv6_list) {
        record->ipv6_list = entry->next;
        free_block(entry->address_text);
        free_block(entry->scope_name);
        kuv_xapi_free(entry);
    }
    while (nic_ipv4 *entry = record->ipv4_list) {
        record->ipv4_list = entry->next;
        free_block(entry->address_text);
        free_block(entry->netmask_text);
        free_block(entry->broadcast_text);
        free_block(entry->destination_text);
        kuv_xapi_free(entry);
    }
    free_block(record->flags_text);
    free_block(record->mac_text);
    free_block(record->mac);
    free_block(record->device_name);
    free_block(record->name);
    kuv_xapi_free(record);
}

}  // namespace kuv::net
