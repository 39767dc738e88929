// Pieces shared by the FTP client's tests: an owned FTP handle, a scratch
// directory to download into, and a scripted FTP server for what real
// servers will not do (odd replies, refused transfers, cut and stalled data
// connections, hostile listings). The scripted server listens on 127.0.0.1,
// takes one control connection on a thread of its own and serves files in
// either mode as its FakeFtp record says; every wait is bounded.
#ifndef KUV_TESTS_FTP_FTP_TEST_COMMON_H
#define KUV_TESTS_FTP_FTP_TEST_COMMON_H

#include <limits.h>
#include <poll.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "davro_kuv.h"
#include "tests/ftp/vsftpd_server.h"

namespace kuv_ftp_test {

// An FTP handle for one test, closed at the end of its scope. Short
// time-outs keep a failing test from hanging on a silent peer.
struct Client {
    Client() : ftp(kuv_xapi_open_ftp()) { ftp->control_timeout = ftp->accept_timeout = 3000; }
    ~Client() { kuv_xapi_close_ftp(ftp); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    kuv_ftp_t *operator->() const { return ftp; }
    // Connects and, when asked, logs in (anonymously): true when all worked.
    bool open(int port, bool log_in = true, const char *host = "127.0.0.1") const {
        return ftp->connect(ftp, host, port) == 1 &&
               (!log_in || ftp->login(ftp, nullptr, nullptr) == 1);
    }
    // A whole file (from offset on) through open, read and close; a mark
    // when a step failed.
    std::string retrieve(const std::string &name, uint64_t offset = 0) const {
        if (ftp->open_stream(ftp, offset, "RETR %s\r\n", name.c_str()) != 1) return "{not opened}";
        std::string bytes;
        std::vector<char> area(1 << 20);
        for (int32_t count; (count = ftp->read_stream(ftp, area.data(), area.size())) >= 0;) {
            if (count == 0) kuv_xapi_load_balance();
            bytes.append(area.data(), static_cast<size_t>(count));
        }
        return ftp->close_stream(ftp) == 1 ? bytes : "{not closed cleanly}";
    }

    kuv_ftp_t *ftp;
};

inline bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

inline size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

inline bool exists(const std::string &path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

// The lines of a listing, drained with get_list or get_nlist.
inline std::vector<std::string> drain(char *(*next)(kuv_ftp_t *), kuv_ftp_t *ftp) {
    std::vector<std::string> lines;
    for (char *line; (line = next(ftp)); kuv_xapi_free(line))
        lines.emplace_back(line);
    return lines;
}

// A fresh directory made the current one for the scope (downloads write
// into the current directory), inside a parent that a hostile name would
// aim at; the earlier directory comes back at the end.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        char previous[PATH_MAX], pattern[] = "/tmp/kuv_ftp_cwd_XXXXXX";
        if (getcwd(previous, sizeof previous)) previous_ = previous;
        if (mkdtemp(pattern)) parent_ = pattern;
        path_ = parent_ + "/work";
        if (mkdir(path_.c_str(), 0755) != 0 || chdir(path_.c_str()) != 0) path_.clear();
    }
    ~ScratchDirectory() {
        if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
        }
        if (!parent_.empty()) remove_tree(parent_);
    }
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;
    bool ok() const { return !path_.empty(); }
    std::string path_, parent_, previous_;
};

// A socket of 127.0.0.1: listening on *port (0: a port the system chooses,
// stored back), or with connect_to set, connected to *port. -1 on failure.
inline int loopback_socket(int *port, bool connect_to = false) {
    int socket_fd = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(socket_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(*port));
    auto *any = reinterpret_cast<sockaddr *>(&address);
    socklen_t length = sizeof address;
    const bool ok = connect_to ? connect(socket_fd, any, length) == 0
                               : bind(socket_fd, any, length) == 0 && listen(socket_fd, 8) == 0 &&
                                     getsockname(socket_fd, any, &length) == 0;
    if (!ok) close(socket_fd);
    *port = ntohs(address.sin_port);
    return ok ? socket_fd : -1;
}

inline bool wait_readable(int socket, int msec = 10000) {
    pollfd entry{socket, POLLIN, 0};
    return poll(&entry, 1, msec) == 1;
}

inline int accept_within(int listener) {
    return wait_readable(listener) ? accept(listener, nullptr, nullptr) : -1;
}

