/*
 * kuv: entry point and dispatch. Each subcommand family lives in a file of
 * its own and parses its own options.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "cli.h"

typedef struct subcommand {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *summary;
} subcommand;

static const subcommand kSubcommands[] = {
    {"uri", kuv_uri_main, "show the parsed fields of a URI"},
    {"nic", kuv_nic_main, "list the network interfaces (like ip addr)"},
    {"ping", kuv_ping_main, "send ICMP echo requests to a host"},
    {"events", kuv_events_main, "event service: serve, send, bench"},
    {"ftp", kuv_ftp_main, "FTP client: get, ls, put"},
};

static void print_overview(FILE *to) {
    fprintf(to,
            "Usage: kuv COMMAND [ARGUMENTS...]\n"
            "\n"
            "The command-line tool of the davro_kuv library.\n"
            "\n"
            "Commands:\n");
    for (size_t i = 0; i < sizeof kSubcommands / sizeof kSubcommands[0]; ++i)
        fprintf(to, "  %-8s %s\n", kSubcommands[i].name, kSubcommands[i].summary);
    fprintf(to,
            "\n"
            "'kuv COMMAND --help' describes a command. Exit status: 0 success,\n"
            "1 the operation failed, 2 the command line was wrong.\n");
}

/* The command's exit status, or a failure when its output could not all be
 * written (a full disk, a closed pipe): a result that did not arrive is no
 * success. */
static int finish_output(int status) {
    if (fflush(cli_out) == 0 && !ferror(cli_out)) return status;
    fprintf(stderr, "kuv: cannot write the output\n");
    return status != KUV_EXIT_OK ? status : KUV_EXIT_FAILURE;
}

/* Started without standard input, output or error, the tool would find its
 * first sockets and files under those numbers, and print into a
 * connection. Each missing one is taken by /dev/null, read-only: reading
 * finds the end at once, and writing still fails, so that output that
 * cannot arrive still fails the command. */
static int hold_standard_descriptors(void) {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = open("/dev/null", O_RDONLY);
        if (held != descriptor) return 0;
    }
    return 1;
}

int main(int argc, char **argv) {
    if (!hold_standard_descriptors()) return KUV_EXIT_FAILURE;
    cli_out = stdout;
    if (argc < 2) {
        print_overview(stderr);
        return KUV_EXIT_USAGE;
    }
    const char *name = argv[1];
    if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0 || strcmp(name, "help") == 0) {
        print_overview(stdout);
        return finish_output(KUV_EXIT_OK);
    }
    for (size_t i = 0; i < sizeof kSubcommands / sizeof kSubcommands[0]; ++i)
        if (strcmp(name, kSubcommands[i].name) == 0)
            return finish_output(kSubcommands[i].run(argc - 1, argv + 1));
    fprintf(stderr, "kuv: unknown command '%s' (try 'kuv --help')\n", name);
    return KUV_EXIT_USAGE;
}
