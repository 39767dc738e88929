// Socket options: the system's getsockopt and setsockopt, the library's
// setters and the hop limit.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>

#include "davro_kuv/sysio.h"
#include "sysio/socket_internal.h"

namespace {

// Sets a 32-bit option: 1 done, 0 failed.
int32_t set_int_option(int32_t socket, int level, int option, int value) {
    return ::setsockopt(socket, level, option, &value, sizeof value) == 0 ? 1 : 0;
}

// Arguments named "on" count as true only when they equal 1.
int flag_of(int32_t on) {
    return on == 1 ? 1 : 0;
}

}  // namespace

extern "C" {

int32_t kuv_xapi_getsockopt(int32_t socket, int32_t level, int32_t option, void *value,
                            uint32_t *value_length) {
    if (kuv::sysio::no_socket(socket)) return -1;
    return ::getsockopt(socket, level, option, value, reinterpret_cast<socklen_t *>(value_length));
}

int32_t kuv_xapi_setsockopt(int32_t socket, int32_t level, int32_t option, const void *value,
                            uint32_t value_length) {
    if (kuv::sysio::no_socket(socket)) return -1;
    return ::setsockopt(socket, level, option, value, value_length);
}

int32_t kuv_xapi_set_tx_buffer_socket(int32_t socket, int32_t size) {
    if (kuv::sysio::no_socket(socket)) return -1;
    return set_int_option(socket, SOL_SOCKET, SO_SNDBUF, size);
}

int32_t kuv_xapi_set_rx_buffer_socket(int32_t socket, int32_t size) {
    if (kuv::sysio::no_socket(socket)) return -1;
    return set_int_option(socket, SOL_SOCKET, SO_RCVBUF, size);
}

int32_t kuv_xapi_set_no_delay_tcp_socket(int32_t socket, int32_t on) {
    if (kuv::sysio::no_socket(socket)) return -1;
    return set_int_option(socket, IPPROTO_TCP, TCP_NODELAY, flag_of(on));
}

int32_t kuv_xapi_set_non_block_socket(int32_t socket, int32_t on) {
    if (kuv::sysio::no_socket(socket)) return -1;
    int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) return 0;
    flags = on == 1 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(socket, F_SETFL, flags) == 0 ? 1 : 0;
}

int32_t kuv_xapi_set_reuse_socket(int32_t socket, int32_t on) {
    if (kuv::sysio::no_socket(socket)) return 0;
    return set_int_option(socket, SOL_SOCKET, SO_REUSEADDR, flag_of(on));
}

int32_t kuv_xapi_set_broadcast_socket(int32_t socket, int32_t on) {
    if (kuv::sysio::no_socket(socket)) return 0;
    return set_int_option(socket, SOL_SOCKET, SO_BROADCAST, flag_of(on));
}

int32_t kuv_xapi_set_linger_socket(int32_t socket, int32_t on, int32_t seconds) {
    if (kuv::sysio::no_socket(socket)) return 0;
    struct linger setting = {};
    setting.l_onoff = flag_of(on);
    setting.l_linger = on == 1 ? seconds : 0;
    return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &setting, sizeof setting) == 0 ? 1 : 0;
}

int32_t kuv_xapi_hops_socket(int32_t family, int32_t socket, int32_t hops, int32_t multicast) {
    if (kuv::sysio::no_socket(socket)) return -1;
    family &= 0xFFFF;
    if (family == 0) {
        struct sockaddr_storage own = {};
        uint32_t length = sizeof own;
        if (kuv_xapi_getsockname(socket, reinterpret_cast<struct sockaddr *>(&own), &length) != 1)
            return 0;
        family = own.ss_family;
    }
    int level;
    int option;
    if (family == AF_INET) {
        level = IPPROTO_IP;
        option = multicast == 1 ? IP_MULTICAST_TTL : IP_TTL;
    } else if (family == AF_INET6) {
        level = IPPROTO_IPV6;
        option = multicast == 1 ? IPV6_MULTICAST_HOPS : IPV6_UNICAST_HOPS;
    } else {
        errno = EAFNOSUPPORT;
        return -1;
    }
    if (hops >= 0) return set_int_option(socket, level, option, hops);
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(socket, level, option, &value, &length) != 0) return 0;
    return value;
}

}  // extern "C"
