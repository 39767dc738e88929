// Character classes and one-byte case mapping, forwarded to the portability
// layer, and the helpers that make NULL strings printable or skip blanks.
#include "platform/sorvan_vkl.h"
#include "text/text_internal.h"

namespace {
// Printed in place of a missing string; never written to or released.
constexpr char kNullText[] = "{null}";
}  // namespace

extern "C" {

int32_t kuv_xapi_ctype_select(int32_t c, uint32_t mask) {
    // Callers compare the result with 1, so any non-zero answer is folded.
    return sorvan_ctype_select(c, mask) != 0 ? 1 : 0;
}

int32_t kuv_xapi_to_upper(int32_t c) {
    return sorvan_to_upper(c);
}

int32_t kuv_xapi_to_lower(int32_t c) {
    return sorvan_to_lower(c);
}

const char *kuv_xapi_check_string(const char *s) {
    return s ? s : kNullText;
}

const char *kuv_xapi_check_string_ex(const char *s, const char *fallback) {
    return s ? s : fallback;
}

char *kuv_xapi_skip_space(const char *s) {
    if (!s) return nullptr;
    while (*s != '\0' && kuv::text::is_space(static_cast<unsigned char>(*s)))
        ++s;
    return const_cast<char *>(s);
}

}  // extern "C"
