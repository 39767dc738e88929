/*
 * kuv: helpers shared by the subcommand families: failure lines, number and
 * peer parsing, clocks, result-code names, and keeping the library's own
 * progress lines off the tool's standard output.
 */
#include "cli.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <davro_kuv.h>

FILE *cli_out = NULL;
volatile int cli_stop_requested = 0;

int cli_fail(int exit_code, const char *command, const char *format, ...) {
    if (cli_out) fflush(cli_out);
    fflush(stdout);
    fprintf(stderr, "kuv %s: ", command);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    return exit_code;
}

int cli_usage_error(const char *command, const char *format, ...) {
    fprintf(stderr, "kuv %s: ", command);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fprintf(stderr, " (try 'kuv %s --help')\n", command);
    return KUV_EXIT_USAGE;
}

void cli_reset_options(void) {
    /* 0 makes glibc's getopt start over completely, including its internal
     * state for permuted arguments. */
    optind = 0;
    /* The tool words its own one-line message (cli_bad_option). */
    opterr = 0;
}

/* 1 when word is a group of short options ("-qv") that holds letter. */
static int is_short_group_with(const char *word, int letter) {
    return word && word[0] == '-' && word[1] != '-' && strchr(word + 1, letter) != NULL;
}

int cli_bad_option(const char *command, int option, char **argv) {
    /* getopt has stepped past the offending word, except for a letter
     * before the end of a group of short options: optind then still
     * indexes the group (argv ends with NULL, so argv[optind] exists). */
    const char *word = optind > 0 ? argv[optind - 1] : "?";
    if (option == ':') return cli_usage_error(command, "option '%s' needs a value", word);
    if (optopt && (is_short_group_with(word, optopt) || is_short_group_with(argv[optind], optopt)))
        return cli_usage_error(command, "unknown option '-%c'", optopt);
    return cli_usage_error(command, "unknown option '%s'", word);
}

int cli_help_only(const char *command, const char *usage, int argc, char **argv) {
    static const struct option kOptions[] = {{"help", no_argument, NULL, 'h'}, {NULL, 0, NULL, 0}};
    cli_reset_options();
    /* '+': operands that start with '-' (a URI, say) stay operands. */
    for (int option; (option = getopt_long(argc, argv, "+:h", kOptions, NULL)) != -1;) {
        if (option == 'h') {
            fputs(usage, cli_out);
            return KUV_EXIT_OK;
        }
        return cli_bad_option(command, option, argv);
    }
    return -1;
}

int cli_parse_number(const char *text, long long minimum, long long maximum, long long *value) {
    if (!text || !*text) return 0;
    char *end = NULL;
    errno = 0;
    long long parsed = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum) return 0;
    *value = parsed;
    return 1;
}

int cli_parse_size(const char *text, uint64_t *value) {
    if (!text || *text < '0' || *text > '9') return 0;
    char *end = NULL;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0) return 0;
    unsigned shift = 0;
    if (*end == 'k' || *end == 'K')
        shift = 10;
    else if (*end == 'm' || *end == 'M')
        shift = 20;
    else if (*end == 'g' || *end == 'G')
        shift = 30;
    if (shift) ++end;
    if (*end != '\0' || parsed > (UINT64_MAX >> shift)) return 0;
    *value = (uint64_t)parsed << shift;
    return 1;
}

int cli_parse_peer(const char *text, char *host, size_t host_size, int32_t *port) {
    if (!text || host_size == 0) return 0;
    const char *colon = strrchr(text, ':');
    if (!colon) return 0;
    const char *host_start = text;
    size_t host_length = (size_t)(colon - text);
    if (text[0] == '[') {
        /* An IPv6 literal keeps its colons inside the brackets. */
        const char *close = strchr(text, ']');
        if (!close || close + 1 != colon) return 0;
        host_start = text + 1;
        host_length = (size_t)(close - host_start);
    }
    long long number = 0;
    if (!cli_parse_number(colon + 1, 0, 65535, &number)) return 0;
    if (host_length == 0) {
        host_start = "127.0.0.1";
        host_length = strlen(host_start);
    }
    if (host_length >= host_size) return 0;
    memcpy(host, host_start, host_length);
    host[host_length] = '\0';
    *port = (int32_t)number;
    return 1;
}

