// Multicast membership: any-source joins through the platform layer and
// source-specific joins with the system's group-source request.
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "davro_kuv/sysio.h"
#include "platform/sorvan_vkl.h"

// The group-source request travels to the kernel as the interface index,
// padding up to the storages' alignment, then two socket-address storages:
// 264 bytes on 64-bit targets, 260 on i386.
static_assert(offsetof(struct group_source_req, gsr_interface) == 0);
static_assert(offsetof(struct group_source_req, gsr_group) == alignof(struct sockaddr_storage));
static_assert(offsetof(struct group_source_req, gsr_source) ==
              offsetof(struct group_source_req, gsr_group) + sizeof(struct sockaddr_storage));
static_assert(sizeof(struct group_source_req) ==
              offsetof(struct group_source_req, gsr_source) + sizeof(struct sockaddr_storage));
static_assert(MCAST_JOIN_SOURCE_GROUP == 46 && MCAST_LEAVE_SOURCE_GROUP == 47);
static_assert(IPPROTO_IP == 0 && IPPROTO_IPV6 == 41);

namespace {

// Joins or leaves a source-specific group; address_bytes of each socket
// address are copied (16 for IPv4, 28 for IPv6). 1 done, 0 failed.
int32_t change_source_membership(int32_t socket, int level, uint32_t interface_index,
                                 const struct sockaddr *group, const struct sockaddr *source,
                                 int32_t join, size_t address_bytes) {
    if (!group || !source) {
        errno = EINVAL;
        return 0;
    }
    struct group_source_req request;
    std::memset(&request, 0, sizeof request);
    request.gsr_interface = interface_index;
    std::memcpy(&request.gsr_group, group, address_bytes);
    std::memcpy(&request.gsr_source, source, address_bytes);
    int option = join == 1 ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP;
    return ::setsockopt(socket, level, option, &request, sizeof request) == 0 ? 1 : 0;
}

}  // namespace

extern "C" {

int32_t kuv_xapi_ipv4_multicast_join(int32_t socket, uint32_t group_address,
                                     uint32_t interface_address, int32_t join) {
    return sorvan_inet_multicast_join(socket, group_address, interface_address, join == 1) == 0 ? 1
                                                                                                : 0;
}

int32_t kuv_xapi_ipv6_multicast_join(int32_t socket, const void *group_address,
                                     uint32_t interface_index, int32_t join) {
    if (!group_address) {
        errno = EINVAL;
        return 0;
    }
    return sorvan_inet6_multicast_join(socket, static_cast<const uint8_t *>(group_address),
                                       interface_index, join == 1) == 0
               ? 1
               : 0;
}

int32_t kuv_xapi_ipv4_multicast_join_source(int32_t socket, uint32_t interface_index,
                                            const struct sockaddr *group,
                                            const struct sockaddr *source, int32_t join) {
    return change_source_membership(socket, IPPROTO_IP, interface_index, group, source, join,
                                    sizeof(struct sockaddr_in));
}

int32_t kuv_xapi_ipv6_multicast_join_source(int32_t socket, uint32_t interface_index,
                                            const struct sockaddr *group,
                                            const struct sockaddr *source, int32_t join) {
    return change_source_membership(socket, IPPROTO_IPV6, interface_index, group, source, join,
                                    sizeof(struct sockaddr_in6));
}

}  // extern "C"
