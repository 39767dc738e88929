// The address records of a handle: reset and release; telling whether two
// socket addresses name the same socket.
#include <netinet/in.h>
#include <sys/un.h>

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

uint32_t socket_address_length(const struct sockaddr *address) {
    switch (address->sa_family) {
        case AF_INET:
            return sizeof(sockaddr_in);
        case AF_INET6:
            return sizeof(sockaddr_in6);
        case AF_UNIX:
            return sizeof(sockaddr_un);
        default:
            return sizeof(sockaddr_storage);
    }
}

bool same_port(const struct sockaddr *one, const struct sockaddr *other) {
    if (one->sa_family != other->sa_family) return false;
    if (one->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in *>(one)->sin_port ==
               reinterpret_cast<const sockaddr_in *>(other)->sin_port;
    if (one->sa_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6 *>(one)->sin6_port ==
               reinterpret_cast<const sockaddr_in6 *>(other)->sin6_port;
    return true;
}

bool same_socket_address(const struct sockaddr *one, const struct sockaddr *other) {
    if (one->sa_family != other->sa_family) return false;
    if (one->sa_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(one);
        const auto *b = reinterpret_cast<const sockaddr_in *>(other);
        return a->sin_port == b->sin_port && a->sin_addr.s_addr == b->sin_addr.s_addr;
    }
    if (one->sa_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(one);
        const auto *b = reinterpret_cast<const sockaddr_in6 *>(other);
        return a->sin6_port == b->sin6_port && a->sin6_scope_id == b->sin6_scope_id &&
               std::memcmp(&a->sin6_addr, &b->sin6_addr, sizeof a->sin6_addr) == 0;
    }
    return std::memcmp(one, other, socket_address_length(one)) == 0;
}

}  // namespace kuv::net
