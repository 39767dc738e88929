// Pushing bytes into a chained buffer: copied into the last node's free room
// and one new node, referenced, or adopted; text and formatted text.
#include <algorithm>
#include <cstring>
#include <limits>

#include "buffer/buffer_internal.h"
#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"

namespace kuv::buffer {

uint64_t push_bytes(kuv_buffer_t &buffer, const uint8_t *source, uint64_t count,
                    uint32_t push_flags) {
    // A push of nothing makes no node: an empty node at the head would stop
    // every later pop and peek in front of the bytes behind it.
    if (count == 0) return 0;
    if (lends_memory(buffer.flags | push_flags) && !source) {
        say(kInvalidArgument);
        return 0;
    }
    // size is signed 64-bit; a lending push can claim any count, and no
    // real memory holds more than this anyway.
    if (count > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - held(buffer)) {
        say(kNoNode);
        return 0;
    }

    uint64_t stored = 0;
    kuv_buffer_node_t *tail = buffer.tail;
    // Copied bytes go into the last node's free room first. Only copying
    // nodes ever have room: a lending node is full from the start. Bytes
    // pushed to be wiped make the node that takes them wiped as well.
    if (!lends_memory(push_flags) && tail && tail->length < tail->capacity) {
        tail->flags |= push_flags & KUV_BUFFER_WIPE;
        stored = std::min(count, tail->capacity - tail->length);
        copy_or_zero(tail->data + tail->length, source, stored);
        tail->length += stored;
    }
    if (stored < count) {
        kuv_buffer_node_t *node =
            make_node(buffer, source ? source + stored : nullptr, count - stored, push_flags);
        // When the node cannot be made, the bytes already appended to the
        // old tail stay and are reported.
        if (node) {
            if (tail)
                tail->next = node;
            else
                buffer.head = node;
            buffer.tail = node;
            stored = count;
        }
    }
    buffer.size = static_cast<int64_t>(held(buffer) + stored);
    return stored;
}

}  // namespace kuv::buffer

using kuv::buffer::has_handle;
using kuv::buffer::kInvalidArgument;
using kuv::buffer::say;

extern "C" {

uint64_t kuv_xapi_push_buffer_ex(kuv_buffer_t *buffer, const void *source, uint64_t count,
                                 uint32_t flags) {
    if (!has_handle(buffer)) return 0;
    return kuv::buffer::push_bytes(*buffer, static_cast<const uint8_t *>(source), count, flags);
}

uint64_t kuv_xapi_push_string_buffer(kuv_buffer_t *buffer, const char *text) {
    if (!has_handle(buffer)) return 0;
    if (!text) return 0;
    return kuv::buffer::push_bytes(*buffer, reinterpret_cast<const uint8_t *>(text),
                                   std::strlen(text), 0);
}

uint64_t kuv_xapi_push_vprintf_buffer(kuv_buffer_t *buffer, const char *format, va_list list) {
    if (!has_handle(buffer)) return 0;
    if (!format) {
        say(kInvalidArgument);
        return 0;
    }
    char *text = kuv_xapi_alloc_vsprintf(format, list);
    if (!text) {
        say(kuv::buffer::kNoString);
        return 0;
    }
    // The formatted block becomes the node's memory, so an alloc-pop of
    // exactly its length hands the same block back.
    const uint64_t stored = kuv::buffer::push_bytes(
        *buffer, reinterpret_cast<const uint8_t *>(text), std::strlen(text), KUV_BUFFER_ADOPT);
    // An adopting push stores all or nothing; with nothing stored (an empty
    // text, or no node) the block is still ours.
    if (stored == 0) kuv_xapi_free(text);
    return stored;
}

uint64_t kuv_xapi_push_printf_buffer(kuv_buffer_t *buffer, const char *format, ...) {
    va_list list;
    va_start(list, format);
    const uint64_t stored = kuv_xapi_push_vprintf_buffer(buffer, format, list);
    va_end(list);
    return stored;
}

}  // extern "C"
