#include <errno.h>
#include <time.h>

#include "sorvan_vkl.h"

void sorvan_sleep_wait(uint32_t seconds, uint32_t microseconds) {
    struct timespec rest;
    rest.tv_sec = (time_t)seconds + (time_t)(microseconds / 1000000u);
    rest.tv_nsec = (long)(microseconds % 1000000u) * 1000L;
    /* nanosleep reports the remaining time when a signal cuts it short;
     * keep sleeping so the caller always gets the whole pause. */
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

uint64_t sorvan_uptime(void) {
    struct timespec now;
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) return 0;
    return (uint64_t)now.tv_sec;
}

uint64_t sorvan_time_ex(uint64_t *seconds, uint32_t *fraction) {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        now.tv_sec = 0;
        now.tv_nsec = 0;
    }
    if (seconds) *seconds = (uint64_t)now.tv_sec;
    if (fraction) *fraction = (uint32_t)(now.tv_nsec / 1000);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)(now.tv_nsec / 1000000);
}

uint64_t sorvan_time_stamp_msec(uint32_t flags) {
    (void)flags;
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)(now.tv_nsec / 1000000);
}
