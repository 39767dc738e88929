// Taking the handle's lock from the application's calls, and letting those
// callers go first when the service thread comes back for it.
//
// The service thread holds the lock for each whole poll and takes it again
// right after a poll that brought events. A caller that found it taken
// would, with the lock's plain waiting take, sleep between attempts and
// find it taken again almost every time it woke: a popper could starve
// while events pile up. So a caller announces itself and spins on short
// attempts with yields for a while before it falls back to the waiting
// take, and the service thread yields to announced callers before it takes
// the lock. The lock itself, its modes and its dead-lock report are those
// of every other lock.
#ifndef KUV_KUE_HANDLE_LOCK_H
#define KUV_KUE_HANDLE_LOCK_H

#include <cstdint>

#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"

namespace kuv::kue {

// Holds the handle's lock (exclusively) for the guard's lifetime.
class HandleLock {
  public:
    HandleLock(::kue *handle, const char *name, int32_t line);
    ~HandleLock() {
        if (held_) kuv_mapi_unlock_v0(lock_);
    }
    HandleLock(const HandleLock &) = delete;
    HandleLock &operator=(const HandleLock &) = delete;

    // False only when a dead-lock callback ended the wait.
    bool held() const { return held_; }

  private:
    kuv_lock_t *lock_;
    bool held_;
};

// Called by the service thread before it takes the lock: yields while
// application callers wait for it (for a bounded time).
void let_callers_go_first(HandleState *state);

}  // namespace kuv::kue

#endif  // KUV_KUE_HANDLE_LOCK_H
