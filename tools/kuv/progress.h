/*
 * kuv: the progress display of transfers. On a terminal a bar redrawn in
 * place (bytes, percent of the known size, rate, time left); elsewhere one
 * plain line per period, so that logs stay readable. Written to standard
 * error, which leaves standard output to the command's results.
 */
#ifndef KUV_TOOL_PROGRESS_H
#define KUV_TOOL_PROGRESS_H

#include <stdint.h>
#include <stdio.h>

/* What to show: the kind that fits the stream, or nothing. */
typedef enum progress_mode { PROGRESS_AUTO, PROGRESS_NONE } progress_mode;

typedef struct progress {
    FILE *to;
    int enabled;
    int is_terminal;
    const char *label;   /* the file's name */
    uint64_t total;      /* expected bytes; 0 when unknown */
    uint64_t done;       /* bytes moved so far */
    double started;      /* cli_now() at the start */
    double last_shown;   /* when the display was last drawn */
    double period;       /* seconds between plain lines */
    int shown;           /* something has been drawn */
    uint64_t shown_done; /* done when the display was last drawn */
} progress;

/* Starts a display of label; total 0 when the size is not known. A bar
 * when to is a terminal, plain lines otherwise. */
void progress_start(progress *display, FILE *to, const char *label, uint64_t total,
                    progress_mode mode);
/* Counts bytes moved and redraws when it is time to. */
void progress_add(progress *display, uint64_t bytes);
/* Draws the final state and ends the bar's line. */
void progress_finish(progress *display);
/* Bytes per second since the start. */
double progress_rate(const progress *display);
/* "1:02:03" or "02:03" for a number of seconds. */
const char *progress_format_time(double seconds, char *text, size_t size);

#endif /* KUV_TOOL_PROGRESS_H */
