// Shared helpers of the test suite: resource checks and output capture.
#ifndef KUV_TESTS_SUPPORT_H
#define KUV_TESTS_SUPPORT_H

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "davro_kuv.h"

namespace kuv_test {

// Open descriptors of this process (entries of /proc/self/fd).
int open_descriptor_count();

// Captures what the code under test writes to standard output or standard
// error (the descriptor, so output of any layer is seen). stdio buffers are
// flushed on both ends.
class OutputCapture {
  public:
    explicit OutputCapture(int descriptor);
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;
    // Stops capturing (once) and returns everything written.
    std::string finish();
    // What has been written so far, while capturing goes on.
    std::string peek() const;

  private:
    int descriptor_;
    int saved_ = -1;
    std::string path_;
    bool finished_ = false;
    std::string text_;
};

// Joins (waiting at most 30 s) a thread started with start_cancellable,
// after cancelling it; false when it did not end in time.
bool cancel_and_join(pthread_t thread);
// Starts a thread running body(argument) that the test means to cancel.
// Under the address sanitizer the frames a cancellation unwinds keep their
// poisoned guards, which the ending thread would run into: the thread's
// cleanup clears the guards below it first.
bool start_cancellable(pthread_t *thread, void (*body)(void *), void *argument);

// SIGALRM to the calling thread after delay_usec, then every interval_usec
// (0: once), its handler doing nothing and installed without SA_RESTART: a
// call under way fails with EINTR, or goes on where it is made to. The
// signals end with the object.
class SignalTimer {
  public:
    explicit SignalTimer(long delay_usec, long interval_usec = 0);
    ~SignalTimer();
    SignalTimer(const SignalTimer &) = delete;
    SignalTimer &operator=(const SignalTimer &) = delete;

  private:
    timer_t timer_{};
    bool armed_ = false;
};

// Fixture that checks at the end of every test that the tracked heap holds
// as many blocks and bytes as at the start and that no descriptor leaked.
class ResourceCheckedTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

  private:
    uint64_t blocks_at_start_ = 0;
    uint64_t bytes_at_start_ = 0;
    int descriptors_at_start_ = 0;
};

}  // namespace kuv_test

#endif  // KUV_TESTS_SUPPORT_H
