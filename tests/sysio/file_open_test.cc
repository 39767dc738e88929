// Opening with the library's flags, creating, closing and record locks,
// including the open that waits for a lock held by another process.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "sysio/file_test_support.h"

namespace {

using kuv_file_test::mode_of;
using kuv_file_test::read_file;
using kuv_file_test::TempDir;
using kuv_file_test::write_file;

class FileOpen : public kuv_test::ResourceCheckedTest {};

struct FlagCase {
    uint32_t library_flags;
    int access_mode;
    int status_flags;  // among O_APPEND, O_NONBLOCK, O_SYNC, O_DIRECT
};

TEST_F(FileOpen, LibraryFlagsBecomeSystemFlags) {
    TempDir dir;
    std::string path = dir / "flags";
    write_file(path, "data");
    const FlagCase cases[] = {
        {0, O_RDONLY, 0},
        {0x2, O_WRONLY, 0},
        {0x4, O_RDWR, 0},
        {0x6, 3, 0},
        {0x40 | 0x2, O_WRONLY, O_APPEND},
        {0x80, O_RDONLY, O_NONBLOCK},
        {0x100 | 0x4, O_RDWR, O_SYNC},
        {0x20000, O_RDONLY, O_DIRECT},
        // Bits without a meaning, among them those creat and the FTP client
        // set, change nothing.
        {0x200 | 0x400 | 0x800 | 0x8000 | 0x80000000u, O_RDONLY, 0},
    };
    const int watched = O_APPEND | O_NONBLOCK | O_SYNC | O_DIRECT;
    for (const FlagCase &c : cases) {
        SCOPED_TRACE(testing::Message() << "library flags 0x" << std::hex << c.library_flags);
        int descriptor = kuv_xapi_open(path.c_str(), c.library_flags, 0);
        ASSERT_GE(descriptor, 0) << strerror(errno);
        int status = fcntl(descriptor, F_GETFL);
        EXPECT_EQ(status & O_ACCMODE, c.access_mode);
        EXPECT_EQ(status & watched, c.status_flags);
        EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    }
    EXPECT_EQ(read_file(path), "data");
}

TEST_F(FileOpen, CreatesTruncatesAndRefusesExisting) {
    TempDir dir;
    std::string path = dir / "made";
    uint32_t old_mask = kuv_xapi_umask(022);

    // Write only, create, truncate plus two bits without effect.
    int descriptor = kuv_xapi_open(path.c_str(), 0x61A, 0646);
    ASSERT_GE(descriptor, 0);
    EXPECT_EQ(mode_of(path), 0644u);  // the mask applies
    EXPECT_EQ(kuv_xapi_write(descriptor, "first", 5), 5);
    char byte;
    EXPECT_EQ(kuv_xapi_read(descriptor, &byte, 1), -1);  // write only
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);

