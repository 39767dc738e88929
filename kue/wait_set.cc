// The wait on every socket of a handle: an epoll set whose entries carry
// their connection records. epoll has no limit on descriptor numbers (a
// select set stops at 1024) and a wait costs what is ready, not what is
// registered.
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"

namespace kuv::kue {

namespace {

constexpr uint32_t kFirstCapacity = 16;

bool open_set(WaitSet *set) {
    if (set->descriptor >= 0) return true;
    set->descriptor = ::epoll_create1(EPOLL_CLOEXEC);
    return set->descriptor >= 0;
}

// Room for one event per registered socket, so that one wait reports all
// that are ready, as a select would.
bool reserve_events(WaitSet *set) {
    const uint32_t needed = set->registered ? set->registered : 1;
    if (needed <= set->capacity) return true;
    uint64_t capacity = set->capacity ? set->capacity : kFirstCapacity;
    while (capacity < needed)
        capacity *= 2;
    void *grown = kuv_xapi_realloc(set->events, capacity * sizeof(epoll_event));
    if (!grown) return false;
    set->events = static_cast<epoll_event *>(grown);
    set->capacity = static_cast<uint32_t>(capacity);
    return true;
}

}  // namespace

bool watch_socket(::kue *handle, kue_connection *connection, uint32_t events) {
    WaitSet *set = &state_of(handle)->wait;
    ConnectionState *state = state_of(connection);
    const int32_t socket = connection->endpoint->socket;
    if (state->registered_socket == socket && state->registered_events == events) return true;
    if (!open_set(set)) return false;
    epoll_event entry{};
    entry.events = events;
    entry.data.ptr = connection;
    if (state->registered_socket == socket) {
        if (::epoll_ctl(set->descriptor, EPOLL_CTL_MOD, socket, &entry) != 0) return false;
    } else {
        unwatch_socket(handle, connection);
        if (::epoll_ctl(set->descriptor, EPOLL_CTL_ADD, socket, &entry) != 0) return false;
        state->registered_socket = socket;
        ++set->registered;
    }
    state->registered_events = events;
    return true;
}

void unwatch_socket(::kue *handle, kue_connection *connection) {
    WaitSet *set = &state_of(handle)->wait;
    ConnectionState *state = state_of(connection);
    if (state->registered_socket < 0) return;
    // The socket is still open here: every endpoint leaves the set before
    // it is deleted, so no entry can outlive its descriptor and match a
    // later socket of the same number.
    epoll_event unused{};
    ::epoll_ctl(set->descriptor, EPOLL_CTL_DEL, state->registered_socket, &unused);
    state->registered_socket = -1;
    state->registered_events = 0;
    --set->registered;
}

void settle_interest(::kue *handle) {
    for (kue_connection *connection = handle->connections; connection;
         connection = connection->next) {
        ConnectionState *state = state_of(connection);
        if (state->registered_socket < 0 || !(state->registered_events & EPOLLOUT)) continue;
        if (!connection->tx_queue) watch_socket(handle, connection, EPOLLIN);
    }
}

int wait_for_sockets(::kue *handle, int32_t timeout_msec) {
    WaitSet *set = &state_of(handle)->wait;
    if (!reserve_events(set)) {
        errno = ENOMEM;
        return -1;
    }
    const int ready =
        ::epoll_wait(set->descriptor, set->events, static_cast<int>(set->capacity), timeout_msec);
    for (int i = 0; i < ready; ++i)
        state_of(static_cast<kue_connection *>(set->events[i].data.ptr))->ready_events =
            set->events[i].events;
    return ready;
}

uint64_t monotonic_msec() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void release_wait_set(WaitSet *set) {
    if (set->descriptor >= 0) ::close(set->descriptor);
    if (set->events) kuv_xapi_free(set->events);
    *set = WaitSet{};
    set->descriptor = -1;
}

}  // namespace kuv::kue
