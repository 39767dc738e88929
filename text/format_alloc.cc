// Formatted printing into new strings of exactly the needed size, and
// appending formatted text to an allocated string. Both heap families share
// one template; the scratch buffer is always on the system heap.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <utility>

#include "text/text_internal.h"

namespace kuv::text {
namespace {

// The scratch buffer grows in steps of one page-sized block; a text that
// does not fit the last attempt below the ceiling is refused, which bounds
// what one format call can allocate.
constexpr uint64_t kScratchStep = 4096;
constexpr uint64_t kScratchCeiling = 524288;

// Each thread keeps one scratch block from the system heap, the largest it
// has needed up to kKeptScratchCeiling: a text costs one formatting pass and
// the allocation of its result, not a malloc and free of scratch as well,
// and a text longer than the first step is formatted twice only when its
// length is new to the thread. A thread-specific key frees the block when
// the thread ends (any thread, not only those the library starts); once it
// has, blocks are no longer kept. The record itself has no destructor, so
// it needs no exit hook of the C++ runtime.
constexpr uint64_t kKeptScratchCeiling = 65536;

struct ScratchCache {
    char *block = nullptr;
    uint64_t block_size = 0;
    bool registered = false;  // the key holds this thread's record
    bool retired = false;
    bool changing = false;  // a take or give-back is under way
};

thread_local ScratchCache t_scratch_cache;

pthread_once_t g_scratch_key_once = PTHREAD_ONCE_INIT;
pthread_key_t g_scratch_key;
bool g_scratch_key_made = false;

void release_scratch(void *record) {
    auto *cache = static_cast<ScratchCache *>(record);
    cache->retired = true;
    if (cache->block) kuv_xapi_sys_free(std::exchange(cache->block, nullptr));
}

void make_scratch_key() {
    g_scratch_key_made = pthread_key_create(&g_scratch_key, release_scratch) == 0;
}

// Marks the thread's record as being changed. A signal handler that formats
// in the middle of a take or give-back would otherwise find the record
// half-changed: a kept block already released but not yet replaced, which
// it would format into. A nested call therefore leaves the record alone
// while the mark stands. The handler runs to its end before the interrupted
// change goes on, so a plain flag kept in order by signal fences is enough.
class CacheChange {
  public:
    explicit CacheChange(ScratchCache &cache) : cache_(cache), owner_(!cache.changing) {
        if (!owner_) return;
        cache_.changing = true;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~CacheChange() {
        if (!owner_) return;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        cache_.changing = false;
    }
    CacheChange(const CacheChange &) = delete;
    CacheChange &operator=(const CacheChange &) = delete;

    // False in a nested call: the record is not to be touched.
    bool owner() const { return owner_; }

  private:
    ScratchCache &cache_;
    const bool owner_;
};

// The kept block when it holds at least `size` bytes, with its own size in
// *block_size; else NULL. A nested call (a signal handler formatting while
// this thread formats) finds none, or leaves the record alone while it is
// being changed, and allocates its own.
char *take_kept_scratch(uint64_t size, uint64_t *block_size) {
    ScratchCache &cache = t_scratch_cache;
    const CacheChange change(cache);
    if (!change.owner() || !cache.block || cache.block_size < size) return nullptr;
    *block_size = cache.block_size;
    return std::exchange(cache.block, nullptr);
}

// Keeps the larger of the kept block and this one; a nested call releases
// its own block.
void give_back_scratch(char *block, uint64_t size) {
    ScratchCache &cache = t_scratch_cache;
    const CacheChange change(cache);
    if (!change.owner() || cache.retired || size > kKeptScratchCeiling ||
        (cache.block && cache.block_size >= size)) {
        kuv_xapi_sys_free(block);
        return;
    }
    if (!cache.registered) {
        pthread_once(&g_scratch_key_once, make_scratch_key);
        if (!g_scratch_key_made || pthread_setspecific(g_scratch_key, &cache) != 0) {
            kuv_xapi_sys_free(block);
            return;
        }
        cache.registered = true;
    }
    if (cache.block) kuv_xapi_sys_free(cache.block);
    cache.block = block;
    cache.block_size = size;
}

// A system-heap scratch buffer of at least the given size for one attempt.
class ScratchBuffer {
  public:
    explicit ScratchBuffer(uint64_t size) : size_(size) {
        block_ = take_kept_scratch(size, &size_);
        if (!block_) block_ = static_cast<char *>(kuv_xapi_sys_alloc(size));
    }
    // The text formatted in it may be a secret (a password, a URI with
    // one): the bytes written are cleared before the block is kept for
    // the next text or released.
    ~ScratchBuffer() {
        if (!block_) return;
        explicit_bzero(block_, written_);
        give_back_scratch(block_, size_);
    }
    ScratchBuffer(const ScratchBuffer &) = delete;
    ScratchBuffer &operator=(const ScratchBuffer &) = delete;

    char *chars() const { return block_; }
    uint64_t size() const { return size_; }
    // Notes that a formatter reported count characters: it wrote them, cut
    // to the block, and a terminator.
    void note_written(int32_t count) {
        written_ = count < 0 ? size_ : std::min(static_cast<uint64_t>(count) + 1, size_);
    }

  private:
    uint64_t size_;
    uint64_t written_ = 0;
    char *block_ = nullptr;
};

// The first step size that holds a text of count characters under the
// count < size - 1 rule. The formatter reports the whole length even when
// the text was cut, so the steps known to be too small are not tried: the
// result is the same as trying each one, without formatting a long text
// once per step.
uint64_t first_fitting_step(uint64_t count) {
    uint64_t needed = count + 2;
    return (needed + kScratchStep - 1) / kScratchStep * kScratchStep;
}

// The formatted text as a new string from Heap, or NULL.
template <class Heap>
char *format_alloc(const char *format, va_list list) {
    if (!format) return nullptr;
    uint64_t size = kScratchStep;
    while (size < kScratchCeiling) {
        ScratchBuffer scratch(size);
        if (!scratch.chars()) return nullptr;
        // Every attempt formats the whole list from its start: a va_list
        // consumed by one pass cannot be read again.
        va_list attempt;
        va_copy(attempt, list);
        int32_t count = kuv_xapi_vsnprintf_fast(scratch.chars(), scratch.size(), format, attempt);
        va_end(attempt);
        scratch.note_written(count);
        // The formatter could not produce the text at all; what stands in the
        // scratch buffer is not to be trusted.
        if (count < 0) return nullptr;
        // A text of exactly size - 1 characters would fit but is sent to the
        // next size, which keeps the longest text at 520190 characters. (A
        // kept block is a step size too, so the rule holds for it alike.)
        const auto length = static_cast<uint64_t>(count);
        if (length < scratch.size() - 1)
            return duplicate_bytes<Heap>(scratch.chars(), strnlen(scratch.chars(), length));
        size = first_fitting_step(length);
    }
    return nullptr;
}

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
