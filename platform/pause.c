/*
 * The pauses of spinning waits.
 *
 * A waiter that sleeps too long adds its sleep to every hand-over; one that
 * sleeps too little keeps a core busy for as long as it waits. The pause
 * therefore grows with the wait: the first pauses of a streak are short, so
 * a lock held for a few microseconds changes hands within about 50 us, and
 * after that the pause doubles up to 10 ms, so a waiter that has been
 * waiting for seconds wakes about a hundred times a second and costs
 * nothing worth measuring. With these figures a waiter makes roughly one
 * hundred attempts per second of a long wait, which is the rate the lock's
 * dead-lock report assumes when it turns attempts into seconds.
 */
#include <errno.h>
#include <time.h>

#include "sorvan_vkl.h"

enum { kShortPausesPerStreak = 100 };
/* A pause that starts more than this long after the previous one ended
 * belongs to a new wait. */
static const uint64_t kStreakGapNsec = 1000000u;

static uint32_t g_shortest_usec = 50;
static uint32_t g_longest_usec = 10000;

static __thread uint32_t t_streak;
static __thread uint64_t t_last_end_nsec;

static uint64_t monotonic_nsec(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

static void pause_usec(uint64_t usec) {
    struct timespec span;
    span.tv_sec = (time_t)(usec / 1000000u);
    span.tv_nsec = (long)(usec % 1000000u) * 1000L;
    /* A pause that a signal cuts short is slept to its end: a waiter whose
     * pauses a steady signal keeps cutting would try again many times as
     * often, busy and, counted in attempts, reporting a dead lock long
     * before the waiting it stands for. */
    while (nanosleep(&span, &span) != 0 && errno == EINTR) {
    }
}

void sorvan_load_balance(void) {
    uint64_t start = monotonic_nsec();
    if (t_last_end_nsec == 0 || start - t_last_end_nsec > kStreakGapNsec) t_streak = 0;

    uint64_t shortest = __atomic_load_n(&g_shortest_usec, __ATOMIC_RELAXED);
    uint64_t longest = __atomic_load_n(&g_longest_usec, __ATOMIC_RELAXED);
    uint64_t pause = shortest;
    if (t_streak >= kShortPausesPerStreak) {
        uint32_t doublings = t_streak - kShortPausesPerStreak + 1;
        pause = doublings >= 24 ? longest : shortest << doublings;
        if (pause > longest) pause = longest;
    }
    if (t_streak != UINT32_MAX) t_streak++;

    pause_usec(pause);
    t_last_end_nsec = monotonic_nsec();
}

void sorvan_load_balance_short(void) {
    pause_usec(__atomic_load_n(&g_shortest_usec, __ATOMIC_RELAXED));
}

void sorvan_load_balance_reset(void) {
    t_streak = 0;
    t_last_end_nsec = 0;
}

void sorvan_set_load_balance_range(uint32_t shortest_usec, uint32_t longest_usec) {
    uint32_t shortest =
        shortest_usec ? shortest_usec : __atomic_load_n(&g_shortest_usec, __ATOMIC_RELAXED);
    uint32_t longest =
        longest_usec ? longest_usec : __atomic_load_n(&g_longest_usec, __ATOMIC_RELAXED);
    if (longest < shortest) longest = shortest;
    __atomic_store_n(&g_shortest_usec, shortest, __ATOMIC_RELAXED);
    __atomic_store_n(&g_longest_usec, longest, __ATOMIC_RELAXED);
}
