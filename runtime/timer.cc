// One-shot millisecond timers for every time-out not handed to a system call.
#include <cstring>

#include "davro_kuv/runtime.h"

extern "C" {

int32_t kuv_xapi_init_timer(kuv_timer_t *timer, uint64_t duration_msec) {
    std::memset(timer, 0, sizeof *timer);
    kuv_xapi_set_timer(timer, duration_msec);
    return 0;
}

uint64_t kuv_xapi_set_timer(kuv_timer_t *timer, uint64_t duration_msec) {
    uint64_t now = kuv_xapi_get_time_stamp_info(&timer->info);
    timer->start = now;
    timer->duration = duration_msec;
    timer->elapsed = 0;
    return now;
}

uint64_t kuv_xapi_update_timer(kuv_timer_t *timer, uint64_t extra_msec) {
    // A sum past 64 bits would wrap to a short duration and expire a timer
    // that was meant to run (for ever, with (uint64_t)-1): stop at the top.
    if (__builtin_add_overflow(timer->duration, extra_msec, &timer->duration))
        timer->duration = UINT64_MAX;
    return timer->duration;
}

int32_t kuv_xapi_check_timer(kuv_timer_t *timer) {
    uint64_t now = kuv_xapi_get_time_stamp_info(&timer->info);
    timer->elapsed = now - timer->start;
    return timer->elapsed >= timer->duration ? 1 : 0;
}

}  // extern "C"
