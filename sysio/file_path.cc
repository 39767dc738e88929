// Path operations whose failures are sorted into refusals (0) and errors
// (-1): access tests, mode changes, changing directory; plus removing and
// the file-creation mask.
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

#include "davro_kuv/sysio.h"

namespace kuv::sysio {
namespace {

// 0 when the system's answer is a refusal the caller can act on (missing
// file, no permission, ...), -1 when it is one of the listed errors.
int32_t sort_failure(std::initializer_list<int> error_numbers) {
    for (int error_number : error_numbers) {
        if (errno == error_number) return -1;
    }
    return 0;
}

}  // namespace
}  // namespace kuv::sysio

extern "C" {

int32_t kuv_xapi_access(const char *path, uint32_t bits) {
    if (!path) {
        errno = EINVAL;
        return 0;
    }
    int mode = 0;
    if (bits & KUV_FILE_ACCESS_READ) mode |= R_OK;
    if (bits & KUV_FILE_ACCESS_WRITE) mode |= W_OK;
    if (bits & KUV_FILE_ACCESS_EXECUTE) mode |= X_OK;
    if (mode == 0) mode = F_OK;
    if (::access(path, mode) == 0) return 1;
    return kuv::sysio::sort_failure({EINVAL, EIO, ENOMEM, EFAULT, ETXTBSY});
}

int32_t kuv_xapi_chmod(const char *path, uint32_t mode) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    if (::chmod(path, mode) == 0) return 1;
    return kuv::sysio::sort_failure({EFAULT, EIO, ENAMETOOLONG, ENOMEM});
}

int32_t kuv_xapi_chdir(const char *path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    if (::chdir(path) == 0) return 1;
    return kuv::sysio::sort_failure({EFAULT, EIO, ENAMETOOLONG, ENOMEM});
}

int32_t kuv_xapi_remove(const char *path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return ::remove(path) == 0 ? 1 : -1;
}

uint32_t kuv_xapi_umask(uint32_t mask) {
    return ::umask(static_cast<mode_t>(mask));
}

}  // extern "C"
