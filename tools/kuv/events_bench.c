/*
 * kuv events bench: a self-contained run of the event service between two
 * processes on loopback (one-way rate, round-trip percentiles), beside the
 * same traffic over a plain TCP socket, so that the figures come with the
 * ratio to what the machine does without the library.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"
#include "events.h"

static const char kBenchUsage[] =
    "Usage: kuv events bench [--events N] [--round-trips N] [--size BYTES]\n"
    "\n"
    "Starts a server in a second process on loopback and measures the event\n"
    "service:\n"
    "  one-way     N events pushed back to back (default 20000): events/s;\n"
    "  round trip  one event at a time echoed back (default 2000): the 50th,\n"
    "              90th and 99th percentiles and the maximum.\n"
    "Then the same over a plain TCP socket (one write per message, a 5-byte\n"
    "frame header), and the ratios of the two.\n"
    "\n"
    "  --size BYTES  payload of every event (default 64)\n";

/* Commands of the bench's messages: counted one way, echoed, or the
 * server's answer that it counted them all. */
#define KUV_BENCH_COUNT 1u
#define KUV_BENCH_ECHO 2u
#define KUV_BENCH_DONE 3u
/* The send queue holds a copy of every payload: besides its count of
 * events, it drains before its payloads pass this many bytes. */
#define KUV_BENCH_QUEUE_BYTES (64LL * 1024 * 1024)

/* Bytes of a plain frame's header: the command, then the payload length
 * (little-endian). */
#define KUV_PLAIN_HEADER 5

typedef struct bench_figures {
    double per_second;    /* one-way messages per second */
    double p50, p90, p99; /* round trips, microseconds */
    double maximum;
} bench_figures;

typedef struct bench_plan {
    long long events, round_trips, size;
} bench_plan;

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

static void summarize(double *samples, long long count, bench_figures *figures) {
    qsort(samples, (size_t)count, sizeof(double), compare_doubles);
    figures->p50 = percentile(samples, count, 0.50);
    figures->p90 = percentile(samples, count, 0.90);
    figures->p99 = percentile(samples, count, 0.99);
    figures->maximum = samples[count - 1];
}

/* ---- the event service -------------------------------------------------- */

/* The second process: an event server on loopback that counts
 * KUV_BENCH_COUNT events (answering KUV_BENCH_DONE after expected of them)
 * and echoes KUV_BENCH_ECHO events, until its client leaves. Writes its
 * port to port_pipe first. */
