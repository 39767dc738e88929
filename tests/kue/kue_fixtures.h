// Helpers of the event-service tests: child processes, a recording status
// handler, handles on loopback and bounded waits.
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

// A forked process ending with status body(its copy); send and next carry
// values between it and the test. Fork before the test starts a thread.
class Child {
  public:
    explicit Child(const std::function<int(Child &)> &body);
    ~Child();
    Child(const Child &) = delete;
    void send(int64_t value);
    int64_t next();                      // -1 when nothing came in time
    int wait(int timeout_ms = kWaitMs);  // the exit status; -1 when killed
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

// The status handler of handles, recording every report, then calling
// on_report. It answers 1 to status 9 but `keep_sent` times,
// `consume_received` to status 10, and clears error_code after status 1.
// It also counts the events it is shown whose bytes do not begin with
// their own header (type, cmd and seq as in the record).
class StatusLog {
  public:
    explicit StatusLog(kue *handle) { attach(handle); }
    void attach(kue *handle) {
        handle->status_handler = handler;
        handle->user_context = this;
    }
    std::vector<uint32_t> codes() const { return select(0); }  // without 1 and 2
    std::vector<uint32_t> ids(uint32_t code) const { return select(code); }
    size_t count(uint32_t code) const { return ids(code).size(); }
    std::string last_error() const;  // the text of the last status 1
    // Every report so far as (code, id), in the order they were made.
    std::vector<std::pair<uint32_t, uint32_t>> reports() const;
    size_t header_mismatches() const;

    bool consume_received = false;
    int keep_sent = 0;
    std::function<void(kue *, uint32_t code)> on_report;

  private:
    // The ids of the reports of `code`, or with 0 the codes from 3 on.
    std::vector<uint32_t> select(uint32_t code) const;
    static int32_t handler(kue *handle, void *context, uint32_t code, uint32_t id, void *object);
    mutable std::mutex mutex_;
    std::vector<std::pair<uint32_t, uint32_t>> reports_;  // code, id
    std::string last_error_;
    size_t header_mismatches_ = 0;
};

// Handles listening on 127.0.0.1 (port 0), or connecting there to `port`.
kue *make_server(bool use_service, uint32_t protocol_type = KUE_DEFAULT_PROTOCOL_TYPE);
kue *make_client(int32_t port, bool use_service,
                 uint32_t protocol_type = KUE_DEFAULT_PROTOCOL_TYPE);
// The same as created plain endpoints.
kuvnet *make_endpoint(uint32_t protocol_type, int32_t port);

std::string payload_for(int client, int index);

struct EventFree {
    void operator()(kue_event *event) const { kue_xapi_event_free(event); }
};
using Events = std::vector<std::unique_ptr<kue_event, EventFree>>;
// Pops (polling a handle without a service thread) until `wanted` came.
Events pop_events(kue *handle, size_t wanted);
// Polls a handle without a service thread until the condition holds.
bool poll_until(kue *handle, const std::function<bool()> &condition);

// A child's body: clients `first` on, each pushing `events` events (client
// c's event i: type c, cmd i, payload_for(c, i)) to the port the test sends.
int push_from_clients(int first, int handles, int events, bool use_service, Child &parent);
// Children push_from_clients to a server with a service thread, which must
// get every event once, intact and in order, and see every peer come and go.
void push_to_one_server(int processes, int handles, int events, bool client_service);

}  // namespace kue_test

#endif  // KUV_TESTS_KUE_FIXTURES_H
