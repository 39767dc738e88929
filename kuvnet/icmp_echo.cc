// ICMP and ICMPv6 echo over raw sockets, and the Internet checksum.
//
// An echo request is 8 header bytes (type, code 0, checksum, identifier and
// sequence in network order) and the payload. Each address of the created
// handle's peer gets its own raw socket; the first address whose reply
// carries the requested sequence ends the search. Replies are told apart by
// the identifier, the low 16 bits of the process identifier, since a raw
// socket sees every ICMP message that reaches the host.
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "kuvnet/endpoint_steps.h"
#include "kuvnet/kuvnet_internal.h"
#include "runtime/guards.h"
#include "sysio/address_bytes.h"
#include "sysio/descriptor_guard.h"
#include "sysio/wait.h"

namespace kuv::net {

namespace {

constexpr uint64_t kEchoHeaderSize = 8;
// Room behind the request for what a reply adds: an IPv4 header of up to
// 60 bytes, plus slack.
constexpr uint64_t kReplyRoom = 68;
// An IP payload length field describes at most this many bytes: a larger
// echo can never be sent.
constexpr uint64_t kLargestEcho = 65535;
constexpr uint64_t kSmallestIpv4Header = 20;
constexpr uint32_t kNoReply = 0xFFFFFFFFu;
constexpr size_t kAddressTextSize = 64;

// What differs between ICMP and ICMPv6 echoes.
struct EchoKind {
    int32_t protocol;
    uint8_t request_type;
    uint8_t reply_type;
    // Raw IPv4 sockets deliver the IP header in front of the message;
    // raw ICMPv6 sockets deliver the message alone.
    bool reply_has_ip_header;
};
constexpr EchoKind kIcmp{IPPROTO_ICMP, 8, 0, true};
constexpr EchoKind kIcmpv6{IPPROTO_ICMPV6, 128, 129, false};

const EchoKind *echo_kind(int family) {
    if (family == AF_INET) return &kIcmp;
    if (family == AF_INET6) return &kIcmpv6;
    return nullptr;
}

uint16_t get_be16(const uint8_t *bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}
void put_be16(uint8_t *bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

struct EchoRequest {
    uint16_t identifier;
    uint16_t sequence;
    const void *payload;  // null: payload_size zero bytes
    uint32_t payload_size;

    uint64_t size() const { return kEchoHeaderSize + payload_size; }

    void build(const EchoKind &kind, uint8_t *bytes) const {
        bytes[0] = kind.request_type;
        bytes[1] = 0;
        put_be16(bytes + 2, 0);
        put_be16(bytes + 4, identifier);
        put_be16(bytes + 6, sequence);
        if (payload) {
            std::memcpy(bytes + kEchoHeaderSize, payload, payload_size);
        } else {
            std::memset(bytes + kEchoHeaderSize, 0, payload_size);
        }
        // The checksum is summed and stored in memory order.
        uint16_t checksum = kuv_mapi_kuvnet_icmp_checksum(bytes, size());
        std::memcpy(bytes + 2, &checksum, sizeof checksum);
    }
};

enum class Verdict {
    kMatch,   // our reply: its sequence is the result
    kIgnore,  // anything else the host received: another process's echo
              // or reply, or an error about someone else's packet
    kStop,    // nothing came in time, or an error about this request
};

struct Reply {
    Verdict verdict;
    uint16_t sequence;
    int64_t icmp_length;  // received bytes less the IP header
};

// The host an echo went to. Only that host answers it, unless the address
// reaches many hosts (a multicast group) or none in particular (the
// unspecified address, which the local host answers from an address of its
// own): a reply that carries the identifier and the sequence from anywhere
// else answers another echo of this process (one to another host, from
// another thread), or was made up.
struct EchoTarget {
    std::span<const uint8_t> address;  // 4 or 16 bytes, in network order
    bool any_source = false;

    explicit EchoTarget(const struct sockaddr *to) : address(sysio::address_bytes(to)) {
        any_source =
            std::ranges::all_of(address, [](uint8_t byte) { return byte == 0; }) ||
            (address.size() == sizeof(in_addr) ? (address[0] & 0xF0) == 0xE0 : address[0] == 0xFF);
    }
    // Whether the address bytes at bytes (as many as this one has) may
    // name this echo's host.
    bool admits(const uint8_t *bytes) const {
        return any_source || std::memcmp(bytes, address.data(), address.size()) == 0;
    }
    bool admits(const struct sockaddr *from) const {
        return any_source || std::ranges::equal(sysio::address_bytes(from), address);
    }
};

// The error messages that quote the packet they concern.
bool is_error_report(const EchoKind &kind, uint8_t type) {
    if (kind.reply_has_ip_header)
        return type == ICMP_DEST_UNREACH || type == ICMP_TIME_EXCEEDED ||
               type == ICMP_PARAMETERPROB;
    return type == ICMP6_DST_UNREACH || type == ICMP6_PACKET_TOO_BIG ||
           type == ICMP6_TIME_EXCEEDED || type == ICMP6_PARAM_PROB;
}

// Whether an error message (its ICMP part) concerns this request. Behind
// the error's 8 header bytes comes the start of the offending packet: its
// IP header, with the destination it was sent to, then at least the 8
// header bytes of its ICMP message.
bool quotes_request(const EchoKind &kind, const EchoRequest &request, const EchoTarget &target,
                    const uint8_t *message, uint64_t length) {
    constexpr uint64_t kIpv6HeaderSize = 40;
    if (length < kEchoHeaderSize) return false;
    const uint8_t *quoted = message + kEchoHeaderSize;
    const uint64_t left = length - kEchoHeaderSize;
    uint64_t header = kIpv6HeaderSize;
    if (kind.reply_has_ip_header) {
        if (left < kSmallestIpv4Header || quoted[9] != IPPROTO_ICMP) return false;
        header = static_cast<uint64_t>(quoted[0] & 0x0F) * 4;
        if (header < kSmallestIpv4Header) return false;
    } else if (left < kIpv6HeaderSize || quoted[6] != IPPROTO_ICMPV6) {
        return false;
    }
    if (left < header + kEchoHeaderSize) return false;
    constexpr uint64_t kIpv4Destination = 16, kIpv6Destination = 24;
    if (!target.admits(quoted + (kind.reply_has_ip_header ? kIpv4Destination : kIpv6Destination)))
        return false;
    const uint8_t *echo = quoted + header;
    return echo[0] == kind.request_type && get_be16(echo + 4) == request.identifier &&
           get_be16(echo + 6) == request.sequence;
}

// A raw socket sees every ICMP message that reaches the host, so only our
// reply, or an error that quotes our request, ends the wait; everything
// else is someone else's and the wait goes on within its time-out.
Reply judge_reply(const EchoKind &kind, const EchoRequest &request, const EchoTarget &target,
                  const uint8_t *bytes, int64_t received, const struct sockaddr *from) {
    if (received <= 0) return {Verdict::kStop, 0, 0};
    uint64_t header = 0;
    if (kind.reply_has_ip_header) {
        if (received < static_cast<int64_t>(kSmallestIpv4Header)) return {Verdict::kIgnore, 0, 0};
        header = static_cast<uint64_t>(bytes[0] & 0x0F) * 4;
    }
    if (received < static_cast<int64_t>(header + kEchoHeaderSize)) return {Verdict::kIgnore, 0, 0};
    const uint8_t *message = bytes + header;
    const uint64_t length = static_cast<uint64_t>(received) - header;
    if (is_error_report(kind, message[0]))
        return {quotes_request(kind, request, target, message, length) ? Verdict::kStop
                                                                       : Verdict::kIgnore,
                0, 0};
    if (message[0] != kind.reply_type || length < request.size() ||
        get_be16(message + 4) != request.identifier || !target.admits(from))
        return {Verdict::kIgnore, 0, 0};
    return {Verdict::kMatch, get_be16(message + 6), static_cast<int64_t>(length)};
}

// A raw ICMPv6 socket receives all of the host's ICMPv6 traffic, also the
// neighbour discovery that goes before the first echo to an on-link host
// and the multicast listener reports of the links: each of those would end
// the wait for the reply it precedes. The socket is left with echoes and
// the error reports that may concern the request.
void pass_echoes_and_errors(int32_t socket) {
    struct icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    for (int type : {ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED, ICMP6_PARAM_PROB,
                     ICMP6_ECHO_REQUEST, ICMP6_ECHO_REPLY})
        ICMP6_FILTER_SETPASS(type, &filter);
    // Without the filter the echo still works when no such message comes.
    kuv_xapi_setsockopt(socket, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
}

// Binds to the first local address of the socket's family that accepts,
// when the handle names any. False when none does.
bool bind_local(kuvnet *handle, int32_t socket, int family) {
    kuvnet_address &local = handle->local_address;
    if (!local.addresses) return true;
    const struct addrinfo *bound = bind_first(socket, family, local.addresses);
    if (bound) local.selected = bound->ai_addr;
    return bound != nullptr;
}

// One echo to one address. Everything it opens is owned by a guard, so each
// early return closes the socket and frees the buffer exactly once.
void echo_address(kuvnet *handle, const struct addrinfo &entry, const EchoRequest &request,
                  uint32_t *result) {
    const EchoKind *kind = echo_kind(entry.ai_family);
    if (!kind || !entry.ai_addr) return;
    sysio::DescriptorGuard socket(
        kuv_xapi_open_socket(entry.ai_family, entry.ai_socktype | SOCK_CLOEXEC, kind->protocol));
    if (!socket) return;
    if (kind->protocol == IPPROTO_ICMPV6) pass_echoes_and_errors(socket.get());
    if (!bind_local(handle, socket.get(), entry.ai_family)) return;
    const uint64_t buffer_size = request.size() + kReplyRoom;
    TrackedBlock buffer(kuv_xapi_alloc(buffer_size));
    if (!buffer) return;
    auto *bytes = buffer.get<uint8_t>();
    request.build(*kind, bytes);

    const auto timeout = static_cast<int32_t>(handle->timeout);
    if (kuv_xapi_sendto(socket.get(), bytes, request.size(), entry.ai_addr, entry.ai_addrlen,
                        timeout) != static_cast<int32_t>(request.size()))
        return;
    // One time-out for the whole wait: replies to other processes' echoes
    // must not keep it going without end.
    sysio::Deadline deadline(timeout);
    const EchoTarget target(entry.ai_addr);
    for (;;) {
        struct sockaddr_storage from;
        uint32_t from_length = sizeof from;
        std::memset(&from, 0, sizeof from);
        int32_t received =
            kuv_xapi_recvfrom(socket.get(), bytes, buffer_size, reinterpret_cast<sockaddr *>(&from),
                              &from_length, deadline.remaining());
        Reply reply = judge_reply(*kind, request, target, bytes, received,
                                  reinterpret_cast<const sockaddr *>(&from));
        if (reply.verdict == Verdict::kIgnore) {
            // Past the time-out a receive still hands out what is queued: on
            // a host busy with other ICMP traffic that would never end.
            if (deadline.expired()) return;
            continue;
        }
        if (reply.verdict == Verdict::kStop) return;
        *result = reply.sequence;
        if (handle->debug_level > kTraceResolution) {
            char text[kAddressTextSize];
            if (!kuv_xapi_inet_stop(entry.ai_addr, text, sizeof text)) text[0] = '\0';
            std::printf("%ld bytes from %s (%s): seq=%d\n", static_cast<long>(reply.icmp_length),
                        handle->peer_name, text, static_cast<int>(*result));
        }
        return;
    }
}

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint16_t kuv_mapi_kuvnet_icmp_checksum(const void *bytes, uint64_t length) {
    const auto *at = static_cast<const uint8_t *>(bytes);
    if (!at) length = 0;
    // The words are added as they lie in memory, which gives the right sum
    // on either byte order as long as the result is stored the same way.
    // A 64-bit sum cannot lose carries however long the message is.
    uint64_t sum = 0;
    for (; length >= 2; at += 2, length -= 2) {
        uint16_t word;
        std::memcpy(&word, at, sizeof word);
        sum += word;
    }
    if (length == 1) {
        const uint8_t padded[2] = {at[0], 0};
        uint16_t word;
        std::memcpy(&word, padded, sizeof word);
        sum += word;
    }
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint32_t kuv_mapi_kuvnet_simple_ping(kuvnet *handle, const void *payload, uint32_t payload_size,
                                     uint32_t sequence) {
    uint32_t result = kNoReply;
    handle->local_address.selected = nullptr;
    handle->peer_address.selected = nullptr;
    const EchoRequest request{static_cast<uint16_t>(getpid()), static_cast<uint16_t>(sequence),
                              payload, payload_size};
    if (request.size() > kLargestEcho) return result;
    for (const struct addrinfo *entry = handle->peer_address.addresses; entry;
         entry = entry->ai_next) {
        handle->local_address.selected = nullptr;
        echo_address(handle, *entry, request, &result);
        if (result == sequence) break;
    }
    return result;
}

uint32_t kuv_xapi_kuvnet_simple_ping(kuvnet *handle, const void *payload, uint32_t payload_size,
                                     uint32_t sequence) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (handle->error_code != 0) return KUVNET_RESULT_RECORDED_FAILURE;
    return kuv_mapi_kuvnet_simple_ping(handle, payload, payload_size, sequence);
}

}  // extern "C"
