// Opening and closing chained buffers, and reading their counters.
#include "buffer/buffer_internal.h"
#include "davro_kuv/runtime.h"

using kuv::buffer::has_handle;

extern "C" {

kuv_buffer_t *kuv_xapi_open_buffer_ex(uint32_t flags) {
    using kuv::buffer::BufferBlock;
    auto *block = static_cast<BufferBlock *>(kuv_xapi_alloc(sizeof(BufferBlock)));
    if (!block) {
        kuv::buffer::say(kuv::buffer::kNoBuffer);
        return nullptr;
    }
    *block = BufferBlock{};
    block->record.flags = flags;
    block->record.node_size = KUV_BUFFER_NODE_SIZE;
    return &block->record;
}

kuv_buffer_t *kuv_xapi_open_buffer(void) {
    return kuv_xapi_open_buffer_ex(0);
}

kuv_buffer_t *kuv_xapi_close_buffer(kuv_buffer_t *buffer) {
    if (!has_handle(buffer)) return nullptr;
    kuv::buffer::release_all_nodes(*buffer);
    // NULL whatever an installed heap handler answers to the release: the
    // callers store the answer back, and a handle kept so would be used
    // again after it was released.
    kuv_xapi_free(buffer);
    return nullptr;
}

int64_t kuv_xapi_get_buffer_size(kuv_buffer_t *buffer) {
    if (!has_handle(buffer)) return 0;
    return buffer->size;
}

int64_t kuv_xapi_get_buffer_offset(kuv_buffer_t *buffer) {
    if (!has_handle(buffer)) return 0;
    return buffer->offset;
}

int64_t kuv_xapi_set_buffer_offset(kuv_buffer_t *buffer, int64_t offset) {
    if (!has_handle(buffer)) return 0;
    buffer->offset = offset;
    return offset;
}

}  // extern "C"
