// A scripted FTP server for what real servers will not do: odd and broken
// replies, refused transfers, dropped and stalled data connections, hostile
// listings. It listens on 127.0.0.1, takes one control connection on a
// thread of its own and runs the test's script on it. Every wait is bounded.
#ifndef KUV_TESTS_FTP_FAKE_SERVER_H
#define KUV_TESTS_FTP_FAKE_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kuv_ftp_test {

inline constexpr int kFakeWaitMsec = 10000;

// A listening socket on 127.0.0.1 and a port the system chose.
inline int listen_loopback(int *port) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close(listener);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

inline bool wait_readable(int socket, int msec) {
    pollfd entry{socket, POLLIN, 0};
    return poll(&entry, 1, msec) == 1;
}

// Accepts one connection within msec, or -1.
inline int accept_within(int listener, int msec) {
    if (!wait_readable(listener, msec)) return -1;
    return accept(listener, nullptr, nullptr);
}

inline int connect_loopback(int port) {
    int socket_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(socket_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(socket_fd);
        return -1;
    }
    return socket_fd;
}

inline bool send_all(int socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

// Everything until the peer closes (or a silence of msec).
inline std::string receive_all(int socket, int msec = kFakeWaitMsec) {
    std::string bytes;
    char chunk[65536];
    while (wait_readable(socket, msec)) {
        const ssize_t got = recv(socket, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

// Closes with a reset instead of an orderly end.
inline void reset_close(int socket) {
    linger hard{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(socket);
}

// The text of a 227 reply announcing host,port.
inline std::string passive_reply(const char *host_commas, int port) {
    char text[128];
    std::snprintf(text, sizeof text, "227 Entering Passive Mode (%s,%d,%d).\r\n", host_commas,
                  port / 256, port % 256);
    return text;
}

// The port of a "PORT h1,h2,h3,h4,p1,p2" command, or -1.
inline int port_of_port_command(const std::string &command) {
    unsigned h[4], high, low;
    if (std::sscanf(command.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &high,
                    &low) != 6)
        return -1;
    return static_cast<int>(high * 256 + low);
}

class FakeSession {
  public:
    explicit FakeSession(int control) : control_(control) {}
    ~FakeSession() {
        for (int socket : owned_)
            close(socket);
        if (control_ >= 0) close(control_);
    }

    int control() const { return control_; }
    bool reply(std::string_view text) { return send_all(control_, text); }

    // The next command line without its line end; "" when none comes.
    std::string command() {
        for (;;) {
            const size_t end = pending_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 2);
                std::lock_guard<std::mutex> hold(mutex_);
                commands_.push_back(line);
                return line;
            }
            if (!wait_readable(control_, kFakeWaitMsec)) return "";
            char chunk[4096];
            const ssize_t got = recv(control_, chunk, sizeof chunk, 0);
            if (got <= 0) return "";
            pending_.append(chunk, static_cast<size_t>(got));
        }
    }

    // Reads commands, answering each one that starts with a key of the
    // table, until one starts with `until` (returned, unanswered).
    std::string answer_until(const std::vector<std::pair<std::string, std::string>> &table,
                             const std::string &until) {
        for (;;) {
            std::string line = command();
            if (line.empty() || line.rfind(until, 0) == 0) return line;
            for (const auto &[key, text] : table) {
                if (line.rfind(key, 0) == 0) {
                    reply(text);
                    break;
                }
            }
        }
    }

    // A data listener whose socket the session closes at its end.
    int open_listener(int *port) {
        const int listener = listen_loopback(port);
        if (listener >= 0) owned_.push_back(listener);
        return listener;
    }

    std::vector<std::string> commands() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return commands_;
    }

  private:
    int control_;
    std::string pending_;
    std::vector<int> owned_;
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
};

class FakeServer {
  public:
    using Script = std::function<void(FakeSession &)>;

    explicit FakeServer(Script script) {
        listener_ = listen_loopback(&port_);
        thread_ = std::thread([this, script = std::move(script)] {
            const int control = accept_within(listener_, kFakeWaitMsec);
            if (control < 0) return;
            FakeSession session(control);
            script(session);
            std::lock_guard<std::mutex> hold(mutex_);
            commands_ = session.commands();
        });
    }
    ~FakeServer() { finish(); }
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    int port() const { return port_; }

    // Waits for the script to end; the commands it read.
    std::vector<std::string> finish() {
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
        std::lock_guard<std::mutex> hold(mutex_);
        return commands_;
    }

  private:
    int listener_ = -1;
    int port_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> commands_;
};

}  // namespace kuv_ftp_test

#endif  // KUV_TESTS_FTP_FAKE_SERVER_H