static int event_server(int port_pipe, long long expected) {
    events_session session;
    memset(&session, 0, sizeof session);
    kue *handle = NULL;
    if (events_new_handle(&handle, &session) != 1) return 1;
    handle->is_server = 1;
    handle->port = 0;
    handle->expire_time = -1;
    handle->poll_timeout = 1000;
    snprintf(handle->local_name, sizeof handle->local_name, "127.0.0.1");
    int32_t port = kue_xapi_event_create(handle) == 1 ? handle->port : -1;
    ssize_t written = write(port_pipe, &port, sizeof port);
    close(port_pipe);
    if (port < 0 || written != (ssize_t)sizeof port) {
        kue_xapi_event_delete(&handle);
        return 1;
    }
    long long counted = 0;
    /* Ends when the client has come and gone, or after a minute alone. */
    const double give_up = cli_now() + 60.0;
    while (session.disconnected == 0 && cli_now() < give_up) {
        kue_xapi_event_poll(handle);
        events_clear_error(handle);
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

/* Waits for one event of cmd, dropping others; 1 when it came. */
static int await_event(kue *handle, uint32_t cmd, double deadline) {
    while (cli_now() < deadline) {
        kue_event *event = kue_xapi_event_pop(handle);
        if (!event) {
            kue_xapi_event_poll(handle);
            events_clear_error(handle);
            continue;
        }
        const int wanted = event->cmd == cmd;
        kue_xapi_event_free(event);
        if (wanted) return 1;
    }
    return 0;
}

static int event_client(int32_t port, const bench_plan *plan, uint8_t *payload, double *samples,
                        bench_figures *figures) {
    events_session session;
    memset(&session, 0, sizeof session);
    kue *handle = NULL;
    if (events_new_handle(&handle, &session) != 1)
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
    /* One way: everything queued, sent back to back, then the server's
     * answer that it has all of them. */
    int status = KUV_EXIT_OK;
    long long queue_high = KUV_EVENTS_QUEUE_HIGH;
    /* A payload is at most 16 MiB, so at least 4 events stay queued. */
    if (plan->size > 0 && KUV_BENCH_QUEUE_BYTES / plan->size < queue_high)
        queue_high = KUV_BENCH_QUEUE_BYTES / plan->size;
    const double start = cli_now();
    for (long long i = 0; i < plan->events; ++i) {
        kue_xapi_event_push(handle, 0, 1, KUV_BENCH_COUNT, payload, (uint64_t)plan->size);
        if (kue_xapi_event_get_tx_count(handle) >= queue_high)
            events_drain_queue(handle, 0, start + 120.0);
    }
    events_drain_queue(handle, 0, start + 120.0);
    if (!await_event(handle, KUV_BENCH_DONE, cli_now() + 60.0))
        status = cli_fail(KUV_EXIT_FAILURE, "events bench", "the server did not count every event");
    figures->per_second = (double)plan->events / (cli_now() - start);
    /* Round trips: one event out, its echo back, one at a time. */
    for (long long i = 0; status == KUV_EXIT_OK && i < plan->round_trips; ++i) {
        const double sent_at = cli_now();
        kue_xapi_event_push(handle, 0, 1, KUV_BENCH_ECHO, payload, (uint64_t)plan->size);
        if (!await_event(handle, KUV_BENCH_ECHO, sent_at + 10.0))
            status = cli_fail(KUV_EXIT_FAILURE, "events bench", "an echo did not come back");
        samples[i] = (cli_now() - sent_at) * 1e6;
    }
    kue_xapi_event_delete(&handle);
    return status;
}

/* ---- the same over a plain socket --------------------------------------- */

/* Reads exactly size bytes; 0 at the end of the stream or on failure. */
static int read_all(int socket, uint8_t *bytes, size_t size) {
    while (size > 0) {
        ssize_t got = read(socket, bytes, size);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            return 0;
        }
        bytes += got;
        size -= (size_t)got;
    }
    return 1;
}

static int write_all(int socket, const uint8_t *bytes, size_t size) {
    while (size > 0) {
        ssize_t sent = write(socket, bytes, size);
        if (sent <= 0) {
            if (sent < 0 && errno == EINTR) continue;
            return 0;
        }
        bytes += sent;
        size -= (size_t)sent;
    }
    return 1;
}

/* A frame in one write, as the event service sends an event in one call. */
static int write_frame(int socket, uint8_t *frame, uint8_t cmd, size_t size) {
    frame[0] = cmd;
    for (int i = 0; i < 4; ++i)
        frame[1 + i] = (uint8_t)(size >> (8 * i));
    return write_all(socket, frame, KUV_PLAIN_HEADER + size);
}

/* The payload length of the frame whose header is at header. */
static size_t frame_size(const uint8_t *header) {
    return (size_t)header[1] | (size_t)header[2] << 8 | (size_t)header[3] << 16 |
           (size_t)header[4] << 24;
}

/* The plain server: counts and echoes frames as the event server does. */
static int plain_server(int port_pipe, long long expected, long long size) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int32_t port = -1;
    if (listener >= 0 && bind(listener, (struct sockaddr *)&address, sizeof address) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, (struct sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
    ssize_t written = write(port_pipe, &port, sizeof port);
    close(port_pipe);
    int peer = port > 0 && written == (ssize_t)sizeof port ? accept(listener, NULL, NULL) : -1;
    if (listener >= 0) close(listener);
    if (peer < 0) return 1;
    uint8_t *frame = malloc(KUV_PLAIN_HEADER + (size_t)size);
    long long counted = 0;
    while (frame && read_all(peer, frame, KUV_PLAIN_HEADER)) {
        const size_t payload = frame_size(frame);
        if (payload > (size_t)size || !read_all(peer, frame + KUV_PLAIN_HEADER, payload)) break;
        if (frame[0] == KUV_BENCH_ECHO && !write_frame(peer, frame, KUV_BENCH_ECHO, payload)) break;
        if (frame[0] == KUV_BENCH_COUNT && ++counted == expected &&
            !write_frame(peer, frame, KUV_BENCH_DONE, 0))
            break;
    }
    free(frame);
    close(peer);
    return 0;
}

/* Reads frames until one of cmd; 1 when it came. */
static int await_frame(int socket, uint8_t *frame, size_t capacity, uint8_t cmd) {
    while (read_all(socket, frame, KUV_PLAIN_HEADER)) {
        const size_t payload = frame_size(frame);
        if (payload > capacity || !read_all(socket, frame + KUV_PLAIN_HEADER, payload)) return 0;
        if (frame[0] == cmd) return 1;
    }
    return 0;
}

static int plain_client(int32_t port, const bench_plan *plan, uint8_t *frame, double *samples,
                        bench_figures *figures) {
    int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)port);
    if (peer < 0 || connect(peer, (struct sockaddr *)&address, sizeof address) != 0) {
        if (peer >= 0) close(peer);
        return cli_fail(KUV_EXIT_FAILURE, "events bench", "cannot connect to the plain server");
    }
    const size_t size = (size_t)plan->size;
    int ok = 1;
    const double start = cli_now();
    for (long long i = 0; ok && i < plan->events; ++i)
        ok = write_frame(peer, frame, KUV_BENCH_COUNT, size);
    ok = ok && await_frame(peer, frame, size, KUV_BENCH_DONE);
    figures->per_second = (double)plan->events / (cli_now() - start);
    for (long long i = 0; ok && i < plan->round_trips; ++i) {
        const double sent_at = cli_now();
        ok = write_frame(peer, frame, KUV_BENCH_ECHO, size) &&
             await_frame(peer, frame, size, KUV_BENCH_ECHO);
        samples[i] = (cli_now() - sent_at) * 1e6;
    }
    close(peer);
    return ok ? KUV_EXIT_OK
              : cli_fail(KUV_EXIT_FAILURE, "events bench", "the plain exchange broke off");
}

