// Pieces shared by the socket wrappers: refusing "no socket", repeating
// interrupted calls as the caller's flag asks, and a deadline for waits that
// may have to start again.
#ifndef KUV_SYSIO_SOCKET_INTERNAL_H
#define KUV_SYSIO_SOCKET_INTERNAL_H

#include <errno.h>
#include <time.h>

#include <cstdint>

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

// The end of a time-out on the monotonic clock. A negative time-out never
// ends.
class Deadline {
  public:
    explicit Deadline(int32_t timeout_msec)
        : unlimited_(timeout_msec < 0),
          end_msec_(now_msec() + (timeout_msec < 0 ? 0 : timeout_msec)) {}

    // The milliseconds left for the next wait: -1 without limit, else 0 or
    // more.
    int32_t remaining() const {
        if (unlimited_) return -1;
        int64_t left = end_msec_ - now_msec();
        return left > 0 ? static_cast<int32_t>(left) : 0;
    }
    bool expired() const { return !unlimited_ && remaining() == 0; }

  private:
    static int64_t now_msec() {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }

    bool unlimited_;
    int64_t end_msec_;
};

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_SOCKET_INTERNAL_H
