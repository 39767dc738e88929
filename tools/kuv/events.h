/*
 * kuv events: what the serve, send and bench commands share. Every handle
 * of the tool runs without the service thread (use_async_service 0): the
 * tool's own loop polls, so the status handler runs in the tool's thread
 * and may print freely.
 */
#ifndef KUV_TOOL_EVENTS_H
#define KUV_TOOL_EVENTS_H

#include <stdint.h>

#include <davro_kuv.h>

/* The wait of one poll: short enough to notice Ctrl-C and deadlines. */
#define KUV_EVENTS_POLL_MSEC 200
/* Pushing stops to let the queue drain beyond this many queued events. */
#define KUV_EVENTS_QUEUE_HIGH 256

/* What the status handler saw; one per handle, its user_context. */
typedef struct events_session {
    int print_peers; /* 1: print accepted and disconnected peers */
    int verbose;     /* 1: print error reports too */
    unsigned long long sent, expired, disconnected;
    uint32_t last_error;
    char last_message[128];
} events_session;

/* A new handle polled by the tool itself, its reports going to session:
 * 1, or kue_xapi_event_init's code. */
uint32_t events_new_handle(kue **handle, events_session *session);
/* A handle records a reported error until the application clears it, and
 * a recorded error cuts every later poll short: the tool clears it after
 * each poll (the session has noted it). */
void events_clear_error(kue *handle);
/* Polls until at most limit events are queued or the deadline (cli_now
 * seconds) has passed. */
void events_drain_queue(kue *handle, int32_t limit, double deadline);

/* The library closes a TCP connection with a reset, which discards what
 * the socket still holds: waits (polling) until the peers have acknowledged
 * every byte the handle's TCP connections sent. 1 when they have, 0 at the
 * deadline (cli_now seconds) or on a stop request. */
int events_await_delivery(kue *handle, double deadline);

/* Ends the client's connections in order: shuts down their sending side
 * and polls (dropping whatever comes back) until the peers have closed
 * theirs, which a server does once it has read every event. Delete alone
 * resets a connection, and a server still sending to it (an echo) then
 * loses the events behind in its socket. 1 when every peer closed, 0 at
 * the deadline (cli_now seconds) or on a stop request. */
int events_finish_in_order(kue *handle, events_session *session, double deadline);

/* kuv events bench. */
int kuv_events_bench(int argc, char **argv);

#endif /* KUV_TOOL_EVENTS_H */
