// Event and connection records: making, queueing, expiring and freeing
// them.
#include <cstring>

#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"

namespace kuv::kue {

namespace {

constexpr uint64_t kNeverExpires = KUE_NEVER_EXPIRES;

void free_queue(kue_event *event) {
    while (event) {
        kue_event *next = event->next;
        kue_xapi_event_free(event);
        event = next;
    }
}

// One queue of a connection with its tail and the two counts it changes.
struct QueueView {
    kue_event **head;
    kue_event **tail;
    int32_t *connection_count;
    int32_t *handle_count;
    // No event of the queue expires before this time (it may be lower than
    // the earliest expiry left, never higher).
    uint64_t *earliest_expiry;

    void append(kue_event *event) {
        if (!*head || event->expire_time < *earliest_expiry) *earliest_expiry = event->expire_time;
        event->next = nullptr;
        if (*tail)
            (*tail)->next = event;
        else
            *head = event;
        *tail = event;
        ++*connection_count;
        ++*handle_count;
    }

    kue_event *take_first() {
        kue_event *event = *head;
        if (!event) return nullptr;
        *head = event->next;
        if (!*head) *tail = nullptr;
        event->next = nullptr;
        --*connection_count;
        --*handle_count;
        return event;
    }

    // Unlinks every expired event, then reports and frees each; the handler
    // keeps no pointer to it. The queue is whole again before the first
    // report, so that a handler may push or pop on it: a push then sets the
    // earliest expiry for its own event, and a pop takes no event this walk
    // still holds.
    void drop_expired(::kue *handle, uint32_t id, uint32_t status_code, bool keep_first) {
        if (!*head || *earliest_expiry >= handle->time_stamp) return;
        uint64_t earliest_left = kNeverExpires;
        kue_event *expired = nullptr;
        kue_event **expired_tail = &expired;
        kue_event *previous = nullptr;
        for (kue_event *event = *head, *next; event; event = next) {
            next = event->next;
            if (event->expire_time < handle->time_stamp && !(keep_first && event == *head)) {
                if (previous)
                    previous->next = next;
                else
                    *head = next;
                if (*tail == event) *tail = previous;
                event->next = nullptr;
                *expired_tail = event;
                expired_tail = &event->next;
                --*connection_count;
                --*handle_count;
            } else {
                if (event->expire_time < earliest_left) earliest_left = event->expire_time;
                previous = event;
            }
        }
        *earliest_expiry = earliest_left;
        while (expired) {
            kue_event *event = expired;
            expired = event->next;
            event->next = nullptr;
            report_status(handle, status_code, id, event);
            recycle_event(handle, event);
        }
    }
};

QueueView tx_view(::kue *handle, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    return {&connection->tx_queue, &state->tx_tail, &connection->tx_count, &handle->tx_count,
            &state->tx_earliest_expiry};
}

QueueView rx_view(::kue *handle, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    return {&connection->rx_queue, &state->rx_tail, &connection->rx_count, &handle->rx_count,
            &state->rx_earliest_expiry};
}

// The room of a pushed event's block (header and payload): payload sizes
// come in classes, eight to each doubling above 64 bytes, so that the room
// of a kept block follows from the size of its last event, which is all the
// event record tells, and the count of kept bytes is the count held. A
// payload of a power of two is a class of its own.
uint64_t room_class(uint64_t size) {
    if (size <= KUE_EVENT_HEADER_SIZE + 64) return KUE_EVENT_HEADER_SIZE + 64;
    const uint64_t payload = size - KUE_EVENT_HEADER_SIZE;
    if (payload > UINT64_MAX / 4) return size;  // no block of that size is made
    const uint64_t step = uint64_t{1} << (60 - __builtin_clzll(payload - 1));
    return KUE_EVENT_HEADER_SIZE + ((payload + step - 1) & ~(step - 1));
}

// Links a record that took its first queued event into the handle's list of
// such records, at its place in list order. Records mostly take events in
// list order (a push to every peer; the newest peers' events), so the place
// is looked for from the end.
void enqueue(::kue *handle, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    if (state->queued) return;
    HandleState *handle_state = state_of(handle);
    kue_connection *before = handle_state->last_queued;
    while (before && state_of(before)->order > state->order)
        before = state_of(before)->queued_prev;
    kue_connection *after = before ? state_of(before)->queued_next : handle_state->first_queued;
    state->queued_prev = before;
    state->queued_next = after;
    if (after)
        state_of(after)->queued_prev = connection;
    else
        handle_state->last_queued = connection;
    if (before)
        state_of(before)->queued_next = connection;
    else
        handle_state->first_queued = connection;
    state->queued = true;
    // A record that a status handler gives events while the expiry walk is
    // under way, behind the record being walked, is walked as well, as a
    // walk of the whole list would reach it.
    kue_connection *cursor = handle_state->queued_cursor;
    if (handle_state->queued_walk && state->order > handle_state->queued_walk_order &&
        (!cursor || state->order < state_of(cursor)->order))
        handle_state->queued_cursor = connection;
}

void dequeue(::kue *handle, kue_connection *connection) {
    ConnectionState *state = state_of(connection);
    if (!state->queued) return;
    HandleState *handle_state = state_of(handle);
    if (handle_state->queued_cursor == connection) handle_state->queued_cursor = state->queued_next;
    if (state->queued_prev)
        state_of(state->queued_prev)->queued_next = state->queued_next;
    else
        handle_state->first_queued = state->queued_next;
    if (state->queued_next)
        state_of(state->queued_next)->queued_prev = state->queued_prev;
    else
        handle_state->last_queued = state->queued_prev;
    state->queued_prev = state->queued_next = nullptr;
    state->queued = false;
}

// Leaves the list of records with queued events once both queues are empty.
void settle_queued(::kue *handle, kue_connection *connection) {
    if (!connection->tx_queue && !connection->rx_queue) dequeue(handle, connection);
}

}  // namespace

kue_connection *new_connection() {
    auto *state = static_cast<ConnectionState *>(kuv_xapi_calloc(1, sizeof(ConnectionState)));
    if (!state) return nullptr;
    state->registered_socket = -1;
    return &state->connection;
}

void delete_endpoint(::kue *handle, kue_connection *connection) {
    state_of(connection)->tx_cut = 0;
    release_stash(handle, connection);
    unwatch_socket(handle, connection);
    kuv_xapi_kuvnet_delete(&connection->endpoint);
}

namespace {

// Frees the record with its queued events and its endpoint. The caller has
// unlinked it and taken its counts off the handle's.
void free_connection(::kue *handle, kue_connection *connection) {
    dequeue(handle, connection);
    free_queue(connection->rx_queue);
    free_queue(connection->tx_queue);
    if (connection->endpoint) delete_endpoint(handle, connection);
    kuv_xapi_free(connection);
}

}  // namespace

void link_connection(::kue *handle, kue_connection *connection) {
    HandleState *handle_state = state_of(handle);
    kue_connection *last = handle_state->last_connection;
    state_of(connection)->order = handle_state->next_order++;
    connection->next = nullptr;
    connection->prev = last;
    if (last)
        last->next = connection;
    else
        handle->connections = connection;
    handle_state->last_connection = connection;
}

void remove_connection(::kue *handle, kue_connection *connection) {
    HandleState *handle_state = state_of(handle);
    if (handle_state->last_connection == connection)
        handle_state->last_connection = connection->prev;
    if (connection->prev)
        connection->prev->next = connection->next;
    else
        handle->connections = connection->next;
    if (connection->next) connection->next->prev = connection->prev;
    handle->tx_count -= connection->tx_count;
    handle->rx_count -= connection->rx_count;
    free_connection(handle, connection);
}

kue_event *new_event(uint64_t room) {
    if (room > UINT64_MAX - sizeof(kue_event)) return nullptr;
    auto *event = static_cast<kue_event *>(kuv_xapi_alloc(sizeof(kue_event) + room));
    if (!event) return nullptr;
    std::memset(event, 0, sizeof *event);
    event->size = room;
    event->data = room ? reinterpret_cast<uint8_t *>(event + 1) : nullptr;
    return event;
}

kue_event *new_pushed_event(::kue *handle, uint64_t room) {
    HandleState *state = state_of(handle);
    const uint64_t block_room = room_class(room);
    // The most recently kept block of the class.
    for (uint32_t i = state->spare_count; i-- > 0;) {
        const SpareEvent spare = state->spares[i];
        if (spare.room != block_room) continue;
        state->spares[i] = state->spares[--state->spare_count];
        state->spare_bytes -= spare.room;
        kue_event *event = spare.block;
        std::memset(event, 0, sizeof *event);
        event->size = room;
        event->data = reinterpret_cast<uint8_t *>(event + 1);
        return event;
    }
    kue_event *event = new_event(block_room);
    if (event) event->size = room;
    return event;
}

void recycle_event(::kue *handle, kue_event *event) {
    HandleState *state = state_of(handle);
    // Received events carry a block of their own and are never kept.
    const uint64_t block_room = room_class(event->size);
    if (event->flags & KUE_EVENT_OWNS_DATA || state->spare_count == kMaxSpareEvents ||
        block_room > kMaxSpareBytes - state->spare_bytes) {
        kue_xapi_event_free(event);
        return;
    }
    state->spares[state->spare_count++] = SpareEvent{event, block_room};
    state->spare_bytes += block_room;
}

void release_spares(::kue *handle) {
    HandleState *state = state_of(handle);
    while (state->spare_count > 0)
        kue_xapi_event_free(state->spares[--state->spare_count].block);
    state->spare_bytes = 0;
}

void append_tx(::kue *handle, kue_connection *connection, kue_event *event) {
    tx_view(handle, connection).append(event);
    enqueue(handle, connection);
}

void append_rx(::kue *handle, kue_connection *connection, kue_event *event) {
    rx_view(handle, connection).append(event);
    enqueue(handle, connection);
}

kue_event *take_first_tx(::kue *handle, kue_connection *connection) {
    kue_event *event = tx_view(handle, connection).take_first();
    settle_queued(handle, connection);
    return event;
}

kue_event *take_first_rx(::kue *handle, kue_connection *connection) {
    kue_event *event = rx_view(handle, connection).take_first();
    settle_queued(handle, connection);
    return event;
}

void drop_expired(::kue *handle, kue_connection *connection) {
    const uint32_t id = connection_id(connection);
    tx_view(handle, connection)
        .drop_expired(handle, id, KUE_STATUS_TX_EXPIRED, state_of(connection)->tx_cut > 0);
    rx_view(handle, connection).drop_expired(handle, id, KUE_STATUS_RX_EXPIRED, false);
    settle_queued(handle, connection);
}

kue_connection *first_with_received(::kue *handle) {
    for (kue_connection *connection = state_of(handle)->first_queued; connection;
         connection = state_of(connection)->queued_next)
        if (connection->rx_queue) return connection;
    return nullptr;
}

bool expire_queued(::kue *handle, bool (*then)(::kue *, kue_connection *)) {
    HandleState *handle_state = state_of(handle);
    kue_connection *first = handle->connections;
    kue_connection *cursor = handle_state->first_queued;
    if (cursor == first) cursor = state_of(cursor)->queued_next;
    handle_state->queued_cursor = cursor;
    handle_state->queued_walk_order = state_of(first)->order;
    handle_state->queued_walk = true;
    bool going_on = true;
    // The cursor moves past a record that a status handler's pop leaves
    // without events, so the walk never follows the links of a record that
    // left the list. No record is freed here: only a failed receive or send
    // drops one.
    while (kue_connection *connection = handle_state->queued_cursor) {
        handle_state->queued_cursor = state_of(connection)->queued_next;
        handle_state->queued_walk_order = state_of(connection)->order;
        drop_expired(handle, connection);
        if (!then(handle, connection)) {
            going_on = false;
            break;
        }
    }
    handle_state->queued_walk = false;
    handle_state->queued_cursor = nullptr;
    return going_on;
}

}  // namespace kuv::kue

extern "C" {

int32_t kue_xapi_event_free(kue_event *event) {
    if (!event) return 0;
    if (event->flags & KUE_EVENT_OWNS_DATA) kuv_xapi_free(event->data);
    kuv_xapi_free(event);
    return 0;
}

}  // extern "C"
