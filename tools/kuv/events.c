/*
 * kuv events serve|send|bench: the event service (kue) from the command
 * line. Every handle here runs without the service thread
 * (use_async_service 0): the tool's own loop polls, so a status handler
 * runs in the tool's thread and may print freely.
 */
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <davro_kuv.h>

#include "cli.h"
#include "events.h"

#define KUV_EVENTS_DEFAULT_PORT 7471
/* Bytes of a payload shown in hexadecimal before "...". */
#define KUV_EVENTS_HEX_SHOWN 64

static const char kUsage[] =
    "Usage: kuv events serve|send|bench [OPTIONS]\n"
    "\n"
    "The event service from the command line:\n"
    "  serve   print every event received (and echo it back with --echo)\n"
    "  send    push events to a server and wait until they are sent\n"
    "  bench   throughput and round-trip latency between two processes\n"
    "\n"
    "'kuv events COMMAND --help' describes a command.\n";

static const char kServeUsage[] =
    "Usage: kuv events serve [--port N] [--bind ADDRESS] [--unix PATH] [--echo]\n"
    "                        [--count N] [--verbose]\n"
    "\n"
    "Listens for event clients and prints every event received: the peer, its\n"
    "type, cmd, sequence number and size, and the payload as text (in quotes)\n"
    "or in hexadecimal. Stops on Ctrl-C (or SIGTERM) or after --count events.\n"
    "\n"
    "  --port N        TCP port (default 7471; 0 lets the system choose)\n"
    "  --bind ADDRESS  local address to listen on (default: every address)\n"
    "  --unix PATH     listen on a Unix-domain socket at PATH instead of TCP\n"
    "  --echo          send every event back to its sender\n"
    "  --count N       stop after N events (default: run until stopped)\n"
    "  --verbose       also print the service's error reports\n"
    "\n"
    "The first line, 'listening on ...', names the port actually used.\n";

static const char kSendUsage[] =
    "Usage: kuv events send [--peer HOST:PORT | --unix PATH] [--type T] [--cmd C]\n"
    "                       [--timeout MSEC] [--wait-echo] [PAYLOAD... | -]\n"
    "\n"
    "Connects to an event server, pushes one event per PAYLOAD argument (one\n"
    "per line of standard input with '-'; one empty event without PAYLOAD)\n"
    "and waits until every event has been sent.\n"
    "\n"
    "  --peer HOST:PORT  server address (default 127.0.0.1:7471; [IPV6]:PORT)\n"
    "  --unix PATH       server on a Unix-domain socket\n"
    "  --type T          event type (default 1)\n"
    "  --cmd C           event command (default 1)\n"
    "  --timeout MSEC    give up connecting or sending after MSEC (default 10000)\n"
    "  --wait-echo       then wait for every event to come back and print it\n";

/* Payload as "text" when every byte is printable (UTF-8 bytes count as
 * printable), else as hexadecimal, cut after KUV_EVENTS_HEX_SHOWN bytes. */
static void print_payload(FILE *to, const uint8_t *bytes, uint64_t size) {
    int printable = 1;
    for (uint64_t i = 0; i < size && printable; ++i)
        printable = bytes[i] >= 0x20 ? bytes[i] != 0x7F : bytes[i] == '\t';
    if (printable) {
        fputc('"', to);
        fwrite(bytes, 1, (size_t)size, to);
        fputc('"', to);
        return;
    }
    fputs("0x", to);
    for (uint64_t i = 0; i < size && i < KUV_EVENTS_HEX_SHOWN; ++i)
        fprintf(to, "%02x", bytes[i]);
    if (size > KUV_EVENTS_HEX_SHOWN) fputs("...", to);
}