inline bool send_all(int socket, std::string_view bytes) {
    for (ssize_t sent; !bytes.empty(); bytes.remove_prefix(static_cast<size_t>(sent)))
        if ((sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
    return true;
}

// Everything until the peer closes or is silent for ten seconds.
inline std::string receive_all(int socket) {
    std::string bytes;
    char chunk[65536];
    for (ssize_t got; wait_readable(socket) && (got = recv(socket, chunk, sizeof chunk, 0)) > 0;)
        bytes.append(chunk, static_cast<size_t>(got));
    return bytes;
}

// What the scripted server does. Texts may hold "{port}" (the data
// listener's port) and "{p1,p2}" (the same as the two numbers of a 227).
struct FakeFtp {
    std::string welcome = "220 fake ready\r\n";
    bool hang_up = false;                        // close right after accepting
    std::map<std::string, std::string> answers;  // command verb -> reply, before the defaults
    std::vector<std::string> passive_replies;    // answers to PASV/EPSV in turn, then a proper 227
    std::vector<std::string> refusals;          // answers to transfer commands in turn ("": served)
    std::string listing;                        // what NLST and LIST send
    std::map<std::string, std::string> files;   // RETR and SIZE
    std::set<std::string> cut;                  // RETR: half sent, then reset
    std::set<std::string> stalled;              // RETR: nothing until the client gives up
    int upload_delay_msec = 0;                  // STOR: read only after this pause
    std::map<std::string, std::string> stored;  // what STOR received
};

inline std::string take_front(std::vector<std::string> &list) {
    std::string front = list.front();
    list.erase(list.begin());
    return front;
}

class FakeServer {
  public:
    explicit FakeServer(FakeFtp &script) : script_(script), listener_(loopback_socket(&port_)) {
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
        char chunk[4096];
        for (ssize_t got; pending_.find("\r\n") == std::string::npos;) {
            if (!wait_readable(control_) || (got = recv(control_, chunk, sizeof chunk, 0)) <= 0)
                return "";
            pending_.append(chunk, static_cast<size_t>(got));
        }
        const size_t end = pending_.find("\r\n");
        commands_.push_back(pending_.substr(0, end));
        pending_.erase(0, end + 2);
        return commands_.back();
    }
    void reply(std::string text) {
        const std::pair<std::string, std::string> marks[] = {
            {"{port}", std::to_string(data_port_)},
            {"{p1,p2}", std::to_string(data_port_ / 256) + "," + std::to_string(data_port_ % 256)}};
        for (const auto &[mark, value] : marks)
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, mark.size(), value);
        send_all(control_, text);
    }

    void transfer(const std::string &verb, const std::string &name) {
        const std::string refusal = script_.refusals.empty() ? "" : take_front(script_.refusals);
        if (!refusal.empty()) return reply(refusal);
        const auto file = script_.files.find(name);
        if (verb == "RETR" && file == script_.files.end()) return reply("550 no such file\r\n");
        reply("150 here it comes\r\n");
        const int data = data_listener_ >= 0 ? accept_within(data_listener_)
                         : active_port_ > 0  ? loopback_socket(&active_port_, true)
                                             : -1;
        if (data < 0) return reply("425 no data connection\r\n");
        const std::string bytes = verb == "RETR" ? file->second : script_.listing;
        if (verb == "STOR") {
            sleep_msec(script_.upload_delay_msec);
            script_.stored[name] = receive_all(data);
        } else if (verb == "RETR" && script_.cut.count(name)) {
            send_all(data, bytes.substr(0, bytes.size() / 2));
            linger hard{1, 0};  // a reset instead of an orderly end
            setsockopt(data, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        } else if (verb == "RETR" && script_.stalled.count(name)) {
            receive_all(data);  // quiet until the client closes its end
        } else {
            send_all(data, bytes);
        }
        close(data);
        const bool failed =
            verb == "RETR" && (script_.cut.count(name) || script_.stalled.count(name));
        reply(failed ? "426 transfer aborted\r\n" : "226 transfer complete\r\n");
    }

    void serve() {
        static const std::map<std::string, std::string> defaults = {
            {"USER", "331 password please\r\n"},
            {"PASS", "230 logged in\r\n"},
            {"TYPE", "200 type set\r\n"},
            {"SYST", "215 UNIX Type: L8\r\n"},
            {"PWD", "257 \"/\" is here\r\n"},
            {"CWD", "250 changed\r\n"},
            {"NOOP", "200 ok\r\n"},
            {"QUIT", "221 bye\r\n"}};
        if ((control_ = accept_within(listener_)) < 0) return;
        if (!script_.hang_up) send_all(control_, script_.welcome);
        for (std::string line; !script_.hang_up && !(line = command()).empty();) {
            const std::string verb = line.substr(0, line.find(' '));
            const std::string name = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
            unsigned h[6];
            if (verb == "PASV" || verb == "EPSV") {
                if (data_listener_ >= 0) close(data_listener_);
                data_listener_ = loopback_socket(&(data_port_ = 0));
                reply(script_.passive_replies.empty()
                          ? "227 Entering Passive Mode (127,0,0,1,{p1,p2}).\r\n"
                          : take_front(script_.passive_replies));
            } else if (script_.answers.count(verb)) {
                reply(script_.answers.at(verb));
            } else if (verb == "PORT") {
                const bool read = std::sscanf(name.c_str(), "%u,%u,%u,%u,%u,%u", &h[0], &h[1],
                                              &h[2], &h[3], &h[4], &h[5]) == 6;
                if (data_listener_ >= 0) close(data_listener_);
                data_listener_ = -1;
                active_port_ = read ? static_cast<int>(h[4] * 256 + h[5]) : -1;
                reply(read ? "200 PORT ok\r\n" : "501 bad PORT\r\n");
            } else if (verb == "NLST" || verb == "LIST" || verb == "RETR" || verb == "STOR") {
                transfer(verb, name);
            } else if (verb == "SIZE") {
                const auto file = script_.files.find(name);
                reply(file == script_.files.end()
                          ? std::string("550 no such file\r\n")
                          : "213 " + std::to_string(file->second.size()) + "\r\n");
            } else {
                const auto known = defaults.find(verb);
                reply(known != defaults.end() ? known->second : "502 not here\r\n");
                if (verb == "QUIT") break;
            }
        }
        if (data_listener_ >= 0) close(data_listener_);
        close(control_);
    }

    FakeFtp &script_;
    int port_ = 0, listener_ = -1, control_ = -1;
    int data_listener_ = -1, data_port_ = 0, active_port_ = -1;
    std::string pending_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

}  // namespace kuv_ftp_test

#endif  // KUV_TESTS_FTP_FTP_TEST_COMMON_H
