// The event service between two processes on loopback, service threads on
// both sides, against peers measured in the same run:
//   - one-way throughput of 64-byte and 64 KiB events against a raw TCP
//     stream that sends each length-prefixed message with one send, and
//     against ZeroMQ PUSH/PULL over TCP;
//   - request/reply round trips (median and 99th percentile) against
//     ZeroMQ REQ/REP;
//   - the processor time of an idle event handle with its service thread.
// The peer of each measurement is a forked process, started before the
// measuring process makes any handle.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "davro_kuv.h"

#if defined(KUV_BENCH_HAVE_ZMQ)
#include <zmq.h>
#endif

namespace {

constexpr int kSmall = 64;
constexpr int kLarge = 65536;
// Events a sender keeps queued at most before it flushes.
constexpr int32_t kSendWindow = 256;
constexpr int kWaitMs = 10000;

// ---- processes and pipes ------------------------------------------------

int read_port(int from) {
    int port = 0;
    return read(from, &port, sizeof port) == sizeof port ? port : -1;
}

// A forked process running body(from_parent, to_parent).
class Peer {
  public:
    explicit Peer(const std::function<void(int, int)> &body) {
        if (pipe(down_) != 0 || pipe(up_) != 0) return;
        std::fflush(stdout);
        pid_ = fork();
        if (pid_ == 0) {
            close(down_[1]);
            close(up_[0]);
            body(down_[0], up_[1]);
            _exit(0);
        }
        close(down_[0]);
        close(up_[1]);
    }
    ~Peer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(down_[1]);
        close(up_[0]);
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;
    // Hands the peer the port it is to use, or takes the one it offers.
    void send_port(int port) { (void)!write(down_[1], &port, sizeof port); }
    int receive_port() { return read_port(up_[0]); }

  private:
    int down_[2] = {-1, -1};
    int up_[2] = {-1, -1};
    pid_t pid_ = -1;
};

// ---- the event service --------------------------------------------------

kue *kue_server() {
    kue *server = nullptr;
    kue_xapi_event_init(&server);
    server->is_server = 1;
    std::strcpy(server->local_name, "127.0.0.1");
    server->poll_timeout = 100;
    return kue_xapi_event_create(server) == 1 ? server : nullptr;
}

kue *kue_client(int port) {
    kue *client = nullptr;
    kue_xapi_event_init(&client);
    std::strcpy(client->peer_name, "127.0.0.1");
    client->port = port;
    client->poll_timeout = 100;
    return kue_xapi_event_create(client) == 1 ? client : nullptr;
}

// The next received event: popped when there is one, else the handle is
// polled (which waits up to poll_timeout for the sockets).
kue_event *next_event(kue *handle) {
    for (;;) {
        if (kue_event *event = kue_xapi_event_pop(handle)) return event;
        kue_xapi_event_poll(handle);
    }
}

void kue_sender(int from, int size) {
    kue *client = kue_client(read_port(from));
    if (!client) return;
    std::vector<uint8_t> payload(static_cast<size_t>(size), 0x5A);
    for (;;) {
        const uint32_t queued =
            kue_xapi_event_push(client, 0, 1, 2, payload.data(), payload.size());
        // A full window is sent by this thread, as the service thread would.
        if (static_cast<int32_t>(queued) >= kSendWindow) kue_xapi_event_poll(client);
    }
}

void KueOneWay(benchmark::State &state) {
    const int size = static_cast<int>(state.range(0));
    Peer sender([size](int from, int) { kue_sender(from, size); });
    kue *server = kue_server();
    sender.send_port(server->port);
    kue_xapi_event_free(next_event(server));  // connected and flowing
    for (auto _ : state)
        kue_xapi_event_free(next_event(server));
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * size);
    kue_xapi_event_delete(&server);
}

// ---- raw TCP ------------------------------------------------------------

int tcp_listener(int *port) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    *port = ntohs(address.sin_port);
    return listener;
}

