// The address records of a handle: reset and release.
#include <cstring>

#include "davro_kuv/runtime.h"
#include "kuvnet/kuvnet_internal.h"

namespace kuv::net {

void reset_address(kuvnet_address *record) {
    std::memset(record, 0, sizeof *record);
    record->selected = reinterpret_cast<struct sockaddr *>(&record->unix_address);
}

void release_address(kuvnet_address *record) {
    if (record->addresses) freeaddrinfo(record->addresses);
    if (record->name) kuv_xapi_free(record->name);
    reset_address(record);
}

}  // namespace kuv::net
