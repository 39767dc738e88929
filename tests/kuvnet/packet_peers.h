// Endpoints for the packet and message tests without create or connect:
// handles around socket-pair ends or UDP sockets on 127.0.0.1, messages
// with a pattern, wire bytes from hex text, and a heap handler that records
// the largest request.
#ifndef KUV_TESTS_KUVNET_PACKET_PEERS_H
#define KUV_TESTS_KUVNET_PACKET_PEERS_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace kuv_test {

using Bytes = std::vector<uint8_t>;

// A handle that owns one socket (or none: -1) until the end of the scope.
class PacketEndpoint {
  public:
    PacketEndpoint(uint32_t type, int socket) {
        EXPECT_EQ(kuv_xapi_kuvnet_init(&handle_, 0), 1u);
        handle_->protocol_type = type;
        handle_->socket = socket;
        handle_->timeout = 10000;
    }
    ~PacketEndpoint() { kuv_xapi_kuvnet_delete(&handle_); }
    PacketEndpoint(const PacketEndpoint &) = delete;
    PacketEndpoint &operator=(const PacketEndpoint &) = delete;
    kuvnet *operator->() const { return handle_; }
    kuvnet *get() const { return handle_; }

    // Points the peer at address, as a received datagram does.
    void aim_at(const sockaddr_in &address) {
        std::memcpy(&handle_->peer_address.unix_address, &address, sizeof address);
        handle_->peer_address.selected =
            reinterpret_cast<sockaddr *>(&handle_->peer_address.unix_address);
    }

  private:
    kuvnet *handle_ = nullptr;
};

inline void stream_pair(int sockets[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
}

// A UDP socket bound to 127.0.0.1 at a free port, with room for a whole
// message nobody reads yet.
inline sockaddr_in bound_udp(int *socket_out) {
    *socket_out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(*socket_out, reinterpret_cast<sockaddr *>(&address), length), 0);
    getsockname(*socket_out, reinterpret_cast<sockaddr *>(&address), &length);
    int room = 1 << 20;
    setsockopt(*socket_out, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    return address;
}

// A pattern that shows a shifted or repeated piece.
inline Bytes message_bytes(size_t size, uint32_t seed = 7) {
    Bytes bytes(size);
    for (size_t index = 0; index < size; ++index)
        bytes[index] = static_cast<uint8_t>(index * 131 + seed + index / 251);
    return bytes;
}

inline packet_info message_info(uint32_t src, uint32_t dst, Bytes &bytes, uint32_t cmd_type = 3,
                                uint32_t cmd_id = 4) {
    packet_info info{};
    info = {src,          dst,          cmd_type, cmd_id, static_cast<int64_t>(bytes.size()), 0, 0,
            bytes.data(), bytes.size(), 0,        0};
    return info;
}

// "4B564D58 0100" -> bytes; blanks are ignored.
inline Bytes hex(const std::string &text) {
    Bytes bytes;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t at = 0; at + 1 < digits.size(); at += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(at, 2), nullptr, 16)));
    return bytes;
}

inline Bytes concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes body_of(const packet_info &info) {
    return info.data ? Bytes(info.data, info.data + info.size) : Bytes{};
}

// Routes the tracked heap through the checking heap and records the largest
// single request while installed: what a receiver commits to for a claim.
class LargestRequest {
  public:
    LargestRequest() {
        largest_ = 0;
        kuv_xapi_set_heap_handler(&LargestRequest::handler, &previous_);
    }
    ~LargestRequest() { kuv_xapi_set_heap_handler(previous_, nullptr); }
    uint64_t largest() const { return largest_; }

  private:
    static void *handler(void *pointer, uint64_t size) {
        uint64_t seen = largest_;
        while (size > seen && !largest_.compare_exchange_weak(seen, size)) {
        }
        return kuv_xapi_heap_debug(pointer, size);
    }
    static inline std::atomic<uint64_t> largest_{0};
    kuv_heap_handler_t previous_ = nullptr;
};

}  // namespace kuv_test

#endif  // KUV_TESTS_KUVNET_PACKET_PEERS_H
