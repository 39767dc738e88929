// The service thread: polls without waiting under the handle's lock and,
// after a poll that brought nothing new, waits quietly outside the lock
// until a socket is ready, an event is pushed, delete asks it to stop, or
// the longest pause of a spinning wait has passed. An idle handle thus costs
// about a hundred short polls a second, and a peer's event or a push is
// served as soon as it comes instead of after a pause.
#include <poll.h>
#include <unistd.h>

#include "davro_kuv/runtime.h"
#include "kue/handle_lock.h"
#include "kue/kue_internal.h"
#include "runtime/guards.h"

namespace kuv::kue {

namespace {

// The longest quiet wait; also the cadence at which expiry is checked and a
// lost client connection is retried while nothing else happens.
constexpr int kIdleWaitMsec = 10;
// How long after an application's poll the service thread still leaves the
// sockets to the application.
constexpr uint64_t kCallerGraceMsec = 2;

// An application that polls does the sockets' work itself (its poll sends
// and receives like the service thread's). Were the service thread to poll
// as well, the two would take turns at the lock for every event, and each
// turn costs a wake-up of the other thread; so the service thread stands
// aside while the application polls, and takes over once it has not polled
// for a moment.
bool application_polls(const HandleState *state) {
    if (__atomic_load_n(&state->caller_polls, __ATOMIC_RELAXED) > 0) return true;
    const uint64_t ended = __atomic_load_n(&state->caller_poll_end_msec, __ATOMIC_RELAXED);
    return ended != 0 && monotonic_msec() - ended < kCallerGraceMsec;
}

bool stop_asked(const HandleState *state, kue_service_t service) {
    return __atomic_load_n(&state->stopping, __ATOMIC_ACQUIRE) ||
           kue_xapi_break_service(service) == 1;
}

// The quiet wait, on the wake-up descriptor and on the epoll set of the
// sockets (readable while any of its sockets is ready). Only whether it
// ended matters, so no record is looked at without the lock. Returns
// whether a socket (not the wake-up descriptor) ended it.
bool wait_quietly(HandleState *state, int32_t sockets_descriptor, int timeout_msec) {
    pollfd slots[2] = {{state->wake_descriptor, POLLIN, 0}, {sockets_descriptor, POLLIN, 0}};
    const int ready = ::poll(slots, sockets_descriptor >= 0 ? 2 : 1, timeout_msec);
    __atomic_store_n(&state->service_waiting, 0u, __ATOMIC_RELEASE);
    if (ready <= 0) return false;
    if (slots[0].revents & POLLIN) {
        uint64_t wakes;
        [[maybe_unused]] ssize_t taken = ::read(state->wake_descriptor, &wakes, sizeof wakes);
    }
    return slots[1].revents != 0;
}

}  // namespace

}  // namespace kuv::kue

using namespace kuv::kue;

extern "C" {

void kue_iapi_async_service_handler(kue_service_t service, void *context) {
    auto *handle = static_cast<kue *>(context);
    HandleState *state = state_of(handle);
    kue_xapi_ack_service(service);
    // Set when a socket ended the last quiet wait. When the poll after such
    // a wake moves nothing (say, a listener whose accept keeps failing),
    // the next yield is a plain pause, or the thread would spin on that
    // socket.
    bool socket_woke = false;
    while (!stop_asked(state, service)) {
        if (application_polls(state)) {
            // Only a push or delete ends this wait early.
            wait_quietly(state, -1, static_cast<int>(kCallerGraceMsec));
            socket_woke = false;
            continue;
        }
        bool wait = false;
        // Made by the first poll and closed only after this thread ended.
        int32_t sockets_descriptor;
        let_callers_go_first(state);
        {
            HandleLock guard(handle, HandleLock::Taker::kServiceThread, KUV_LOCK_SITE);
            if (!guard.held()) continue;
            const uint64_t progress_before = state->progress;
            const int32_t received_before = handle->rx_count;
            poll_rounds(handle, 0, PollEnd::kForServiceThread);
            if (handle->rx_count > received_before) {
                socket_woke = false;
                continue;
            }
            // Bytes a receive read ahead of a peer's next events are not
            // shown by its socket: the next poll takes them without a wait
            // (after a poll that moved nothing, after a pause).
            const bool stashed = state->first_stashed != nullptr;
            if (stashed && state->progress != progress_before) {
                socket_woke = false;
                continue;
            }
            const bool fruitless = socket_woke && state->progress == progress_before;
            sockets_descriptor = state->wait.descriptor;
            if (!fruitless && !stashed && state->wake_descriptor >= 0) {
                // Decided under the lock: a push after this point sees the
                // flag and wakes the wait.
                __atomic_store_n(&state->service_waiting, 1u, __ATOMIC_RELEASE);
                wait = true;
            }
        }
        if (wait) {
            socket_woke = wait_quietly(state, sockets_descriptor, kIdleWaitMsec);
        } else {
            socket_woke = false;
            kuv_xapi_load_balance();
        }
    }
}

}  // extern "C"
