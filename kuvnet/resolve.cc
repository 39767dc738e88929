// Name resolution for the endpoints: host names and numeric addresses go
// to the system's resolver, Unix-domain paths become socket addresses, and
// every resolved record is marked multicast or unspecified.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "kuvnet/kuvnet_internal.h"
#include "platform/sorvan_vkl.h"

namespace kuv::net {

namespace {

static_assert(offsetof(struct sockaddr_un, sun_path) == 2);
static_assert(sizeof(((struct sockaddr_un *)nullptr)->sun_path) == KUVNET_UNIX_PATH_MAX + 1);

// Stored in gai_result when a Unix-domain path does not fit its socket
// address: like a failed lookup, it must not be taken for a resolved name
// when the same name comes again.
constexpr int32_t kPathDoesNotFit = EAI_OVERFLOW;

// Longest address text a trace line prints.
constexpr size_t kAddressTextSize = 65;

const char *name_or_any(const char *name) {
    return name ? name : "<ANY>";
}

// A record that holds the result of a successful resolution of its name:
// only then may the same name skip the lookup.
bool holds_resolved_name(const kuvnet_address *record, const char *name) {
    return record->name && name && record->gai_result == 0 && std::strcmp(record->name, name) == 0;
}

// Writes port into every held socket address, so that a name kept from an
// earlier lookup answers for the port asked now as a new lookup would.
void set_ports(kuvnet_address *record, int32_t port) {
    const uint16_t network_port =
        static_cast<uint16_t>(kuv_xapi_beword_value(static_cast<uint32_t>(port > 0 ? port : 0)));
    for (struct addrinfo *entry = record->addresses; entry; entry = entry->ai_next) {
        if (!entry->ai_addr) continue;
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(struct sockaddr_in))
            reinterpret_cast<struct sockaddr_in *>(entry->ai_addr)->sin_port = network_port;
        else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(struct sockaddr_in6))
            reinterpret_cast<struct sockaddr_in6 *>(entry->ai_addr)->sin6_port = network_port;
    }
}

// The lookup hints by protocol_type: the family from bits 0-7, the socket
// type and protocol from the transport. A type of the internet name class
// without a transport asks for datagram sockets of any protocol: protocol
// 41 names IPv6 encapsulation, not a transport, and the resolver refuses
// every datagram request that carries it.
void fill_hints(kuvnet_hints *hints, uint32_t type) {
    std::memset(hints, 0, sizeof *hints);
    hints->ai_socktype = SOCK_DGRAM;
    switch (family_code(type)) {
        case KUVNET_IPV4:
            hints->ai_family = AF_INET;
            break;
        case KUVNET_IPV6:
            hints->ai_family = AF_INET6;
            break;
        default:
            hints->ai_family = AF_UNSPEC;
            break;
    }
    if (is_udp(type)) {
        hints->ai_protocol = IPPROTO_UDP;
    } else if (is_tcp(type)) {
        hints->ai_socktype = SOCK_STREAM;
        hints->ai_protocol = IPPROTO_TCP;
    } else if (is_icmp(type)) {
        hints->ai_socktype = SOCK_RAW;
        hints->ai_protocol = hints->ai_family == AF_INET    ? IPPROTO_ICMP
                             : hints->ai_family == AF_INET6 ? IPPROTO_ICMPV6
                                                            : 0;
    }
}

// The hints a resolution for this type looks up with; all zero for a type
// whose names are not looked up (a Unix-domain path, an unknown type).
kuvnet_hints hints_for(uint32_t type) {
    kuvnet_hints hints{};
    if (is_internet_type(type)) fill_hints(&hints, type);
    return hints;
}

// Whether a record's lookup was made for this type. A handle whose
// protocol_type changed since (a UDP sender made a TCP client) needs other
// entries for the same name: a datagram entry would connect a datagram
// socket and report a stream connection made.
bool resolved_for(const kuvnet_address *record, uint32_t type) {
    const kuvnet_hints wanted = hints_for(type);
    return record->hints.ai_family == wanted.ai_family &&
           record->hints.ai_socktype == wanted.ai_socktype &&
           record->hints.ai_protocol == wanted.ai_protocol;
}

// The resolver's configuration may have changed since it was read (a new
// network, a rewritten resolv.conf): after a failed lookup it is reloaded
// and the name tried once more.
int look_up(kuvnet_address *record, const char *service) {
    auto once = [&] {
        record->addresses = nullptr;
        int result =
            ::getaddrinfo(record->name, service, as_addrinfo(&record->hints), &record->addresses);
        if (result != 0 && record->addresses) {
            ::freeaddrinfo(record->addresses);
            record->addresses = nullptr;
        }
        return result;
    };
    int result = once();
    if (result != 0 && sorvan_reload_resolver() == 0) result = once();
    return result;
}

