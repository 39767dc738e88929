// kuv ftp against a real FTP server (vsftpd on a free loopback port, started
// per test), and the progress bar as a terminal shows it (under a pty).
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/ftp/vsftpd_server.h"
#include "tests/tools/program_runner.h"

namespace {

using kuv_tool_test::count_lines_with;
using kuv_tool_test::Outcome;

Outcome kuv(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KUV_TOOL_PATH);
    return kuv_tool_test::run_program(arguments);
}

// Runs kuv with a pseudo-terminal as its standard output and error, as in
// an interactive shell; returns everything the terminal received.
std::string run_on_terminal(const std::vector<std::string> &arguments, int *exit_code) {
    std::vector<std::string> command = arguments;
    command.insert(command.begin(), KUV_TOOL_PATH);
    std::vector<char *> argv;
    for (std::string &argument : command)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    struct winsize size = {24, 100, 0, 0};
    int terminal = -1;
    std::fflush(stdout);
    pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string screen;
    *exit_code = -1;
    if (child < 0) return screen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd watch{terminal, POLLIN, 0};
        if (poll(&watch, 1, 100) <= 0) continue;
        char chunk[4096];
        ssize_t got = read(terminal, chunk, sizeof chunk);
        if (got <= 0) break;  // EIO once the program has ended
        screen.append(chunk, static_cast<size_t>(got));
    }
    close(terminal);
    int status = 0;
    if (waitpid(child, &status, WNOHANG) != child) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    if (WIFEXITED(status)) *exit_code = WEXITSTATUS(status);
    return screen;
}

class KuvFtp : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        server_ = std::make_unique<kuv_ftp_test::VsftpdServer>();
        if (!server_->failure().empty())
            GTEST_SKIP() << "no FTP server to test against: " << server_->failure();
        base_ = "ftp://127.0.0.1:" + std::to_string(server_->port());
        download_dir_ = kuv_tool_test::make_temp_dir("ftp_get");
        ASSERT_FALSE(download_dir_.empty());
        const std::string pub = server_->anon_dir() + "/pub";
        ASSERT_EQ(mkdir(pub.c_str(), 0755), 0);
        // Bytes of every value, in a size that spans many reads.
        payload_ = kuv_ftp_test::pattern_bytes(3 * 1024 * 1024 + 17, 13);
        ASSERT_TRUE(kuv_ftp_test::write_file(pub + "/data.bin", payload_));
        ASSERT_TRUE(kuv_ftp_test::write_file(pub + "/note.txt", "a note\n"));
    }
    void TearDown() override {
        kuv_tool_test::remove_tree(download_dir_);
        server_.reset();
        ResourceCheckedTest::TearDown();
    }

    std::unique_ptr<kuv_ftp_test::VsftpdServer> server_;
    std::string base_, download_dir_, payload_;
};

TEST_F(KuvFtp, GetDownloadsAnIdenticalFileInBothModes) {
    for (const char *mode : {"--quiet", "--active"}) {
        SCOPED_TRACE(mode);
        Outcome outcome = kuv({"ftp", "get", mode, "-o", download_dir_, base_ + "/pub/data.bin"});
        ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
        EXPECT_TRUE(kuv_tool_test::read_file(download_dir_ + "/data.bin") == payload_);
        // The summary names the bytes and where they went; nothing of the
        // library's own messages reaches standard output.
        EXPECT_EQ(outcome.out.rfind("data.bin: 3145745 bytes (3.0 MiB) in ", 0), 0u) << outcome.out;
        EXPECT_EQ(count_lines_with(outcome.out, ""), 1) << outcome.out;
        EXPECT_NE(outcome.out.find("-> " + download_dir_ + "/data.bin"), std::string::npos);
    }
}

TEST_F(KuvFtp, GetOfADirectoryFetchesEveryFileListed) {
    Outcome outcome = kuv({"ftp", "get", "--quiet", "-o", download_dir_, base_ + "/pub/"});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_TRUE(kuv_tool_test::read_file(download_dir_ + "/data.bin") == payload_);
    EXPECT_EQ(kuv_tool_test::read_file(download_dir_ + "/note.txt"), "a note\n");
    EXPECT_EQ(count_lines_with(outcome.out, "2 files, "), 1) << outcome.out;
}

TEST_F(KuvFtp, GetWithoutTerminalPrintsPlainProgressLines) {
    // 3 MiB at 1 MiB/s: about three seconds, so a few periodic lines.
    Outcome outcome =
        kuv({"ftp", "get", "--limit", "1M", "-o", download_dir_, base_ + "/pub/data.bin"});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_TRUE(kuv_tool_test::read_file(download_dir_ + "/data.bin") == payload_);
    EXPECT_GE(count_lines_with(outcome.err, "data.bin: "), 2) << outcome.err;
    EXPECT_EQ(count_lines_with(outcome.err, "data.bin: 100%  3.0 MiB / 3.0 MiB"), 1) << outcome.err;
    EXPECT_EQ(outcome.err.find('\r'), std::string::npos);
}

