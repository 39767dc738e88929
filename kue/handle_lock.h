// Taking and releasing the handle's lock in the event service.
//
// The service thread holds the lock for each whole poll and takes it again
// right after a poll that brought events; the application's calls take it
// for a moment. With the lock's own waiting take a caller that found it
// taken sleeps between attempts in pauses that grow to milliseconds, and
// wakes long after a poll ended, or finds it taken again: a popper could
// starve, and a sender would idle while its events wait. So every holder
// inside the service releases through release(), which wakes the sleepers,
// and a waiter first spins on short attempts with yields, then sleeps on a
// futex word until a release or a millisecond passes (a holder outside the
// service, an application around a kue_mapi_ call, does not wake it), and
// after a second of that falls back to the lock's waiting take with its
// dead-lock report. The service thread also yields to application callers
// before it takes the lock again. The lock, its modes and its report are
// those of every other lock.
#ifndef KUV_KUE_HANDLE_LOCK_H
#define KUV_KUE_HANDLE_LOCK_H

#include <cstdint>

#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"
#include "runtime/guards.h"

namespace kuv::kue {

// Holds the handle's lock (exclusively) for the guard's lifetime, with
// thread cancellation held off.
class HandleLock {
  public:
    enum class Taker { kApplication, kServiceThread };

    HandleLock(::kue *handle, Taker taker, const char *name, int32_t line);
    ~HandleLock() {
        if (held_) release();
    }
    HandleLock(const HandleLock &) = delete;
    HandleLock &operator=(const HandleLock &) = delete;

    // False only when a dead-lock callback ended the wait.
    bool held() const { return held_; }

  private:
    void release();

    // From before the take to after the release: a cancellation point
    // reached meanwhile (the poll's wait, a receive, a report's print)
    // would leave the lock held for good.
    const NoCancellation no_cancellation_;
    HandleState *state_;
    bool held_ = false;
};

// Called by the service thread before it takes the lock: yields while
// application callers wait for it (for a bounded time).
void let_callers_go_first(HandleState *state);

}  // namespace kuv::kue

// An application call's taking site.
#define KUE_CALLER_LOCK(handle) \
    kuv::kue::HandleLock(handle, kuv::kue::HandleLock::Taker::kApplication, __func__, __LINE__)

#endif  // KUV_KUE_HANDLE_LOCK_H
