// Wildcard matching without backtracking: '*' runs up to the first
// occurrence of the pattern byte that follows it and never tries a later
// one, which keeps every match linear in the text.
#include "text/text_internal.h"

extern "C" {

int32_t kuv_xapi_check_pattern(const char *pattern, const char *text) {
    if (!pattern) return -1;
    if (!text) text = "";
    const char *p = pattern;
    const char *t = text;
    for (;;) {
        // A pattern or text that has ended matches only when both have; so
        // a '*' needs at least one byte when it stands where the text ends.
        if (*p == '\0' || *t == '\0') return (*p == '\0' && *t == '\0') ? 1 : 0;
        if (*p == '*') {
            ++p;
            const bool star_is_last = *p == '\0';
            if (*p == '\\') ++p;  // the stop byte after a backslash
            const char stop = *p;
            while (*t != '\0' && *t != stop)
                ++t;
            // A trailing '*' takes the rest of the text; any other '*' whose
            // stop byte never comes fails (as does a pattern ending in a
            // lone backslash, whose stop byte is the terminator).
            if (*t == '\0') return star_is_last ? 1 : 0;
            ++p;
            ++t;
            continue;
        }
        if (*p == '?') {
            ++p;
            ++t;
            continue;
        }
        if (*p == '\\') {
            ++p;
            if (*p == '\0') return 0;
        }
        if (*p != *t) return 0;
        ++p;
        ++t;
    }
}

}  // extern "C"
