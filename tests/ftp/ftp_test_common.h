// Pieces shared by the FTP client's tests: an owned FTP handle, a scratch
// directory to download into, and the log-in every scripted session opens
// with.
#ifndef KUV_TESTS_FTP_FTP_TEST_COMMON_H
#define KUV_TESTS_FTP_FTP_TEST_COMMON_H

#include <limits.h>
#include <unistd.h>

#include <string>

#include "davro_kuv.h"
#include "tests/ftp/fake_server.h"
#include "tests/ftp/vsftpd_server.h"

namespace kuv_ftp_test {

// An FTP handle for one test, closed at the end of its scope. Short
// time-outs keep a failing test from hanging on a silent peer.
class Client {
  public:
    Client() : ftp(kuv_xapi_open_ftp()) {
        ftp->control_timeout = 3000;
        ftp->accept_timeout = 3000;
    }
    ~Client() { kuv_xapi_close_ftp(ftp); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    kuv_ftp_t *operator->() const { return ftp; }

    kuv_ftp_t *ftp;
};

// A fresh directory made the current one for the scope (downloads write
// into the current directory); the earlier one and the directory's removal
// come back at the end.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        char previous[PATH_MAX];
        if (getcwd(previous, sizeof previous)) previous_ = previous;
        char pattern[] = "/tmp/kuv_ftp_cwd_XXXXXX";
        if (mkdtemp(pattern)) path_ = pattern;
        inner_ = path_ + "/work";
        mkdir(inner_.c_str(), 0755);
        if (chdir(inner_.c_str()) != 0) inner_.clear();
    }
    ~ScratchDirectory() {
        if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
        }
        if (!path_.empty()) remove_tree(path_);
    }
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;

    bool ok() const { return !inner_.empty(); }
    // The current directory, and the one above it (which a hostile name
    // would aim at).
    const std::string &path() const { return inner_; }
    const std::string &parent() const { return path_; }

  private:
    std::string previous_, path_, inner_;
};

// Sends the welcome and answers USER and PASS.
inline void serve_login(FakeSession &session) {
    session.reply("220 fake ready\r\n");
    session.command();
    session.reply("331 password please\r\n");
    session.command();
    session.reply("230 logged in\r\n");
}

// Connects and logs in to a fake server: true when both worked.
inline bool connect_and_login(Client &client, const FakeServer &server) {
    return client->connect(client.ftp, "127.0.0.1", server.port()) == 1 &&
           client->login(client.ftp, "user", "secret") == 1;
}

}  // namespace kuv_ftp_test

#endif  // KUV_TESTS_FTP_FTP_TEST_COMMON_H
