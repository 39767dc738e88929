/*
 * kuv ping HOST: ICMP echo through an ICMP endpoint of the library
 * (kuv_xapi_kuvnet_simple_ping), with reply lines and a summary like ping's.
 */
#include <getopt.h>
#include <math.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <davro_kuv.h>

#include "cli.h"

static const char kUsage[] =
    "Usage: kuv ping [--help] [-c COUNT] [-s SIZE] [-i SECONDS] [-W MSEC] [-4|-6] HOST\n"
    "\n"
    "Sends ICMP (or ICMPv6) echo requests to HOST and prints one line per\n"
    "reply, then a summary like ping's. Raw ICMP sockets need root (or\n"
    "CAP_NET_RAW).\n"
    "\n"
    "  -c COUNT     requests to send (default 4; 0 = until interrupted)\n"
    "  -s SIZE      payload bytes per request (default 56)\n"
    "  -i SECONDS   pause between requests (default 1)\n"
    "  -W MSEC      wait for each reply (default 2000)\n"
    "  -4, -6       use only IPv4 or only IPv6 addresses of HOST\n"
    "\n"
    "Exit status 0 when a reply came back, 1 when none did.\n";

/* Largest payload that fits an IPv4 datagram with its IP and ICMP headers. */
#define KUV_PING_MAX_PAYLOAD 65507
/* What the echo call answers when no reply matched. */
#define KUV_PING_NO_REPLY 0xFFFFFFFFu
/* How often the main thread looks for Ctrl-C while an echo waits. */
#define KUV_PING_STOP_CHECK_USEC 20000

typedef struct ping_options {
    long long count;
    long long size;
    double interval;
    long long wait_msec;
    uint32_t family;
    const char *host;
} ping_options;

typedef struct ping_statistics {
    unsigned long long sent, received;
    double minimum, maximum, sum, sum_of_squares;
} ping_statistics;

static int parse_options(int argc, char **argv, ping_options *options) {
    static const struct option kOptions[] = {{"help", no_argument, NULL, 'h'}, {NULL, 0, NULL, 0}};
    options->count = 4;
    options->size = 56;
    options->interval = 1.0;
    options->wait_msec = 2000;
    options->family = 0;
    cli_reset_options();
    for (int option; (option = getopt_long(argc, argv, ":hc:s:i:W:46", kOptions, NULL)) != -1;) {
        switch (option) {
            case 'h':
                fputs(kUsage, cli_out);
                return -1;
            case 'c':
                if (!cli_parse_number(optarg, 0, 1000000000, &options->count))
                    return cli_usage_error("ping", "bad COUNT '%s'", optarg);
                break;
            case 's':
                if (!cli_parse_number(optarg, 0, KUV_PING_MAX_PAYLOAD, &options->size))
                    return cli_usage_error("ping", "bad SIZE '%s' (0..%d)", optarg,
                                           KUV_PING_MAX_PAYLOAD);
                break;
            case 'i': {
                char *end = NULL;
                options->interval = strtod(optarg, &end);
                if (*optarg == '\0' || *end != '\0' || !(options->interval >= 0) ||
                    options->interval > 3600)
                    return cli_usage_error("ping", "bad interval '%s'", optarg);
                break;
            }
            case 'W':
                if (!cli_parse_number(optarg, 1, 3600000, &options->wait_msec))
                    return cli_usage_error("ping", "bad wait '%s'", optarg);
                break;
            case '4':
                options->family = KUVNET_IPV4;
                break;
            case '6':
                options->family = KUVNET_IPV6;
                break;
            default:
                return cli_bad_option("ping", option, argv);
        }
    }
    if (optind + 1 != argc)
        return cli_usage_error("ping", optind == argc ? "missing HOST" : "more than one HOST");
    options->host = argv[optind];
    /* An empty name resolves to no address, so nothing would be sent; a
     * longer one than the endpoint keeps would be cut, and its first part
     * may well name another host. */
    if (options->host[0] == '\0') return cli_usage_error("ping", "empty HOST");
    if (strlen(options->host) >= KUVNET_NAME_SIZE)
        return cli_usage_error("ping", "HOST longer than %d characters", KUVNET_NAME_SIZE - 1);
    return 0;
}

