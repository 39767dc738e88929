// Typed pops and peeks: 8-, 16-, 32- and 64-bit values in host,
// little-endian or big-endian order. One template over the width, the byte
// order and the access; the exported functions only instantiate it.
#include <cstring>

#include "buffer/buffer_internal.h"
#include "davro_kuv/runtime.h"

namespace kuv::buffer {
namespace {

enum class Order { kHost, kLittle, kBig };
enum class Access { kPop, kPeek };

// Converts a value read in the given order into host order through the
// library's byte-order values (which are their own inverses).
template <typename Value, Order order>
Value to_host(Value raw) {
    if constexpr (order == Order::kHost || sizeof(Value) == 1) {
        return raw;
    } else if constexpr (sizeof(Value) == 2) {
        const uint32_t converted =
            order == Order::kLittle ? kuv_xapi_leword_value(raw) : kuv_xapi_beword_value(raw);
        return static_cast<Value>(converted & 0xFFFFu);
    } else if constexpr (sizeof(Value) == 4) {
        return order == Order::kLittle ? kuv_xapi_ledword_value(raw) : kuv_xapi_bedword_value(raw);
    } else {
        static_assert(sizeof(Value) == 8, "typed access is 1, 2, 4 or 8 bytes wide");
        return order == Order::kLittle ? kuv_xapi_leqword_value(raw) : kuv_xapi_beqword_value(raw);
    }
}

// Reads exactly one value: pops it, or peeks at offset. With no place a pop
// discards the value's bytes. False when fewer bytes are held; nothing is
// consumed and *place is left alone then.
template <typename Value, Order order, Access access>
bool read_value(kuv_buffer_t &buffer, Value *place, uint64_t offset) {
    constexpr uint64_t width = sizeof(Value);
    uint8_t bytes[width];
    if (!holds(buffer, width, offset)) return false;
    if constexpr (access == Access::kPop)
        pop_bytes(buffer, place ? bytes : nullptr, width);
    else
        peek_bytes(buffer, bytes, width, offset);
    if (place) {
        Value raw;
        std::memcpy(&raw, bytes, width);
        *place = to_host<Value, order>(raw);
    }
    return true;
}

// Byte and word forms: the value itself, or -1. A missing handle also gives
// -1, since 0 is a value these forms return.
template <typename Value, Order order, Access access>
int32_t small_value(kuv_buffer_t *buffer, uint64_t offset) {
    if (!has_handle(buffer)) return -1;
    Value value;
    if (!read_value<Value, order, access>(*buffer, &value, offset)) return -1;
    return static_cast<int32_t>(value);
}

// Dword and qword forms: 1 with the value stored into place, else 0.
template <typename Value, Order order, Access access>
int32_t placed_value(kuv_buffer_t *buffer, Value *place, uint64_t offset) {
    if (!has_handle(buffer)) return 0;
    if (access == Access::kPeek && !place) {
        say(kInvalidArgument);
        return 0;
    }
    return read_value<Value, order, access>(*buffer, place, offset) ? 1 : 0;
}

}  // namespace
}  // namespace kuv::buffer

using kuv::buffer::Access;
using kuv::buffer::Order;
using kuv::buffer::placed_value;
using kuv::buffer::small_value;

extern "C" {

int32_t kuv_xapi_pop_buffer_byte(kuv_buffer_t *buffer) {
    return small_value<uint8_t, Order::kHost, Access::kPop>(buffer, 0);
}
int32_t kuv_xapi_pop_buffer_word(kuv_buffer_t *buffer) {
    return small_value<uint16_t, Order::kHost, Access::kPop>(buffer, 0);
}
int32_t kuv_xapi_pop_buffer_leword(kuv_buffer_t *buffer) {
    return small_value<uint16_t, Order::kLittle, Access::kPop>(buffer, 0);
}
int32_t kuv_xapi_pop_buffer_beword(kuv_buffer_t *buffer) {
    return small_value<uint16_t, Order::kBig, Access::kPop>(buffer, 0);
}
int32_t kuv_xapi_pop_buffer_dword(kuv_buffer_t *buffer, uint32_t *value) {
    return placed_value<uint32_t, Order::kHost, Access::kPop>(buffer, value, 0);
}
int32_t kuv_xapi_pop_buffer_ledword(kuv_buffer_t *buffer, uint32_t *value) {
    return placed_value<uint32_t, Order::kLittle, Access::kPop>(buffer, value, 0);
}
int32_t kuv_xapi_pop_buffer_bedword(kuv_buffer_t *buffer, uint32_t *value) {
    return placed_value<uint32_t, Order::kBig, Access::kPop>(buffer, value, 0);
}
int32_t kuv_xapi_pop_buffer_qword(kuv_buffer_t *buffer, uint64_t *value) {
    return placed_value<uint64_t, Order::kHost, Access::kPop>(buffer, value, 0);
}
int32_t kuv_xapi_pop_buffer_leqword(kuv_buffer_t *buffer, uint64_t *value) {
    return placed_value<uint64_t, Order::kLittle, Access::kPop>(buffer, value, 0);
}
int32_t kuv_xapi_pop_buffer_beqword(kuv_buffer_t *buffer, uint64_t *value) {
    return placed_value<uint64_t, Order::kBig, Access::kPop>(buffer, value, 0);
}

int32_t kuv_xapi_peek_buffer_byte(kuv_buffer_t *buffer, uint64_t offset) {
    return small_value<uint8_t, Order::kHost, Access::kPeek>(buffer, offset);
}
int32_t kuv_xapi_peek_buffer_word(kuv_buffer_t *buffer, uint64_t offset) {
    return small_value<uint16_t, Order::kHost, Access::kPeek>(buffer, offset);
}
int32_t kuv_xapi_peek_buffer_leword(kuv_buffer_t *buffer, uint64_t offset) {
    return small_value<uint16_t, Order::kLittle, Access::kPeek>(buffer, offset);
}
int32_t kuv_xapi_peek_buffer_beword(kuv_buffer_t *buffer, uint64_t offset) {
    return small_value<uint16_t, Order::kBig, Access::kPeek>(buffer, offset);
}
int32_t kuv_xapi_peek_buffer_dword(kuv_buffer_t *buffer, uint32_t *value, uint64_t offset) {
    return placed_value<uint32_t, Order::kHost, Access::kPeek>(buffer, value, offset);
}
int32_t kuv_xapi_peek_buffer_ledword(kuv_buffer_t *buffer, uint32_t *value, uint64_t offset) {
    return placed_value<uint32_t, Order::kLittle, Access::kPeek>(buffer, value, offset);
}
int32_t kuv_xapi_peek_buffer_bedword(kuv_buffer_t *buffer, uint32_t *value, uint64_t offset) {
    return placed_value<uint32_t, Order::kBig, Access::kPeek>(buffer, value, offset);
}
int32_t kuv_xapi_peek_buffer_qword(kuv_buffer_t *buffer, uint64_t *value, uint64_t offset) {
    return placed_value<uint64_t, Order::kHost, Access::kPeek>(buffer, value, offset);
}
int32_t kuv_xapi_peek_buffer_leqword(kuv_buffer_t *buffer, uint64_t *value, uint64_t offset) {
    return placed_value<uint64_t, Order::kLittle, Access::kPeek>(buffer, value, offset);
}
int32_t kuv_xapi_peek_buffer_beqword(kuv_buffer_t *buffer, uint64_t *value, uint64_t offset) {
    return placed_value<uint64_t, Order::kBig, Access::kPeek>(buffer, value, offset);
}

}  // extern "C"
