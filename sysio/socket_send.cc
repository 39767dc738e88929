// Sending with a time-out.
#include <sys/socket.h>

#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/socket_internal.h"

extern "C" {

int32_t kuv_xapi_sendto_intr(int32_t socket, const void *data, uint64_t size,
                             const struct sockaddr *address, uint32_t address_length,
                             int32_t timeout_msec, int32_t interruption_flag) {
    using namespace kuv::sysio;
    const size_t wanted = checked_transfer_size(socket, data, size);
    if (wanted == 0) return -1;
    // With a time-out the send takes what fits now and reports that count: a
    // blocking send would return only once every byte is queued.
    return timed_transfer(
        timeout_msec, interruption_flag,
        [socket](int32_t remaining) { return wait_socket(socket, kWritable, remaining); },
        [&](int flags) {
            return address ? ::sendto(socket, data, wanted, flags, address, address_length)
                           : ::send(socket, data, wanted, flags);
        });
}

int32_t kuv_xapi_sendto(int32_t socket, const void *data, uint64_t size,
                        const struct sockaddr *address, uint32_t address_length,
                        int32_t timeout_msec) {
    return kuv_xapi_sendto_intr(socket, data, size, address, address_length, timeout_msec,
                                kuv_xapi_intr_break());
}

int32_t kuv_xapi_send_intr(int32_t socket, const void *data, uint64_t size, int32_t timeout_msec,
                           int32_t interruption_flag) {
    return kuv_xapi_sendto_intr(socket, data, size, nullptr, 0, timeout_msec, interruption_flag);
}

int32_t kuv_xapi_send(int32_t socket, const void *data, uint64_t size, int32_t timeout_msec) {
    return kuv_xapi_send_intr(socket, data, size, timeout_msec, kuv_xapi_intr_break());
}

}  // extern "C"
