// Pieces shared by the socket wrappers: refusing "no socket", repeating
// interrupted calls as the caller's flag asks, and the timed receive/send
// loop with its argument checks.
#ifndef KUV_SYSIO_SOCKET_INTERNAL_H
#define KUV_SYSIO_SOCKET_INTERNAL_H

#include <errno.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>

#include "sysio/wait.h"

namespace kuv::sysio {

// The flag the plain forms hand to their _intr form (kuv_xapi_intr_break).
inline constexpr int32_t kRepeatOnInterrupt = 0;

// Linux moves at most this many bytes in one call; capping the request
// keeps every count within the int32_t results.
inline constexpr uint64_t kMaxTransferBytes = 0x7FFFF000u;

// True (errno EBADF) for a descriptor that stands for no socket. Refusing
// it here keeps the system from ever seeing it.
inline bool no_socket(int32_t socket) {
    if (socket >= 0) return false;
    errno = EBADF;
    return true;
}

// Makes `call` until it succeeds, fails with something other than EINTR, or
// fails with EINTR while the caller asked to stop at interruptions.
template <typename Call>
auto repeat_interrupted(int32_t interruption_flag, Call call) {
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR || interruption_flag != 0) return result;
    }
}

// Waits up to timeout_msec for the socket to become ready for `condition`
// (kReadable or kWritable): 1 ready, 0 time-out, -1 failure. The time-out
// bounds the wait: interrupted with flag 0, it waits for what is left.
inline int32_t wait_socket(int32_t socket, int32_t condition, int32_t timeout_msec,
                           int32_t interruption_flag = kRepeatOnInterrupt) {
    if (no_socket(socket)) return -1;
    const int32_t ready = wait_descriptor(socket, condition, timeout_msec, interruption_flag,
                                          OnInterruption::kRestOfTimeOut);
    if (ready < 0) return -1;
    return (ready & condition) ? 1 : 0;
}

// The byte count one receive or send asks for, or 0 (errno set) when the
// call is refused before the socket is touched: no socket, no buffer, or
// nothing to move.
inline size_t checked_transfer_size(int32_t socket, const void *buffer, uint64_t size) {
    if (no_socket(socket)) return 0;
    if (size == 0 || !buffer) {
        errno = EINVAL;
        return 0;
    }
    return static_cast<size_t>(std::min(size, kMaxTransferBytes));
}

// One timed transfer: wait for the socket with `wait(remaining msec)` (1
// ready, 0 time-out, -1 failure), then make the call `transfer(flags)`,
// repeating it after an interruption as the flag says. With a time-out the
// call is made non-blocking: the data may be gone (or the send buffer full)
// by the time it runs, and a blocking call would outlast the time-out, so
// it goes back to waiting for the rest of the time-out instead. Such a call
// cannot block, so it is tried once before any wait: on a busy connection
// the data (or the room) is usually there, and the transfer then costs one
// system call instead of two. Returns the count (more than 0), 0 when the
// time-out passed and -1 on failure or when the call moved nothing (an
// orderly close, reported with errno 0).
template <typename Wait, typename Transfer>
int32_t timed_transfer(int32_t timeout_msec, int32_t interruption_flag, Wait wait,
                       Transfer transfer) {
    const bool timed = timeout_msec >= 0;
    const int flags = MSG_NOSIGNAL | (timed ? MSG_DONTWAIT : 0);
    // The result of one call: the count, or -1 (errno set) when it failed,
    // or nothing yet (kNotReady) when a non-blocking call found no data or
    // no room.
    constexpr int32_t kNotReady = -2;
    auto attempt = [&]() -> int32_t {
        ssize_t moved = repeat_interrupted(interruption_flag, [&] { return transfer(flags); });
        if (moved > 0) return static_cast<int32_t>(moved);
        if (moved == 0) {
            errno = 0;
            return -1;
        }
        return timed && (errno == EAGAIN || errno == EWOULDBLOCK) ? kNotReady : -1;
    };
    if (timed) {
        int32_t result = attempt();
        if (result != kNotReady) return result;
    }
    Deadline deadline(timeout_msec);
    for (;;) {
        // The wait repeats interrupted calls whatever the flag.
        int32_t ready = wait(deadline.remaining());
        if (ready <= 0) return ready;
        int32_t result = attempt();
        if (result != kNotReady) return result;
        if (deadline.expired()) return 0;
        // The wait may go on finding the socket ready while the call finds
        // nothing: an unconnected Unix datagram socket is writable for poll
        // whatever the receiver's queue holds. A short pause keeps that from
        // turning into a busy loop for the whole time-out; an interruption
        // only ends the pause, as the wait repeats interrupted calls.
        pause_before_retry();
    }
}

// The connect proper, waiting up to timeout_msec when `timed`, in which case
// the socket must be non-blocking (kuv_xapi_connect_intr switches a socket
// it is handed for the call; a caller that opened the socket non-blocking
// saves those switches): 1 connected, 0 refused or timed out, -1 when the
// call or the wait failed.
int32_t connect_attempt(int32_t socket, const struct sockaddr *address, uint32_t address_length,
                        int32_t timeout_msec, int32_t interruption_flag, bool timed);

// Steps a gathered sendmsg/recvmsg over the `moved` bytes that went: whole
// pieces, then the front of the next one.
inline void step_over(struct msghdr &message, uint64_t moved) {
    while (message.msg_iovlen > 0 && moved >= message.msg_iov->iov_len) {
        moved -= message.msg_iov->iov_len;
        ++message.msg_iov;
        --message.msg_iovlen;
    }
    if (moved > 0) {
        message.msg_iov->iov_base = static_cast<uint8_t *>(message.msg_iov->iov_base) + moved;
        message.msg_iov->iov_len -= moved;
    }
}

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_SOCKET_INTERNAL_H
