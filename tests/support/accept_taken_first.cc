// The accept of accept_taken_first.h: linked into a test program, it is
// the one the library's calls reach.
#include "support/accept_taken_first.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

std::atomic<bool> kuv_test::g_accept_taken_first{false};

extern "C" int accept(int listener, sockaddr *address, socklen_t *length) {
    if (kuv_test::g_accept_taken_first.exchange(false)) {
        const long taken = syscall(SYS_accept4, listener, nullptr, nullptr, 0);
        if (taken >= 0) syscall(SYS_close, taken);
    }
    return static_cast<int>(syscall(SYS_accept4, listener, address, length, 0));
}
