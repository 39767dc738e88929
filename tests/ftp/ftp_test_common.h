// Pieces shared by the FTP client's tests: an owned FTP handle, listings,
// and a scratch directory to download into.
#ifndef KUV_TESTS_FTP_FTP_TEST_COMMON_H
#define KUV_TESTS_FTP_FTP_TEST_COMMON_H

#include <string>
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
        return read_to_end();
    }
    std::string read_to_end() const {
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

inline bool exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
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
// aim at; both are removed at the end.
struct ScratchDirectory {
    ScratchDirectory() {
        char pattern[] = "/tmp/kuv_ftp_cwd_XXXXXX";
        parent = mkdtemp(pattern) ? pattern : "/nonexistent";
        const std::string path = parent + "/work";
        ok = mkdir(path.c_str(), 0755) == 0 && chdir(path.c_str()) == 0;
    }
    ~ScratchDirectory() {
        if (chdir("/") == 0 && ok) remove_tree(parent);
    }
    std::string parent;
    bool ok;
};

}  // namespace kuv_ftp_test

#endif  // KUV_TESTS_FTP_FTP_TEST_COMMON_H
