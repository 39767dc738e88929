// Connect: an active TCP handle tries every resolved peer address in the
// resolver's order, a Unix-domain handle connects to its path, and a UDP
// handle binds anew towards its current peer.
#include <fcntl.h>
#include <sys/socket.h>

#include <cstdio>

#include "davro_kuv/sysio.h"
#include "kuvnet/endpoint_steps.h"
#include "kuvnet/kuvnet_internal.h"
#include "sysio/descriptor_guard.h"
#include "sysio/socket_internal.h"

namespace kuv::net {

namespace {

// Whether the socket got the peer's own address and port as its source: a
// connect to a local port in the range source ports are picked from, with
// nobody listening there, can pick that very port and meet itself, and
// would then talk only to itself.
bool connected_to_itself(int32_t socket, const struct addrinfo *peer) {
    struct sockaddr_storage own;
    uint32_t length = sizeof own;
    return kuv_xapi_getsockname(socket, reinterpret_cast<struct sockaddr *>(&own), &length) == 1 &&
           peer->ai_addrlen >= socket_address_length(peer->ai_addr) &&
           same_socket_address(reinterpret_cast<const struct sockaddr *>(&own), peer->ai_addr);
}

// A socket connected to one peer entry (bound first to a local address
// when the handle names one), or -1. With a time-out the socket is opened
// non-blocking for the connect and made blocking once connected, which
// spares the two mode switches of a connect on a socket of unknown mode.
int32_t connect_entry(kuvnet *handle, const struct addrinfo *peer) {
    kuvnet_address *local = &handle->local_address;
    local->selected = nullptr;
    const int32_t timeout = timeout_msec(handle);
    const bool timed = timeout >= 0;
    sysio::DescriptorGuard socket(open_entry_socket(peer, timed ? SOCK_NONBLOCK : 0));
    if (!socket) return -1;
    if (local->addresses) {
        const struct addrinfo *bound = bind_first(socket.get(), peer->ai_family, local->addresses);
        if (!bound) return -1;
        local->selected = bound->ai_addr;
    }
    if (sysio::connect_attempt(socket.get(), peer->ai_addr, peer->ai_addrlen, timeout,
                               kuv_xapi_intr_break(), timed) != 1 ||
        connected_to_itself(socket.get(), peer))
        return -1;
    if (timed && ::fcntl(socket.get(), F_SETFL, O_RDWR) != 0) return -1;
    return socket.release();
}

uint32_t connect_tcp(kuvnet *handle) {
    if (handle->socket != -1) return fail(handle, KUVNET_RESULT_ACTIVE_HAS_SOCKET);
    // A port above 65535 would reach the socket address cut to 16 bits and
    // connect somewhere else. An unset (negative) port asks for port 0.
    if (handle->port > 65535) return fail(handle, KUVNET_RESULT_PORT_RANGE);
    kuvnet_address *local = &handle->local_address;
    kuvnet_address *peer = &handle->peer_address;
    if (resolve_address(handle, local, handle->local_name, 0) != KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_LOCAL_NAME);
    if (resolve_address(handle, peer, handle->peer_name, handle->port) != KUV_RESULT_OK ||
        !peer->addresses)
        return fail(handle, KUVNET_RESULT_REMOTE_NAME);
    peer->selected = nullptr;
    for (const struct addrinfo *entry = peer->addresses; entry; entry = entry->ai_next) {
        const int32_t socket = connect_entry(handle, entry);
        if (socket < 0) continue;
        handle->socket = socket;
        peer->selected = entry->ai_addr;
        trace_handle(handle, "connected");
        return KUV_RESULT_OK;
    }
    return fail(handle, KUVNET_RESULT_CONNECT);
}

uint32_t connect_unix(kuvnet *handle) {
    if (handle->socket != -1) return fail(handle, KUVNET_RESULT_ACTIVE_HAS_SOCKET);
    kuvnet_address *peer = &handle->peer_address;
    // Without a path there is nothing to connect to: the remote name is
    // missing, as for a TCP handle without a peer.
    if (handle->peer_name[0] == '\0' ||
        resolve_address(handle, peer, handle->peer_name, handle->port) != KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_REMOTE_NAME);
    sysio::DescriptorGuard socket(kuv_xapi_open_socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return fail(handle, KUVNET_RESULT_UNIX_SOCKET);
    const auto *path = reinterpret_cast<const struct sockaddr *>(&peer->unix_address);
    if (kuv_xapi_connect(socket.get(), path, kUnixAddressLength, timeout_msec(handle)) != 1)
        return fail(handle, KUVNET_RESULT_CONNECT);
    handle->socket = socket.release();
    if (handle->debug_level > kTraceLifecycle) {
        std::printf(
            "kuv: [MESSAGE] connected pipe(error_code=%08XH, protocol_type=%08lXH, "
            "peer_name=\"%s\")\n",
            handle->error_code, static_cast<unsigned long>(handle->protocol_type),
            handle->peer_name);
    }
    return KUV_RESULT_OK;
}

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_connect(kuvnet *handle) {
    trace_handle(handle, "connecting");
    const uint32_t type = handle->protocol_type;
    if (is_udp(type)) {
        trace_handle(handle, "udp (re)connecting");
        kuv_mapi_kuvnet_close(handle);
        return kuv_mapi_kuvnet_create(handle);
    }
    if (is_tcp(type)) return connect_tcp(handle);
    if (is_uds(type)) return connect_unix(handle);
    // ICMP handles serve the echo only, which opens its own socket.
    return fail(handle, KUVNET_RESULT_UNSUPPORTED_TYPE);
}

uint32_t kuv_xapi_kuvnet_connect(kuvnet *handle) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (handle->is_server != 0) return fail(handle, KUVNET_RESULT_PASSIVE_MISUSE);
    return kuv_mapi_kuvnet_connect(handle);
}

}  // extern "C"
