// Formatted writing to a descriptor.
#include <errno.h>
#include <stdarg.h>

#include <cstdint>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "runtime/guards.h"

extern "C" {

int64_t kuv_xapi_write_vprintf(int32_t descriptor, const char *format, va_list list) {
    if (!format) {
        errno = EINVAL;
        return -1;
    }
    // The text is made whole first and handed to a single write, so that
    // output of concurrent writers to a pipe or a terminal is not interleaved
    // within one call.
    kuv::SystemBlock text(kuv_xapi_sys_alloc_vsprintf(format, list));
    if (!text) return -1;
    return kuv_xapi_write_puts(descriptor, text.chars());
}

int64_t kuv_xapi_write_printf(int32_t descriptor, const char *format, ...) {
    va_list list;
    va_start(list, format);
    int64_t result = kuv_xapi_write_vprintf(descriptor, format, list);
    va_end(list);
    return result;
}

}  // extern "C"
