// Shared by the text fuzz targets: property checks that abort, and a guard
// that the tracked heap holds as many blocks and bytes after an input as
// before it.
#ifndef KUV_FUZZ_TEXT_FUZZ_SUPPORT_H
#define KUV_FUZZ_TEXT_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>

#include "davro_kuv.h"
#include "fuzz_check.h"

namespace text_fuzz {

class HeapBalance {
  public:
    HeapBalance()
        : blocks_(kuv_xapi_get_allocated_memory_count()),
          bytes_(kuv_xapi_get_allocated_memory_size()) {}
    ~HeapBalance() {
        FUZZ_CHECK(kuv_xapi_get_allocated_memory_count() == blocks_);
        FUZZ_CHECK(kuv_xapi_get_allocated_memory_size() == bytes_);
    }

  private:
    uint64_t blocks_;
    uint64_t bytes_;
};

// Consumes bytes up to the next NUL (or the end) as one string.
inline std::string take_string(const uint8_t *&data, size_t &size) {
    const void *nul = std::memchr(data, 0, size);
    size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
    std::string text(reinterpret_cast<const char *>(data), length);
    size_t used = nul ? length + 1 : length;
    data += used;
    size -= used;
    return text;
}

// An exactly sized copy on the system heap, so that the sanitizer sees any
// byte read or written past the terminator.
inline char *exact_copy(const std::string &text) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace text_fuzz

#endif  // KUV_FUZZ_TEXT_FUZZ_SUPPORT_H
