// Taking bytes out of a chained buffer: pops, peeks, alloc-pops, whole
// nodes and flushing.
#include <algorithm>
#include <cstring>

#include "buffer/buffer_internal.h"
#include "davro_kuv/runtime.h"

namespace kuv::buffer {

namespace {

// Takes the head node out of the chain; the caller releases or keeps it.
void unlink_head(kuv_buffer_t &buffer) {
    buffer.head = buffer.head->next;
    if (!buffer.head) buffer.tail = nullptr;
}

}  // namespace

uint64_t pop_bytes(kuv_buffer_t &buffer, uint8_t *destination, uint64_t count) {
    uint64_t taken = 0;
    while (taken < count && buffer.head) {
        kuv_buffer_node_t *node = buffer.head;
        const uint64_t n = std::min(count - taken, unread(*node));
        if (destination) kuv::copy_bytes(destination + taken, node->data + node->position, n);
        node->position += n;
        taken += n;
        if (node->position == node->length) {
            unlink_head(buffer);
            retire_node(buffer, node);
        }
    }
    account_taken(buffer, taken);
    return taken;
}

uint64_t peek_bytes(const kuv_buffer_t &buffer, uint8_t *destination, uint64_t count,
                    uint64_t offset) {
    const kuv_buffer_node_t *node = buffer.head;
    uint64_t skip = offset;
    while (node && skip >= unread(*node)) {
        skip -= unread(*node);
        node = node->next;
    }
    uint64_t copied = 0;
    uint64_t from = node ? node->position + skip : 0;
    while (node && copied < count) {
        const uint64_t n = std::min(count - copied, node->length - from);
        kuv::copy_bytes(destination + copied, node->data + from, n);
        copied += n;
        node = node->next;
        if (node) from = node->position;
    }
    return copied;
}

void *alloc_pop(kuv_buffer_t &buffer, uint64_t count) {
    kuv_buffer_node_t *head = buffer.head;
    if (head && (head->flags & KUV_BUFFER_ADOPT) != 0 && head->position == 0 &&
        head->length == count) {
        // The adopted block is already a tracked block holding exactly the
        // bytes asked for: it changes owner instead of being copied, and is
        // neither wiped nor released with its node.
        void *block = head->data;
        unlink_head(buffer);
        kuv_xapi_free(head);
        account_taken(buffer, count);
        return block;
    }
    const uint64_t available = std::min(count, held(buffer));
    if (available == 0) return nullptr;
    // Allocated before anything is consumed, so that a failure keeps the
    // bytes where they are.
    auto *block = static_cast<uint8_t *>(kuv_xapi_alloc(available));
    if (!block) return nullptr;
    pop_bytes(buffer, block, available);
    return block;
}

}  // namespace kuv::buffer

using kuv::buffer::has_handle;
using kuv::buffer::holds;
using kuv::buffer::is_exact;
using kuv::buffer::kInvalidArgument;
using kuv::buffer::say;

extern "C" {

uint64_t kuv_xapi_pop_buffer_ex(kuv_buffer_t *buffer, void *destination, uint64_t count,
                                int32_t mode) {
    if (!has_handle(buffer)) return 0;
    if (count == 0) {
        say(kInvalidArgument);
        return 0;
    }
    if (is_exact(mode) && !holds(*buffer, count)) return 0;
    return kuv::buffer::pop_bytes(*buffer, static_cast<uint8_t *>(destination), count);
}

uint64_t kuv_xapi_peek_buffer_ex(kuv_buffer_t *buffer, void *destination, uint64_t count,
                                 uint64_t offset, int32_t mode) {
    if (!has_handle(buffer)) return 0;
    if (!destination || count == 0) {
        say(kInvalidArgument);
        return 0;
    }
    if (is_exact(mode) && !holds(*buffer, count, offset)) return 0;
    return kuv::buffer::peek_bytes(*buffer, static_cast<uint8_t *>(destination), count, offset);
}

void *kuv_xapi_alloc_pop_buffer_ex(kuv_buffer_t *buffer, uint64_t count, int32_t mode) {
    if (!has_handle(buffer)) return nullptr;
    if (count == 0) {
        say(kInvalidArgument);
        return nullptr;
    }
    if (is_exact(mode) && !holds(*buffer, count)) return nullptr;
    return kuv::buffer::alloc_pop(*buffer, count);
}

void *kuv_xapi_get_buffer_node(kuv_buffer_t *buffer, uint64_t *length) {
    if (length) *length = 0;
    if (!has_handle(buffer) || !buffer->head) return nullptr;
    // Pushes make no empty nodes and pops release a node as soon as it is
    // read out, so the head holds the first unread bytes.
    const uint64_t count = kuv::buffer::unread(*buffer->head);
    void *block = kuv::buffer::alloc_pop(*buffer, count);
    if (block && length) *length = count;
    return block;
}

uint64_t kuv_xapi_flush_buffer(kuv_buffer_t *buffer) {
    if (!has_handle(buffer)) return 0;
    const uint64_t flushed = kuv::buffer::pop_bytes(*buffer, nullptr, kuv::buffer::held(*buffer));
    // An emptied buffer holds no memory beyond its handle.
    kuv::buffer::release_spare(*buffer);
    return flushed;
}

}  // extern "C"
