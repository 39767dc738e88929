// Fixtures of the endpoint tests: an owned handle, unique temporary paths,
// and a forked child that runs a scenario in namespaces of its own (its own
// network, or its own host table) and reports its failures back.
#ifndef KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H
#define KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "davro_kuv.h"

namespace kuv_test {

// A handle from init, deleted at scope end.
struct Endpoint {
    kuvnet *handle = nullptr;
    explicit Endpoint(uint32_t type, int32_t port = -1) {
        kuv_xapi_kuvnet_init(&handle, 0);
        handle->protocol_type = type;
        handle->port = port;
    }
    ~Endpoint() { kuv_xapi_kuvnet_delete(&handle); }
    kuvnet *operator->() const { return handle; }
};

inline std::string unique_path(const char *stem) {
    static int counter = 0;
    return std::string("/tmp/kuv_") + stem + "_" + std::to_string(getpid()) + "_" +
           std::to_string(counter++);
}

// Failures of a scenario run in a child, as text.
struct Failures {
    std::string text;
    void check(bool condition, const std::string &what) {
        if (!condition) text += what + "; ";
    }
};

// A forked child that unshares `flags` (a new mount namespace gets private
// mounts, so nothing it mounts reaches this process), runs `setup` through
// the shell, then `body`, and writes body's text back: "" when all went
// well, "SKIP: ..." when the machine forbids the namespace. Fork while this
// process has one thread: a lock held by another thread at the fork would
// stay taken in the child. Being single-threaded, the child sees its own
// network in /proc as well.
class ChildProcess {
  public:
    ChildProcess(int flags, const char *setup, const std::function<std::string()> &body) {
        if (pipe(channel_) != 0) return;
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            std::string text;
            if (unshare(flags) != 0 || ((flags & CLONE_NEWNS) &&
                                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)))
                text = std::string("SKIP: no namespace of our own here: ") + std::strerror(errno);
            else if (*setup && std::system((std::string(setup) + " >/dev/null 2>&1").c_str()))
                text = std::string("SKIP: the namespace cannot be set up with: ") + setup;
            else
                text = body();
            (void)!write(channel_[1], text.data(), text.size());
            std::fflush(nullptr);
            _exit(0);
        }
        close(channel_[1]);
    }
    // The child's text; a child that has not ended within 30 s is killed.
    std::string report() {
        std::string text;
        char chunk[512];
        pollfd watch{channel_[0], POLLIN, 0};
        ssize_t got = 1;
        while (pid_ > 0 && got > 0 && poll(&watch, 1, 30000) == 1 &&
               (got = read(channel_[0], chunk, sizeof chunk)) > 0)
            text.append(chunk, static_cast<size_t>(got));
        if (pid_ > 0 && got != 0) {
            kill(pid_, SIGKILL);
            text += " (the child did not end)";
        }
        close(channel_[0]);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return text;
    }
    ~ChildProcess() {
        if (pid_ > 0) report();
    }

  private:
    int channel_[2] = {-1, -1};
    pid_t pid_ = -1;
};

// Runs body in a child of its own namespaces and checks its report.
#define EXPECT_CHILD_PASSES(flags, setup, body)                                   \
    do {                                                                          \
        std::string report = kuv_test::ChildProcess(flags, setup, body).report(); \
        if (report.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << report;               \
        EXPECT_EQ(report, "");                                                    \
    } while (0)

}  // namespace kuv_test

#endif  // KUV_TESTS_KUVNET_ENDPOINT_FIXTURES_H
