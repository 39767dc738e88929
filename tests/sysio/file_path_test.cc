// Path operations: directories with parents, symbolic links, access tests,
// modes, changing directory, removing.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "sysio/file_test_support.h"

namespace {

using kuv_file_test::mode_of;
using kuv_file_test::TempDir;
using kuv_file_test::write_file;

class FilePath : public kuv_test::ResourceCheckedTest {};

bool is_directory(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Sets the file-creation mask for one test and puts the old one back.
class MaskScope {
  public:
    explicit MaskScope(uint32_t mask) : previous_(kuv_xapi_umask(mask)) {}
    ~MaskScope() { kuv_xapi_umask(previous_); }

  private:
    uint32_t previous_;
};

TEST_F(FilePath, MkdirCreatesEveryMissingParent) {
    TempDir dir;
    MaskScope mask(022);
    std::string deepest = dir / "a/b/c";
    EXPECT_EQ(kuv_xapi_mkdir(deepest.c_str(), 0750), 1);
    EXPECT_TRUE(is_directory(dir / "a"));
    EXPECT_TRUE(is_directory(dir / "a/b"));
    EXPECT_EQ(mode_of(dir / "a"), 0755u);
    EXPECT_EQ(mode_of(deepest), 0750u);
    EXPECT_EQ(kuv_xapi_mkdir(deepest.c_str(), 0700), 1);  // already there
    EXPECT_EQ(mode_of(deepest), 0750u);

    // Runs of slashes and trailing slashes.
    EXPECT_EQ(kuv_xapi_mkdir((dir / "x//y///z//").c_str(), 0700), 1);
    EXPECT_TRUE(is_directory(dir / "x/y/z"));
    // A parent given as "." or ".." of a level just made.
    EXPECT_EQ(kuv_xapi_mkdir((dir / "p/../q/./r").c_str(), 0700), 1);
    EXPECT_TRUE(is_directory(dir / "q/r"));
    EXPECT_EQ(kuv_xapi_mkdir("/", 0700), 1);
    EXPECT_EQ(kuv_xapi_mkdir("////", 0700), 1);
}

TEST_F(FilePath, MkdirSortsFailures) {
    TempDir dir;
    std::string file = dir / "plain";
    write_file(file, "");
    EXPECT_EQ(kuv_xapi_mkdir(file.c_str(), 0700), 0);
    EXPECT_EQ(kuv_xapi_mkdir((file + "/").c_str(), 0700), -1);  // ENOTDIR
    EXPECT_EQ(kuv_xapi_mkdir((file + "/sub/deeper").c_str(), 0700), -1);
    EXPECT_EQ(kuv_xapi_mkdir(nullptr, 0700), -1);
    EXPECT_EQ(kuv_xapi_mkdir("", 0700), -1);
    std::string too_long = dir / std::string(5000, 'n');
    EXPECT_EQ(kuv_xapi_mkdir(too_long.c_str(), 0700), -1);
    EXPECT_EQ(kuv_xapi_mkdir((dir / (std::string(300, 'c') + "/d")).c_str(), 0700), -1);
    // A level the system will not create, whoever asks.
    EXPECT_EQ(kuv_xapi_mkdir("/proc/kuv_not_creatable/below", 0700), 0);
    if (geteuid() == 0) return;  // permissions do not stop the superuser
    ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
    EXPECT_EQ(kuv_xapi_mkdir((dir / "denied/deeper").c_str(), 0700), 0);
}

TEST_F(FilePath, MkdirParentsStayUsableUnderAStrictMask) {
    TempDir dir;
    MaskScope mask(0377);
    // Parents get owner write and search whatever the mask; the last level
    // keeps exactly what the caller and the mask give it.
    EXPECT_EQ(kuv_xapi_mkdir((dir / "m/n/o").c_str(), 0777), 1);
    EXPECT_EQ(mode_of(dir / "m") & 0700, 0700u);
    EXPECT_EQ(mode_of(dir / "m/n") & 0700, 0700u);
    EXPECT_EQ(mode_of(dir / "m/n/o"), 0400u);
    EXPECT_EQ(kuv_xapi_umask(0377), 0377u);  // the mask is left as it was
}

TEST_F(FilePath, MkdirOfManyComponents) {
    TempDir dir;
    std::string path = dir.path();
    for (int level = 0; level < 1500; ++level)
        path += "/d";
    EXPECT_EQ(kuv_xapi_mkdir(path.c_str(), 0700), 1);
    EXPECT_TRUE(is_directory(path));
}

TEST_F(FilePath, MkdirRacingAnotherProcessStillSucceeds) {
    TempDir dir;
    const int kRounds = 200;
    const int kRacers = 3;
    pid_t racers[kRacers];
    for (pid_t &racer : racers) {
        racer = fork();
        ASSERT_GE(racer, 0);
        if (racer == 0) {
            alarm(60);
            int failures = 0;
            for (int round = 0; round < kRounds; ++round) {
                std::string path = dir / ("r" + std::to_string(round) + "/s/t/u");
                if (kuv_xapi_mkdir(path.c_str(), 0700) != 1) ++failures;
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t racer : racers) {
        int status = 0;
        ASSERT_EQ(waitpid(racer, &status, 0), racer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "a racer saw a failure while another made the same directory";
    }
}

TEST_F(FilePath, ReadlinkReturnsTargetsOfAnyLength) {
    TempDir dir;
    for (size_t length : {1u, 255u, 256u, 257u, 300u, 511u, 512u, 4000u}) {
        SCOPED_TRACE(length);
        std::string target(length, 't');
        for (size_t slash = 200; slash < length; slash += 200)
            target[slash] = '/';
        std::string link = dir / ("link" + std::to_string(length));
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        char *read_back = kuv_xapi_readlink(link.c_str());
        ASSERT_NE(read_back, nullptr);
        EXPECT_EQ(std::string(read_back), target);
        read_back = static_cast<char *>(kuv_xapi_free(read_back));
    }
    write_file(dir / "plain", "");
    errno = 0;
    EXPECT_EQ(kuv_xapi_readlink((dir / "plain").c_str()), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(kuv_xapi_readlink((dir / "missing").c_str()), nullptr);
    EXPECT_EQ(kuv_xapi_readlink(nullptr), nullptr);
}

TEST_F(FilePath, AccessSortsRefusalsFromErrors) {
    TempDir dir;
    std::string file = dir / "plain";
    write_file(file, "");
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 1), 1);
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 0), 1);  // nothing asked: exists
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 2 | 4), 1);
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 8), 0);  // no x bit, even for root
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 2 | 8), 0);
    EXPECT_EQ(kuv_xapi_access(dir.path().c_str(), 8), 1);
    EXPECT_EQ(kuv_xapi_access((dir / "missing").c_str(), 1), 0);
    EXPECT_EQ(kuv_xapi_access((file + "/below").c_str(), 1), 0);  // ENOTDIR
    EXPECT_EQ(kuv_xapi_access((dir / std::string(5000, 'n')).c_str(), 1), 0);
    EXPECT_EQ(kuv_xapi_access(nullptr, 1), 0);
}

