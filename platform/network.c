#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <string.h>
#include <sys/socket.h>

#include "sorvan_vkl.h"

static uint32_t g_network_starts;

int32_t sorvan_init_network(void) {
    __atomic_add_fetch(&g_network_starts, 1u, __ATOMIC_ACQ_REL);
    return 0;
}

int32_t sorvan_uninit_network(void) {
    uint32_t starts = __atomic_load_n(&g_network_starts, __ATOMIC_ACQUIRE);
    while (starts > 0) {
        if (__atomic_compare_exchange_n(&g_network_starts, &starts, starts - 1, 0, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            return 0;
    }
    return -1;
}

int32_t sorvan_get_protocol_by_name(const char *name) {
    if (!name) return -1;
    /* The usual names are answered without /etc/protocols, which minimal
     * systems lack. */
    static const struct {
        const char *name;
        int32_t number;
    } known[] = {{"ip", 0},    {"icmp", 1},  {"tcp", 6},        {"udp", 17},
                 {"ipv6", 41}, {"raw", 255}, {"ipv6-icmp", 58}, {"icmpv6", 58}};
    for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (strcmp(known[i].name, name) == 0) return known[i].number;
    struct protoent entry;
    struct protoent *found = NULL;
    char scratch[1024];
    if (getprotobyname_r(name, &entry, scratch, sizeof scratch, &found) == 0 && found)
        return found->p_proto;
    return -1;
}

int32_t sorvan_inet_multicast_join(int32_t socket, uint32_t group, uint32_t interface,
                                   int32_t join) {
    struct ip_mreq request;
    memset(&request, 0, sizeof request);
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = interface;
    int option = join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP;
    return setsockopt(socket, IPPROTO_IP, option, &request, sizeof request) == 0 ? 0 : -1;
}

int32_t sorvan_inet6_multicast_join(int32_t socket, const uint8_t group[16],
                                    uint32_t interface_index, int32_t join) {
    if (!group) return -1;
    struct ipv6_mreq request;
    memset(&request, 0, sizeof request);
    memcpy(&request.ipv6mr_multiaddr, group, 16);
    request.ipv6mr_interface = interface_index;
    int option = join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP;
    return setsockopt(socket, IPPROTO_IPV6, option, &request, sizeof request) == 0 ? 0 : -1;
}

int32_t sorvan_reload_resolver(void) {
    return res_init() == 0 ? 0 : -1;
}
