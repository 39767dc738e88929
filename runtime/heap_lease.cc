// Giving and ending the heap lease (see heap_lease.h).
#include "runtime/heap_lease.h"

#include <pthread.h>
#include <sched.h>

#include "platform/sorvan_vkl.h"
#include "runtime/heap_internal.h"

namespace kuv::heap::lease {

Lease g_lease;
__thread bool t_holder [[gnu::tls_model("initial-exec")]];

namespace {

pthread_once_t g_barrier_once = PTHREAD_ONCE_INIT;
bool g_barrier_ready;

// Fork. The heap lock copied while another thread holds it would stay held
// in the child, whose one thread would then wait for it for good. So the
// forking thread takes the heap lock first, which also lets an update under
// way finish, and gives it back afterwards; the child's copy of it is
// cleared, so the child starts with the lock free and the counters of a
// state that existed. While another thread holds the lease nobody else can
// hold the lock, and the lease is left to it: an update the holder had
// begun is lost with it, as an update under a lock would be. A lock held
// for longer than kForkWaitMsec (an application's own holding) is not
// waited for: the child clears it all the same.
constexpr int32_t kForkWaitMsec = 1000;
bool g_held_for_fork;

void hold_for_fork() {
    g_held_for_fork = false;
    uint32_t state;
    while ((state = __atomic_load_n(&g_lease.state, __ATOMIC_ACQUIRE)) == kEnding)
        sched_yield();
    if (state != kEnded && !t_holder) return;
    g_held_for_fork = kuv_mapi_ref_lock_timeout_v0(&kuv::heap::g_info.lock, KUV_LOCK_MODE_EXCLUSIVE,
                                                   "fork", __LINE__, kForkWaitMsec) == 1;
}

void release_after_fork() {
    if (g_held_for_fork) kuv_mapi_unlock_v0(&kuv::heap::g_info.lock);
}

// A forked child has one thread, which may not be the holder, and may not
// be registered for the process barrier: it counts under the lock.
void end_in_child() {
    __atomic_store_n(&g_lease.state, kEnded, __ATOMIC_RELAXED);
    __atomic_store_n(&g_lease.busy, 0u, __ATOMIC_RELAXED);
    t_holder = false;
    kuv_mapi_init_lock_v0(&kuv::heap::g_info.lock);
}

// The fork handlers come first: every thread that takes the heap lock has
// come through here before.
void open_barrier() {
    const bool fork_handled = pthread_atfork(hold_for_fork, release_after_fork, end_in_child) == 0;
    g_barrier_ready = fork_handled && sorvan_process_barrier_open() == 0;
}

bool barrier_ready() {
    pthread_once(&g_barrier_once, open_barrier);
    return g_barrier_ready;
}

bool move(uint32_t from, uint32_t to) {
    return __atomic_compare_exchange_n(&g_lease.state, &from, to, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

// The caller has moved the lease from held to ending.
void end() {
    // The barrier cannot fail once the process is registered for it, which
    // it was before the lease was given.
    sorvan_process_barrier();
    while (__atomic_load_n(&g_lease.busy, __ATOMIC_ACQUIRE) != 0)
        sched_yield();
    __atomic_store_n(&g_lease.state, kEnded, __ATOMIC_RELEASE);
}

}  // namespace

void claim_slowly() {
    for (;;) {
        switch (__atomic_load_n(&g_lease.state, __ATOMIC_ACQUIRE)) {
            case kEnded:
                return;
            case kOpen: {
                const bool lease = barrier_ready();
                if (move(kOpen, lease ? kHeld : kEnded)) {
                    t_holder = lease;
                    return;
                }
                break;
            }
            case kHeld:
                if (move(kHeld, kEnding)) {
                    end();
                    return;
                }
                break;
            default:  // kEnding: another thread waits for the holder's last update
                sched_yield();
                break;
        }
    }
}

}  // namespace kuv::heap::lease