/* ---- one run ------------------------------------------------------------ */

typedef int (*server_entry)(int port_pipe, const bench_plan *plan);

static int start_event_server(int port_pipe, const bench_plan *plan) {
    return event_server(port_pipe, plan->events);
}

static int start_plain_server(int port_pipe, const bench_plan *plan) {
    return plain_server(port_pipe, plan->events, plan->size);
}

/* Forks the server, learns its port, runs the client part, reaps the
 * server (ending one that is stuck). */
static int run_pair(server_entry server_main, int event_service, const bench_plan *plan,
                    uint8_t *buffer, double *samples, bench_figures *figures) {
    int port_pipe[2];
    if (pipe(port_pipe) != 0)
        return cli_fail(KUV_EXIT_FAILURE, "events bench", "pipe: %s", strerror(errno));
    fflush(NULL);
    pid_t server = fork();
    if (server < 0) {
        close(port_pipe[0]);
        close(port_pipe[1]);
        return cli_fail(KUV_EXIT_FAILURE, "events bench", "fork: %s", strerror(errno));
    }
    if (server == 0) {
        close(port_pipe[0]);
        _exit(server_main(port_pipe[1], plan));
    }
    close(port_pipe[1]);
    int32_t port = -1;
    ssize_t got = read(port_pipe[0], &port, sizeof port);
    close(port_pipe[0]);
    int status;
    if (got != (ssize_t)sizeof port || port <= 0)
        status = cli_fail(KUV_EXIT_FAILURE, "events bench", "the server process did not start");
    else if (event_service)
        status = event_client(port, plan, buffer, samples, figures);
    else
        status = plain_client(port, plan, buffer, samples, figures);
    if (status == KUV_EXIT_OK && plan->round_trips > 0)
        summarize(samples, plan->round_trips, figures);
    /* The server leaves when its client has gone; a stuck one is ended. */
    for (int waited = 0; waited < 500; ++waited) {
        if (waitpid(server, NULL, WNOHANG) == server) return status;
        cli_sleep(0.01);
    }
    kill(server, SIGKILL);
    waitpid(server, NULL, 0);
    return status;
}

