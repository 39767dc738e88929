// Opening with the library's own flag set (optionally taking a record lock)
// and closing descriptors.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "sysio/descriptor_guard.h"

namespace kuv::sysio {
namespace {

// How long an open with the lock bit keeps trying for the lock.
constexpr uint64_t kOpenLockPatienceMsec = 6000;

// The bits kuv_xapi_creat asks for: write only, create, truncate, exclusive,
// no controlling terminal, and two bits without effect kept for callers that
// compare flag words.
constexpr uint32_t kCreatFlags = 0x463A;

struct FlagMapping {
    uint32_t library_bit;
    int system_flag;
};

constexpr FlagMapping kFlagTable[] = {
    {KUV_FILE_OPEN_CREATE, O_CREAT},
    {KUV_FILE_OPEN_TRUNCATE, O_TRUNC},
    {KUV_FILE_OPEN_EXCLUSIVE, O_EXCL},
    {KUV_FILE_OPEN_APPEND, O_APPEND},
    {KUV_FILE_OPEN_NON_BLOCK, O_NONBLOCK},
    {KUV_FILE_OPEN_SYNC, O_SYNC},
    {KUV_FILE_OPEN_NO_CONTROLLING_TERMINAL, O_NOCTTY},
    {KUV_FILE_OPEN_DIRECT, O_DIRECT},
};

int system_open_flags(uint32_t flags) {
    // Write only and read-write are separate library bits; together they make
    // the access value 3, as the system's O_WRONLY | O_RDWR would.
    int system_flags = O_LARGEFILE;
    if (flags & KUV_FILE_OPEN_WRITE_ONLY) system_flags |= O_WRONLY;
    if (flags & KUV_FILE_OPEN_READ_WRITE) system_flags |= O_RDWR;
    for (const FlagMapping &mapping : kFlagTable) {
        if (flags & mapping.library_bit) system_flags |= mapping.system_flag;
    }
    return system_flags;
}

// Tries for the lock until it is taken or the patience has run out. Only a
// lock held by another process is waited out; any other refusal (a
// descriptor that can take no lock, no lock records left) would only come
// again, and fails at once with its errno.
bool lock_with_patience(int descriptor, uint32_t flags) {
    // Only the access bits choose the lock type: a write lock for a file
    // opened for writing (which a write-only descriptor can hold), a read
    // lock otherwise. The release bit is kept out, or the "lock" would be an
    // unlock that always succeeds.
    uint32_t lock_bits = flags & (KUV_FILE_OPEN_WRITE_ONLY | KUV_FILE_OPEN_READ_WRITE);
    kuv_timer_t patience;
    kuv_xapi_init_timer(&patience, kOpenLockPatienceMsec);
    for (;;) {
        if (kuv_xapi_flock(descriptor, lock_bits) == 1) return true;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
        if (kuv_xapi_check_timer(&patience) == 1) return false;
        int saved_errno = errno;
        kuv_xapi_load_balance();
        errno = saved_errno;
    }
}

// What a truncating open does with the file it opened. The system ignores
// truncation when opening a pipe or a terminal (and it means nothing to a
// device such as /dev/null), while ftruncate fails there, and refuses it for
// a directory; the deferred truncation follows the system. When the type
// cannot be read, ftruncate is tried and reports the failure.
enum class Truncation { kApply, kSkip, kRefuse };

Truncation truncation_of(int descriptor) {
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || S_ISREG(status.st_mode)) return Truncation::kApply;
    return S_ISDIR(status.st_mode) ? Truncation::kRefuse : Truncation::kSkip;
}

bool creates_exclusively(int system_flags) {
    return (system_flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
}

// Removes the file an exclusive creation made, while the name is still that
// file. A failed creation leaves no name behind, which would make every
// later exclusive creation of it fail. errno is kept.
void remove_created(const char *path, const struct stat &created) {
    const int saved_errno = errno;
    struct stat named;
    if (::lstat(path, &named) == 0 && named.st_dev == created.st_dev &&
        named.st_ino == created.st_ino)
        ::unlink(path);
    errno = saved_errno;
}

// The system's open, with a descriptor given in the place of a standard
// stream moved above them. When no number above is free the open fails,
// and a file it created (with O_CREAT and O_EXCL, so surely this open's) is
// removed again.
int32_t open_moved(const char *path, int system_flags, uint32_t mode) {
    const int opened = ::open(path, system_flags, mode);
    struct stat created;
    const bool may_move = opened >= 0 && opened <= 2;
    const bool known =
        creates_exclusively(system_flags) && may_move && ::fstat(opened, &created) == 0;
    const int32_t moved = above_standard_streams(opened);
    if (moved < 0 && known) {
        remove_created(path, created);
        errno = EMFILE;
    }
    return moved;
}

// Whether an open truncates only once its descriptor is kept: an open
// that fails after the system's open (no number above the standard streams
// free) then leaves the file's contents as they were. Only a descriptor with
// write access can truncate; any other keeps the system's truncation.
bool defers_truncation(int system_flags) {
    const int access = system_flags & O_ACCMODE;
    return (system_flags & O_TRUNC) && (access == O_WRONLY || access == O_RDWR);
}

// Opens without truncation and truncates the file once its descriptor is
// kept. A file created with O_EXCL is new and empty: nothing to truncate.
int32_t open_truncating(const char *path, int system_flags, uint32_t mode) {
    DescriptorGuard descriptor(open_moved(path, system_flags & ~O_TRUNC, mode));
    if (!descriptor) return -1;
    if (creates_exclusively(system_flags)) return descriptor.release();
    // A directory takes no write access, so only a pipe or a device is
    // passed over here, as the system's open passes them over.
    if (truncation_of(descriptor.get()) == Truncation::kApply &&
        kuv_xapi_ftruncate(descriptor.get(), 0) != 1)
        return -1;
    return descriptor.release();
}

// Opens with `system_flags` but without truncation, takes the lock and
// truncates only then: truncating before the lock is held would empty a file
// that another process is still using, even when the lock then cannot be
// taken.
int32_t open_locked(const char *path, int system_flags, uint32_t flags, uint32_t mode) {
    // Moved before the lock is taken: closing the first number would
    // release it.
    DescriptorGuard descriptor(open_moved(path, system_flags & ~O_TRUNC, mode));
    if (!descriptor) return -1;
    // A file created with O_EXCL is new and empty: nothing to truncate, so
    // no write access is needed for it.
    const bool truncates = (system_flags & O_TRUNC) && !creates_exclusively(system_flags);
    const Truncation truncation = truncates ? truncation_of(descriptor.get()) : Truncation::kSkip;
    if (truncation == Truncation::kRefuse) {
        errno = EISDIR;
        return -1;
    }
    if (!lock_with_patience(descriptor.get(), flags)) {
        // A file this open created is removed again, as when the open fails
        // for want of a descriptor number.
        struct stat created;
        if (creates_exclusively(system_flags) && ::fstat(descriptor.get(), &created) == 0)
            remove_created(path, created);
        return -1;
    }
    if (truncation == Truncation::kApply && kuv_xapi_ftruncate(descriptor.get(), 0) != 1) return -1;
    return descriptor.release();
}

}  // namespace
}  // namespace kuv::sysio

