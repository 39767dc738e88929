// Steps of the line assembler shared by its files.
//
// Each queued line is one tracked block: the line's bytes, a terminator,
// and, at the next 8-byte boundary behind them, the line's queue node. The
// node's text points at the block's start (or is NULL for an empty line).
// Popping unlinks the node and hands the whole block to the caller as the
// line's text, so that a line costs one allocation and one release in all,
// and kuv_xapi_free of the text releases the node with it.
#ifndef KUV_BUFFER_READLINE_INTERNAL_H
#define KUV_BUFFER_READLINE_INTERNAL_H

#include <cstdint>

#include "davro_kuv/buffer.h"

namespace kuv::readline {

// Where the node sits in the block of a line of text_length bytes.
inline uint64_t node_offset(uint64_t text_length) {
    constexpr uint64_t kAlign = alignof(kuv_readline_node_t);
    return (text_length + 1 + kAlign - 1) / kAlign * kAlign;
}

// The block that holds a node (and the line's bytes in front of it).
inline char *line_block(kuv_readline_node_t *node) {
    return node->text ? node->text : reinterpret_cast<char *>(node) - node_offset(0);
}

// Lines that pushes on the calling thread have dropped for want of memory
// (a line whose bytes could not all be kept counts when it ends, by a line
// end or the final push), since the thread began.
// A caller that must not lose a line compares it before and after a push.
uint64_t lines_dropped_here();

}  // namespace kuv::readline

#endif  // KUV_BUFFER_READLINE_INTERNAL_H
