// Waiting for a descriptor to become ready, shared by the socket and file
// wrappers, and the deadline of a wait that may have to start again.
#ifndef KUV_SYSIO_WAIT_H
#define KUV_SYSIO_WAIT_H

#include <time.h>

#include <cstdint>

namespace kuv::sysio {

// Readiness bits of the library's waits.
inline constexpr int32_t kReadable = 1;
inline constexpr int32_t kWritable = 2;
inline constexpr int32_t kExceptional = 4;

// What an interrupted wait that goes on does with its time-out.
enum class OnInterruption {
    kWholeTimeOut,   // starts again with the whole time-out (the poll calls)
    kRestOfTimeOut,  // waits for what is left: signals never stretch it
};

// Waits until `descriptor` is ready for one of the conditions in `mask`
// (kReadable | kWritable | kExceptional; other bits are ignored). Returns
// the ready conditions among those asked, 0 when `timeout_msec` passed first
// (0 tests without waiting, a negative time-out waits without limit) and -1
// on failure (a negative descriptor, an invalid one, or an error of the
// wait). When the wait is interrupted by a signal, `interruption_flag` 0
// goes on waiting as `on_interruption` says and any other value ends it
// with -1.
//
// The readiness rules are those of select(): a pending error or a hang-up
// counts as readable, a pending error as writable, urgent data as
// exceptional. The wait is built on poll(), so descriptors of any number,
// 1024 and above included, can be waited for.
int32_t wait_descriptor(int32_t descriptor, int32_t mask, int32_t timeout_msec,
                        int32_t interruption_flag,
                        OnInterruption on_interruption = OnInterruption::kWholeTimeOut);

// The end of a time-out on the monotonic clock. A negative time-out never
// ends. The end is kept in nanoseconds and what is left is rounded up:
// whole-millisecond readings would put the end up to a millisecond early,
// and a wait taken up again after a signal would end before its time-out.
class Deadline {
  public:
    explicit Deadline(int32_t timeout_msec) : timeout_msec_(timeout_msec) { restart(); }

    // Starts the whole time-out again from now.
    void restart() {
        end_nsec_ = now_nsec() + (timeout_msec_ < 0 ? 0 : timeout_msec_) * kNsecPerMsec;
    }
    // The milliseconds left for the next wait: -1 without limit, else 0 or
    // more.
    int32_t remaining() const {
        if (timeout_msec_ < 0) return -1;
        int64_t left = end_nsec_ - now_nsec();
        return left > 0 ? static_cast<int32_t>((left + kNsecPerMsec - 1) / kNsecPerMsec) : 0;
    }
    bool expired() const { return remaining() == 0; }

  private:
    static constexpr int64_t kNsecPerMsec = 1000000;

    static int64_t now_nsec() {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    int32_t timeout_msec_;
    int64_t end_nsec_ = 0;
};

// A pause of one millisecond before trying again where readiness cannot
// tell when to: false when a signal cut it short (errno EINTR).
inline bool pause_before_retry() {
    struct timespec pause = {0, 1000000};
    return nanosleep(&pause, nullptr) == 0;
}

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_WAIT_H
