// Create: turns a filled handle into an endpoint by its transport. Passive
// handles get their bound (and for streams listening) socket here; active
// stream handles and ICMP handles only resolve their names, and connect or
// the echo makes the socket.
#include "davro_kuv/kuvnet.h"
#include "kuvnet/endpoint_steps.h"
#include "kuvnet/kuvnet_internal.h"

namespace kuv::net {

namespace {

// An echo endpoint opens its raw socket per echo; create only resolves.
uint32_t create_icmp(kuvnet *handle) {
    if (resolve_address(handle, &handle->peer_address, handle->peer_name, 0) != KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_REMOTE_NAME);
    if (resolve_address(handle, &handle->local_address, handle->local_name, 0) != KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_LOCAL_NAME);
    return KUV_RESULT_OK;
}

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_create(kuvnet *handle) {
    trace_handle(handle, "creating");
    const uint32_t type = handle->protocol_type;
    if (is_udp(type)) return create_udp(handle);
    if (is_tcp(type)) return create_tcp_listener(handle);
    if (is_icmp(type)) return create_icmp(handle);
    if (is_uds(type)) return create_unix_listener(handle);
    return fail(handle, KUVNET_RESULT_UNSUPPORTED_TYPE);
}

uint32_t kuv_xapi_kuvnet_create(kuvnet *handle) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (handle->socket != -1) {
        return fail(handle, is_passive(handle) ? KUVNET_RESULT_PASSIVE_MISUSE
                                               : KUVNET_RESULT_ACTIVE_HAS_SOCKET);
    }
    return kuv_mapi_kuvnet_create(handle);
}

}  // extern "C"
