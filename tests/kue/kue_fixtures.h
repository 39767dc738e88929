// Helpers of the event-service tests: child processes, a recording status
// handler, handles on loopback and bounded waits.
#ifndef KUV_TESTS_KUE_FIXTURES_H
#define KUV_TESTS_KUE_FIXTURES_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "davro_kuv.h"

namespace kue_test {

constexpr int kWaitMs = 60000;

// A forked process with exit status body(its own object), and a socket pair
// between the two carrying 64-bit values: in the test send and next talk to
// the child, in the child to the test. Fork before the test starts a
// thread. A child still running at the end is killed.
class Child {
  public:
    explicit Child(const std::function<int(Child &)> &body);
    ~Child();
    Child(const Child &) = delete;
    void send(int64_t value);
    // The next value, or `fallback` when none came within timeout_ms.
    int64_t next(int64_t fallback = -1, int timeout_ms = kWaitMs);
    // The exit status; -1 after a signal or when it had to be killed.
    int wait(int timeout_ms = kWaitMs);
    void kill_now();

  private:
    pid_t pid_ = -1;
    int socket_ = -1;
};

using Children = std::vector<std::unique_ptr<Child>>;
Children fork_children(int count, const std::function<int(int number, Child &)> &body);
// Sends every child 1, then expects each to exit with 0.
void finish(Children &children);

bool wait_until(const std::function<bool()> &condition, int timeout_ms = kWaitMs);

struct Report {
    uint32_t code, id;
    std::string text;  // of status 1
};

// A status handler recording every report. It answers 1 to status 9 but
// `keep_sent` times, `consume_received` to status 10, and clears error_code
// after status 1 unless `keep_errors`.
class StatusLog {
  public:
    void attach(kue *handle);
    std::vector<Report> reports() const;
    std::vector<uint32_t> codes() const;  // without 1 and 2
    std::vector<uint32_t> ids(uint32_t code) const;
    size_t count(uint32_t code) const { return ids(code).size(); }

    bool keep_errors = false, consume_received = false;
    int keep_sent = 0;

  private:
    static int32_t handler(kue *handle, void *context, uint32_t code, uint32_t id, void *object);
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

// Handles listening on 127.0.0.1 at a port the system chooses, or
// connecting there to `port`.
kue *make_server(bool use_service, uint32_t protocol_type = KUE_DEFAULT_PROTOCOL_TYPE);
kue *make_client(int32_t port, bool use_service,
                 uint32_t protocol_type = KUE_DEFAULT_PROTOCOL_TYPE);
// A created client at the port the test sends; nullptr on failure.
kue *connect_to_parent_port(Child &parent, bool use_service);
// A created plain endpoint listening on 127.0.0.1 (port 0) or connected
// to `port` there.
kuvnet *make_endpoint(uint32_t protocol_type, int32_t port);

std::string payload_for(int client, int index);
std::string payload_of(const kue_event *event);

std::vector<kue_event *> pop_events(kue *handle, size_t wanted, int timeout_ms = kWaitMs);
void free_events(std::vector<kue_event *> &events);
// Polls a handle without a service thread until the condition holds.
bool poll_until(kue *handle, const std::function<bool()> &condition);

// A child's body: `handles` clients, each pushing `events` events (client c's
// event i has type c, cmd i, payload payload_for(c, i); the first client is
// number `first`) to the port the test sends. Sends 1 when all are sent and
// deletes them when told to.
int push_from_clients(int first, int handles, int events, bool use_service, Child &parent);
// `processes` children push_from_clients to a server with a service thread,
// which must get every event once, intact and in its peer's order, with
// exact counts and reports.
void push_to_one_server(int processes, int handles, int events, bool client_service);

}  // namespace kue_test

#endif  // KUV_TESTS_KUE_FIXTURES_H
