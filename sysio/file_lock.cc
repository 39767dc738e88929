// Record locks over whole files, taken without waiting.
#include <fcntl.h>

#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/socket_internal.h"

namespace {

// Either access bit of the open flags asks for an exclusive lock, so an
// open's flags can be handed on unchanged.
constexpr uint32_t kExclusiveBits = KUV_FILE_LOCK_WRITE | KUV_FILE_OPEN_READ_WRITE;

}  // namespace

extern "C" {

int32_t kuv_xapi_flock_intr(int32_t descriptor, uint32_t bits, int32_t interruption_flag) {
    // Start 0 and length 0 from the start of the file: the whole file, also
    // the bytes that will be written beyond its current end. F_SETLK ignores
    // l_pid: the lock always belongs to the calling process.
    struct flock lock = {};
    lock.l_whence = SEEK_SET;
    if (bits & KUV_FILE_LOCK_RELEASE) {
        lock.l_type = F_UNLCK;
    } else {
        lock.l_type = (bits & kExclusiveBits) ? F_WRLCK : F_RDLCK;
    }
    // F_SETLK never waits: a lock of another process is reported at once.
    int done = kuv::sysio::repeat_interrupted(interruption_flag,
                                              [&] { return ::fcntl(descriptor, F_SETLK, &lock); });
    return done == 0 ? 1 : -1;
}

int32_t kuv_xapi_flock(int32_t descriptor, uint32_t bits) {
    return kuv_xapi_flock_intr(descriptor, bits, kuv_xapi_intr_break());
}

}  // extern "C"
