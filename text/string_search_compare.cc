// Searching and comparing strings. A NULL string finds nothing and compares
// unequal to everything, itself included.
#include <cstring>

#include "text/text_internal.h"

extern "C" {

char *kuv_xapi_search_character(const char *s, int32_t c) {
    // The terminator is never a match: searching for it would hand callers
    // a pointer they take for a found separator.
    char wanted = static_cast<char>(c & 0xFF);
    if (!s || wanted == '\0') return nullptr;
    return const_cast<char *>(std::strchr(s, wanted));
}

char *kuv_xapi_rsearch_character(const char *s, int32_t c) {
    char wanted = static_cast<char>(c & 0xFF);
    if (!s || wanted == '\0') return nullptr;
    return const_cast<char *>(std::strrchr(s, wanted));
}

char *kuv_xapi_search_string(const char *haystack, const char *needle) {
    if (!haystack || !needle) return nullptr;
    return const_cast<char *>(std::strstr(haystack, needle));
}

int32_t kuv_xapi_compare_string(const char *a, const char *b) {
    if (!a || !b) return -1;
    return std::strcmp(a, b);
}

int32_t kuv_xapi_compare_string_limit(const char *a, const char *b, uint64_t limit) {
    if (!a || !b) return -1;
    return std::strncmp(a, b, kuv::text::system_limit(limit));
}

}  // extern "C"
