// strip_escape_sequence: the result is never longer than the input, holds
// no escape byte, keeps the other bytes in order, and equals a reference
// that walks the input with an explicit sequence state.
#include <cctype>

#include "text_fuzz_support.h"

namespace {

std::string reference_strip(const std::string &text) {
    std::string kept;
    bool in_sequence = false;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (!in_sequence) {
            if (byte == 0x1B)
                in_sequence = true;
            else
                kept += c;
        } else if (!(std::isdigit(byte) || byte == '[' || byte == ':')) {
            in_sequence = false;  // the final byte goes with the sequence
        }
    }
    return kept;
}

bool is_subsequence(const std::string &part, const std::string &whole) {
    size_t at = 0;
    for (char c : whole)
        if (at < part.size() && part[at] == c) ++at;
    return at == part.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    text_fuzz::HeapBalance balance;
    std::string text = text_fuzz::take_string(data, size);
    char *exact = text_fuzz::exact_copy(text);
    FUZZ_CHECK(kuv_xapi_strip_escape_sequence(exact) == exact);
    std::string stripped = exact;
    FUZZ_CHECK(stripped.size() <= text.size());
    FUZZ_CHECK(stripped.find('\x1b') == std::string::npos);
    FUZZ_CHECK(is_subsequence(stripped, text));
    FUZZ_CHECK(stripped == reference_strip(text));
    if (text.find('\x1b') == std::string::npos) FUZZ_CHECK(stripped == text);
    // Stripping is idempotent: nothing is left that opens a sequence.
    kuv_xapi_strip_escape_sequence(exact);
    FUZZ_CHECK(stripped == exact);
    std::free(exact);
    return 0;
}
