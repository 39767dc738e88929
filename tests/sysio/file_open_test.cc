// Opening with the library's flags, creating, closing and record locks,
// including the open that waits for a lock held by another process.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "sysio/file_test_support.h"

namespace {

using kuv_file_test::mode_of;
using kuv_file_test::read_file;
using kuv_file_test::seconds_since;
using kuv_file_test::TempDir;
using kuv_file_test::write_file;
using Clock = std::chrono::steady_clock;

class FileOpen : public kuv_test::ResourceCheckedTest {};

TEST_F(FileOpen, LibraryFlagsBecomeSystemFlags) {
    TempDir dir;
    std::string path = dir / "flags";
    write_file(path, "data");
    struct {
        uint32_t library_flags;
        int access_mode;
        int status_flags;
    } const cases[] = {
        {0, O_RDONLY, 0},
        {0x2, O_WRONLY, 0},
        {0x4, O_RDWR, 0},
        {0x6, 3, 0},
        {0x40 | 0x2, O_WRONLY, O_APPEND},
        {0x80, O_RDONLY, O_NONBLOCK},
        {0x100 | 0x4, O_RDWR, O_SYNC},
        {0x20000, O_RDONLY, O_DIRECT},
        {0x200 | 0x400 | 0x800 | 0x8000 | 0x80000000u, O_RDONLY, 0},  // no effect
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "library flags 0x" << std::hex << c.library_flags);
        int descriptor = kuv_xapi_open(path.c_str(), c.library_flags, 0);
        ASSERT_GE(descriptor, 0) << strerror(errno);
        int status = fcntl(descriptor, F_GETFL);
        EXPECT_EQ(status & O_ACCMODE, c.access_mode);
        EXPECT_EQ(status & (O_APPEND | O_NONBLOCK | O_SYNC | O_DIRECT), c.status_flags);
        EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    }
    EXPECT_EQ(read_file(path), "data");
}

TEST_F(FileOpen, CreatesTruncatesAndRefusesExisting) {
    TempDir dir;
    std::string path = dir / "made";
    uint32_t old_mask = kuv_xapi_umask(022);
    int descriptor = kuv_xapi_open(path.c_str(), 0x61A, 0646);
    ASSERT_GE(descriptor, 0);
    EXPECT_EQ(mode_of(path), 0644u);
    EXPECT_EQ(kuv_xapi_write(descriptor, "first", 5), 5);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    descriptor = kuv_xapi_open(path.c_str(), 0x61A, 0600);
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);

    EXPECT_EQ(kuv_xapi_creat(path.c_str(), 0600), -1);
    EXPECT_EQ(errno, EEXIST);
    descriptor = kuv_xapi_creat((dir / "fresh").c_str(), 0600);
    EXPECT_EQ(fcntl(descriptor, F_GETFL) & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(mode_of(dir / "fresh"), 0600u);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);

    EXPECT_EQ(kuv_xapi_open(nullptr, 0x8, 0600), -1);
    EXPECT_EQ(kuv_xapi_close(-1), -1);
    kuv_xapi_umask(old_mask);
}

// Another process that holds a lock of `type` on path until destroyed.
class LockHolder {
  public:
    LockHolder(const std::string &path, short type) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release_), 0);
        pid_ = fork();
        if (pid_ == 0) {
            alarm(60);
            close(release_[1]);
            struct flock lock = {type, SEEK_SET, 0, 0, 0};
            char taken = fcntl(open(path.c_str(), O_RDWR), F_SETLK, &lock) == 0 ? 'y' : 'n';
            EXPECT_EQ(write(ready[1], &taken, 1), 1);
            EXPECT_EQ(read(release_[0], &taken, 1), 0);  // until the test closes it
            _exit(0);
        }
        char taken = 'n';
        EXPECT_EQ(read(ready[0], &taken, 1), 1);
        EXPECT_EQ(taken, 'y');
        for (int end : {ready[0], ready[1], release_[0]})
            close(end);
    }
    ~LockHolder() {
        close(release_[1]);
        waitpid(pid_, nullptr, 0);
    }

  private:
    pid_t pid_;
    int release_[2];
};

