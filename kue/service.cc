// The service thread: polls without waiting under the handle's lock and,
// after a poll that brought nothing new, waits quietly outside the lock
// until a socket is ready, an event is pushed, delete asks it to stop, or
// the longest pause of a spinning wait has passed. An idle handle thus costs
// about a hundred short polls a second, and a peer's event or a push is
// served as soon as it comes instead of after a pause.
#include <poll.h>
#include <unistd.h>

#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"
#include "runtime/guards.h"

namespace kuv::kue {

namespace {

// The longest quiet wait; also the cadence at which expiry is checked and a
// lost client connection is retried while nothing else happens.
constexpr int kIdleWaitMsec = 10;

bool stop_asked(const HandleState *state, kue_service_t service) {
    return __atomic_load_n(&state->stopping, __ATOMIC_ACQUIRE) ||
           kue_xapi_break_service(service) == 1;
}

// Fills the quiet wait's set: the wake-up descriptor first, then every
// socket (readable only: nothing is queued for sending after a poll that
// ended normally). Called under the lock, which keeps the list still.
bool collect_idle_set(HandleState *state) {
    WaitSet *set = &state->idle_set;
    set->count = 0;
    if (!add_to_wait_set(set, state->wake_descriptor, POLLIN)) return false;
    for (kue_connection *connection = state->handle.connections; connection;
         connection = connection->next) {
        if (!connection->endpoint || connection->endpoint->socket < 0) continue;
        if (!add_to_wait_set(set, connection->endpoint->socket, POLLIN)) return false;
    }
    return true;
}

// The quiet wait. Sockets are watched without the lock: a peer dropped by a
// poll in another thread meanwhile only makes the wait end early. Returns
// whether a socket (not the wake-up descriptor) ended it.
bool wait_quietly(HandleState *state) {
    WaitSet *set = &state->idle_set;
    const int ready = ::poll(set->slots, set->count, kIdleWaitMsec);
    __atomic_store_n(&state->service_waiting, 0u, __ATOMIC_RELEASE);
    if (ready <= 0) return false;
    if (set->slots[0].revents & POLLIN) {
        uint64_t wakes;
        [[maybe_unused]] ssize_t taken = ::read(state->wake_descriptor, &wakes, sizeof wakes);
        return ready > 1;
    }
    return true;
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
        bool wait = false;
        {
            kuv::LockGuard guard(&handle->lock, kLockMode, KUV_LOCK_SITE);
            if (!guard.held()) continue;
            const uint64_t progress_before = state->progress;
            const int32_t received_before = handle->rx_count;
            kue_mapi_event_poll(handle, 0);
            if (handle->rx_count > received_before) {
                socket_woke = false;
                continue;
            }
            const bool fruitless = socket_woke && state->progress == progress_before;
            if (!fruitless && state->wake_descriptor >= 0 && collect_idle_set(state)) {
                // Decided under the lock: a push after this point sees the
                // flag and wakes the wait.
                __atomic_store_n(&state->service_waiting, 1u, __ATOMIC_RELEASE);
                wait = true;
            }
        }
        if (wait) {
            socket_woke = wait_quietly(state);
        } else {
            socket_woke = false;
            kuv_xapi_load_balance();
        }
    }
}

}  // extern "C"
