#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

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

namespace {

struct Cancellable {
    void (*body)(void *);
    void *argument;
};

void clear_guards_below(void *) {
#if defined(__SANITIZE_ADDRESS__)
    pthread_attr_t attributes;
    void *lowest = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    pthread_attr_getstack(&attributes, &lowest, &size);
    pthread_attr_destroy(&attributes);
    char here;
    __asan_unpoison_memory_region(lowest, static_cast<size_t>(&here - static_cast<char *>(lowest)));
#endif
}

void *run_cancellable(void *argument) {
    const Cancellable cancellable = *static_cast<Cancellable *>(argument);
    delete static_cast<Cancellable *>(argument);
    pthread_cleanup_push(clear_guards_below, nullptr);
    cancellable.body(cancellable.argument);
    pthread_cleanup_pop(0);
    return nullptr;
}

}  // namespace

bool start_cancellable(pthread_t *thread, void (*body)(void *), void *argument) {
    auto *cancellable = new Cancellable{body, argument};
    if (pthread_create(thread, nullptr, run_cancellable, cancellable) == 0) return true;
    delete cancellable;
    return false;
}

bool cancel_and_join(pthread_t thread) {
    pthread_cancel(thread);
    timespec limit{};
    clock_gettime(CLOCK_REALTIME, &limit);
    limit.tv_sec += 30;
    return pthread_timedjoin_np(thread, nullptr, &limit) == 0;
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

namespace {

timespec span_of(long usec) {
    return {usec / 1000000, usec % 1000000 * 1000};
}

}  // namespace

SignalTimer::SignalTimer(long delay_usec, long interval_usec) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, nullptr);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = gettid();
    armed_ = timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
    EXPECT_TRUE(armed_);
    const itimerspec when{span_of(interval_usec), span_of(delay_usec)};
    if (armed_) {
        EXPECT_EQ(timer_settime(timer_, 0, &when, nullptr), 0);
    }
}

SignalTimer::~SignalTimer() {
    if (armed_) timer_delete(timer_);
}

}  // namespace kuv_test
