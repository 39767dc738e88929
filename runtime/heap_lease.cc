// Giving and ending the heap lease (see heap_lease.h).
#include "runtime/heap_lease.h"

#include <pthread.h>
#include <sched.h>

#include "platform/sorvan_vkl.h"

namespace kuv::heap::lease {

Lease g_lease;
__thread bool t_holder [[gnu::tls_model("initial-exec")]];

namespace {

pthread_once_t g_barrier_once = PTHREAD_ONCE_INIT;
bool g_barrier_ready;

// A forked child has one thread, which may not be the holder, and may not
// be registered for the process barrier: it counts under the lock. An
// update the holder had begun when the parent forked is lost with it, as a
// lock held across a fork would be.
void end_in_child() {
    __atomic_store_n(&g_lease.state, kEnded, __ATOMIC_RELAXED);
    __atomic_store_n(&g_lease.busy, 0u, __ATOMIC_RELAXED);
    t_holder = false;
}

void open_barrier() {
    g_barrier_ready =
        sorvan_process_barrier_open() == 0 && pthread_atfork(nullptr, nullptr, end_in_child) == 0;
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
