// The parser's small scanners, exported for callers that take a URI apart
// step by step. Each is one pass over the text.
#include <cstring>

#include "uri/uri_internal.h"

extern "C" {

int64_t kuv_iapi_count_char_uri(const char *text, int32_t character) {
    if (!text) return -1;
    auto value = static_cast<char>(character & 0xFF);
    int64_t count = 0;
    // The terminator never matches a non-zero value, and a zero value counts
    // nothing: the run stops at the end of the text either way.
    while (value != '\0' && text[count] == value)
        ++count;
    return count;
}

int64_t kuv_iapi_count_dot(const char *text) {
    if (!text) return -1;
    int64_t count = 0;
    for (const char *cursor = text; *cursor; ++cursor)
        if (*cursor == '.') ++count;
    return count;
}

char *kuv_iapi_delims_uri(const char *text, const char *delimiters) {
    if (!text || !delimiters) return nullptr;
    return const_cast<char *>(std::strpbrk(text, delimiters));
}

}  // extern "C"
