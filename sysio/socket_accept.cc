// Accepting a connection with a time-out.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/descriptor_guard.h"
#include "sysio/socket_internal.h"

namespace {

// Whether the socket's reading side has been shut down.
bool is_shut_down(int32_t socket) {
    pollfd hang_up{socket, POLLRDHUP, 0};
    return ::poll(&hang_up, 1, 0) == 1 && (hang_up.revents & (POLLHUP | POLLRDHUP)) != 0;
}

}  // namespace

extern "C" {

int32_t kuv_xapi_accept_intr(int32_t socket, struct sockaddr *address, uint32_t *address_length,
                             int32_t timeout_msec, int32_t interruption_flag) {
    if (kuv::sysio::no_socket(socket)) return -1;
    // The kernel takes the connection off the queue before it finds that it
    // cannot store the peer's address, and then drops it: refuse first.
    if (address && !address_length) {
        errno = EINVAL;
        return -1;
    }
    auto accept_once = [&] {
        return kuv::sysio::above_standard_streams(
            kuv::sysio::repeat_interrupted(interruption_flag, [&] {
                return ::accept(socket, address, reinterpret_cast<socklen_t *>(address_length));
            }));
    };
    // Without a time-out a blocking accept does the waiting itself, one
    // system call instead of two. A non-blocking listener answers EAGAIN at
    // once and is waited for below like any other.
    if (timeout_msec < 0) {
        int32_t accepted = accept_once();
        if (accepted >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return accepted;
    }
    kuv::sysio::Deadline deadline(timeout_msec);
    for (;;) {
        const int32_t ready = kuv::sysio::wait_socket(socket, kuv::sysio::kReadable,
                                                      deadline.remaining(), interruption_flag);
        if (ready != 1) {
            if (ready == 0) errno = ETIMEDOUT;
            return -1;
        }
        // An interrupted accept is made again at once, without a new wait.
        const int32_t accepted = accept_once();
        if (accepted >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return accepted;
        // A non-blocking listener that was shut down stays readable and
        // yet answers EAGAIN for ever (a Unix-domain one does): it ends as a
        // blocking accept ends there.
        if (is_shut_down(socket)) {
            errno = EINVAL;
            return -1;
        }
        // Another caller took the connection after the wait: wait for the
        // rest of the time-out, after a pause, so that no listener that
        // looks ready without being so can keep this loop spinning.
        if (deadline.expired()) {
            errno = ETIMEDOUT;
            return -1;
        }
        kuv::sysio::pause_before_retry();
    }
}

int32_t kuv_xapi_accept(int32_t socket, struct sockaddr *address, uint32_t *address_length,
                        int32_t timeout_msec) {
    return kuv_xapi_accept_intr(socket, address, address_length, timeout_msec,
                                kuv_xapi_intr_break());
}

}  // extern "C"
