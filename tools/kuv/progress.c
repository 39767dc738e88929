/*
 * kuv: the progress display of transfers (see progress.h).
 */
#include "progress.h"

#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "cli.h"

/* Redraws of the bar per second at most: enough to look alive, few enough
 * not to cost the transfer anything. */
#define KUV_PROGRESS_BAR_PERIOD 0.1
#define KUV_PROGRESS_LINE_PERIOD 1.0
#define KUV_PROGRESS_DEFAULT_COLUMNS 80

/* Labels longer than this are cut even on a wide terminal. */
#define KUV_PROGRESS_LABEL_MAX 31
/* The label keeps this much before the rate and time left give way. */
#define KUV_PROGRESS_LABEL_MIN 8

static int terminal_columns(FILE *to) {
    struct winsize size;
    if (ioctl(fileno(to), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return KUV_PROGRESS_DEFAULT_COLUMNS;
}

const char *progress_format_time(double seconds, char *text, size_t size) {
    if (seconds < 0 || seconds > 359999) {
        snprintf(text, size, "--:--");
        return text;
    }
    unsigned long whole = (unsigned long)(seconds + 0.5);
    if (whole >= 3600)
        snprintf(text, size, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
    else
        snprintf(text, size, "%02lu:%02lu", whole / 60, whole % 60);
    return text;
}

double progress_rate(const progress *display) {
    double elapsed = cli_now() - display->started;
    return elapsed > 0 ? (double)display->done / elapsed : 0.0;
}

/* The bytes alone, for a narrow terminal: "12.3 MiB / 27.0 MiB". */
static void format_bytes_only(const progress *display, char *text, size_t size) {
    char done[32], total[32];
    cli_format_bytes((double)display->done, done, sizeof done);
    if (display->total)
        snprintf(text, size, "%s / %s", done,
                 cli_format_bytes((double)display->total, total, sizeof total));
    else
        snprintf(text, size, "%s", done);
}

/* The numbers after the bar: "12.3 MiB / 27.0 MiB  4.1 MiB/s  ETA 00:04". */
static void format_numbers(const progress *display, char *text, size_t size) {
    char done[32], total[32], rate[32], left[32];
    const double per_second = progress_rate(display);
    cli_format_bytes((double)display->done, done, sizeof done);
    cli_format_bytes(per_second, rate, sizeof rate);
    if (display->total) {
        cli_format_bytes((double)display->total, total, sizeof total);
        double remaining =
            display->done < display->total ? (double)(display->total - display->done) : 0.0;
        progress_format_time(per_second > 0 ? remaining / per_second : -1, left, sizeof left);
        snprintf(text, size, "%s / %s  %s/s  ETA %s", done, total, rate, left);
    } else {
        snprintf(text, size, "%s  %s/s", done, rate);
    }
}

static int percent_of(const progress *display) {
    if (!display->total) return -1;
    if (display->done >= display->total) return 100;
    return (int)((double)display->done * 100.0 / (double)display->total);
}

static void draw_bar(progress *display) {
    /* The line stays within columns - 1, so that it never wraps: the label
     * is cut first, then the rate and time left give way, and what still
     * does not fit is cut at the end. */
    const int room = terminal_columns(display->to) - 1;
    char numbers[160];
    format_numbers(display, numbers, sizeof numbers);
    int label_length = (int)strlen(display->label);
    if (label_length > KUV_PROGRESS_LABEL_MAX) label_length = KUV_PROGRESS_LABEL_MAX;
    /* label, space, percent (5), numbers */
    const int shortest =
        label_length < KUV_PROGRESS_LABEL_MIN ? label_length : KUV_PROGRESS_LABEL_MIN;
    if (shortest + 6 + (int)strlen(numbers) > room)
        format_bytes_only(display, numbers, sizeof numbers);
    const int numbers_length = (int)strlen(numbers);
    if (label_length > room - 6 - numbers_length) label_length = room - 6 - numbers_length;
    if (label_length < 0) label_length = 0;
    /* The bar takes what is left, between brackets and a space. */
    int bar_width = room - label_length - 6 - 3 - numbers_length;
    if (bar_width > 50) bar_width = 50;

    char line[512];
    int at = snprintf(line, sizeof line, "%.*s ", label_length, display->label);
    const int percent = percent_of(display);
    if (percent >= 0)
        at += snprintf(line + at, sizeof line - (size_t)at, "%3d%% ", percent);
    else
        at += snprintf(line + at, sizeof line - (size_t)at, "     ");
    if (bar_width >= 10) {
        line[at++] = '[';
        if (percent >= 0) {
            int filled = bar_width * percent / 100;
            for (int i = 0; i < bar_width; ++i)
                line[at++] = i < filled ? '=' : (i == filled ? '>' : ' ');
        } else {
            /* Size unknown: a marker that moves back and forth. */
            int span = bar_width - 3;
            int step = (int)((cli_now() - display->started) * 10.0) % (2 * span);
            int marker = step < span ? step : 2 * span - step;
            for (int i = 0; i < bar_width; ++i)
                line[at++] = i >= marker && i < marker + 3 ? '=' : ' ';
        }
        line[at++] = ']';
        line[at++] = ' ';
    }
    snprintf(line + at, sizeof line - (size_t)at, "%s", numbers);
    if (room >= 0 && (int)strlen(line) > room) line[room] = '\0';
    /* Erase what a longer earlier drawing left on the line. */
    fprintf(display->to, "\r%s\033[K", line);
    fflush(display->to);
}

static void draw_line(progress *display) {
    display->shown_done = display->done;
    char numbers[160];
    format_numbers(display, numbers, sizeof numbers);
    const int percent = percent_of(display);
    if (percent >= 0)
        fprintf(display->to, "%s: %3d%%  %s\n", display->label, percent, numbers);
    else
        fprintf(display->to, "%s: %s\n", display->label, numbers);
    fflush(display->to);
}

void progress_start(progress *display, FILE *to, const char *label, uint64_t total,
                    progress_mode mode) {
    memset(display, 0, sizeof *display);
    display->to = to;
    display->label = label;
    display->total = total;
    display->started = cli_now();
    display->last_shown = display->started;
    display->enabled = mode != PROGRESS_NONE;
    display->is_terminal = isatty(fileno(to));
    display->period = display->is_terminal ? KUV_PROGRESS_BAR_PERIOD : KUV_PROGRESS_LINE_PERIOD;
    if (display->enabled && display->is_terminal) {
        draw_bar(display);
        display->shown = 1;
    }
}

void progress_add(progress *display, uint64_t bytes) {
    display->done += bytes;
    if (!display->enabled) return;
    const double now = cli_now();
    if (now - display->last_shown < display->period) return;
    display->last_shown = now;
    display->shown = 1;
    if (display->is_terminal)
        draw_bar(display);
    else
        draw_line(display);
}

void progress_finish(progress *display) {
    if (!display->enabled) return;
    if (display->is_terminal) {
        draw_bar(display);
        fputc('\n', display->to);
        fflush(display->to);
    } else if (display->shown && display->shown_done != display->done) {
        /* Plain lines end with the final state, when any line was shown
         * and the last one did not show it already. */
        draw_line(display);
    }
}
