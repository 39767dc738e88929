// Reading, writing, seeking and truncating through descriptors, with the
// interruption convention.
#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "davro_kuv/sysio.h"
#include "sysio/socket_internal.h"

extern "C" {

int64_t kuv_xapi_read_intr(int32_t descriptor, void *buffer, uint64_t size,
                           int32_t interruption_flag) {
    return kuv::sysio::repeat_interrupted(interruption_flag,
                                          [&] { return ::read(descriptor, buffer, size); });
}

int64_t kuv_xapi_read(int32_t descriptor, void *buffer, uint64_t size) {
    return kuv_xapi_read_intr(descriptor, buffer, size, kuv_xapi_intr_break());
}

int64_t kuv_xapi_write_intr(int32_t descriptor, const void *data, uint64_t size,
                            int32_t interruption_flag) {
    // A signal after some bytes went out ends the call with that count, not
    // with EINTR, so a repeat never writes bytes twice.
    return kuv::sysio::repeat_interrupted(interruption_flag,
                                          [&] { return ::write(descriptor, data, size); });
}

int64_t kuv_xapi_write(int32_t descriptor, const void *data, uint64_t size) {
    return kuv_xapi_write_intr(descriptor, data, size, kuv_xapi_intr_break());
}

int64_t kuv_xapi_write_puts(int32_t descriptor, const char *text) {
    if (!text) {
        errno = EINVAL;
        return -1;
    }
    size_t length = std::strlen(text);
    if (length == 0) return 0;
    return kuv_xapi_write(descriptor, text, length);
}

int64_t kuv_xapi_lseek(int32_t descriptor, int64_t offset, int32_t origin) {
    int whence = SEEK_SET;
    if (origin == KUV_FILE_SEEK_CURRENT) whence = SEEK_CUR;
    if (origin == KUV_FILE_SEEK_END) whence = SEEK_END;
    return ::lseek(descriptor, offset, whence);
}

int32_t kuv_xapi_ftruncate_intr(int32_t descriptor, int64_t length, int32_t interruption_flag) {
    int done = kuv::sysio::repeat_interrupted(interruption_flag,
                                              [&] { return ::ftruncate(descriptor, length); });
    return done == 0 ? 1 : -1;
}

int32_t kuv_xapi_ftruncate(int32_t descriptor, int64_t length) {
    return kuv_xapi_ftruncate_intr(descriptor, length, kuv_xapi_intr_break());
}

}  // extern "C"
