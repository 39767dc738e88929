// Searches for line-end bytes, sixteen bytes at a time where SSE2 is
// available. Both the line pop of the chained buffer and the line assembler
// spend nearly all their time skipping ordinary bytes, so these loops decide
// their speed on long lines.
#ifndef KUV_BUFFER_LINE_SCAN_H
#define KUV_BUFFER_LINE_SCAN_H

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kuv::buffer {

inline constexpr uint8_t kLineFeed = 10;
inline constexpr uint8_t kCarriageReturn = 13;
inline constexpr uint8_t kHighBit = 0x80;

inline bool is_line_end(uint8_t byte) {
    return byte == kLineFeed || byte == kCarriageReturn;
}

// Index of the first CR or LF in data[0, length) (also the first byte with
// bit 7 set when StopAtHighBit), or length when there is none.
template <bool StopAtHighBit>
size_t find_line_end(const uint8_t *data, size_t length) {
    size_t index = 0;
#if defined(__SSE2__)
    const __m128i line_feeds = _mm_set1_epi8(static_cast<char>(kLineFeed));
    const __m128i returns = _mm_set1_epi8(static_cast<char>(kCarriageReturn));
    for (; index + 16 <= length; index += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + index));
        const __m128i ends =
            _mm_or_si128(_mm_cmpeq_epi8(block, line_feeds), _mm_cmpeq_epi8(block, returns));
        // movemask collects bit 7 of each byte: of the comparison results,
        // and of the bytes themselves for the high-bit stop.
        int mask = _mm_movemask_epi8(ends);
        if constexpr (StopAtHighBit) mask |= _mm_movemask_epi8(block);
        if (mask != 0) return index + static_cast<size_t>(__builtin_ctz(mask));
    }
#endif
    for (; index < length; ++index) {
        const uint8_t byte = data[index];
        if (is_line_end(byte)) return index;
        if (StopAtHighBit && (byte & kHighBit) != 0) return index;
    }
    return length;
}

}  // namespace kuv::buffer

#endif  // KUV_BUFFER_LINE_SCAN_H
