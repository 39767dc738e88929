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

// One timed transfer: the call `transfer(flags)`, repeated after an
// interruption as the flag says, and waits for the socket with
// `wait(remaining msec)` (1 ready, 0 time-out, -1 failure). With a time-out
// the call is made non-blocking and is tried first: bytes that have already
// arrived (or room in the send buffer) then cost one system call rather than
// a wait and a call. When it would block it waits for the rest of the
// time-out and tries again (the data may be gone, or the send buffer full,
// by the time it runs, and a blocking call would outlast the time-out).
// Without a time-out it waits first and then makes a blocking call. Returns
// the count (more than 0), 0 when the time-out passed and -1 on failure or
// when the call moved nothing (an orderly close, reported with errno 0).
template <typename Wait, typename Transfer>
int32_t timed_transfer(int32_t timeout_msec, int32_t interruption_flag, Wait wait,
                       Transfer transfer) {
    const bool timed = timeout_msec >= 0;
    const int flags = MSG_NOSIGNAL | (timed ? MSG_DONTWAIT : 0);
    Deadline deadline(timeout_msec);
    bool wait_first = !timed;
    for (;;) {
        if (wait_first) {
            // The wait repeats interrupted calls whatever the flag.
            int32_t ready = wait(deadline.remaining());
            if (ready <= 0) return ready;
        }
        wait_first = true;
        ssize_t moved = repeat_interrupted(interruption_flag, [&] { return transfer(flags); });
        if (moved > 0) return static_cast<int32_t>(moved);
        if (moved == 0) {
            errno = 0;
            return -1;
        }
        // Only the non-blocking call of a timed wait goes back to waiting.
        if (!timed || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
        if (deadline.expired()) return 0;
    }
}

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_SOCKET_INTERNAL_H
