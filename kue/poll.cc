// The poll loop: rounds of expiry, reopening a lost client connection, one
// wait over every socket, accepting, receiving one whole event and sending
// queued events to each writable peer (one, or as many as the socket takes
// when nothing reports them), until nothing is left to send.
#include <errno.h>
#include <pthread.h>

#include <cstdio>

#include "davro_kuv/runtime.h"
#include "kue/event_header.h"
#include "kue/handle_lock.h"
#include "kue/kue_internal.h"
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"
#include "sysio/wait.h"

namespace kuv::kue {

namespace {

// A hang-up or an error counts as readable, so that the receive finds out
// and drops the peer; an error also counts as writable.
constexpr uint32_t kReadableEvents = EPOLLIN | EPOLLHUP | EPOLLERR;
constexpr uint32_t kWritableEvents = EPOLLOUT | EPOLLERR;

// The longest wait of a round that follows a round in which nothing was
// ready while events were waiting to go.
constexpr int32_t kQuietWaitMsec = 10;

// The most events, and about the most bytes, that one gathered send
// takes from a peer's queue.
constexpr size_t kMostEventsPerSend = 64;
constexpr uint64_t kMostBytesPerSend = 256 << 10;

struct Readiness {
    bool readable = false;
    bool writable = false;
};

// Only a stream socket listens: a server's datagram socket takes no
// connections, it receives the events of every sender. Accepting on it
// would fail for every datagram, and the datagram, left queued, would end
// every later wait at once.
bool is_listener(const ::kue *handle, const kue_connection *connection) {
    return connection == handle->connections && connection->endpoint->is_server == 1 &&
           net::is_stream(connection->endpoint->protocol_type);
}

uint32_t endpoint_failure(const kuvnet *endpoint, uint32_t result) {
    return endpoint->error_code ? endpoint->error_code : result;
}

// Counted under the lock, read by the service thread under the lock.
void note_progress(::kue *handle) {
    ++state_of(handle)->progress;
}

// After a failed receive or send: the first record keeps its place and
// queues and only loses its endpoint (a client reconnects in the next
// round); any other peer goes with its queued events. A peer gone is a
// change too: its socket no longer ends the next wait.
void drop_connection(::kue *handle, kue_connection *connection) {
    if (connection == handle->connections)
        delete_endpoint(handle, connection);
    else
        remove_connection(handle, connection);
    note_progress(handle);
}

// The socket's interest in the round's wait: reading always, writing while
// events wait to be sent. An endpoint without a socket (an active UDP
// endpoint without a peer) has nothing to wait on. False when the wait
// refuses it.
bool watch_for_round(::kue *handle, kue_connection *connection) {
    if (connection->endpoint->socket < 0) return true;
    return watch_socket(handle, connection, connection->tx_queue ? EPOLLIN | EPOLLOUT : EPOLLIN);
}

// The first record's part of step 2: expiry, reopening a lost client
// connection, interest. False when the wait refuses the socket.
bool prepare_first(::kue *handle, kue_connection *connection) {
    drop_expired(handle, connection);
    if (!connection->endpoint) {
        connection->endpoint = open_endpoint(handle);
        if (!connection->endpoint) {
            report_status(handle, KUE_STATUS_PENDING, 0, connection);
            return true;
        }
        if (handle->is_server != 1)
            report_status(handle, KUE_STATUS_CONNECTED, connection_id(connection), connection);
    }
    return watch_for_round(handle, connection);
}

// Step 2 of a round: expiry, reopening, and each socket's interest in the
// wait. Every other record keeps its interest between rounds: only the first
// can lose its endpoint and get it back, and only records with queued events
// have events to expire and a socket to watch for writing, so the round
// looks at those alone. After a socket the wait refused, the round goes
// over every record again. Returns 1 when some socket takes part in the
// wait, 0 when none does, or the code of a wait that cannot be set up.
uint32_t prepare_round(::kue *handle) {
    WaitSet *set = &state_of(handle)->wait;
    kue_connection *first = handle->connections;
    bool watched = prepare_first(handle, first);
    // Records whose queue ran empty while they were watched for writing
    // are watched for reading only, before the walk, as a walk of every
    // record leaves each at its turn: one that a status report in the walk
    // gives events is walked at its place when that is still ahead, and
    // waits for the next round when its place is behind.
    settle_interest(handle);
    if (watched && set->broken) {
        set->broken = false;
        for (kue_connection *connection = first->next; watched && connection;
             connection = connection->next) {
            drop_expired(handle, connection);
            watched = watch_for_round(handle, connection);
        }
    } else if (watched) {
        watched = expire_queued(handle, watch_for_round);
    }
    if (!watched) return report_error(handle, KUE_RESULT_WAIT_FAILED, "select failed !");
    return set->registered > 0 ? 1 : 0;
}

// What the round's wait found for a record, as select would have found it.
Readiness readiness_of(kue_connection *connection, uint32_t ready_events) {
    Readiness ready;
    ready.readable = ready_events & kReadableEvents;
    ready.writable =
        (state_of(connection)->registered_events & EPOLLOUT) && (ready_events & kWritableEvents);
    return ready;
}

void accept_peer(::kue *handle, kue_connection *listener) {
    kuvnet *listening = listener->endpoint;
    kuvnet *endpoint = nullptr;
    const uint32_t result = kuv_xapi_kuvnet_accept(listening, &endpoint);
    // Nothing was there any more (taken by another process that shares the
    // listener): no fault of this one.
    if (result == KUVNET_RESULT_NO_TRANSFER && errno == ETIMEDOUT) {
        listening->error_code = 0;
        return;
    }
    if (result != KUV_RESULT_OK) {
        report_error(handle, endpoint_failure(listening, result),
                     "kuv_xapi_kuvnet_accept failed !");
        listening->error_code = 0;
        return;
    }
    kue_connection *connection = new_connection();
    if (!connection) {
        kuv_xapi_kuvnet_delete(&endpoint);
        report_error(handle, KUE_RESULT_NO_MEMORY, "memory alloc failed ! (accept)");
        return;
    }
    send_without_delay(endpoint);
    endpoint->timeout = static_cast<uint32_t>(handle->io_timeout);
    connection->endpoint = endpoint;
    link_connection(handle, connection);
    // Watched from now on, so that the service thread's wait after this
    // poll wakes for the peer's first event instead of sleeping its pause,
    // and so that no later round has to look at the peer while it is idle.
    // A socket the wait cannot take (the user's epoll watches or the
    // kernel's memory are used up) is closed again, as a connection the
    // listener could not accept: kept, it would fail the wait of every
    // later round, and no other peer would be served while the shortage
    // lasts.
    if (!watch_socket(handle, connection, EPOLLIN)) {
        remove_connection(handle, connection);
        report_error(handle, KUE_RESULT_WAIT_FAILED, "select failed !");
        return;
    }
    note_progress(handle);
    report_status(handle, KUE_STATUS_ACCEPTED, connection_id(connection), connection);
}

// Turns a received data item into an event and offers it to the
// application. The item's block passes to the event.
void take_event(::kue *handle, kue_connection *connection, packet_info *info) {
    if (!info->data || info->size < kHeaderSize) {
        report_error(handle, KUE_RESULT_SHORT_EVENT, "few rx_packet_size !");
        return;
    }
    kue_event *event = new_event(0);
    if (!event) {
        report_error(handle, KUE_RESULT_NO_MEMORY, "memory alloc failed ! (rx_data_fill)");
        return;
    }
    const uint32_t id = connection_id(connection);
    event->id = id;
    event->flags = KUE_EVENT_OWNS_DATA;
    event->size = info->size;
    event->data = info->data;
    info->data = nullptr;
    info->size = 0;
    const EventHeader header =
        read_event_header(std::span<const uint8_t, kHeaderSize>(event->data, kHeaderSize));
    event->type = header.type;
    event->cmd = header.cmd;
    event->seq = header.seq;
    event->expire_time = expiry_from_remaining(handle->time_stamp, header.remaining_msec);
    event->payload_size = event->size - kHeaderSize;
    event->payload = event->data + kHeaderSize;
    note_progress(handle);
    if (report_status(handle, KUE_STATUS_RECEIVED, id, event) == 0)
        append_rx(handle, connection, event);
    else
        kue_xapi_event_free(event);
    if (handle->debug_level > kTraceLevel)
        std::printf("recved event into queue (count=%d/%d)\n", connection->rx_count,
                    handle->rx_count);
}

// Receives one whole data item. False when the peer was dropped.
bool receive_event(::kue *handle, kue_connection *connection) {
    kuvnet *endpoint = connection->endpoint;
    packet_info info;
    kuv_xapi_init_packet_info(&info);
    info.src_id = 0;
    // A UDP client sends to its peer alone: the sender of a datagram (a
    // stray one, or another program's event) must not become the address
    // that every later event goes to, as a receive on an endpoint makes it.
    struct sockaddr *const peer = endpoint->peer_address.selected;
    const bool keeps_peer =
        net::is_udp(endpoint->protocol_type) && endpoint->is_server != 1 && peer &&
        peer != reinterpret_cast<struct sockaddr *>(&endpoint->peer_address.unix_address);
    // The whole event within io_timeout: a peer that sends a few bytes now
    // and then would otherwise hold the poll, and every other peer with it,
    // for as long as it likes. On a stream, what has arrived behind the
    // event waits in the peer's stash for the next rounds.
    const uint32_t result = net::receive_whole_message(endpoint, &info, handle->io_timeout,
                                                       stash_for_receive(handle, connection));
    note_stash(handle, connection);
    if (keeps_peer) endpoint->peer_address.selected = peer;
    if (result != KUV_RESULT_OK) {
        kuv_xapi_release_packet_info(&info);
        report_error(handle, endpoint_failure(endpoint, result),
                     "kuv_xapi_kuvnet_rx_data_fill failed !");
        endpoint->error_code = 0;
        // A datagram socket has no connection to lose: what could not be
        // made an event (a stray datagram, or a message the network cut,
        // repeated or reordered) is passed over, and the socket keeps its
        // port for what comes next.
        if (net::is_udp(endpoint->protocol_type)) return true;
        report_status(handle, KUE_STATUS_DISCONNECTED, connection_id(connection), connection);
        drop_connection(handle, connection);
        return false;
    }
    take_event(handle, connection, &info);
    kuv_xapi_release_packet_info(&info);
    return true;
}

// The event's header, written for this send attempt unless a part of the
// event is on the stream already, and the data item that carries the
// event's bytes (the event keeps its block).
void prepare_send(const ::kue *handle, kue_event *event, bool begun, packet_info *info) {
    if (!begun) {
        EventHeader header;
        header.type = event->type;
        header.cmd = event->cmd;
        header.seq = event->seq;
        header.remaining_msec = remaining_lifetime(event->expire_time, handle->time_stamp);
        write_event_header(std::span<uint8_t, kHeaderSize>(event->data, kHeaderSize), header);
    }
    kuv_xapi_init_packet_info(info);
    info->src_id = info->dst_id = info->cmd_type = info->cmd_id = 0;
    info->total_size = static_cast<int64_t>(event->size);
    info->size = event->size;
    info->data = event->data;
}

// Whether the events queued behind the first may leave in the same round,
// in one gathered send: the report of each sent event is silent and lets
// the event go (no status handler, and the built-in report prints
// nothing), so that nothing tells them from events sent one per round,
// while the peer receives the same bytes in the same order with far fewer
// sends.
bool sends_many(const ::kue *handle, const kue_connection *connection) {
    return connection->tx_queue->next && !handle->status_handler &&
           handle->debug_level <= kReportLevel;
}

// Sends the first queued event (or the rest of it), and when the reports
// allow the events behind it as far as the socket takes them at once; one
// of those taken in part is finished first in a later round. False when
// the peer was dropped.
bool send_queued_events(::kue *handle, kue_connection *connection) {
    kuvnet *endpoint = connection->endpoint;
    ConnectionState *state = state_of(connection);
    const uint64_t already = state->tx_cut;
    packet_info infos[kMostEventsPerSend];
    packet_info *items[kMostEventsPerSend];
    size_t count = 0;
    uint64_t bytes = 0;
    const size_t most = sends_many(handle, connection) ? kMostEventsPerSend : 1;
    for (kue_event *event = connection->tx_queue;
         event && count < most && bytes < kMostBytesPerSend; event = event->next) {
        prepare_send(handle, event, count == 0 && already > 0, &infos[count]);
        items[count] = &infos[count];
        bytes += event->size;
        ++count;
    }
    // A single whole event goes out as kuv_xapi_kuvnet_tx_data sends it.
    size_t sent = 0;
    uint64_t cut = 0;
    const uint32_t result = net::send_messages(endpoint, items, count, already, &sent, &cut);
    state->tx_cut = 0;
    for (size_t done = 0; done < sent; ++done) {
        note_progress(handle);
        if (report_status(handle, KUE_STATUS_SENT, connection_id(connection),
                          connection->tx_queue) != 0)
            recycle_event(handle, take_first_tx(handle, connection));
    }
    state->tx_cut = cut;
    if (result != KUV_RESULT_OK) {
        report_error(handle, endpoint_failure(endpoint, result),
                     "kuv_xapi_kuvnet_tx_data failed !");
        endpoint->error_code = 0;
        report_status(handle, KUE_STATUS_DISCONNECTED, connection_id(connection), connection);
        drop_connection(handle, connection);
        return false;
    }
    return true;
}

// Step 4: serves the ready sockets in list order (the wait's results come
// sorted so). Each record appears once; what is read of a record is read
// before serving it, since a failed receive or send frees it. Serving one
// record frees no other (a status handler cannot poll, see poll_rounds), and
// peers accepted meanwhile took no part in the wait.
void serve_ready(::kue *handle, const epoll_event *ready, int count) {
    for (int i = 0; i < count; ++i) {
        auto *connection = static_cast<kue_connection *>(ready[i].data.ptr);
        if (!connection->endpoint) continue;
        const Readiness state = readiness_of(connection, ready[i].events);
        if (state.readable) {
            if (is_listener(handle, connection))
                accept_peer(handle, connection);
            else if (!receive_event(handle, connection))
                continue;
        }
        if (state.writable && connection->tx_queue) send_queued_events(handle, connection);
    }
}

}  // namespace

uint32_t poll_rounds(::kue *handle, int32_t wait_msec, PollEnd end) {
    if (!handle->connections)
        return report_error(handle, KUE_RESULT_NOT_CREATED, "not ready head ! (need create)");
    // From a status handler: the push, pop or poll that made the report is
    // in the middle of the lists and queues, and may free or follow any
    // record a poll here would drop. Its own rounds send what is queued.
    if (state_of(handle)->reporting > 0) return static_cast<uint32_t>(handle->rx_count);
    // One time-out for the whole poll: a round that ends early leaves the
    // rest of it to the next.
    const kuv::sysio::Deadline deadline(wait_msec);
    const bool for_service = end == PollEnd::kForServiceThread;
    const kuv::sysio::Deadline hold(for_service ? kServiceHoldMsec : -1);
    bool after_quiet_round = false;
    for (;;) {
        handle->time_stamp = kuv_xapi_time_stamp();
        bool quiet_round = true;
        const uint32_t prepared = prepare_round(handle);
        if (prepared == KUE_RESULT_WAIT_FAILED) {
            // A wait that cannot be made (no descriptor left for the set)
            // fails every poll at once until the cause clears: the sparing
            // pause keeps a loop of polls from spinning on it.
            kuv_xapi_load_balance();
            return prepared;
        }
        if (prepared == 1) {
            int32_t timeout_msec = deadline.remaining();
            if (handle->rx_count > 0 && handle->tx_count <= 0) timeout_msec = 0;
            // Events wait for a peer that is not writable yet: after a round
            // that found nothing ready, wait a little for readiness rather
            // than go round at once. The results are the same; the
            // processor is spared.
            if (after_quiet_round && timeout_msec >= 0 && timeout_msec < kQuietWaitMsec)
                timeout_msec = kQuietWaitMsec;
            // Bytes already read from a socket are not shown by it: their
            // peer is served at once.
            if (state_of(handle)->first_stashed) timeout_msec = 0;
            epoll_event *ready = nullptr;
            const int waited = wait_for_sockets(handle, timeout_msec, &ready);
            if (waited < 0 && errno != EINTR) {
                return report_error(handle, KUE_RESULT_WAIT_FAILED, "select failed !");
            } else if (waited <= 0) {
                // A signal ends the wait as quietly as the time-out does.
                report_status(handle, KUE_STATUS_IDLE, 0, nullptr);
            } else {
                const uint64_t progress_before = state_of(handle)->progress;
                serve_ready(handle, ready, waited);
                // A socket that stays ready while serving it moves nothing
                // (a listener whose accept fails for want of descriptors)
                // ends every wait at once: pause before the next round, or
                // the loop spins and reports the failure without end.
                if (state_of(handle)->progress == progress_before)
                    kuv_xapi_load_balance();
                else
                    quiet_round = false;
            }
        } else {
            report_status(handle, KUE_STATUS_IDLE, 0, nullptr);
            // Nothing to wait on (a client that cannot connect): the same
            // sparing pause before the next attempt.
            if (handle->tx_count > 0 && handle->error_code == 0) kuv_xapi_load_balance();
        }
        after_quiet_round = quiet_round;

        // Delete waits for the service thread to end: a poll that went on
        // until events that cannot be sent expire (never, for some) would
        // hold it up without bound.
        const bool stopping = __atomic_load_n(&state_of(handle)->stopping, __ATOMIC_ACQUIRE);
        // Events that cannot leave (a server that is gone or takes nothing)
        // would keep the service thread's poll, and the handle's lock with
        // it, until they expire, without end for some.
        const bool let_go = for_service && (prepared != 1 || hold.expired());
        if (handle->error_code != 0 || handle->tx_count <= 0 || stopping || let_go) {
            settle_interest(handle);
            if (handle->error_code == 0 || handle->rx_count > 0 || handle->tx_count > 0)
                return static_cast<uint32_t>(handle->rx_count);
            return handle->error_code;
        }
        if (handle->debug_level > kTraceLevel)
            std::printf("retry flush (remain=%d)\n", handle->tx_count);
    }
}

}  // namespace kuv::kue

