/*
 * kuv ftp get|ls|put: the FTP client from the command line. get and put
 * drive the data streams themselves (open_stream, read_stream or
 * write_stream, close_stream) to show their progress; ls uses the listing
 * slots.
 */
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <davro_kuv.h>

#include "cli.h"
#include "progress.h"

#define KUV_FTP_DEFAULT_PORT 21
/* Bytes asked of one read of the data stream, and moved by one write. */
#define KUV_FTP_CHUNK (256 * 1024)

static const char kUsage[] =
    "Usage: kuv ftp get|ls|put [OPTIONS] ...\n"
    "\n"
    "The FTP client from the command line:\n"
    "  get URL    download the file(s) the URL names, with a progress bar\n"
    "  ls URL     list a directory (-l for the long listing)\n"
    "  put FILE URL  upload a file\n"
    "\n"
    "URLs look like ftp://[USER[:PASSWORD]@]HOST[:PORT]/PATH; without a user\n"
    "the client logs in anonymously. A URL with a user and no password takes\n"
    "the password from the environment variable KUV_FTP_PASSWORD, which other\n"
    "users cannot read as they can the command line. The library's URI parser\n"
    "takes a host only when it holds a dot or is in brackets: write 127.0.0.1\n"
    "or [::1], not localhost.\n"
    "\n"
    "'kuv ftp COMMAND --help' describes a command.\n";

static const char kGetUsage[] =
    "Usage: kuv ftp get [-o DIR] [--active] [--limit RATE] [--quiet] [--verbose] URL\n"
    "\n"
    "Downloads the file the URL names (or every file a directory or pattern\n"
    "lists) into DIR, showing a progress bar on a terminal (bytes, percent of\n"
    "the size the server announces, rate, time left) or one line per second\n"
    "otherwise, then a summary. A file is written under a temporary name and\n"
    "renamed when complete, so a failed download leaves no partial file and\n"
    "keeps an older file of the same name. A listed name that the URL does not\n"
    "name (another file, a name outside the directory, one the pattern does not\n"
    "match) is skipped with a warning. A listed name the server will not send\n"
    "(a subdirectory, say) fails the command, after the other files came.\n"
    "\n"
    "  -o, --output DIR  directory to write into (default: the current one)\n"
    "  --active          active mode (the server connects back); default passive\n"
    "  --limit RATE      at most RATE bytes per second (suffix k, M: 500k, 2M)\n"
    "  --quiet           no progress display\n"
    "  --verbose         show the library's own messages on standard error\n"
    "\n"
    "Example: kuv ftp get ftp://127.0.0.1:2121/pub/file.bin -o /tmp\n";

static const char kLsUsage[] =
    "Usage: kuv ftp ls [-l|--long] [--active] [--verbose] URL\n"
    "\n"
    "Lists the directory (or pattern) the URL names: the names (NLST), or with\n"
    "-l the server's long lines (LIST).\n";

static const char kPutUsage[] =
    "Usage: kuv ftp put [--active] [--limit RATE] [--quiet] [--verbose] FILE URL\n"
    "\n"
    "Uploads FILE to the URL's path. A URL whose path ends in '/' (or has no\n"
    "path) names a directory: the file keeps its own name there.\n";

typedef struct ftp_options {
    const char *command; /* "ftp get", for messages */
    const char *output_dir;
    int active, quiet, verbose, long_listing;
    uint64_t limit; /* bytes per second, 0 = none */
} ftp_options;

/* The parts of a URL the client needs. */
typedef struct ftp_target {
    uri_record *uri;
    const char *path; /* without the leading '/'; "" for none */
} ftp_target;

/* Parses the options of one of the three commands: it takes the option
 * letters in accepted (those its usage names) and refuses the others. Sets
 * *positional to the first operand. -1 after --help, 0 to go on, else an
 * exit code. */
