// Stripping a pattern from a string in place, and removing terminal escape
// sequences (colour and cursor codes) from text meant for logs.
#include <cstring>

#include "text/text_internal.h"

namespace kuv::text {
namespace {

constexpr unsigned char kEscape = 0x1B;

// Removes every occurrence of pattern in one pass: the text between
// occurrences is moved down behind what was kept so far. The search goes on
// after each removed occurrence in the original text, so an occurrence that
// only forms where the kept text meets the following text is left alone
// ("aabb" without "ab" is "ab"), and the work stays linear.
void strip_everywhere(char *s, const char *pattern, size_t pattern_length) {
    char *write = s;
    const char *read = s;
    while (const char *found = std::strstr(read, pattern)) {
        size_t kept = static_cast<size_t>(found - read);
        if (write != read) std::memmove(write, read, kept);
        write += kept;
        read = found + pattern_length;
    }
    if (write != read) std::memmove(write, read, std::strlen(read) + 1);
}

void strip_start(char *s, const char *pattern, size_t pattern_length) {
    size_t removed = 0;
    while (std::strncmp(s + removed, pattern, pattern_length) == 0)
        removed += pattern_length;
    if (removed != 0) std::memmove(s, s + removed, std::strlen(s + removed) + 1);
}

void strip_end(char *s, const char *pattern, size_t pattern_length) {
    size_t length = std::strlen(s);
    while (length >= pattern_length &&
           std::memcmp(s + length - pattern_length, pattern, pattern_length) == 0)
        length -= pattern_length;
    s[length] = '\0';
}

bool keeps_sequence_open(unsigned char byte) {
    return byte == '[' || byte == ':' || is_digit(byte);
}

}  // namespace
}  // namespace kuv::text

extern "C" {

char *kuv_xapi_strip_string(char *s, const char *pattern, uint32_t flags) {
    if (!s || !pattern || *pattern == '\0') return s;
    const size_t pattern_length = std::strlen(pattern);
    if (flags & KUV_STRIP_ALL) {
        kuv::text::strip_everywhere(s, pattern, pattern_length);
        return s;
    }
    if (flags & KUV_STRIP_START) kuv::text::strip_start(s, pattern, pattern_length);
    if (flags & KUV_STRIP_END) kuv::text::strip_end(s, pattern, pattern_length);
    return s;
}

char *kuv_xapi_strip_escape_sequence(char *s) {
    if (!s) return nullptr;
    size_t write = 0;
    size_t read = 0;
    bool in_sequence = false;
    // The walk ends at the terminator in either state, so a sequence cut
    // off at the end of the text never reads past it.
    for (; s[read] != '\0'; ++read) {
        auto byte = static_cast<unsigned char>(s[read]);
        if (in_sequence) {
            // Parameters keep the sequence open; any other byte is its final
            // byte and goes with it.
            in_sequence = kuv::text::keeps_sequence_open(byte);
        } else if (byte == kuv::text::kEscape) {
            in_sequence = true;
        } else {
            if (write != read) s[write] = s[read];
            ++write;
        }
    }
    if (write != read) s[write] = '\0';
    return s;
}

}  // extern "C"
