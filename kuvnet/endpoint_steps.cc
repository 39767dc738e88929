// Steps shared by create, connect and accept.
#include "kuvnet/endpoint_steps.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "kuvnet/kuvnet_internal.h"

namespace kuv::net {

namespace {
constexpr const char *kIpv4Wildcard = "0.0.0.0";
constexpr const char *kIpv6Wildcard = "::";
}  // namespace

const char *wildcard_for_type(uint32_t type) {
    switch (family_code(type)) {
        case KUVNET_IPV4:
            return kIpv4Wildcard;
        case KUVNET_IPV6:
            return kIpv6Wildcard;
        default:
            return kuv_xapi_is_supported_ipv6() == 1 ? kIpv6Wildcard : kIpv4Wildcard;
    }
}

const char *wildcard_for_family(int family) {
    if (family == AF_INET) return kIpv4Wildcard;
    if (family == AF_INET6) return kIpv6Wildcard;
    return nullptr;
}

int32_t open_entry_socket(const struct addrinfo *entry, int32_t type_flags) {
    // Close-on-exec: no program the application starts inherits the socket.
    return kuv_xapi_open_socket(entry->ai_family, entry->ai_socktype | type_flags | SOCK_CLOEXEC,
                                entry->ai_protocol);
}

const struct addrinfo *bind_first(int32_t socket, int family, const struct addrinfo *list) {
    for (const struct addrinfo *entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family != family) continue;
        if (kuv_xapi_bind(socket, entry->ai_addr, entry->ai_addrlen) == 1) return entry;
    }
    return nullptr;
}

void read_back_port(kuvnet *handle) {
    if (handle->port >= 1) return;
    struct sockaddr_storage bound;
    if (kuv_xapi_getsockname(handle->socket, reinterpret_cast<struct sockaddr *>(&bound),
                             nullptr) != 1)
        return;
    uint16_t network_port;
    if (bound.ss_family == AF_INET)
        network_port = reinterpret_cast<const struct sockaddr_in *>(&bound)->sin_port;
    else if (bound.ss_family == AF_INET6)
        network_port = reinterpret_cast<const struct sockaddr_in6 *>(&bound)->sin6_port;
    else
        return;
    handle->port = static_cast<int32_t>(kuv_xapi_beword_value(network_port));
    if (handle->debug_level > kTraceLifecycle)
        std::printf("kuv: [MESSAGE] any bind port is %d\n", handle->port);
}

}  // namespace kuv::net
