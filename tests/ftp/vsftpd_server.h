// A real FTP server for the tests and the benchmark: Debian's vsftpd, run in
// the foreground with its own configuration in a temporary directory, on a
// free loopback port, with an anonymous read area and a local user with a
// writable area. Stopped by its process id (the process group it leads, so
// that its session processes go with it).
//
// vsftpd must run as root: it changes to the ftp user for anonymous
// sessions and to the local user after log-in. The local user is a
// dedicated system account made here when missing (its creation is
// serialised between test processes by a lock file).
#ifndef KUV_TESTS_FTP_VSFTPD_SERVER_H
#define KUV_TESTS_FTP_VSFTPD_SERVER_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kuv_ftp_test {

inline constexpr const char *kVsftpd = "/usr/sbin/vsftpd";
inline constexpr const char *kLocalUser = "kuvftp";
inline constexpr const char *kLocalPassword = "kuv-ftp-pass";

inline void sleep_msec(int msec) {
    struct timespec pause = {msec / 1000, (msec % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// The loopback address of the family as a socket address.
inline socklen_t loopback_address(bool ipv6, int port, sockaddr_storage *place) {
    *place = sockaddr_storage{};
    if (ipv6) {
        auto *address = reinterpret_cast<sockaddr_in6 *>(place);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        address->sin6_port = htons(static_cast<uint16_t>(port));
        return sizeof *address;
    }
    auto *address = reinterpret_cast<sockaddr_in *>(place);
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof *address;
}

// A port of 127.0.0.1 (or ::1) that was free a moment ago.
inline int free_loopback_port(bool ipv6 = false) {
    sockaddr_storage address;
    socklen_t length = loopback_address(ipv6, 0, &address);
    int probe = socket(address.ss_family, SOCK_STREAM, 0);
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    close(probe);
    return port;
}

// True when something accepts connections on the loopback port.
inline bool accepts_connections(int port, bool ipv6 = false) {
    sockaddr_storage address;
    const socklen_t length = loopback_address(ipv6, port, &address);
    int probe = socket(address.ss_family, SOCK_STREAM, 0);
    const bool connected = connect(probe, reinterpret_cast<sockaddr *>(&address), length) == 0;
    close(probe);
    return connected;
}

// Runs a program (no shell) with the text on its standard input; its exit
// status, or -1. Output goes to /dev/null. Waits at most 30 s.
inline int run_program(const std::vector<std::string> &arguments, const std::string &input = "") {
    int feed[2];
    if (pipe(feed) != 0) return -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        dup2(feed[0], 0);
        close(feed[0]);
        close(feed[1]);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        std::vector<char *> argv;
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(feed[0]);
    if (!input.empty() && write(feed[1], input.data(), input.size()) < 0) {
    }
    close(feed[1]);
    for (int waited = 0; waited < 30000; waited += 10) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        sleep_msec(10);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

// Makes the local user (a system account with a password, a shell listed
// in /etc/shells, its home at "/", not in /etc/ftpusers) unless it exists.
// An empty text on success, else the reason.
inline std::string ensure_local_user() {
    if (geteuid() != 0) return "the FTP server needs root";
    // Test processes run in parallel: one at a time edits the account files.
    int lock = open("/tmp/kuv_ftp_test_user.lock", O_CREAT | O_RDWR, 0600);
    if (lock < 0) return "cannot open the user lock file";
    flock(lock, LOCK_EX);
    std::string failure;
    if (!getpwnam(kLocalUser)) {
        if (run_program({"useradd", "--system", "--no-create-home", "--home-dir", "/", "--shell",
                         "/bin/sh", kLocalUser}) != 0 &&
            !getpwnam(kLocalUser))
            failure = "useradd failed";
        else if (run_program({"chpasswd"}, std::string(kLocalUser) + ":" + kLocalPassword + "\n") !=
                 0)
            failure = "chpasswd failed";
    }
    flock(lock, LOCK_UN);
    close(lock);
    return failure;
}

inline bool write_file(const std::string &path, const std::string &bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

inline std::string read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// size bytes of a pattern that differs per seed and per position.
inline std::string pattern_bytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 16);
    }
    return bytes;
}

inline void remove_tree(const std::string &path) {
    nftw(
        path.c_str(),
        [](const char *entry, const struct stat *, int, struct FTW *) { return ::remove(entry); },
        16, FTW_DEPTH | FTW_PHYS);
}

struct VsftpdOptions {
    bool passive_enabled = true;
    bool active_enabled = true;
    bool ipv6 = false;  // listen on ::1 instead of 127.0.0.1
};

class VsftpdServer {
  public:
    explicit VsftpdServer(VsftpdOptions options = {}) { start(options); }
    ~VsftpdServer() { stop(); }
    VsftpdServer(const VsftpdServer &) = delete;
    VsftpdServer &operator=(const VsftpdServer &) = delete;

    // Empty when the server runs, else why it does not.
    const std::string &failure() const { return failure_; }
    int port() const { return port_; }
    // The anonymous area (read only for the server's users) and the local
    // user's writable area.
    const std::string &anon_dir() const { return anon_dir_; }
    const std::string &local_dir() const { return local_dir_; }

    // A file of the local user's area, owned by that user.
    bool put_local_file(const std::string &name, const std::string &bytes) const {
        const std::string path = local_dir_ + "/" + name;
        if (!write_file(path, bytes)) return false;
        const passwd *user = getpwnam(kLocalUser);
        return user && chown(path.c_str(), user->pw_uid, user->pw_gid) == 0;
    }

    void stop() {
        if (pid_ > 0) {
            kill(-pid_, SIGTERM);
            int status = 0;
            for (int waited = 0; waited < 5000; waited += 10) {
                if (waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                sleep_msec(10);
            }
            if (pid_ > 0) {
                kill(-pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        if (!root_.empty()) remove_tree(root_);
        root_.clear();
    }

  private:
    void start(const VsftpdOptions &options) {
        if (access(kVsftpd, X_OK) != 0) {
            failure_ = "vsftpd is not installed (tools/install-deps installs it)";
            return;
        }
        failure_ = ensure_local_user();
        if (!failure_.empty()) return;
        char pattern[] = "/tmp/kuv_vsftpd_XXXXXX";
        if (!mkdtemp(pattern)) {
            failure_ = "mkdtemp failed";
            return;
        }
        root_ = pattern;
        anon_dir_ = root_ + "/anon";
        local_dir_ = root_ + "/local";
        const std::string empty_dir = root_ + "/empty";
        chmod(root_.c_str(), 0755);
        mkdir(anon_dir_.c_str(), 0755);
        mkdir(local_dir_.c_str(), 0755);
        mkdir(empty_dir.c_str(), 0755);
        if (const passwd *user = getpwnam(kLocalUser))
            if (chown(local_dir_.c_str(), user->pw_uid, user->pw_gid) != 0) {
            }
        for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt)
            launch(options, empty_dir);
    }

    void launch(const VsftpdOptions &options, const std::string &empty_dir) {
        port_ = free_loopback_port(options.ipv6);
        const std::string config = root_ + "/vsftpd.conf";
        std::ostringstream text;
        text << (options.ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                              : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n")
             << "listen_port=" << port_ << "\n"
             << "background=NO\n"
             << "anonymous_enable=YES\nanon_root=" << anon_dir_ << "\nno_anon_password=YES\n"
             << "local_enable=YES\nwrite_enable=YES\nlocal_umask=022\n"
             << "local_root=" << local_dir_ << "\nchroot_local_user=NO\n"
             << "pasv_enable=" << (options.passive_enabled ? "YES" : "NO") << "\n"
             << "port_enable=" << (options.active_enabled ? "YES" : "NO") << "\n"
             << "connect_from_port_20=NO\n"
             << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
             << "secure_chroot_dir=" << empty_dir << "\n"
             << "pam_service_name=vsftpd\n"
             << "xferlog_enable=NO\nvsftpd_log_file=" << root_ << "/vsftpd.log\n";
        if (!write_file(config, text.str())) {
            failure_ = "cannot write the configuration";
            return;
        }
        const std::string output = root_ + "/vsftpd.out";
        const pid_t child = fork();
        if (child < 0) {
            failure_ = "fork failed";
            return;
        }
        if (child == 0) {
            setpgid(0, 0);
            int sink = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(sink, 1);
            dup2(sink, 2);
            int quiet = open("/dev/null", O_RDONLY);
            dup2(quiet, 0);
            execl(kVsftpd, "vsftpd", config.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        setpgid(child, child);
        for (int waited = 0; waited < 5000; waited += 10) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                // It ended at once: most likely the port was taken meanwhile.
                failure_ = "vsftpd exited: " + read_file(output);
                return;
            }
            if (accepts_connections(port_, options.ipv6)) {
                pid_ = child;
                failure_.clear();
                return;
            }
            sleep_msec(10);
        }
        kill(-child, SIGKILL);
        waitpid(child, nullptr, 0);
        failure_ = "vsftpd did not start listening: " + read_file(output);
    }

    std::string failure_;
    std::string root_, anon_dir_, local_dir_;
    int port_ = -1;
    pid_t pid_ = -1;
};

}  // namespace kuv_ftp_test

#endif  // KUV_TESTS_FTP_VSFTPD_SERVER_H
