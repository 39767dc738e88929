// Reading, writing, seeking and truncating through descriptors, with the
// interruption convention.
#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "davro_kuv/sysio.h"
#include "sysio/file_internal.h"

extern "C" {

int64_t kuv_xapi_read_intr(int32_t descriptor, void *buffer, uint64_t size,
                           int32_t interruption_flag) {
    for (;;) {
        ssize_t got = ::read(descriptor, buffer, size);
        if (got >= 0 || !kuv::sysio::repeat_after_failure(interruption_flag)) return got;
    }
}

int64_t kuv_xapi_read(int32_t descriptor, void *buffer, uint64_t size) {
    return kuv_xapi_read_intr(descriptor, buffer, size, kuv::sysio::plain_interruption_flag());
}

int64_t kuv_xapi_write_intr(int32_t descriptor, const void *data, uint64_t size,
                            int32_t interruption_flag) {
    for (;;) {
        // A signal after some bytes went out ends the call with that count,
        // not with EINTR, so a repeat never writes bytes twice.
        ssize_t written = ::write(descriptor, data, size);
        if (written >= 0 || !kuv::sysio::repeat_after_failure(interruption_flag)) return written;
    }
}

int64_t kuv_xapi_write(int32_t descriptor, const void *data, uint64_t size) {
    return kuv_xapi_write_intr(descriptor, data, size, kuv::sysio::plain_interruption_flag());
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
    for (;;) {
        if (::ftruncate(descriptor, length) == 0) return 1;
        if (!kuv::sysio::repeat_after_failure(interruption_flag)) return -1;
    }
}

int32_t kuv_xapi_ftruncate(int32_t descriptor, int64_t length) {
    return kuv_xapi_ftruncate_intr(descriptor, length, kuv::sysio::plain_interruption_flag());
}

}  // extern "C"
