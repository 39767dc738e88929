// Fixtures of the endpoint and packet tests: owned handles, temporary paths,
// messages and wire bytes, a heap handler that records the largest request,
// and a forked child that runs a scenario in namespaces of its own.
#ifndef KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H
#define KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H

#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace kuv_test {

using Bytes = std::vector<uint8_t>;

// A handle from init, deleted at scope end.
struct Endpoint {
    kuvnet *handle = nullptr;
    explicit Endpoint(uint32_t type, int32_t port = -1) {
        kuv_xapi_kuvnet_init(&handle, 0);
        handle->protocol_type = type;
        handle->port = port;
    }
    ~Endpoint() { kuv_xapi_kuvnet_delete(&handle); }
    kuvnet *operator->() const { return handle; }
};

// A handle that owns `socket` (a socket-pair end or a bound UDP socket)
// without create or connect.
struct SocketEndpoint : Endpoint {
    SocketEndpoint(uint32_t type, int socket) : Endpoint(type) {
        handle->socket = socket;
        handle->timeout = 10000;
    }
};

inline std::string unique_path(const char *stem) {
    static int counter = 0;
    return std::string("/tmp/kuv_") + stem + "_" + std::to_string(getpid()) + "_" +
           std::to_string(counter++);
}

inline void stream_pair(int sockets[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
}

// A UDP socket bound to host at a free port, with room for a whole message
// nobody reads yet.
inline sockaddr_in bound_udp(int *socket_out, uint32_t host = INADDR_LOOPBACK) {
    *socket_out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(host)}, {}};
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
    return {src,          dst,          cmd_type, cmd_id, static_cast<int64_t>(bytes.size()), 0, 0,
            bytes.data(), bytes.size(), 0,        0};
}

// "4B564D58 0100" -> bytes; blanks are ignored.
inline Bytes hex(const std::string &text) {
    Bytes bytes;
    for (size_t at = 0; at + 1 < text.size(); at += text[at] == ' ' ? 1 : 2)
        if (text[at] != ' ')
            bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
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
struct LargestRequest {
    static inline std::atomic<uint64_t> largest{0};
    kuv_heap_handler_t previous = nullptr;
    static void *handler(void *pointer, uint64_t size) {
        if (size > largest) largest = size;  // one receiving thread
        return kuv_xapi_heap_debug(pointer, size);
    }
    LargestRequest() {
        largest = 0;
        kuv_xapi_set_heap_handler(&LargestRequest::handler, &previous);
    }
    ~LargestRequest() { kuv_xapi_set_heap_handler(previous, nullptr); }
};

// Failures of a scenario run in a child, as text.
struct Failures {
    std::string text;
    void check(bool condition, const std::string &what) {
        if (!condition) text += what + "; ";
    }
};

// A forked child that unshares `flags` (its mounts made private), runs
// `setup` through the shell, then `body`, and writes body's text back: ""
// when all went well, "SKIP: ..." when the machine forbids the namespace.
// Fork while this process has one thread, so no lock stays taken in the
// child and the child sees its own network in /proc.
class ChildProcess {
  public:
    ChildProcess(int flags, const char *setup, const std::function<std::string()> &body) {
        if (pipe(channel_) != 0) return;
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            std::string text;
            if (unshare(flags) != 0 || ((flags & CLONE_NEWNS) &&
                                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)))
                text = std::string("SKIP: no namespace of our own here: ") + std::strerror(errno);
            else if (*setup && std::system((std::string(setup) + " >/dev/null 2>&1").c_str()))
                text = std::string("SKIP: the namespace cannot be set up with: ") + setup;
            else
                text = body();
            (void)!write(channel_[1], text.data(), text.size());
            std::fflush(nullptr);
            _exit(0);
        }
        close(channel_[1]);
    }
    // The child's text; a child that has not ended within 30 s is killed.
    std::string report() {
        std::string text;
        char chunk[512];
        pollfd watch{channel_[0], POLLIN, 0};
        ssize_t got = 1;
        while (pid_ > 0 && got > 0 && poll(&watch, 1, 30000) == 1 &&
               (got = read(channel_[0], chunk, sizeof chunk)) > 0)
            text.append(chunk, static_cast<size_t>(got));
        if (pid_ > 0 && got != 0) {
            kill(pid_, SIGKILL);
            text += " (the child did not end)";
        }
        close(channel_[0]);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return text;
    }
    ~ChildProcess() {
        if (pid_ > 0) report();
    }

  private:
    int channel_[2] = {-1, -1};
    pid_t pid_ = -1;
};

// Runs body in a child; a child that could not make its namespace skips.
#define EXPECT_CHILD_PASSES(flags, setup, ...)                                           \
    do {                                                                                 \
        std::string report = kuv_test::ChildProcess(flags, setup, __VA_ARGS__).report(); \
        if (report.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << report;                      \
        EXPECT_EQ(report, "");                                                           \
    } while (0)

}  // namespace kuv_test

#endif  // KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H
