// RAII owners used across the library: a held reference lock, and blocks of
// the tracked and system heaps. Every early return releases what it made.
#ifndef KUV_RUNTIME_GUARDS_H
#define KUV_RUNTIME_GUARDS_H

#include <pthread.h>

#include <cstdint>
#include <utility>

#include "davro_kuv/runtime.h"

namespace kuv {

// Holds a reference lock for the guard's lifetime. The name and line name
// the taking call site in the dead-lock report.
class LockGuard {
  public:
    LockGuard(kuv_lock_t *lock, uint32_t mode, const char *name, int32_t line)
        : lock_(lock), held_(kuv_mapi_ref_lock_v0(lock, mode, name, line) == 1) {}
    ~LockGuard() {
        if (held_) kuv_mapi_unlock_v0(lock_);
    }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

    // False only when a dead-lock callback ended the wait.
    bool held() const { return held_; }

  private:
    kuv_lock_t *lock_;
    bool held_;
};

// Keeps a cancellation request from ending the thread for the guard's
// lifetime; a request that came meanwhile acts at the thread's next
// cancellation point after it. The library has no exceptions, so a thread
// cancelled inside it runs none of its destructors: a lock, or a waiter
// linked into a queue, that is held across a wait, a read or a pause would
// stay so for good.
class NoCancellation {
  public:
    NoCancellation() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
    ~NoCancellation() {
        int ignored;
        pthread_setcancelstate(previous_, &ignored);
    }
    NoCancellation(const NoCancellation &) = delete;
    NoCancellation &operator=(const NoCancellation &) = delete;

  private:
    int previous_;
};

// Owns a block of one heap family: the tracked heap (kuv_xapi_free) or the
// system heap (kuv_xapi_sys_free).
template <void *(*Release)(void *)>
class HeapOwner {
  public:
    HeapOwner() = default;
    explicit HeapOwner(void *block) : block_(block) {}
    ~HeapOwner() { reset(); }
    HeapOwner(HeapOwner &&other) noexcept : block_(other.release()) {}
    HeapOwner &operator=(HeapOwner &&other) noexcept {
        if (this != &other) {
            reset();
            block_ = other.release();
        }
        return *this;
    }
    HeapOwner(const HeapOwner &) = delete;
    HeapOwner &operator=(const HeapOwner &) = delete;

    template <typename T = void>
    T *get() const {
        return static_cast<T *>(block_);
    }
    char *chars() const { return static_cast<char *>(block_); }
    explicit operator bool() const { return block_ != nullptr; }

    // Gives up ownership and returns the block.
    void *release() { return std::exchange(block_, nullptr); }
    void reset(void *block = nullptr) {
        if (block_) Release(block_);
        block_ = block;
    }

  private:
    void *block_ = nullptr;
};

using TrackedBlock = HeapOwner<kuv_xapi_free>;
using SystemBlock = HeapOwner<kuv_xapi_sys_free>;

}  // namespace kuv

// The call site of a taking call, for the dead-lock report.
#define KUV_LOCK_SITE __func__, __LINE__

#endif  // KUV_RUNTIME_GUARDS_H
