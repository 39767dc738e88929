// One message on a connection of its own: create, connect, send (and receive
// the reply), close.
#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "kuvnet/kuvnet_internal.h"

namespace kuv::net {

namespace {

// Ends the exchange's connection. Close resets a TCP connection, which
// throws away whatever the socket has not yet delivered. After a send that
// nobody acknowledged and no reply followed, that is the tail of the
// message the caller was told went out: such a connection is closed
// without the reset, and the system delivers the rest.
void end_connection(kuvnet *handle, bool unconfirmed_send) {
    if (unconfirmed_send && is_tcp(handle->protocol_type) && handle->socket != -1) {
        kuv_xapi_close_socket(handle->socket);
        handle->socket = -1;
        return;
    }
    kuv_xapi_kuvnet_close(handle);
}

// Runs the whole exchange; `reply` is NULL when no reply is wanted.
uint32_t exchange(kuvnet *handle, packet_info *info, packet_info **reply) {
    // A passive handle has no peer to open a connection to.
    if (handle->is_server != 0) return fail(handle, KUVNET_RESULT_NOT_SENDABLE);
    uint32_t code = kuv_xapi_kuvnet_create(handle);
    if (code != KUV_RESULT_OK) return code;
    code = kuv_xapi_kuvnet_connect(handle);
    if (code != KUV_RESULT_OK) return code;
    code = kuv_xapi_kuvnet_tx_data(handle, info);
    if (code == KUV_RESULT_OK && reply) {
        packet_info answer{};
        answer.src_id = info->src_id;
        code = kuv_xapi_kuvnet_rx_data_fill(handle, &answer);
        if (code == KUV_RESULT_OK) {
            auto *kept = static_cast<packet_info *>(kuv_xapi_alloc(sizeof(packet_info)));
            if (kept) {
                *kept = answer;
                *reply = kept;
            } else {
                kuv_mapi_release_packet_info(&answer);
                code = fail(handle, KUVNET_RESULT_NO_MEMORY);
            }
        }
    }
    end_connection(handle,
                   code == KUV_RESULT_OK && !reply && !is_acknowledged(handle->protocol_type));
    return code;
}

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_tx_rx_data_simple(kuvnet *handle, packet_info *info, packet_info **reply) {
    return exchange(handle, info, reply);
}

uint32_t kuv_xapi_kuvnet_tx_rx_data_simple(kuvnet *handle, packet_info *info, packet_info **reply) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (!reply) return fail(handle, KUVNET_RESULT_NO_MEMORY);
    *reply = nullptr;
    return kuv_mapi_kuvnet_tx_rx_data_simple(handle, info, reply);
}

uint32_t kuv_mapi_kuvnet_tx_data_simple(kuvnet *handle, packet_info *info) {
    return exchange(handle, info, nullptr);
}

uint32_t kuv_xapi_kuvnet_tx_data_simple(kuvnet *handle, packet_info *info) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    return kuv_mapi_kuvnet_tx_data_simple(handle, info);
}

}  // extern "C"
