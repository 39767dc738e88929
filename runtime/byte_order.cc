// Byte-order values: host order to and from little- and big-endian.
#include <cstring>

#include "davro_kuv/runtime.h"

namespace {

constexpr unsigned char kOrderMark[4] = {0x12, 0x34, 0x56, 0x78};
constexpr uint32_t kLittleEndianMark = 0x78563412u;
constexpr uint32_t kBigEndianMark = 0x12345678u;

uint32_t order_mark() {
    uint32_t mark;
    std::memcpy(&mark, kOrderMark, sizeof mark);
    return mark;
}

uint32_t swap_word(uint32_t value) {
    return (value & 0xFFFF0000u) | ((value & 0xFFu) << 8) | ((value >> 8) & 0xFFu);
}

}  // namespace

extern "C" {

uint32_t kuv_xapi_get_order(void) {
    return order_mark();
}

uint32_t kuv_xapi_le_value(uint32_t value) {
    return order_mark() == kLittleEndianMark ? value : __builtin_bswap32(value);
}
uint32_t kuv_xapi_ledword_value(uint32_t value) {
    return kuv_xapi_le_value(value);
}
uint32_t kuv_xapi_leword_value(uint32_t value) {
    return order_mark() == kLittleEndianMark ? value : swap_word(value);
}
uint64_t kuv_xapi_leqword_value(uint64_t value) {
    return order_mark() == kLittleEndianMark ? value : __builtin_bswap64(value);
}

uint32_t kuv_xapi_be_value(uint32_t value) {
    return order_mark() == kBigEndianMark ? value : __builtin_bswap32(value);
}
uint32_t kuv_xapi_bedword_value(uint32_t value) {
    return kuv_xapi_be_value(value);
}
uint32_t kuv_xapi_beword_value(uint32_t value) {
    return order_mark() == kBigEndianMark ? value : swap_word(value);
}
uint64_t kuv_xapi_beqword_value(uint64_t value) {
    return order_mark() == kBigEndianMark ? value : __builtin_bswap64(value);
}

}  // extern "C"
