#include "sysio/wait.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

namespace kuv::sysio {
namespace {

constexpr short kReadEvents = POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
constexpr short kWriteEvents = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;
constexpr short kExceptionalEvents = POLLPRI;

// Maps poll's answer onto select's three sets, as the kernel does for
// select itself, keeping only the conditions asked for.
int32_t ready_conditions(int32_t mask, short revents) {
    int32_t result = 0;
    if ((mask & kReadable) && (revents & kReadEvents)) result |= kReadable;
    if ((mask & kWritable) && (revents & kWriteEvents)) result |= kWritable;
    if ((mask & kExceptional) && (revents & kExceptionalEvents)) result |= kExceptional;
    return result;
}

}  // namespace

int32_t wait_descriptor(int32_t descriptor, int32_t mask, int32_t timeout_msec,
                        int32_t interruption_flag, OnInterruption on_interruption) {
    if (descriptor < 0) return -1;
    struct pollfd watched = {};
    watched.fd = descriptor;
    // Ask for every condition select counts in each set: poll reports only
    // the ones asked for (and errors and hang-ups, which it always reports).
    if (mask & kReadable) watched.events |= kReadEvents & ~(POLLHUP | POLLERR);
    if (mask & kWritable) watched.events |= kWriteEvents & ~POLLERR;
    if (mask & kExceptional) watched.events |= kExceptionalEvents;

    Deadline deadline(timeout_msec);
    // A failed call goes on only when a signal interrupted it and the flag
    // asks to repeat.
    auto repeat_after_failure = [&] {
        if (errno != EINTR || interruption_flag != 0) return false;
        if (on_interruption == OnInterruption::kWholeTimeOut) deadline.restart();
        return true;
    };
    for (;;) {
        watched.revents = 0;
        int ready = poll(&watched, 1, deadline.remaining());
        if (ready < 0) {
            if (!repeat_after_failure()) return -1;
            continue;
        }
        if (ready == 0) return 0;
        if (watched.revents & POLLNVAL) {
            // select fails with EBADF here; callers read errno.
            errno = EBADF;
            return -1;
        }
        int32_t result = ready_conditions(mask, watched.revents);
        if (result != 0) return result;
        // poll reports a hang-up even to a writer-only wait, where select
        // would go on waiting; do the same, without spinning hot. A signal
        // here interrupts the wait just as it would inside poll.
        if (deadline.expired()) return 0;
        if (!pause_before_retry() && !repeat_after_failure()) return -1;
    }
}

}  // namespace kuv::sysio
