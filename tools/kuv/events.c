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
#include <sys/wait.h>
#include <unistd.h>

#include <davro_kuv.h>

#include "cli.h"

#define KUV_EVENTS_DEFAULT_PORT 7471
/* The wait of one poll: short enough to notice Ctrl-C and deadlines. */
#define KUV_EVENTS_POLL_MSEC 200
/* Pushing stops to let the queue drain beyond this many queued events. */
#define KUV_EVENTS_QUEUE_HIGH 256
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

static const char kBenchUsage[] =
    "Usage: kuv events bench [--events N] [--round-trips N] [--size BYTES]\n"
    "\n"
    "Starts an event server in a second process on loopback, then measures:\n"
    "  one-way   N events pushed back to back (default 20000): events/s;\n"
    "  round trip  one event at a time echoed back (default 2000): the\n"
    "              50th, 90th and 99th percentiles and the maximum.\n"
    "\n"
    "  --size BYTES  payload of every event (default 64)\n";

/* What the status handler saw; one per handle, its user_context. */
typedef struct events_session {
    int print_peers; /* 1: print accepted and disconnected peers */
    int verbose;     /* 1: print error reports too */
    unsigned long long sent, expired, disconnected;
    uint32_t last_error;
    char last_message[128];
} events_session;

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

/* A handle polled by the tool itself, its reports going to session. */
static uint32_t new_handle(kue **handle, events_session *session) {
    uint32_t result = kue_xapi_event_init(handle);
    if (result != 1) return result;
    (*handle)->use_async_service = 0;
    (*handle)->poll_timeout = KUV_EVENTS_POLL_MSEC;
    (*handle)->status_handler = on_status;
    (*handle)->user_context = session;
    return 1;
}

/* A handle records a reported error until the application clears it, and a
 * recorded error cuts every later poll short: the tool notes and clears it
 * after each poll. */
