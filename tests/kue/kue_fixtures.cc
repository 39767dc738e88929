#include "kue/kue_fixtures.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "kue/event_header.h"

namespace kue_test {

Child::Child(const std::function<int(Child &)> &body) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    std::fflush(stdout);
    pid_ = fork();
    socket_ = ends[pid_ == 0 ? 1 : 0];
    close(ends[pid_ == 0 ? 0 : 1]);
    if (pid_ == 0) _exit(body(*this));
}

Child::~Child() {
    kill_now();
    close(socket_);
}

void Child::send(int64_t value) {
    [[maybe_unused]] ssize_t written = write(socket_, &value, sizeof value);
}

int64_t Child::next() {
    pollfd slot{socket_, POLLIN, 0};
    int64_t value = 0;
    const bool got = poll(&slot, 1, kWaitMs) == 1 && read(socket_, &value, sizeof value) == 8;
    return got ? value : -1;
}

void Child::kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int Child::wait(int timeout_ms) {
    int status = 0;
    const bool ended =
        pid_ > 0 && wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms);
    if (ended) pid_ = -1;
    kill_now();  // one that did not end in time
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Children fork_children(int count, const std::function<int(int, Child &)> &body) {
    Children children;
    for (int number = 0; number < count; ++number)
        children.push_back(
            std::make_unique<Child>([&](Child &parent) { return body(number, parent); }));
    return children;
}

void finish(Children &children) {
    for (auto &child : children)
        child->send(1);
    for (auto &child : children)
        EXPECT_EQ(child->wait(), 0);
}

bool wait_until(const std::function<bool()> &condition, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int32_t StatusLog::handler(kue *handle, void *context, uint32_t code, uint32_t id, void *object) {
    auto *log = static_cast<StatusLog *>(context);
    {
        std::lock_guard<std::mutex> hold(log->mutex_);
        log->reports_.emplace_back(code, id);
        if (code == KUE_STATUS_ERROR) log->last_error_ = static_cast<const char *>(object);
        if (code >= KUE_STATUS_TX_EXPIRED && object) {
            const auto *event = static_cast<const kue_event *>(object);
            const auto header =
                kuv::kue::read_event_header(std::span<const uint8_t, kuv::kue::kHeaderSize>(
                    event->data, kuv::kue::kHeaderSize));
            if (header.type != event->type || header.cmd != event->cmd || header.seq != event->seq)
                ++log->header_mismatches_;
        }
    }
    if (code == KUE_STATUS_ERROR) handle->error_code = 0;
    if (log->on_report) log->on_report(handle, code);
    if (code == KUE_STATUS_RECEIVED) return log->consume_received;
    if (code != KUE_STATUS_SENT || log->keep_sent == 0) return 1;
    --log->keep_sent;
    return 0;
}

std::string StatusLog::last_error() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return last_error_;
}

size_t StatusLog::header_mismatches() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return header_mismatches_;
}

std::vector<std::pair<uint32_t, uint32_t>> StatusLog::reports() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return reports_;
}

std::vector<uint32_t> StatusLog::select(uint32_t code) const {
    std::unique_lock<std::mutex> hold(mutex_);
    const auto reports = reports_;  // the handler waits only for the copy
    hold.unlock();
    std::vector<uint32_t> found;
    for (auto [reported, id] : reports)
        if (code ? reported == code : reported > KUE_STATUS_IDLE)
            found.push_back(code ? id : reported);
    return found;
}

kue *make_server(bool use_service, uint32_t protocol_type) {
    kue *handle = make_client(0, use_service, protocol_type);
    handle->is_server = 1;
    std::strcpy(handle->local_name, "127.0.0.1");
    handle->peer_name[0] = '\0';
    return handle;
}

kue *make_client(int32_t port, bool use_service, uint32_t protocol_type) {
    kue *handle = nullptr;
    kue_xapi_event_init(&handle);  // fails only without memory
    handle->use_async_service = use_service;
    handle->protocol_type = protocol_type;
    std::strcpy(handle->peer_name, "127.0.0.1");
    handle->port = port;
    return handle;
}

