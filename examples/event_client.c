/*
 * Event client: connects to event_server.c on loopback, sends each
 * argument as an event and prints the replies.
 *
 *   event_client PORT TEXT...
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <davro_kuv.h>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: event_client PORT TEXT...\n");
        return 2;
    }
    const int events = argc - 2;

    /* 1. A handle with its defaults; a client names its peer. */
    kue *client = NULL;
    if (kue_xapi_event_init(&client) != 1) return 1;
    strcpy(client->peer_name, "127.0.0.1");
    client->port = atoi(argv[1]);
    client->connect_timeout = 5000;

    /* 2. Create connects and starts the service thread. Without a
     *    status_handler the built-in report takes the endpoint's failure
     *    code and clears it, so a refused connection answers 0 here: the
     *    message names what was asked instead. */
    uint32_t result = kue_xapi_event_create(client);
    if (result != 1) {
        fprintf(stderr, "cannot connect to 127.0.0.1 port %d\n", (int)client->port);
        kue_xapi_event_delete(&client);
        return 1;
    }

    /* 3. Push queues a copy of each event (id 0: every peer, here the one
     *    server); the service thread sends them in order. */
    for (int i = 0; i < events; ++i)
        kue_xapi_event_push(client, 0, 1, 100, argv[i + 2], strlen(argv[i + 2]));

    /* 4. Replies arrive in the receive queue; pop takes them in order. */
    int replies = 0;
    for (int waited_msec = 0; replies < events && waited_msec < 10000;) {
        kue_event *reply = kue_xapi_event_pop(client);
        if (!reply) {
            kuv_xapi_sleep_wait(0, 1000);
            ++waited_msec;
            continue;
        }
        printf("reply cmd=%u: %.*s\n", (unsigned)reply->cmd, (int)reply->payload_size,
               (const char *)reply->payload);
        kue_xapi_event_free(reply);
        ++replies;
    }

    /* 5. Delete stops the service thread and closes the connection. */
    kue_xapi_event_delete(&client);
    return replies == events ? 0 : 1;
}
