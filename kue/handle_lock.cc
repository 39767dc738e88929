// The event service's side of the handle's lock; see handle_lock.h.
#include "kue/handle_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace kuv::kue {

namespace {

// Attempts, each followed by a yield, before a waiter sleeps: about as long
// as a short poll holds the lock while the holder runs on the other core.
constexpr int kSpinningAttempts = 100;
// Sleeps of at most a millisecond, for this long on the clock, before the
// waiting take of the lock. Counted in sleeps instead, a signal that cuts
// each one short would bring the dead-lock report in early.
constexpr uint64_t kSleepingMsec = 1000;
constexpr long kSleepNsec = 1000000;
// Yields of the service thread to waiting callers before it takes the lock
// all the same.
constexpr int kServiceYields = 200;

bool try_take(HandleState *state, const char *name, int32_t line) {
    return kuv_mapi_ref_try_lock_v0(&state->handle.lock, kLockMode, name, line) == 1;
}

void sleep_unless_released(uint32_t *word, uint32_t seen) {
    const timespec limit{0, kSleepNsec};
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, seen, &limit, nullptr, 0);
}

void wake_sleepers(uint32_t *word) {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Takes the lock: spinning, then sleeping, then the lock's waiting take.
bool take(HandleState *state, const char *name, int32_t line) {
    for (int attempt = 0; attempt < kSpinningAttempts; ++attempt) {
        if (try_take(state, name, line)) return true;
        kuv_xapi_sched_yield();
    }
    __atomic_add_fetch(&state->lock_sleepers, 1u, __ATOMIC_SEQ_CST);
    bool taken = false;
    const uint64_t sleeping_start = monotonic_msec();
    while (!taken && monotonic_msec() - sleeping_start < kSleepingMsec) {
        // Read before the attempt: a release after a failed attempt changes
        // the word, and the sleep then ends at once.
        const uint32_t seen = __atomic_load_n(&state->lock_releases, __ATOMIC_SEQ_CST);
        taken = try_take(state, name, line);
        if (!taken) sleep_unless_released(&state->lock_releases, seen);
    }
    __atomic_sub_fetch(&state->lock_sleepers, 1u, __ATOMIC_SEQ_CST);
    return taken || kuv_mapi_ref_lock_v0(&state->handle.lock, kLockMode, name, line) == 1;
}

}  // namespace

HandleLock::HandleLock(::kue *handle, Taker taker, const char *name, int32_t line)
    : state_(state_of(handle)) {
    const bool caller = taker == Taker::kApplication;
    if (caller) __atomic_add_fetch(&state_->waiting_callers, 1u, __ATOMIC_SEQ_CST);
    held_ = take(state_, name, line);
    if (caller) __atomic_sub_fetch(&state_->waiting_callers, 1u, __ATOMIC_SEQ_CST);
}

void HandleLock::release() {
    kuv_mapi_unlock_v0(&state_->handle.lock);
    if (__atomic_load_n(&state_->lock_sleepers, __ATOMIC_SEQ_CST) == 0) return;
    __atomic_add_fetch(&state_->lock_releases, 1u, __ATOMIC_SEQ_CST);
    wake_sleepers(&state_->lock_releases);
}

void let_callers_go_first(HandleState *state) {
    for (int yields = 0;
         yields < kServiceYields && __atomic_load_n(&state->waiting_callers, __ATOMIC_SEQ_CST) > 0;
         ++yields)
        kuv_xapi_sched_yield();
}

}  // namespace kuv::kue
