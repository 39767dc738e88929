// Sleeps, pauses and the scheduler.
#include <sched.h>

#include "davro_kuv/runtime.h"
#include "platform/sorvan_vkl.h"

namespace {

// The shortest pause of kuv_xapi_load_balance_ex, in microseconds.
int32_t g_minimum_pause_usec = 10000;

}  // namespace

extern "C" {

void kuv_xapi_sleep_wait(uint32_t seconds, uint32_t microseconds) {
    sorvan_sleep_wait(seconds, microseconds);
}

int32_t kuv_xapi_set_load_balance_time_usec(int32_t microseconds) {
    int32_t previous = __atomic_load_n(&g_minimum_pause_usec, __ATOMIC_RELAXED);
    if (microseconds >= 1) __atomic_store_n(&g_minimum_pause_usec, microseconds, __ATOMIC_RELAXED);
    return previous;
}

void kuv_xapi_load_balance_ex(int32_t microseconds) {
    int32_t minimum = __atomic_load_n(&g_minimum_pause_usec, __ATOMIC_RELAXED);
    sorvan_sleep_wait(0, static_cast<uint32_t>(microseconds > minimum ? microseconds : minimum));
}

void kuv_xapi_load_balance(void) {
    sorvan_load_balance();
}

void kuv_xapi_load_balance_short(void) {
    sorvan_load_balance_short();
}

int32_t kuv_xapi_sched_yield(void) {
    return sched_yield();
}

uint64_t kuv_xapi_uptime(void) {
    return sorvan_uptime();
}

}  // extern "C"
