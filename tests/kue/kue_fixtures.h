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

// One end of a two-way pipe between a test and its child process, carrying
// 64-bit values. Every read has a time limit.
class Link {
  public:
    void send(int64_t value);
    // False when nothing came within timeout_ms or the other end is gone.
    bool receive(int64_t *value, int timeout_ms = kDefaultWaitMs);
    // The next value, or `fallback` when none came in time.
    int64_t next(int64_t fallback = -1, int timeout_ms = kDefaultWaitMs);

    static constexpr int kDefaultWaitMs = 60000;

  private:
    friend class Child;
    int in_ = -1, out_ = -1;
};

// A forked process running body(its end of the link); body's result is its
// exit status. Fork before any thread of the test exists: the child starts
// with the forking thread alone. A child still running when the object goes
// is killed.
class Child {
  public:
    explicit Child(const std::function<int(Link &)> &body);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // The test's end of the link.
    Link &link() { return link_; }
    // The exit status, or -1 when it did not end within timeout_ms (it is
    // then killed) or died of a signal.
    int wait(int timeout_ms = Link::kDefaultWaitMs);
    void kill_now();

  private:
    pid_t pid_ = -1;
    Link link_;
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
std::string payload_of(const kue_event *event);

// Pops until `wanted` events have come or timeout_ms passed; the caller
// frees them (free_events).
std::vector<kue_event *> pop_events(kue *handle, size_t wanted,
                                    int timeout_ms = Link::kDefaultWaitMs);
void free_events(std::vector<kue_event *> &events);

// Polls a handle without a service thread until the condition holds.
bool poll_until(kue *handle, const std::function<bool()> &condition,
                int timeout_ms = Link::kDefaultWaitMs);

// A client process's usual start: the port comes over the link, then a
// client handle (with a service thread when asked) is created. nullptr when
// either fails.
kue *connect_from_link(Link &link, bool use_service);

using Clock = std::chrono::steady_clock;

}  // namespace kue_test

#endif  // KUV_TESTS_KUE_FIXTURES_H
