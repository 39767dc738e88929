// The file wrappers: opening with the library's flags and locks, waits on
// descriptors above 1024, calls interrupted by a signal, formatted writing,
// directories with their parents, links, access tests and modes. (Their
// close is tested with the socket's, where close is interposed.)
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Each case works in a fresh directory under /tmp, removed at the end.
class FileCalls : public kuv_test::ResourceCheckedTest {
  protected:
    void TearDown() override {
        std::filesystem::remove_all(dir_);
        ResourceCheckedTest::TearDown();
    }
    std::string in_dir(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_ = mkdtemp(std::string("/tmp/kuv_file_XXXXXX").data());
};

// A pipe whose ends do not block, moved above 1024 (out of reach of
// select's sets) when the descriptor limit allows.
struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() {
        EXPECT_EQ(pipe2(ends, O_NONBLOCK), 0);
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        if (limit.rlim_max <= 2000 || setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
        for (int &end : ends) {
            int moved = fcntl(end, F_DUPFD, 1500);
            close(end);
            end = moved;
        }
    }
    ~Pipe() {
        for (int end : ends)
            close(end);
    }
    // What the pipe holds now.
    std::string pending() const {
        static char chunk[1 << 16];
        return std::string(chunk,
                           std::max<int64_t>(kuv_xapi_read(ends[0], chunk, sizeof chunk), 0));
    }
};

TEST_F(FileCalls, WaitsSignalsAndFormattedWritesOnAPipe) {
    Pipe pipe;
    const auto [read_end, write_end] = pipe.ends;
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, 0), 0);
    EXPECT_EQ(kuv_xapi_tx_poll_fd(write_end, 0), 1);
    EXPECT_EQ(kuv_xapi_poll_fd(write_end, 1 | 2 | 4, -1), 2);
    // Interrupted after 200 ms of a 600 ms wait, flag 0 and the plain form
    // start it over: at least 800 ms in all, not 600. (The socket waits are
    // this same wait.)
    struct sigaction action = {};
    action.sa_handler = [](int) {};  // without SA_RESTART: calls are interrupted
    sigaction(SIGALRM, &action, nullptr);
    for (int flag : {1, 0, -1}) {  // -1: the plain form
        struct itimerval when = {{0, 0}, {0, 200000}};
        setitimer(ITIMER_REAL, &when, nullptr);
        auto start = Clock::now();
        int32_t ready = flag < 0 ? kuv_xapi_rx_poll_fd(read_end, 600)
                                 : kuv_xapi_poll_fd_intr(read_end, 1, 600, flag);
        EXPECT_EQ(ready, flag == 1 ? -1 : 0);
        EXPECT_EQ(flag == 1 ? errno : EINTR, EINTR);  // ended by the signal
        EXPECT_GE(Clock::now() - start, flag == 1 ? 190ms : 780ms);
    }
    signal(SIGALRM, SIG_DFL);
    // Puts and printf hand each whole text to one write; a text too long to
    // make is refused before anything is written.
    EXPECT_EQ(kuv_xapi_write_puts(write_end, "line\n"), 5);
    EXPECT_EQ(kuv_xapi_write_puts(write_end, nullptr), -1);
    EXPECT_EQ(kuv_xapi_write_printf(write_end, "%s=%d;%05.1f[%4s]", "n", -42, 3.14159, "ab"), 17);
    const char *no_format = nullptr;
    EXPECT_EQ(kuv_xapi_write_printf(write_end, no_format, 0), -1);
    EXPECT_EQ(kuv_xapi_write_printf(write_end, "%s", std::string(600000, 'h').c_str()), -1);
    EXPECT_EQ(kuv_xapi_poll_fd_intr(read_end, 1 | 2 | 4, 1000, 1), 1);
    EXPECT_EQ(pipe.pending(), "line\nn=-42;003.1[  ab]");
    // A pipe with room for part of the text takes that part, nothing more.
    ASSERT_GT(fcntl(write_end, F_SETPIPE_SZ, 4096), 0);
    std::string text(3 * static_cast<size_t>(fcntl(write_end, F_GETPIPE_SZ)), 'p');
    int64_t written = kuv_xapi_write_printf(write_end, "%s", text.c_str());
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int64_t>(text.size()));
    EXPECT_EQ(static_cast<int64_t>(pipe.pending().size()), written);
    close(std::exchange(pipe.ends[1], -1));
    EXPECT_EQ(kuv_xapi_rx_poll_fd(read_end, 1000), 1);    // a hang-up counts as readable
    EXPECT_EQ(kuv_xapi_rx_poll_fd(write_end, 2000), -1);  // closed: refused, not waited for
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(kuv_xapi_poll_fd(-1, 1, 2000), -1);
}