static int parse_options(int argc, char **argv, ftp_options *options, const char *usage,
                         const char *accepted, int *positional) {
    static const struct option kOptions[] = {
        {"help", no_argument, NULL, 'h'},   {"output", required_argument, NULL, 'o'},
        {"active", no_argument, NULL, 'a'}, {"limit", required_argument, NULL, 'L'},
        {"quiet", no_argument, NULL, 'q'},  {"verbose", no_argument, NULL, 'v'},
        {"long", no_argument, NULL, 'l'},   {NULL, 0, NULL, 0}};
    const char *command = options->command;
    memset(options, 0, sizeof *options);
    options->command = command;
    options->output_dir = ".";
    cli_reset_options();
    for (int option; (option = getopt_long(argc, argv, ":ho:aL:qvl", kOptions, NULL)) != -1;) {
        if (option != ':' && option != '?' && !strchr(accepted, option)) {
            for (const struct option *entry = kOptions; entry->name; ++entry)
                if (entry->val == option)
                    return cli_usage_error(command, "option '--%s' does not apply to %s",
                                           entry->name, command);
        }
        switch (option) {
            case 'h':
                fputs(usage, cli_out);
                return -1;
            case 'o':
                options->output_dir = optarg;
                break;
            case 'a':
                options->active = 1;
                break;
            case 'L':
                /* The library counts the limit in bits per second, in 32 bits. */
                if (!cli_parse_size(optarg, &options->limit) || options->limit == 0 ||
                    options->limit > UINT32_MAX / 8)
                    return cli_usage_error(command, "bad rate '%s' (bytes per second, e.g. 500k)",
                                           optarg);
                break;
            case 'q':
                options->quiet = 1;
                break;
            case 'v':
                options->verbose = 1;
                break;
            case 'l':
                options->long_listing = 1;
                break;
            default:
                return cli_bad_option(command, option, argv);
        }
    }
    *positional = optind;
    return 0;
}

/* Whether the port text of a URL is a port: 1 to 65535 in decimal digits
 * alone (the URI reader also takes "21abc" or a number that wraps). */
static int is_port_text(const char *text) {
    const size_t length = strlen(text);
    if (length == 0 || length > 5 || strspn(text, "0123456789") != length) return 0;
    const long port = strtol(text, NULL, 10);
    return port >= 1 && port <= 65535;
}

/* The URL as a message shows it: a password in its user information
 * (between the first ':' and the last '@' before the path) as stars, since
 * the message may go where the command line does not (a log, a shared
 * screen). Read from the text itself, for a URL the parser finds no host
 * in holds it as well: a password typed with a '?' or '#' ends the parsed
 * authority there, and one typed with a '/' ends it even before. So when no
 * '@' comes before the first '/', stars run to the last '@' of the whole
 * URL: a path holding an '@' behind a port then shows starred, which only
 * hides more than it must. */
static const char *shown_url(const char *url, char *shown, size_t size) {
    const char *scheme_end = strstr(url, "://");
    const char *authority = scheme_end ? scheme_end + 3 : url;
    const char *end = authority + strcspn(authority, "/");
    const char *at = NULL;
    for (const char *byte = authority; byte < end; ++byte)
        if (*byte == '@') at = byte;
    if (!at) at = strrchr(authority, '@');
    /* The password's ':' comes before the first '/'. */
    const char *colon =
        at ? memchr(authority, ':', (size_t)((at < end ? at : end) - authority)) : NULL;
    if (!colon)
        snprintf(shown, size, "%s", url);
    else
        snprintf(shown, size, "%.*s****%s", (int)(colon + 1 - url), url, at);
    return shown;
}

/* Opens the URL; an exit code when it does not name an FTP server. */
static int open_target(const ftp_options *options, const char *url, int need_path,
                       ftp_target *target) {
    target->uri = kuv_xapi_open_uri(url);
    if (!target->uri) return cli_fail(KUV_EXIT_FAILURE, options->command, "out of memory");
    const uri_record *uri = target->uri;
    const char *problem = NULL;
    if (uri->has_scheme && strcmp(uri->scheme, "ftp") != 0)
        problem = "is not an ftp:// URL";
    else if (!uri->host || !uri->host[0])
        problem = "names no host (write 127.0.0.1 or [::1], not localhost)";
    else if (uri->port_text && !is_port_text(uri->port_text))
        problem = "has a bad port";
    target->path = uri->path ? uri->path : "";
    if (*target->path == '/') ++target->path;
    if (!problem && need_path && !*target->path) problem = "names no file";
    if (problem) {
        char shown[4096];
        shown_url(url, shown, sizeof shown);
        kuv_xapi_close_uri(target->uri);
        target->uri = NULL;
        return cli_usage_error(options->command, "'%s' %s", shown, problem);
    }
    return KUV_EXIT_OK;
}

