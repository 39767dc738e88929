// strip_string against a reference that follows the stripping rules on a
// std::string, one removal at a time.
#include "text_fuzz_support.h"

namespace {

std::string reference_strip(std::string text, const std::string &pattern, uint32_t flags) {
    if (pattern.empty()) return text;
    if (flags & KUV_STRIP_ALL) {
        size_t at = text.find(pattern);
        while (at != std::string::npos) {
            text.erase(at, pattern.size());
            at = text.find(pattern, at);
        }
        return text;
    }
    if (flags & KUV_STRIP_START)
        while (text.compare(0, pattern.size(), pattern) == 0)
            text.erase(0, pattern.size());
    if (flags & KUV_STRIP_END)
        while (text.size() >= pattern.size() &&
               text.compare(text.size() - pattern.size(), pattern.size(), pattern) == 0)
            text.resize(text.size() - pattern.size());
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    text_fuzz::HeapBalance balance;
    if (size < 1) return 0;
    uint32_t flags = data[0];
    ++data;
    --size;
    std::string pattern = text_fuzz::take_string(data, size);
    std::string text = text_fuzz::take_string(data, size);
    char *exact = text_fuzz::exact_copy(text);
    char *exact_pattern = text_fuzz::exact_copy(pattern);

    FUZZ_CHECK(kuv_xapi_strip_string(exact, exact_pattern, flags) == exact);
    std::string stripped = exact;
    FUZZ_CHECK(stripped == reference_strip(text, pattern, flags));
    FUZZ_CHECK(stripped.size() <= text.size());
    if (!pattern.empty() && (flags & KUV_STRIP_START) && !(flags & KUV_STRIP_ALL))
        FUZZ_CHECK(stripped.compare(0, pattern.size(), pattern) != 0);
    FUZZ_CHECK(kuv_xapi_strip_string(exact, nullptr, flags) == exact);
    FUZZ_CHECK(std::string(exact) == stripped);
    std::free(exact);
    std::free(exact_pattern);
    return 0;
}
