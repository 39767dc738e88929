// Steps that create, connect and accept share: the wildcard names, one
// socket per resolved entry, binding the first entry that accepts, and
// reading back the port the system chose.
#ifndef KUV_KUVNET_ENDPOINT_STEPS_H
#define KUV_KUVNET_ENDPOINT_STEPS_H

#include <netdb.h>

#include <cstdint>

#include "davro_kuv/kuvnet.h"

namespace kuv::net {

// Backlog of every listening socket.
inline constexpr int32_t kListenBacklog = 128;
// Hop limit of UDP sockets whose handle leaves hops negative.
inline constexpr int32_t kDefaultHopLimit = 64;

// The passive side binds (and listens), accepts, and never connects.
inline bool is_passive(const kuvnet *handle) {
    return handle->is_server == 1;
}

// The wildcard address text for the family code of protocol_type: IPv4 for
// 4, IPv6 for 6, and for either family IPv6 when the host supports it (an
// IPv6 wildcard socket also takes IPv4 traffic).
const char *wildcard_for_type(uint32_t type);
// The wildcard of an entry's family, or NULL for a family other than IPv4
// and IPv6.
const char *wildcard_for_family(int family);

// A socket of the entry's family, type and protocol, or -1. type_flags
// (SOCK_NONBLOCK, ...) are added to the type.
int32_t open_entry_socket(const struct addrinfo *entry, int32_t type_flags = 0);
// Binds socket (of the family given) to the first entry of list of that
// family that accepts it; that entry, or NULL when none does. Entries of
// another family are passed over: a raw IPv4 socket would take an IPv6
// socket address without complaint, read its flow information as the IPv4
// address and so bind to the wildcard.
const struct addrinfo *bind_first(int32_t socket, int family, const struct addrinfo *list);

// When port asks for any port (below 1), stores the port the system bound
// the handle's socket to.
void read_back_port(kuvnet *handle);

// The handle's I/O time-out as the socket calls take it: 0xFFFFFFFF (and
// anything above the signed range) waits without limit.
inline int32_t timeout_msec(const kuvnet *handle) {
    return static_cast<int32_t>(handle->timeout);
}

// ---- create by transport --------------------------------------------------

uint32_t create_udp(kuvnet *handle);
uint32_t create_tcp_listener(kuvnet *handle);
uint32_t create_unix_listener(kuvnet *handle);
// Joins the group (a resolved peer entry) on every interface address of its
// family, per source when the handle has sources. 1 when at least one join
// was made, else KUVNET_RESULT_MULTICAST_JOIN (stored).
uint32_t join_multicast_group(kuvnet *handle, const struct addrinfo *group);

}  // namespace kuv::net

#endif  // KUV_KUVNET_ENDPOINT_STEPS_H
