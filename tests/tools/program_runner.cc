#include "tests/tools/program_runner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kuv_tool_test {
namespace {

using Clock = std::chrono::steady_clock;

int milliseconds_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Starts the program with pipes on its three standard descriptors. The
// write end of its input is returned in *input (closed by the caller).
pid_t spawn(const std::vector<std::string> &arguments, int *input, int *output, int *error) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0) return -1;
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return -1;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        std::vector<char *> argv;
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (child < 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return -1;
    }
    *input = in_pipe[1];
    *output = out_pipe[0];
    *error = err_pipe[0];
    return child;
}

// Reads what is ready on the two descriptors within timeout_ms; an ended
// stream's descriptor is closed and set to -1.
void drain(int *out_fd, int *err_fd, std::string *out, std::string *err, int timeout_ms) {
    pollfd watch[2] = {{*out_fd, POLLIN, 0}, {*err_fd, POLLIN, 0}};
    if (poll(watch, 2, timeout_ms) <= 0) return;
    int *fds[2] = {out_fd, err_fd};
    std::string *texts[2] = {out, err};
    for (int i = 0; i < 2; ++i) {
        if (*fds[i] < 0 || !(watch[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char chunk[4096];
        ssize_t got = read(*fds[i], chunk, sizeof chunk);
        if (got > 0) {
            texts[i]->append(chunk, static_cast<size_t>(got));
        } else {
            close(*fds[i]);
            *fds[i] = -1;
        }
    }
}

int wait_exit(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0) return -1;
        if (milliseconds_left(deadline) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

Outcome run_program(const std::vector<std::string> &arguments, const std::string &input,
                    int timeout_ms) {
    Outcome outcome;
    int in_fd = -1, out_fd = -1, err_fd = -1;
    pid_t child = spawn(arguments, &in_fd, &out_fd, &err_fd);
    if (child < 0) return outcome;
    // The input is small (a few lines); a pipe holds it whole.
    if (!input.empty() && write(in_fd, input.data(), input.size()) < 0) {
    }
    close(in_fd);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while ((out_fd >= 0 || err_fd >= 0) && milliseconds_left(deadline) > 0) {
        drain(&out_fd, &err_fd, &outcome.out, &outcome.err, milliseconds_left(deadline));
    }
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    outcome.exit_code = wait_exit(child, deadline);
    return outcome;
}

RunningProgram::RunningProgram(const std::vector<std::string> &arguments) {
    int in_fd = -1;
    pid_ = spawn(arguments, &in_fd, &out_fd_, &err_fd_);
    if (pid_ > 0) close(in_fd);
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0) stop(2000);
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

void RunningProgram::read_available(int timeout_ms) {
    if (out_fd_ < 0 && err_fd_ < 0) {
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        return;
    }
    drain(&out_fd_, &err_fd_, &outcome_.out, &outcome_.err, timeout_ms);
}

bool RunningProgram::wait_for_output(const std::string &text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (outcome_.out.find(text) == std::string::npos) {
        int left = milliseconds_left(deadline);
        if (left == 0) return false;
        read_available(left < 50 ? left : 50);
    }
    return true;
}

Outcome RunningProgram::finish(int timeout_ms) {
    if (pid_ <= 0) return outcome_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while ((out_fd_ >= 0 || err_fd_ >= 0) && milliseconds_left(deadline) > 0)
        read_available(milliseconds_left(deadline));
    outcome_.exit_code = wait_exit(pid_, deadline);
    pid_ = -1;
    return outcome_;
}

Outcome RunningProgram::stop(int timeout_ms) {
    if (pid_ > 0) kill(pid_, SIGTERM);
    return finish(timeout_ms);
}

std::string make_temp_dir(const char *stem) {
    std::string pattern = std::string("/tmp/kuv_") + stem + "_XXXXXX";
    if (!mkdtemp(pattern.data())) return "";
    chmod(pattern.c_str(), 0755);
    return pattern;
}

void remove_tree(const std::string &path) {
    if (path.empty()) return;
    nftw(
        path.c_str(),
        [](const char *entry, const struct stat *, int, struct FTW *) { return ::remove(entry); },
        16, FTW_DEPTH | FTW_PHYS);
}

bool write_file(const std::string &path, const std::string &bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::string read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

int count_lines_with(const std::string &text, const std::string &needle) {
    int count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.find(needle) != std::string::npos) ++count;
    return count;
}

int closed_loopback_port() {
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(probe);
    return port;
}

}  // namespace kuv_tool_test
