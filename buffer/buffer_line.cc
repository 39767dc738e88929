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

// One pass over the unread bytes, node by node: the cost grows with the
// line, not with its square.
LineEnd find_line(const kuv_buffer_t &buffer) {
    LineEnd end;
    bool skip_next = false;  // the two-byte state
    uint64_t scanned = 0;    // unread bytes in front of the current node
    for (const kuv_buffer_node_t *node = buffer.head; node; node = node->next) {
        const uint8_t *bytes = node->data + node->position;
        const uint64_t length = unread(*node);
        uint64_t index = 0;
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
            end.index = scanned + index;
            end.byte = bytes[index];
            return end;
        }
        scanned += length;
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
