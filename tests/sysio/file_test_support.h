// Helpers of the file wrapper tests: a private temporary directory and a
// pipe, both released at the end of the test.
#ifndef KUV_TESTS_SYSIO_FILE_TEST_SUPPORT_H
#define KUV_TESTS_SYSIO_FILE_TEST_SUPPORT_H

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kuv_file_test {

// A fresh directory under /tmp, removed with all its contents at the end.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/kuv_file_XXXXXX";
        if (mkdtemp(name)) path_ = name;
        EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
    }
    ~TempDir() {
        if (path_.empty()) return;
        // Give every level back its owner bits first, so that directories a
        // test left without write or search permission can be emptied.
        nftw(path_.c_str(), make_removable, 16, FTW_PHYS);
        nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    static int make_removable(const char *path, const struct stat *status, int type, struct FTW *) {
        if (type == FTW_D || type == FTW_DNR) chmod(path, (status->st_mode & 07777) | 0700);
        return 0;
    }
    static int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
        remove(path);
        return 0;
    }
    std::string path_;
};

// Both ends of a pipe, closed at the end unless taken.
struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        read_end = ends[0];
        write_end = ends[1];
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    void close_read() {
        if (read_end >= 0) close(read_end);
        read_end = -1;
    }
    void close_write() {
        if (write_end >= 0) close(write_end);
        write_end = -1;
    }
};

inline std::string read_file(const std::string &path) {
    std::string text;
    int descriptor = open(path.c_str(), O_RDONLY);
    if (descriptor < 0) return "<missing>";
    char chunk[4096];
    ssize_t got;
    while ((got = read(descriptor, chunk, sizeof chunk)) > 0)
        text.append(chunk, got);
    close(descriptor);
    return text;
}

inline void write_file(const std::string &path, const std::string &text) {
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(write(descriptor, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(descriptor);
}

inline mode_t mode_of(const std::string &path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

}  // namespace kuv_file_test

#endif  // KUV_TESTS_SYSIO_FILE_TEST_SUPPORT_H
