// Calls interrupted by a signal: flag 0 repeats the call (a wait with its
// whole time-out), any other flag ends it with the failure value; close is
// never repeated.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "sysio/file_test_support.h"

namespace {

using kuv_file_test::Pipe;

volatile sig_atomic_t g_signals = 0;

void count_signal(int) {
    g_signals = g_signals + 1;
}

// A one-shot timer whose signal goes to the calling thread, with a handler
// installed without SA_RESTART so that the signal interrupts system calls.
class TimerSignal {
  public:
    TimerSignal() {
        g_signals = 0;
        struct sigaction action = {};
        action.sa_handler = count_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGALRM, &action, &previous_);
        struct sigevent event = {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
        created_ = timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
        EXPECT_TRUE(created_);
    }
    ~TimerSignal() {
        if (created_) timer_delete(timer_);
        sigaction(SIGALRM, &previous_, nullptr);
    }
    TimerSignal(const TimerSignal &) = delete;
    TimerSignal &operator=(const TimerSignal &) = delete;

    void fire_after_msec(int msec) {
        g_signals = 0;
        struct itimerspec when = {};
        when.it_value.tv_sec = msec / 1000;
        when.it_value.tv_nsec = static_cast<long>(msec % 1000) * 1000000;
        timer_settime(timer_, 0, &when, nullptr);
    }

  private:
    struct sigaction previous_;
    timer_t timer_{};
    bool created_ = false;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `work` in a thread that never takes the signal, after `msec`.
std::thread later(int msec, std::function<void()> work) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    std::thread thread([msec, work] {
        std::this_thread::sleep_for(std::chrono::milliseconds(msec));
        work();
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

class FileInterrupt : public kuv_test::ResourceCheckedTest {};

TEST_F(FileInterrupt, WaitWithNonZeroFlagEndsAtTheSignal) {
    Pipe pipe;
    TimerSignal signal;
    signal.fire_after_msec(100);
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(kuv_xapi_poll_fd_intr(pipe.read_end, 1, 5000, 1), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(g_signals, 1);
    EXPECT_LT(seconds_since(start), 4.0);
}

TEST_F(FileInterrupt, WaitWithFlagZeroStartsTheWholeTimeOutAgain) {
    Pipe pipe;
    TimerSignal signal;
    // Interrupted after 200 ms of a 600 ms wait, the wait starts over: at
    // least 800 ms in all, not 600.
    signal.fire_after_msec(200);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kuv_xapi_poll_fd_intr(pipe.read_end, 1, 600, 0), 0);
    EXPECT_EQ(g_signals, 1);
    EXPECT_GE(seconds_since(start), 0.78);

    // The plain forms behave as flag 0.
    signal.fire_after_msec(200);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(kuv_xapi_rx_poll_fd(pipe.read_end, 600), 0);
    EXPECT_EQ(g_signals, 1);
    EXPECT_GE(seconds_since(start), 0.78);
    EXPECT_LT(seconds_since(start), 10.0);

    // Data arriving after the signal ends the repeated wait.
    signal.fire_after_msec(100);
    std::thread writer = later(300, [&] { EXPECT_EQ(write(pipe.write_end, "x", 1), 1); });
    EXPECT_EQ(kuv_xapi_poll_fd(pipe.read_end, 1, 5000), 1);
    writer.join();
    EXPECT_EQ(g_signals, 1);
}

TEST_F(FileInterrupt, ReadOnEmptyPipeRepeatsOrStops) {
    Pipe pipe;
    TimerSignal signal;
    char byte = 0;
    signal.fire_after_msec(100);
    errno = 0;
    EXPECT_EQ(kuv_xapi_read_intr(pipe.read_end, &byte, 1, 1), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(g_signals, 1);

    signal.fire_after_msec(100);
    std::thread writer = later(400, [&] { EXPECT_EQ(write(pipe.write_end, "r", 1), 1); });
    EXPECT_EQ(kuv_xapi_read(pipe.read_end, &byte, 1), 1);
    writer.join();
    EXPECT_EQ(byte, 'r');
    EXPECT_EQ(g_signals, 1);
}

TEST_F(FileInterrupt, WriteToFullPipeRepeatsOrStops) {
    Pipe pipe;
    // Fill the pipe without blocking, then make the next write block.
    int flags = fcntl(pipe.write_end, F_GETFL);
    fcntl(pipe.write_end, F_SETFL, flags | O_NONBLOCK);
    char chunk[4096] = {};
    size_t filled = 0;
    for (ssize_t put; (put = write(pipe.write_end, chunk, sizeof chunk)) > 0;)
        filled += put;
    fcntl(pipe.write_end, F_SETFL, flags);

    TimerSignal signal;
    signal.fire_after_msec(100);
    errno = 0;
    EXPECT_EQ(kuv_xapi_write_intr(pipe.write_end, "w", 1, 7), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(g_signals, 1);

    signal.fire_after_msec(100);
    std::thread reader = later(400, [&] {
        std::vector<char> sink(filled);
        size_t drained = 0;
        while (drained < filled) {
            ssize_t got = read(pipe.read_end, sink.data(), filled - drained);
            if (got <= 0) break;
            drained += got;
        }
        EXPECT_EQ(drained, filled);
    });
    EXPECT_EQ(kuv_xapi_write_intr(pipe.write_end, "w", 1, 0), 1);
    reader.join();
    EXPECT_EQ(g_signals, 1);
}

// Makes close of descriptor `target` fail with EINTR in this process, as a
// flush interrupted by a signal does on some file systems. False when the
// system does not allow the filter.
bool fail_close_with_eintr(int target) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(target), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINTR),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                                 filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(FileInterrupt, InterruptedCloseIsNeverRepeated) {
    // In a child process: its close of descriptor 777 always reports EINTR,
    // so a close that repeated after EINTR would never return.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        if (dup2(0, 777) != 777 || !fail_close_with_eintr(777)) _exit(77);
        int with_flag = kuv_xapi_close_intr(777, 1);
        int without_flag = kuv_xapi_close_intr(777, 0);
        int plain = kuv_xapi_close(777);
        _exit(with_flag == 2 && without_flag == 1 && plain == 1 ? 0 : 1);
    }
    int status = 0;
    pid_t ended = 0;
    for (int waited = 0; waited < 1500 && (ended = waitpid(child, &status, WNOHANG)) == 0;
         ++waited) {
        usleep(10000);
    }
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "close repeated after EINTR";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "seccomp filters not allowed here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "wrong close results after EINTR";
}

}  // namespace
