// Calls interrupted by a signal: flag 0 repeats the call (a wait with its
// whole time-out), any other flag ends it with the failure value; close is
// never repeated.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "sysio/file_test_support.h"

namespace {

using kuv_file_test::Pipe;
using kuv_file_test::seconds_since;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_signals = 0;

// A one-shot timer whose signal goes to this thread, its handler installed
// without SA_RESTART so that the signal interrupts system calls.
class FileInterrupt : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        struct sigaction action = {};
        action.sa_handler = [](int) { g_signals = g_signals + 1; };
        sigaction(SIGALRM, &action, &previous_);
        struct sigevent event = {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
        ASSERT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer_), 0);
    }
    void TearDown() override {
        timer_delete(timer_);
        sigaction(SIGALRM, &previous_, nullptr);
        ResourceCheckedTest::TearDown();
    }
    void signal_after_msec(int msec) {
        g_signals = 0;
        struct itimerspec when = {};
        when.it_value.tv_nsec = static_cast<long>(msec) * 1000000;
        timer_settime(timer_, 0, &when, nullptr);
    }
    struct sigaction previous_;
    timer_t timer_{};
};

TEST_F(FileInterrupt, WaitEndsOrStartsAgainWithTheWholeTimeOut) {
    Pipe pipe;
    signal_after_msec(100);
    auto start = Clock::now();
    EXPECT_EQ(kuv_xapi_poll_fd_intr(pipe.read_end(), 1, 5000, 1), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_LT(seconds_since(start), 4.0);

    // Interrupted after 200 ms of a 600 ms wait, the wait starts over: at
    // least 800 ms in all, not 600. The plain forms behave as flag 0.
    signal_after_msec(200);
    start = Clock::now();
    EXPECT_EQ(kuv_xapi_poll_fd_intr(pipe.read_end(), 1, 600, 0), 0);
    EXPECT_GE(seconds_since(start), 0.78);
    signal_after_msec(200);
    start = Clock::now();
    EXPECT_EQ(kuv_xapi_rx_poll_fd(pipe.read_end(), 600), 0);
    EXPECT_GE(seconds_since(start), 0.78);
    EXPECT_EQ(g_signals, 1);
}

TEST_F(FileInterrupt, ReadOnEmptyPipeRepeatsOrStops) {
    Pipe pipe;
    char byte = 0;
    signal_after_msec(100);
    EXPECT_EQ(kuv_xapi_read_intr(pipe.read_end(), &byte, 1, 1), -1);
    EXPECT_EQ(errno, EINTR);

    // The writer thread must not take the signal: block it while starting it.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    std::thread writer([&] {
        usleep(400000);
        EXPECT_EQ(write(pipe.write_end(), "r", 1), 1);
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    signal_after_msec(100);
    EXPECT_EQ(kuv_xapi_read(pipe.read_end(), &byte, 1), 1);
    writer.join();
    EXPECT_EQ(byte, 'r');
    EXPECT_EQ(g_signals, 1);
}

// Makes close of descriptor `target` report EINTR in this process, as a
// flush interrupted by a signal does on some file systems.
bool fail_close_with_eintr(uint32_t target) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, target, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINTR),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(FileInterrupt, InterruptedCloseIsNeverRepeated) {
    // In a child whose close of descriptor 777 always reports EINTR, a close
    // that repeated after EINTR would never return (the alarm ends it).
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        if (dup2(0, 777) != 777 || !fail_close_with_eintr(777)) _exit(77);
        bool right = kuv_xapi_close_intr(777, 1) == 2 && kuv_xapi_close_intr(777, 0) == 1 &&
                     kuv_xapi_close(777) == 1;
        _exit(right ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "close repeated after EINTR";
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "seccomp filters not allowed here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "wrong close results after EINTR";
}

}  // namespace
