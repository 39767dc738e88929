// The 20-byte event header in front of every event's payload, little-endian:
// type (4), cmd (4), seq (4), remaining lifetime in milliseconds (8).
// Pure functions on bytes, shared by the poll loop and the tests.
#ifndef KUV_KUE_EVENT_HEADER_H
#define KUV_KUE_EVENT_HEADER_H

#include <cstdint>
#include <span>

#include "davro_kuv/kue.h"

namespace kuv::kue {

inline constexpr uint64_t kHeaderSize = KUE_EVENT_HEADER_SIZE;
inline constexpr uint64_t kNever = KUE_NEVER_EXPIRES;

struct EventHeader {
    uint32_t type = 0;
    uint32_t cmd = 0;
    uint32_t seq = 0;
    uint64_t remaining_msec = 0;
};

// What is left of an event's life at `now`; nothing once it has passed.
// An event that never expires travels as all ones minus the sender's time,
// which is what other programs send and read.
constexpr uint64_t remaining_lifetime(uint64_t expire_time, uint64_t now) {
    return expire_time < now ? 0 : expire_time - now;
}

// The receiver's expiry: its own time plus the remaining lifetime. The sum
// saturates, because a "never" lifetime (all ones minus the sender's time)
// plus a receiver's time at or past the sender's would otherwise wrap to a
// small value and drop the event as already expired.
constexpr uint64_t expiry_from_remaining(uint64_t now, uint64_t remaining_msec) {
    uint64_t sum;
    return __builtin_add_overflow(now, remaining_msec, &sum) ? kNever : sum;
}

namespace detail {
constexpr void put_le(std::span<uint8_t> bytes, uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}
constexpr uint64_t get_le(std::span<const uint8_t> bytes, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}
}  // namespace detail

// Writes the header into the first 20 bytes of `bytes` (which must hold
// them).
constexpr void write_event_header(std::span<uint8_t, kHeaderSize> bytes,
                                  const EventHeader &header) {
    detail::put_le(bytes.subspan(0, 4), header.type, 4);
    detail::put_le(bytes.subspan(4, 4), header.cmd, 4);
    detail::put_le(bytes.subspan(8, 4), header.seq, 4);
    detail::put_le(bytes.subspan(12, 8), header.remaining_msec, 8);
}

constexpr EventHeader read_event_header(std::span<const uint8_t, kHeaderSize> bytes) {
    EventHeader header;
    header.type = static_cast<uint32_t>(detail::get_le(bytes.subspan(0, 4), 4));
    header.cmd = static_cast<uint32_t>(detail::get_le(bytes.subspan(4, 4), 4));
    header.seq = static_cast<uint32_t>(detail::get_le(bytes.subspan(8, 4), 4));
    header.remaining_msec = detail::get_le(bytes.subspan(12, 8), 8);
    return header;
}

}  // namespace kuv::kue

#endif  // KUV_KUE_EVENT_HEADER_H
