// Popping text lines out of a chained buffer.
//
// A line ends at the first LF or CR that is not the second byte of a
// two-byte character. A byte with bit 7 set toggles the two-byte state; a
// byte without it, met while the state is set, is the second byte of the
// character, clears the state and is not examined. Either way, the byte
// that follows a set state is never a line end, which lets the scan skip
// it and jump ahead to the next byte of interest.
#include "buffer/buffer_internal.h"
#include "buffer/line_scan.h"
#include "davro_kuv/runtime.h"

namespace kuv::buffer {

// One pass over the unread bytes, node by node, from where the last search
// of this buffer stopped: the cost grows with the line, not with its square.
LineEnd find_line(kuv_buffer_t &buffer) {
    LineScan &memo = block_of(buffer).line_scan;
    LineEnd end;
    const kuv_buffer_node_t *node = buffer.head;
    uint64_t index = node ? node->position : 0;
    bool skip_next = false;  // the two-byte state
    uint64_t scanned = 0;    // unread bytes in front of the current node
    if (memo.node) {
        node = memo.node;
        index = memo.index;
        scanned = memo.scanned;
        skip_next = memo.skip_next;
    }
    bool remember = true;
    while (node) {
        if (lends_memory(node->flags)) remember = false;
        const uint8_t *bytes = node->data;
        const uint64_t length = node->length;
        while (index < length) {
            if (skip_next) {
                skip_next = false;
                ++index;
                continue;
            }
            index = find_line_end<true>(bytes, index, length);
            if (index == length) break;
            if ((bytes[index] & kHighBit) != 0) {
                skip_next = true;
                ++index;
                continue;
            }
            end.found = true;
            end.index = scanned + (index - node->position);
            end.byte = bytes[index];
            if (remember) memo = LineScan{node, index, scanned, false};
            return end;
        }
        if (remember) memo = LineScan{node, length, scanned, skip_next};
        if (!node->next) break;
        scanned += length - node->position;
        node = node->next;
        index = node->position;
    }
    return end;
}

namespace {

// LF CR and CR LF end one line: the partner byte goes with the line end.
bool is_partner(uint8_t end_byte, uint8_t next_byte) {
    return (end_byte == kLineFeed && next_byte == kCarriageReturn) ||
           (end_byte == kCarriageReturn && next_byte == kLineFeed);
}

}  // namespace
}  // namespace kuv::buffer

extern "C" {

char *kuv_xapi_pop_buffer_line(kuv_buffer_t *buffer) {
    using namespace kuv::buffer;
    if (!buffer) return nullptr;
    const LineEnd end = find_line(*buffer);
    if (!end.found) return nullptr;
    // The line and its end byte are popped together; the end byte's place
    // takes the terminator.
    auto *line = static_cast<uint8_t *>(kuv_xapi_alloc(end.index + 1));
    if (!line) return nullptr;
    pop_bytes(*buffer, line, end.index + 1);
    line[end.index] = '\0';
    const kuv_buffer_node_t *head = buffer->head;
    if (head && is_partner(end.byte, head->data[head->position])) pop_bytes(*buffer, nullptr, 1);
    return reinterpret_cast<char *>(line);
}

}  // extern "C"
