// Reading a symbolic link's target into a new string.
#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "runtime/guards.h"

namespace kuv::sysio {
namespace {

constexpr uint64_t kFirstSize = 256;
constexpr uint64_t kSizeStep = 256;
// Link targets on Linux are shorter than a page; a target that still fills
// this much is not a real link target (or keeps growing under us), and the
// scratch buffer must not grow without end.
constexpr uint64_t kLargestTarget = 65535;

}  // namespace
}  // namespace kuv::sysio

extern "C" {

char *kuv_xapi_readlink(const char *path) {
    using namespace kuv::sysio;
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    // readlink does not say whether the target was cut short, only how much
    // it stored: a buffer filled to the last byte may hold a partial target,
    // so grow it and read again until some room is left.
    for (uint64_t size = kFirstSize; size <= kLargestTarget + 1; size += kSizeStep) {
        kuv::SystemBlock scratch(kuv_xapi_sys_alloc(size));
        if (!scratch) return nullptr;
        ssize_t got = ::readlink(path, scratch.chars(), size);
        if (got < 0) return nullptr;
        if (static_cast<uint64_t>(got) == size) continue;
        if (got == 0) return nullptr;
        char *target = static_cast<char *>(kuv_xapi_alloc(static_cast<uint64_t>(got) + 1));
        if (!target) {
            errno = ENOMEM;
            return nullptr;
        }
        std::memcpy(target, scratch.chars(), static_cast<size_t>(got));
        target[got] = '\0';
        return target;
    }
    errno = ENAMETOOLONG;
    return nullptr;
}

}  // extern "C"
