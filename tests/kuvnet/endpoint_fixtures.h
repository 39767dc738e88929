// Fixtures of the endpoint tests: an owned handle, unique temporary paths,
// and a forked child that runs a scenario in namespaces of its own (a
// network of its own, or a host table of its own) and reports back.
#ifndef KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H
#define KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "davro_kuv.h"

namespace kuv_test {

// A handle from init, deleted at scope end (unless taken).
struct Endpoint {
    kuvnet *handle = nullptr;
    explicit Endpoint(uint32_t protocol_type = 0) {
        EXPECT_EQ(kuv_xapi_kuvnet_init(&handle, 0), 1u);
        if (handle) handle->protocol_type = protocol_type;
    }
    ~Endpoint() {
        if (handle) kuv_xapi_kuvnet_delete(&handle);
    }
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;
    kuvnet *operator->() const { return handle; }
};

// A path no other test (or test process) uses: pid and a counter.
inline std::string unique_path(const char *stem) {
    static std::atomic<int> counter{0};
    return std::string("/tmp/kuv_") + stem + "_" + std::to_string(getpid()) + "_" +
           std::to_string(counter++);
}

// Runs a shell command; true when it exited 0.
inline bool run_command(const std::string &command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What a scenario in a child reported: "" when all went well, "SKIP: ..."
// when the machine did not allow the namespace, else the failures.
struct ChildReport {
    bool skipped = false;
    std::string text;
};

// A forked child that unshares the namespaces of `flags` (CLONE_NEWNET,
// CLONE_NEWNS; a new mount namespace has its mounts made private, so that
// nothing it mounts reaches this process), runs the `setup` commands in
// them, then `body`, and sends body's text back. Fork while this process
// has a single thread: a lock another thread held at the fork would stay
// taken in the child. The child is single-threaded itself, so /proc and
// every socket it opens belong to its namespaces.
class ChildProcess {
  public:
    ChildProcess(int flags, const std::string &setup, const std::function<std::string()> &body) {
        if (pipe(channel_) != 0) return;
        std::fflush(stdout);
        std::fflush(stderr);
        pid_ = fork();
        if (pid_ == 0) {
            close(channel_[0]);
            std::string text = run(flags, setup, body);
            (void)!write(channel_[1], text.data(), text.size());
            std::fflush(stdout);
            _exit(0);
        }
        close(channel_[1]);
    }
    ~ChildProcess() { report(1); }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Waits for the child's report; a child that has not reported within
    // timeout_ms is killed.
    ChildReport report(int timeout_ms = 30000) {
        if (pid_ <= 0) {
            if (!collected_) report_.text = "fork failed";
            collected_ = true;
            return report_;
        }
        if (collected_) return report_;
        collected_ = true;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        bool ended = false;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) break;
            pollfd watch{channel_[0], POLLIN, 0};
            if (poll(&watch, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[1024];
            ssize_t got = read(channel_[0], chunk, sizeof chunk);
            if (got <= 0) {
                ended = true;
                break;
            }
            report_.text.append(chunk, static_cast<size_t>(got));
        }
        close(channel_[0]);
        if (!ended) {
            kill(pid_, SIGKILL);
            report_.text += " (child timed out)";
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        report_.skipped = report_.text.rfind("SKIP: ", 0) == 0;
        return report_;
    }

  private:
    static std::string run(int flags, const std::string &setup,
                           const std::function<std::string()> &body) {
        if (unshare(flags) != 0)
            return std::string("SKIP: the machine does not allow new namespaces (") +
                   std::strerror(errno) + ")";
        if ((flags & CLONE_NEWNS) && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            return std::string("SKIP: mounts cannot be made private (") + std::strerror(errno) +
                   ")";
        if (!setup.empty() && !run_command(setup))
            return "SKIP: the namespace could not be set up with: " + setup;
        return body();
    }

    int channel_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool collected_ = false;
    ChildReport report_;
};

inline ChildReport run_in_namespaces(int flags, const std::string &setup,
                                     const std::function<std::string()> &body,
                                     int timeout_ms = 30000) {
    ChildProcess child(flags, setup, body);
    return child.report(timeout_ms);
}

// Collects the failures of a scenario run in a child.
struct Failures {
    std::string text;
    void check(bool condition, const std::string &what) {
        if (!condition) text += what + "; ";
    }
};

}  // namespace kuv_test

#endif  // KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H
