// The core version that endpoints compare against.
#include <cstdint>

#include "davro_kuv/sysio.h"

namespace {

constexpr int32_t kCoreVersion = 2;

}  // namespace

extern "C" {

int32_t kuv_xapi_get_core_version(void) {
    return kCoreVersion;
}

}  // extern "C"
