// The heap lease: counting blocks without the heap lock while one thread is
// the only one that comes near the counters.
//
// Under the heap lock every allocation and every release pays a locked
// exchange, and on current cores one such exchange costs about as much as
// a whole malloc+free pair. Most programs count all their blocks on one
// thread for a long time, often for their whole life. The first thread
// that counts a block, reads the counters or takes the heap lock therefore
// gets the lease: it changes the counters with plain stores between setting
// and clearing its busy word, and takes no lock for them.
//
// The first other thread that wants the counters or the heap lock ends the
// lease for good. It marks the lease as ending, has every thread of the
// process run a memory barrier (sorvan_process_barrier), and waits until
// the busy word is clear. Each update of the holder either read the lease
// state after its barrier, and then sees that the lease is ending and
// takes the lock instead, or set its busy word before that barrier, and
// then the ending thread sees the word set and waits for the update to
// finish. So two threads never change the counters at once, and once the
// lease has ended every thread counts under the heap lock as if there had
// never been a lease. Where the system offers no process barrier no lease
// is given. A forked child starts without a lease, and with the heap lock
// free (heap_lease.cc).
#ifndef KUV_RUNTIME_HEAP_LEASE_H
#define KUV_RUNTIME_HEAP_LEASE_H

#include <cstdint>

#include "davro_kuv/runtime.h"

namespace kuv::heap::lease {

enum State : uint32_t {
    kOpen = 0,    // nobody has counted yet
    kHeld = 1,    // one thread counts without the lock
    kEnding = 2,  // another thread is waiting for the holder's last update
    kEnded = 3,   // every thread counts under the lock
};

struct alignas(64) Lease {
    uint32_t state;  // a State
    uint32_t busy;   // 1 while the holder changes the counters
};

extern Lease g_lease;

// True on the thread that holds (or held) the lease. Initial-exec: the
// fast path reads it with one instruction instead of a call.
extern __thread bool t_holder [[gnu::tls_model("initial-exec")]];

// Makes the calling thread fit to touch the counters under the heap lock,
// or to take that lock: it returns once the thread holds the lease or the
// lease has ended. Every thread but the holder must call it first.
void claim_slowly();
inline void claim() {
    if (!t_holder && __atomic_load_n(&g_lease.state, __ATOMIC_ACQUIRE) != kEnded) claim_slowly();
}

// Runs update without the heap lock when the caller holds the lease and
// the heap lock is free (the holder itself may hold it, and then waits for
// it as everybody does); false, without running it, otherwise.
template <typename Update>
inline bool run_held(const kuv_lock_t &lock, Update &&update) {
    if (!t_holder) return false;
    __atomic_store_n(&g_lease.busy, 1u, __ATOMIC_RELAXED);
    // Only the compiler is kept from moving the state read above the busy
    // store; the processor is kept from it by the barrier of the thread
    // that ends the lease.
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    const bool held = __atomic_load_n(&g_lease.state, __ATOMIC_RELAXED) == kHeld &&
                      __atomic_load_n(&lock.count, __ATOMIC_RELAXED) == 0 &&
                      __atomic_load_n(&lock.exclusive, __ATOMIC_RELAXED) != 1;
    if (held) update();
    __atomic_store_n(&g_lease.busy, 0u, __ATOMIC_RELEASE);
    return held;
}

}  // namespace kuv::heap::lease

#endif  // KUV_RUNTIME_HEAP_LEASE_H
