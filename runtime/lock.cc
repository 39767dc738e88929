// Reference locks: a guard word over owner, exclusive flag and holder count.
#include <climits>
#include <cstdio>
#include <cstring>

#include <sched.h>

#include "platform/sorvan_vkl.h"
#include "runtime/heap_internal.h"
#include "runtime/heap_lease.h"
#include "runtime/lock_internal.h"

namespace kuv::lock {
namespace {

constexpr uint32_t kMaxHolders = UINT32_MAX;

kuv_lock_t g_global_lock;

// One attempt to take the lock; never waits, not even for the guard.
inline bool try_take(kuv_lock_t *lock, uint32_t mode, const char *name, int32_t line) {
    if (!take_guard(lock)) return false;
    const uint32_t holders = lock->count;
    bool taken;
    if (mode & KUV_LOCK_MODE_EXCLUSIVE_BIT) {
        // Exclusive holding needs a lock with no holder; a free lock is
        // never marked exclusive.
        taken = holders == 0 && lock->exclusive != 1;
        if (taken) store_relaxed(&lock->exclusive, 1u);
    } else {
        taken = lock->exclusive != 1 && holders != kMaxHolders;
    }
    if (taken) {
        if (holders == 0) {
            store_relaxed(&lock->owner_name, name);
            store_relaxed(&lock->owner_line, line);
        }
        store_relaxed(&lock->count, holders + 1);
    }
    give_guard(lock);
    return taken;
}

// The heap lock guards counters that the holder of the heap lease changes
// without it; any other thread ends the lease before it takes that lock.
inline void before_taking(const kuv_lock_t *lock) {
    if (__builtin_expect(lock == &kuv::heap::g_info.lock, 0)) kuv::heap::lease::claim();
}

int32_t next_attempt(int32_t attempt) {
    return attempt == INT32_MAX ? attempt : attempt + 1;
}

// The waiting part of a take, after the first try failed: one yield, then
// a try, a pause and a report per attempt, until the lock is taken (1), the
// application's callback ends the wait or the deadline, when there is one,
// has passed (0; the lock is then not held). Kept out of line so that
// taking a free lock stays a short leaf path.
[[gnu::noinline]] uint32_t wait_for_lock(kuv_lock_t *lock, uint32_t mode, const char *name,
                                         int32_t line, kuv_timer_t *deadline) {
    sched_yield();
    sorvan_load_balance_reset();
    int32_t attempt = 0;
    for (;;) {
        if (try_take(lock, mode, name, line)) return 1;
        sorvan_load_balance();
        attempt = next_attempt(attempt);
        if (report_wait(lock, name, line, attempt) == 1) return 0;
        if (deadline && kuv_xapi_check_timer(deadline)) return 0;
    }
}

// Prints the warning about unlocking a free lock; returns the holders
// left, 0. Kept out of line, as a tail call, so the unlock of a held lock
// needs no stack frame.
[[gnu::noinline, gnu::cold]] uint32_t warn_unlock_of_free_lock() {
    char message[256];
    std::snprintf(
        message, sizeof message,
        "\n%s\nkuv: [WARNING] unlock - invalid reference count (already unlocked ?)\n%s\n",
        kWarningBanner, kWarningBanner);
    std::fputs(message, stderr);
    return 0;
}

// Releases one holding; the caller holds the guard.
inline uint32_t release_holding(kuv_lock_t *lock) {
    uint32_t holders = lock->count;
    store_relaxed(&lock->exclusive, 0u);
    if (__builtin_expect(holders == 0, 0)) {
        give_guard(lock);
        return warn_unlock_of_free_lock();
    }
    store_relaxed(&lock->count, --holders);
    give_guard(lock);
    return holders;
}

// The unlock of a lock whose guard another thread holds for a moment.
[[gnu::noinline]] uint32_t unlock_after_guard_wait(kuv_lock_t *lock) {
    sched_yield();
    while (!take_guard(lock))
        sorvan_load_balance();
    return release_holding(lock);
}

}  // namespace
}  // namespace kuv::lock

using namespace kuv::lock;

extern "C" {

kuv_lock_t *kuv_mapi_init_lock_v0(kuv_lock_t *lock) {
    if (lock) std::memset(static_cast<void *>(lock), 0, sizeof *lock);
    return lock;
}

uint32_t kuv_mapi_ref_try_lock_v0(kuv_lock_t *lock, uint32_t mode, const char *name, int32_t line) {
    before_taking(lock);
    return try_take(lock, mode, name, line) ? 1 : 0;
}

uint32_t kuv_mapi_ref_lock_v0(kuv_lock_t *lock, uint32_t mode, const char *name, int32_t line) {
    before_taking(lock);
    if (__builtin_expect(try_take(lock, mode, name, line), 1)) return 1;
    return wait_for_lock(lock, mode, name, line, nullptr);
}

uint32_t kuv_mapi_ref_lock_timeout_v0(kuv_lock_t *lock, uint32_t mode, const char *name,
                                      int32_t line, int32_t timeout_msec) {
    before_taking(lock);
    kuv_timer_t deadline;
    // A negative time-out becomes a duration no clock reaches.
    kuv_xapi_init_timer(&deadline, static_cast<uint64_t>(static_cast<int64_t>(timeout_msec)));
    if (try_take(lock, mode, name, line)) return 1;
    return wait_for_lock(lock, mode, name, line, &deadline);
}

uint32_t kuv_mapi_unlock_v0(kuv_lock_t *lock) {
    if (__builtin_expect(!take_guard(lock), 0)) return unlock_after_guard_wait(lock);
    return release_holding(lock);
}

uint32_t kuv_mapi_try_lock_v0(kuv_lock_t *lock, const char *name, int32_t line) {
    return kuv_mapi_ref_try_lock_v0(lock, KUV_LOCK_MODE_EXCLUSIVE, name, line);
}

uint32_t kuv_mapi_lock_v0(kuv_lock_t *lock, const char *name, int32_t line) {
    return kuv_mapi_ref_lock_v0(lock, KUV_LOCK_MODE_EXCLUSIVE, name, line);
}

uint32_t kuv_mapi_lock_timeout_v0(kuv_lock_t *lock, const char *name, int32_t line,
                                  int32_t timeout_msec) {
    return kuv_mapi_ref_lock_timeout_v0(lock, KUV_LOCK_MODE_EXCLUSIVE, name, line, timeout_msec);
}

uint32_t kuv_xapi_atomic_exchange(volatile uint32_t *word, uint32_t value) {
    return sorvan_atomic_exchange(word, value);
}

uint32_t kuv_xapi_glock(void) {
    return kuv_mapi_ref_lock_v0(&g_global_lock, KUV_LOCK_MODE_EXCLUSIVE, "kuv_xapi_glock",
                                __LINE__);
}

uint32_t kuv_xapi_gunlock(void) {
    return kuv_mapi_unlock_v0(&g_global_lock);
}

}  // extern "C"
