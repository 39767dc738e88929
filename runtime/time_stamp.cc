// Wall-clock time and millisecond time stamps.
#include <cstring>

#include "davro_kuv/runtime.h"
#include "platform/sorvan_vkl.h"
#include "runtime/fork_child.h"
#include "runtime/guards.h"

namespace {

// The shared reading of kuv_xapi_time_stamp, under its own lock.
kuv_lock_t g_shared_stamp_lock;
kuv_time_stamp_info_t g_shared_stamp;

// A child forked while another thread reads the clock would find the lock
// held for good. The record keeps nothing but the last reading, which the
// next reading replaces, so the child clears the lock whatever its state.
const kuv::InForkedChild g_clear_in_child([] { kuv_mapi_init_lock_v0(&g_shared_stamp_lock); });

}  // namespace

extern "C" {

uint64_t kuv_xapi_time_ex(uint64_t *seconds, uint32_t *fraction, uint64_t *extra) {
    uint64_t now_seconds = 0;
    uint32_t now_fraction = 0;
    uint64_t now_msec = sorvan_time_ex(&now_seconds, &now_fraction);
    if (seconds) *seconds = now_seconds;
    if (fraction) *fraction = now_fraction;
    if (extra) *extra = now_msec;
    return now_seconds;
}

uint64_t kuv_xapi_time(uint64_t *seconds) {
    return kuv_xapi_time_ex(seconds, nullptr, nullptr);
}

kuv_time_stamp_info_t *kuv_xapi_init_time_stamp_info(kuv_time_stamp_info_t *info) {
    if (info) std::memset(info, 0, sizeof *info);
    return info;
}

uint64_t kuv_xapi_get_time_stamp_info(kuv_time_stamp_info_t *info) {
    uint64_t now = sorvan_time_stamp_msec(0);
    if (info) info->last_msec = now;
    return now;
}

uint64_t kuv_xapi_time_stamp(void) {
    // A dead-lock callback may end the wait without the lock: the reading
    // then bypasses the shared record, and no holding is released, since
    // it would be another thread's.
    const kuv::LockGuard hold(&g_shared_stamp_lock, KUV_LOCK_MODE_EXCLUSIVE, "kuv_xapi_time_stamp",
                              __LINE__);
    return kuv_xapi_get_time_stamp_info(hold.held() ? &g_shared_stamp : nullptr);
}

}  // extern "C"
