// UDP endpoints: a plain receiver bound to its local addresses, a sender
// bound towards its peer, and a multicast receiver bound to the wildcard
// and joined to its group on every interface.
#include <sys/socket.h>

#include <climits>
#include <cstdio>

#include "davro_kuv/sysio.h"
#include "kuvnet/endpoint_steps.h"
#include "kuvnet/kuvnet_internal.h"
#include "sysio/descriptor_guard.h"

namespace kuv::net {

namespace {

// Options a passive socket needs before bind.
void prepare_receiver(const kuvnet *handle, int32_t socket) {
    if (handle->reuse_address == 1) kuv_xapi_set_reuse_socket(socket, 1);
    if (handle->rx_buffer_size != 0) {
        const uint64_t size = handle->rx_buffer_size;
        kuv_xapi_set_rx_buffer_socket(socket,
                                      size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size));
    }
}

// Options of the bound socket: the hop limit of the family (the multicast
// one when the addresses are a group) and broadcast.
void finish_bound_socket(kuvnet *handle, int family, uint32_t is_multicast) {
    const int32_t hops = handle->hops < 0 ? kDefaultHopLimit : handle->hops;
    kuv_xapi_hops_socket(family, handle->socket, hops, is_multicast ? 1 : 0);
    if (handle->is_broadcast == 1) kuv_xapi_set_broadcast_socket(handle->socket, 1);
}

// A receiver without a peer: bound to the local name's first address that
// takes it, or to the wildcard of the type's family.
uint32_t bind_plain_receiver(kuvnet *handle) {
    kuvnet_address *local = &handle->local_address;
    if (!local->addresses &&
        resolve_address(handle, local, wildcard_for_type(handle->protocol_type), handle->port) !=
            KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_LOCAL_NAME);
    for (const struct addrinfo *entry = local->addresses; entry; entry = entry->ai_next) {
        sysio::DescriptorGuard socket(open_entry_socket(entry));
        if (!socket) continue;
        prepare_receiver(handle, socket.get());
        if (kuv_xapi_bind(socket.get(), entry->ai_addr, entry->ai_addrlen) != 1) continue;
        handle->socket = socket.release();
        read_back_port(handle);
        finish_bound_socket(handle, entry->ai_family, local->is_multicast);
        local->selected = entry->ai_addr;
        return KUV_RESULT_OK;
    }
    return fail(handle, KUVNET_RESULT_BIND);
}

// A socket for one peer entry, bound to the name the role asks for: a
// multicast receiver and a handle without a local name take the wildcard
// of the peer's family. -1 when the entry cannot be served.
int32_t bind_towards(kuvnet *handle, const struct addrinfo *peer) {
    const bool passive = is_passive(handle);
    kuvnet_address *local = &handle->local_address;
    local->selected = nullptr;
    sysio::DescriptorGuard socket(open_entry_socket(peer));
    if (!socket) return -1;
    if (passive) prepare_receiver(handle, socket.get());
    const bool wildcard =
        (passive && handle->peer_address.is_multicast) || handle->local_name[0] == '\0';
    const char *bind_name = wildcard ? wildcard_for_family(peer->ai_family) : handle->local_name;
    if (!bind_name) return -1;
    // A bind name that does not resolve for this entry (the name copy
    // refused its memory, say) leaves no failure behind when a later entry
    // binds: the handle would be open and refuse every transfer.
    if (try_resolve_address(handle, local, bind_name, passive ? handle->port : 0) != KUV_RESULT_OK)
        return -1;
    const struct addrinfo *bound = bind_first(socket.get(), peer->ai_family, local->addresses);
    if (!bound) return -1;
    local->selected = bound->ai_addr;
    return socket.release();
}

// A sender with a peer, a receiver that only hears its peer, or a multicast
// receiver: the first peer entry that a socket can be bound for wins.
uint32_t bind_with_peer(kuvnet *handle) {
    kuvnet_address *peer = &handle->peer_address;
    const bool joins = is_passive(handle) && peer->is_multicast;
    for (const struct addrinfo *entry = peer->addresses; entry; entry = entry->ai_next) {
        const int32_t socket = bind_towards(handle, entry);
        if (socket < 0) continue;
        handle->socket = socket;
        read_back_port(handle);
        // A receiver that could join nowhere keeps its socket: the caller
        // closes the handle.
        if (joins) {
            const uint32_t joined = join_multicast_group(handle, entry);
            if (joined != KUV_RESULT_OK) return joined;
        }
        finish_bound_socket(handle, entry->ai_family, peer->is_multicast);
        peer->selected = entry->ai_addr;
        return KUV_RESULT_OK;
    }
    return fail(handle, KUVNET_RESULT_BIND);
}

}  // namespace

uint32_t create_udp(kuvnet *handle) {
    if (port_out_of_range(handle->port)) return fail(handle, KUVNET_RESULT_PORT_RANGE);
    const bool passive = is_passive(handle);
    kuvnet_address *peer = &handle->peer_address;
    kuvnet_address *local = &handle->local_address;
    if (resolve_address(handle, peer, handle->peer_name, passive ? 0 : handle->port) !=
        KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_REMOTE_NAME);
    // A sender without a peer has nothing to bind for yet.
    if (!passive && peer->is_unspecified) return KUV_RESULT_OK;
    if (resolve_address(handle, local, handle->local_name, passive ? handle->port : 0) !=
        KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_LOCAL_NAME);
    peer->selected = nullptr;
    local->selected = nullptr;

    const uint32_t result =
        passive && !peer->addresses ? bind_plain_receiver(handle) : bind_with_peer(handle);
    if (result != KUV_RESULT_OK) return result;
    if (handle->debug_level > kTraceLifecycle) {
        std::printf(
            "kuv: [MESSAGE] udp bind ready (error_code=%08XH, protocol_type=%08lXH, "
            "local_name=\"%s\", peer_name=\"%s\", port=%d, is_multicast=%s)\n",
            handle->error_code, static_cast<unsigned long>(handle->protocol_type),
            handle->local_name, handle->peer_name, handle->port,
            peer->is_multicast ? "TRUE" : "FALSE");
    }
    return KUV_RESULT_OK;
}

}  // namespace kuv::net
