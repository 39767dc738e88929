// Accept: one incoming connection of a passive TCP or Unix-domain handle
// becomes a new handle that carries the listener's settings.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "kuvnet/endpoint_steps.h"
#include "kuvnet/kuvnet_internal.h"
#include "sysio/descriptor_guard.h"

namespace kuv::net {

namespace {

// Everything before local_address is the listener's to hand on.
constexpr size_t kInheritedBytes = offsetof(kuvnet, local_address);
static_assert(offsetof(kuvnet, magic) == 0);
static_assert(offsetof(kuvnet, rx_buffer_size) < kInheritedBytes);

// The new handle takes the listener's leading fields except the four that
// describe the handle itself: its socket, a time-out and accept mode of its
// own, and no claim on the network layer.
void inherit(kuvnet *accepted, const kuvnet *listener, int32_t socket) {
    const uint32_t own_timeout = accepted->timeout;
    const uint32_t own_accept_timeout = accepted->use_accept_timeout;
    const int32_t own_network_init = accepted->owns_network_init;
    std::memcpy(accepted, listener, kInheritedBytes);
    accepted->socket = socket;
    accepted->timeout = own_timeout;
    accepted->use_accept_timeout = own_accept_timeout;
    accepted->owns_network_init = own_network_init;
}

// The peer's socket address as accept returned it, and its text.
void record_peer(kuvnet *accepted, const struct sockaddr_storage &address, uint32_t length) {
    kuvnet_address *peer = &accepted->peer_address;
    const size_t copied = length < sizeof peer->unix_address ? length : sizeof peer->unix_address;
    std::memcpy(&peer->unix_address, &address, copied);
    std::memset(accepted->peer_name, 0, sizeof accepted->peer_name);
    kuv_xapi_inet_stop(reinterpret_cast<const struct sockaddr *>(&peer->unix_address),
                       accepted->peer_name, sizeof accepted->peer_name);
    // A link-local peer is reached over its link only: the text keeps the
    // interface as a numeric scope ("fe80::1%2"), or the name would connect
    // nowhere, or over another link.
    if (address.ss_family != AF_INET6 || length < sizeof(struct sockaddr_in6)) return;
    const uint32_t scope = reinterpret_cast<const struct sockaddr_in6 &>(address).sin6_scope_id;
    const size_t text_length = std::strlen(accepted->peer_name);
    if (scope != 0 && text_length != 0)
        kuv_xapi_snprintf(accepted->peer_name + text_length,
                          sizeof accepted->peer_name - text_length, "%%%u", scope);
}

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_accept(kuvnet *listener, kuvnet **out) {
    *out = nullptr;
    if (listener->is_server != 1) return fail(listener, KUVNET_RESULT_NOT_PASSIVE);
    if (listener->socket == -1) return fail(listener, KUVNET_RESULT_NO_SOCKET);
    trace_handle(listener, "accepting", kTraceNoisy);
    const uint32_t type = listener->protocol_type;
    if (!is_tcp(type) && !is_uds(type)) return fail(listener, KUVNET_RESULT_UNSUPPORTED_TYPE);

    struct sockaddr_storage address;
    uint32_t length = sizeof address;
    const int32_t wait = listener->use_accept_timeout == 1 ? timeout_msec(listener) : -1;
    kuv::sysio::DescriptorGuard socket(kuv_xapi_accept(
        listener->socket, reinterpret_cast<struct sockaddr *>(&address), &length, wait));
    if (!socket) return fail(listener, KUVNET_RESULT_NO_TRANSFER);
    ::fcntl(socket.get(), F_SETFD, FD_CLOEXEC);
    listener->error_code = 0;

    kuvnet *accepted = nullptr;
    const uint32_t made = kuv_mapi_kuvnet_init(&accepted, 0);
    if (made != KUV_RESULT_OK) return fail(listener, made);
    inherit(accepted, listener, socket.release());
    record_peer(accepted, address, length);
    *out = accepted;
    if (listener->debug_level > kTraceLifecycle) {
        std::printf(
            "kuv: [MESSAGE] accepted (error_code=%08XH, protocol_type=%08lXH, local_name=\"%s\", "
            "peer_name=\"%s\", port=%d)\n",
            accepted->error_code, static_cast<unsigned long>(accepted->protocol_type),
            accepted->local_name, accepted->peer_name, listener->port);
    }
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_kuvnet_accept(kuvnet *listener, kuvnet **out) {
    if (!listener) return KUV_RESULT_INVALID_ARGUMENT;
    if (!out) return fail(listener, KUV_RESULT_INVALID_ARGUMENT);
    return kuv_mapi_kuvnet_accept(listener, out);
}

}  // extern "C"
