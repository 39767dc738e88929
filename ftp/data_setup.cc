// Setting up the data connection: passive (PASV/EPSV, the client connects)
// and active (PORT/EPRT, the server connects to the client's listener).
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"
#include "ftp/passive_reply.h"
#include "sysio/address_bytes.h"

namespace kuv::ftp {
namespace {

using sysio::address_bytes;

constexpr size_t kIpv6TextSize = 64;

sockaddr *as_address(sockaddr_storage *storage) {
    return reinterpret_cast<sockaddr *>(storage);
}

bool control_peer(const kuv_ftp_t *ftp, sockaddr_storage *peer) {
    uint32_t length = sizeof *peer;
    return kuv_xapi_getpeername(ftp->control_socket, as_address(peer), &length) == 1;
}

// The address as text for an endpoint's name, into text; false when it
// does not fit. A link-local IPv6 address keeps its interface as a numeric
// scope ("fe80::1%2"): without one it names no link, and a connect to it
// or a bind to it fails.
bool endpoint_name_of(const sockaddr_storage &address, char *text, size_t size) {
    const std::span<const uint8_t> bytes = address_bytes(address);
    if (bytes.empty() || !kuv_xapi_inet_ntop(address.ss_family, bytes.data(), text, size))
        return false;
    const uint32_t scope = address.ss_family == AF_INET6
                               ? reinterpret_cast<const sockaddr_in6 &>(address).sin6_scope_id
                               : 0;
    if (scope == 0) return true;
    const size_t length = std::strlen(text);
    const int32_t added = kuv_xapi_snprintf(text + length, size - length, "%%%u", scope);
    return added > 0 && static_cast<size_t>(added) < size - length;
}

// The control connection's peer as text, into area; false when it cannot
// be had.
bool control_peer_text(const kuv_ftp_t *ftp, char (&area)[kAddressAreaSize], uint32_t &family) {
    sockaddr_storage peer;
    if (!control_peer(ftp, &peer)) return false;
    family = peer.ss_family;
    return endpoint_name_of(peer, area, sizeof area);
}

// Makes and connects the passive data endpoint. A failed step stops the
// steps; the missing connection shows when the transfer is answered or
// read.
void connect_passive(kuv_ftp_t *ftp, const char *address, uint32_t family, int32_t port) {
    if (ftp->data_endpoint) KUV_FTP_SLOT(ftp, close_data);
    if (kuv_xapi_kuvnet_init_with_version(&ftp->data_endpoint, 1, kCoreVersion) != 1) return;
    std::printf("kuv init : OK\n");
    kuvnet *endpoint = ftp->data_endpoint;
    endpoint->debug_level = kEndpointDebugLevel;
    endpoint->protocol_type = family == AF_INET6 ? kTcpIpv6 : kTcpIpv4;
    endpoint->is_server = 0;
    endpoint->local_name[0] = '\0';
    kuv_xapi_copy_string_limit(endpoint->peer_name, address, KUVNET_NAME_SIZE - 1);
    endpoint->port = port > 0 ? port : kDefaultDataPort;
    if (kuv_xapi_kuvnet_create(endpoint) != 1) return;
    std::printf("kuv create : OK\n");
    if (kuv_xapi_kuvnet_connect(endpoint) != 1) return;
    std::printf("kuv connect : OK\n");
    ftp->endpoint_socket = ftp->data_socket = endpoint->socket;
}

// Acts on one 227 or 229 line: true when it was understood (whether or not
// the connection could then be made).
bool act_on_passive_reply(kuv_ftp_t *ftp, int32_t code) {
    if (!ftp->reply_text) return false;
    const PassiveReply parsed =
        code == reply::kPassive ? parse_227(ftp->reply_text) : parse_229(ftp->reply_text);
    if (!parsed.usable) return false;
    const int32_t port = ftp->data_port > 0 ? ftp->data_port : static_cast<int32_t>(parsed.port);
    // The data connection goes to the server the control connection talks
    // to. The address a 227 names is not followed: it would let a server
    // point the client at any third host and port.
    char peer[kAddressAreaSize] = {};
    uint32_t family = 0;
    if (!control_peer_text(ftp, peer, family)) return true;
    connect_passive(ftp, peer, family, port);
    return true;
}

// Where the active listener is announced: the control connection's local
// address (the one the server reaches the client by) and the listener's
// port.
struct ListenerAddress {
    char ipv6_text[kIpv6TextSize] = {};
    uint32_t ipv4 = 0;  // host order
    uint32_t port = 0;
};

bool take_address(const kuv_ftp_t *ftp, const sockaddr_storage &local, ListenerAddress &place) {
    if (ftp->family == kFamilyIpv6) {
        if (local.ss_family != AF_INET6) return false;
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(local);
        // An IPv4 server reached at its IPv4-mapped address talks IPv4 and
        // refuses an EPRT of the IPv6 family: it is told the IPv4 address.
        if (IN6_IS_ADDR_V4MAPPED(&ipv6.sin6_addr)) {
            uint32_t ipv4;
            std::memcpy(&ipv4, ipv6.sin6_addr.s6_addr + 12, sizeof ipv4);
            place.ipv4 = kuv_xapi_bedword_value(ipv4);
            return place.ipv4 != 0;
        }
        return kuv_xapi_inet_ntop(AF_INET6, &ipv6.sin6_addr, place.ipv6_text,
                                  sizeof place.ipv6_text) != nullptr;
    }
    if (local.ss_family != AF_INET) return false;
    const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(local);
    place.ipv4 = kuv_xapi_bedword_value(ipv4.sin_addr.s_addr);
    return place.ipv4 != 0;
}

ListenerAddress listener_address(const kuv_ftp_t *ftp) {
    ListenerAddress place;
    sockaddr_storage local;
    uint32_t length = sizeof local;
    bool have_address =
        kuv_xapi_getsockname(ftp->control_socket, as_address(&local), &length) == 1 &&
        take_address(ftp, local, place);
    length = sizeof local;
    if (kuv_xapi_getsockname(ftp->endpoint_socket, as_address(&local), &length) == 1) {
        const auto &any = reinterpret_cast<const sockaddr_in &>(local);
        place.port = kuv_xapi_beword_value(any.sin_port);
        if (!have_address) take_address(ftp, local, place);
    }
    return place;
}

// The control connection's local address as text, for the listener to
// bind to: a listener on every interface would take a connection from any
// host that finds the port first.
void control_local_text(const kuv_ftp_t *ftp, char *place, size_t size) {
    place[0] = '\0';
    sockaddr_storage local;
    uint32_t length = sizeof local;
    if (kuv_xapi_getsockname(ftp->control_socket, as_address(&local), &length) != 1 ||
        !endpoint_name_of(local, place, size))
        place[0] = '\0';
}

bool open_listener(kuv_ftp_t *ftp) {
    const uint32_t initialised =
        kuv_xapi_kuvnet_init_with_version(&ftp->data_endpoint, 1, kCoreVersion);
    if (initialised != 1) {
        std::fprintf(stderr, "can not init : %08XH\n", initialised);
        return false;
    }
    std::printf("init : OK\n");
    kuvnet *endpoint = ftp->data_endpoint;
    endpoint->debug_level = kListenerDebugLevel;
    endpoint->protocol_type = ftp->family == kFamilyIpv4   ? kTcpIpv4
                              : ftp->family == kFamilyIpv6 ? kTcpIpv6
                                                           : kTcpAnyFamily;
    endpoint->is_server = 1;
    endpoint->use_accept_timeout = 1;
    control_local_text(ftp, endpoint->local_name, KUVNET_NAME_SIZE);
    endpoint->peer_name[0] = '\0';
    endpoint->port = 0;
    endpoint->timeout = 0;
    if (kuv_xapi_kuvnet_create(endpoint) != 1) {
        std::fprintf(stderr, "can not create : %08XH\n", endpoint->error_code);
        return false;
    }
    std::printf("create : OK\n");
    ftp->endpoint_socket = endpoint->socket;
    return true;
}

bool announce_listener(kuv_ftp_t *ftp) {
    const ListenerAddress place = listener_address(ftp);
    const unsigned long port = place.port;
    if (ftp->family == kFamilyIpv6 && place.ipv6_text[0] != '\0' && port != 0) {
        KUV_FTP_SLOT(ftp, queue_command, "EPRT |2|%s|%lu|\r\n", place.ipv6_text, port);
    } else if (port != 0 && place.ipv4 != 0) {
        const uint32_t a = place.ipv4;
        KUV_FTP_SLOT(ftp, queue_command, "PORT %lu,%lu,%lu,%lu,%lu,%lu\r\n",
                     static_cast<unsigned long>(a >> 24), static_cast<unsigned long>(a >> 16 & 255),
                     static_cast<unsigned long>(a >> 8 & 255), static_cast<unsigned long>(a & 255),
                     port / 256, port % 256);
    }
    if (KUV_FTP_SLOT(ftp, send_commands) != 1) return false;
    bool accepted = false;
    wait_reply(ftp, control_wait_of(ftp), [&](int32_t code) {
        if (code == reply::kOk) accepted = true;
    });
    return accepted;
}

}  // namespace

bool is_control_peer(const kuv_ftp_t *ftp, const sockaddr_storage &address) {
    sockaddr_storage peer;
    if (!control_peer(ftp, &peer) || peer.ss_family != address.ss_family) return false;
    const std::span<const uint8_t> bytes = address_bytes(address);
    return !bytes.empty() && std::ranges::equal(bytes, address_bytes(peer));
}

int32_t passive_setup(kuv_ftp_t *ftp) {
    const char *command = ftp->family == kFamilyIpv6 ? "EPSV\r\n" : "PASV\r\n";
    if (KUV_FTP_SLOT(ftp, queue_command, command) != 1 || KUV_FTP_SLOT(ftp, send_commands) != 1) {
        KUV_FTP_SLOT(ftp, close_data);
        return 0;
    }
    // Only the first passive reply is acted on: each further one would make
    // another data connection in place of the first.
    bool handled = false;
    wait_reply(ftp, control_wait_of(ftp), [&](int32_t code) {
        if (handled || (code != reply::kPassive && code != reply::kExtendedPassive)) return;
        handled = act_on_passive_reply(ftp, code);
    });
    // Without the connection the transfer command is not sent: a server
    // that waits for the connection before it answers would answer only
    // after the reply wait gave up, and every later command would then be
    // judged by the reply to the one before it.
    if (handled && ftp->endpoint_socket != -1) return 1;
    KUV_FTP_SLOT(ftp, close_data);
    return 0;
}

int32_t active_setup(kuv_ftp_t *ftp) {
    KUV_FTP_SLOT(ftp, close_data);
    if (ftp->passive != 0) {
        KUV_FTP_SLOT(ftp, close_data);
        return 0;
    }
    if (open_listener(ftp) && announce_listener(ftp)) return 1;
    KUV_FTP_SLOT(ftp, close_data);
    return 0;
}

}  // namespace kuv::ftp