static void print_event(const char *direction, const kue_event *event) {
    fprintf(cli_out, "event %s %u: type=%u cmd=%u seq=%u size=%llu payload=", direction,
            (unsigned)event->id, (unsigned)event->type, (unsigned)event->cmd, (unsigned)event->seq,
            (unsigned long long)event->payload_size);
    print_payload(cli_out, event->payload, event->payload_size);
    fputc('\n', cli_out);
    fflush(cli_out);
}

/* ---- serve ------------------------------------------------------------- */

/* Whether a server answers at the Unix-domain path. The library replaces
 * a socket file it finds there, so a second server would take the path
 * from a live one, which no client could then reach. */
static int unix_path_in_use(const char *path) {
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    /* Non-blocking: a server whose backlog is full answers EAGAIN at once
     * instead of holding the probe until it accepts. */
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int in_use =
        probe >= 0 &&
        (connect(probe, (struct sockaddr *)&address, sizeof address) == 0 || errno == EAGAIN);
    if (probe >= 0) close(probe);
    return in_use;
}

static int serve(int argc, char **argv) {
    static const struct option kOptions[] = {
        {"help", no_argument, NULL, 'h'},       {"port", required_argument, NULL, 'p'},
        {"bind", required_argument, NULL, 'b'}, {"unix", required_argument, NULL, 'u'},
        {"echo", no_argument, NULL, 'e'},       {"count", required_argument, NULL, 'c'},
        {"verbose", no_argument, NULL, 'v'},    {NULL, 0, NULL, 0}};
    long long port = KUV_EVENTS_DEFAULT_PORT, count = 0;
    const char *bind_address = NULL, *unix_path = NULL;
    int echo = 0;
    events_session session;
    memset(&session, 0, sizeof session);
    session.print_peers = 1;
    cli_reset_options();
    for (int option; (option = getopt_long(argc, argv, ":hp:b:u:ec:v", kOptions, NULL)) != -1;) {
        switch (option) {
            case 'h':
                fputs(kServeUsage, cli_out);
                return KUV_EXIT_OK;
            case 'p':
                if (!cli_parse_number(optarg, 0, 65535, &port))
                    return cli_usage_error("events serve", "bad port '%s'", optarg);
                break;
            case 'b':
                bind_address = optarg;
                break;
            case 'u':
                unix_path = optarg;
                break;
            case 'e':
                echo = 1;
                break;
            case 'c':
                if (!cli_parse_number(optarg, 1, 1000000000000LL, &count))
                    return cli_usage_error("events serve", "bad count '%s'", optarg);
                break;
            case 'v':
                session.verbose = 1;
                break;
            default:
                return cli_bad_option("events serve", option, argv);
        }
    }
    if (optind != argc) return cli_usage_error("events serve", "unexpected '%s'", argv[optind]);
    if (unix_path && strlen(unix_path) > KUVNET_UNIX_PATH_MAX)
        return cli_usage_error("events serve", "Unix-domain path longer than %d bytes",
                               KUVNET_UNIX_PATH_MAX);

    if (bind_address && strlen(bind_address) >= KUE_NAME_SIZE)
        return cli_usage_error("events serve", "bind address longer than %d bytes",
                               KUE_NAME_SIZE - 1);
    if (unix_path && unix_path_in_use(unix_path))
        return cli_fail(KUV_EXIT_FAILURE, "events serve",
                        "cannot listen on %s (another server answers there)", unix_path);

    /* From the moment the socket file exists, a stop request, or output
     * that can no longer be written (a reader that went away), ends the
     * loop below, which removes the file; a signal's default action would
     * leave it behind. */
    cli_catch_stop_signals();
    signal(SIGPIPE, SIG_IGN);
    kue *handle = NULL;
    uint32_t result = events_new_handle(&handle, &session);
    if (result != 1) return cli_fail(KUV_EXIT_FAILURE, "events serve", "out of memory");
    handle->is_server = 1;
    if (unix_path) {
        handle->protocol_type = KUVNET_UDS | KUVNET_ACK_TOGGLE;
        snprintf(handle->local_name, sizeof handle->local_name, "%s", unix_path);
    } else {
        handle->port = (int32_t)port;
        if (bind_address)
            snprintf(handle->local_name, sizeof handle->local_name, "%s", bind_address);
    }
    result = kue_xapi_event_create(handle);
    if (result != 1) {
        kue_xapi_event_delete(&handle);
        if (unix_path)
            return cli_fail(KUV_EXIT_FAILURE, "events serve", "cannot listen on %s (%s, 0x%08X)",
                            unix_path, cli_result_name(result), (unsigned)result);
        return cli_fail(KUV_EXIT_FAILURE, "events serve", "cannot listen on port %lld (%s, 0x%08X)",
                        port, cli_result_name(result), (unsigned)result);
    }
    if (unix_path)
        fprintf(cli_out, "listening on unix:%s\n", unix_path);
    else
        fprintf(cli_out, "listening on %s port %d\n", bind_address ? bind_address : "*",
                (int)handle->port);
    fflush(cli_out);

    long long received = 0;
    while (!cli_stop_requested && !ferror(cli_out) && (count == 0 || received < count)) {
        kue_xapi_event_poll(handle);
        events_clear_error(handle);
        /* A poll can bring several events: those past the count stay unread. */
        for (kue_event *event;
             (count == 0 || received < count) && (event = kue_xapi_event_pop(handle)) != NULL;) {
            print_event("from", event);
            if (echo)
                kue_xapi_event_push(handle, event->id, event->type, event->cmd, event->payload,
                                    event->payload_size);
            kue_xapi_event_free(event);
            ++received;
        }
    }
    /* Echoes still queued go out before the server leaves (bounded by the
     * events' expiry). */
    for (int round = 0; round < 50 && kue_xapi_event_get_tx_count(handle) > 0; ++round) {
        kue_xapi_event_poll(handle);
        events_clear_error(handle);
    }
    /* A sent echo may still sit in the socket, which delete resets. */
    events_await_delivery(handle, cli_now() + 10.0);
    kue_xapi_event_delete(&handle);
    if (unix_path) unlink(unix_path);
    return KUV_EXIT_OK;
}

