// Condition variables over a reference lock. Each waiter lives in the frame
// of its waiting thread and polls its own signalled flag.
#include <sched.h>

#include <cstring>

#include "platform/sorvan_vkl.h"
#include "runtime/guards.h"
#include "runtime/lock_internal.h"

namespace {

using kuv::LockGuard;
using kuv::lock::take_until_held;

constexpr uint32_t kListMode = 2;    // waiter list changes: exclusive
constexpr uint32_t kFlagMode = 1;    // a waiter reading its flag: shared
constexpr uint32_t kWakeMode = 3;    // wake-ups: exclusive
constexpr int kYieldsPerPause = 16;  // sixteen yields, then one pause

// False, with nothing changed, when the dead-lock callback ended the wait
// for the condition's lock.
bool append_waiter(kuv_lock_condition_t *condition, kuv_lock_waiter_t *waiter, const char *name,
                   int32_t line) {
    if (kuv_mapi_ref_lock_v0(&condition->lock, kListMode, name, line) != 1) return false;
    waiter->previous = condition->last;
    waiter->next = nullptr;
    if (condition->last)
        condition->last->next = waiter;
    else
        condition->first = waiter;
    condition->last = waiter;
    kuv_mapi_unlock_v0(&condition->lock);
    return true;
}

// Returns whether a wake-up reached the waiter before it left: one may have
// come after its last look at the flag. The waiter lives in the frame that
// is about to end, so it leaves the queue even when a dead-lock callback
// asks to stop waiting for the lock.
bool unlink_waiter(kuv_lock_condition_t *condition, kuv_lock_waiter_t *waiter, const char *name,
                   int32_t line) {
    take_until_held(&condition->lock, kListMode, name, line);
    const bool signalled = waiter->signalled == 1;
    if (waiter->previous)
        waiter->previous->next = waiter->next;
    else
        condition->first = waiter->next;
    if (waiter->next)
        waiter->next->previous = waiter->previous;
    else
        condition->last = waiter->previous;
    kuv_mapi_unlock_v0(&condition->lock);
    return signalled;
}

// One look at the flag; a busy condition lock counts as "not yet".
bool seen_signalled(kuv_lock_condition_t *condition, kuv_lock_waiter_t *waiter, const char *name,
                    int32_t line) {
    if (kuv_mapi_ref_try_lock_v0(&condition->lock, kFlagMode, name, line) != 1) return false;
    bool signalled = waiter->signalled == 1;
    kuv_mapi_unlock_v0(&condition->lock);
    return signalled;
}

// Waits until signalled (1) or, when `timed`, until `timeout_msec` passed
// (0; a negative time-out never passes). 0 at once, the outer lock still
// held, when the wait could not join the queue.
uint32_t wait_on(kuv_lock_condition_t *condition, kuv_lock_t *outer, uint32_t outer_mode,
                 bool timed, int32_t timeout_msec, const char *name, int32_t line) {
    // The pauses are cancellation points, and a thread cancelled in one
    // would leave its waiter, in a frame about to vanish, in the queue.
    const kuv::NoCancellation no_cancellation;
    kuv_lock_waiter_t waiter{};
    if (!append_waiter(condition, &waiter, name, line)) return 0;
    if (outer) kuv_mapi_unlock_v0(outer);

    kuv_timer_t timer{};
    if (timed)
        kuv_xapi_init_timer(&timer, static_cast<uint64_t>(static_cast<int64_t>(timeout_msec)));

    uint32_t result = 0;
    int pass = 1;
    sorvan_load_balance_reset();
    for (;;) {
        if (pass > kYieldsPerPause) {
            sorvan_load_balance();
            pass = 0;
        } else {
            sched_yield();
        }
        ++pass;
        if (seen_signalled(condition, &waiter, name, line)) {
            result = 1;
            break;
        }
        if (timed && kuv_xapi_check_timer(&timer)) break;
    }

    // A waiter that timed out but was signalled before it left counts as
    // woken: wake-ups pass over signalled waiters, so this one was meant
    // for it and would otherwise reach nobody.
    if (unlink_waiter(condition, &waiter, name, line)) result = 1;
    // The caller goes on as the outer lock's holder and will release it.
    if (outer) take_until_held(outer, outer_mode, name, line);
    return result;
}

}  // namespace

extern "C" {

kuv_lock_condition_t *kuv_mapi_init_lock_condition_v0(kuv_lock_condition_t *condition) {
    if (condition) std::memset(static_cast<void *>(condition), 0, sizeof *condition);
    return condition;
}

uint32_t kuv_mapi_lock_condition_wait_v0(kuv_lock_condition_t *condition, kuv_lock_t *outer,
                                         uint32_t outer_mode, const char *name, int32_t line) {
    return wait_on(condition, outer, outer_mode, false, 0, name, line);
}

uint32_t kuv_mapi_lock_condition_time_wait_v0(kuv_lock_condition_t *condition, kuv_lock_t *outer,
                                              uint32_t outer_mode, int32_t timeout_msec,
                                              const char *name, int32_t line) {
    return wait_on(condition, outer, outer_mode, true, timeout_msec, name, line);
}

// Signals the oldest waiter whose flag is still clear. A waiter stays in the
// list until it has seen its flag, so signalling the first waiter again
// would report a wake-up that reaches nobody new.
uint32_t kuv_mapi_lock_condition_wakeup_v0(kuv_lock_condition_t *condition, const char *name,
                                           int32_t line) {
    const LockGuard hold(&condition->lock, kWakeMode, name, line);
    if (!hold.held()) return 0;
    for (kuv_lock_waiter_t *waiter = condition->first; waiter; waiter = waiter->next) {
        if (waiter->signalled == 0) {
            waiter->signalled = 1;
            return 1;
        }
    }
    return 0;
}

uint32_t kuv_mapi_lock_condition_wakeup_broadcast_v0(kuv_lock_condition_t *condition,
                                                     const char *name, int32_t line) {
    const LockGuard hold(&condition->lock, kWakeMode, name, line);
    if (!hold.held()) return 0;
    for (kuv_lock_waiter_t *waiter = condition->first; waiter; waiter = waiter->next)
        waiter->signalled = 1;
    return condition->first ? 1 : 0;
}

uint32_t kuv_mapi_lock_condition_destroy_v0(kuv_lock_condition_t *condition, const char *name,
                                            int32_t line) {
    const LockGuard hold(&condition->lock, kFlagMode, name, line);
    if (!hold.held()) return 0;  // nothing known
    return condition->first == nullptr ? 1 : 0;
}

}  // extern "C"
