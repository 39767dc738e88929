// Helpers of the event-service tests: child processes with a deadline, a
// pipe to pass small values between processes, a recording status handler,
// and bounded waits.
#ifndef KUV_TESTS_KUE_FIXTURES_H
#define KUV_TESTS_KUE_FIXTURES_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "davro_kuv.h"

namespace kue_test {

// A forked process running `body`; its result is the exit status. Fork
// before any thread of the test exists: the child starts with the forking
// thread alone. A child still running when the object goes is killed.
class Child {
  public:
    explicit Child(std::function<int()> body);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    // The exit status, or -1 when it did not end within timeout_ms (it is
    // then killed) or died of a signal.
    int wait(int timeout_ms);
    void kill_now();

  private:
    pid_t pid_ = -1;
};

// A pipe between two processes carrying 64-bit values; every read has a
// time limit.
class Channel {
  public:
    Channel();
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    void send(int64_t value);
    // False when nothing came within timeout_ms or the writer is gone.
    bool receive(int64_t *value, int timeout_ms);
    // Each process keeps the end it uses.
    void keep_reading_end();
    void keep_writing_end();

  private:
    int ends_[2] = {-1, -1};
};

// Polls `condition` every millisecond until it holds or timeout_ms passes.
bool wait_until(const std::function<bool()> &condition, int timeout_ms);

// One status report as a handler saw it.
struct Report {
    uint32_t code;
    uint32_t id;
    std::string text;  // the message of status 1
    uint32_t type, cmd, seq;
};

// A status handler that records every report. Answers: 1 for code 9
// (sent) unless `keep_sent` says otherwise, 0 for code 10 unless
// `consume_received`; leaves error_code set after status 1 unless
// `clear_errors`.
class StatusLog {
  public:
    static int32_t handler(kue *handle, void *context, uint32_t code, uint32_t id, void *object);
    void attach(kue *handle) {
        handle->status_handler = handler;
        handle->user_context = this;
    }

    std::vector<Report> reports() const;
    std::vector<uint32_t> codes() const;
    size_t count(uint32_t code) const;

    // Set before create; read by the service thread.
    bool clear_errors = true;
    bool consume_received = false;
    // Answers 0 to status 9 this many times before answering 1.
    int keep_sent = 0;

  private:
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

// The id of the last report with this code (0 when none).
uint32_t last_id_of(const StatusLog &log, uint32_t code);

// A server handle listening on 127.0.0.1 with a system-chosen port.
kue *make_server(bool use_service, uint32_t protocol_type = KUE_DEFAULT_PROTOCOL_TYPE);
// A client handle for 127.0.0.1 at port.
kue *make_client(int32_t port, bool use_service,
                 uint32_t protocol_type = KUE_DEFAULT_PROTOCOL_TYPE);

// Payload of event `index` of client `client`: distinct for every pair.
std::string payload_for(int client, int index);

using Clock = std::chrono::steady_clock;

}  // namespace kue_test

#endif  // KUV_TESTS_KUE_FIXTURES_H
