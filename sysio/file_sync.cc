// Flushing written data to storage.
#include <unistd.h>

#include <cstdint>

#include "davro_kuv/sysio.h"

extern "C" {

int32_t kuv_xapi_sync(void) {
    ::sync();
    return 1;
}

int32_t kuv_xapi_fsync(int32_t descriptor) {
    return ::fsync(descriptor) == 0 ? 1 : -1;
}

int32_t kuv_xapi_fdatasync(int32_t descriptor) {
    return ::fdatasync(descriptor) == 0 ? 1 : -1;
}

}  // extern "C"
