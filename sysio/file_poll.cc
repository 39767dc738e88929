// Waiting for a descriptor to become readable or writable.
#include <errno.h>

#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/file_internal.h"
#include "sysio/wait.h"

extern "C" {

int32_t kuv_xapi_poll_fd_intr(int32_t descriptor, int32_t mask, int32_t timeout_msec,
                              int32_t interruption_flag) {
    if (descriptor < 0) {
        errno = EBADF;
        return -1;
    }
    // poll rather than select: a descriptor of 1024 or above does not fit a
    // select set, and writing it into one would corrupt the stack.
    return kuv::sysio::wait_descriptor(descriptor, mask, timeout_msec, interruption_flag);
}

int32_t kuv_xapi_poll_fd(int32_t descriptor, int32_t mask, int32_t timeout_msec) {
    return kuv_xapi_poll_fd_intr(descriptor, mask, timeout_msec,
                                 kuv::sysio::plain_interruption_flag());
}

int32_t kuv_xapi_rx_poll_fd(int32_t descriptor, int32_t timeout_msec) {
    int32_t ready = kuv_xapi_poll_fd(descriptor, KUV_FILE_POLL_READABLE, timeout_msec);
    if (ready < 0) return -1;
    return (ready & KUV_FILE_POLL_READABLE) ? 1 : 0;
}

int32_t kuv_xapi_tx_poll_fd(int32_t descriptor, int32_t timeout_msec) {
    int32_t ready = kuv_xapi_poll_fd(descriptor, KUV_FILE_POLL_WRITABLE, timeout_msec);
    if (ready < 0) return -1;
    return (ready & KUV_FILE_POLL_WRITABLE) ? 1 : 0;
}

}  // extern "C"
