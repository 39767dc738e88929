/*
 * kuv: the command-line tool of davro_kuv. Shared declarations of the
 * subcommand families (one file each) and the small helpers they share.
 *
 * Exit codes of every subcommand: 0 success, 1 the operation failed (a peer
 * unreachable, a transfer broken), 2 the command line was wrong (an unknown
 * option, a missing argument, a URI without the parts the command needs).
 * A failure prints one line "kuv <command>: <reason>" on standard error.
 */
#ifndef KUV_TOOL_CLI_H
#define KUV_TOOL_CLI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define KUV_EXIT_OK 0
#define KUV_EXIT_FAILURE 1
#define KUV_EXIT_USAGE 2

/* Entry points of the subcommand families; argv[0] is the subcommand. */
int kuv_uri_main(int argc, char **argv);
int kuv_nic_main(int argc, char **argv);
int kuv_ping_main(int argc, char **argv);
int kuv_events_main(int argc, char **argv);
int kuv_ftp_main(int argc, char **argv);

/* Prints "kuv <command>: <message>" on standard error; returns exit_code. */
int cli_fail(int exit_code, const char *command, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
/* A command-line mistake: the message, then a pointer to --help; returns
 * KUV_EXIT_USAGE. */
int cli_usage_error(const char *command, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* Resets getopt for a subcommand's own options; getopt then prints
 * nothing itself. Option strings start with ':' so that a missing value
 * is told apart from an unknown option. */
void cli_reset_options(void);
/* The usage error for what getopt_long returned as option (':' or '?'). */
int cli_bad_option(const char *command, int option, char **argv);
/* Option parsing of a command whose only option is --help (-h): prints usage
 * for it, or the usage error for any other option. Returns -1 when the
 * command goes on (optind then indexes its first operand), else the exit
 * code to return. */
int cli_help_only(const char *command, const char *usage, int argc, char **argv);

/* Decimal number in [minimum, maximum]: 1 and *value, else 0. */
int cli_parse_number(const char *text, long long minimum, long long maximum, long long *value);
/* A byte count or rate with an optional suffix k, M or G (powers of 1024):
 * 1 and *value, else 0. */
int cli_parse_size(const char *text, uint64_t *value);
/* "HOST:PORT", "[IPV6]:PORT" or ":PORT" (loopback): 1 with host (bounded
 * copy) and port, else 0. */
int cli_parse_peer(const char *text, char *host, size_t host_size, int32_t *port);

/* Seconds of the monotonic clock. */
double cli_now(void);
/* Sleeps for seconds (fractions allowed). */
void cli_sleep(double seconds);

/* A short English name of a library result code ("remote name cannot be
 * resolved"), or "result code" when it is not one the tool knows. */
const char *cli_result_name(uint32_t code);

/* Human-readable byte count ("12.3 MiB") into text. */
const char *cli_format_bytes(double bytes, char *text, size_t size);

/* text as it may be shown on a terminal, into shown: every control byte
 * (below 0x20, and 0x7F) becomes '?', so that a name a server chose cannot
 * move the cursor, retitle the window or hide lines. Cut to size - 1. */
const char *cli_shown_text(const char *text, char *shown, size_t size);
/* The same change made in text itself, whatever its length; returns text. */
char *cli_show_in_place(char *text);

/*
 * The library writes progress lines of its own ("kuv init : OK", "close :
 * ...") to standard output with no switch to turn them off. Commands that
 * want a clean output keep the real standard output as cli_out and point
 * descriptor 1 at /dev/null (or at standard error when verbose) while the
 * library runs. main sets cli_out to stdout; cli_quiet_library replaces it.
 */
extern FILE *cli_out;
/* 1 on success; the library's messages then go to /dev/null, or to standard
 * error when verbose is 1. */
int cli_quiet_library(int verbose);

/* Signals SIGINT and SIGTERM set cli_stop_requested (once installed). */
extern volatile int cli_stop_requested;
void cli_catch_stop_signals(void);
/* SIGINT and SIGTERM run handler instead, without SA_RESTART. */
void cli_on_stop_signals(void (*handler)(int));
/* SIGINT and SIGTERM end the process again. A caught signal only ends the
 * tool's own loops: around a library call that waits long it would leave
 * the user waiting for the call's whole time-out. */
void cli_default_stop_signals(void);

#endif /* KUV_TOOL_CLI_H */
