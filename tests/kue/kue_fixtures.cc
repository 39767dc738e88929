#include "kue/kue_fixtures.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace kue_test {

void Link::send(int64_t value) {
    [[maybe_unused]] ssize_t written = write(out_, &value, sizeof value);
}

bool Link::receive(int64_t *value, int timeout_ms) {
    pollfd slot{in_, POLLIN, 0};
    if (poll(&slot, 1, timeout_ms) != 1) return false;
    return read(in_, value, sizeof *value) == sizeof *value;
}

int64_t Link::next(int64_t fallback, int timeout_ms) {
    int64_t value = 0;
    return receive(&value, timeout_ms) ? value : fallback;
}

Child::Child(const std::function<int(Link &)> &body) {
    int down[2], up[2];
    if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
        close(down[1]);
        close(up[0]);
        Link own;
        own.in_ = down[0];
        own.out_ = up[1];
        int status = body(own);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(status);
    }
    close(down[0]);
    close(up[1]);
    link_.in_ = up[0];
    link_.out_ = down[1];
}

Child::~Child() {
    kill_now();
    if (link_.in_ >= 0) close(link_.in_);
    if (link_.out_ >= 0) close(link_.out_);
}

void Child::kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int Child::wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() >= end) {
            kill_now();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool wait_until(const std::function<bool()> &condition, int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int32_t StatusLog::handler(kue *handle, void *context, uint32_t code, uint32_t id, void *object) {
    auto *log = static_cast<StatusLog *>(context);
    Report report{code, id, "", 0, 0, 0};
    const bool event_code = code >= KUE_STATUS_TX_EXPIRED && code <= KUE_STATUS_POPPED;
    if (code == KUE_STATUS_ERROR) report.text = static_cast<const char *>(object);
    if (event_code && object) {
        auto *event = static_cast<const kue_event *>(object);
        report.type = event->type;
        report.cmd = event->cmd;
        report.seq = event->seq;
    }
    int32_t answer = 1;
    {
        std::lock_guard<std::mutex> hold(log->mutex_);
        log->reports_.push_back(report);
        if (code == KUE_STATUS_SENT && log->keep_sent > 0) {
            --log->keep_sent;
            answer = 0;
        }
    }
    if (code == KUE_STATUS_ERROR && log->clear_errors) handle->error_code = 0;
    if (code == KUE_STATUS_RECEIVED) answer = log->consume_received ? 1 : 0;
    return answer;
}

std::vector<Report> StatusLog::reports() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return reports_;
}

std::vector<uint32_t> StatusLog::codes() const {
    std::vector<uint32_t> codes;
    for (const Report &report : reports())
        codes.push_back(report.code);
    return codes;
}

size_t StatusLog::count(uint32_t code) const {
    size_t found = 0;
    for (const Report &report : reports())
        found += report.code == code;
    return found;
}

uint32_t last_id_of(const StatusLog &log, uint32_t code) {
    uint32_t id = 0;
    for (const Report &report : log.reports())
        if (report.code == code) id = report.id;
    return id;
}

kue *make_server(bool use_service, uint32_t protocol_type) {
    kue *handle = nullptr;
    if (kue_xapi_event_init(&handle) != 1) return nullptr;
    handle->is_server = 1;
    handle->use_async_service = use_service ? 1 : 0;
    handle->protocol_type = protocol_type;
    std::strcpy(handle->local_name, "127.0.0.1");
    handle->port = 0;
    return handle;
}

kue *make_client(int32_t port, bool use_service, uint32_t protocol_type) {
    kue *handle = nullptr;
    if (kue_xapi_event_init(&handle) != 1) return nullptr;
    handle->use_async_service = use_service ? 1 : 0;
    handle->protocol_type = protocol_type;
    std::strcpy(handle->peer_name, "127.0.0.1");
    handle->port = port;
    return handle;
}

std::string payload_for(int client, int index) {
    char text[64];
    std::snprintf(text, sizeof text, "client %d event %d ", client, index);
    // Lengths vary with the index, so that a short or merged item shows.
    return std::string(text) + std::string(static_cast<size_t>(index % 97), 'a' + client % 26);
}

std::string payload_of(const kue_event *event) {
    return std::string(reinterpret_cast<const char *>(event->payload), event->payload_size);
}

std::vector<kue_event *> pop_events(kue *handle, size_t wanted, int timeout_ms) {
    std::vector<kue_event *> events;
    wait_until(
        [&] {
            while (kue_event *event = kue_xapi_event_pop(handle))
                events.push_back(event);
            return events.size() >= wanted;
        },
        timeout_ms);
    return events;
}

void free_events(std::vector<kue_event *> &events) {
    for (kue_event *event : events)
        kue_xapi_event_free(event);
    events.clear();
}

bool poll_until(kue *handle, const std::function<bool()> &condition, int timeout_ms) {
    return wait_until(
        [&] {
            kue_xapi_event_poll(handle);
            return condition();
        },
        timeout_ms);
}

kue *connect_from_link(Link &link, bool use_service) {
    const int64_t port = link.next();
    if (port < 0) return nullptr;
    kue *client = make_client(static_cast<int32_t>(port), use_service);
    if (kue_xapi_event_create(client) == 1) return client;
    kue_xapi_event_delete(&client);
    return nullptr;
}

}  // namespace kue_test
