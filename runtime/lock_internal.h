// Internal pieces shared by the lock, condition and dead-lock files.
#ifndef KUV_RUNTIME_LOCK_INTERNAL_H
#define KUV_RUNTIME_LOCK_INTERNAL_H

#include <cstdint>

#include "davro_kuv/runtime.h"

namespace kuv::lock {

// The guard word is only ever changed through an exchange (taking it) and a
// release store of 0 (giving it back), so the fields it protects are
// published to the next thread that takes it.
inline bool take_guard(kuv_lock_t *lock) {
    return __atomic_exchange_n(&lock->guard, 1u, __ATOMIC_ACQUIRE) == 0;
}
inline void give_guard(kuv_lock_t *lock) {
    __atomic_store_n(&lock->guard, 0u, __ATOMIC_RELEASE);
}

// The dead-lock report and the heap record's copy read owner, exclusive
// flag and count without the guard; those fields are therefore written as
// relaxed atomics (and read so outside the guard).
template <typename T>
inline void store_relaxed(T *field, T value) {
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}
template <typename T>
inline T load_relaxed(const T *field) {
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}

// A blocking take that does not give up: for the steps that must happen
// whatever the dead-lock callback answers (a callback that ends the wait
// only ends this attempt).
inline void take_until_held(kuv_lock_t *lock, uint32_t mode, const char *name, int32_t line) {
    while (kuv_mapi_ref_lock_v0(lock, mode, name, line) != 1) {
    }
}

// Runs `update` while holding `lock` exclusively (mode 3). When the lock is
// free, the whole holding happens inside one guarded step: taking, updating
// and releasing cost one atomic exchange instead of two, and no other thread
// can tell the difference, since every field of the lock is only read or
// changed under the guard. `update` must be a few instructions long: other
// threads spin on the guard meanwhile. Used for the heap counters.
template <typename Update>
inline void run_exclusive(kuv_lock_t *lock, const char *name, int32_t line, Update &&update) {
    if (take_guard(lock)) {
        if (lock->count == 0 && lock->exclusive != 1) {
            store_relaxed(&lock->owner_name, name);
            store_relaxed(&lock->owner_line, line);
            update();
            give_guard(lock);
            return;
        }
        give_guard(lock);
    }
    // The update cannot be dropped, and made beside another thread's update
    // under the lock it could be lost.
    take_until_held(lock, KUV_LOCK_MODE_EXCLUSIVE, name, line);
    update();
    kuv_mapi_unlock_v0(lock);
}

// The shared counterpart of run_exclusive (mode 1) for short reads.
template <typename Read>
inline auto run_shared(kuv_lock_t *lock, const char *name, int32_t line, Read &&read) {
    if (take_guard(lock)) {
        if (lock->exclusive != 1 && lock->count != UINT32_MAX) {
            if (lock->count == 0) {
                store_relaxed(&lock->owner_name, name);
                store_relaxed(&lock->owner_line, line);
            }
            auto value = read();
            give_guard(lock);
            return value;
        }
        give_guard(lock);
    }
    bool held = kuv_mapi_ref_lock_v0(lock, KUV_LOCK_MODE_SHARED, name, line) == 1;
    auto value = read();
    if (held) kuv_mapi_unlock_v0(lock);
    return value;
}

// Calls the installed dead-lock callback, or the built-in warning.
int32_t report_wait(kuv_lock_t *lock, const char *name, int32_t line, int32_t attempt);

// The banner line around every lock warning.
extern const char kWarningBanner[];

}  // namespace kuv::lock

#endif  // KUV_RUNTIME_LOCK_INTERNAL_H
