// Helpers of the event-service tests: child processes linked by a pipe,
// a recording status handler, handles on loopback and bounded waits.
#ifndef KUV_TESTS_KUE_FIXTURES_H
#define KUV_TESTS_KUE_FIXTURES_H

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "davro_kuv.h"

namespace kue_test {

constexpr int kWaitMs = 60000;

// One end of a socket pair between a test and its child, carrying 64-bit
// values; every read is bounded.
class Link {
  public:
    void send(int64_t value);
    // The next value, or `fallback` when none came within timeout_ms.
    int64_t next(int64_t fallback = -1, int timeout_ms = kWaitMs);

  private:
    friend class Child;
    int socket_ = -1;
};

// A forked process whose exit status is body(its end of the link). Fork
// before the test starts a thread. A child still running at the end is
// killed.
class Child {
  public:
    explicit Child(const std::function<int(Link &)> &body);
    ~Child();
    Child(const Child &) = delete;
    Link &link() { return link_; }
    // The exit status; -1 after a signal or when it had to be killed.
    int wait(int timeout_ms = kWaitMs);
    void kill_now();

  private:
    pid_t pid_ = -1;
    Link link_;
};

using Children = std::vector<std::unique_ptr<Child>>;
// `count` children running body(number, link).
Children fork_children(int count, const std::function<int(int, Link &)> &body);
// Sends every child `value`, then expects each to exit with 0.
void finish(Children &children, int64_t value = 1);

bool wait_until(const std::function<bool()> &condition, int timeout_ms = kWaitMs);

struct Report {
    uint32_t code, id;
    std::string text;  // of status 1
    uint32_t seq;      // of event statuses
};

// A status handler recording every report. It answers 1 to status 9 except
// `keep_sent` times, `consume_received` to status 10, and clears
// error_code after status 1 unless `keep_errors`.
class StatusLog {
  public:
    void attach(kue *handle);
    std::vector<Report> reports() const;
    size_t count(uint32_t code) const;
    std::vector<uint32_t> ids(uint32_t code) const;
    uint32_t last_id(uint32_t code) const;

    bool keep_errors = false, consume_received = false;
    int keep_sent = 0;

  private:
    static int32_t handler(kue *handle, void *context, uint32_t code, uint32_t id, void *object);
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

// A handle listening on 127.0.0.1 at a system-chosen port, or connecting
// to it at `port`.
kue *make_server(bool use_service, uint32_t protocol_type = KUE_DEFAULT_PROTOCOL_TYPE);
kue *make_client(int32_t port, bool use_service,
                 uint32_t protocol_type = KUE_DEFAULT_PROTOCOL_TYPE);
// A created client at the port that comes over the link; nullptr on failure.
kue *connect_from_link(Link &link, bool use_service);
// A created plain endpoint: listening on 127.0.0.1 (port 0), or connected
// to `port` there.
kuvnet *make_endpoint(uint32_t protocol_type, int32_t port);

std::string payload_for(int client, int index);
std::string payload_of(const kue_event *event);

// Pops until `wanted` events came or the time is up; free with
// free_events.
std::vector<kue_event *> pop_events(kue *handle, size_t wanted, int timeout_ms = kWaitMs);
void free_events(std::vector<kue_event *> &events);
// Polls a handle without a service thread until the condition holds.
bool poll_until(kue *handle, const std::function<bool()> &condition);

}  // namespace kue_test

#endif  // KUV_TESTS_KUE_FIXTURES_H
