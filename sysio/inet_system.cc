// Address text through the system's converters and resolver: the forms the
// rest of the library uses.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "platform/sorvan_vkl.h"

namespace {

// Where the address sits inside the system's socket addresses.
constexpr size_t kIpv4AddressOffset = 4;
constexpr size_t kIpv6AddressOffset = 8;
static_assert(offsetof(struct sockaddr_in, sin_addr) == kIpv4AddressOffset);
static_assert(offsetof(struct sockaddr_in6, sin6_addr) == kIpv6AddressOffset);

// A family argument counts through its low 16 bits.
int family_of(int32_t family) {
    return family & 0xFFFF;
}

// Copies a fixed text, cut to fit and terminated (size is at least 1).
char *copy_cut(std::string_view text, char *buffer, uint64_t size) {
    size_t length = text.size() < size ? text.size() : static_cast<size_t>(size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return buffer;
}

// Moves an address value between network order and the order the caller's
// flag names: 1 is network order, anything else host order (the swap is its
// own inverse, so it serves both ways).
uint32_t in_order(uint32_t value, int32_t network_order) {
    return network_order == 1 ? value : kuv_xapi_bedword_value(value);
}

// The first IPv4 address among the resolver's answers for name, in network
// order; false when there is none.
bool resolve_ipv4(const char *name, uint32_t *network_value) {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *answers = nullptr;
    // A failed lookup releases any partial answer it left.
    auto look_up = [&] {
        answers = nullptr;
        if (::getaddrinfo(name, nullptr, &hints, &answers) == 0) return true;
        if (answers) ::freeaddrinfo(answers);
        return false;
    };
    // The resolver configuration may have changed since it was read (a new
    // network, a rewritten resolv.conf): reload it and try once more.
    if (!look_up() && (sorvan_reload_resolver() != 0 || !look_up())) return false;
    bool found = false;
    for (const struct addrinfo *entry = answers; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr ||
            entry->ai_addrlen < sizeof(struct sockaddr_in))
            continue;
        std::memcpy(network_value,
                    reinterpret_cast<const uint8_t *>(entry->ai_addr) + kIpv4AddressOffset,
                    sizeof *network_value);
        found = true;
        break;
    }
    ::freeaddrinfo(answers);
    return found;
}

}  // namespace

extern "C" {

char *kuv_xapi_inet_ntop(int32_t family, const void *address, char *buffer, uint64_t size) {
    if (!buffer || size == 0) return nullptr;
    if (!address) {
        errno = EINVAL;
        return nullptr;
    }
    socklen_t capacity = size > UINT32_MAX ? UINT32_MAX : static_cast<socklen_t>(size);
    return const_cast<char *>(::inet_ntop(family_of(family), address, buffer, capacity));
}

char *kuv_xapi_inet_stop(const struct sockaddr *address, char *buffer, uint64_t size) {
    if (!address || !buffer) return nullptr;
    if (size == 0) return buffer;
    if (size == 1) {
        buffer[0] = '\0';
        return buffer;
    }
    sa_family_t family;
    std::memcpy(&family, address, sizeof family);
    const auto *bytes = reinterpret_cast<const uint8_t *>(address);
    char *text;
    switch (family) {
        case AF_UNSPEC:
            return copy_cut("?UNSPEC", buffer, size);
        case AF_INET:
            text = kuv_xapi_inet_ntop(AF_INET, bytes + kIpv4AddressOffset, buffer, size);
            break;
        case AF_INET6:
            text = kuv_xapi_inet_ntop(AF_INET6, bytes + kIpv6AddressOffset, buffer, size);
            break;
        default:
            return copy_cut("?N/A", buffer, size);
    }
    // The system leaves the buffer as it was when the text does not fit; a
    // caller that prints it regardless must find a terminated text.
    if (!text) buffer[0] = '\0';
    return text;
}

const char *kuv_xapi_inet_ntop_ipv4(uint32_t value, int32_t network_order) {
    struct in_addr address;
    address.s_addr = in_order(value, network_order);
    return ::inet_ntoa(address);
}

int32_t kuv_xapi_inet_pton(int32_t family, const char *text, void *address) {
    if (!text || !address) {
        errno = EINVAL;
        return -1;
    }
    return ::inet_pton(family_of(family), text, address);
}

uint32_t kuv_xapi_inet_pton_ipv4(const char *text, int32_t network_order) {
    if (!text) return 0;
    uint32_t network_value = 0;
    if (kuv_xapi_inet_pton(AF_INET, text, &network_value) != 1 &&
        !resolve_ipv4(text, &network_value))
        return 0;
    return in_order(network_value, network_order);
}

}  // extern "C"