static void clear_error(kue *handle) {
    handle->error_code = 0;
}

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

    kue *handle = NULL;
    uint32_t result = new_handle(&handle, &session);
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

    cli_catch_stop_signals();
    long long received = 0;
    while (!cli_stop_requested && (count == 0 || received < count)) {
        kue_xapi_event_poll(handle);
        clear_error(handle);
        for (kue_event *event; (event = kue_xapi_event_pop(handle)) != NULL;) {
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
        clear_error(handle);
    }
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
    if (new_handle(handle, session) != 1)
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

/* Polls until fewer than limit events are queued or the time is up. */
static void drain_queue(kue *handle, int32_t limit, double deadline) {
    while (kue_xapi_event_get_tx_count(handle) > limit && cli_now() < deadline &&
           !cli_stop_requested) {
        kue_xapi_event_poll(handle);
        clear_error(handle);
    }
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
        clear_error(handle);
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
    if (from_stdin) {
        char *line = NULL;
        size_t capacity = 0;
        for (ssize_t length; (length = getline(&line, &capacity, stdin)) >= 0;) {
            while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
                --length;
            kue_xapi_event_push(handle, 0, (uint32_t)options.type, (uint32_t)options.cmd, line,
                                (uint64_t)length);
            ++pushed;
            /* Stdin may be long: the queue drains while it is read, so a
             * later line gets the whole time-out too. */
            if (kue_xapi_event_get_tx_count(handle) >= KUV_EVENTS_QUEUE_HIGH)
                drain_queue(handle, KUV_EVENTS_QUEUE_HIGH / 4,
                            cli_now() + (double)options.timeout_msec / 1000.0);
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
    drain_queue(handle, 0,
                from_stdin ? cli_now() + (double)options.timeout_msec / 1000.0 : deadline);

    const unsigned long long sent = session.sent;
    char peer[KUE_NAME_SIZE + 16];
    if (options.unix_path)
        snprintf(peer, sizeof peer, "unix:%s", options.unix_path);
    else
        snprintf(peer, sizeof peer, "%s:%d", options.host, (int)options.port);
    if (sent == (unsigned long long)pushed)
        fprintf(cli_out, "sent %lld event%s to %s (type %lld, cmd %lld)\n", pushed,
                pushed == 1 ? "" : "s", peer, options.type, options.cmd);
    long long echoed = 0;
    if (sent == (unsigned long long)pushed && options.wait_echo)
        echoed = await_echoes(handle, pushed, cli_now() + (double)options.timeout_msec / 1000.0);
    fflush(cli_out);
    kue_xapi_event_delete(&handle);

    if (sent != (unsigned long long)pushed)
        return cli_fail(KUV_EXIT_FAILURE, "events send", "%llu of %lld events sent (%s)", sent,
                        pushed,
                        session.disconnected ? "the server closed the connection" : "time-out");
    if (options.wait_echo && echoed < pushed)
        return cli_fail(KUV_EXIT_FAILURE, "events send", "%lld of %lld events came back", echoed,
                        pushed);
    return KUV_EXIT_OK;
}

/* ---- bench ------------------------------------------------------------- */

/* Commands of the bench's events: counted one way, echoed, or the server's
 * answer that it counted them all. */
#define KUV_BENCH_COUNT 1u
#define KUV_BENCH_ECHO 2u
#define KUV_BENCH_DONE 3u

/* The second process: a server on loopback that counts KUV_BENCH_COUNT
 * events (answering KUV_BENCH_DONE after expected of them) and echoes
 * KUV_BENCH_ECHO events, until its client leaves. Writes its port to
 * port_pipe first. */
static int bench_server(int port_pipe, long long expected) {
    events_session session;
    memset(&session, 0, sizeof session);
    kue *handle = NULL;
    if (new_handle(&handle, &session) != 1) return 1;
    handle->is_server = 1;
    handle->port = 0;
    handle->expire_time = -1;
    handle->poll_timeout = 1000;
    snprintf(handle->local_name, sizeof handle->local_name, "127.0.0.1");
    int32_t port = kue_xapi_event_create(handle) == 1 ? handle->port : -1;
    ssize_t written = write(port_pipe, &port, sizeof port);
    close(port_pipe);
    if (port < 0 || written != (ssize_t)sizeof port) {
        if (handle) kue_xapi_event_delete(&handle);
        return 1;
    }
    long long counted = 0;
    /* Ends when the client has come and gone, or after a minute alone. */
    const double give_up = cli_now() + 60.0;
    while (session.disconnected == 0 && cli_now() < give_up) {
        kue_xapi_event_poll(handle);
        clear_error(handle);
        for (kue_event *event; (event = kue_xapi_event_pop(handle)) != NULL;) {
            if (event->cmd == KUV_BENCH_ECHO) {
                kue_xapi_event_push(handle, event->id, event->type, event->cmd, event->payload,
                                    event->payload_size);
            } else if (event->cmd == KUV_BENCH_COUNT && ++counted == expected) {
                kue_xapi_event_push(handle, event->id, 0, KUV_BENCH_DONE, NULL, 0);
            }
            kue_xapi_event_free(event);
        }
    }
    kue_xapi_event_delete(&handle);
    return 0;
}

static int compare_doubles(const void *left, const void *right) {
    double a = *(const double *)left, b = *(const double *)right;
    return (a > b) - (a < b);
}

/* The sample at fraction of the sorted run (nearest rank). */
static double percentile(const double *sorted, long long count, double fraction) {
    long long rank = (long long)(fraction * (double)count + 0.999999);
    if (rank < 1) rank = 1;
    if (rank > count) rank = count;
    return sorted[rank - 1];
}

/* Waits for one event of cmd, dropping others; 1 when it came. */
static int await_event(kue *handle, uint32_t cmd, double deadline) {
    while (cli_now() < deadline) {
        kue_event *event = kue_xapi_event_pop(handle);
        if (!event) {
            kue_xapi_event_poll(handle);
            clear_error(handle);
            continue;
        }
        const int wanted = event->cmd == cmd;
        kue_xapi_event_free(event);
        if (wanted) return 1;
    }
    return 0;
}

static int bench_client(int32_t port, long long events, long long round_trips, long long size) {
    events_session session;
    memset(&session, 0, sizeof session);
    kue *handle = NULL;
    if (new_handle(&handle, &session) != 1)
        return cli_fail(KUV_EXIT_FAILURE, "events bench", "out of memory");
    snprintf(handle->peer_name, sizeof handle->peer_name, "127.0.0.1");
    handle->port = port;
    handle->expire_time = -1;
    handle->poll_timeout = 1000;
    uint32_t result = kue_xapi_event_create(handle);
    if (result != 1) {
        kue_xapi_event_delete(&handle);
        return cli_fail(KUV_EXIT_FAILURE, "events bench", "cannot connect to the server (0x%08X)",
                        (unsigned)result);
    }
    uint8_t *payload = calloc(1, size ? (size_t)size : 1);
    double *samples = malloc(sizeof(double) * (size_t)(round_trips ? round_trips : 1));
    if (!payload || !samples) {
        free(payload);
        free(samples);
        kue_xapi_event_delete(&handle);
        return cli_fail(KUV_EXIT_FAILURE, "events bench", "out of memory");
    }
    fprintf(cli_out,
            "kuv events bench: client and server processes on 127.0.0.1:%d, %lld-byte "
            "payloads\n",
            (int)port, size);
    fflush(cli_out);

    /* One way: everything queued, sent back to back, then the server's
     * answer that it has all of them. */
    int status = KUV_EXIT_OK;
    const double one_way_start = cli_now();
    for (long long i = 0; i < events; ++i) {
        kue_xapi_event_push(handle, 0, 1, KUV_BENCH_COUNT, payload, (uint64_t)size);
        if (kue_xapi_event_get_tx_count(handle) >= KUV_EVENTS_QUEUE_HIGH)
            drain_queue(handle, 0, one_way_start + 120.0);
    }
    drain_queue(handle, 0, one_way_start + 120.0);
    if (!await_event(handle, KUV_BENCH_DONE, cli_now() + 60.0)) {
        status = cli_fail(KUV_EXIT_FAILURE, "events bench", "the server did not count every event");
    } else {
        const double seconds = cli_now() - one_way_start;
        const double per_second = (double)events / seconds;
        fprintf(cli_out,
                "one-way:    %lld events in %.3f s = %.0f events/s (%.1f MB/s of payload)\n",
                events, seconds, per_second, per_second * (double)size / 1e6);
    }

    /* Round trips: one event out, its echo back, one at a time. */
    long long measured = 0;
    for (; status == KUV_EXIT_OK && measured < round_trips; ++measured) {
        const double start = cli_now();
        kue_xapi_event_push(handle, 0, 1, KUV_BENCH_ECHO, payload, (uint64_t)size);
        if (!await_event(handle, KUV_BENCH_ECHO, start + 10.0)) {
            status = cli_fail(KUV_EXIT_FAILURE, "events bench", "an echo did not come back");
            break;
        }
        samples[measured] = (cli_now() - start) * 1e6;
    }
    if (status == KUV_EXIT_OK && measured > 0) {
        qsort(samples, (size_t)measured, sizeof(double), compare_doubles);
        double total = 0;
        for (long long i = 0; i < measured; ++i)
            total += samples[i];
        fprintf(cli_out,
                "round trip: %lld events, p50 %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us "
                "(%.0f round trips/s)\n",
                measured, percentile(samples, measured, 0.50), percentile(samples, measured, 0.90),
                percentile(samples, measured, 0.99), samples[measured - 1],
                (double)measured / (total / 1e6));
    }
    fflush(cli_out);
    free(payload);
    free(samples);
    kue_xapi_event_delete(&handle);
    return status;
}

static int bench(int argc, char **argv) {
    static const struct option kOptions[] = {{"help", no_argument, NULL, 'h'},
                                             {"events", required_argument, NULL, 'n'},
                                             {"round-trips", required_argument, NULL, 'r'},
                                             {"size", required_argument, NULL, 's'},
                                             {NULL, 0, NULL, 0}};
    long long events = 20000, round_trips = 2000, size = 64;
    cli_reset_options();
    for (int option; (option = getopt_long(argc, argv, ":hn:r:s:", kOptions, NULL)) != -1;) {
        switch (option) {
            case 'h':
                fputs(kBenchUsage, cli_out);
                return KUV_EXIT_OK;
            case 'n':
                if (!cli_parse_number(optarg, 1, 100000000, &events))
                    return cli_usage_error("events bench", "bad event count '%s'", optarg);
                break;
            case 'r':
                if (!cli_parse_number(optarg, 0, 10000000, &round_trips))
                    return cli_usage_error("events bench", "bad round-trip count '%s'", optarg);
                break;
            case 's':
                if (!cli_parse_number(optarg, 0, 16 * 1024 * 1024, &size))
                    return cli_usage_error("events bench", "bad size '%s'", optarg);
                break;
            default:
                return cli_bad_option("events bench", option, argv);
        }
    }
    if (optind != argc) return cli_usage_error("events bench", "unexpected '%s'", argv[optind]);

    int port_pipe[2];
    if (pipe(port_pipe) != 0)
        return cli_fail(KUV_EXIT_FAILURE, "events bench", "pipe: %s", strerror(errno));
    fflush(NULL);
    pid_t server = fork();
    if (server < 0) return cli_fail(KUV_EXIT_FAILURE, "events bench", "fork: %s", strerror(errno));
    if (server == 0) {
        close(port_pipe[0]);
        _exit(bench_server(port_pipe[1], events));
    }
    close(port_pipe[1]);
    int32_t port = -1;
    ssize_t got = read(port_pipe[0], &port, sizeof port);
    close(port_pipe[0]);
    int status;
    if (got != (ssize_t)sizeof port || port <= 0)
        status = cli_fail(KUV_EXIT_FAILURE, "events bench", "the server process did not start");
    else
        status = bench_client(port, events, round_trips, size);
    /* The server leaves when its client has gone; a stuck one is ended. */
    for (int waited = 0; waited < 500; ++waited) {
        if (waitpid(server, NULL, WNOHANG) == server) return status;
        cli_sleep(0.01);
    }
    kill(server, SIGKILL);
    waitpid(server, NULL, 0);
    return status;
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
    if (strcmp(command, "bench") == 0) return bench(argc - 1, argv + 1);
    return cli_usage_error("events", "unknown command '%s'", command);
}