/* The first resolved address as text (the one the first echo goes to). */
static void first_address_text(const kuvnet *handle, char *text, size_t size, int *family) {
    snprintf(text, size, "?");
    *family = AF_INET;
    const struct addrinfo *first = handle->peer_address.addresses;
    if (!first || !first->ai_addr) return;
    *family = first->ai_family;
    kuv_xapi_inet_stop(first->ai_addr, text, size);
}

/* Raw sockets need a privilege; without it every echo fails the same way
 * as an unanswered one, so the tool asks first and says why. */
static int may_open_raw_socket(int family) {
    int probe =
        kuv_xapi_open_socket(family, SOCK_RAW, family == AF_INET6 ? IPPROTO_ICMPV6 : IPPROTO_ICMP);
    if (probe < 0) return 0;
    kuv_xapi_close_socket(probe);
    return 1;
}

static void print_summary(const ping_options *options, const ping_statistics *statistics,
                          double elapsed) {
    unsigned long long lost = statistics->sent - statistics->received;
    fprintf(cli_out, "\n--- %s ping statistics ---\n", options->host);
    fprintf(cli_out, "%llu packets transmitted, %llu received, %.0f%% packet loss, time %.0fms\n",
            statistics->sent, statistics->received,
            statistics->sent ? 100.0 * (double)lost / (double)statistics->sent : 0.0,
            elapsed * 1000.0);
    if (statistics->received) {
        double count = (double)statistics->received;
        double average = statistics->sum / count;
        double variance = statistics->sum_of_squares / count - average * average;
        fprintf(cli_out, "rtt min/avg/max/mdev = %.3f/%.3f/%.3f/%.3f ms\n", statistics->minimum,
                average, statistics->maximum, sqrt(variance > 0 ? variance : 0));
    }
}

/* One echo call: its arguments, and its result and round trip (in ms)
 * once done is set. */
typedef struct echo_call {
    kuvnet *handle;
    const uint8_t *payload;
    uint32_t size;
    uint32_t sequence;
    uint32_t result;
    double round_trip;
    atomic_int done;
} echo_call;

/* The echo, timed where it runs: the thread that waits for it looks only
 * now and then. */
static void echo(echo_call *call) {
    const double sent_at = cli_now();
    call->result =
        kuv_xapi_kuvnet_simple_ping(call->handle, call->payload, call->size, call->sequence);
    call->round_trip = (cli_now() - sent_at) * 1000.0;
}

static void *run_echo(void *context) {
    echo_call *call = context;
    echo(call);
    atomic_store(&call->done, 1);
    return NULL;
}

/* One echo request with its whole wait. The library takes a signal's
 * interruption up again, so the echo runs on a thread of its own while this
 * one looks for Ctrl-C. A stop request leaves the echo to its thread and
 * sets *abandoned: the process must then end without touching the handle
 * (or the call) again. */
static uint32_t ping_once(kuvnet *handle, const ping_options *options, const uint8_t *payload,
                          uint32_t sequence, double *round_trip, int *abandoned) {
    echo_call own = {handle, payload, (uint32_t)options->size, sequence, KUV_PING_NO_REPLY, 0, 0};
    echo_call *call = calloc(1, sizeof *call);
    pthread_t thread;
    if (call) *call = own;
    if (call && pthread_create(&thread, NULL, run_echo, call) != 0) {
        free(call);
        call = NULL;
    }
    if (!call) {
        echo(&own);
        *round_trip = own.round_trip;
        return own.result;
    }
    while (!atomic_load(&call->done)) {
        if (cli_stop_requested) {
            pthread_detach(thread);
            *abandoned = 1;
            return KUV_PING_NO_REPLY;
        }
        usleep(KUV_PING_STOP_CHECK_USEC);
    }
    pthread_join(thread, NULL);
    const uint32_t result = call->result;
    *round_trip = call->round_trip;
    free(call);
    /* A late reply to an earlier request, which the call hands out as its
     * result, is no reply to this one. */
    return result <= 0xFFFFu && result != sequence ? KUV_PING_NO_REPLY : result;
}

