// Waiting for a descriptor to become readable or writable.
#include <errno.h>

#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/wait.h"

namespace {

// 1 when the descriptor is ready for the single `condition`, else the
// wait's 0 or -1.
int32_t wait_for(int32_t descriptor, int32_t condition, int32_t timeout_msec) {
    int32_t ready = kuv_xapi_poll_fd(descriptor, condition, timeout_msec);
    return ready > 0 ? 1 : ready;
}

}  // namespace

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
    return kuv_xapi_poll_fd_intr(descriptor, mask, timeout_msec, kuv_xapi_intr_break());
}

int32_t kuv_xapi_rx_poll_fd(int32_t descriptor, int32_t timeout_msec) {
    return wait_for(descriptor, KUV_FILE_POLL_READABLE, timeout_msec);
}

int32_t kuv_xapi_tx_poll_fd(int32_t descriptor, int32_t timeout_msec) {
    return wait_for(descriptor, KUV_FILE_POLL_WRITABLE, timeout_msec);
}

}  // extern "C"