void mark_addresses(kuvnet_address *record) {
    for (const struct addrinfo *entry = record->addresses; entry; entry = entry->ai_next) {
        if (!entry->ai_addr) continue;
        if (entry->ai_family == AF_INET) {
            const auto *ipv4 = reinterpret_cast<const struct sockaddr_in *>(entry->ai_addr);
            const uint32_t host_order = kuv_xapi_bedword_value(ipv4->sin_addr.s_addr);
            const uint32_t first_octet = host_order >> 24;
            if (first_octet >= 224 && first_octet <= 239) record->is_multicast = 1;
            if (host_order == 0) record->is_unspecified = 1;
        } else if (entry->ai_family == AF_INET6) {
            const uint8_t *bytes =
                reinterpret_cast<const struct sockaddr_in6 *>(entry->ai_addr)->sin6_addr.s6_addr;
            if (bytes[0] == 0xFF) record->is_multicast = 1;
            static constexpr uint8_t kAllZero[16] = {};
            if (std::memcmp(bytes, kAllZero, sizeof kAllZero) == 0) record->is_unspecified = 1;
        }
    }
}

void trace_resolved_ip(const kuvnet *handle, const kuvnet_address *record) {
    std::printf(
        "kuv: [MESSAGE] resolved ip (protocol_type=%08lXH, newname=\"%s\", is_multicast=%s)\n",
        static_cast<unsigned long>(handle->protocol_type), name_or_any(record->name),
        record->is_multicast ? "TRUE" : "FALSE");
    if (!record->addresses) {
        std::printf("  - unspecified address\n");
        return;
    }
    for (const struct addrinfo *entry = record->addresses; entry; entry = entry->ai_next) {
        char text[kAddressTextSize] = "";
        kuv_xapi_inet_stop(entry->ai_addr, text, sizeof text);
        std::printf("  - address : \"%s\"\n", text);
    }
}

uint32_t resolve_path(kuvnet *handle, kuvnet_address *record) {
    if (!record->name) return KUV_RESULT_OK;
    std::memset(&record->unix_address, 0, sizeof record->unix_address);
    record->selected = reinterpret_cast<struct sockaddr *>(&record->unix_address);
    if (record->name_length > KUVNET_UNIX_PATH_MAX) {
        record->gai_result = kPathDoesNotFit;
        return fail(handle, KUVNET_RESULT_PATH_TOO_LONG);
    }
    auto *path = reinterpret_cast<struct sockaddr_un *>(&record->unix_address);
    path->sun_family = AF_UNIX;
    std::memcpy(path->sun_path, record->name, record->name_length + 1);
    if (handle->debug_level > kTraceResolution) {
        std::printf("kuv: [MESSAGE] resolved path (protocol_type=%08lXH, newname=\"%s\")\n",
                    static_cast<unsigned long>(handle->protocol_type), record->name);
    }
    return KUV_RESULT_OK;
}

uint32_t resolve_host(kuvnet *handle, kuvnet_address *record, int32_t port) {
    if (!record->name) {
        record->is_unspecified = 1;
        return KUV_RESULT_OK;
    }
    char service[16];
    if (port > 0) sorvan_snprintf(service, sizeof service, "%d", port);
    fill_hints(&record->hints, handle->protocol_type);
    record->gai_result = look_up(record, port > 0 ? service : nullptr);
    if (record->gai_result != 0) {
        if (handle->debug_level > kTraceErrors) {
            std::fprintf(stderr, "getaddrinfo error[%s]: %s\n", record->name,
                         ::gai_strerror(record->gai_result));
        }
        return fail(handle, KUVNET_RESULT_LOOKUP_FAILED);
    }
    mark_addresses(record);
    if (handle->debug_level > kTraceResolution) trace_resolved_ip(handle, record);
    return KUV_RESULT_OK;
}

}  // namespace

uint32_t resolve_address(kuvnet *handle, kuvnet_address *record, const char *name, int32_t port) {
    if (holds_resolved_name(record, name) && resolved_for(record, handle->protocol_type)) {
        set_ports(record, port);
        return KUV_RESULT_OK;
    }
    release_address(record);
    if (name) {
        record->name_length = std::strlen(name);
        if (record->name_length != 0) {
            record->name = kuv_xapi_alloc_string(name, 0);
            if (!record->name) return fail(handle, KUVNET_RESULT_NO_MEMORY);
        }
    }
    const uint32_t type = handle->protocol_type;
    if (is_internet_type(type)) return resolve_host(handle, record, port);
    if (is_uds(type)) return resolve_path(handle, record);
    if (handle->debug_level > kTraceLifecycle) {
        std::printf("kuv: [MESSAGE] (non-)resolved (protocol_type=%08lXH, newname=\"%s\")\n",
                    static_cast<unsigned long>(type), name_or_any(name));
    }
    return KUV_RESULT_OK;
}

uint32_t try_resolve_address(kuvnet *handle, kuvnet_address *record, const char *name,
                             int32_t port) {
    const uint32_t recorded = handle->error_code;
    const uint32_t result = resolve_address(handle, record, name, port);
    if (result != KUV_RESULT_OK) handle->error_code = recorded;
    return result;
}

}  // namespace kuv::net
