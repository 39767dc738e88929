// An index of records by the name each holds (a `name` member, a C string
// that stays put while the record is indexed), on the tracked heap: open
// addressing over a table of record pointers kept at most half full, so a
// lookup costs about the same however many names there are. The index
// owns its table, never the records.
#ifndef KUV_TEXT_NAME_INDEX_H
#define KUV_TEXT_NAME_INDEX_H

#include <cstdint>
#include <cstring>
#include <utility>

#include "davro_kuv/runtime.h"

namespace kuv::text {

// FNV-1a over the name's bytes.
inline uint64_t name_hash(const char *name) {
    uint64_t hash = 14695981039346656037ull;
    for (const char *at = name; *at; ++at) {
        hash ^= static_cast<uint8_t>(*at);
        hash *= 1099511628211ull;
    }
    return hash;
}

template <typename Record>
class NameIndex {
  public:
    NameIndex() = default;
    ~NameIndex() {
        if (slots_) kuv_xapi_free(slots_);
    }
    NameIndex(const NameIndex &) = delete;
    NameIndex &operator=(const NameIndex &) = delete;
    // Moved, the table goes along and the source is empty again.
    NameIndex(NameIndex &&other) noexcept { take(other); }
    NameIndex &operator=(NameIndex &&other) noexcept {
        if (this != &other) {
            if (slots_) kuv_xapi_free(slots_);
            take(other);
        }
        return *this;
    }

    // False once a table could not grow for want of memory: the index then
    // takes no more records, and its owner finds names another way or not
    // at all.
    bool usable() const { return usable_; }

    // The record of that exact name among those added, or null.
    Record *find(const char *name) const {
        if (capacity_ == 0) return nullptr;
        for (uint64_t slot = name_hash(name) & (capacity_ - 1);;
             slot = (slot + 1) & (capacity_ - 1)) {
            Record *record = slots_[slot];
            if (!record || std::strcmp(record->name, name) == 0) return record;
        }
    }

    // Indexes the record; false when it could not be (no memory).
    bool add(Record *record) {
        if (!usable_) return false;
        if ((count_ + 1) * 2 > capacity_ && !grow()) {
            usable_ = false;
            return false;
        }
        place(slots_, capacity_, record);
        ++count_;
        return true;
    }

  private:
    static constexpr uint64_t kFirstCapacity = 64;

    void take(NameIndex &other) {
        slots_ = std::exchange(other.slots_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        count_ = std::exchange(other.count_, 0);
        usable_ = std::exchange(other.usable_, true);
    }

    static void place(Record **slots, uint64_t capacity, Record *record) {
        uint64_t slot = name_hash(record->name) & (capacity - 1);
        while (slots[slot])
            slot = (slot + 1) & (capacity - 1);
        slots[slot] = record;
    }

    bool grow() {
        const uint64_t capacity = capacity_ ? capacity_ * 2 : kFirstCapacity;
        auto **slots = static_cast<Record **>(kuv_xapi_calloc(capacity, sizeof(Record *)));
        if (!slots) return false;
        for (uint64_t slot = 0; slot < capacity_; ++slot) {
            if (slots_[slot]) place(slots, capacity, slots_[slot]);
        }
        if (slots_) kuv_xapi_free(slots_);
        slots_ = slots;
        capacity_ = capacity;
        return true;
    }

    Record **slots_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t count_ = 0;
    bool usable_ = true;
};

}  // namespace kuv::text

#endif  // KUV_TEXT_NAME_INDEX_H
