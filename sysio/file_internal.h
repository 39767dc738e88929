// Pieces shared by the file wrappers: the interruption flag of the plain
// forms and an owner that closes a descriptor on every early return.
#ifndef KUV_SYSIO_FILE_INTERNAL_H
#define KUV_SYSIO_FILE_INTERNAL_H

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "davro_kuv/sysio.h"

namespace kuv::sysio {

// The flag the plain forms hand to their _intr form: the library-wide
// "repeat every call a signal interrupts" (0).
inline int32_t plain_interruption_flag() {
    return kuv_xapi_intr_break();
}

// True when a failed call should be made again: it was interrupted and the
// caller asked for interrupted calls to be repeated.
inline bool repeat_after_failure(int32_t interruption_flag) {
    return errno == EINTR && interruption_flag == 0;
}

// Owns a descriptor until release(); closes it otherwise, keeping the errno
// of the failure that made the caller give up.
class OwnedDescriptor {
  public:
    explicit OwnedDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~OwnedDescriptor() {
        if (descriptor_ < 0) return;
        int saved_errno = errno;
        // Never repeated: after EINTR the descriptor is already gone.
        ::close(descriptor_);
        errno = saved_errno;
    }
    OwnedDescriptor(const OwnedDescriptor &) = delete;
    OwnedDescriptor &operator=(const OwnedDescriptor &) = delete;

    int get() const { return descriptor_; }
    int release() { return std::exchange(descriptor_, -1); }

  private:
    int descriptor_;
};

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_FILE_INTERNAL_H