/* ---- send -------------------------------------------------------------- */

typedef struct send_options {
    char host[KUE_NAME_SIZE];
    int32_t port;
    const char *unix_path;
    long long type, cmd, timeout_msec;
    int wait_echo;
} send_options;

/* A client handle connected to the server of options. */
static int connect_client(const send_options *options, events_session *session, kue **handle) {
    if (events_new_handle(handle, session) != 1)
        return cli_fail(KUV_EXIT_FAILURE, "events send", "out of memory");
    kue *client = *handle;
    if (options->unix_path) {
        client->protocol_type = KUVNET_UDS | KUVNET_ACK_TOGGLE;
        snprintf(client->peer_name, sizeof client->peer_name, "%s", options->unix_path);
    } else {
        snprintf(client->peer_name, sizeof client->peer_name, "%s", options->host);
        client->port = options->port;
    }
    client->connect_timeout = (int32_t)options->timeout_msec;
    client->io_timeout = (int32_t)options->timeout_msec;
    /* An event not sent within the time-out expires, which ends the wait. */
    client->expire_time = (int32_t)options->timeout_msec;
    uint32_t result = kue_xapi_event_create(client);
    if (result == 1) return KUV_EXIT_OK;
    kue_xapi_event_delete(handle);
    if (options->unix_path)
        return cli_fail(KUV_EXIT_FAILURE, "events send", "cannot connect to %s (%s, 0x%08X)",
                        options->unix_path, cli_result_name(result), (unsigned)result);
    return cli_fail(KUV_EXIT_FAILURE, "events send", "cannot connect to %s:%d (%s, 0x%08X)",
                    options->host, (int)options->port, cli_result_name(result), (unsigned)result);
}

