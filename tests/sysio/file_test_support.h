// Helpers of the file wrapper tests: a private temporary directory, a pipe,
// and small file utilities.
#ifndef KUV_TESTS_SYSIO_FILE_TEST_SUPPORT_H
#define KUV_TESTS_SYSIO_FILE_TEST_SUPPORT_H

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace kuv_file_test {

// A fresh directory under /tmp, removed with all its contents at the end.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/kuv_file_XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        path_ = name;
    }
    ~TempDir() {
        nftw(
            path_.c_str(),
            [](const char *path, const struct stat *, int, FTW *) { return remove(path) * 0; }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(ends), 0); }
    ~Pipe() {
        for (int end : ends)
            close(end);
    }
    int read_end() const { return ends[0]; }
    int write_end() const { return ends[1]; }
};

inline std::string read_file(const std::string &path) {
    std::string text;
    int descriptor = open(path.c_str(), O_RDONLY);
    char chunk[4096];
    for (ssize_t got; (got = read(descriptor, chunk, sizeof chunk)) > 0;)
        text.append(chunk, got);
    close(descriptor);
    return text;
}

inline void write_file(const std::string &path, const std::string &text) {
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(write(descriptor, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(descriptor);
}

inline mode_t mode_of(const std::string &path) {
    struct stat status = {};
    stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kuv_file_test

#endif  // KUV_TESTS_SYSIO_FILE_TEST_SUPPORT_H
