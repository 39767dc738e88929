// Waiting for a socket to become readable, writable or exceptional.
#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/socket_internal.h"
#include "sysio/wait.h"

static_assert(KUV_SOCKET_POLL_READABLE == kuv::sysio::kReadable);
static_assert(KUV_SOCKET_POLL_WRITABLE == kuv::sysio::kWritable);
static_assert(KUV_SOCKET_POLL_EXCEPTIONAL == kuv::sysio::kExceptional);

namespace {

// Waits for one condition: 1 ready, 0 not within the time-out, -1 failure.
int32_t poll_condition(int32_t socket, int32_t condition, int32_t timeout_msec,
                       int32_t interruption_flag) {
    int32_t ready = kuv_xapi_poll_socket_intr(socket, condition, timeout_msec, interruption_flag);
    if (ready < 0) return -1;
    return (ready & condition) ? 1 : 0;
}

}  // namespace

extern "C" {

int32_t kuv_xapi_poll_socket_intr(int32_t socket, int32_t mask, int32_t timeout_msec,
                                  int32_t interruption_flag) {
    if (kuv::sysio::no_socket(socket)) return -1;
    // Built on poll: select's sets cannot hold descriptors of 1024 and above.
    return kuv::sysio::wait_descriptor(socket, mask, timeout_msec, interruption_flag);
}

int32_t kuv_xapi_poll_socket(int32_t socket, int32_t mask, int32_t timeout_msec) {
    return kuv_xapi_poll_socket_intr(socket, mask, timeout_msec, kuv_xapi_intr_break());
}

int32_t kuv_xapi_rx_poll_socket_intr(int32_t socket, int32_t timeout_msec,
                                     int32_t interruption_flag) {
    return poll_condition(socket, KUV_SOCKET_POLL_READABLE, timeout_msec, interruption_flag);
}

int32_t kuv_xapi_rx_poll_socket(int32_t socket, int32_t timeout_msec) {
    return kuv_xapi_rx_poll_socket_intr(socket, timeout_msec, kuv_xapi_intr_break());
}

int32_t kuv_xapi_tx_poll_socket_intr(int32_t socket, int32_t timeout_msec,
                                     int32_t interruption_flag) {
    return poll_condition(socket, KUV_SOCKET_POLL_WRITABLE, timeout_msec, interruption_flag);
}

int32_t kuv_xapi_tx_poll_socket(int32_t socket, int32_t timeout_msec) {
    return kuv_xapi_tx_poll_socket_intr(socket, timeout_msec, kuv_xapi_intr_break());
}

}  // extern "C"
