// Connecting with a time-out.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>

#include "davro_kuv/sysio.h"
#include "sysio/socket_internal.h"

namespace {

// Switches a socket to non-blocking mode for one attempt (when `wanted`)
// and writes its status flags back on every path out, keeping the errno of
// the attempt.
class NonBlockingAttempt {
  public:
    NonBlockingAttempt(int32_t socket, bool wanted) : socket_(socket) {
        if (!wanted) return;
        saved_flags_ = ::fcntl(socket, F_GETFL);
        changed_ = saved_flags_ >= 0 && !(saved_flags_ & O_NONBLOCK) &&
                   ::fcntl(socket, F_SETFL, saved_flags_ | O_NONBLOCK) == 0;
    }
    ~NonBlockingAttempt() {
        if (!changed_) return;
        int saved_errno = errno;
        ::fcntl(socket_, F_SETFL, saved_flags_);
        errno = saved_errno;
    }
    NonBlockingAttempt(const NonBlockingAttempt &) = delete;
    NonBlockingAttempt &operator=(const NonBlockingAttempt &) = delete;

    // True when the socket is non-blocking for the attempt.
    bool ready() const { return changed_ || (saved_flags_ >= 0 && (saved_flags_ & O_NONBLOCK)); }

  private:
    int32_t socket_;
    int saved_flags_ = -1;
    bool changed_ = false;
};

// Waits for a connection in progress and reads its outcome: 1 connected,
// 0 failed or timed out, -1 the wait failed.
int32_t finish_connect(int32_t socket, int32_t timeout_msec, int32_t interruption_flag) {
    using namespace kuv::sysio;
    if (no_socket(socket)) return -1;
    const int32_t ready = wait_descriptor(socket, kReadable | kWritable, timeout_msec,
                                          interruption_flag, OnInterruption::kRestOfTimeOut);
    if (ready < 0) return -1;
    if (ready == 0) {
        errno = ETIMEDOUT;
        return 0;
    }
    int pending_error = 0;
    socklen_t length = sizeof pending_error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending_error, &length) != 0) return 0;
    if (pending_error != 0) {
        errno = pending_error;
        return 0;
    }
    return 1;
}

}  // namespace

namespace kuv::sysio {

int32_t connect_attempt(int32_t socket, const struct sockaddr *address, uint32_t address_length,
                        int32_t timeout_msec, int32_t interruption_flag, bool timed) {
    bool interrupted = false;
    // Set at the first refusal for a full backlog, so that an ordinary
    // connect reads no clock for it.
    std::optional<Deadline> backlog_deadline;
    for (;;) {
        if (::connect(socket, address, address_length) == 0) return 1;
        if (errno == EINTR) {
            if (interruption_flag != 0) return -1;
            interrupted = true;
            continue;
        }
        // A Unix listener whose backlog is full answers EAGAIN where a
        // blocking connect would wait for room. Nothing the socket can be
        // polled for tells when room is made, so a timed attempt is made
        // again after short pauses until its time-out ends.
        if (errno != EAGAIN || address->sa_family != AF_UNIX || !timed || timeout_msec == 0) break;
        if (!backlog_deadline) backlog_deadline.emplace(timeout_msec);
        if (backlog_deadline->expired()) {
            errno = ETIMEDOUT;
            return 0;
        }
        if (!pause_before_retry() && interruption_flag != 0) return -1;
    }
    const int error = errno;
    // An interrupted connect goes on in the kernel. Linux's TCP waits for it
    // in the repeated call; a protocol that answers for it instead reports
    // EISCONN once it has succeeded and EALREADY while it is under way.
    if (interrupted && error == EISCONN) return 1;
    const bool in_progress = error == EINPROGRESS || error == EALREADY;
    // Anything else was refused at once (ECONNREFUSED for a Unix path with
    // no listener, ...): there is nothing to wait for, and the socket's
    // SO_ERROR would not tell the failure.
    if (!in_progress) return 0;
    // Time-out 0 only starts the attempt; it goes on in the background. A
    // blocking connect is still under way here only after an interruption
    // (else the caller's socket was non-blocking): it is waited for as the
    // blocking call would have, without limit.
    if (timeout_msec == 0 || (!timed && !interrupted)) return 0;
    return finish_connect(socket, timeout_msec, interruption_flag);
}

}  // namespace kuv::sysio

extern "C" {

int32_t kuv_xapi_connect_intr(int32_t socket, const struct sockaddr *address,
                              uint32_t address_length, int32_t timeout_msec,
                              int32_t interruption_flag) {
    if (kuv::sysio::no_socket(socket)) return -1;
    if (!address) {
        errno = EINVAL;
        return -1;
    }
    const bool timed = timeout_msec >= 0;
    NonBlockingAttempt mode(socket, timed);
    // Without non-blocking mode the time-out could not be kept.
    if (timed && !mode.ready()) return 0;
    return kuv::sysio::connect_attempt(socket, address, address_length, timeout_msec,
                                       interruption_flag, timed);
}

int32_t kuv_xapi_connect(int32_t socket, const struct sockaddr *address, uint32_t address_length,
                         int32_t timeout_msec) {
    return kuv_xapi_connect_intr(socket, address, address_length, timeout_msec,
                                 kuv_xapi_intr_break());
}

}  // extern "C"
