// The endpoint handle's life: init, init with version, close, delete, and
// the validity check of the data operations.
#include <cstdio>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "kuvnet/kuvnet_internal.h"

namespace kuv::net {

namespace {

constexpr uint32_t kHeaderSize = KUVNET_PACKET_HEADER_SIZE;
constexpr int32_t kUnsetPort = -1;
constexpr int32_t kDefaultHops = -1;

void set_defaults(kuvnet *handle, uint32_t owns_network_init) {
    std::memset(handle, 0, sizeof *handle);
    std::memcpy(handle->magic, KUVNET_MAGIC, sizeof KUVNET_MAGIC);
    handle->socket = -1;
    handle->port = kUnsetPort;
    handle->timeout = KUVNET_DEFAULT_TIMEOUT;
    handle->version = KUVNET_PACKET_VERSION;
    handle->max_packet_size = KUVNET_DEFAULT_MAX_PACKET_SIZE;
    handle->header_size = kHeaderSize;
    handle->owns_network_init = owns_network_init == 1 ? 1 : 0;
    handle->hops = kDefaultHops;
    handle->reuse_address = 1;
    reset_address(&handle->local_address);
    reset_address(&handle->peer_address);
    handle->source_list = nullptr;
}

// The terminator is compared too, and nothing past it is read.
bool has_magic(const kuvnet *handle) {
    return std::memcmp(handle->magic, KUVNET_MAGIC, sizeof KUVNET_MAGIC) == 0;
}

}  // namespace

void trace_handle(const kuvnet *handle, const char *what, int32_t threshold) {
    if (handle->debug_level <= threshold) return;
    std::printf(
        "kuv: [MESSAGE] %s (error_code=%08XH, protocol_type=%08lXH, local_name=\"%s\", "
        "peer_name=\"%s\", port=%d)\n",
        what, handle->error_code, static_cast<unsigned long>(handle->protocol_type),
        handle->local_name, handle->peer_name, handle->port);
}

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_init(kuvnet **out, uint32_t init_network) {
    *out = nullptr;
    const bool start_network = init_network == 1;
    if (start_network && kuv_xapi_initialize_network() != 1) return KUV_RESULT_NETWORK_INIT;
    auto *handle = static_cast<kuvnet *>(kuv_xapi_alloc(sizeof(kuvnet)));
    if (!handle) {
        if (start_network) kuv_xapi_uninitialize_network();
        return KUVNET_RESULT_NO_MEMORY;
    }
    set_defaults(handle, init_network);
    *out = handle;
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_kuvnet_init(kuvnet **out, uint32_t init_network) {
    if (!out) return KUV_RESULT_INVALID_ARGUMENT;
    return kuv_mapi_kuvnet_init(out, init_network);
}

uint32_t kuv_xapi_kuvnet_init_with_version(kuvnet **out, uint32_t init_network,
                                           uint32_t core_version) {
    if (!out) return KUV_RESULT_INVALID_ARGUMENT;
    *out = nullptr;
    if (core_version != static_cast<uint32_t>(kuv_xapi_get_core_version()))
        return KUVNET_RESULT_CORE_VERSION;
    return kuv_mapi_kuvnet_init(out, init_network);
}

uint32_t kuv_mapi_kuvnet_close(kuvnet *handle) {
    if (handle->socket == -1) {
        if (handle->debug_level > kTraceLifecycle) {
            std::printf(
                "kuv: [MESSAGE] closed socket (error_code=%08XH, protocol_type=%08lXH, "
                "local_name=\"%s\", peer_name=\"%s\", port=%d)\n",
                handle->error_code, static_cast<unsigned long>(handle->protocol_type),
                handle->local_name, handle->peer_name, handle->port);
        }
        return KUV_RESULT_OK;
    }
    if (handle->debug_level > kTraceLifecycle) {
        std::printf(
            "kuv: [MESSAGE] close socket (error_code=%08XH, protocol_type=%08lXH, "
            "local_name=\"%s\", peer_name=\"%s\", port=%d, socket=%d)\n",
            handle->error_code, static_cast<unsigned long>(handle->protocol_type),
            handle->local_name, handle->peer_name, handle->port, handle->socket);
    }
    // A TCP endpoint resets its connection instead of draining it, so that
    // a closed endpoint leaves nothing in TIME_WAIT and the peer learns at
    // once that it is gone.
    if (is_tcp(handle->protocol_type)) kuv_xapi_set_linger_socket(handle->socket, 1, 0);
    kuv_xapi_close_socket(handle->socket);
    handle->socket = -1;
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_kuvnet_close(kuvnet *handle) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    // A record init did not make (a zeroed one holds socket 0) names a
    // descriptor of the program's, never one of the handle's.
    if (!has_magic(handle)) return KUVNET_RESULT_MAGIC;
    return kuv_mapi_kuvnet_close(handle);
}

uint32_t kuv_mapi_kuvnet_delete(kuvnet **place) {
    kuvnet *handle = *place;
    kuv_mapi_kuvnet_close(handle);
    trace_handle(handle, "delete");
    while (kuvnet_address *source = handle->source_list) {
        handle->source_list = source->next;
        if (handle->source_list) handle->source_list->prev = nullptr;
        release_address(source);
        kuv_xapi_free(source);
    }
    release_address(&handle->peer_address);
    release_address(&handle->local_address);
    const bool owned_network = handle->owns_network_init == 1;
    kuv_xapi_free(handle);
    *place = nullptr;
    if (owned_network) kuv_xapi_uninitialize_network();
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_kuvnet_delete(kuvnet **place) {
    if (!place || !*place) return KUV_RESULT_INVALID_ARGUMENT;
    if (!has_magic(*place)) return KUVNET_RESULT_MAGIC;
    return kuv_mapi_kuvnet_delete(place);
}

uint32_t kuv_xapi_kuvnet_check_valid_handle(const kuvnet *handle) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (handle->socket == -1) return KUVNET_RESULT_NO_SOCKET;
    if (handle->version > KUVNET_PACKET_VERSION) return KUVNET_RESULT_VERSION;
    if (!has_magic(handle)) return KUVNET_RESULT_MAGIC;
    if (handle->error_code != 0) return KUVNET_RESULT_RECORDED_FAILURE;
    return KUV_RESULT_OK;
}

}  // extern "C"