using namespace kuv::kue;

extern "C" {

uint32_t kue_mapi_event_poll(kue *handle, int32_t wait_msec) {
    return poll_rounds(handle, wait_msec, PollEnd::kWhenSent);
}

uint32_t kue_xapi_event_poll(kue *handle) {
    if (!handle)
        return report_error(nullptr, KUV_RESULT_INVALID_ARGUMENT, "invalid argument ! (poll)");
    HandleState *state = state_of(handle);
    uint32_t result = KUE_RESULT_WAIT_FAILED;
    bool polled = false;
    {
        // A thread that polls in a loop takes the lock back the moment it let
        // it go: pushes, pops and counts waiting in other threads go first.
        let_callers_go_first(state);
        auto guard = KUE_CALLER_LOCK(handle);
        if (!guard.held()) {
            result = KUE_RESULT_WAIT_FAILED;
        } else if (handle->use_async_service == 1 && handle->rx_count > 0) {
            result = static_cast<uint32_t>(handle->rx_count);
        } else {
            // Only a call that does the sockets' work makes the service
            // thread stand aside: one that answers rx_count at once moves
            // nothing, and a loop of them would leave every later event
            // unreceived and every push unsent.
            __atomic_add_fetch(&state->caller_polls, 1u, __ATOMIC_RELAXED);
            polled = true;
            result = kue_mapi_event_poll(handle, handle->poll_timeout);
        }
    }
    if (polled) {
        __atomic_store_n(&state->caller_poll_end_msec, monotonic_msec(), __ATOMIC_RELAXED);
        __atomic_sub_fetch(&state->caller_polls, 1u, __ATOMIC_RELAXED);
    }
    // The poll held cancellation off with the lock; a request that came
    // meanwhile ends the thread here, with the handle in order, so that a
    // thread polling in a loop can still be cancelled.
    pthread_testcancel();
    return result;
}

}  // extern "C"
