// The address part of a socket address, as the bytes the wire carries.
#ifndef KUV_SYSIO_ADDRESS_BYTES_H
#define KUV_SYSIO_ADDRESS_BYTES_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <span>

namespace kuv::sysio {

// The address bytes of an IPv4 or IPv6 socket address, in network order;
// empty for another family.
inline std::span<const uint8_t> address_bytes(const struct sockaddr *address) {
    if (address->sa_family == AF_INET) {
        const auto &ipv4 = reinterpret_cast<const sockaddr_in *>(address)->sin_addr;
        return {reinterpret_cast<const uint8_t *>(&ipv4), sizeof ipv4};
    }
    if (address->sa_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
        return {reinterpret_cast<const uint8_t *>(&ipv6), sizeof ipv6};
    }
    return {};
}

inline std::span<const uint8_t> address_bytes(const sockaddr_storage &address) {
    return address_bytes(reinterpret_cast<const struct sockaddr *>(&address));
}

}  // namespace kuv::sysio

#endif  // KUV_SYSIO_ADDRESS_BYTES_H
