// Waiting for a descriptor to become ready, shared by the socket and file
// wrappers.
#ifndef KUV_SYSIO_WAIT_H
#define KUV_SYSIO_WAIT_H

#include <cstdint>

namespace kuv::sysio {

// Readiness bits of the library's waits.
inline constexpr int32_t kReadable = 1;
inline constexpr int32_t kWritable = 2;
inline constexpr int32_t kExceptional = 4;

// Waits until `descriptor` is ready for one of the conditions in `mask`
// (kReadable | kWritable | kExceptional). Returns the ready conditions among
// those asked, 0 when `timeout_msec` passed first (0 tests without waiting,
// a negative time-out waits without limit) and -1 on failure (a negative
// descriptor, an invalid one, or an error of the wait). When the wait is
// interrupted by a signal, `interruption_flag` 0 starts it again with the
// whole time-out and any other value ends it with -1.
//
// The readiness rules are those of select(): a pending error or a hang-up
// counts as readable, a pending error as writable, urgent data as
// exceptional. The wait is built on poll(), so descriptors of any number,
// 1024 and above included, can be waited for.
int32_t wait_descriptor(int32_t descriptor, int32_t mask, int32_t timeout_msec,
                        int32_t interruption_flag);

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_WAIT_H