// The type of lock another process finds on path: F_WRLCK, F_RDLCK or
// F_UNLCK.
int lock_seen_from_outside(const std::string &path) {
    pid_t child = fork();
    if (child == 0) {
        struct flock lock = {F_WRLCK, SEEK_SET, 0, 0, 0};
        _exit(fcntl(open(path.c_str(), O_RDONLY), F_GETLK, &lock) == 0 ? lock.l_type : 99);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(FileOpen, LockedOpenWaitsUpToSixSecondsAndKeepsTheFile) {
    TempDir dir;
    std::string path = dir / "locked";
    write_file(path, "precious contents");
    auto holder = std::make_unique<LockHolder>(path, F_WRLCK);
    auto start = Clock::now();
    EXPECT_EQ(kuv_xapi_open(path.c_str(), 0x1000 | 0x10 | 0x4, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << strerror(errno);
    EXPECT_GE(seconds_since(start), 5.9);
    EXPECT_LT(seconds_since(start), 20.0);
    // Truncation waits for the lock: a failed open leaves the file whole.
    EXPECT_EQ(read_file(path), "precious contents");

    // A lock released during the wait is taken; a write-only open gets a
    // write lock, then truncates.
    std::thread releaser([&] {
        usleep(300000);
        holder.reset();
    });
    start = Clock::now();
    int descriptor = kuv_xapi_open(path.c_str(), 0x1000 | 0x10 | 0x2, 0);
    releaser.join();
    ASSERT_GE(descriptor, 0) << strerror(errno);
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_EQ(lock_seen_from_outside(path), F_WRLCK);
    EXPECT_EQ(kuv_xapi_lseek(descriptor, 0, 2), 0);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);
    EXPECT_EQ(lock_seen_from_outside(path), F_UNLCK);
    // Like the system's open, a locked one skips truncating a pipe.
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    descriptor = kuv_xapi_open((dir / "pipe").c_str(), 0x1000 | 0x10 | 0x4, 0);
    EXPECT_GE(descriptor, 0) << strerror(errno);
    EXPECT_EQ(kuv_xapi_close(descriptor), 1);
}

TEST_F(FileOpen, RecordLockResults) {
    TempDir dir;
    std::string path = dir / "shared";
    write_file(path, "x");
    int writer = kuv_xapi_open(path.c_str(), 0x4, 0);
    {
        // Read locks are shared, at once; a write lock is refused at once.
        LockHolder holder(path, F_RDLCK);
        int reader = kuv_xapi_open(path.c_str(), 0x1000, 0);
        EXPECT_GE(reader, 0);
        EXPECT_EQ(kuv_xapi_flock(writer, 0x4), -1);
        EXPECT_TRUE(errno == EAGAIN || errno == EACCES);
        EXPECT_EQ(kuv_xapi_close(reader), 1);
    }
    EXPECT_EQ(kuv_xapi_flock(writer, 0x2), 1);
    EXPECT_EQ(kuv_xapi_flock(writer, 0x2000 | 0x2), 1);  // release wins over the type
    EXPECT_EQ(lock_seen_from_outside(path), F_UNLCK);
    EXPECT_EQ(kuv_xapi_close(writer), 1);

    // The release bit means nothing to open: a locked open still locks.
    writer = kuv_xapi_open(path.c_str(), 0x1000 | 0x2000 | 0x4, 0);
    EXPECT_EQ(lock_seen_from_outside(path), F_WRLCK);
    EXPECT_EQ(kuv_xapi_close(writer), 1);

    int write_only = kuv_xapi_open(path.c_str(), 0x2, 0);
    EXPECT_EQ(kuv_xapi_flock(write_only, 0), -1);  // no read lock without read access
    EXPECT_EQ(kuv_xapi_flock(-1, 0x2), -1);
    EXPECT_EQ(kuv_xapi_close(write_only), 1);
}

}  // namespace
