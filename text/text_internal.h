// Internal helpers of the text utilities: the two heap families as policy
// types, so that every sys_/tracked pair is one template, and the byte
// classes the string functions walk by.
#ifndef KUV_TEXT_INTERNAL_H
#define KUV_TEXT_INTERNAL_H

#include <cstdint>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"

namespace kuv::text {

// Blocks released with kuv_xapi_free; counted by the tracked heap.
struct TrackedHeap {
    static void *allocate(uint64_t size) { return kuv_xapi_alloc(size); }
    static void release(void *block) { kuv_xapi_free(block); }
};

// Blocks released with kuv_xapi_sys_free; plain malloc and free.
struct SystemHeap {
    static void *allocate(uint64_t size) { return kuv_xapi_sys_alloc(size); }
    static void release(void *block) { kuv_xapi_sys_free(block); }
};

// A limit as the C library's bounded calls take it (size_t, 32 bits wide on
// 32-bit targets): one beyond the address space bounds nothing, since the
// string ends before it, rather than keeping only its low bits.
inline size_t system_limit(uint64_t limit) {
    return limit < SIZE_MAX ? static_cast<size_t>(limit) : SIZE_MAX;
}

// A new terminated string of the first length bytes of text, from Heap.
template <class Heap>
char *duplicate_bytes(const char *text, uint64_t length) {
    char *copy = static_cast<char *>(Heap::allocate(length + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// The whole string (limit 0) or at most limit bytes of it, from Heap.
template <class Heap>
char *duplicate_string(const char *text, uint64_t limit) {
    if (!text) return nullptr;
    uint64_t length =
        limit != 0 ? kuv_xapi_string_length_limit(text, limit) : kuv_xapi_string_length(text);
    return duplicate_bytes<Heap>(text, length);
}

inline bool is_space(unsigned char byte) {
    return kuv_xapi_ctype_select(byte, KUV_CTYPE_SPACE) != 0;
}
inline bool is_digit(unsigned char byte) {
    return kuv_xapi_ctype_select(byte, KUV_CTYPE_DIGIT) != 0;
}
inline bool is_hex_digit(unsigned char byte) {
    return kuv_xapi_ctype_select(byte, KUV_CTYPE_XDIGIT) != 0;
}

}  // namespace kuv::text

#endif  // KUV_TEXT_INTERNAL_H
