// Word splitting over a whole text, the way callers loop: every word is read
// with both functions, *position always lands on a separator or the
// terminator, the lengths match the words, and raw words joined with their
// separators give the text back.
#include <cctype>

#include "text_fuzz_support.h"

namespace {

bool is_blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    text_fuzz::HeapBalance balance;
    if (size < 1) return 0;
    const int32_t mode = data[0] & 1 ? KUV_WORD_TRIMMED : KUV_WORD_RAW;
    const uint64_t out_size = data[0] >> 1;  // 0 to 127, so cut copies occur
    ++data;
    --size;
    std::string separators = text_fuzz::take_string(data, size);
    std::string text = text_fuzz::take_string(data, size);
    char *exact = text_fuzz::exact_copy(text);
    const char *end = exact + text.size();

    std::string rebuilt;
    const char *position = exact;
    for (;;) {
        const char *start = position;
        const char *copy_position = position;
        char out[128];
        std::memset(out, 'Z', sizeof out);
        uint64_t length = kuv_xapi_get_word_sep(mode, separators.c_str(), &position, out, out_size);
        char *word = kuv_xapi_get_word_sep_alloc(mode, separators.c_str(), &copy_position);
        FUZZ_CHECK(word != nullptr);
        FUZZ_CHECK(copy_position == position);
        FUZZ_CHECK(position >= start && position <= end);
        FUZZ_CHECK(*position == '\0' || separators.find(*position) != std::string::npos);
        // Nothing between the word's start and the stop is a separator; the
        // trimmed mode first skips blanks, separators or not.
        const char *word_start = start;
        if (mode == KUV_WORD_TRIMMED)
            while (word_start < position && is_blank(*word_start))
                ++word_start;
        FUZZ_CHECK(std::string(word_start, position).find_first_of(separators) ==
                   std::string::npos);
        std::string whole = word;
        FUZZ_CHECK(whole.size() == length);
        if (out_size != 0) {
            size_t copied = length < out_size - 1 ? length : out_size - 1;
            FUZZ_CHECK(std::strlen(out) == copied);
            FUZZ_CHECK(whole.compare(0, copied, out) == 0);
        } else {
            FUZZ_CHECK(out[0] == 'Z');
        }
        if (mode == KUV_WORD_RAW) {
            FUZZ_CHECK(whole == std::string(start, position));
        } else {
            FUZZ_CHECK(whole.empty() || (!is_blank(whole.front()) && !is_blank(whole.back())));
            FUZZ_CHECK(std::string(start, position).find(whole) != std::string::npos);
        }
        kuv_xapi_free(word);
        rebuilt += whole;
        if (*position == '\0') break;
        rebuilt += *position;
        ++position;
    }
    FUZZ_CHECK(position == end);
    if (mode == KUV_WORD_RAW) FUZZ_CHECK(rebuilt == text);
    std::free(exact);
    return 0;
}