TEST_F(KuvFtp, GetOnATerminalRedrawsOneProgressBar) {
    int exit_code = -1;
    std::string screen = run_on_terminal(
        {"ftp", "get", "--limit", "1M", "-o", download_dir_, base_ + "/pub/data.bin"}, &exit_code);
    ASSERT_EQ(exit_code, 0) << screen;
    EXPECT_TRUE(kuv_tool_test::read_file(download_dir_ + "/data.bin") == payload_);
    // Redrawn in place: carriage returns and line erasures, a partly filled
    // bar on the way, and a full one at the end followed by the summary.
    EXPECT_GE(count_lines_with(screen, "\r"), 1);
    EXPECT_NE(screen.find("\033[K"), std::string::npos);
    EXPECT_NE(screen.find("=>"), std::string::npos) << screen;
    EXPECT_NE(screen.find("100% [===================="), std::string::npos) << screen;
    EXPECT_NE(screen.find("3.0 MiB / 3.0 MiB"), std::string::npos) << screen;
    EXPECT_NE(screen.find("ETA "), std::string::npos);
    EXPECT_NE(screen.find("\ndata.bin: 3145745 bytes"), std::string::npos) << screen;
}

TEST_F(KuvFtp, LsListsNamesOrLongLines) {
    Outcome outcome = kuv({"ftp", "ls", base_ + "/pub"});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_EQ(count_lines_with(outcome.out, "data.bin"), 1) << outcome.out;
    EXPECT_EQ(count_lines_with(outcome.out, "note.txt"), 1);
    EXPECT_EQ(count_lines_with(outcome.out, ""), 2);

    outcome = kuv({"ftp", "ls", "-l", base_ + "/pub"});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_EQ(count_lines_with(outcome.out, " 3145745 "), 1) << outcome.out;
    EXPECT_EQ(count_lines_with(outcome.out, "-rw-"), 2);
}

TEST_F(KuvFtp, PutUploadsAFileWithTheWriteStream) {
    const std::string local = download_dir_ + "/upload.bin";
    const std::string bytes = kuv_ftp_test::pattern_bytes(700 * 1024 + 3, 29);
    ASSERT_TRUE(kuv_tool_test::write_file(local, bytes));
    const std::string user = std::string("ftp://") + kuv_ftp_test::kLocalUser + ":" +
                             kuv_ftp_test::kLocalPassword +
                             "@127.0.0.1:" + std::to_string(server_->port()) + "/";
    Outcome outcome = kuv({"ftp", "put", "--quiet", local, user});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_TRUE(kuv_tool_test::read_file(server_->local_dir() + "/upload.bin") == bytes);
    // A path that names the file stores it under that name.
    outcome = kuv({"ftp", "put", "--quiet", local, user + "renamed.bin"});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_TRUE(kuv_tool_test::read_file(server_->local_dir() + "/renamed.bin") == bytes);
}

TEST_F(KuvFtp, FailuresExitWithOneLineAndLeaveNoPartialFile) {
    // A file the server does not have.
    Outcome outcome = kuv({"ftp", "get", "-o", download_dir_, base_ + "/pub/missing.bin"});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(count_lines_with(outcome.err, ""), 1) << outcome.err;
    EXPECT_EQ(outcome.err.rfind("kuv ftp get: ", 0), 0u) << outcome.err;
    EXPECT_EQ(count_lines_with(kuv({"ftp", "ls", "file://" + download_dir_}).err, "kuv ftp ls"), 1);
    struct stat facts;
    EXPECT_NE(stat((download_dir_ + "/missing.bin").c_str(), &facts), 0);
    EXPECT_NE(stat((download_dir_ + "/.missing.bin.kuv-part").c_str(), &facts), 0);

    // A server that is not there.
    const int port = kuv_tool_test::closed_loopback_port();
    outcome = kuv({"ftp", "get", "-o", download_dir_,
                   "ftp://127.0.0.1:" + std::to_string(port) + "/pub/data.bin"});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err,
              "kuv ftp get: cannot connect to 127.0.0.1 port " + std::to_string(port) + "\n");
    EXPECT_EQ(outcome.out, "");

    // URLs that name no server: a usage error.
    for (const char *url : {"ftp://localhost/pub/data.bin", "http://127.0.0.1/x", "not a url"}) {
        outcome = kuv({"ftp", "get", "-o", download_dir_, url});
        EXPECT_EQ(outcome.exit_code, 2) << url;
        EXPECT_EQ(count_lines_with(outcome.err, ""), 1) << outcome.err;
    }
}

}  // namespace