static void print_figures(const char *name, const bench_plan *plan, const bench_figures *figures) {
    fprintf(cli_out, "%-14s %10.0f %8.1f", name, figures->per_second,
            figures->per_second * (double)plan->size / 1e6);
    if (plan->round_trips > 0)
        fprintf(cli_out, "   %8.1f %8.1f %8.1f %9.1f", figures->p50, figures->p90, figures->p99,
                figures->maximum);
    fputc('\n', cli_out);
    fflush(cli_out);
}

int kuv_events_bench(int argc, char **argv) {
    static const struct option kOptions[] = {{"help", no_argument, NULL, 'h'},
                                             {"events", required_argument, NULL, 'n'},
                                             {"round-trips", required_argument, NULL, 'r'},
                                             {"size", required_argument, NULL, 's'},
                                             {NULL, 0, NULL, 0}};
    bench_plan plan = {20000, 2000, 64};
    cli_reset_options();
    for (int option; (option = getopt_long(argc, argv, ":hn:r:s:", kOptions, NULL)) != -1;) {
        switch (option) {
            case 'h':
                fputs(kBenchUsage, cli_out);
                return KUV_EXIT_OK;
            case 'n':
                if (!cli_parse_number(optarg, 1, 100000000, &plan.events))
                    return cli_usage_error("events bench", "bad event count '%s'", optarg);
                break;
            case 'r':
                if (!cli_parse_number(optarg, 0, 10000000, &plan.round_trips))
                    return cli_usage_error("events bench", "bad round-trip count '%s'", optarg);
                break;
            case 's':
                if (!cli_parse_number(optarg, 0, 16 * 1024 * 1024, &plan.size))
                    return cli_usage_error("events bench", "bad size '%s'", optarg);
                break;
            default:
                return cli_bad_option("events bench", option, argv);
        }
    }
    if (optind != argc) return cli_usage_error("events bench", "unexpected '%s'", argv[optind]);

    uint8_t *buffer = calloc(1, KUV_PLAIN_HEADER + (size_t)plan.size);
    double *samples = malloc(sizeof(double) * (size_t)(plan.round_trips ? plan.round_trips : 1));
    if (!buffer || !samples) {
        free(buffer);
        free(samples);
        return cli_fail(KUV_EXIT_FAILURE, "events bench", "out of memory");
    }
    signal(SIGPIPE, SIG_IGN);
    fprintf(cli_out,
            "kuv events bench: client and server processes on 127.0.0.1, %lld events one way, "
            "%lld round trips, %lld-byte payloads\n",
            plan.events, plan.round_trips, plan.size);
    fprintf(cli_out, "%-14s %10s %8s", "", "events/s", "MB/s");
    if (plan.round_trips > 0)
        fprintf(cli_out, "   %8s %8s %8s %9s  (round trip, us)", "p50", "p90", "p99", "max");
    fputc('\n', cli_out);
    bench_figures events = {0, 0, 0, 0, 0}, plain = {0, 0, 0, 0, 0};
    int status = run_pair(start_event_server, 1, &plan, buffer, samples, &events);
    if (status == KUV_EXIT_OK) {
        print_figures("event service", &plan, &events);
        status = run_pair(start_plain_server, 0, &plan, buffer, samples, &plain);
    }
    if (status == KUV_EXIT_OK) {
        print_figures("plain TCP", &plan, &plain);
        fprintf(cli_out, "event service / plain TCP: %.2f of the one-way rate",
                events.per_second / plain.per_second);
        if (plan.round_trips > 0)
            fprintf(cli_out, ", %.2f times the median round trip", events.p50 / plain.p50);
        fputc('\n', cli_out);
    }
    fflush(cli_out);
    free(buffer);
    free(samples);
    return status;
}
