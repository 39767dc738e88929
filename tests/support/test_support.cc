#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kuv_test {

int open_descriptor_count() {
    DIR *directory = opendir("/proc/self/fd");
    if (!directory) return -1;
    int count = 0;
    while (struct dirent *entry = readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count - 1;  // the directory's own descriptor
}

OutputCapture::OutputCapture(int descriptor) : descriptor_(descriptor) {
    char name[] = "/tmp/kuv_capture_XXXXXX";
    int file = mkstemp(name);
    if (file < 0) {
        ADD_FAILURE() << "mkstemp failed";
        finished_ = true;
        return;
    }
    path_ = name;
    std::fflush(stdout);
    std::fflush(stderr);
    saved_ = dup(descriptor_);
    dup2(file, descriptor_);
    close(file);
}

OutputCapture::~OutputCapture() {
    finish();
}

namespace {
std::string read_whole_file(const std::string &path) {
    std::string text;
    if (FILE *file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            text.append(chunk, got);
        std::fclose(file);
    }
    return text;
}
}  // namespace

std::string OutputCapture::peek() const {
    if (finished_) return text_;
    std::fflush(stdout);
    std::fflush(stderr);
    return read_whole_file(path_);
}

std::string OutputCapture::finish() {
    if (finished_) return text_;
    finished_ = true;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_, descriptor_);
    close(saved_);
    text_ = read_whole_file(path_);
    unlink(path_.c_str());
    return text_;
}

void ResourceCheckedTest::SetUp() {
    blocks_at_start_ = kuv_xapi_get_allocated_memory_count();
    bytes_at_start_ = kuv_xapi_get_allocated_memory_size();
    descriptors_at_start_ = open_descriptor_count();
}

void ResourceCheckedTest::TearDown() {
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks_at_start_) << "tracked blocks leaked";
    EXPECT_EQ(kuv_xapi_get_allocated_memory_size(), bytes_at_start_) << "tracked bytes leaked";
    EXPECT_EQ(open_descriptor_count(), descriptors_at_start_) << "descriptors leaked";
}

}  // namespace kuv_test
