// Pieces shared by the file wrappers: the interruption flag of the plain
// forms and the test for repeating an interrupted call.
#ifndef KUV_SYSIO_FILE_INTERNAL_H
#define KUV_SYSIO_FILE_INTERNAL_H

#include <errno.h>

#include <cstdint>

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

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_FILE_INTERNAL_H
