// An accept that finds its connection taken first, as when another process
// that shares the listener wins the race after the wait. Programs that link
// accept_taken_first.cc reach its accept before the system's.
#ifndef KUV_TESTS_SUPPORT_ACCEPT_TAKEN_FIRST_H
#define KUV_TESTS_SUPPORT_ACCEPT_TAKEN_FIRST_H

#include <atomic>

namespace kuv_test {

// Armed (true), the next accept of the process first takes and closes the
// connection pending on its listener, then accepts as asked; it clears the
// flag, so a test sees whether that accept was made.
extern std::atomic<bool> g_accept_taken_first;

}  // namespace kuv_test

#endif  // KUV_TESTS_SUPPORT_ACCEPT_TAKEN_FIRST_H
