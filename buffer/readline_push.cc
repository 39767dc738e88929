// Feeding the line assembler: every chunk is scanned once, lines that end in
// it are queued, and the bytes after its last line end are held over in the
// pending buffer until the line's end (or the final push) arrives.
//
// A CR ends a line only when neither a CR nor an LF came since the last
// ordinary byte; an LF whenever no CR came since then. So CR, LF and CR LF
// end one line each, LF LF two, and CR CR, LF CR or CR LF LF one. The two
// flags live in the record, so a CR LF pair split between chunks still ends
// one line.
#include <algorithm>
#include <cstring>
#include <limits>

#include "buffer/buffer_internal.h"
#include "buffer/line_scan.h"
#include "buffer/readline_internal.h"
#include "davro_kuv/runtime.h"

namespace kuv::readline {
namespace {

using kuv::buffer::kCarriageReturn;
using kuv::buffer::kLineFeed;

// Counted on the failure paths only; a plain word per thread.
thread_local uint64_t t_lines_dropped = 0;

// A new line block with room for text_length bytes and the terminator; the
// caller fills the bytes and passes the block to queue_line. NULL when it
// cannot be allocated.
char *new_line(uint64_t text_length) {
    constexpr uint64_t kNodeSize = sizeof(kuv_readline_node_t);
    if (text_length > std::numeric_limits<uint64_t>::max() - kNodeSize - 16) return nullptr;
    return static_cast<char *>(kuv_xapi_alloc(node_offset(text_length) + kNodeSize));
}

// Terminates the line's text and appends its node to the queue. The block
// belongs to the queue from here on.
void queue_line(kuv_readline_t &readline, char *line, uint64_t text_length) {
    line[text_length] = '\0';
    auto *node = reinterpret_cast<kuv_readline_node_t *>(line + node_offset(text_length));
    node->next = nullptr;
    // An empty line owns no text of its own; popping it hands out the
    // block, which starts with the terminator.
    node->text = text_length != 0 ? line : nullptr;
    if (readline.tail)
        readline.tail->next = node;
    else
        readline.head = node;
    readline.tail = node;
    ++readline.count;
}

uint64_t pending_size(const kuv_readline_t &readline) {
    return readline.pending ? static_cast<uint64_t>(readline.pending->size) : 0;
}

// A line whose held-over bytes could be kept only in part is broken: it is
// dropped when it ends, and its bytes are not kept meanwhile. The mark is
// the pending buffer's consumed count, which the assembler has no other use
// for, set below zero; no pop or push of the buffer happens while it is set.
constexpr int64_t kLineBroken = -1;

// A line whose front was lost because no pending buffer could be opened to
// hold it is marked in line_ready, which is otherwise 0 between calls; its
// remaining bytes are dropped up to its end.
constexpr uint32_t kFrontLost = 1;

bool line_broken(const kuv_readline_t &readline) {
    return readline.pending && readline.pending->offset == kLineBroken;
}

// True when the line ending now takes the long way: bytes are held over
// for it, or it is broken.
bool held_or_broken(const kuv_readline_t &readline) {
    const kuv_buffer_t *pending = readline.pending;
    return pending && (pending->size != 0 || pending->offset == kLineBroken);
}

void mark_line_broken(kuv_readline_t &readline) {
    kuv_xapi_flush_buffer(readline.pending);
    readline.pending->offset = kLineBroken;
}

// Queues the line made of the held-over bytes and chunk[start, end).
[[gnu::noinline]] void finish_held_line(kuv_readline_t &readline, const uint8_t *chunk,
                                        uint64_t start, uint64_t end) {
    if (line_broken(readline)) {
        readline.pending->offset = 0;
        ++t_lines_dropped;
        return;
    }
    const uint64_t held = pending_size(readline);
    const uint64_t own = end - start;
    char *line = new_line(held + own);
    if (!line) {
        // No memory: the line is dropped. Held-over bytes are the front of
        // this very line and go with it, or they would start the next one.
        if (held != 0) kuv_xapi_flush_buffer(readline.pending);
        ++t_lines_dropped;
        return;
    }
    // The pending buffer is the assembler's own: its steps are called
    // directly, without the checks of the exported layer.
    if (held != 0)
        kuv::buffer::pop_bytes(*readline.pending, reinterpret_cast<uint8_t *>(line), held);
    if (own != 0) std::memcpy(line + held, chunk + start, own);
    queue_line(readline, line, held + own);
}

// The same; a line that lies whole in the chunk, the usual case, takes the
// short way inside the scan.
[[gnu::always_inline]] inline void finish_line(kuv_readline_t &readline, const uint8_t *chunk,
                                               uint64_t start, uint64_t end) {
    if (__builtin_expect(held_or_broken(readline), 0)) {
        finish_held_line(readline, chunk, start, end);
        return;
    }
    const uint64_t own = end - start;
    char *line = new_line(own);
    if (!line) {  // no memory: the line is dropped
        ++t_lines_dropped;
        return;
    }
    std::memcpy(line, chunk + start, own);
    queue_line(readline, line, own);
}

// Queues the lines that end in chunk[0, count) and returns where the bytes
// after the last line end begin. Find is the search for the next CR or LF.
template <size_t (*Find)(const uint8_t *, size_t, size_t)>
[[gnu::always_inline]] inline uint64_t scan_chunk(kuv_readline_t &readline, const uint8_t *chunk,
                                                  uint64_t count) {
    // The flags live in locals during the scan and go back to the record at
    // its end (finish_line never reads them): stored and reloaded through
    // the record around every line end, they cost a stalled load each time.
    bool saw_cr = readline.saw_cr != 0;
    bool saw_lf = readline.saw_lf != 0;
    uint64_t start = 0;  // where the current line's bytes begin in this chunk
    for (uint64_t index = 0; index < count; ++index) {
        // With both flags clear an ordinary byte changes nothing, so the
        // scan jumps to the next CR or LF.
        if (!saw_cr && !saw_lf) {
            index = Find(chunk, index, count);
            if (index == count) break;
        }
        const uint8_t byte = chunk[index];
        bool line_ends = false;
        if (byte == kLineFeed) {
            line_ends = !saw_cr;
            if (saw_lf) start = index;
            saw_lf = true;
        } else if (byte == kCarriageReturn) {
            line_ends = !saw_lf && !saw_cr;
            saw_cr = true;
        } else if (saw_cr || saw_lf) {
            saw_cr = false;
            saw_lf = false;
            start = index;
        }
        if (line_ends) {
            finish_line(readline, chunk, start, index);
            start = index + 1;
            // The usual ends, LF or CR LF followed by an ordinary byte, are
            // stepped over at once: that byte clears both flags and starts
            // the next line, which is where the byte-by-byte rules above
            // would arrive too.
            uint64_t next = index + 1;
            if (byte == kCarriageReturn && next < count && chunk[next] == kLineFeed) ++next;
            if (next < count && !kuv::buffer::is_line_end(chunk[next])) {
                saw_cr = false;
                saw_lf = false;
                start = next;
                index = next;
            }
        }
    }
    readline.saw_cr = saw_cr ? 1 : 0;
    readline.saw_lf = saw_lf ? 1 : 0;
    return start;
}

uint64_t scan_chunk_sse2(kuv_readline_t &readline, const uint8_t *chunk, uint64_t count) {
    return scan_chunk<kuv::buffer::detail::find_line_end_sse2<false>>(readline, chunk, count);
}

#if defined(__x86_64__)
// The whole scan compiled for AVX2, so that the search inlines into it.
[[gnu::target("avx2")]] uint64_t scan_chunk_avx2(kuv_readline_t &readline, const uint8_t *chunk,
                                                 uint64_t count) {
    return scan_chunk<kuv::buffer::detail::find_line_end_avx2<false>>(readline, chunk, count);
}
#endif

uint64_t push_chunk(kuv_readline_t &readline, const uint8_t *chunk, uint64_t count) {
#if defined(__x86_64__)
    const uint64_t start = kuv::buffer::detail::has_avx2()
                               ? scan_chunk_avx2(readline, chunk, count)
                               : scan_chunk_sse2(readline, chunk, count);
#else
    const uint64_t start = scan_chunk_sse2(readline, chunk, count);
#endif
    // Without a pending buffer (it could not be opened) the buffer call
    // reports the missing handle and the held-over bytes are lost: their
    // line has lost its front. Bytes that could be kept only in part break
    // their line.
    if (start < count) {
        if (!readline.pending) {
            kuv_xapi_push_buffer_ex(nullptr, chunk + start, count - start, 0);
            if (std::any_of(chunk + start, chunk + count,
                            [](uint8_t byte) { return !kuv::buffer::is_line_end(byte); }))
                readline.line_ready = kFrontLost;
        } else if (!line_broken(readline) &&
                   kuv::buffer::push_bytes(*readline.pending, chunk + start, count - start, 0) !=
                       count - start)
            mark_line_broken(readline);
    }
    return pending_size(readline);
}

// The final push: whatever is held over becomes the last line, even when it
// is only line-end bytes (it then pops as the empty string). A line that
// lost its front ends here and goes.
void push_final(kuv_readline_t &readline) {
    if (readline.line_ready == kFrontLost) {
        readline.line_ready = 0;
        ++t_lines_dropped;
    }
    if (!readline.pending) return;
    if (held_or_broken(readline)) finish_line(readline, nullptr, 0, 0);
    readline.pending = kuv_xapi_close_buffer(readline.pending);
}

// A line that lost its front meets the next chunk: with a pending buffer
// now, it is marked broken and goes when it ends, as any broken line;
// without one, its remaining bytes are dropped here up to its end, by the
// same line-end rule as the scan. Returns where the chunk's own lines
// begin (count when the line goes on past the chunk).
uint64_t drop_lost_front(kuv_readline_t &readline, const uint8_t *chunk, uint64_t count) {
    if (readline.pending) {
        mark_line_broken(readline);
        readline.line_ready = 0;
        return 0;
    }
    bool saw_cr = readline.saw_cr != 0, saw_lf = readline.saw_lf != 0;
    uint64_t index = 0;
    bool ended = false;
    for (; index < count && !ended; ++index) {
        const uint8_t byte = chunk[index];
        if (byte == kLineFeed) {
            ended = !saw_cr;
            saw_lf = true;
        } else if (byte == kCarriageReturn) {
            ended = !saw_lf && !saw_cr;
            saw_cr = true;
        } else {
            saw_cr = saw_lf = false;
        }
    }
    readline.saw_cr = saw_cr ? 1 : 0;
    readline.saw_lf = saw_lf ? 1 : 0;
    if (ended) {
        readline.line_ready = 0;
        ++t_lines_dropped;
    }
    return index;
}

}  // namespace

uint64_t lines_dropped_here() {
    return t_lines_dropped;
}

}  // namespace kuv::readline

extern "C" {

uint64_t kuv_xapi_push_readline(kuv_readline_t *readline, const void *bytes, uint64_t count) {
    if (!readline) return 0;
    if (!bytes || count == 0) {
        kuv::readline::push_final(*readline);
        return 0;
    }
    if (!readline->pending) readline->pending = kuv_xapi_open_buffer();
    const auto *chunk = static_cast<const uint8_t *>(bytes);
    if (__builtin_expect(readline->line_ready == kuv::readline::kFrontLost, 0)) {
        const uint64_t skipped = kuv::readline::drop_lost_front(*readline, chunk, count);
        if (skipped == count) return 0;
        chunk += skipped;
        count -= skipped;
    }
    return kuv::readline::push_chunk(*readline, chunk, count);
}

}  // extern "C"
