// Path operations: directories with parents, symbolic links, access tests,
// modes, changing directory, removing.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

TEST_F(FilePath, MkdirCreatesEveryMissingParent) {
    TempDir dir;
    uint32_t old_mask = kuv_xapi_umask(022);
    EXPECT_EQ(kuv_xapi_mkdir((dir / "a/b/c").c_str(), 0750), 1);
    EXPECT_EQ(mode_of(dir / "a"), 0755u);
    EXPECT_EQ(mode_of(dir / "a/b"), 0755u);
    EXPECT_EQ(mode_of(dir / "a/b/c"), 0750u);
    EXPECT_EQ(kuv_xapi_mkdir((dir / "a/b/c").c_str(), 0700), 1);  // already there
    // Runs of slashes, trailing slashes, "." and ".." of levels just made.
    EXPECT_EQ(kuv_xapi_mkdir((dir / "x//y///z//").c_str(), 0700), 1);
    EXPECT_TRUE(is_directory(dir / "x/y/z"));
    EXPECT_EQ(kuv_xapi_mkdir((dir / "p/../q/./r").c_str(), 0700), 1);
    EXPECT_TRUE(is_directory(dir / "q/r"));
    EXPECT_EQ(kuv_xapi_mkdir("////", 0700), 1);

    // Under a mask that takes owner bits, parents still get owner write and
    // search, without losing the set-group-ID bit they inherit; the last
    // level keeps what the caller and the mask give it.
    ASSERT_EQ(chmod(dir.path().c_str(), 02700), 0);
    kuv_xapi_umask(0377);
    EXPECT_EQ(kuv_xapi_mkdir((dir / "m/n/o").c_str(), 0777), 1);
    EXPECT_EQ(mode_of(dir / "m"), 02700u);
    EXPECT_EQ(mode_of(dir / "m/n"), 02700u);
    EXPECT_EQ(mode_of(dir / "m/n/o"), 02400u);
    EXPECT_EQ(kuv_xapi_umask(old_mask), 0377u);  // the mask is left as it was
}

TEST_F(FilePath, MkdirSortsFailures) {
    TempDir dir;
    std::string file = dir / "plain";
    write_file(file, "");
    EXPECT_EQ(kuv_xapi_mkdir(file.c_str(), 0700), 0);
    EXPECT_EQ(kuv_xapi_mkdir((file + "/sub/deeper").c_str(), 0700), -1);  // ENOTDIR
    EXPECT_EQ(kuv_xapi_mkdir((dir / std::string(300, 'c') + "/d").c_str(), 0700), -1);
    EXPECT_EQ(kuv_xapi_mkdir("/proc/kuv_not_creatable/below", 0700), 0);
    EXPECT_EQ(kuv_xapi_mkdir("", 0700), -1);
    EXPECT_EQ(kuv_xapi_mkdir(nullptr, 0700), -1);
}

TEST_F(FilePath, MkdirRacingAnotherProcessStillSucceeds) {
    TempDir dir;
    pid_t racers[3];
    for (pid_t &racer : racers) {
        racer = fork();
        if (racer == 0) {
            alarm(60);
            int failures = 0;
            for (int round = 0; round < 200; ++round) {
                char leaf[64];
                std::snprintf(leaf, sizeof leaf, "r%d/s/t/u", round);
                std::string path = dir / leaf;
                failures += kuv_xapi_mkdir(path.c_str(), 0700) != 1;
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t racer : racers) {
        int status = 0;
        ASSERT_EQ(waitpid(racer, &status, 0), racer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

void *refuse_allocations(void *, uint64_t) {
    return nullptr;
}

TEST_F(FilePath, WithoutMemoryMkdirMakesOnlyTheLastLevelAndReadlinkFails) {
    TempDir dir;
    std::string link = dir / "link";
    ASSERT_EQ(symlink("somewhere", link.c_str()), 0);
    kuv_heap_handler_t previous;
    kuv_xapi_set_heap_handler(refuse_allocations, &previous);
    int32_t deep = kuv_xapi_mkdir((dir / "u/v").c_str(), 0700);
    int32_t single = kuv_xapi_mkdir((dir / "w").c_str(), 0700);
    char *target = kuv_xapi_readlink(link.c_str());
    int error = errno;
    kuv_xapi_set_heap_handler(previous, nullptr);
    EXPECT_EQ(deep, 0);  // its parent could not be made first
    EXPECT_EQ(single, 1);
    EXPECT_EQ(target, nullptr);
    EXPECT_EQ(error, ENOMEM);
}

TEST_F(FilePath, ReadlinkReturnsTargetsOfAnyLength) {
    TempDir dir;
    for (size_t length : {1u, 255u, 256u, 257u, 300u, 512u, 4000u}) {
        std::string target(length, 't');
        for (size_t slash = 200; slash < length; slash += 200)
            target[slash] = '/';
        std::string link = dir / ("link" + std::to_string(length));
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        char *read_back = kuv_xapi_readlink(link.c_str());
        ASSERT_NE(read_back, nullptr);
        EXPECT_EQ(std::string(read_back), target);
        kuv_xapi_free(read_back);
    }
    write_file(dir / "plain", "");
    EXPECT_EQ(kuv_xapi_readlink((dir / "plain").c_str()), nullptr);
    EXPECT_EQ(kuv_xapi_readlink((dir / "missing").c_str()), nullptr);
    EXPECT_EQ(kuv_xapi_readlink(nullptr), nullptr);
}

TEST_F(FilePath, AccessChmodAndChdirSortRefusalsFromErrors) {
    TempDir dir;
    std::string file = dir / "plain";
    std::string too_long = dir / std::string(5000, 'n');
    write_file(file, "");
    EXPECT_EQ(kuv_xapi_chmod(file.c_str(), 0640), 1);
    EXPECT_EQ(mode_of(file), 0640u);
    EXPECT_EQ(kuv_xapi_chmod((dir / "missing").c_str(), 0640), 0);
    EXPECT_EQ(kuv_xapi_chmod(too_long.c_str(), 0640), -1);
    EXPECT_EQ(kuv_xapi_chmod(nullptr, 0640), -1);

    EXPECT_EQ(kuv_xapi_access(file.c_str(), 1), 1);
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 2 | 4), 1);
    EXPECT_EQ(kuv_xapi_access(file.c_str(), 2 | 8), 0);  // no x bit, even for root
    EXPECT_EQ(kuv_xapi_access((dir / "missing").c_str(), 1), 0);
    EXPECT_EQ(kuv_xapi_access(too_long.c_str(), 1), 0);  // a refusal here, unlike chmod
    EXPECT_EQ(kuv_xapi_access(nullptr, 1), 0);

    int home = open(".", O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(kuv_xapi_chdir(dir.path().c_str()), 1);
    EXPECT_EQ(kuv_xapi_access("plain", 1), 1);
    EXPECT_EQ(kuv_xapi_chdir("plain"), 0);
    EXPECT_EQ(kuv_xapi_chdir(too_long.c_str()), -1);
    EXPECT_EQ(kuv_xapi_chdir(nullptr), -1);
    EXPECT_EQ(fchdir(home), 0);
    close(home);

    EXPECT_EQ(kuv_xapi_remove(file.c_str()), 1);
    EXPECT_EQ(kuv_xapi_remove(dir.path().c_str()), 1);  // now empty
    EXPECT_EQ(kuv_xapi_remove(nullptr), -1);
}

}  // namespace