int tcp_connect(int port) {
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return connect(peer, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ? peer : -1;
}

bool receive_all(int socket, void *buffer, size_t size) {
    return recv(socket, buffer, size, MSG_WAITALL) == static_cast<ssize_t>(size);
}

void raw_sender(int from, int size) {
    int peer = tcp_connect(read_port(from));
    std::vector<uint8_t> message(4 + static_cast<size_t>(size), 0x5A);
    const uint32_t length = static_cast<uint32_t>(size);
    std::memcpy(message.data(), &length, 4);
    while (send(peer, message.data(), message.size(), MSG_NOSIGNAL) > 0) {
    }
}

void RawTcpOneWay(benchmark::State &state) {
    const int size = static_cast<int>(state.range(0));
    Peer sender([size](int from, int) { raw_sender(from, size); });
    int port = 0;
    int listener = tcp_listener(&port);
    sender.send_port(port);
    int peer = accept(listener, nullptr, nullptr);
    std::vector<uint8_t> body(static_cast<size_t>(size));
    for (auto _ : state) {
        uint32_t length = 0;
        if (!receive_all(peer, &length, 4) || !receive_all(peer, body.data(), length)) {
            state.SkipWithError("raw stream broke");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * size);
    close(peer);
    close(listener);
}

// ---- ZeroMQ -------------------------------------------------------------

#if defined(KUV_BENCH_HAVE_ZMQ)

std::string zmq_address(int port) {
    return "tcp://127.0.0.1:" + std::to_string(port);
}

// Binds a socket of the type to a system-chosen loopback port.
void *zmq_bound(void *context, int type, int *port) {
    void *socket = zmq_socket(context, type);
    zmq_bind(socket, "tcp://127.0.0.1:*");
    char endpoint[128];
    size_t length = sizeof endpoint;
    zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &length);
    *port = std::atoi(std::strrchr(endpoint, ':') + 1);
    return socket;
}

void zmq_pusher(int from, int size) {
    void *context = zmq_ctx_new();
    void *push = zmq_socket(context, ZMQ_PUSH);
    zmq_connect(push, zmq_address(read_port(from)).c_str());
    std::vector<uint8_t> payload(static_cast<size_t>(size), 0x5A);
    while (zmq_send(push, payload.data(), payload.size(), 0) >= 0) {
    }
}

void ZmqOneWay(benchmark::State &state) {
    const int size = static_cast<int>(state.range(0));
    Peer sender([size](int from, int) { zmq_pusher(from, size); });
    void *context = zmq_ctx_new();
    int port = 0;
    void *pull = zmq_bound(context, ZMQ_PULL, &port);
    sender.send_port(port);
    std::vector<uint8_t> body(static_cast<size_t>(size));
    for (auto _ : state)
        zmq_recv(pull, body.data(), body.size(), 0);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * size);
    int linger = 0;
    zmq_setsockopt(pull, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(pull);
    zmq_ctx_term(context);
}

#endif

// ---- round trips --------------------------------------------------------

// Records each iteration's time and reports the median and the 99th
// percentile in microseconds.
class RoundTrips {
  public:
    void add(std::chrono::steady_clock::duration taken) {
        samples_.push_back(std::chrono::duration<double, std::micro>(taken).count());
    }
    void report(benchmark::State &state) {
        if (samples_.empty()) return;
        std::sort(samples_.begin(), samples_.end());
        state.counters["p50_us"] = samples_[samples_.size() / 2];
        state.counters["p99_us"] = samples_[samples_.size() * 99 / 100];
    }

  private:
    std::vector<double> samples_;
};

// The echo side connects to the measuring side's port and sends every
// request back to the peer it came from.
void kue_echo(int from) {
    kue *client = kue_client(read_port(from));
    if (!client) return;
    for (;;) {
        kue_event *request = next_event(client);
        kue_xapi_event_push(client, 0, request->type, request->cmd, request->payload,
                            request->payload_size);
        kue_xapi_event_free(request);
    }
}

void KueRoundTrip(benchmark::State &state) {
    Peer echo([](int from, int) { kue_echo(from); });
    kue *server = kue_server();
    echo.send_port(server->port);
    // The echo side's connection is the server's second record.
    while (!server->connections->next)
        kue_xapi_event_poll(server);
    const uint32_t id = static_cast<uint32_t>(server->connections->next->endpoint->socket);
    const uint8_t request[kSmall] = {};
    RoundTrips times;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        kue_xapi_event_push(server, id, 1, 2, request, sizeof request);
        kue_xapi_event_free(next_event(server));
        times.add(std::chrono::steady_clock::now() - start);
    }
    times.report(state);
    kue_xapi_event_delete(&server);
}

