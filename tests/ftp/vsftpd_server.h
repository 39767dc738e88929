// A real FTP server for the tests and the benchmark: Debian's vsftpd in the
// foreground, configured in a temporary directory, on a free loopback port,
// with an anonymous read area and a writable one for a local user (a system
// account made when missing); stopped by its process group. It needs root.
#ifndef KUV_TESTS_FTP_VSFTPD_SERVER_H
#define KUV_TESTS_FTP_VSFTPD_SERVER_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace kuv_ftp_test {

inline constexpr const char *kVsftpd = "/usr/sbin/vsftpd";
inline constexpr const char *kLocalUser = "kuvftp";
inline constexpr const char *kLocalPassword = "kuv-ftp-pass";

inline bool write_file(const std::string &path, const std::string &bytes) {
    return static_cast<bool>(std::ofstream(path, std::ios::binary) << bytes);
}

inline std::string read_file(const std::string &path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// size bytes of a pattern that differs per seed and per position.
inline std::string pattern_bytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char &byte : bytes)
        byte = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
    return bytes;
}

inline void remove_tree(const std::string &path) {
    nftw(
        path.c_str(),
        [](const char *entry, const struct stat *, int, FTW *) { return ::remove(entry); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// A TCP socket of the loopback address: listening on *port (0: a port the
// system picks, stored back) or, with connect_to, connected to it. -1 on
// failure.
inline int loopback_socket(bool ipv6, int *port, bool connect_to = false) {
    sockaddr_storage place{};
    auto *four = reinterpret_cast<sockaddr_in *>(&place);
    auto *six = reinterpret_cast<sockaddr_in6 *>(&place);
    place.ss_family = ipv6 ? AF_INET6 : AF_INET;
    if (ipv6) six->sin6_addr = in6addr_loopback;
    if (!ipv6) four->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    four->sin_port = htons(static_cast<uint16_t>(*port));  // where sin6_port is too
    int socket_fd = socket(place.ss_family, SOCK_STREAM, 0), one = 1;
    setsockopt(socket_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    auto *any = reinterpret_cast<sockaddr *>(&place);
    socklen_t length = ipv6 ? sizeof *six : sizeof *four;
    const bool ok = connect_to ? connect(socket_fd, any, length) == 0
                               : bind(socket_fd, any, length) == 0 && listen(socket_fd, 8) == 0 &&
                                     getsockname(socket_fd, any, &length) == 0;
    *port = ntohs(four->sin_port);
    if (!ok) close(socket_fd);
    return ok ? socket_fd : -1;
}

// A loopback port that nothing listens on (free a moment ago).
inline int free_loopback_port(bool ipv6 = false) {
    int port = 0;
    close(loopback_socket(ipv6, &port));
    return port;
}

// Runs a shell command with its output discarded, for at most a minute:
// its exit status, or -1.
inline int run_command(const std::string &command) {
    const int status = std::system(("timeout 60 sh -c '" + command + "' >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Makes the local user unless it exists: a system account with a password,
// a shell of /etc/shells and its home at "/", not listed in /etc/ftpusers
// (what Debian's PAM setup of vsftpd asks). An empty text, or why not.
inline std::string ensure_local_user() {
    if (geteuid() != 0) return "vsftpd needs root";
    // Test processes run in parallel: one at a time edits the account files.
    const int lock = open("/tmp/kuv_ftp_test_user.lock", O_CREAT | O_RDWR, 0600);
    flock(lock, LOCK_EX);
    const std::string user = kLocalUser, add = "useradd --system --no-create-home --home-dir / ";
    const bool made =
        getpwnam(kLocalUser) || run_command(add + "--shell /bin/sh " + user + " && echo " + user +
                                            ":" + kLocalPassword + " | chpasswd") == 0;
    close(lock);
    return made ? "" : "the local user cannot be made";
}

struct VsftpdOptions {
    bool passive_enabled = true;
    bool active_enabled = true;
    bool ipv6 = false;                // listen on ::1 instead of 127.0.0.1
    bool every_ipv6_address = false;  // with ipv6: listen on :: (link-local addresses too)
};

class VsftpdServer {
  public:
    explicit VsftpdServer(VsftpdOptions options = {}) : options_(options) {
        umask(022);  // the server's users read what the tests write
        failure_ = access(kVsftpd, X_OK) != 0 ? "vsftpd is not installed (tools/install-deps)"
                                              : ensure_local_user();
        char pattern[] = "/tmp/kuv_vsftpd_XXXXXX";
        if (failure_.empty() && !mkdtemp(pattern)) failure_ = "mkdtemp failed";
        if (!failure_.empty()) return;
        root_ = pattern;
        chmod(root_.c_str(), 0755);
        for (const char *folder : {"/anon", "/local", "/empty"})
            mkdir((root_ + folder).c_str(), 0755);
        const passwd *user = getpwnam(kLocalUser);
        if (!user || chown(local_dir().c_str(), user->pw_uid, user->pw_gid) != 0)
            failure_ = "the local area cannot be given to the local user";
        // A port taken between the probe and vsftpd's bind costs a try.
        for (int attempt = 0; attempt < 5 && failure_.empty() && pid_ < 0; ++attempt)
            launch();
    }
    ~VsftpdServer() {
        if (pid_ > 0 && kill(-pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
        if (!root_.empty()) remove_tree(root_);
    }
    VsftpdServer(const VsftpdServer &) = delete;
    VsftpdServer &operator=(const VsftpdServer &) = delete;

    // Empty when the server runs, else why it does not.
    const std::string &failure() const { return failure_; }
    int port() const { return port_; }
    std::string anon_dir() const { return root_ + "/anon"; }
    std::string local_dir() const { return root_ + "/local"; }

  private:
    void launch() {
        port_ = free_loopback_port(options_.ipv6);
        const std::string config = root_ + "/vsftpd.conf", output = root_ + "/vsftpd.out";
        std::ofstream(config)
            << (!options_.ipv6 ? "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                : options_.every_ipv6_address ? "listen=NO\nlisten_ipv6=YES\n"
                                              : "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n")
            << "listen_port=" << port_ << "\nbackground=NO\n"
            << "anonymous_enable=YES\nno_anon_password=YES\nanon_root=" << anon_dir() << "\n"
            << "local_enable=YES\nwrite_enable=YES\nlocal_umask=022\nchroot_local_user=NO\n"
            << "local_root=" << local_dir() << "\n"
            << "pasv_enable=" << (options_.passive_enabled ? "YES" : "NO") << "\n"
            << "port_enable=" << (options_.active_enabled ? "YES" : "NO") << "\n"
            << "connect_from_port_20=NO\nxferlog_enable=NO\npam_service_name=vsftpd\n"
            // Without these vsftpd does not run in the machines' containers.
            << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
            << "secure_chroot_dir=" << root_ << "/empty\n";
        const pid_t child = fork();
        if (child == 0) {
            setpgid(0, 0);
            const int sink = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(sink, 1);
            dup2(sink, 2);
            execl(kVsftpd, "vsftpd", config.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        setpgid(child, child);
        bool ended = false;
        for (int waited = 0; waited < 5000 && !ended && pid_ < 0; waited += 10, usleep(10000)) {
            ended = waitpid(child, nullptr, WNOHANG) == child;
            const int probe = ended ? -1 : loopback_socket(options_.ipv6, &port_, true);
            if (probe >= 0 && close(probe) == 0) pid_ = child;
        }
        if (pid_ < 0 && !ended) {
            kill(-child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        failure_ = pid_ > 0 ? "" : "vsftpd does not run: " + read_file(output);
    }

    VsftpdOptions options_;
    std::string failure_, root_;
    int port_ = -1;
    pid_t pid_ = -1;
};

}  // namespace kuv_ftp_test

#endif  // KUV_TESTS_FTP_VSFTPD_SERVER_H
