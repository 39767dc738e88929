// Sending one built packet: a datagram to the selected peer, or the bytes on
// a stream.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include "davro_kuv/sysio.h"
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"
#include "sysio/socket_internal.h"
#include "sysio/wait.h"

namespace kuv::net {

namespace {

// The length of the address the datagram goes to, read from its family; 0
// for an address that names no peer (a cleared landing area).
uint32_t address_length(const struct sockaddr *address) {
    switch (address->sa_family) {
        case AF_INET:
            return sizeof(struct sockaddr_in);
        case AF_INET6:
            return sizeof(struct sockaddr_in6);
        case AF_UNIX:
            return kUnixAddressLength;
        default:
            return 0;
    }
}

uint32_t send_datagram(kuvnet *handle, const packet *record) {
    const struct sockaddr *peer = handle->peer_address.selected;
    const uint32_t peer_length = peer ? address_length(peer) : 0;
    if (peer_length == 0) return fail(handle, KUVNET_RESULT_NOT_SENDABLE);
    int32_t sent = kuv_xapi_sendto(handle->socket, record->data, record->length, peer, peer_length,
                                   io_timeout(handle));
    if (sent == 0) return fail(handle, KUVNET_RESULT_NO_TRANSFER);
    if (sent < 0 || static_cast<uint64_t>(sent) != record->length)
        return fail(handle, KUVNET_RESULT_PARTIAL_SEND);
    return KUV_RESULT_OK;
}

uint32_t send_stream(kuvnet *handle, const packet *record) {
    // The packet is one block in memory, so its length fits size_t.
    struct iovec whole = {record->data, static_cast<size_t>(record->length)};
    struct msghdr message {};
    message.msg_iov = &whole;
    message.msg_iovlen = 1;
    size_t done;
    const uint64_t sent = send_stream_packets(handle, message, &record->length, 1, &done);
    if (sent == record->length) return KUV_RESULT_OK;
    return fail(handle, sent == 0 ? KUVNET_RESULT_NO_TRANSFER : KUVNET_RESULT_PARTIAL_SEND);
}

}  // namespace

// A timed send takes what the socket's buffer has room for. Stopping there
// would leave the peer a torn packet and every later packet misread, so the
// rest follows within the same time-out; the first send normally takes it
// all.
uint64_t send_stream_packets(kuvnet *handle, struct msghdr &message, const uint64_t *ends,
                             size_t packets, size_t *whole) {
    const int32_t socket = handle->socket;
    kuv::sysio::Deadline deadline(io_timeout(handle));
    uint64_t sent = 0;
    size_t done = 0;
    while (done < packets) {
        int32_t moved = -1;
        if (!kuv::sysio::no_socket(socket))
            moved = kuv::sysio::timed_transfer(
                deadline.remaining(), kuv_xapi_intr_break(),
                [socket](int32_t remaining) {
                    return kuv::sysio::wait_socket(socket, kuv::sysio::kWritable, remaining);
                },
                [&](int flags) { return ::sendmsg(socket, &message, flags); });
        if (moved <= 0) break;
        sent += static_cast<uint64_t>(moved);
        // Each packet has the whole time-out, as when sent alone.
        if (sent >= ends[done]) {
            while (done < packets && ends[done] <= sent)
                ++done;
            deadline.restart();
        }
        kuv::sysio::step_over(message, static_cast<uint64_t>(moved));
    }
    *whole = done;
    return sent;
}

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_tx_a_packet(kuvnet *handle, packet_info *info, packet *record) {
    (void)info;
    if (is_udp(handle->protocol_type)) return send_datagram(handle, record);
    if (is_stream(handle->protocol_type)) return send_stream(handle, record);
    return fail(handle, KUVNET_RESULT_UNSUPPORTED_TYPE);
}

uint32_t kuv_xapi_kuvnet_tx_a_packet(kuvnet *handle, packet_info *info, packet *record) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (handle->socket == -1) return fail(handle, KUVNET_RESULT_NO_SOCKET);
    if (!record || !record->data || record->length == 0)
        return fail(handle, KUV_RESULT_INVALID_ARGUMENT);
    return kuv_mapi_kuvnet_tx_a_packet(handle, info, record);
}

}  // extern "C"