int kuv_ping_main(int argc, char **argv) {
    ping_options options;
    int parsed = parse_options(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? KUV_EXIT_OK : parsed;

    kuvnet *handle = NULL;
    uint32_t result = kuv_xapi_kuvnet_init(&handle, 1);
    if (result != 1) return cli_fail(KUV_EXIT_FAILURE, "ping", "%s", cli_result_name(result));
    handle->protocol_type = KUVNET_ICMP | options.family;
    handle->timeout = (uint32_t)options.wait_msec;
    kuv_xapi_kuvnet_set_remote(handle, options.host, 0);
    result = kuv_xapi_kuvnet_create(handle);
    if (result != 1) {
        kuv_xapi_kuvnet_delete(&handle);
        return cli_fail(KUV_EXIT_FAILURE, "ping", "cannot resolve '%s' (%s, 0x%08X)", options.host,
                        cli_result_name(result), (unsigned)result);
    }
    char address[INET6_ADDRSTRLEN + 1];
    int family = AF_INET;
    first_address_text(handle, address, sizeof address, &family);
    if (!may_open_raw_socket(family)) {
        kuv_xapi_kuvnet_delete(&handle);
        return cli_fail(KUV_EXIT_FAILURE, "ping", "raw ICMP sockets need root (CAP_NET_RAW)");
    }

    uint8_t *payload = malloc(options.size ? (size_t)options.size : 1);
    if (!payload) {
        kuv_xapi_kuvnet_delete(&handle);
        return cli_fail(KUV_EXIT_FAILURE, "ping", "out of memory");
    }
    /* The payload pattern ping uses: bytes counting up from 8. */
    for (long long i = 0; i < options.size; ++i)
        payload[i] = (uint8_t)(i + 8);

    cli_catch_stop_signals();
    fprintf(cli_out, "PING %s (%s) %lld(%lld) bytes of data.\n", options.host, address,
            options.size, options.size + 8);
    fflush(cli_out);
    ping_statistics statistics = {0, 0, 0, 0, 0, 0};
    const double started = cli_now();
    int abandoned = 0;
    for (unsigned long long i = 1; !cli_stop_requested; ++i) {
        const uint32_t sequence = (uint32_t)(i & 0xFFFFu);
        const double sent_at = cli_now();
        double round_trip = 0;
        result = ping_once(handle, &options, payload, sequence, &round_trip, &abandoned);
        ++statistics.sent;
        if (result == sequence) {
            ++statistics.received;
            if (statistics.received == 1 || round_trip < statistics.minimum)
                statistics.minimum = round_trip;
            if (round_trip > statistics.maximum) statistics.maximum = round_trip;
            statistics.sum += round_trip;
            statistics.sum_of_squares += round_trip * round_trip;
            fprintf(cli_out, "%lld bytes from %s: icmp_seq=%u time=%.3f ms\n", options.size + 8,
                    address, (unsigned)sequence, round_trip);
        } else if (result == KUV_PING_NO_REPLY) {
            /* Cut short by a stop request, the wait says nothing. */
            if (!cli_stop_requested)
                fprintf(cli_out, "no reply for icmp_seq=%u within %lld ms\n", (unsigned)sequence,
                        options.wait_msec);
        } else {
            fprintf(cli_out, "icmp_seq=%u failed: %s (0x%08X)\n", (unsigned)sequence,
                    cli_result_name(result), (unsigned)result);
            handle->error_code = 0;
        }
        fflush(cli_out);
        if (abandoned) break;
        if (options.count != 0 && i >= (unsigned long long)options.count) break;
        cli_sleep(options.interval - (cli_now() - sent_at));
    }
    print_summary(&options, &statistics, cli_now() - started);
    int status = KUV_EXIT_OK;
    if (statistics.received == 0)
        status = cli_fail(KUV_EXIT_FAILURE, "ping", "no reply from %s", options.host);
    if (abandoned) {
        /* The echo under way still uses the handle and the payload: the
         * process ends here, with them. */
        if (fflush(cli_out) != 0 || ferror(cli_out)) status = KUV_EXIT_FAILURE;
        fflush(stderr);
        _exit(status);
    }
    free(payload);
    kuv_xapi_kuvnet_delete(&handle);
    return status;
}