static int parse_send_options(int argc, char **argv, send_options *options) {
    static const struct option kOptions[] = {
        {"help", no_argument, NULL, 'h'},       {"peer", required_argument, NULL, 'p'},
        {"unix", required_argument, NULL, 'u'}, {"type", required_argument, NULL, 't'},
        {"cmd", required_argument, NULL, 'c'},  {"timeout", required_argument, NULL, 'T'},
        {"wait-echo", no_argument, NULL, 'w'},  {NULL, 0, NULL, 0}};
    memset(options, 0, sizeof *options);
    snprintf(options->host, sizeof options->host, "127.0.0.1");
    options->port = KUV_EVENTS_DEFAULT_PORT;
    options->type = 1;
    options->cmd = 1;
    options->timeout_msec = 10000;
    cli_reset_options();
    for (int option; (option = getopt_long(argc, argv, ":hp:u:t:c:T:w", kOptions, NULL)) != -1;) {
        switch (option) {
            case 'h':
                fputs(kSendUsage, cli_out);
                return -1;
            case 'p':
                if (!cli_parse_peer(optarg, options->host, sizeof options->host, &options->port) ||
                    options->port == 0)
                    return cli_usage_error("events send", "bad peer '%s' (HOST:PORT)", optarg);
                break;
            case 'u':
                options->unix_path = optarg;
                break;
            case 't':
                if (!cli_parse_number(optarg, 0, UINT32_MAX, &options->type))
                    return cli_usage_error("events send", "bad type '%s'", optarg);
                break;
            case 'c':
                if (!cli_parse_number(optarg, 0, UINT32_MAX, &options->cmd))
                    return cli_usage_error("events send", "bad cmd '%s'", optarg);
                break;
            case 'T':
                if (!cli_parse_number(optarg, 1, 3600000, &options->timeout_msec))
                    return cli_usage_error("events send", "bad timeout '%s'", optarg);
                break;
            case 'w':
                options->wait_echo = 1;
                break;
            default:
                return cli_bad_option("events send", option, argv);
        }
    }
    if (options->unix_path && strlen(options->unix_path) > KUVNET_UNIX_PATH_MAX)
        return cli_usage_error("events send", "Unix-domain path longer than %d bytes",
                               KUVNET_UNIX_PATH_MAX);
    return 0;
}

/* Waits for count echoes, printing each, until the deadline. */
static long long await_echoes(kue *handle, long long count, double deadline) {
    long long received = 0;
    while (received < count && cli_now() < deadline && !cli_stop_requested) {
        kue_xapi_event_poll(handle);
        events_clear_error(handle);
        for (kue_event *event; (event = kue_xapi_event_pop(handle)) != NULL;) {
            print_event("back from", event);
            kue_xapi_event_free(event);
            ++received;
        }
    }
    return received;
}

