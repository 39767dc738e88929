// Multicast membership of a receiver: the group joined on every interface
// address of its family, or once per source address for a source-specific
// receiver.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "kuvnet/endpoint_steps.h"
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/nic_internal.h"

namespace kuv::net {

namespace {

// The interface snapshot, freed on every path out; whole when no piece of
// it was left out for want of memory.
struct NicList {
    const uint64_t refusals_before = t_nic_refusals;
    nic *head = kuv_xapi_open_nic();
    const bool whole = t_nic_refusals == refusals_before;
    NicList() = default;
    ~NicList() { kuv_xapi_close_nic(head); }
    NicList(const NicList &) = delete;
    NicList &operator=(const NicList &) = delete;
};

const char *family_name(int family) {
    return family == AF_INET ? "ipv4" : "ipv6";
}

void trace_join(const kuvnet *handle, int family, const char *interface_text,
                const kuvnet_address *source) {
    if (handle->debug_level <= kTraceLifecycle) return;
    // The plain join's line has no closing parenthesis; readers of existing
    // logs match it as it stands.
    if (!source) {
        std::printf("kuv: [MESSAGE] %s multicast join (interface=\"%s\", multicast=\"%s\"\n",
                    family_name(family), kuv_xapi_check_string(interface_text), handle->peer_name);
        return;
    }
    std::printf(
        "kuv: [MESSAGE] %s multicast join source (interface=\"%s\", multicast=\"%s\", "
        "source=\"%s\")\n",
        family_name(family), kuv_xapi_check_string(interface_text), handle->peer_name,
        kuv_xapi_check_string(source->name));
}

// One interface address of the group's family: its text, its index (IPv6;
// IPv4 entries carry none) and its address bytes.
struct InterfaceAddress {
    const char *text;
    uint32_t index;
    const uint8_t *bytes;
};

// Joins the group on one interface address; with sources, once for every
// source address of the group's family. The number of joins made.
uint32_t join_on(const kuvnet *handle, const struct addrinfo *group, const InterfaceAddress &at) {
    uint32_t joined = 0;
    const int family = group->ai_family;
    if (!handle->source_list) {
        int32_t done;
        if (family == AF_INET) {
            uint32_t interface_address;
            std::memcpy(&interface_address, at.bytes, sizeof interface_address);
            const auto *ipv4 = reinterpret_cast<const struct sockaddr_in *>(group->ai_addr);
            done = kuv_xapi_ipv4_multicast_join(handle->socket, ipv4->sin_addr.s_addr,
                                                interface_address, 1);
        } else {
            const auto *ipv6 = reinterpret_cast<const struct sockaddr_in6 *>(group->ai_addr);
            done =
                kuv_xapi_ipv6_multicast_join(handle->socket, ipv6->sin6_addr.s6_addr, at.index, 1);
        }
        if (done == 1) {
            trace_join(handle, family, at.text, nullptr);
            ++joined;
        }
        return joined;
    }
    for (const kuvnet_address *source = handle->source_list; source; source = source->next) {
        for (const struct addrinfo *address = source->addresses; address;
             address = address->ai_next) {
            if (address->ai_family != family || !address->ai_addr) continue;
            // The IPv4 request leaves the interface to the system's route
            // to the group.
            const int32_t done =
                family == AF_INET
                    ? kuv_xapi_ipv4_multicast_join_source(handle->socket, 0, group->ai_addr,
                                                          address->ai_addr, 1)
                    : kuv_xapi_ipv6_multicast_join_source(handle->socket, at.index, group->ai_addr,
                                                          address->ai_addr, 1);
            if (done == 1) {
                trace_join(handle, family, at.text, source);
                ++joined;
            }
        }
    }
    return joined;
}

// The receiver is bound to the wildcard with the group's port. The system
// would hand it every datagram to that port of every group any socket of
// the host has joined; it is left with the groups it joins itself. A
// system without the option keeps its own behaviour.
void hear_own_groups_only(const kuvnet *handle, int family) {
    const int32_t all = 0;
    if (family == AF_INET)
        kuv_xapi_setsockopt(handle->socket, IPPROTO_IP, IP_MULTICAST_ALL, &all, sizeof all);
    else
        kuv_xapi_setsockopt(handle->socket, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &all, sizeof all);
}

}  // namespace

uint32_t join_multicast_group(kuvnet *handle, const struct addrinfo *group) {
    hear_own_groups_only(handle, group->ai_family);
    NicList interfaces;
    // A join on the interfaces that memory allowed would answer for a
    // group heard on only some of them.
    if (!interfaces.whole) return fail(handle, KUVNET_RESULT_NO_MEMORY);
    if (!interfaces.head) return fail(handle, KUVNET_RESULT_MULTICAST_JOIN);
    uint32_t joined = 0;
    for (const nic *device = interfaces.head; device; device = device->next) {
        if (group->ai_family == AF_INET) {
            for (const nic_ipv4 *entry = device->ipv4_list; entry; entry = entry->next)
                joined += join_on(handle, group, {entry->address_text, 0, entry->address});
        } else if (group->ai_family == AF_INET6) {
            for (const nic_ipv6 *entry = device->ipv6_list; entry; entry = entry->next)
                joined +=
                    join_on(handle, group, {entry->address_text, entry->if_index, entry->address});
        }
    }
    if (joined == 0) return fail(handle, KUVNET_RESULT_MULTICAST_JOIN);
    return KUV_RESULT_OK;
}

}  // namespace kuv::net
