// Endpoints for the packet and transfer tests without create or connect:
// handles around both ends of a socket pair (stream types) or around two
// UDP sockets on 127.0.0.1 that point at each other, messages with a
// pattern, and a heap handler that records the largest request.
#ifndef KUV_TESTS_KUVNET_PACKET_PEERS_H
#define KUV_TESTS_KUVNET_PACKET_PEERS_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace kuv_test {

// A handle that owns one socket; deleted (and its socket closed) at the end
// of the scope.
class PacketEndpoint {
  public:
    PacketEndpoint(uint32_t type, int socket) {
        EXPECT_EQ(kuv_xapi_kuvnet_init(&handle_, 0), 1u);
        handle_->protocol_type = type;
        handle_->socket = socket;
        handle_->timeout = 10000;
    }
    ~PacketEndpoint() {
        if (handle_) kuv_xapi_kuvnet_delete(&handle_);
    }
    PacketEndpoint(const PacketEndpoint &) = delete;
    PacketEndpoint &operator=(const PacketEndpoint &) = delete;

    kuvnet *operator->() const { return handle_; }
    kuvnet *get() const { return handle_; }

    // Points the handle's peer at address (as received datagrams do).
    void aim_at(const sockaddr_in &address) {
        std::memcpy(&handle_->peer_address.unix_address, &address, sizeof address);
        handle_->peer_address.selected =
            reinterpret_cast<sockaddr *>(&handle_->peer_address.unix_address);
    }

  private:
    kuvnet *handle_ = nullptr;
};

// Both ends of an AF_UNIX stream pair: [0] in handle `near`, [1] either in
// handle `far` or kept raw for a scripted peer.
inline void stream_sockets(int sockets[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
}

inline sockaddr_in bound_udp(int *socket_out) {
    int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    // Room for a whole message of datagrams that nobody reads yet.
    int buffer = 1 << 20;
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    *socket_out = socket;
    return address;
}

// Message bytes: a pattern that shows a shifted or repeated piece.
inline std::vector<uint8_t> message_bytes(size_t size, uint32_t seed = 7) {
    std::vector<uint8_t> bytes(size);
    for (size_t index = 0; index < size; ++index)
        bytes[index] = static_cast<uint8_t>((index * 131 + seed + index / 251) & 0xFF);
    return bytes;
}

inline packet_info message_info(uint32_t src, uint32_t dst, std::vector<uint8_t> &bytes,
                                uint32_t cmd_type = 3, uint32_t cmd_id = 4) {
    packet_info info{};
    info.src_id = src;
    info.dst_id = dst;
    info.cmd_type = cmd_type;
    info.cmd_id = cmd_id;
    info.total_size = static_cast<int64_t>(bytes.size());
    info.data = bytes.data();
    info.size = bytes.size();
    return info;
}

// Writes all bytes to a raw socket.
inline void write_all(int socket, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::send(socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(wrote, 0);
        done += static_cast<size_t>(wrote);
    }
}

// Reads exactly `count` bytes from a raw socket (empty on a close first).
inline std::vector<uint8_t> read_exactly(int socket, size_t count) {
    std::vector<uint8_t> bytes(count);
    size_t done = 0;
    while (done < count) {
        ssize_t got = ::recv(socket, bytes.data() + done, count - done, 0);
        if (got <= 0) return {};
        done += static_cast<size_t>(got);
    }
    return bytes;
}

// Routes the tracked heap through the checking heap and records the largest
// single request (allocation or resize) while installed: what a receiver
// commits to for a peer's claim.
class LargestRequest {
  public:
    LargestRequest() {
        largest_ = 0;
        kuv_xapi_set_heap_handler(&LargestRequest::handler, &previous_);
    }
    ~LargestRequest() { kuv_xapi_set_heap_handler(previous_, nullptr); }
    LargestRequest(const LargestRequest &) = delete;
    LargestRequest &operator=(const LargestRequest &) = delete;
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
