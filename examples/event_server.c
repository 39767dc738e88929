/*
 * Event server: listens on loopback, prints every event it receives and
 * answers each one with a reply event. Pairs with event_client.c.
 *
 *   event_server [PORT [COUNT]]
 *
 * PORT defaults to 7471 (0 lets the system choose; the port is printed),
 * COUNT to 1: the server leaves after answering COUNT events, or after 10
 * seconds without one.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <davro_kuv.h>

int main(int argc, char **argv) {
    int port = argc > 1 ? atoi(argv[1]) : 7471;
    int count = argc > 2 ? atoi(argv[2]) : 1;

    /* 1. A handle with its defaults: TCP, a service thread of its own. */
    kue *server = NULL;
    if (kue_xapi_event_init(&server) != 1) return 1;

    /* 2. Set fields between init and create: listen on 127.0.0.1:port. */
    server->is_server = 1;
    server->port = port;
    strcpy(server->local_name, "127.0.0.1");

    /* 3. Create listens and starts the service thread, which from now on
     *    accepts clients, receives and sends by itself. A port below 1 is
     *    chosen by the system and written back. A failure's code reaches
     *    the status report, which clears it without a status_handler:
     *    result is then 0, and the message names the port asked for. */
    uint32_t result = kue_xapi_event_create(server);
    if (result != 1) {
        fprintf(stderr, "cannot listen on 127.0.0.1 port %d\n", port);
        kue_xapi_event_delete(&server);
        return 1;
    }
    printf("listening on port %d\n", (int)server->port);
    fflush(stdout);

    /* 4. Take received events with pop. Each one belongs to us now and is
     *    released with kue_xapi_event_free. event->id names the connection
     *    it came from, so a push with that id answers its sender. */
    int answered = 0;
    for (int idle_msec = 0; answered < count && idle_msec < 10000;) {
        kue_event *event = kue_xapi_event_pop(server);
        if (!event) {
            kuv_xapi_sleep_wait(0, 1000); /* 1 ms: the service thread works meanwhile */
            ++idle_msec;
            continue;
        }
        idle_msec = 0;
        printf("event type=%u cmd=%u seq=%u: %.*s\n", (unsigned)event->type, (unsigned)event->cmd,
               (unsigned)event->seq, (int)event->payload_size, (const char *)event->payload);
        fflush(stdout);

        char reply[256];
        int length = snprintf(reply, sizeof reply, "reply to %.*s", (int)event->payload_size,
                              (const char *)event->payload);
        if (length >= (int)sizeof reply) length = (int)sizeof reply - 1;
        /* push copies the payload: reply may go out of scope. */
        kue_xapi_event_push(server, event->id, event->type, event->cmd + 1, reply,
                            (uint64_t)length);
        kue_xapi_event_free(event);
        ++answered;
    }

    /* 5. Let the replies leave, then delete: it stops the service thread
     *    and frees every connection and queued event. Delete resets TCP
     *    connections, dropping what their sockets still hold: these short
     *    replies are with the client once sent, but a program sending more
     *    than the peer's window waits until the peer confirms it (the kuv
     *    tool checks the socket's unacknowledged bytes). */
    for (int waited = 0; kue_xapi_event_get_tx_count(server) > 0 && waited < 5000; ++waited)
        kuv_xapi_sleep_wait(0, 1000);
    kue_xapi_event_delete(&server);
    return answered == count ? 0 : 1;
}
