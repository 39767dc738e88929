// Measuring, copying and appending strings. Every copy terminates its
// destination; a NULL source or destination writes nothing.
#include <cstring>

#include "text/text_internal.h"

extern "C" {

uint64_t kuv_xapi_string_length(const char *s) {
    return s ? std::strlen(s) : 0;
}

uint64_t kuv_xapi_string_length_limit(const char *s, uint64_t limit) {
    // strnlen reads no byte beyond the limit, which lets callers measure
    // fixed fields that are not terminated.
    if (!s || limit == 0) return 0;
    return strnlen(s, kuv::text::system_limit(limit));
}

char *kuv_xapi_copy_string(char *dst, const char *src) {
    if (!dst || !src) return dst;
    // memmove: a caller shifting text down inside its own buffer stays safe.
    std::memmove(dst, src, std::strlen(src) + 1);
    return dst;
}

char *kuv_xapi_copy_string_limit(char *dst, const char *src, uint64_t limit) {
    if (!dst || !src) return dst;
    // At most limit bytes are copied and a terminator follows them, so the
    // destination needs limit + 1 bytes; bytes past that stay untouched.
    uint64_t length = kuv_xapi_string_length_limit(src, limit);
    std::memmove(dst, src, length);
    dst[length] = '\0';
    return dst;
}

char *kuv_xapi_append_string(char *dst, const char *src) {
    if (!dst) return nullptr;
    kuv_xapi_copy_string(dst + std::strlen(dst), src);
    return dst;
}

char *kuv_xapi_append_string_limit(char *dst, const char *src, uint64_t limit) {
    if (!dst) return nullptr;
    kuv_xapi_copy_string_limit(dst + std::strlen(dst), src, limit);
    return dst;
}

}  // extern "C"