struct stat stat_of(const std::string &path) {
    struct stat status = {};
    stat(path.c_str(), &status);
    return status;
}

TEST_F(FileCalls, OpenMapsLibraryFlagsAndCreatRefusesExistingFiles) {
    std::string path = in_dir("made");
    const std::tuple<uint32_t, int, int> cases[] = {
        {0x61A, O_WRONLY, 0},  // creates or truncates
        {0x6, 3, 0},
        {0x40 | 0x4, O_RDWR, O_APPEND},
        {0x200 | 0x400 | 0x800 | 0x8000 | 0x80000000u, O_RDONLY, 0},  // no effect
    };
    uint32_t old_mask = kuv_xapi_umask(022);
    for (auto [library_flags, access_mode, status_flags] : cases) {
        SCOPED_TRACE(testing::Message() << "library flags 0x" << std::hex << library_flags);
        int descriptor = kuv_xapi_open(path.c_str(), library_flags, 0646);
        ASSERT_GE(descriptor, 0) << strerror(errno);
        int status = fcntl(descriptor, F_GETFL);
        EXPECT_EQ(status & O_ACCMODE, access_mode);
        EXPECT_EQ(status & (O_APPEND | O_NONBLOCK | O_SYNC | O_DIRECT), status_flags);
        EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    }
    kuv_xapi_umask(old_mask);
    EXPECT_EQ(stat_of(path).st_mode, S_IFREG | 0644u);
    EXPECT_EQ(kuv_xapi_creat(path.c_str(), 0600), -1);
    EXPECT_EQ(errno, EEXIST);
    int file = kuv_xapi_creat(in_dir("fresh").c_str(), 0600);
    EXPECT_EQ(kuv_xapi_lseek(file, 3, 7), 3);          // unknown origins seek from the start
    const int64_t beyond_4g = (int64_t{1} << 32) + 5;  // 64-bit lengths pass unharmed
    EXPECT_EQ(kuv_xapi_ftruncate(file, beyond_4g), 1);
    EXPECT_EQ(kuv_xapi_lseek(file, -5, 2), int64_t{1} << 32);
    EXPECT_EQ(kuv_xapi_close(file), 1);
    EXPECT_EQ(kuv_xapi_open(nullptr, 0x8, 0600), -1);
    EXPECT_EQ(kuv_xapi_close(-1), -1);
}

// The lock type another open of path finds: F_WRLCK, F_RDLCK or F_UNLCK.
// Closing that descriptor drops this process's locks on the file.
int lock_seen_from_outside(const std::string &path) {
    int other = open(path.c_str(), O_RDONLY);
    struct flock lock = {F_WRLCK, SEEK_SET, 0, 0, 0};
    EXPECT_EQ(fcntl(other, F_OFD_GETLK, &lock), 0);
    close(other);
    return lock.l_type;
}

