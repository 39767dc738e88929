// Pieces shared by the endpoint files: reading protocol_type, the address
// records' reset and release, recording a failure in the handle, and the
// life-cycle traces.
#ifndef KUV_KUVNET_INTERNAL_H
#define KUV_KUVNET_INTERNAL_H

#include <netdb.h>

#include <cstddef>
#include <cstdint>

#include "davro_kuv/kuvnet.h"

namespace kuv::net {

// The hints record is the system's struct addrinfo under another name, so
// that the public header compiles where <netdb.h> hides it.
static_assert(sizeof(kuvnet_hints) == sizeof(struct addrinfo));
static_assert(offsetof(kuvnet_hints, ai_protocol) == offsetof(struct addrinfo, ai_protocol));
static_assert(offsetof(kuvnet_hints, ai_addrlen) == offsetof(struct addrinfo, ai_addrlen));
static_assert(offsetof(kuvnet_hints, ai_next) == offsetof(struct addrinfo, ai_next));
static_assert(sizeof(sockaddr_storage) == 128);

inline struct addrinfo *as_addrinfo(kuvnet_hints *hints) {
    return reinterpret_cast<struct addrinfo *>(hints);
}

// Trace thresholds of debug_level.
inline constexpr int32_t kTraceErrors = 0;
inline constexpr int32_t kTraceResolution = 9;
inline constexpr int32_t kTraceLifecycle = 99999;
inline constexpr int32_t kTraceNoisy = 999999;

// The length of a Unix-domain socket address as bind and connect take it:
// the family and the whole 108-byte path area.
inline constexpr uint32_t kUnixAddressLength = 110;

// ---- protocol_type ------------------------------------------------------

inline uint32_t family_code(uint32_t type) {
    return type & KUVNET_FAMILY_MASK;
}
inline bool is_udp(uint32_t type) {
    return (type & KUVNET_TRANSPORT_MASK) == KUVNET_UDP;
}
inline bool is_tcp(uint32_t type) {
    return (type & KUVNET_TRANSPORT_MASK) == KUVNET_TCP;
}
inline bool is_uds(uint32_t type) {
    return (type & KUVNET_TRANSPORT_MASK) == KUVNET_UDS;
}
// The byte-stream transports: TCP and Unix-domain.
inline bool is_stream(uint32_t type) {
    return is_tcp(type) || is_uds(type);
}
// Bit 24 counts here: a type with it set is no ICMP type.
inline bool is_icmp(uint32_t type) {
    return (type & KUVNET_ICMP_MASK) == KUVNET_ICMP;
}
inline bool is_inet_class(uint32_t type) {
    return (type & KUVNET_CLASS_MASK) == KUVNET_INET;
}
// Types whose names are host names or numeric addresses.
inline bool is_internet_type(uint32_t type) {
    return is_udp(type) || is_tcp(type) || is_icmp(type) || is_inet_class(type);
}
// Exactly acknowledged UDP, and TCP and Unix-domain without bit 24.
inline bool is_acknowledged(uint32_t type) {
    uint32_t transport = type & KUVNET_ICMP_MASK;
    return transport == KUVNET_UDP_ACKED || transport == KUVNET_TCP || transport == KUVNET_UDS;
}

// A port a socket address cannot carry: negative (unset) or above 65535.
inline bool port_out_of_range(int32_t port) {
    return static_cast<uint32_t>(port) > 65535;
}

// ---- address records ----------------------------------------------------

// Every field zero, unix_address zeroed, selected pointing at it.
void reset_address(kuvnet_address *record);
// Frees the lookup result and the name, then resets.
void release_address(kuvnet_address *record);
// The length of a socket address of its family (the whole storage for a
// family not known here).
uint32_t socket_address_length(const struct sockaddr *address);
// True when both name the same socket: family, port and address (and the
// scope of an IPv6 address), or the same bytes for other families.
bool same_socket_address(const struct sockaddr *one, const struct sockaddr *other);
// True when both are of one family and, for IPv4 and IPv6, name one port.
bool same_port(const struct sockaddr *one, const struct sockaddr *other);

// ---- resolution ---------------------------------------------------------

// Turns name into record by the handle's protocol_type: a host name or
// numeric address is looked up (port above 0 as its service), a
// Unix-domain path is copied into unix_address, anything else is left
// unresolved. A name whose previous lookup succeeded for the same
// transport and family keeps that lookup, its ports set to port. 1, or
// KUVNET_RESULT_NO_MEMORY, KUVNET_RESULT_LOOKUP_FAILED,
// KUVNET_RESULT_PATH_TOO_LONG (also stored in error_code).
uint32_t resolve_address(kuvnet *handle, kuvnet_address *record, const char *name, int32_t port);
// The same for a lookup the caller may follow with another way: a failure
// leaves the handle's error_code as it was, so that a later success does
// not find a failure recorded.
uint32_t try_resolve_address(kuvnet *handle, kuvnet_address *record, const char *name,
                             int32_t port);

// ---- failures -----------------------------------------------------------

// Stores code in the handle's error_code and returns it.
inline uint32_t fail(kuvnet *handle, uint32_t code) {
    handle->error_code = code;
    return code;
}

// ---- traces -------------------------------------------------------------

// Prints "kuv: [MESSAGE] <what> (error_code=..., protocol_type=...,
// local_name=..., peer_name=..., port=...)" when debug_level is above
// kTraceLifecycle (or the given threshold).
void trace_handle(const kuvnet *handle, const char *what, int32_t threshold = kTraceLifecycle);

}  // namespace kuv::net

#endif  // KUV_KUVNET_INTERNAL_H
