// Formatted printing into new strings of exactly the needed size, and
// appending formatted text to an allocated string. Both heap families share
// one template; the scratch buffer is always on the system heap.
#include "runtime/guards.h"
#include "text/text_internal.h"

namespace kuv::text {
namespace {

// The scratch buffer grows in steps of one page-sized block; a text that
// does not fit the last attempt below the ceiling is refused, which bounds
// what one format call can allocate.
constexpr uint64_t kScratchStep = 4096;
constexpr uint64_t kScratchCeiling = 524288;

}  // namespace

template <class Heap>
char *format_alloc(const char *format, va_list list) {
    if (!format) return nullptr;
    for (uint64_t size = kScratchStep; size < kScratchCeiling; size += kScratchStep) {
        SystemBlock scratch(kuv_xapi_sys_alloc(size));
        if (!scratch) return nullptr;
        // Every attempt formats the whole list from its start: a va_list
        // consumed by one pass cannot be read again.
        va_list attempt;
        va_copy(attempt, list);
        int32_t count = kuv_xapi_vsnprintf_fast(scratch.chars(), size, format, attempt);
        va_end(attempt);
        // The formatter could not produce the text at all; what stands in the
        // scratch buffer is not to be trusted.
        if (count < 0) return nullptr;
        // A text of exactly size - 1 characters would fit but is sent to
        // the next size, which keeps the longest text at 520190 characters.
        if (static_cast<uint64_t>(count) < size - 1)
            return duplicate_string<Heap>(scratch.chars(), 0);
    }
    return nullptr;
}

template char *format_alloc<TrackedHeap>(const char *, va_list);
template char *format_alloc<SystemHeap>(const char *, va_list);

namespace {

// old followed by the formatted text. When the text cannot be made, old
// stays the caller's and comes back as it was; otherwise old is released
// whatever happens next.
template <class Heap>
char *format_append(char *old, const char *format, va_list list) {
    char *piece = format_alloc<Heap>(format, list);
    if (!piece) return old;
    if (!old) return piece;
    const uint64_t old_length = kuv_xapi_string_length(old);
    const uint64_t piece_length = kuv_xapi_string_length(piece);
    char *joined = static_cast<char *>(Heap::allocate(old_length + piece_length + 1));
    if (joined) {
        std::memcpy(joined, old, old_length);
        std::memcpy(joined + old_length, piece, piece_length + 1);
    }
    Heap::release(old);
    Heap::release(piece);
    return joined;
}

}  // namespace
}  // namespace kuv::text

extern "C" {

char *kuv_xapi_sys_alloc_vsprintf(const char *format, va_list list) {
    return kuv::text::format_alloc<kuv::text::SystemHeap>(format, list);
}

char *kuv_xapi_alloc_vsprintf(const char *format, va_list list) {
    return kuv::text::format_alloc<kuv::text::TrackedHeap>(format, list);
}

char *kuv_xapi_sys_alloc_sprintf(const char *format, ...) {
    va_list list;
    va_start(list, format);
    char *text = kuv::text::format_alloc<kuv::text::SystemHeap>(format, list);
    va_end(list);
    return text;
}

char *kuv_xapi_alloc_sprintf(const char *format, ...) {
    va_list list;
    va_start(list, format);
    char *text = kuv::text::format_alloc<kuv::text::TrackedHeap>(format, list);
    va_end(list);
    return text;
}

char *kuv_xapi_sys_alloc_append_vsprintf(char *old, const char *format, va_list list) {
    return kuv::text::format_append<kuv::text::SystemHeap>(old, format, list);
}

char *kuv_xapi_alloc_append_vsprintf(char *old, const char *format, va_list list) {
    return kuv::text::format_append<kuv::text::TrackedHeap>(old, format, list);
}

char *kuv_xapi_sys_alloc_append_sprintf(char *old, const char *format, ...) {
    va_list list;
    va_start(list, format);
    char *text = kuv::text::format_append<kuv::text::SystemHeap>(old, format, list);
    va_end(list);
    return text;
}

char *kuv_xapi_alloc_append_sprintf(char *old, const char *format, ...) {
    va_list list;
    va_start(list, format);
    char *text = kuv::text::format_append<kuv::text::TrackedHeap>(old, format, list);
    va_end(list);
    return text;
}

}  // extern "C"
