// Feeding the line assembler: every chunk is scanned once, lines that end in
// it are queued, and the bytes after its last line end are held over in the
// pending buffer until the line's end (or the final push) arrives.
//
// A CR ends a line only when neither a CR nor an LF came since the last
// ordinary byte; an LF whenever no CR came since then. So CR, LF and CR LF
// end one line each, LF LF two, and CR CR, LF CR or CR LF LF one. The two
// flags live in the record, so a CR LF pair split between chunks still ends
// one line.
#include <cstring>

#include "buffer/line_scan.h"
#include "buffer/readline_internal.h"
#include "davro_kuv/runtime.h"
#include "runtime/heap_internal.h"

namespace kuv::readline {
namespace {

using kuv::buffer::kCarriageReturn;
using kuv::buffer::kLineFeed;

uint64_t pending_size(const kuv_readline_t &readline) {
    return readline.pending ? static_cast<uint64_t>(readline.pending->size) : 0;
}

// Lines found in a chunk and not yet made, each the chunk's bytes [start,
// end). They are made together, so that their blocks come from the heap in
// one call: the checking heap then takes its lock once per batch instead of
// once per line.
class LineBatch {
  public:
    static constexpr size_t kLines = 64;

    LineBatch(kuv_readline_t &readline, const uint8_t *chunk)
        : readline_(readline), chunk_(chunk) {}
    LineBatch(const LineBatch &) = delete;
    LineBatch &operator=(const LineBatch &) = delete;

    void add(uint64_t start, uint64_t end) {
        start_[count_] = start;
        end_[count_] = end;
        if (++count_ == kLines) make();
    }

    // Makes and queues the lines added so far. Held-over bytes are the front
    // of the first line made after them; once taken (or dropped with it),
    // the pending buffer is empty for the lines behind it.
    void make() {
        if (count_ == 0) return;
        const uint64_t held = pending_size(readline_);
        uint64_t sizes[kLines];
        void *blocks[kLines];
        for (size_t i = 0; i < count_; ++i)
            sizes[i] = line_block_size((i == 0 ? held : 0) + end_[i] - start_[i]);
        kuv::heap::allocate_blocks(sizes, blocks, count_);
        for (size_t i = 0; i < count_; ++i) {
            const uint64_t front = i == 0 ? held : 0;
            auto *line = static_cast<char *>(blocks[i]);
            if (!line) {
                // No memory: the line is dropped. Held-over bytes are the
                // front of this very line and go with it, or they would
                // start the next one.
                if (front != 0) kuv_xapi_flush_buffer(readline_.pending);
                continue;
            }
            if (front != 0)
                kuv_xapi_pop_buffer_ex(readline_.pending, line, front, KUV_BUFFER_PARTIAL);
            const uint64_t own = end_[i] - start_[i];
            if (own != 0) std::memcpy(line + front, chunk_ + start_[i], own);
            queue_line(readline_, line, front + own);
        }
        count_ = 0;
    }

  private:
    kuv_readline_t &readline_;
    const uint8_t *chunk_;
    size_t count_ = 0;
    uint64_t start_[kLines];
    uint64_t end_[kLines];
};

// Finds the lines that end in chunk[0, count) and adds them to the batch;
// returns where the bytes after the last line end begin. Find is the
// search for the next CR or LF.
template <size_t (*Find)(const uint8_t *, size_t, size_t)>
[[gnu::always_inline]] inline uint64_t scan_chunk(kuv_readline_t &readline, const uint8_t *chunk,
                                                  uint64_t count, LineBatch &batch) {
    // The flags live in locals during the scan and go back to the record at
    // the end: the record's fields would otherwise be stored and reloaded
    // around every byte.
    bool saw_cr = readline.saw_cr != 0;
    bool saw_lf = readline.saw_lf != 0;
    uint64_t start = 0;  // where the current line's bytes begin in this chunk
    uint64_t index = 0;
    while (index < count) {
        if (!saw_cr && !saw_lf) {
            // With both flags clear an ordinary byte changes nothing, and a
            // CR or an LF ends the line: the scan jumps to the next one.
            index = Find(chunk, index, count);
            if (index == count) break;
            batch.add(start, index);
            (chunk[index] == kLineFeed ? saw_lf : saw_cr) = true;
            start = ++index;
            continue;
        }
        const uint8_t byte = chunk[index];
        if (byte == kLineFeed) {
            // A second LF since the last ordinary byte starts an empty line.
            if (saw_lf) start = index;
            saw_lf = true;
            if (!saw_cr) {
                batch.add(start, index);
                start = index + 1;
            }
        } else if (byte == kCarriageReturn) {
            // A flag is set here, so this CR ends no line.
            saw_cr = true;
        } else {
            saw_cr = false;
            saw_lf = false;
            start = index;
        }
        ++index;
    }
    readline.saw_cr = saw_cr ? 1 : 0;
    readline.saw_lf = saw_lf ? 1 : 0;
    return start;
}

uint64_t scan_chunk_sse2(kuv_readline_t &readline, const uint8_t *chunk, uint64_t count,
                         LineBatch &batch) {
    return scan_chunk<kuv::buffer::detail::find_line_end_sse2<false>>(readline, chunk, count,
                                                                      batch);
}

#if defined(__x86_64__)
// The whole scan compiled for AVX2, so that the search inlines into it.
[[gnu::target("avx2")]] uint64_t scan_chunk_avx2(kuv_readline_t &readline, const uint8_t *chunk,
                                                 uint64_t count, LineBatch &batch) {
    return scan_chunk<kuv::buffer::detail::find_line_end_avx2<false>>(readline, chunk, count,
                                                                      batch);
}
#endif

uint64_t push_chunk(kuv_readline_t &readline, const uint8_t *chunk, uint64_t count) {
    LineBatch batch(readline, chunk);
#if defined(__x86_64__)
    const uint64_t start = kuv::buffer::detail::has_avx2()
                               ? scan_chunk_avx2(readline, chunk, count, batch)
                               : scan_chunk_sse2(readline, chunk, count, batch);
#else
    const uint64_t start = scan_chunk_sse2(readline, chunk, count, batch);
#endif
    batch.make();
    // Without a pending buffer (it could not be opened) the buffer call
    // reports the missing handle and the held-over bytes are lost.
    if (start < count) kuv_xapi_push_buffer_ex(readline.pending, chunk + start, count - start, 0);
    return pending_size(readline);
}

// The final push: whatever is held over becomes the last line, even when it
// is only line-end bytes (it then pops as the empty string).
void push_final(kuv_readline_t &readline) {
    if (!readline.pending) return;
    if (pending_size(readline) != 0) {
        LineBatch batch(readline, nullptr);
        batch.add(0, 0);
        batch.make();
    }
    readline.pending = kuv_xapi_close_buffer(readline.pending);
}

}  // namespace
}  // namespace kuv::readline

extern "C" {

uint64_t kuv_xapi_push_readline(kuv_readline_t *readline, const void *bytes, uint64_t count) {
    if (!readline) return 0;
    if (!bytes || count == 0) {
        kuv::readline::push_final(*readline);
        return 0;
    }
    if (!readline->pending) readline->pending = kuv_xapi_open_buffer();
    return kuv::readline::push_chunk(*readline, static_cast<const uint8_t *>(bytes), count);
}

}  // extern "C"
