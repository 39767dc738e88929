// Making and releasing the nodes of a chained buffer, and the spare node
// storage kept between them.
#include <string.h>

#include <algorithm>
#include <limits>

#include "buffer/buffer_internal.h"
#include "davro_kuv/runtime.h"

namespace kuv::buffer {

namespace {

constexpr uint64_t kNodeRecordSize = sizeof(kuv_buffer_node_t);
// Storage above this size is never kept: an idle buffer holds at most this
// much beyond its bytes. It covers the reads of 64 to 256 KiB that network
// and file code feed into a buffer.
constexpr uint64_t kLargestSpare = 256 * 1024;

// The spare for a copying node of this capacity, taken out of the buffer,
// or NULL when there is none or it is too small. Storage larger than the
// capacity is lent only while no other node holds such storage.
kuv_buffer_node_t *take_spare(BufferBlock &block, uint64_t capacity) {
    kuv_buffer_node_t *spare = block.spare;
    if (!spare || block.spare_storage < capacity) return nullptr;
    if (block.spare_storage != capacity) {
        if (block.borrower) return nullptr;
        block.borrower = spare;
        block.borrower_storage = block.spare_storage;
    }
    block.spare = nullptr;
    return spare;
}

}  // namespace

kuv_buffer_node_t *make_node(kuv_buffer_t &buffer, const uint8_t *source, uint64_t count,
                             uint32_t push_flags) {
    const uint32_t flags = buffer.flags | push_flags;
    const bool lending = lends_memory(flags);
    const uint64_t capacity = lending ? count : std::max(count, buffer.node_size);
    const uint64_t storage = lending ? 0 : capacity;
    // A count near 2^64 would wrap the block size to a few bytes and the
    // copy below would run far past the block.
    if (storage > std::numeric_limits<uint64_t>::max() - kNodeRecordSize) {
        say(kNoNode);
        return nullptr;
    }
    kuv_buffer_node_t *node = lending ? nullptr : take_spare(block_of(buffer), capacity);
    if (!node) node = static_cast<kuv_buffer_node_t *>(kuv_xapi_alloc(kNodeRecordSize + storage));
    if (!node) {
        say(kNoNode);
        return nullptr;
    }
    node->next = nullptr;
    node->flags = flags;
    node->capacity = capacity;
    node->length = count;
    node->position = 0;
    if (lending) {
        // The node only lends the pointer; a wipe on release is the one write
        // made through it.
        node->data = const_cast<uint8_t *>(source);
    } else {
        node->data = reinterpret_cast<uint8_t *>(node + 1);
        copy_or_zero(node->data, source, count);
    }
    return node;
}

namespace {

// Wipes and lets go of what the node points at; the node record itself
// stays for the caller to release or keep.
void empty_node(kuv_buffer_node_t *node) {
    // explicit_bzero: the memory is released, reused or handed back to its
    // lender right after, and a plain memset before a release may be dropped.
    if ((node->flags & KUV_BUFFER_WIPE) != 0 && node->length != 0)
        explicit_bzero(node->data, node->length);
    if ((node->flags & KUV_BUFFER_ADOPT) != 0) kuv_xapi_free(node->data);
}

}  // namespace

void retire_node(kuv_buffer_t &buffer, kuv_buffer_node_t *node) {
    empty_node(node);
    BufferBlock &block = block_of(buffer);
    if (lends_memory(node->flags)) {
        kuv_xapi_free(node);
        return;
    }
    uint64_t storage = node->capacity;
    if (node == block.borrower) {
        storage = block.borrower_storage;
        block.borrower = nullptr;
    }
    if (storage > kLargestSpare) {
        kuv_xapi_free(node);
        return;
    }
    // The newest storage is kept: a stream's sizes are those it has just
    // used, and storage lent to a borrower comes back this way too.
    release_spare(buffer);
    block.spare = node;
    block.spare_storage = storage;
}

void release_spare(kuv_buffer_t &buffer) {
    BufferBlock &block = block_of(buffer);
    if (block.spare) kuv_xapi_free(block.spare);
    block.spare = nullptr;
    block.spare_storage = 0;
}

void release_all_nodes(kuv_buffer_t &buffer) {
    kuv_buffer_node_t *node = buffer.head;
    while (node) {
        kuv_buffer_node_t *next = node->next;
        empty_node(node);
        kuv_xapi_free(node);
        node = next;
    }
    buffer.head = nullptr;
    buffer.tail = nullptr;
    block_of(buffer).borrower = nullptr;
    forget_line_scan(buffer);
    release_spare(buffer);
}

}  // namespace kuv::buffer
