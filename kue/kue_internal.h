// Pieces shared by the event-service files: the handle's private part, the
// status and error reports, event and connection records, and the names of
// the trace levels.
#ifndef KUV_KUE_INTERNAL_H
#define KUV_KUE_INTERNAL_H

#include <sys/epoll.h>

#include <cstdint>

#include "davro_kuv/kue.h"
#include "kuvnet/packet_internal.h"

namespace kuv::kue {

// Trace thresholds of debug_level.
inline constexpr int32_t kReportLevel = 0;
inline constexpr int32_t kTraceLevel = 99999;

inline constexpr uint32_t kLockMode = KUV_LOCK_MODE_EXCLUSIVE;

// The epoll set of a handle's sockets. Each socket is registered once with
// the connection record as its data, and changed only when the record's
// interest changes, so that a round touches the records that are ready or
// have events queued, not every peer held. The events buffer grows with the
// number of registered sockets and is kept between polls.
struct WaitSet {
    int32_t descriptor;   // -1 until the first poll makes it
    uint32_t registered;  // sockets in the set
    struct epoll_event *events;
    uint32_t capacity;
    // The records registered for writability, linked through their
    // writer_prev/writer_next: the only ones whose interest may have to be
    // taken back when their queue runs empty.
    kue_connection *first_writer;
    // Set when a socket could not be registered or changed: the next round
    // then goes over every record, registers what is missing and reports
    // the failure if it persists.
    bool broken;
    // The registered records by socket number, so that an event pushed to
    // one peer finds it without walking every record; a slot is empty where
    // no record is registered, and the table may be shorter than the
    // highest socket when it could not grow.
    kue_connection **by_socket;
    uint32_t by_socket_size;
    // The process generation the set was made in (see wait_set.cc).
    uint32_t generation;
};

// The room of a peer's stash: about seventy 64-byte events on the wire. A
// peer holds its block only while bytes wait in it; the handle keeps a few
// drained blocks for the next receives.
inline constexpr uint32_t kStashBytes = 8192;
inline constexpr uint32_t kSpareStashes = 4;

// Blocks of sent or expired pushed events, kept for the next pushes: a
// sender that queues a burst and sends it would otherwise free the whole
// burst at once, which a system heap returns to the system at its top, and
// take every page back with a fault at the next burst.
inline constexpr uint32_t kMaxSpareEvents = 64;
inline constexpr uint64_t kMaxSpareBytes = uint64_t{4} << 20;

struct SpareEvent {
    kue_event *block;
    uint64_t room;  // bytes behind the record
};

// The handle as init allocates it: the public record, then what only the
// service touches. Applications see the public part alone.
struct HandleState {
    ::kue handle;  // first, so that a kue * is also a HandleState *
    // The sockets' wait; changed only under the handle's lock.
    WaitSet wait;
    // An eventfd that wakes the quiet service thread when an event is
    // pushed or the handle is deleted; -1 without a service thread.
    int32_t wake_descriptor;
    // 1 from the moment the service thread decides to wait quietly (under
    // the lock) until it wakes; push clears it and writes the eventfd.
    uint32_t service_waiting;
    // Set by delete before it stops the service.
    uint32_t stopping;
    // Application calls waiting for the lock, threads asleep until it is
    // released, and the count of releases they sleep on (see
    // handle_lock.h).
    uint32_t waiting_callers;
    uint32_t lock_sleepers;
    uint32_t lock_releases;
    // Application threads polling in kue_xapi_event_poll, and when
    // (monotonic milliseconds) the last such poll ended: while the
    // application polls, the service thread leaves the sockets to it (see
    // service.cc).
    uint32_t caller_polls;
    uint64_t caller_poll_end_msec;
    // Accepts, receipts and sends so far: tells the service thread whether
    // a wake-up led anywhere.
    uint64_t progress;
    // Spare event blocks (under the lock); freed by delete.
    SpareEvent spares[kMaxSpareEvents];
    uint32_t spare_count;
    uint64_t spare_bytes;
    // Status handlers running now (under the lock): a poll called from one
    // would change the lists that the call which made the report is
    // walking.
    uint32_t reporting;
    // The last connection record (accepted peers are appended behind it)
    // and the place in list order that the next record linked takes.
    kue_connection *last_connection;
    uint64_t next_order;
    // The records whose tx_queue or rx_queue holds events, in list order,
    // linked through queued_prev/queued_next: the only ones expiry and pop
    // have to look at. While the expiry walk goes over them, queued_cursor
    // is the record it takes next; unlinking that record, or linking one
    // between the record being walked (queued_walk_order) and it, moves it.
    kue_connection *first_queued;
    kue_connection *last_queued;
    kue_connection *queued_cursor;
    uint64_t queued_walk_order;
    bool queued_walk;
    // The records whose stash holds bytes of their stream, linked through
    // stashed_prev/stashed_next: each round serves them as if their
    // sockets were readable, and no wait lasts while there are any.
    kue_connection *first_stashed;
    // Counts the waits on the sockets, to tell a record the wait found
    // from a stashed one that it did not.
    uint64_t waits;
    // Stash blocks no peer holds bytes in, kept for the next receives.
    uint8_t *spare_stashes[kSpareStashes];
    uint32_t spare_stash_count;
};

// Milliseconds of the monotonic clock.
uint64_t monotonic_msec();

inline HandleState *state_of(::kue *handle) {
    return reinterpret_cast<HandleState *>(handle);
}

// ---- reports ------------------------------------------------------------

// Hands one status to the application's status_handler, or runs the
// built-in report; returns the answer.
int32_t report_status(::kue *handle, uint32_t status_code, uint32_t id, void *object);
// Stores code into error_code (with a handle), reports status 1 with the
// message, returns code.
uint32_t report_error(::kue *handle, uint32_t code, const char *message);

// ---- records ------------------------------------------------------------

// The id of a connection: its endpoint's socket, 0 without an endpoint.
inline uint32_t connection_id(const kue_connection *connection) {
    return connection->endpoint ? static_cast<uint32_t>(connection->endpoint->socket) : 0;
}

// A connection record as the service allocates it: the public record, then
// the tails of its two queues and a lower bound of the expiry times in each,
// so that neither appending nor the expiry check of every round walks a
// queue that may hold thousands of events.
struct ConnectionState {
    kue_connection connection;  // first, so that a kue_connection * is also this
    kue_event *tx_tail;
    kue_event *rx_tail;
    uint64_t tx_earliest_expiry;
    uint64_t rx_earliest_expiry;
    // Bytes of the first queued event's packet that a gathered send put on
    // the stream: the rest goes before anything else, and the event
    // neither expires nor has its header written again meanwhile. 0 on a
    // new endpoint.
    uint64_t tx_cut;
    // The record's place in list order: grows with every record linked, so
    // that sorting by it puts records in list order.
    uint64_t order;
    // Links of the handle's list of records with queued events.
    kue_connection *queued_prev;
    kue_connection *queued_next;
    bool queued;
    // The socket registered in the handle's wait (-1: none) and with which
    // events; links of the wait's list of records watched for writability.
    int32_t registered_socket;
    uint32_t registered_events;
    kue_connection *writer_prev;
    kue_connection *writer_next;
    // Bytes of a stream endpoint's socket read ahead of its next event
    // (the block is taken for a receive and given back once drained), the
    // links of the handle's list of records that hold some, and the
    // wait that last found the record ready.
    net::StreamStash stash;
    kue_connection *stashed_prev;
    kue_connection *stashed_next;
    bool stashed;
    uint64_t found_in_wait;
};

inline ConnectionState *state_of(kue_connection *connection) {
    return reinterpret_cast<ConnectionState *>(connection);
}

// One of the handle's lists of records threaded through their states by the
// links Prev and Next (the writers, the records holding stashed bytes): a
// record goes in first and comes out from anywhere.
template <kue_connection *ConnectionState::*Prev, kue_connection *ConnectionState::*Next>
struct RecordList {
    static void link_first(kue_connection **first, kue_connection *connection) {
        ConnectionState *state = state_of(connection);
        state->*Prev = nullptr;
        state->*Next = *first;
        if (*first) state_of(*first)->*Prev = connection;
        *first = connection;
    }
    static void unlink(kue_connection **first, kue_connection *connection) {
        ConnectionState *state = state_of(connection);
        if (state->*Prev)
            state_of(state->*Prev)->*Next = state->*Next;
        else
            *first = state->*Next;
        if (state->*Next) state_of(state->*Next)->*Prev = state->*Prev;
        state->*Prev = state->*Next = nullptr;
    }
};

// A zeroed connection record, or nullptr.
kue_connection *new_connection();
// Takes the endpoint's socket out of the wait, then deletes the endpoint.
void delete_endpoint(::kue *handle, kue_connection *connection);
// Appends a record at the end of the handle's list.
void link_connection(::kue *handle, kue_connection *connection);
// Unlinks a record, takes its counts off the handle's and frees it.
void remove_connection(::kue *handle, kue_connection *connection);
// The first record in list order whose rx_queue holds events, or nullptr.
kue_connection *first_with_received(::kue *handle);
// Runs drop_expired (which may report) on every record after the first that
// holds queued events, in list order, then `then` on it; stops at the first
// record for which `then` answers false and returns false.
bool expire_queued(::kue *handle, bool (*then)(::kue *, kue_connection *));
// An event record with `room` bytes right behind it (data points there, or
// is nullptr with no room); nullptr when memory runs out or room cannot be
// added to the record's size.
kue_event *new_event(uint64_t room);

// A pushed event with `room` bytes behind it: a spare block when one fits,
// else a new one.
kue_event *new_pushed_event(::kue *handle, uint64_t room);
// Releases a pushed event the service is done with (sent or expired): kept
// as a spare while there is room for it, else freed.
void recycle_event(::kue *handle, kue_event *event);
void release_spares(::kue *handle);

// The two queues of a connection. Appending and taking keep the counts of
// the record and of the handle.
void append_tx(::kue *handle, kue_connection *connection, kue_event *event);
void append_rx(::kue *handle, kue_connection *connection, kue_event *event);
// Unlinks the first event of the queue; the caller frees or hands it out.
kue_event *take_first_tx(::kue *handle, kue_connection *connection);
kue_event *take_first_rx(::kue *handle, kue_connection *connection);
// Unlinks every event whose expire_time is below the handle's time_stamp,
// reports it with status 7 (tx) or 8 (rx) and frees it.
void drop_expired(::kue *handle, kue_connection *connection);

// ---- endpoint and wait --------------------------------------------------

// The stash the next receive on the record's stream endpoint reads through,
// with a block from the handle's spares or a new one when it has none;
// nullptr for a datagram endpoint or without memory (the receive then reads
// only what the event needs).
net::StreamStash *stash_for_receive(::kue *handle, kue_connection *connection);
// After a receive on the record: lists it among those holding stashed
// bytes, or unlists it and gives its drained block back.
void note_stash(::kue *handle, kue_connection *connection);
// Drops the stashed bytes with the endpoint (before it is deleted) and
// gives the block back.
void release_stash(::kue *handle, kue_connection *connection);
// Frees the handle's spare stash blocks.
void release_spare_stashes(::kue *handle);

// Registers the record's socket for `events` (EPOLLIN, with EPOLLOUT while
// events wait to be sent), or changes what it is registered for. Makes the
// epoll set on first use. False when the set refuses it.
bool watch_socket(::kue *handle, kue_connection *connection, uint32_t events);
// Takes the record's socket out of the wait (when it is in).
void unwatch_socket(::kue *handle, kue_connection *connection);
// Leaves only the read interest on records with nothing left to send, so
// that a quiet wait on the set is not ended by writable sockets.
void settle_interest(::kue *handle);
// The record registered in the wait with this socket, or nullptr.
kue_connection *registered_record(::kue *handle, uint32_t socket);
// Waits up to timeout_msec for the registered sockets. The number of ready
// sockets, 0, or -1 (errno set); *ready then points at what the wait found,
// one entry per ready record, sorted in list order. A record with stashed
// bytes counts as readable whatever its socket shows.
int wait_for_sockets(::kue *handle, int32_t timeout_msec, struct epoll_event **ready);
// Closes the epoll set and frees its buffer.
void release_wait_set(WaitSet *set);

// ---- poll -----------------------------------------------------------------

// When a poll ends: once nothing is left to send (or error_code is set),
// or for the service thread's polls, which hold the handle's lock against
// the application, also after a round with no socket to wait on (a client
// whose server is gone) or once they have gone on for kServiceHoldMsec
// (events for a peer that takes nothing): the next poll goes on from there.
enum class PollEnd { kWhenSent, kForServiceThread };
inline constexpr int32_t kServiceHoldMsec = 100;
uint32_t poll_rounds(::kue *handle, int32_t wait_msec, PollEnd end);

// Sends a TCP connection's events as they are written: without it a short
// send behind bytes the peer has not acknowledged yet waits for that
// acknowledgement, which the peer may delay by up to 40 ms, and the last
// events of a burst arrive that late. Nothing for other transports.
void send_without_delay(kuvnet *endpoint);
// Makes, fills, creates and (client) connects the endpoint of the first
// connection; nullptr after reporting the failure.
kuvnet *open_endpoint(::kue *handle);

}  // namespace kuv::kue

#endif  // KUV_KUE_INTERNAL_H
