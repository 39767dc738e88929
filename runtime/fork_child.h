// Setting process-wide state right in a forked child. The child of a fork
// has only the thread that forked: a lock another thread held at that
// moment stays held in the child for good, and what the child shares with
// its parent must be left to the parent.
#ifndef KUV_RUNTIME_FORK_CHILD_H
#define KUV_RUNTIME_FORK_CHILD_H

#include <pthread.h>

namespace kuv {

// Runs reset in the child after every fork. Meant for an object at
// namespace scope: it registers when the library is loaded, before any
// thread can hold what reset sets right, so no call pays for it later.
struct InForkedChild {
    explicit InForkedChild(void (*reset)()) { pthread_atfork(nullptr, nullptr, reset); }
};

}  // namespace kuv

#endif  // KUV_RUNTIME_FORK_CHILD_H
