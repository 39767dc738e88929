// The four integer readers and the number tests against a reference that
// reads with the C library's character classes and 64-bit wrapping.
#include <cctype>

#include "text_fuzz_support.h"

namespace {

uint64_t reference_read(const std::string &text, int32_t base) {
    if (text.empty()) return 0;
    size_t at = 0;
    bool negative = false;
    uint64_t radix = base > 2 ? static_cast<uint64_t>(base) : 10;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        at = 1;
    } else if (text[0] == '0') {
        if (text.size() == 1) return 0;
        if (text[1] == 'x') {
            at = 2;
            radix = 16;
        } else {
            at = 1;
            radix = base > 2 ? static_cast<uint64_t>(base) : 8;
        }
    }
    uint64_t value = 0;
    for (; at < text.size(); ++at) {
        int c = static_cast<unsigned char>(text[at]);
        if (!std::isxdigit(c)) break;
        uint64_t digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (digit >= radix) break;
        value = value * radix + digit;  // wraps modulo 2^64
    }
    return negative ? 0 - value : value;
}

bool all_of(const std::string &text, const char *accepted) {
    return !text.empty() && text.find_first_not_of(accepted) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    text_fuzz::HeapBalance balance;
    if (size < 1) return 0;
    // The first byte picks the base: signed, so negatives and the default
    // bases come up as often as large ones.
    int32_t base = static_cast<int8_t>(data[0]);
    ++data;
    --size;
    std::string text = text_fuzz::take_string(data, size);
    char *exact = text_fuzz::exact_copy(text);

    uint64_t expected = reference_read(text, base);
    // Wrapping modulo 2^64 and then cutting to 32 bits equals wrapping
    // modulo 2^32 directly.
    auto expected32 = static_cast<int32_t>(static_cast<uint32_t>(expected));
    FUZZ_CHECK(kuv_xapi_string_to_int(exact, base) == expected32);
    FUZZ_CHECK(kuv_xapi_string_to_int32(exact, base) == expected32);
    FUZZ_CHECK(kuv_xapi_string_to_int64(exact, base) == static_cast<int64_t>(expected));
    FUZZ_CHECK(kuv_xapi_string_to_max_int(exact, base) == static_cast<int64_t>(expected));

    FUZZ_CHECK(kuv_xapi_is_decimal_string(exact) == all_of(text, "0123456789+-"));
    FUZZ_CHECK(kuv_xapi_is_hexa_string(exact) == all_of(text, "0123456789abcdefABCDEF"));
    std::free(exact);
    return 0;
}