kuvnet *make_endpoint(uint32_t protocol_type, int32_t port) {
    kuvnet *endpoint = nullptr;
    if (kuv_xapi_kuvnet_init(&endpoint, 0) != 1) return nullptr;
    endpoint->protocol_type = protocol_type;
    endpoint->is_server = port == 0;
    std::strcpy(port ? endpoint->peer_name : endpoint->local_name, "127.0.0.1");
    endpoint->port = port;
    if (kuv_xapi_kuvnet_create(endpoint) == 1 && (!port || kuv_xapi_kuvnet_connect(endpoint) == 1))
        return endpoint;
    kuv_xapi_kuvnet_delete(&endpoint);
    return nullptr;
}

std::string payload_for(int client, int index) {
    // Lengths vary with the index, so that a short or merged item shows.
    return "client " + std::to_string(client) + " event " + std::to_string(index) +
           std::string(static_cast<size_t>(index % 97), 'a' + client % 26);
}

Events pop_events(kue *handle, size_t wanted) {
    Events events;
    wait_until([&] {
        if (!handle->service) kue_xapi_event_poll(handle);
        while (kue_event *event = kue_xapi_event_pop(handle))
            events.emplace_back(event);
        return events.size() >= wanted;
    });
    return events;
}

bool poll_until(kue *handle, const std::function<bool()> &condition) {
    return wait_until([&] {
        kue_xapi_event_poll(handle);
        return condition();
    });
}

int push_from_clients(int first, int handles, int events, bool use_service, Child &parent) {
    const int32_t port = static_cast<int32_t>(parent.next());
    std::vector<kue *> clients;
    for (int number = 0; number < handles; ++number) {
        clients.push_back(make_client(port, use_service));
        if (kue_xapi_event_create(clients.back()) != 1) return 10;
    }
    for (int index = 0; index < events; ++index)
        for (int number = 0; number < handles; ++number) {
            const std::string payload = payload_for(first + number, index);
            kue_xapi_event_push(clients[number], 0, first + number, index, payload.data(),
                                payload.size());
        }
    // A handle without a service thread sends in polls. Delete resets the
    // connection, which could discard what the server has not read: wait
    // for the test's word.
    for (kue *client : clients)
        if (!use_service && !poll_until(client, [&] { return client->tx_count == 0; })) return 11;
    parent.next();
    for (kue *client : clients)
        kue_xapi_event_delete(&client);
    return 0;
}

void push_to_one_server(int processes, int handles, int events, bool client_service) {
    Children children = fork_children(processes, [&](int process, Child &parent) {
        return push_from_clients(process * handles, handles, events, client_service, parent);
    });
    kue *server = make_server(true);
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    for (auto &child : children)
        child->send(server->port);
    const size_t clients = static_cast<size_t>(processes * handles), total = clients * events;
    std::map<uint32_t, uint32_t> next_seq_of_peer;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    size_t popped = 0, faults = 0;
    wait_until(
        [&] {
            while (kue_event *event = kue_xapi_event_pop(server)) {
                ++popped;
                faults += std::string(reinterpret_cast<const char *>(event->payload),
                                      event->payload_size) != payload_for(event->type, event->cmd);
                faults += event->size != event->payload_size + 20;
                faults += event->seq != event->cmd || event->seq != next_seq_of_peer[event->id]++;
                seen.emplace(event->type, event->cmd);
                kue_xapi_event_free(event);
            }
            return popped >= total;
        },
        2 * kWaitMs);
    EXPECT_EQ(seen.size(), total);  // none lost, none twice
    EXPECT_EQ(faults, 0u);
    EXPECT_EQ(log.count(KUE_STATUS_ACCEPTED), clients);
    finish(children);
    // Every peer's going is noticed and its record freed.
    EXPECT_TRUE(wait_until([&] { return log.count(KUE_STATUS_DISCONNECTED) == clients; }));
    kue_xapi_event_delete(&server);
}

}  // namespace kue_test
