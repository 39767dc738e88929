// Helpers of the socket tests: loopback listeners and connected pairs that
// close themselves, a signal sent to the test thread after a delay, and a
// millisecond stopwatch.
#ifndef KUV_TESTS_SYSIO_SOCKET_TEST_SUPPORT_H
#define KUV_TESTS_SYSIO_SOCKET_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "davro_kuv.h"

namespace kuv_socket_test {

// A descriptor closed at the end of its scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int value) : fd(value) {}
    Fd(Fd &&other) noexcept : fd(other.fd) { other.fd = -1; }
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    operator int() const { return fd; }
};

inline sockaddr_in loopback4(uint16_t port = 0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A TCP listener on 127.0.0.1 with an ephemeral port.
struct Listener {
    Fd fd;
    sockaddr_in address{};
    explicit Listener(int backlog = 16) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        address = loopback4();
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(listen(fd, backlog), 0);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    }
    const sockaddr *addr() const { return reinterpret_cast<const sockaddr *>(&address); }
};

// A connected TCP pair over loopback: client and the accepted server end.
struct TcpPair {
    Listener listener;
    Fd client{socket(AF_INET, SOCK_STREAM, 0)};
    Fd server;
    TcpPair() {
        EXPECT_EQ(connect(client, listener.addr(), sizeof listener.address), 0);
        server.fd = accept(listener.fd, nullptr, nullptr);
        EXPECT_GE(server.fd, 0);
    }
};

// Fills a listener's accept queue (no one accepts) until a further
// connection stays pending; the queued clients are kept open.
struct FullBacklog {
    Listener listener{0};
    std::vector<Fd> queued;
    FullBacklog() {
        for (int i = 0; i < 16; ++i) {
            Fd client(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(client, listener.addr(), sizeof listener.address);
            pollfd watch{client.fd, POLLOUT, 0};
            bool done = poll(&watch, 1, 300) == 1;
            queued.push_back(std::move(client));
            if (!done) return;
        }
        ADD_FAILURE() << "accept queue never filled";
    }
};

inline bool is_blocking(int fd) {
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0;
}

inline bool ipv6_loopback_available() {
    Fd probe(socket(AF_INET6, SOCK_DGRAM, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    return probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

// Milliseconds since construction.
struct Stopwatch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    long elapsed_ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    }
};

// Sends SIGUSR1 to the constructing thread after delay_ms, with a handler
// installed without SA_RESTART, so that the system call under way fails with
// EINTR. The old disposition comes back at the end.
class SignalAfter {
  public:
    explicit SignalAfter(int delay_ms) : target_(pthread_self()) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &previous_);
        sender_ = std::thread([this, delay_ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            pthread_kill(target_, SIGUSR1);
        });
    }
    ~SignalAfter() {
        sender_.join();
        sigaction(SIGUSR1, &previous_, nullptr);
    }

  private:
    pthread_t target_;
    struct sigaction previous_ {};
    std::thread sender_;
};

}  // namespace kuv_socket_test

#endif  // KUV_TESTS_SYSIO_SOCKET_TEST_SUPPORT_H
