// The dead-lock report of waiting takes: the application's callback, or the
// built-in warning on standard error.
#include <cstdio>

#include "runtime/lock_internal.h"

namespace kuv::lock {

const char kWarningBanner[] =
    "-=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=-";

namespace {

// The first warning comes after 12000 attempts and then every 100; a waiter
// pauses about a hundred times a second in a long wait, so attempts / 100
// reads as seconds.
constexpr int32_t kQuietAttempts = 12000;
constexpr int32_t kAttemptsPerWarning = 100;

kuv_dead_lock_callback_t g_callback;

int32_t builtin_warning(kuv_lock_t *lock, const char *name, int32_t line, int32_t attempt) {
    if (attempt <= kQuietAttempts || attempt % kAttemptsPerWarning != 0) return 0;
    const char *owner_name = load_relaxed(&lock->owner_name);
    int32_t owner_line = load_relaxed(&lock->owner_line);
    unsigned long holders = load_relaxed(&lock->count);
    // One write, so that warnings of several waiters do not interleave.
    char message[1024];
    std::snprintf(message, sizeof message,
                  "\n%s\nkuv: [WARNING] dead lock \"%s:%d\" LOCKED(%s:%d), ref=%lu, %d+ sec\n%s\n",
                  kWarningBanner, name ? name : "NULL", line, owner_name ? owner_name : "NULL",
                  owner_line, holders, attempt / kAttemptsPerWarning, kWarningBanner);
    std::fputs(message, stderr);
    return 0;
}

}  // namespace

int32_t report_wait(kuv_lock_t *lock, const char *name, int32_t line, int32_t attempt) {
    kuv_dead_lock_callback_t callback = __atomic_load_n(&g_callback, __ATOMIC_RELAXED);
    if (callback) return callback(lock, name, line, attempt);
    return builtin_warning(lock, name, line, attempt);
}

}  // namespace kuv::lock

extern "C" kuv_dead_lock_callback_t kuv_mapi_set_dead_lock_callback_v0(
    kuv_dead_lock_callback_t callback) {
    return __atomic_exchange_n(&kuv::lock::g_callback, callback, __ATOMIC_RELAXED);
}
