// A scripted FTP server for what real servers will not do: odd replies,
// refused transfers, cut and stalled data connections, hostile listings. It
// listens on 127.0.0.1, takes one control connection on a thread of its own
// and serves files in either mode as its FakeFtp record says. Every wait is
// bounded.
#ifndef KUV_TESTS_FTP_FAKE_SERVER_H
#define KUV_TESTS_FTP_FAKE_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kuv_ftp_test {

inline constexpr int kFakeWaitMsec = 10000;

// A listening socket on 127.0.0.1:*port (0: a port the system chooses,
// stored back into *port).
inline int listen_loopback(int *port) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(*port));
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

inline int accept_within(int listener, int msec) {
    return wait_readable(listener, msec) ? accept(listener, nullptr, nullptr) : -1;
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

// Everything until the peer closes, or a silence of msec.
inline std::string receive_all(int socket, int msec = kFakeWaitMsec) {
    std::string bytes;
    char chunk[65536];
    ssize_t got;
    while (wait_readable(socket, msec) && (got = recv(socket, chunk, sizeof chunk, 0)) > 0)
        bytes.append(chunk, static_cast<size_t>(got));
    return bytes;
}

// Closes with a reset instead of an orderly end.
inline void reset_close(int socket) {
    linger hard{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(socket);
}

// What the server does. Texts may hold "{port}" (the data listener's port)
// and "{p1,p2}" (the same as the two numbers of a 227 reply).
struct FakeFtp {
    std::string welcome = "220 fake ready\r\n";
    bool hang_up = false;                        // close right after accepting
    std::map<std::string, std::string> answers;  // command verb -> reply, before the defaults
    std::vector<std::string> passive_replies;    // answers to PASV/EPSV in turn, then a proper 227
    std::vector<std::string> refusals;          // answers to transfer commands in turn, then served
    std::string listing;                        // what NLST and LIST send
    std::map<std::string, std::string> files;   // RETR and SIZE
    std::set<std::string> cut;                  // RETR: half sent, then reset; STOR: reset at once
    std::set<std::string> stalled;              // RETR: nothing until the client gives up
    int upload_delay_msec = 0;                  // STOR: read only after this pause
    int data_port = 0;                          // the passive listener's port, 0: any
    std::map<std::string, std::string> stored;  // what STOR received
};

inline std::string fill_port(std::string text, int port) {
    const std::pair<std::string, std::string> marks[] = {
        {"{port}", std::to_string(port)},
        {"{p1,p2}", std::to_string(port / 256) + "," + std::to_string(port % 256)}};
    for (const auto &[mark, value] : marks)
        for (size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), value);
    return text;
}

class FakeServer {
  public:
    explicit FakeServer(FakeFtp &script) : script_(script) {
        listener_ = listen_loopback(&port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() { finish(); }
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    int port() const { return port_; }
    // Waits for the session to end; the commands it received.
    std::vector<std::string> finish() {
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
        return commands_;
    }

  private:
    // The next command line, without its line end; "" when none comes.
    std::string command() {
        for (size_t end; (end = pending_.find("\r\n")) == std::string::npos;) {
            char chunk[4096];
            const ssize_t got =
                wait_readable(control_, kFakeWaitMsec) ? recv(control_, chunk, sizeof chunk, 0) : 0;
            if (got <= 0) return "";
            pending_.append(chunk, static_cast<size_t>(got));
        }
        const size_t end = pending_.find("\r\n");
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 2);
        commands_.push_back(line);
        return line;
    }
    void reply(const std::string &text) { send_all(control_, fill_port(text, data_port_)); }

    int open_data() {
        if (data_listener_ >= 0) return accept_within(data_listener_, kFakeWaitMsec);
        return active_port_ > 0 ? connect_loopback(active_port_) : -1;
    }

    void transfer(const std::string &verb, const std::string &name) {
        if (!script_.refusals.empty()) {
            reply(script_.refusals.front());
            script_.refusals.erase(script_.refusals.begin());
            return;
        }
        const auto file = script_.files.find(name);
        if (verb == "RETR" && file == script_.files.end()) return reply("550 no such file\r\n");
        reply("150 here it comes\r\n");
        const int data = open_data();
        if (data < 0) return reply("425 no data connection\r\n");
        const bool cut = script_.cut.count(name) != 0 && verb != "NLST" && verb != "LIST";
        if (verb == "STOR") {
            if (cut) {
                reset_close(data);
                return reply("426 gone\r\n");
            }
            usleep(static_cast<useconds_t>(script_.upload_delay_msec) * 1000);
            script_.stored[name] = receive_all(data);
            close(data);
            return reply("226 stored\r\n");
        }
        const std::string bytes = verb == "RETR" ? file->second : script_.listing;
        if (cut) {
            send_all(data, bytes.substr(0, bytes.size() / 2));
            reset_close(data);
            return reply("426 connection closed; transfer aborted\r\n");
        }
        if (verb == "RETR" && script_.stalled.count(name)) {
            receive_all(data);  // quiet until the client closes its end
            close(data);
            return reply("426 transfer aborted\r\n");
        }
        send_all(data, bytes);
        close(data);
        reply("226 transfer complete\r\n");
    }

    void serve() {
        control_ = accept_within(listener_, kFakeWaitMsec);
        if (control_ < 0) return;
        if (!script_.hang_up) send_all(control_, script_.welcome);
        for (std::string line; !script_.hang_up && !(line = command()).empty();) {
            const std::string verb = line.substr(0, line.find(' '));
            const std::string name = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
            if (verb == "PASV" || verb == "EPSV") {
                if (data_listener_ >= 0) close(data_listener_);
                data_port_ = script_.data_port;
                data_listener_ = listen_loopback(&data_port_);
                active_port_ = -1;
                if (!script_.passive_replies.empty()) {
                    reply(script_.passive_replies.front());
                    script_.passive_replies.erase(script_.passive_replies.begin());
                } else {
                    reply("227 Entering Passive Mode (127,0,0,1,{p1,p2}).\r\n");
                }
            } else if (script_.answers.count(verb)) {
                reply(script_.answers.at(verb));
            } else if (verb == "PORT") {
                unsigned h[4], high, low;
                const bool read = std::sscanf(name.c_str(), "%u,%u,%u,%u,%u,%u", &h[0], &h[1],
                                              &h[2], &h[3], &high, &low) == 6;
                if (data_listener_ >= 0) close(data_listener_);
                data_listener_ = -1;
                active_port_ = read ? static_cast<int>(high * 256 + low) : -1;
                reply(read ? "200 PORT ok\r\n" : "501 bad PORT\r\n");
            } else if (verb == "NLST" || verb == "LIST" || verb == "RETR" || verb == "STOR") {
                transfer(verb, name);
            } else if (verb == "SIZE") {
                const auto file = script_.files.find(name);
                reply(file == script_.files.end()
                          ? std::string("550 no such file\r\n")
                          : "213 " + std::to_string(file->second.size()) + "\r\n");
            } else {
                static const std::map<std::string, std::string> defaults = {
                    {"USER", "331 password please\r\n"},
                    {"PASS", "230 logged in\r\n"},
                    {"TYPE", "200 type set\r\n"},
                    {"SYST", "215 UNIX Type: L8\r\n"},
                    {"PWD", "257 \"/\" is here\r\n"},
                    {"CWD", "250 changed\r\n"},
                    {"NOOP", "200 ok\r\n"},
                    {"QUIT", "221 bye\r\n"}};
                const auto known = defaults.find(verb);
                reply(known != defaults.end() ? known->second : "502 not here\r\n");
                if (verb == "QUIT") break;
            }
        }
        if (data_listener_ >= 0) close(data_listener_);
        close(control_);
    }

    FakeFtp &script_;
    int listener_ = -1, port_ = 0, control_ = -1;
    int data_listener_ = -1, data_port_ = 0, active_port_ = -1;
    std::string pending_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

}  // namespace kuv_ftp_test

#endif  // KUV_TESTS_FTP_FAKE_SERVER_H
