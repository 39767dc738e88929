// Searches for line-end bytes, 32 bytes at a time where AVX2 is available
// and sixteen where SSE2 is. Both the line pop of the chained buffer and the line assembler
// spend nearly all their time skipping ordinary bytes, so these loops decide
// their speed on long lines.
#ifndef KUV_BUFFER_LINE_SCAN_H
#define KUV_BUFFER_LINE_SCAN_H

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kuv::buffer {

inline constexpr uint8_t kLineFeed = 10;
inline constexpr uint8_t kCarriageReturn = 13;
inline constexpr uint8_t kHighBit = 0x80;

inline bool is_line_end(uint8_t byte) {
    return byte == kLineFeed || byte == kCarriageReturn;
}

namespace detail {

// Index of the first CR or LF in bytes[from, length) (also the first byte
// with bit 7 set when StopAtHighBit), or length when there is none. Reads
// stay inside bytes[0, length): the last sixteen bytes are read as one
// block again, overlapping what was already searched, rather than one by
// one, since every chunk and node ends in such a tail.
template <bool StopAtHighBit>
size_t find_line_end_sse2(const uint8_t *bytes, size_t from, size_t length) {
    size_t index = from;
#if defined(__SSE2__)
    const __m128i line_feeds = _mm_set1_epi8(static_cast<char>(kLineFeed));
    const __m128i returns = _mm_set1_epi8(static_cast<char>(kCarriageReturn));
    // movemask collects bit 7 of each byte: of the comparison results, and
    // of the bytes themselves for the high-bit stop.
    auto stops = [&](size_t at) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + at));
        const __m128i ends =
            _mm_or_si128(_mm_cmpeq_epi8(block, line_feeds), _mm_cmpeq_epi8(block, returns));
        uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(ends));
        if constexpr (StopAtHighBit) mask |= static_cast<uint32_t>(_mm_movemask_epi8(block));
        return mask;
    };
    for (; index + 16 <= length; index += 16) {
        if (const uint32_t mask = stops(index))
            return index + static_cast<size_t>(__builtin_ctz(mask));
    }
    if (index == length) return length;
    if (length >= 16) {
        // Bits of the bytes in front of index were searched already.
        const size_t at = length - 16;
        const uint32_t mask = stops(at) >> (index - at);
        return mask != 0 ? index + static_cast<size_t>(__builtin_ctz(mask)) : length;
    }
#endif
    for (; index < length; ++index) {
        const uint8_t byte = bytes[index];
        if (is_line_end(byte)) return index;
        if (StopAtHighBit && (byte & kHighBit) != 0) return index;
    }
    return length;
}

#if defined(__x86_64__)
// The same search 32 bytes at a time, for processors with AVX2: lines of a
// hundred bytes then take four steps instead of seven. Written without
// lambdas, which would not inherit the target.
template <bool StopAtHighBit>
[[gnu::target("avx2")]] size_t find_line_end_avx2(const uint8_t *bytes, size_t from,
                                                  size_t length) {
    const __m256i line_feeds = _mm256_set1_epi8(static_cast<char>(kLineFeed));
    const __m256i returns = _mm256_set1_epi8(static_cast<char>(kCarriageReturn));
    size_t index = from;
    size_t at = index;
    uint32_t shift = 0;
    for (;;) {
        if (index + 32 > length) {
            if (index == length) return length;
            if (length < 32) return find_line_end_sse2<StopAtHighBit>(bytes, index, length);
            // The last 32 bytes again; bits of the bytes in front of index
            // were searched already.
            at = length - 32;
            shift = static_cast<uint32_t>(index - at);
        } else {
            at = index;
        }
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + at));
        const __m256i ends = _mm256_or_si256(_mm256_cmpeq_epi8(block, line_feeds),
                                             _mm256_cmpeq_epi8(block, returns));
        uint32_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(ends));
        if constexpr (StopAtHighBit) mask |= static_cast<uint32_t>(_mm256_movemask_epi8(block));
        mask >>= shift;
        if (mask != 0) return index + static_cast<size_t>(__builtin_ctz(mask));
        if (shift != 0) return length;
        index += 32;
    }
}

// Asked once and kept: -1 until then. A constant-initialized word needs no
// guard, and two threads that ask at once find the same answer.
inline int g_avx2_usable = -1;

inline bool has_avx2() {
    int usable = __atomic_load_n(&g_avx2_usable, __ATOMIC_RELAXED);
    if (usable < 0) {
        __builtin_cpu_init();
        usable = __builtin_cpu_supports("avx2") != 0;
        __atomic_store_n(&g_avx2_usable, usable, __ATOMIC_RELAXED);
    }
    return usable != 0;
}
#endif

}  // namespace detail

// Index of the first CR or LF in bytes[from, length) (also the first byte
// with bit 7 set when StopAtHighBit), or length when there is none; reads
// stay inside bytes[0, length).
template <bool StopAtHighBit>
inline size_t find_line_end(const uint8_t *bytes, size_t from, size_t length) {
#if defined(__x86_64__)
    if (detail::has_avx2()) return detail::find_line_end_avx2<StopAtHighBit>(bytes, from, length);
#endif
    return detail::find_line_end_sse2<StopAtHighBit>(bytes, from, length);
}

}  // namespace kuv::buffer

#endif  // KUV_BUFFER_LINE_SCAN_H