double cli_now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

void cli_sleep(double seconds) {
    if (seconds <= 0) return;
    struct timespec pause;
    pause.tv_sec = (time_t)seconds;
    pause.tv_nsec = (long)((seconds - (double)pause.tv_sec) * 1e9);
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR && !cli_stop_requested) {
    }
}

typedef struct result_name {
    uint32_t code;
    const char *name;
} result_name;

/* The library has no function that names its result codes, so the tool
 * keeps the names of the endpoint family's codes it may meet. */
static const result_name kResultNames[] = {
    {KUV_RESULT_NETWORK_INIT, "network layer did not start"},
    {KUV_RESULT_INVALID_ARGUMENT, "invalid argument"},
    {KUVNET_RESULT_LOOKUP_FAILED, "name lookup failed"},
    {KUVNET_RESULT_PATH_TOO_LONG, "Unix-domain path too long"},
    {KUVNET_RESULT_MULTICAST_JOIN, "no multicast join made"},
    {KUVNET_RESULT_SOURCE_LOOKUP, "source name cannot be resolved"},
    {KUVNET_RESULT_PORT_RANGE, "port outside 0..65535"},
    {KUVNET_RESULT_REMOTE_NAME, "remote name cannot be resolved"},
    {KUVNET_RESULT_LOCAL_NAME, "local name cannot be resolved"},
    {KUVNET_RESULT_UNIX_SOCKET, "no Unix-domain socket"},
    {KUVNET_RESULT_BIND, "address cannot be bound"},
    {KUVNET_RESULT_UNSUPPORTED_TYPE, "protocol type not supported"},
    {KUVNET_RESULT_UNIX_LISTEN, "listen failed"},
    {KUVNET_RESULT_NO_SOCKET, "no socket"},
    {KUVNET_RESULT_CONNECT, "connection refused or timed out"},
    {KUVNET_RESULT_RECORDED_FAILURE, "endpoint records a failure"},
    {KUVNET_RESULT_NO_MEMORY, "out of memory"},
    {KUVNET_RESULT_NO_TRANSFER, "nothing transferred"},
};

const char *cli_result_name(uint32_t code) {
    for (size_t i = 0; i < sizeof kResultNames / sizeof kResultNames[0]; ++i)
        if (kResultNames[i].code == code) return kResultNames[i].name;
    return "result code";
}

static char shown_byte(char byte) {
    const unsigned char value = (unsigned char)byte;
    return value < 0x20 || value == 0x7F ? '?' : byte;
}

const char *cli_shown_text(const char *text, char *shown, size_t size) {
    size_t length = 0;
    for (; text[length] && length + 1 < size; ++length)
        shown[length] = shown_byte(text[length]);
    shown[length] = '\0';
    return shown;
}

char *cli_show_in_place(char *text) {
    for (char *at = text; *at; ++at)
        *at = shown_byte(*at);
    return text;
}

const char *cli_format_bytes(double bytes, char *text, size_t size) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        bytes /= 1024.0;
        ++unit;
    }
    if (unit == 0)
        snprintf(text, size, "%.0f %s", bytes, kUnits[unit]);
    else
        snprintf(text, size, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

int cli_quiet_library(int verbose) {
    fflush(stdout);
    int kept = dup(STDOUT_FILENO);
    if (kept < 0) return 0;
    FILE *out = fdopen(kept, "w");
    if (!out) {
        close(kept);
        return 0;
    }
    int sink = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink < 0 || dup2(sink, STDOUT_FILENO) < 0) {
        if (sink >= 0) close(sink);
        fclose(out);
        return 0;
    }
    close(sink);
    /* The kept descriptor must not leak into programs the tool starts. */
    fcntl(kept, F_SETFD, FD_CLOEXEC);
    cli_out = out;
    return 1;
}

static void note_stop(int signal_number) {
    (void)signal_number;
    cli_stop_requested = 1;
}

void cli_on_stop_signals(void (*handler)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    /* No SA_RESTART: a blocking wait returns early so the loop sees the
     * request. */
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
}

void cli_catch_stop_signals(void) {
    cli_on_stop_signals(note_stop);
}

void cli_default_stop_signals(void) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}
