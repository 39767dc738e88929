// The application's side of the handle's lock; see handle_lock.h.
#include "kue/handle_lock.h"

namespace kuv::kue {

namespace {

// Attempts (each followed by a yield) before a caller falls back to the
// lock's waiting take: a few hundred microseconds while the other thread
// runs, about as long as one poll of a busy handle holds the lock.
constexpr int kSpinningAttempts = 200;
// Yields of the service thread to waiting callers before it takes the lock
// all the same (a caller may be asleep in the waiting take).
constexpr int kServiceYields = 200;

}  // namespace

HandleLock::HandleLock(::kue *handle, const char *name, int32_t line) : lock_(&handle->lock) {
    HandleState *state = state_of(handle);
    __atomic_add_fetch(&state->waiting_callers, 1u, __ATOMIC_SEQ_CST);
    held_ = false;
    for (int attempt = 0; attempt < kSpinningAttempts && !held_; ++attempt) {
        held_ = kuv_mapi_ref_try_lock_v0(lock_, kLockMode, name, line) == 1;
        if (!held_) kuv_xapi_sched_yield();
    }
    if (!held_) held_ = kuv_mapi_ref_lock_v0(lock_, kLockMode, name, line) == 1;
    __atomic_sub_fetch(&state->waiting_callers, 1u, __ATOMIC_SEQ_CST);
}

void let_callers_go_first(HandleState *state) {
    for (int yields = 0;
         yields < kServiceYields && __atomic_load_n(&state->waiting_callers, __ATOMIC_SEQ_CST) > 0;
         ++yields)
        kuv_xapi_sched_yield();
}

}  // namespace kuv::kue
