/*
 * kuv events: the status handler and the polling steps that serve, send
 * and bench share.
 */
#include <netinet/in.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <linux/sockios.h>

#include "cli.h"
#include "events.h"

/* Notes what the service reports; prints peers for serve. The answers keep
 * the service's defaults: a sent event leaves its queue, a received one is
 * queued for pop. */
static int32_t on_status(kue *handle, void *context, uint32_t status_code, uint32_t id,
                         void *object) {
    (void)handle;
    events_session *session = context;
    const kue_connection *connection = object;
    switch (status_code) {
        case KUE_STATUS_ERROR:
            session->last_error = id;
            snprintf(session->last_message, sizeof session->last_message, "%s",
                     object ? (const char *)object : "");
            if (session->verbose)
                fprintf(stderr, "kue error 0x%08X: %s\n", (unsigned)id, session->last_message);
            return 0;
        case KUE_STATUS_ACCEPTED:
            if (session->print_peers)
                fprintf(cli_out, "peer %u connected from %s\n", (unsigned)id,
                        connection->endpoint ? connection->endpoint->peer_name : "?");
            return 1;
        case KUE_STATUS_DISCONNECTED:
            ++session->disconnected;
            if (session->print_peers) fprintf(cli_out, "peer %u disconnected\n", (unsigned)id);
            return 1;
        case KUE_STATUS_SENT:
            ++session->sent;
            return 1;
        case KUE_STATUS_TX_EXPIRED:
            ++session->expired;
            return 1;
        case KUE_STATUS_RECEIVED:
            return 0; /* queue it for pop */
        default:
            return 1;
    }
}

uint32_t events_new_handle(kue **handle, events_session *session) {
    uint32_t result = kue_xapi_event_init(handle);
    if (result != 1) return result;
    (*handle)->use_async_service = 0;
    (*handle)->poll_timeout = KUV_EVENTS_POLL_MSEC;
    (*handle)->status_handler = on_status;
    (*handle)->user_context = session;
    return 1;
}

void events_clear_error(kue *handle) {
    handle->error_code = 0;
}

void events_drain_queue(kue *handle, int32_t limit, double deadline) {
    while (kue_xapi_event_get_tx_count(handle) > limit && cli_now() < deadline &&
           !cli_stop_requested) {
        kue_xapi_event_poll(handle);
        events_clear_error(handle);
    }
}

/* Bytes sent on the handle's TCP connections and not yet acknowledged. */
static long long unacknowledged_bytes(kue *handle) {
    long long pending = 0;
    kuv_mapi_lock_v0(&handle->lock, __func__, __LINE__);
    for (const kue_connection *connection = handle->connections; connection;
         connection = connection->next) {
        if (!connection->endpoint || connection->endpoint->socket < 0) continue;
        const int socket = connection->endpoint->socket;
        int protocol = 0, queued = 0;
        socklen_t length = sizeof protocol;
        /* A Unix-domain close keeps what the peer has not read yet; a
         * listener has no send queue (the ioctl fails). */
        if (getsockopt(socket, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
            protocol == IPPROTO_TCP && ioctl(socket, SIOCOUTQ, &queued) == 0)
            pending += queued;
    }
    kuv_mapi_unlock_v0(&handle->lock);
    return pending;
}

int events_await_delivery(kue *handle, double deadline) {
    for (;;) {
        if (unacknowledged_bytes(handle) == 0) return 1;
        if (cli_now() >= deadline || cli_stop_requested) return 0;
        /* Polling rather than sleeping keeps reading what the peer sends
         * back, so that a peer blocked on writing to us goes on reading. */
        kue_xapi_event_poll(handle);
        events_clear_error(handle);
        /* The poll does not wait while received events are queued. */
        cli_sleep(0.002);
    }
}

int events_finish_in_order(kue *handle, events_session *session, double deadline) {
    unsigned long long ending = 0;
    kuv_mapi_lock_v0(&handle->lock, __func__, __LINE__);
    for (const kue_connection *connection = handle->connections; connection;
         connection = connection->next)
        if (connection->endpoint && connection->endpoint->socket >= 0 &&
            shutdown(connection->endpoint->socket, SHUT_WR) == 0)
            ++ending;
    kuv_mapi_unlock_v0(&handle->lock);
    const unsigned long long before = session->disconnected;
    /* One poll at a time: a client reopens a lost connection in the next
     * one. */
    while (session->disconnected - before < ending) {
        if (cli_now() >= deadline || cli_stop_requested) return 0;
        kue_xapi_event_poll(handle);
        events_clear_error(handle);
        for (kue_event *event; (event = kue_xapi_event_pop(handle)) != NULL;)
            kue_xapi_event_free(event);
    }
    return 1;
}