#if defined(KUV_BENCH_HAVE_ZMQ)

void zmq_echo(int from) {
    void *context = zmq_ctx_new();
    void *reply = zmq_socket(context, ZMQ_REP);
    zmq_connect(reply, zmq_address(read_port(from)).c_str());
    uint8_t request[kSmall];
    for (;;) {
        const int got = zmq_recv(reply, request, sizeof request, 0);
        if (got < 0 || zmq_send(reply, request, static_cast<size_t>(got), 0) < 0) return;
    }
}

void ZmqRoundTrip(benchmark::State &state) {
    Peer echo([](int from, int) { zmq_echo(from); });
    void *context = zmq_ctx_new();
    int port = 0;
    void *request_socket = zmq_bound(context, ZMQ_REQ, &port);
    echo.send_port(port);
    uint8_t request[kSmall] = {}, reply[kSmall];
    RoundTrips times;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        zmq_send(request_socket, request, sizeof request, 0);
        zmq_recv(request_socket, reply, sizeof reply, 0);
        times.add(std::chrono::steady_clock::now() - start);
    }
    times.report(state);
    int linger = 0;
    zmq_setsockopt(request_socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(request_socket);
    zmq_ctx_term(context);
}

#endif

// ---- idle ---------------------------------------------------------------

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Measures this process's processor time over five seconds in which its
// main thread sleeps: what the handle's service thread costs.
void measure_idle(benchmark::State &state) {
    for (auto _ : state) {
        const double before = process_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        sleep(5);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["cpu_percent"] = 100.0 * (process_cpu_seconds() - before) / wall;
    }
}

// A connected client handle with its service thread and nothing to do; the
// server is the peer process.
void KueIdleClient(benchmark::State &state) {
    Peer peer([](int, int to) {
        kue *server = kue_server();
        (void)!write(to, &server->port, sizeof server->port);
        for (;;)
            pause();
    });
    kue *client = kue_client(peer.receive_port());
    measure_idle(state);
    kue_xapi_event_delete(&client);
}

// A server handle with its service thread and one connected peer.
void KueIdleServer(benchmark::State &state) {
    Peer peer([](int from, int) {
        kue *client = kue_client(read_port(from));
        (void)client;
        for (;;)
            pause();
    });
    kue *server = kue_server();
    peer.send_port(server->port);
    while (!server->connections->next)
        kue_xapi_event_poll(server);
    measure_idle(state);
    kue_xapi_event_delete(&server);
}

// Names carry the payload size; every case runs on real time (the peer
// process does half of the work).
BENCHMARK(KueOneWay)->Name("KueOneWay64")->Arg(kSmall)->UseRealTime();
BENCHMARK(RawTcpOneWay)->Name("RawTcpOneWay64")->Arg(kSmall)->UseRealTime();
BENCHMARK(KueOneWay)->Name("KueOneWay65536")->Arg(kLarge)->UseRealTime();
BENCHMARK(RawTcpOneWay)->Name("RawTcpOneWay65536")->Arg(kLarge)->UseRealTime();
#if defined(KUV_BENCH_HAVE_ZMQ)
BENCHMARK(ZmqOneWay)->Name("ZmqOneWay64")->Arg(kSmall)->UseRealTime();
BENCHMARK(ZmqOneWay)->Name("ZmqOneWay65536")->Arg(kLarge)->UseRealTime();
#endif
BENCHMARK(KueRoundTrip)->UseRealTime();
#if defined(KUV_BENCH_HAVE_ZMQ)
BENCHMARK(ZmqRoundTrip)->UseRealTime();
#endif
BENCHMARK(KueIdleClient)->Iterations(1)->UseRealTime();
BENCHMARK(KueIdleServer)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread keep_threaded;
    return kuv_bench::run_with_ratios(
        argc, argv,
        {{"KueOneWay64/64/real_time", "RawTcpOneWay64/64/real_time"},
         {"KueOneWay65536/65536/real_time", "RawTcpOneWay65536/65536/real_time"},
         {"KueOneWay64/64/real_time", "ZmqOneWay64/64/real_time"},
         {"KueOneWay65536/65536/real_time", "ZmqOneWay65536/65536/real_time"},
         {"KueRoundTrip/real_time", "ZmqRoundTrip/real_time"}});
}
