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
inline void give_guard(kuv_lock_t *lock) { __atomic_store_n(&lock->guard, 0u, __ATOMIC_RELEASE); }

// The dead-lock report reads owner and count without the guard; those
// fields are therefore written and read as relaxed atomics.
template <typename T>
inline void store_relaxed(T *field, T value) {
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}
template <typename T>
inline T load_relaxed(const T *field) {
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}

// Calls the installed dead-lock callback, or the built-in warning.
int32_t report_wait(kuv_lock_t *lock, const char *name, int32_t line, int32_t attempt);

// The banner line around every lock warning.
extern const char kWarningBanner[];

}  // namespace kuv::lock

#endif  // KUV_RUNTIME_LOCK_INTERNAL_H