static int send_events(int argc, char **argv) {
    send_options options;
    int parsed = parse_send_options(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? KUV_EXIT_OK : parsed;
    const int from_stdin = optind + 1 == argc && strcmp(argv[optind], "-") == 0;

    events_session session;
    memset(&session, 0, sizeof session);
    kue *handle = NULL;
    int status = connect_client(&options, &session, &handle);
    if (status != KUV_EXIT_OK) return status;
    cli_catch_stop_signals();
    signal(SIGPIPE, SIG_IGN);

    const double deadline = cli_now() + (double)options.timeout_msec / 1000.0;
    long long pushed = 0;
    int gave_up = 0;
    if (from_stdin) {
        char *line = NULL;
        size_t capacity = 0;
        for (ssize_t length; !gave_up && (length = getline(&line, &capacity, stdin)) >= 0;) {
            while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
                --length;
            kue_xapi_event_push(handle, 0, (uint32_t)options.type, (uint32_t)options.cmd, line,
                                (uint64_t)length);
            ++pushed;
            /* Stdin may be long: the queue drains while it is read, so a
             * later line gets the whole time-out too. */
            if (kue_xapi_event_get_tx_count(handle) >= KUV_EVENTS_QUEUE_HIGH) {
                events_drain_queue(handle, KUV_EVENTS_QUEUE_HIGH / 4,
                                   cli_now() + (double)options.timeout_msec / 1000.0);
                /* A server that is gone, or took too little within the
                 * time-out, would not take the rest either. */
                gave_up = session.disconnected > 0 || session.expired > 0 || cli_stop_requested ||
                          kue_xapi_event_get_tx_count(handle) > KUV_EVENTS_QUEUE_HIGH / 4;
            }
        }
        free(line);
    } else if (optind == argc) {
        kue_xapi_event_push(handle, 0, (uint32_t)options.type, (uint32_t)options.cmd, NULL, 0);
        pushed = 1;
    } else {
        for (int i = optind; i < argc; ++i, ++pushed)
            kue_xapi_event_push(handle, 0, (uint32_t)options.type, (uint32_t)options.cmd, argv[i],
                                strlen(argv[i]));
    }
    const double send_deadline = gave_up      ? cli_now()
                                 : from_stdin ? cli_now() + (double)options.timeout_msec / 1000.0
                                              : deadline;
    events_drain_queue(handle, 0, send_deadline);
    /* A sent event may still sit in the socket, which delete resets: the
     * events count as sent once the server has acknowledged them. */
    const int delivered = events_await_delivery(handle, send_deadline);

    const unsigned long long sent = session.sent;
    const int all_sent = sent == (unsigned long long)pushed && delivered;
    char peer[KUE_NAME_SIZE + 16];
    if (options.unix_path)
        snprintf(peer, sizeof peer, "unix:%s", options.unix_path);
    else
        snprintf(peer, sizeof peer, "%s:%d", options.host, (int)options.port);
    if (all_sent)
        fprintf(cli_out, "sent %lld event%s to %s (type %lld, cmd %lld)\n", pushed,
                pushed == 1 ? "" : "s", peer, options.type, options.cmd);
    long long echoed = 0;
    if (all_sent && options.wait_echo)
        echoed = await_echoes(handle, pushed, cli_now() + (double)options.timeout_msec / 1000.0);
    fflush(cli_out);
    /* What the server did is known now: the orderly end below closes the
     * connection too. */
    const unsigned long long disconnected = session.disconnected;
    if (all_sent)
        events_finish_in_order(handle, &session, cli_now() + (double)options.timeout_msec / 1000.0);
    kue_xapi_event_delete(&handle);

    if (!all_sent && cli_stop_requested && !disconnected)
        return cli_fail(KUV_EXIT_FAILURE, "events send", "%llu of %lld events sent (interrupted)",
                        sent, pushed);
    if (!all_sent && sent == (unsigned long long)pushed)
        return cli_fail(KUV_EXIT_FAILURE, "events send",
                        "the server did not take the events within the time-out");
    if (!all_sent)
        return cli_fail(KUV_EXIT_FAILURE, "events send", "%llu of %lld events sent (%s)", sent,
                        pushed, disconnected ? "the server closed the connection" : "time-out");
    if (options.wait_echo && echoed < pushed)
        return cli_fail(KUV_EXIT_FAILURE, "events send", "%lld of %lld events came back", echoed,
                        pushed);
    return KUV_EXIT_OK;
}

int kuv_events_main(int argc, char **argv) {
    if (argc < 2) return cli_usage_error("events", "missing command (serve, send or bench)");
    const char *command = argv[1];
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
        fputs(kUsage, cli_out);
        return KUV_EXIT_OK;
    }
    if (strcmp(command, "serve") == 0) return serve(argc - 1, argv + 1);
    if (strcmp(command, "send") == 0) return send_events(argc - 1, argv + 1);
    if (strcmp(command, "bench") == 0) return kuv_events_bench(argc - 1, argv + 1);
    return cli_usage_error("events", "unknown command '%s'", command);
}
