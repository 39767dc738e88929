// Splitting text into words at separator bytes. The caller keeps a cursor
// (*position); each call reads one word and leaves the cursor on the byte
// that ended it, the separator or the terminator, without consuming it.
#include <cstring>

#include "text/text_internal.h"

namespace kuv::text {
namespace {

struct Word {
    const char *start = nullptr;
    uint64_t length = 0;
};

// Reads the word at *position and moves *position to the byte that ended
// it. Returns false (cursor untouched) when any pointer is missing: the
// word functions are called in loops over parsed input, where a NULL must
// end the loop rather than crash it.
bool read_word(int32_t mode, const char *separators, const char **position, Word *word) {
    if (!separators || !position || !*position) return false;
    const bool trimmed = mode == KUV_WORD_TRIMMED;
    const char *start = trimmed ? kuv_xapi_skip_space(*position) : *position;
    // The separator test comes first, so a blank that is also a separator
    // ends the word instead of being trimmed; trailing blanks go afterwards.
    const char *stop = start + std::strcspn(start, separators);
    const char *end = stop;
    if (trimmed) {
        while (end > start && is_space(static_cast<unsigned char>(end[-1])))
            --end;
    }
    *position = stop;
    word->start = start;
    word->length = static_cast<uint64_t>(end - start);
    return true;
}

}  // namespace
}  // namespace kuv::text

extern "C" {

uint64_t kuv_xapi_get_word_sep(int32_t mode, const char *separators, const char **position,
                               char *out, uint64_t out_size) {
    kuv::text::Word word;
    const bool found = kuv::text::read_word(mode, separators, position, &word);
    if (out && out_size != 0) {
        // A cut copy still reports the full length, so callers can tell.
        uint64_t copied = word.length < out_size - 1 ? word.length : out_size - 1;
        if (found) std::memmove(out, word.start, copied);
        out[found ? copied : 0] = '\0';
    }
    return word.length;
}

char *kuv_xapi_get_word_sep_alloc(int32_t mode, const char *separators, const char **position) {
    kuv::text::Word word;
    if (!kuv::text::read_word(mode, separators, position, &word)) return nullptr;
    return kuv::text::duplicate_bytes<kuv::text::TrackedHeap>(word.start, word.length);
}

}  // extern "C"