TEST_F(FileCalls, LockedOpenWaitsSixSecondsAndTruncatesOnlyUnderTheLock) {
    std::string path = in_dir("locked");
    std::ofstream(path) << "precious";
    // Held through another open: such a lock and the library's record locks
    // conflict even within one process.
    struct flock lock = {F_WRLCK, SEEK_SET, 0, 0, 0};
    int holder = open(path.c_str(), O_RDWR);
    ASSERT_EQ(fcntl(holder, F_OFD_SETLK, &lock), 0);
    auto start = Clock::now();
    EXPECT_EQ(kuv_xapi_open(path.c_str(), 0x1000 | 0x10 | 0x4, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << strerror(errno);
    EXPECT_GE(Clock::now() - start, 5900ms);
    EXPECT_EQ(stat_of(path).st_size, 8);  // not truncated

    // The holder lets go a second into the next wait: its lock is taken, a
    // write lock for a write-only open, and the file truncated.
    std::jthread release([&] {
        std::this_thread::sleep_for(1s);
        close(holder);
    });
    int descriptor = kuv_xapi_open(path.c_str(), 0x1000 | 0x10 | 0x2, 0);
    EXPECT_EQ(kuv_xapi_lseek(descriptor, 0, 2), 0);
    EXPECT_EQ(lock_seen_from_outside(path), F_WRLCK);
    EXPECT_EQ(kuv_xapi_flock(descriptor, 0x2), 1);
    EXPECT_EQ(kuv_xapi_flock(descriptor, 0x2000 | 0x2), 1);  // release wins over the type
    EXPECT_EQ(lock_seen_from_outside(path), F_UNLCK);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    // The release bit means nothing to open: a locked open still locks.
    descriptor = kuv_xapi_open(path.c_str(), 0x1000 | 0x2000 | 0x4, 0);
    EXPECT_EQ(lock_seen_from_outside(path), F_WRLCK);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    // Write only and read-write together give a descriptor that can take no
    // lock: no wait changes that, and the open fails at once.
    start = Clock::now();
    EXPECT_EQ(kuv_xapi_open(path.c_str(), 0x1000 | 0x2 | 0x4, 0), -1);
    EXPECT_EQ(errno, EBADF) << strerror(errno);
    EXPECT_LT(Clock::now() - start, 3s);
    // A file such an open created exclusively is removed again: left behind,
    // it would make every later exclusive creation of it fail.
    EXPECT_EQ(kuv_xapi_open(in_dir("made").c_str(), 0x1000 | 0x2 | 0x4 | 0x8 | 0x20, 0600), -1);
    EXPECT_EQ(errno, EBADF) << strerror(errno);
    EXPECT_NE(access(in_dir("made").c_str(), F_OK), 0);
    // Truncating under a read lock needs write access: refused, file kept.
    // A file the open makes exclusively has nothing to truncate.
    std::ofstream(path) << "kept";
    EXPECT_EQ(kuv_xapi_open(path.c_str(), 0x1000 | 0x10, 0), -1);
    EXPECT_EQ(stat_of(path).st_size, 4);
    descriptor = kuv_xapi_open(in_dir("new").c_str(), 0x1000 | 0x8 | 0x10 | 0x20, 0600);
    EXPECT_GE(descriptor, 0) << strerror(errno);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);

    // Like the system's open, a locked one skips truncating a pipe and
    // refuses to truncate a directory.
    ASSERT_EQ(mkfifo(in_dir("pipe").c_str(), 0600), 0);
    descriptor = kuv_xapi_open(in_dir("pipe").c_str(), 0x1000 | 0x10 | 0x4, 0);
    EXPECT_GE(descriptor, 0) << strerror(errno);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    ASSERT_EQ(mkdir(in_dir("directory").c_str(), 0700), 0);
    EXPECT_EQ(kuv_xapi_open(in_dir("directory").c_str(), 0x1000 | 0x10, 0), -1);
    EXPECT_EQ(errno, EISDIR);
}

TEST_F(FileCalls, MkdirCreatesEveryMissingParent) {
    uint32_t old_mask = kuv_xapi_umask(022);
    EXPECT_EQ(kuv_xapi_mkdir(in_dir("a/b/c").c_str(), 0750), 1);
    EXPECT_EQ(stat_of(in_dir("a")).st_mode, S_IFDIR | 0755u);
    EXPECT_EQ(stat_of(in_dir("a/b/c")).st_mode, S_IFDIR | 0750u);
    EXPECT_EQ(kuv_xapi_mkdir(in_dir("a/b/c").c_str(), 0700), 1);  // already there
    // Runs of slashes, trailing slashes, "." and ".." of levels just made
    // (which mkdir finds already there, as when racing another process).
    EXPECT_EQ(kuv_xapi_mkdir(in_dir("x//y///z//").c_str(), 0700), 1);
    EXPECT_EQ(kuv_xapi_mkdir(in_dir("p/../q/./r").c_str(), 0700), 1);
    EXPECT_EQ(stat_of(in_dir("q/r")).st_mode, S_IFDIR | 0700u);
    EXPECT_EQ(kuv_xapi_mkdir("////", 0700), 1);

    EXPECT_EQ(kuv_xapi_mkdir("/dev/null", 0700), 0);
    EXPECT_EQ(kuv_xapi_mkdir("/dev/null/sub/deeper", 0700), -1);  // ENOTDIR
    EXPECT_EQ(kuv_xapi_mkdir("/proc/kuv_not_creatable/below", 0700), 0);
    EXPECT_EQ(kuv_xapi_mkdir("", 0700), -1);
    EXPECT_EQ(kuv_xapi_mkdir(nullptr, 0700), -1);

    // Under a mask that takes owner bits, parents still get owner write and
    // search and keep an inherited set-group-ID bit; the last level does not.
    ASSERT_EQ(chmod(dir_.c_str(), 02700), 0);
    kuv_xapi_umask(0377);
    EXPECT_EQ(kuv_xapi_mkdir(in_dir("m/n/o").c_str(), 0777), 1);
    EXPECT_EQ(stat_of(in_dir("m/n")).st_mode, S_IFDIR | 02700u);
    EXPECT_EQ(stat_of(in_dir("m/n/o")).st_mode, S_IFDIR | 02400u);
    EXPECT_EQ(kuv_xapi_umask(old_mask), 0377u);  // the mask is left as it was
}

TEST_F(FileCalls, ReadlinkAccessChmodAndChdir) {
    for (size_t length : {1u, 255u, 256u, 257u, 512u, 4000u}) {
        std::string target(length, 't');
        std::string link = in_dir("link" + std::to_string(length));
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        std::unique_ptr<char, decltype(&kuv_xapi_free)> read_back(kuv_xapi_readlink(link.c_str()),
                                                                  kuv_xapi_free);
        EXPECT_STREQ(read_back.get(), target.c_str());
    }
    EXPECT_EQ(kuv_xapi_readlink(nullptr), nullptr);

    // access, chmod and chdir sort refusals (0) from errors (-1).
    std::string file = in_dir("plain");
    std::ofstream(file) << "";
    const std::tuple<std::string, int32_t, int32_t, int32_t> cases[] = {
        // path, then the results of access, chmod and chdir
        {file, 1, 1, 0},
        {in_dir("missing"), 0, 0, 0},
        {in_dir(std::string(5000, 'n')), 0, -1, -1},  // too long
    };
    for (const auto &[path, access, chmod, chdir] : cases) {
        SCOPED_TRACE(path.substr(0, 40));
        EXPECT_EQ(kuv_xapi_access(path.c_str(), 1), access);
        EXPECT_EQ(kuv_xapi_chmod(path.c_str(), 0640), chmod);
        EXPECT_EQ(kuv_xapi_chdir(path.c_str()), chdir);
    }
    EXPECT_EQ(stat_of(file).st_mode, S_IFREG | 0640u);
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 2 | 8), 0);  // no x bit, even for root
    EXPECT_EQ(kuv_xapi_access(nullptr, 1), 0);
    EXPECT_EQ(kuv_xapi_chmod(nullptr, 0640), -1);
    EXPECT_EQ(kuv_xapi_chdir(nullptr), -1);

    std::filesystem::path home = std::filesystem::current_path();
    EXPECT_EQ(kuv_xapi_chdir(dir_.c_str()), 1);
    std::filesystem::current_path(home);
}

}  // namespace
