// Tolerant integer readers and number tests. The readers never fail: they
// stop at the first byte that does not fit and return what they have.
#include <type_traits>

#include "text/text_internal.h"

namespace kuv::text {
namespace {

// Bases of 2 and less stand for the default base of the prefix.
uint32_t chosen_base(int32_t base, uint32_t default_base) {
    return base > 2 ? static_cast<uint32_t>(base) : default_base;
}

// Value of a hexadecimal digit byte (0-9, a-f, A-F).
uint32_t digit_value(unsigned char byte) {
    if (is_digit(byte)) return byte - '0';
    return static_cast<uint32_t>(kuv_xapi_to_lower(byte)) - 87;
}

// One reader for every width. The arithmetic is done unsigned, so overflow
// wraps around in the result's width instead of being undefined.
template <typename Result>
Result read_integer(const char *text, int32_t base) {
    using Unsigned = std::make_unsigned_t<Result>;
    if (!text || *text == '\0') return 0;

    bool negative = false;
    uint32_t radix;
    const char *at = text;
    // The prefix is judged on the first byte alone: a sign and "0x" do not
    // combine, and no blank is skipped.
    if (*at == '+' || *at == '-') {
        negative = *at == '-';
        ++at;
        radix = chosen_base(base, 10);
    } else if (*at == '0') {
        if (at[1] == '\0') return 0;
        if (at[1] == 'x') {
            at += 2;
            radix = 16;
        } else {
            ++at;
            radix = chosen_base(base, 8);
        }
    } else {
        radix = chosen_base(base, 10);
    }

    Unsigned value = 0;
    for (; *at != '\0'; ++at) {
        auto byte = static_cast<unsigned char>(*at);
        if (!is_hex_digit(byte)) break;
        uint32_t digit = digit_value(byte);
        if (digit >= radix) break;
        value = static_cast<Unsigned>(value * radix + digit);
    }
    if (negative) value = static_cast<Unsigned>(Unsigned{0} - value);
    return static_cast<Result>(value);
}

template <typename Accept>
int32_t all_bytes(const char *text, Accept accept) {
    if (!text || *text == '\0') return 0;
    for (; *text != '\0'; ++text)
        if (!accept(static_cast<unsigned char>(*text))) return 0;
    return 1;
}

}  // namespace
}  // namespace kuv::text

extern "C" {

int32_t kuv_xapi_string_to_int(const char *text, int32_t base) {
    return kuv::text::read_integer<int32_t>(text, base);
}

int32_t kuv_xapi_string_to_int32(const char *text, int32_t base) {
    return kuv::text::read_integer<int32_t>(text, base);
}

int64_t kuv_xapi_string_to_int64(const char *text, int32_t base) {
    return kuv::text::read_integer<int64_t>(text, base);
}

int64_t kuv_xapi_string_to_max_int(const char *text, int32_t base) {
    return kuv::text::read_integer<int64_t>(text, base);
}

int32_t kuv_xapi_is_decimal_string(const char *text) {
    // Signs count anywhere and any number of times: the test only tells
    // digits-and-signs text from anything else.
    return kuv::text::all_bytes(text, [](unsigned char byte) {
        return byte == '+' || byte == '-' || kuv::text::is_digit(byte);
    });
}

int32_t kuv_xapi_is_hexa_string(const char *text) {
    return kuv::text::all_bytes(text, kuv::text::is_hex_digit);
}

}  // extern "C"