TEST_F(FilePath, ChmodAndChdirSortRefusalsFromErrors) {
    TempDir dir;
    std::string file = dir / "plain";
    write_file(file, "");
    std::string too_long = dir / std::string(5000, 'n');

    EXPECT_EQ(kuv_xapi_chmod(file.c_str(), 0640), 1);
    EXPECT_EQ(mode_of(file), 0640u);
    EXPECT_EQ(kuv_xapi_chmod((dir / "missing").c_str(), 0640), 0);
    EXPECT_EQ(kuv_xapi_chmod(too_long.c_str(), 0640), -1);
    EXPECT_EQ(kuv_xapi_chmod(nullptr, 0640), -1);

    int home = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(home, 0);
    EXPECT_EQ(kuv_xapi_chdir(dir.path().c_str()), 1);
    EXPECT_EQ(kuv_xapi_access("plain", 1), 1);
    EXPECT_EQ(kuv_xapi_chdir("plain"), 0);    // ENOTDIR
    EXPECT_EQ(kuv_xapi_chdir("missing"), 0);  // ENOENT
    EXPECT_EQ(kuv_xapi_chdir(too_long.c_str()), -1);
    EXPECT_EQ(kuv_xapi_chdir(nullptr), -1);
    EXPECT_EQ(fchdir(home), 0);
    close(home);
}

TEST_F(FilePath, RemoveTakesFilesAndEmptyDirectories) {
    TempDir dir;
    std::string file = dir / "plain";
    write_file(file, "");
    ASSERT_EQ(kuv_xapi_mkdir((dir / "full/inner").c_str(), 0700), 1);
    EXPECT_EQ(kuv_xapi_remove(file.c_str()), 1);
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 1), 0);
    EXPECT_EQ(kuv_xapi_remove(file.c_str()), -1);
    EXPECT_EQ(kuv_xapi_remove((dir / "full").c_str()), -1);  // not empty
    EXPECT_EQ(kuv_xapi_remove((dir / "full/inner").c_str()), 1);
    EXPECT_EQ(kuv_xapi_remove(nullptr), -1);
}

TEST(FileVersion, CoreVersionIsTwo) {
    EXPECT_EQ(kuv_xapi_get_core_version(), 2);
}

}  // namespace
