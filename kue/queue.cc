// Push, pop and the two counts: the application's side of the queues.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "kue/event_header.h"
#include "kue/handle_lock.h"
#include "kue/kue_internal.h"

namespace kuv::kue {

namespace {

// A quiet service thread sleeps in its wait until a socket is ready; a
// pushed event must wake it, or it would go out only at the end of the
// wait. Called with the lock held, which orders this against the service
// thread's decision to wait.
void wake_service(::kue *handle) {
    HandleState *state = state_of(handle);
    if (state->wake_descriptor < 0) return;
    if (__atomic_exchange_n(&state->service_waiting, 0u, __ATOMIC_ACQ_REL) == 0) return;
    const uint64_t one = 1;
    // The eventfd only counts; a full counter (never reached) or an
    // interrupted write both leave the service awake enough.
    [[maybe_unused]] ssize_t written = ::write(state->wake_descriptor, &one, sizeof one);
}

// Whether the connection's socket, which is its id, is `id`.
bool has_id(const kue_connection *connection, uint32_t id) {
    return connection->endpoint && static_cast<uint32_t>(connection->endpoint->socket) == id;
}

// Whether this connection takes a copy of an event pushed to `id`.
bool takes_copy(const ::kue *handle, const kue_connection *connection, uint32_t id) {
    // A server's first record is its listener, which has no peer.
    if (handle->is_server == 1 && connection == handle->connections) return false;
    return id == 0 || has_id(connection, id);
}

// What a push queues a copy of for each peer it goes to.
struct PushedEvent {
    uint32_t id;
    uint32_t type;
    uint32_t cmd;
    const void *payload;
    uint64_t payload_size;
    uint64_t expire_time;
};

// Queues a copy of the event for the connection and reports it. False when
// memory runs out.
bool queue_copy(::kue *handle, kue_connection *connection, const PushedEvent &pushed) {
    kue_event *event = pushed.payload_size > UINT64_MAX - kHeaderSize
                           ? nullptr
                           : new_pushed_event(handle, pushed.payload_size + kHeaderSize);
    if (!event) {
        report_error(handle, KUE_RESULT_NO_MEMORY, "memory alloc failed ! (push)");
        return false;
    }
    event->type = pushed.type;
    event->cmd = pushed.cmd;
    event->id = pushed.id;
    event->payload = event->data + kHeaderSize;
    event->payload_size = pushed.payload_size;
    event->seq = connection->next_seq++;
    event->expire_time = pushed.expire_time;
    // The block may be a fresh one or one an earlier event used: a header
    // left unwritten until the first send would show a status handler (and
    // anything it hands the bytes to) uninitialised or stale bytes. Each
    // send attempt writes it again, with the lifetime left at that moment.
    write_event_header(std::span<uint8_t, kHeaderSize>(event->data, kHeaderSize),
                       EventHeader{event->type, event->cmd, event->seq,
                                   remaining_lifetime(event->expire_time, handle->time_stamp)});
    if (pushed.payload)
        std::memcpy(event->payload, pushed.payload, pushed.payload_size);
    else
        std::memset(event->payload, 0, pushed.payload_size);
    append_tx(handle, connection, event);
    report_status(handle, KUE_STATUS_PUSHED, connection_id(connection), event);
    return true;
}

// The record an event pushed to `id` goes to, or nullptr. A record that is
// not registered in the wait (a client's before its first poll, or one
// whose registration was refused) is found by walking the list.
kue_connection *peer_with_id(::kue *handle, uint32_t id) {
    if (kue_connection *known = registered_record(handle, id); known && has_id(known, id))
        return known;
    for (kue_connection *connection = handle->connections; connection;
         connection = connection->next)
        if (has_id(connection, id)) return connection;
    return nullptr;
}

}  // namespace

}  // namespace kuv::kue

using namespace kuv::kue;

extern "C" {

uint32_t kue_mapi_event_push(kue *handle, uint32_t id, uint32_t type, uint32_t cmd,
                             const void *payload, uint64_t payload_size) {
    handle->time_stamp = kuv_xapi_time_stamp();
    PushedEvent pushed{id, type, cmd, payload, payload_size, kNever};
    if (handle->expire_time >= 0)
        pushed.expire_time = handle->time_stamp + static_cast<uint64_t>(handle->expire_time);
    bool queued = false;
    if (id != 0) {
        // Sockets are unique: an event for one peer has one record to go to.
        kue_connection *peer = peer_with_id(handle, id);
        queued = peer && takes_copy(handle, peer, id) && queue_copy(handle, peer, pushed);
    } else {
        for (kue_connection *connection = handle->connections; connection;
             connection = connection->next)
            if (takes_copy(handle, connection, id) && queue_copy(handle, connection, pushed))
                queued = true;
    }
    if (queued) wake_service(handle);
    return static_cast<uint32_t>(handle->tx_count);
}

uint32_t kue_xapi_event_push(kue *handle, uint32_t id, uint32_t type, uint32_t cmd,
                             const void *payload, uint64_t payload_size) {
    if (!handle)
        return report_error(nullptr, KUV_RESULT_INVALID_ARGUMENT, "invalid argument ! (push)");
    auto guard = KUE_CALLER_LOCK(handle);
    if (!guard.held()) return KUE_RESULT_WAIT_FAILED;
    return kue_mapi_event_push(handle, id, type, cmd, payload, payload_size);
}

kue_event *kue_mapi_event_pop(kue *handle) {
    if (kue_connection *connection = first_with_received(handle)) {
        kue_event *event = take_first_rx(handle, connection);
        report_status(handle, KUE_STATUS_POPPED, event->id, event);
        return event;
    }
    if (handle->debug_level > kTraceLevel) std::fputs("empty event queue! why?\n", stderr);
    return nullptr;
}

kue_event *kue_xapi_event_pop(kue *handle) {
    if (!handle) return nullptr;
    auto guard = KUE_CALLER_LOCK(handle);
    if (!guard.held()) return nullptr;
    return kue_mapi_event_pop(handle);
}

int32_t kue_xapi_event_get_rx_count(kue *handle) {
    if (!handle) return -1;
    auto guard = KUE_CALLER_LOCK(handle);
    return guard.held() ? handle->rx_count : -1;
}

int32_t kue_xapi_event_get_tx_count(kue *handle) {
    if (!handle) return -1;
    auto guard = KUE_CALLER_LOCK(handle);
    return guard.held() ? handle->tx_count : -1;
}

}  // extern "C"
