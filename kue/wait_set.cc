// The wait on every socket of a handle: an epoll set whose entries carry
// their connection records. epoll has no limit on descriptor numbers (a
// select set stops at 1024) and a wait costs what is ready, not what is
// registered.
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"
#include "runtime/fork_child.h"
#include "sysio/descriptor_guard.h"

namespace kuv::kue {

namespace {

constexpr uint32_t kFirstCapacity = 16;

// A forked child shares its parent's epoll sets: an entry it removes or
// changes is removed or changed for the parent too, so a child that deletes
// an inherited handle would leave the parent's service deaf to its own
// sockets. Each child counts a generation; a set made in an earlier one is
// left to its maker and the child's records register in a set of its own.
uint32_t g_generation;
const kuv::InForkedChild g_count_fork([] {
    __atomic_add_fetch(&g_generation, 1u, __ATOMIC_RELAXED);
});

bool open_set(WaitSet *set) {
    if (set->descriptor >= 0) return true;
    set->generation = __atomic_load_n(&g_generation, __ATOMIC_RELAXED);
    set->descriptor = kuv::sysio::above_standard_streams(::epoll_create1(EPOLL_CLOEXEC));
    return set->descriptor >= 0;
}

// In a forked child: closes the child's reference to the inherited set
// (its entries stay the parent's) and forgets every registration; the next
// round registers each record again in a new set.
void leave_inherited_set(::kue *handle) {
    WaitSet *set = &state_of(handle)->wait;
    if (set->descriptor < 0 || set->generation == __atomic_load_n(&g_generation, __ATOMIC_RELAXED))
        return;
    ::close(set->descriptor);
    set->descriptor = -1;
    for (kue_connection *connection = handle->connections; connection;
         connection = connection->next) {
        ConnectionState *state = state_of(connection);
        state->registered_socket = -1;
        state->registered_events = 0;
        state->writer_prev = state->writer_next = nullptr;
    }
    set->first_writer = nullptr;
    set->registered = 0;
    std::fill(set->by_socket, set->by_socket + set->by_socket_size, nullptr);
    set->broken = true;
}

// Grows a table of entries to hold at least `needed` of them, doubling
// from kFirstCapacity; the entries added are zero. False when memory runs
// out (the table stays as it was).
template <typename Entry>
bool grow_table(Entry *&table, uint32_t &size, uint64_t needed) {
    if (needed <= size) return true;
    uint64_t grown_size = size ? size : kFirstCapacity;
    while (grown_size < needed)
        grown_size *= 2;
    void *grown = kuv_xapi_realloc(table, grown_size * sizeof(Entry));
    if (!grown) return false;
    table = static_cast<Entry *>(grown);
    std::fill(table + size, table + grown_size, Entry{});
    size = static_cast<uint32_t>(grown_size);
    return true;
}

// Room for one event per registered socket, so that one wait reports all
// that are ready, as a select would.
bool reserve_events(WaitSet *set) {
    return grow_table(set->events, set->capacity, set->registered ? set->registered : 1);
}

using WriterList = RecordList<&ConnectionState::writer_prev, &ConnectionState::writer_next>;

// Notes the record's new interest; keeps the list of writers.
void note_interest(WaitSet *set, kue_connection *connection, uint32_t events) {
    ConnectionState *state = state_of(connection);
    const bool was_writer = state->registered_events & EPOLLOUT;
    const bool is_writer = events & EPOLLOUT;
    if (was_writer && !is_writer) WriterList::unlink(&set->first_writer, connection);
    if (is_writer && !was_writer) WriterList::link_first(&set->first_writer, connection);
    state->registered_events = events;
}

// Enters the record in the table by socket number, growing the table to
// take the socket. A table that cannot grow leaves the record out: pushes
// to it then find it the long way.
void index_socket(WaitSet *set, int32_t socket, kue_connection *connection) {
    const auto slot = static_cast<uint32_t>(socket);
    if (grow_table(set->by_socket, set->by_socket_size, uint64_t{slot} + 1))
        set->by_socket[slot] = connection;
}

uint64_t order_of(const epoll_event &entry) {
    return state_of(static_cast<kue_connection *>(entry.data.ptr))->order;
}

// Adds the records holding stashed bytes to the `ready` entries the wait
// found, as readable: their sockets may show nothing while the bytes wait
// in user space. A record the wait found is marked readable; one that finds
// no room (a set that could not grow) is served in a later round, which
// does not wait while it holds them. Returns the new count.
int add_stashed(::kue *handle, int ready) {
    HandleState *handle_state = state_of(handle);
    if (!handle_state->first_stashed) return ready;
    WaitSet *set = &handle_state->wait;
    const uint64_t wait = ++handle_state->waits;
    for (int i = 0; i < ready; ++i) {
        ConnectionState *state = state_of(static_cast<kue_connection *>(set->events[i].data.ptr));
        state->found_in_wait = wait;
        if (state->stashed) set->events[i].events |= EPOLLIN;
    }
    for (kue_connection *connection = handle_state->first_stashed; connection;
         connection = state_of(connection)->stashed_next) {
        if (state_of(connection)->found_in_wait != wait &&
            static_cast<uint32_t>(ready) < set->capacity) {
            set->events[ready].events = EPOLLIN;
            set->events[ready].data.ptr = connection;
            ++ready;
        }
    }
    return ready;
}

}  // namespace

bool watch_socket(::kue *handle, kue_connection *connection, uint32_t events) {
    WaitSet *set = &state_of(handle)->wait;
    ConnectionState *state = state_of(connection);
    leave_inherited_set(handle);
    const int32_t socket = connection->endpoint->socket;
    if (state->registered_socket == socket && state->registered_events == events) return true;
    epoll_event entry{};
    entry.events = events;
    entry.data.ptr = connection;
    if (!open_set(set)) {
        set->broken = true;
        return false;
    }
    if (state->registered_socket == socket) {
        if (::epoll_ctl(set->descriptor, EPOLL_CTL_MOD, socket, &entry) != 0) {
            set->broken = true;
            return false;
        }
    } else {
        unwatch_socket(handle, connection);
        if (::epoll_ctl(set->descriptor, EPOLL_CTL_ADD, socket, &entry) != 0) {
            set->broken = true;
            return false;
        }
        state->registered_socket = socket;
        ++set->registered;
        index_socket(set, socket, connection);
    }
    note_interest(set, connection, events);
    return true;
}

void unwatch_socket(::kue *handle, kue_connection *connection) {
    leave_inherited_set(handle);
    WaitSet *set = &state_of(handle)->wait;
    ConnectionState *state = state_of(connection);
    if (state->registered_socket < 0) return;
    // The socket is still open here: every endpoint leaves the set before
    // it is deleted, so no entry can outlive its descriptor and match a
    // later socket of the same number.
    epoll_event unused{};
    ::epoll_ctl(set->descriptor, EPOLL_CTL_DEL, state->registered_socket, &unused);
    const auto slot = static_cast<uint32_t>(state->registered_socket);
    if (slot < set->by_socket_size && set->by_socket[slot] == connection)
        set->by_socket[slot] = nullptr;
    note_interest(set, connection, 0);
    state->registered_socket = -1;
    --set->registered;
}

void settle_interest(::kue *handle) {
    kue_connection *next;
    for (kue_connection *connection = state_of(handle)->wait.first_writer; connection;
         connection = next) {
        next = state_of(connection)->writer_next;
        if (!connection->tx_queue) watch_socket(handle, connection, EPOLLIN);
    }
}

kue_connection *registered_record(::kue *handle, uint32_t socket) {
    const WaitSet *set = &state_of(handle)->wait;
    return socket < set->by_socket_size ? set->by_socket[socket] : nullptr;
}

int wait_for_sockets(::kue *handle, int32_t timeout_msec, epoll_event **ready_out) {
    leave_inherited_set(handle);
    WaitSet *set = &state_of(handle)->wait;
    if (!reserve_events(set)) {
        errno = ENOMEM;
        return -1;
    }
    int ready =
        ::epoll_wait(set->descriptor, set->events, static_cast<int>(set->capacity), timeout_msec);
    if (ready >= 0) ready = add_stashed(handle, ready);
    // The wait reports in the order sockets became ready; they are served
    // in list order, as a walk of the list would meet them.
    if (ready > 1)
        std::sort(set->events, set->events + ready, [](const epoll_event &a, const epoll_event &b) {
            return order_of(a) < order_of(b);
        });
    *ready_out = set->events;
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
    if (set->by_socket) kuv_xapi_free(set->by_socket);
    *set = WaitSet{};
    set->descriptor = -1;
}

}  // namespace kuv::kue
