// RAII owner of a file or socket descriptor: every early return closes what
// the operation opened.
#ifndef KUV_SYSIO_DESCRIPTOR_GUARD_H
#define KUV_SYSIO_DESCRIPTOR_GUARD_H

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace kuv::sysio {

// Closes its descriptor (when it holds one, i.e. not -1) on destruction.
// close() is called once and never repeated: on Linux the descriptor is
// released even when close reports EINTR, and a second call could close a
// descriptor that another thread has just been given.
class DescriptorGuard {
  public:
    explicit DescriptorGuard(int32_t descriptor) : descriptor_(descriptor) {}
    // errno survives, so a failure path reports the error that made it give
    // up.
    ~DescriptorGuard() {
        if (descriptor_ < 0) return;
        int saved_errno = errno;
        ::close(descriptor_);
        errno = saved_errno;
    }
    DescriptorGuard(const DescriptorGuard &) = delete;
    DescriptorGuard &operator=(const DescriptorGuard &) = delete;

    int32_t get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ >= 0; }
    // Gives up ownership and returns the descriptor (-1 when none is held).
    int32_t release() { return std::exchange(descriptor_, -1); }

  private:
    int32_t descriptor_;
};

// A descriptor the library makes never stays in the place of standard
// input, output or error, which a program may have closed (a daemon, a
// program started with them closed): what the library and the program print
// to standard output or standard error would land in it, in an FTP command
// stream or a downloaded file, and an event peer's id 0 would name every
// peer. A new descriptor of 0, 1 or 2 moves to the lowest free number above
// 2, with its close-on-exec flag; when none is free it is closed and the
// result is -1 with errno EMFILE.
inline int32_t above_standard_streams(int32_t descriptor) {
    if (descriptor < 0 || descriptor > 2) return descriptor;
    const int flags = ::fcntl(descriptor, F_GETFD);
    const int moved =
        flags < 0 ? -1 : ::fcntl(descriptor, (flags & FD_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
    const int saved_errno = moved < 0 ? EMFILE : errno;
    ::close(descriptor);
    errno = saved_errno;
    return moved;
}

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_DESCRIPTOR_GUARD_H
