// Record locks over whole files, taken without waiting.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/file_internal.h"

namespace {

// Either access bit of the open flags asks for an exclusive lock, so an
// open's flags can be handed on unchanged.
constexpr uint32_t kExclusiveBits = KUV_FILE_LOCK_WRITE | KUV_FILE_OPEN_READ_WRITE;

}  // namespace

extern "C" {

int32_t kuv_xapi_flock_intr(int32_t descriptor, uint32_t bits, int32_t interruption_flag) {
    struct flock lock = {};
    if (bits & KUV_FILE_LOCK_RELEASE) {
        lock.l_type = F_UNLCK;
    } else if (bits & kExclusiveBits) {
        lock.l_type = F_WRLCK;
    } else {
        lock.l_type = F_RDLCK;
    }
    // Start 0 and length 0 from the start of the file: the whole file, also
    // the bytes that will be written beyond its current end.
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = getpid();
    for (;;) {
        // F_SETLK never waits: a lock of another process is reported at once.
        if (fcntl(descriptor, F_SETLK, &lock) == 0) return 1;
        if (!kuv::sysio::repeat_after_failure(interruption_flag)) return -1;
    }
}

int32_t kuv_xapi_flock(int32_t descriptor, uint32_t bits) {
    return kuv_xapi_flock_intr(descriptor, bits, kuv::sysio::plain_interruption_flag());
}

}  // extern "C"
