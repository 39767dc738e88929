// Making and releasing the nodes of a chained buffer.
#include <string.h>

#include <algorithm>
#include <limits>

#include "buffer/buffer_internal.h"
#include "davro_kuv/runtime.h"

namespace kuv::buffer {

namespace {
constexpr uint64_t kNodeRecordSize = sizeof(kuv_buffer_node_t);
}  // namespace

kuv_buffer_node_t *make_node(const kuv_buffer_t &buffer, const uint8_t *source, uint64_t count,
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
    auto *node = static_cast<kuv_buffer_node_t *>(kuv_xapi_alloc(kNodeRecordSize + storage));
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

void release_node(kuv_buffer_node_t *node) {
    // explicit_bzero: the memory is released (or handed back to its lender)
    // right after, and a plain memset before a release may be dropped.
    if ((node->flags & KUV_BUFFER_WIPE) != 0 && node->length != 0)
        explicit_bzero(node->data, node->length);
    if ((node->flags & KUV_BUFFER_ADOPT) != 0) kuv_xapi_free(node->data);
    kuv_xapi_free(node);
}

}  // namespace kuv::buffer