/* The server's last reply, for a failure line: its control bytes show as
 * '?', so that a server cannot send the terminal commands (a title, a
 * cleared screen, colours). */
static const char *last_reply(const kuv_ftp_t *ftp) {
    static char shown[512];
    if (!ftp->reply_text || !ftp->reply_text[0]) return "no reply";
    return cli_shown_text(ftp->reply_text, shown, sizeof shown);
}

/* The password of a URL's user that the URL leaves out: from the
 * environment, not the command line, which every local user can read.
 * Without the variable the library's default goes, as before. */
static int32_t password_from_environment(kuv_ftp_t *ftp, char *area, int32_t limit) {
    (void)ftp;
    const char *password = getenv("KUV_FTP_PASSWORD");
    if (!password) return 1;
    const size_t length = strlen(password);
    if (length > (size_t)limit) return 0;
    memcpy(area, password, length + 1);
    return 1;
}

/* A connected, logged-in handle in binary mode; an exit code on failure. */
static int open_session(const ftp_options *options, const ftp_target *target, kuv_ftp_t **out) {
    kuv_ftp_t *ftp = kuv_xapi_open_ftp();
    if (!ftp) return cli_fail(KUV_EXIT_FAILURE, options->command, "out of memory");
    ftp->passive = options->active ? 0 : 1;
    /* Reads hand out what has arrived instead of waiting to fill the
     * request, so the progress moves with the data. */
    ftp->fill_reads = 0;
    ftp->download_rate_limit = (uint32_t)(options->limit * 8);
    /* An upload limit is in force only above 8 bits per second; the extra
     * bit keeps 1 byte per second in force and leaves every budget (the
     * limit over 8) as it is. */
    ftp->upload_rate_limit = (uint32_t)(options->limit * 8) + (options->limit ? 1 : 0);
    const uri_record *uri = target->uri;
    if (uri->user && !uri->password) ftp->get_password = password_from_environment;
    const int32_t port = uri->port_text ? uri->port : KUV_FTP_DEFAULT_PORT;
    int status = KUV_EXIT_OK;
    if (ftp->connect(ftp, uri->host, port) != 1)
        status = cli_fail(KUV_EXIT_FAILURE, options->command, "cannot connect to %s port %d",
                          uri->host, (int)port);
    else if (ftp->login(ftp, uri->user, uri->password) != 1)
        status =
            cli_fail(KUV_EXIT_FAILURE, options->command, "login refused (%s)", last_reply(ftp));
    else if (ftp->type(ftp, "I") != 1)
        status = cli_fail(KUV_EXIT_FAILURE, options->command, "binary mode refused (%s)",
                          last_reply(ftp));
    if (status != KUV_EXIT_OK) {
        kuv_xapi_close_ftp(ftp);
        return status;
    }
    *out = ftp;
    return KUV_EXIT_OK;
}

/* Says goodbye and releases the handle. */
static void close_session(kuv_ftp_t *ftp) {
    if (ftp->control_socket != -1) ftp->quit(ftp);
    kuv_xapi_close_ftp(ftp);
}

/* Ends a transfer that must not count as complete: the data connection is
 * reset rather than closed in order (a server takes an orderly end of an
 * upload for the whole file), and the control connection goes too, so that
 * no wait for the server's answer holds the tool up. */
