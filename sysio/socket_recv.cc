// Receiving with a time-out, once or until a buffer is full.
#include <errno.h>
#include <sys/socket.h>

#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/socket_internal.h"

static_assert(sizeof(socklen_t) == sizeof(uint32_t));

extern "C" {

int32_t kuv_xapi_recvfrom_intr(int32_t socket, void *buffer, uint64_t size,
                               struct sockaddr *address, uint32_t *address_length,
                               int32_t timeout_msec, int32_t interruption_flag) {
    using namespace kuv::sysio;
    const size_t wanted = checked_transfer_size(socket, buffer, size);
    if (wanted == 0) return -1;
    // recvfrom consumes the datagram before it fails to store the sender's
    // address through a missing length: refuse before receiving.
    if (address && !address_length) {
        errno = EINVAL;
        return -1;
    }
    // An empty read is an orderly close (or an empty datagram): 0 means a
    // time-out here, so it is reported as -1.
    return timed_transfer(
        timeout_msec, interruption_flag,
        [socket](int32_t remaining) { return wait_socket(socket, kReadable, remaining); },
        [&](int flags) {
            return address ? ::recvfrom(socket, buffer, wanted, flags, address,
                                        reinterpret_cast<socklen_t *>(address_length))
                           : ::recv(socket, buffer, wanted, flags);
        });
}

int32_t kuv_xapi_recvfrom(int32_t socket, void *buffer, uint64_t size, struct sockaddr *address,
                          uint32_t *address_length, int32_t timeout_msec) {
    return kuv_xapi_recvfrom_intr(socket, buffer, size, address, address_length, timeout_msec,
                                  kuv_xapi_intr_break());
}

int32_t kuv_xapi_recv_intr(int32_t socket, void *buffer, uint64_t size, int32_t timeout_msec,
                           int32_t interruption_flag) {
    return kuv_xapi_recvfrom_intr(socket, buffer, size, nullptr, nullptr, timeout_msec,
                                  interruption_flag);
}

int32_t kuv_xapi_recv(int32_t socket, void *buffer, uint64_t size, int32_t timeout_msec) {
    return kuv_xapi_recv_intr(socket, buffer, size, timeout_msec, kuv_xapi_intr_break());
}

int32_t kuv_xapi_recvfrom_fill(int32_t socket, void *buffer, uint64_t size,
                               struct sockaddr *address, uint32_t *address_length,
                               int32_t timeout_msec) {
    // The count gathered must fit the result.
    if (!buffer || size > INT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    // Each receive shrinks the length to the address it stored; every piece
    // gets the caller's whole buffer again.
    const uint32_t address_capacity = (address && address_length) ? *address_length : 0;
    auto *bytes = static_cast<uint8_t *>(buffer);
    uint64_t total = 0;
    while (total < size) {
        if (address && address_length) *address_length = address_capacity;
        int32_t received = kuv_xapi_recvfrom_intr(socket, bytes + total, size - total, address,
                                                  address_length, timeout_msec, 0);
        if (received < 0) return -1;
        if (received == 0) break;
        total += static_cast<uint64_t>(received);
    }
    return static_cast<int32_t>(total);
}

int32_t kuv_xapi_recv_fill(int32_t socket, void *buffer, uint64_t size, int32_t timeout_msec) {
    return kuv_xapi_recvfrom_fill(socket, buffer, size, nullptr, nullptr, timeout_msec);
}

}  // extern "C"