    descriptor = kuv_xapi_open(path.c_str(), 0x61A, 0600);
    ASSERT_GE(descriptor, 0);
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(mode_of(path), 0644u);  // an existing file keeps its mode
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);

    errno = 0;
    EXPECT_EQ(kuv_xapi_creat(path.c_str(), 0600), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(kuv_xapi_open(path.c_str(), 0x8 | 0x20, 0600), -1);

    std::string fresh = dir / "fresh";
    descriptor = kuv_xapi_creat(fresh.c_str(), 0600);
    ASSERT_GE(descriptor, 0);
    EXPECT_EQ(fcntl(descriptor, F_GETFL) & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(mode_of(fresh), 0600u);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);

    errno = 0;
    EXPECT_EQ(kuv_xapi_open((dir / "missing").c_str(), 0x4, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kuv_xapi_open(nullptr, 0x8, 0600), -1);
    EXPECT_EQ(kuv_xapi_creat(nullptr, 0600), -1);
    kuv_xapi_umask(old_mask);
}

TEST_F(FileOpen, CloseRefusesWhatIsNotOpen) {
    EXPECT_EQ(kuv_xapi_close(-1), -1);
    EXPECT_EQ(kuv_xapi_close_intr(-1, 1), -1);
    int descriptor = dup(0);
    ASSERT_GE(descriptor, 0);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    errno = 0;
    EXPECT_EQ(kuv_xapi_close(descriptor), -1);
    EXPECT_EQ(errno, EBADF);
}

// Another process with its own descriptor on a file, taking and dropping
// record locks on command (one byte per command, one byte of answer).
class LockPartner {
  public:
    explicit LockPartner(const std::string &path) {
        int to_child[2], to_parent[2];
        if (pipe(to_child) != 0 || pipe(to_parent) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(to_child[1]);
            close(to_parent[0]);
            serve(path, to_child[0], to_parent[1]);
        }
        close(to_child[0]);
        close(to_parent[1]);
        commands_ = to_child[1];
        answers_ = to_parent[0];
    }
    ~LockPartner() {
        if (pid_ <= 0) return;
        close(commands_);  // the partner ends when its command pipe closes
        close(answers_);
        int status = 0;
        for (int waited = 0; waited < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++waited) {
            usleep(10000);
        }
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            ADD_FAILURE() << "lock partner did not end";
        }
    }
    LockPartner(const LockPartner &) = delete;
    LockPartner &operator=(const LockPartner &) = delete;

    bool started() const { return pid_ > 0; }
    // 'W' write lock, 'R' read lock, 'U' unlock: answers 'y' or 'n'.
    // 'P' probes for a write lock and answers 'W' or 'R' for the type of a
    // conflicting lock, 'U' when there is none.
    char ask(char command) {
        if (write(commands_, &command, 1) != 1) return '?';
        struct pollfd answer = {answers_, POLLIN, 0};
        if (poll(&answer, 1, 10000) != 1) return '?';
        char reply = '?';
        if (read(answers_, &reply, 1) != 1) return '?';
        return reply;
    }

  private:
    [[noreturn]] static void serve(const std::string &path, int commands, int answers) {
        int file = open(path.c_str(), O_RDWR);
        char command;
        while (read(commands, &command, 1) == 1) {
            struct flock lock = {};
            lock.l_whence = SEEK_SET;
            char reply = 'n';
            if (command == 'P') {
                lock.l_type = F_WRLCK;
                if (fcntl(file, F_GETLK, &lock) == 0) {
                    reply = lock.l_type == F_WRLCK ? 'W' : lock.l_type == F_RDLCK ? 'R' : 'U';
                }
            } else {
                lock.l_type = command == 'W' ? F_WRLCK : command == 'R' ? F_RDLCK : F_UNLCK;
                reply = fcntl(file, F_SETLK, &lock) == 0 ? 'y' : 'n';
            }
            if (write(answers, &reply, 1) != 1) break;
        }
        _exit(0);
    }

    pid_t pid_ = -1;
    int commands_ = -1;
    int answers_ = -1;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(FileOpen, LockedOpenGivesUpAfterSixSecondsAndKeepsTheFile) {
    TempDir dir;
    std::string path = dir / "locked";
    write_file(path, "precious contents");
    LockPartner partner(path);
    ASSERT_TRUE(partner.started());
    ASSERT_EQ(partner.ask('W'), 'y');

    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(kuv_xapi_open(path.c_str(), 0x1000 | 0x4, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << strerror(errno);
    double waited = seconds_since(start);
    EXPECT_GE(waited, 5.9);
    EXPECT_LT(waited, 20.0);

    // Truncation waits for the lock: a failed open leaves the file whole.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(kuv_xapi_open(path.c_str(), 0x1000 | 0x10 | 0x2, 0), -1);
    EXPECT_GE(seconds_since(start), 5.9);
    EXPECT_EQ(read_file(path), "precious contents");

    // Once the lock is free, a write-only open gets a write lock and then
    // truncates; the other process sees the lock.
    ASSERT_EQ(partner.ask('U'), 'y');
    start = std::chrono::steady_clock::now();
    int descriptor = kuv_xapi_open(path.c_str(), 0x1000 | 0x10 | 0x2, 0);
    ASSERT_GE(descriptor, 0) << strerror(errno);
    EXPECT_LT(seconds_since(start), 3.0);
    EXPECT_EQ(partner.ask('P'), 'W');
    EXPECT_EQ(partner.ask('R'), 'n');
    struct stat status;
    ASSERT_EQ(fstat(descriptor, &status), 0);
    EXPECT_EQ(status.st_size, 0);
    // (Reading the file through a descriptor of its own would end the lock:
    // a record lock belongs to the process and goes with any close.)
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    EXPECT_EQ(partner.ask('P'), 'U');
}

TEST_F(FileOpen, ReadLocksAreSharedAndWriteLocksExclusive) {
    TempDir dir;
    std::string path = dir / "shared";
    write_file(path, "x");
    LockPartner partner(path);
    ASSERT_TRUE(partner.started());
    ASSERT_EQ(partner.ask('R'), 'y');

    // A read-only locked open shares the partner's read lock at once.
    int reader = kuv_xapi_open(path.c_str(), 0x1000, 0);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(partner.ask('P'), 'R');
    EXPECT_EQ(partner.ask('W'), 'n');

    int writer = kuv_xapi_open(path.c_str(), 0x4, 0);
    ASSERT_GE(writer, 0);
    errno = 0;
    EXPECT_EQ(kuv_xapi_flock(writer, 0x4), -1);  // refused at once, not waited for
    EXPECT_TRUE(errno == EAGAIN || errno == EACCES);
    ASSERT_EQ(partner.ask('U'), 'y');
    EXPECT_EQ(kuv_xapi_flock(writer, 0x2), 1);
    EXPECT_EQ(partner.ask('R'), 'n');
    EXPECT_EQ(kuv_xapi_flock(writer, 0x2000 | 0x2), 1);  // release wins over the type
    EXPECT_EQ(partner.ask('R'), 'y');

    // A read lock cannot be held through a write-only descriptor.
    int write_only = kuv_xapi_open(path.c_str(), 0x2, 0);
    ASSERT_GE(write_only, 0);
    EXPECT_EQ(kuv_xapi_flock(write_only, 0), -1);
    EXPECT_EQ(kuv_xapi_flock(-1, 0x2), -1);

    EXPECT_EQ(kuv_xapi_close(write_only), 1);
    EXPECT_EQ(kuv_xapi_close(writer), 1);
    EXPECT_EQ(kuv_xapi_close(reader), 1);
}

}  // namespace
