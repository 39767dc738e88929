// The wildcard matcher against a reference written from the matching rules
// as a small recursive function over string views.
#include <string_view>

#include "text_fuzz_support.h"

namespace {

// One step per call: the rules read directly, without the loop shape of the
// library's version.
int reference_match(std::string_view pattern, std::string_view text) {
    if (pattern.empty() || text.empty()) return pattern.empty() && text.empty();
    char head = pattern[0];
    if (head == '*') {
        std::string_view rest = pattern.substr(1);
        if (rest.empty()) return 1;  // a last '*' takes the non-empty rest
        size_t stop_at = 0;
        if (rest[0] == '\\') stop_at = 1;
        if (stop_at >= rest.size()) return 0;  // "*\" at the end
        size_t found = text.find(rest[stop_at]);
        if (found == std::string_view::npos) return 0;
        return reference_match(rest.substr(stop_at + 1), text.substr(found + 1));
    }
    if (head == '?') return reference_match(pattern.substr(1), text.substr(1));
    if (head == '\\') {
        if (pattern.size() < 2) return 0;
        head = pattern[1];
        pattern.remove_prefix(1);
    }
    if (head != text[0]) return 0;
    return reference_match(pattern.substr(1), text.substr(1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    text_fuzz::HeapBalance balance;
    std::string pattern = text_fuzz::take_string(data, size);
    std::string text = text_fuzz::take_string(data, size);
    char *exact_pattern = text_fuzz::exact_copy(pattern);
    char *exact_text = text_fuzz::exact_copy(text);

    int32_t result = kuv_xapi_check_pattern(exact_pattern, exact_text);
    FUZZ_CHECK(result == reference_match(pattern, text));
    // A pattern without wildcards matches exactly its own text.
    if (pattern.find_first_of("*?\\") == std::string::npos)
        FUZZ_CHECK(result == (pattern == text ? 1 : 0));
    // Every text matches itself once the wildcard bytes are escaped.
    std::string escaped;
    for (char c : text) {
        if (c == '*' || c == '?' || c == '\\') escaped += '\\';
        escaped += c;
    }
    FUZZ_CHECK(kuv_xapi_check_pattern(escaped.c_str(), exact_text) == 1);
    FUZZ_CHECK(kuv_xapi_check_pattern(exact_pattern, nullptr) ==
               kuv_xapi_check_pattern(exact_pattern, ""));
    FUZZ_CHECK(kuv_xapi_check_pattern(nullptr, exact_text) == -1);
    std::free(exact_pattern);
    std::free(exact_text);
    return 0;
}
