// Helpers of the socket tests: descriptors closed at scope end, loopback
// listeners and pairs, a full accept queue, a timer signal, a stopwatch.
#ifndef KUV_TESTS_SYSIO_SOCKET_TEST_SUPPORT_H
#define KUV_TESTS_SYSIO_SOCKET_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "davro_kuv.h"

namespace kuv_socket_test {

struct Fd {
    int fd;
    explicit Fd(int value = -1) : fd(value) {}
    Fd(Fd &&other) noexcept : fd(other.fd) { other.fd = -1; }
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    operator int() const { return fd; }
};

inline sockaddr *as_address(void *address) {
    return static_cast<sockaddr *>(address);
}

inline sockaddr_in loopback4() {
    return {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
}

// A TCP listener on 127.0.0.1 with an ephemeral port.
struct Listener {
    Fd fd{socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in address = loopback4();
    explicit Listener(int backlog = 16) {
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd, addr(), length), 0);
        EXPECT_EQ(listen(fd, backlog), 0);
        getsockname(fd, addr(), &length);
    }
    sockaddr *addr() { return as_address(&address); }
};

struct TcpPair {
    Listener listener;
    Fd client{socket(AF_INET, SOCK_STREAM, 0)};
    Fd server;
    TcpPair() {
        EXPECT_EQ(connect(client, listener.addr(), sizeof listener.address), 0);
        server.fd = accept(listener.fd, nullptr, nullptr);
    }
};

// A listener whose accept queue is full: a further SYN is dropped, so a new
// connection stays pending.
struct FullBacklog {
    Listener listener{0};
    std::vector<Fd> queued;
    FullBacklog() {
        for (bool completed = true; completed && queued.size() < 16;) {
            queued.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(queued.back(), listener.addr(), sizeof listener.address);
            pollfd watch{queued.back(), POLLOUT, 0};
            completed = poll(&watch, 1, 300) == 1;
        }
    }
};

inline bool is_blocking(int fd) {
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0;
}

struct Stopwatch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    long ms() const {
        return (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
    }
};

// A one-shot timer that sends SIGALRM to the constructing thread after
// delay_ms; the handler has no SA_RESTART, so the call under way fails with
// EINTR. Deleting the timer first means no signal arrives after the scope.
class SignalAfter {
  public:
    explicit SignalAfter(int delay_ms) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigaction(SIGALRM, &action, &previous_);
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = gettid();
        EXPECT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer_), 0);
        itimerspec when{};
        when.it_value.tv_sec = delay_ms / 1000;
        when.it_value.tv_nsec = delay_ms % 1000 * 1000000L;
        EXPECT_EQ(timer_settime(timer_, 0, &when, nullptr), 0);
    }
    ~SignalAfter() {
        timer_delete(timer_);
        sigaction(SIGALRM, &previous_, nullptr);
    }

  private:
    struct sigaction previous_ {};
    timer_t timer_{};
};

}  // namespace kuv_socket_test

#endif  // KUV_TESTS_SYSIO_SOCKET_TEST_SUPPORT_H