extern "C" {

int32_t kuv_xapi_open(const char *path, uint32_t flags, uint32_t mode) {
    using namespace kuv::sysio;
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    // The mode is read only together with O_CREAT, so it can always be passed.
    int system_flags = system_open_flags(flags);
    if (flags & KUV_FILE_OPEN_LOCK) return open_locked(path, system_flags, flags, mode);
    if (defers_truncation(system_flags)) return open_truncating(path, system_flags, mode);
    return open_moved(path, system_flags, mode);
}

int32_t kuv_xapi_creat(const char *path, uint32_t mode) {
    return kuv_xapi_open(path, kuv::sysio::kCreatFlags, mode);
}

int32_t kuv_xapi_close_intr(int32_t descriptor, int32_t interruption_flag) {
    if (descriptor == -1) {
        errno = EBADF;
        return -1;
    }
    if (::close(descriptor) == 0) return 1;
    // Linux releases the descriptor even when close reports EINTR, so a
    // second close could only fail or, worse, close a descriptor another
    // thread has just been given. An interrupted close is a finished close.
    if (errno == EINTR) return interruption_flag == 0 ? 1 : 2;
    return -1;
}

int32_t kuv_xapi_close(int32_t descriptor) {
    return kuv_xapi_close_intr(descriptor, kuv_xapi_intr_break());
}

}  // extern "C"