static void abort_transfer(kuv_ftp_t *ftp) {
    if (ftp->data_socket != -1) {
        const struct linger reset = {1, 0};
        setsockopt(ftp->data_socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ftp->disconnect(ftp);
}

/* The part of path after its last '/'. */
static const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

/* Changes to the directory part of path (when it has one) and returns
 * the rest; NULL when the server refuses the directory. */
static const char *enter_directory(kuv_ftp_t *ftp, const char *path) {
    const char *name = base_name(path);
    if (name == path) return path;
    int length = (int)(name - path - 1);
    if (length == 0) return ftp->cwd(ftp, "/") == 1 ? name : NULL;
    return ftp->cwd(ftp, "%.*s", length, path) == 1 ? name : NULL;
}

/* ---- get --------------------------------------------------------------- */

/* 1 when a name the server listed is one the URL asked for. pattern is the
 * last name of the URL's path, listed in its own directory: "" lists that
 * directory, a name with wildcards is matched by them, and any other name
 * is a file (listed as itself, as the whole path, or by its base name) or a
 * directory (listed as "DIRECTORY/NAME"). */
static int is_requested_name(const char *name, const char *pattern, const char *path) {
    const char *base = base_name(name);
    if (!*base || strcmp(base, ".") == 0 || strcmp(base, "..") == 0) return 0;
    if (*pattern && (strcmp(name, pattern) == 0 || strcmp(name, path) == 0 ||
                     (name[0] == '/' && strcmp(name + 1, path) == 0)))
        return 1;
    const size_t directory = (size_t)(base - name);
    if (!*pattern) return directory == 0;
    if (strpbrk(pattern, "*?[")) return directory == 0 && fnmatch(pattern, name, FNM_PERIOD) == 0;
    return directory == strlen(pattern) + 1 && strncmp(name, pattern, directory - 1) == 0;
}

/* Once a download has all its bytes, the tool waits for the server to
 * confirm it, a wait a signal does not cut short. A stop request then
 * removes the temporary file and ends the tool at once. */
static char abandon_path[4096];
static char abandon_line[512];
static size_t abandon_length;

static void abandon_download(int signal_number) {
    (void)signal_number;
    unlink(abandon_path);
    (void)!write(STDERR_FILENO, abandon_line, abandon_length);
    _exit(KUV_EXIT_FAILURE);
}

static void arm_abandon(const ftp_options *options, const char *name, const char *part_path) {
    snprintf(abandon_path, sizeof abandon_path, "%s", part_path);
    int length = snprintf(abandon_line, sizeof abandon_line,
                          "kuv %s: download of '%s' failed: interrupted\n", options->command, name);
    if (length < 0) length = 0;
    if ((size_t)length >= sizeof abandon_line) {
        /* A cut line still ends as a line. */
        length = (int)sizeof abandon_line - 1;
        abandon_line[length - 1] = '\n';
    }
    abandon_length = (size_t)length;
    cli_on_stop_signals(abandon_download);
}

typedef struct get_totals {
    unsigned files;
    uint64_t bytes;
} get_totals;

/* Downloads one listed name into the output directory. *refused is set
 * when the server would not send it and the session goes on. */
static int fetch_one(kuv_ftp_t *ftp, const ftp_options *options, const char *name, uint8_t *chunk,
                     get_totals *totals, int *refused) {
    /* The server chose the name: what is shown of it carries no control
     * bytes; the files use it as it is. */
    char shown[4096], shown_local[4096], shown_path[4096];
    cli_shown_text(name, shown, sizeof shown);
    const char *local = base_name(name);
    cli_shown_text(local, shown_local, sizeof shown_local);
    if (!*local || strcmp(local, ".") == 0 || strcmp(local, "..") == 0)
        return cli_fail(KUV_EXIT_FAILURE, options->command, "refusing the name '%s'", shown);
    char final_path[4096], part_path[4096];
    if (snprintf(final_path, sizeof final_path, "%s/%s", options->output_dir, local) >=
            (int)sizeof final_path ||
        snprintf(part_path, sizeof part_path, "%s/.%s.kuv-part", options->output_dir, local) >=
            (int)sizeof part_path)
        return cli_fail(KUV_EXIT_FAILURE, options->command, "path too long for '%s'", shown_local);

    uint64_t size = 0;
    if (ftp->size(ftp, &size, "%s", name) != 1) size = 0;
    if (ftp->open_stream(ftp, 0, "RETR %s\r\n", name) != 1) {
        *refused = ftp->control_socket != -1;
        return cli_fail(KUV_EXIT_FAILURE, options->command, "cannot fetch '%s' (%s)", shown,
                        last_reply(ftp));
    }
    /* Whatever holds the temporary name (a stale part, or a link planted to
     * send the bytes elsewhere) is removed, and only a file this call
     * creates itself is written. */
    if (unlink(part_path) != 0 && errno != ENOENT) {
        int saved = errno;
        ftp->close_stream(ftp);
        return cli_fail(KUV_EXIT_FAILURE, options->command, "cannot remove %s: %s",
                        cli_shown_text(part_path, shown_path, sizeof shown_path), strerror(saved));
    }
    int file = open(part_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file < 0) {
        int saved = errno;
        ftp->close_stream(ftp);
        return cli_fail(KUV_EXIT_FAILURE, options->command, "cannot write %s: %s",
                        cli_shown_text(part_path, shown_path, sizeof shown_path), strerror(saved));
    }

    /* From here a stop request ends the loop, which removes the partial
     * file. */
    cli_catch_stop_signals();
    progress display;
    progress_start(&display, stderr, shown_local, size,
                   options->quiet ? PROGRESS_NONE : PROGRESS_AUTO);
    const char *failure = NULL;
    for (;;) {
        if (cli_stop_requested) {
            failure = "interrupted";
            break;
        }
        const int32_t count = ftp->read_stream(ftp, chunk, KUV_FTP_CHUNK);
        if (count < 0) break;
        if (count == 0) {
            /* Nothing yet: the read has already waited a little for data,
             * but not when the rate limit holds receiving back: it answers
             * at once until the next second, and asking again at once
             * would keep a processor busy all that time. */
            if (options->limit) cli_sleep(0.01);
            progress_add(&display, 0);
            continue;
        }
        for (int32_t written = 0; written < count;) {
            ssize_t step = write(file, chunk + written, (size_t)(count - written));
            if (step <= 0) {
                failure = "cannot write the local file";
                break;
            }
            written += (int32_t)step;
        }
        if (failure) break;
        progress_add(&display, (uint64_t)count);
    }
    progress_finish(&display);
    const int closed = close(file) == 0;
    if (!failure && cli_stop_requested) failure = "interrupted";
    /* A download given up here ends at once: a stalled server would answer
     * an orderly close only after the whole control time-out. */
    if (failure)
        abort_transfer(ftp);
    else
        arm_abandon(options, shown, part_path);
    const int complete = failure || ftp->close_stream(ftp) == 1;
    if (!failure && !closed) failure = "cannot write the local file";
    if (!failure && !complete)
        failure = ftp->error_flags & KUV_FTP_CONNECTION_FAILURE ? "the connection was lost"
                                                                : last_reply(ftp);
    if (!failure && size && display.done != size) failure = "the file came short";
    if (!failure && rename(part_path, final_path) != 0) failure = strerror(errno);
    if (failure) unlink(part_path);
    cli_default_stop_signals();
    if (failure) {
        cli_fail(KUV_EXIT_FAILURE, options->command, "download of '%s' failed: %s", shown, failure);
        /* A server that did not confirm the transfer would not answer a
         * goodbye either: the session ends without one. */
        if (!complete) ftp->disconnect(ftp);
        return KUV_EXIT_FAILURE;
    }

    char bytes[32], rate[32], elapsed[32];
    const double seconds = cli_now() - display.started;
    cli_shown_text(final_path, shown_path, sizeof shown_path);
    fprintf(cli_out, "%s: %llu bytes (%s) in %s at %s/s -> %s\n", shown,
            (unsigned long long)display.done, cli_format_bytes((double)display.done, bytes, 32),
            progress_format_time(seconds, elapsed, sizeof elapsed),
            cli_format_bytes(progress_rate(&display), rate, sizeof rate), shown_path);
    fflush(cli_out);
    ++totals->files;
    totals->bytes += display.done;
    return KUV_EXIT_OK;
}

static int get(int argc, char **argv) {
    ftp_options options = {.command = "ftp get"};
    int positional = 0;
    int status = parse_options(argc, argv, &options, kGetUsage, "hoaLqv", &positional);
    if (status != 0) return status < 0 ? KUV_EXIT_OK : status;
    if (positional + 1 != argc)
        return cli_usage_error(options.command,
                               positional == argc ? "missing URL" : "more than one URL");
    struct stat directory;
    if (stat(options.output_dir, &directory) != 0 || !S_ISDIR(directory.st_mode))
        return cli_usage_error(options.command, "'%s' is not a directory", options.output_dir);
    ftp_target target;
    status = open_target(&options, argv[positional], 1, &target);
    if (status != KUV_EXIT_OK) return status;
    uint8_t *chunk = malloc(KUV_FTP_CHUNK);
    if (!chunk || !cli_quiet_library(options.verbose)) {
        const char *failure = chunk ? "cannot set up the output" : "out of memory";
        free(chunk);
        kuv_xapi_close_uri(target.uri);
        return cli_fail(KUV_EXIT_FAILURE, options.command, "%s", failure);
    }
    signal(SIGPIPE, SIG_IGN);

    kuv_ftp_t *ftp = NULL;
    status = open_session(&options, &target, &ftp);
    get_totals totals = {0, 0};
    const double started = cli_now();
    if (status == KUV_EXIT_OK) {
        const char *pattern = enter_directory(ftp, target.path);
        if (!pattern)
            status = cli_fail(KUV_EXIT_FAILURE, options.command, "no directory for '%s' (%s)",
                              target.path, last_reply(ftp));
        else if (ftp->nlist(ftp, "%s", pattern) != 1)
            status = cli_fail(KUV_EXIT_FAILURE, options.command, "cannot list '%s' (%s)",
                              target.path, last_reply(ftp));
        /* The names come first, then the transfers: a listing and a
         * download cannot share the connection. */
        char **names = NULL;
        size_t count = 0;
        for (char *name; status == KUV_EXIT_OK && (name = ftp->get_nlist(ftp)) != NULL;) {
            /* A server may list anything; only what the URL asked for is
             * written. */
            if (!is_requested_name(name, pattern, target.path)) {
                char shown[4096];
                fprintf(stderr, "kuv %s: skipping '%s', which '%s' does not name\n",
                        options.command, cli_shown_text(name, shown, sizeof shown), target.path);
                kuv_xapi_free(name);
                continue;
            }
            char **grown = realloc(names, (count + 1) * sizeof *names);
            char *copy = strdup(name);
            kuv_xapi_free(name);
            if (!grown || !copy) {
                free(copy);
                if (grown) names = grown;
                status = cli_fail(KUV_EXIT_FAILURE, options.command, "out of memory");
                break;
            }
            names = grown;
            names[count++] = copy;
        }
        if (status == KUV_EXIT_OK && count == 0)
            status = cli_fail(KUV_EXIT_FAILURE, options.command, "'%s' names no file", target.path);
        /* A listing may hold names the server does not send (a
         * subdirectory, a file it may not read): the others are fetched
         * all the same, and the command fails at the end. */
        size_t refused = 0;
        for (size_t i = 0; i < count && status == KUV_EXIT_OK; ++i) {
            int was_refused = 0;
            status = fetch_one(ftp, &options, names[i], chunk, &totals, &was_refused);
            if (status != KUV_EXIT_OK && was_refused && count > 1) {
                ++refused;
                status = KUV_EXIT_OK;
            }
        }
        if (status == KUV_EXIT_OK && refused > 0)
            status = cli_fail(KUV_EXIT_FAILURE, options.command, "%zu of %zu names not fetched",
                              refused, count);
        for (size_t i = 0; i < count; ++i)
            free(names[i]);
        free(names);
        close_session(ftp);
    }
    if (status == KUV_EXIT_OK && totals.files > 1) {
        char bytes[32], elapsed[32];
        fprintf(cli_out, "%u files, %s in %s\n", totals.files,
                cli_format_bytes((double)totals.bytes, bytes, sizeof bytes),
                progress_format_time(cli_now() - started, elapsed, sizeof elapsed));
    }
    free(chunk);
    kuv_xapi_close_uri(target.uri);
    return status;
}

/* ---- ls ---------------------------------------------------------------- */

static int ls(int argc, char **argv) {
    ftp_options options = {.command = "ftp ls"};
    int positional = 0;
    int status = parse_options(argc, argv, &options, kLsUsage, "hlav", &positional);
    if (status != 0) return status < 0 ? KUV_EXIT_OK : status;
    if (positional + 1 != argc)
        return cli_usage_error(options.command,
                               positional == argc ? "missing URL" : "more than one URL");
    ftp_target target;
    status = open_target(&options, argv[positional], 0, &target);
    if (status != KUV_EXIT_OK) return status;
    if (!cli_quiet_library(options.verbose)) {
        kuv_xapi_close_uri(target.uri);
        return cli_fail(KUV_EXIT_FAILURE, options.command, "cannot set up the output");
    }
    signal(SIGPIPE, SIG_IGN);
    kuv_ftp_t *ftp = NULL;
    status = open_session(&options, &target, &ftp);
    if (status == KUV_EXIT_OK) {
        /* An empty path lists the directory the server starts in. */
        const char *path = *target.path ? target.path : ".";
        int32_t listed =
            options.long_listing ? ftp->list(ftp, "%s", path) : ftp->nlist(ftp, "%s", path);
        if (listed != 1) {
            status = cli_fail(KUV_EXIT_FAILURE, options.command, "cannot list '%s' (%s)", path,
                              last_reply(ftp));
        } else {
            /* On a terminal, as ls does, control bytes in what the server
             * lists show as '?'; into a pipe or file the lines go as they
             * came. */
            const int terminal = isatty(fileno(cli_out));
            for (char *line; (line = options.long_listing ? ftp->get_list(ftp)
                                                          : ftp->get_nlist(ftp)) != NULL;) {
                if (terminal) cli_show_in_place(line);
                fprintf(cli_out, "%s\n", line);
                kuv_xapi_free(line);
            }
        }
        close_session(ftp);
    }
    fflush(cli_out);
    kuv_xapi_close_uri(target.uri);
    return status;
}

/* ---- put --------------------------------------------------------------- */

/* Sends the open file through the open write stream. Under a rate limit a
 * write takes at most a second's worth of bytes: one write_stream call
 * waits out the limit for all it is given, and a stop request and the
 * progress display are looked at only between calls. */
static const char *upload_stream(kuv_ftp_t *ftp, int file, uint8_t *chunk, uint64_t limit,
                                 progress *display) {
    const size_t size = limit && limit < KUV_FTP_CHUNK ? (size_t)limit : KUV_FTP_CHUNK;
    for (;;) {
        if (cli_stop_requested) return "interrupted";
        ssize_t count = read(file, chunk, size);
        if (count < 0) return "cannot read the local file";
        if (count == 0) return NULL;
        if (ftp->write_stream(ftp, chunk, (uint64_t)count) != (int32_t)count)
            return "the server stopped taking data";
        progress_add(display, (uint64_t)count);
    }
}

static int put(int argc, char **argv) {
    ftp_options options = {.command = "ftp put"};
    int positional = 0;
    int status = parse_options(argc, argv, &options, kPutUsage, "haLqv", &positional);
    if (status != 0) return status < 0 ? KUV_EXIT_OK : status;
    if (positional + 2 != argc) return cli_usage_error(options.command, "needs FILE and URL");
    const char *local_path = argv[positional];
    /* Non-blocking, so that a FIFO without a writer is refused rather than
     * waited for; a regular file reads the same either way. */
    int file = open(local_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat facts;
    if (file < 0 || fstat(file, &facts) != 0 || !S_ISREG(facts.st_mode) ||
        fcntl(file, F_SETFL, fcntl(file, F_GETFL) & ~O_NONBLOCK) != 0) {
        if (file >= 0) close(file);
        return cli_fail(KUV_EXIT_FAILURE, options.command, "cannot read '%s'", local_path);
    }
    ftp_target target;
    status = open_target(&options, argv[positional + 1], 0, &target);
    uint8_t *chunk = status == KUV_EXIT_OK ? malloc(KUV_FTP_CHUNK) : NULL;
    if (status == KUV_EXIT_OK && (!chunk || !cli_quiet_library(options.verbose))) {
        kuv_xapi_close_uri(target.uri);
        status = cli_fail(KUV_EXIT_FAILURE, options.command,
                          chunk ? "cannot set up the output" : "out of memory");
    }
    if (status != KUV_EXIT_OK) {
        free(chunk);
        close(file);
        return status;
    }
    signal(SIGPIPE, SIG_IGN);

    /* A path ending in '/' (or none) is a directory: the file keeps its
     * name there. */
    char remote[4096];
    const size_t path_length = strlen(target.path);
    const int directory = path_length == 0 || target.path[path_length - 1] == '/';
    const int remote_length = snprintf(remote, sizeof remote, "%s%s", target.path,
                                       directory ? base_name(local_path) : "");
    kuv_ftp_t *ftp = NULL;
    /* A cut name would store the file under another name. */
    if (remote_length < 0 || remote_length >= (int)sizeof remote)
        status = cli_fail(KUV_EXIT_FAILURE, options.command, "path too long for '%s'",
                          base_name(local_path));
    else
        status = open_session(&options, &target, &ftp);
    if (status == KUV_EXIT_OK) {
        const char *name = enter_directory(ftp, remote);
        if (!name) {
            status = cli_fail(KUV_EXIT_FAILURE, options.command, "no directory for '%s' (%s)",
                              remote, last_reply(ftp));
        } else if (ftp->open_stream(ftp, 0, "STOR %s\r\n", name) != 1) {
            status = cli_fail(KUV_EXIT_FAILURE, options.command, "cannot store '%s' (%s)", remote,
                              last_reply(ftp));
        } else {
            progress display;
            progress_start(&display, stderr, name, (uint64_t)facts.st_size,
                           options.quiet ? PROGRESS_NONE : PROGRESS_AUTO);
            cli_catch_stop_signals();
            const char *failure = upload_stream(ftp, file, chunk, options.limit, &display);
            /* No bytes end the upload: the server sees the end of the data
             * and confirms the file. An upload that did not get through is
             * reset instead, so that the server does not take what it got
             * for the whole file. */
            if (failure) {
                abort_transfer(ftp);
            } else {
                /* Every byte went: the wait for the server's confirmation,
                 * which a signal does not cut short, leaves a stop request
                 * its usual effect. */
                cli_default_stop_signals();
                ftp->write_stream(ftp, NULL, 0);
            }
            const int complete = failure || ftp->close_stream(ftp) == 1;
            cli_default_stop_signals();
            progress_finish(&display);
            if (!failure && !complete)
                failure = ftp->error_flags & KUV_FTP_CONNECTION_FAILURE ? "the connection was lost"
                                                                        : last_reply(ftp);
            if (failure) {
                status = cli_fail(KUV_EXIT_FAILURE, options.command, "upload of '%s' failed: %s",
                                  local_path, failure);
                /* A server that did not confirm the file would not answer a
                 * goodbye either. */
                if (!complete) ftp->disconnect(ftp);
            } else {
                char bytes[32], rate[32], elapsed[32];
                fprintf(cli_out, "%s: %llu bytes (%s) in %s at %s/s -> %s\n", local_path,
                        (unsigned long long)display.done,
                        cli_format_bytes((double)display.done, bytes, sizeof bytes),
                        progress_format_time(cli_now() - display.started, elapsed, sizeof elapsed),
                        cli_format_bytes(progress_rate(&display), rate, sizeof rate), remote);
            }
        }
        close_session(ftp);
    }
    fflush(cli_out);
    free(chunk);
    close(file);
    kuv_xapi_close_uri(target.uri);
    return status;
}

int kuv_ftp_main(int argc, char **argv) {
    if (argc < 2) return cli_usage_error("ftp", "missing command (get, ls or put)");
    const char *command = argv[1];
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
        fputs(kUsage, cli_out);
        return KUV_EXIT_OK;
    }
    if (strcmp(command, "get") == 0) return get(argc - 1, argv + 1);
    if (strcmp(command, "ls") == 0) return ls(argc - 1, argv + 1);
    if (strcmp(command, "put") == 0) return put(argc - 1, argv + 1);
    return cli_usage_error("ftp", "unknown command '%s'", command);
}
