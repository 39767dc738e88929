// Runs the kuv tool and the example programs as a user would: a child
// process with its own standard input, output and error, every wait bounded.
#ifndef KUV_TESTS_TOOLS_PROGRAM_RUNNER_H
#define KUV_TESTS_TOOLS_PROGRAM_RUNNER_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ftp/vsftpd_server.h"

namespace kuv_tool_test {

using kuv_ftp_test::free_loopback_port;
using kuv_ftp_test::read_file;
using kuv_ftp_test::remove_tree;
using kuv_ftp_test::write_file;
using Clock = std::chrono::steady_clock;

struct Outcome {
    int exit_code = -1;  // -1: ended by a signal, killed (time-out) or not started
    int end_signal = 0;  // the signal that ended it; SIGKILL after a time-out
    std::string out, err;
};

// A program with the input on its standard input, left running while the
// test talks to it (a server) or run to its end. Its output is collected as
// it comes; the destructor ends it (SIGTERM, then SIGKILL).
class RunningProgram {
  public:
    explicit RunningProgram(const std::vector<std::string> &arguments,
                            const std::string &input = "") {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        std::fflush(stdout);
        if ((pid_ = fork()) == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            std::vector<char *> argv;
            for (const std::string &argument : arguments)
                argv.push_back(const_cast<char *>(argument.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // The input is small (a few lines): a pipe holds it whole.
        if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
        }
        for (int end : {in[0], in[1], out[1], err[1]})
            close(end);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~RunningProgram() {
        stop(2000);
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    RunningProgram(const RunningProgram &) = delete;
    RunningProgram &operator=(const RunningProgram &) = delete;

    // Reads output until standard output holds text, for at most timeout_ms;
    // true when it does.
    bool wait_for_output(const std::string &text, int timeout_ms = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (outcome_.out.find(text) == std::string::npos)
            if (!read_some(deadline)) return false;
        return true;
    }
    // Waits for the program to end by itself (at most timeout_ms, then it is
    // killed): what it wrote and its exit code.
    Outcome finish(int timeout_ms = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (read_some(deadline)) {
        }
        int status = -1;
        while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) kill(pid_, SIGKILL);
            usleep(5000);
        }
        if (pid_ > 0) {
            outcome_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            outcome_.end_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
        pid_ = -1;
        return outcome_;
    }
    // Asks the program to stop (SIGTERM) and then finishes it.
    Outcome stop(int timeout_ms = 10000) {
        if (pid_ > 0) kill(pid_, SIGTERM);
        return finish(timeout_ms);
    }
    const std::string &out() const { return outcome_.out; }
    // The running program's process id (-1 once it has ended), for signals
    // such as SIGSTOP that make it a slow peer.
    pid_t pid() const { return pid_; }

  private:
    // Reads what comes within 50 ms; false once both outputs have ended or
    // the deadline has passed.
    bool read_some(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || (fds_[0] < 0 && fds_[1] < 0)) return false;
        pollfd watch[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (poll(watch, 2, static_cast<int>(std::min<int64_t>(left.count(), 50))) <= 0) return true;
        std::string *texts[2] = {&outcome_.out, &outcome_.err};
        for (int i = 0; i < 2; ++i) {
            char chunk[4096];
            const ssize_t got = watch[i].revents ? read(fds_[i], chunk, sizeof chunk) : 1;
            if (got > 0 && watch[i].revents) texts[i]->append(chunk, static_cast<size_t>(got));
            if (got > 0) continue;
            close(fds_[i]);
            fds_[i] = -1;
        }
        return true;
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    Outcome outcome_;
};

// Runs arguments[0] (a path) with the arguments, feeding input on standard
// input; kills it after timeout_ms.
inline Outcome run_program(const std::vector<std::string> &arguments, const std::string &input = "",
                           int timeout_ms = 30000) {
    return RunningProgram(arguments, input).finish(timeout_ms);
}

// The kuv tool's command line with the arguments, and running it.
inline std::vector<std::string> kuv_command(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KUV_TOOL_PATH);
    return arguments;
}
inline Outcome kuv(const std::vector<std::string> &arguments, const std::string &input = "") {
    return run_program(kuv_command(arguments), input);
}

// Directory of a fresh temporary tree, removed with remove_tree.
inline std::string make_temp_dir(const char *stem) {
    std::string pattern = std::string("/tmp/kuv_") + stem + "_XXXXXX";
    return mkdtemp(pattern.data()) && chmod(pattern.c_str(), 0755) == 0 ? pattern : "";
}

// Lines of text that contain needle.
inline int count_lines_with(const std::string &text, const std::string &needle) {
    int count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        count += line.find(needle) != std::string::npos;
    return count;
}

}  // namespace kuv_tool_test

#endif  // KUV_TESTS_TOOLS_PROGRAM_RUNNER_H
