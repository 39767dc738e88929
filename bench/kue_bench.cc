// The event service between two processes on loopback, service threads on
// both sides, against peers measured in alternating rounds of the same run:
//   - one-way throughput of 64-byte and 64 KiB events against a raw TCP
//     stream that sends each length-prefixed message with one send, and
//     against ZeroMQ PUSH/PULL over TCP;
//   - request/reply round trips (median and 99th percentile) against
//     ZeroMQ REQ/REP;
//   - the processor time of an idle event handle with its service thread.
// Every sending or echoing side is a forked process that waits for a count
// on its pipe and then moves that many messages, so that only the pair
// being timed is busy. Peer processes are forked before the measuring
// process makes any handle.
//
// The one-way cases run twice: with the receiving process (its service
// thread and ZeroMQ's I/O thread among its threads) and the sending process
// pinned to one core, and pinned to two different cores. Left to the
// scheduler, each run settled on some placement of the four or five busy
// threads for a whole case, and ZeroMQ's 64-byte rate, which depends on
// whether its I/O threads share a core with the threads they serve, moved
// between 1 and 2.7 ms per round from run to run: the ratio went from 4.6 to
// 10.7. Pinned, each placement stays within a few percent.
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "davro_kuv.h"

#if defined(KUV_BENCH_HAVE_ZMQ)
#include <zmq.h>
#endif

namespace {

using kuv_bench::Clock;
using kuv_bench::measure_paired;

constexpr int kSmall = 64;
constexpr int kLarge = 65536;
// Messages per timed round: a round of the slower side lasts about a tenth
// of a second, so that starting and draining a stream weighs little beside
// its steady flow.
constexpr int kSmallRound = 5000;
constexpr int kLargeRound = 1000;
constexpr int kRoundTrips = 200;
// A sender flushes its queue itself once it holds 256 events or 2 MiB.
constexpr int32_t kMostQueuedEvents = 256;
constexpr int32_t kMostQueuedBytes = 2 << 20;

// ---- processes and pipes ------------------------------------------------

int read_value(int from) {
    int value = 0;
    return read(from, &value, sizeof value) == sizeof value ? value : -1;
}

void write_value(int to, int value) {
    (void)!write(to, &value, sizeof value);
}

// A forked process running body(from_parent, to_parent).
class Peer {
  public:
    // The child runs on processor cpu alone when cpu is not negative.
    explicit Peer(const std::function<void(int, int)> &body, int cpu = -1) {
        if (pipe(down_) != 0 || pipe(up_) != 0) return;
        std::fflush(stdout);
        pid_ = fork();
        if (pid_ == 0) {
            if (cpu >= 0) kuv_bench::pin_to(cpu);
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

    void send(int value) { write_value(down_[1], value); }
    int receive() { return read_value(up_[0]); }

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

// Connects to the port it is given, then sends as many events as each
// count it is given asks for.
void kue_sender(int from, int size) {
    kue *client = kue_client(read_value(from));
    if (!client) return;
    std::vector<uint8_t> payload(static_cast<size_t>(size), 0x5A);
    const int32_t window = std::min(kMostQueuedEvents, std::max(1, kMostQueuedBytes / size));
    for (int count; (count = read_value(from)) > 0;) {
        for (int sent = 0; sent < count; ++sent) {
            const uint32_t queued =
                kue_xapi_event_push(client, 0, 1, 2, payload.data(), payload.size());
            // A full window goes out from this thread, as it would from the
            // service thread.
            if (static_cast<int32_t>(queued) >= window) kue_xapi_event_poll(client);
        }
    }
}

// The receiving side of the event service: one server, its sender process.
struct KueReceiver {
    Peer sender;
    kue *server;
    KueReceiver(int size, int sender_cpu)
        : sender([size](int from, int) { kue_sender(from, size); }, sender_cpu),
          server(kue_server()) {
        sender.send(server->port);
    }
    ~KueReceiver() { kue_xapi_event_delete(&server); }
    void round(int count) {
        sender.send(count);
        for (int received = 0; received < count; ++received)
            kue_xapi_event_free(next_event(server));
    }
};

// ---- raw TCP ------------------------------------------------------------

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// Connects, then sends each count of length-prefixed messages, one send
// per message.
void raw_sender(int from, int size) {
    const sockaddr_in address = loopback(read_value(from));
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(peer, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) return;
    std::vector<uint8_t> message(4 + static_cast<size_t>(size), 0x5A);
    const uint32_t length = static_cast<uint32_t>(size);
    std::memcpy(message.data(), &length, 4);
    for (int count; (count = read_value(from)) > 0;)
        for (int sent = 0; sent < count; ++sent)
            if (send(peer, message.data(), message.size(), MSG_NOSIGNAL) <= 0) return;
}

struct RawReceiver {
    Peer sender;
    int peer = -1;
    std::vector<uint8_t> body;
    RawReceiver(int size, int sender_cpu)
        : sender([size](int from, int) { raw_sender(from, size); }, sender_cpu),
          body(static_cast<size_t>(size)) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr *>(&address), length);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        sender.send(ntohs(address.sin_port));
        peer = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~RawReceiver() { close(peer); }
    void round(int count) {
        sender.send(count);
        for (int received = 0; received < count; ++received) {
            uint32_t length = 0;
            recv(peer, &length, 4, MSG_WAITALL);
            recv(peer, body.data(), length, MSG_WAITALL);
        }
    }
};

// ---- ZeroMQ -------------------------------------------------------------

#if defined(KUV_BENCH_HAVE_ZMQ)

std::string zmq_address(int port) {
    return "tcp://127.0.0.1:" + std::to_string(port);
}

// A context and one socket of the type bound to a system-chosen port.
struct ZmqBound {
    void *context = zmq_ctx_new();
    void *socket;
    int port = 0;
    explicit ZmqBound(int type) : socket(zmq_socket(context, type)) {
        zmq_bind(socket, "tcp://127.0.0.1:*");
        char endpoint[128];
        size_t length = sizeof endpoint;
        zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &length);
        port = std::atoi(std::strrchr(endpoint, ':') + 1);
    }
    ~ZmqBound() {
        int linger = 0;
        zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
        zmq_close(socket);
        zmq_ctx_term(context);
    }
};

void zmq_pusher(int from, int size) {
    void *context = zmq_ctx_new();
    void *push = zmq_socket(context, ZMQ_PUSH);
    zmq_connect(push, zmq_address(read_value(from)).c_str());
    std::vector<uint8_t> payload(static_cast<size_t>(size), 0x5A);
    for (int count; (count = read_value(from)) > 0;)
        for (int sent = 0; sent < count; ++sent)
            if (zmq_send(push, payload.data(), payload.size(), 0) < 0) return;
}

struct ZmqReceiver {
    Peer sender;
    ZmqBound pull{ZMQ_PULL};
    std::vector<uint8_t> body;
    ZmqReceiver(int size, int sender_cpu)
        : sender([size](int from, int) { zmq_pusher(from, size); }, sender_cpu),
          body(static_cast<size_t>(size)) {
        sender.send(pull.port);
    }
    void round(int count) {
        sender.send(count);
        for (int received = 0; received < count; ++received)
            zmq_recv(pull.socket, body.data(), body.size(), 0);
    }
};

#endif

// ---- one-way cases ------------------------------------------------------

// state.range(0) is the number of cores: 1 puts the senders beside this
// process, 2 on the other core.
template <typename PeerReceiver>
void one_way(benchmark::State &state, int size, int round) {
    int receiver_cpu, sender_cpu;
    if (!kuv_bench::place_two_processes(state, state.range(0) == 2, &receiver_cpu, &sender_cpu))
        return;
    // Threads made from here on (the service thread, ZeroMQ's) stay on the
    // receiver's core.
    const kuv_bench::PinnedThread pinned(receiver_cpu);
    // Both sender processes are forked before this process makes a handle.
    PeerReceiver peer(size, sender_cpu);
    KueReceiver library(size, sender_cpu);
    library.round(1);  // connected and flowing
    peer.round(1);
    measure_paired(
        state, [&](uint64_t) { library.round(round); }, [&](uint64_t) { peer.round(round); },
        Clock::kWall);
    state.counters["library_per_s"] = round / state.counters["library_us"] * 1e6;
    state.counters["peer_per_s"] = round / state.counters["peer_us"] * 1e6;
}

void KueVsRawTcp64(benchmark::State &state) {
    one_way<RawReceiver>(state, kSmall, kSmallRound);
}
void KueVsRawTcp64K(benchmark::State &state) {
    one_way<RawReceiver>(state, kLarge, kLargeRound);
}
#if defined(KUV_BENCH_HAVE_ZMQ)
void KueVsZmq64(benchmark::State &state) {
    one_way<ZmqReceiver>(state, kSmall, kSmallRound);
}
void KueVsZmq64K(benchmark::State &state) {
    one_way<ZmqReceiver>(state, kLarge, kLargeRound);
}
#endif

// ---- idle peers ---------------------------------------------------------

constexpr int kIdlePeers = 2000;
// Fewer events than the other 64-byte cases: a round stays short however
// much each idle peer costs.
constexpr int kIdlePeersRound = 1000;

// Room for the idle peers' two descriptors each (ours and the accepted
// one), up to the hard limit.
bool descriptors_for_idle_peers() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    const rlim_t needed = 2 * kIdlePeers + 256;
    if (limit.rlim_cur >= needed) return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) return false;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Read under the handle's lock: the service thread changes the list.
int connection_count(kue *server) {
    int count = 0;
    kuv_mapi_lock_v0(&server->lock, "bench", __LINE__);
    for (kue_connection *connection = server->connections; connection;
         connection = connection->next)
        ++count;
    kuv_mapi_unlock_v0(&server->lock);
    return count;
}

// Plain TCP sockets connected to a server and never used: each is a peer
// the server holds and watches. They connect in small batches, each
// accepted before the next, so that the listen backlog never overflows.
class IdlePeers {
  public:
    IdlePeers(kue *server, int count) : sockets_(static_cast<size_t>(count), -1) {
        const sockaddr_in address = loopback(server->port);
        const int before = connection_count(server);
        constexpr int kBatch = 64;
        for (int done = 0; done < count;) {
            const int batch_end = std::min(count, done + kBatch);
            for (; done < batch_end; ++done) {
                const int peer = socket(AF_INET, SOCK_STREAM, 0);
                sockets_[static_cast<size_t>(done)] = peer;
                if (connect(peer, reinterpret_cast<const sockaddr *>(&address), sizeof address) !=
                    0)
                    return;
            }
            // Accepted by this thread's polls (the service thread stands
            // aside meanwhile) rather than after its pauses.
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            do
                kue_xapi_event_poll(server);
            while (connection_count(server) < before + done &&
                   std::chrono::steady_clock::now() < limit);
        }
        complete_ = connection_count(server) == before + count;
    }
    ~IdlePeers() {
        for (int peer : sockets_)
            if (peer >= 0) close(peer);
    }
    IdlePeers(const IdlePeers &) = delete;
    IdlePeers &operator=(const IdlePeers &) = delete;
    bool complete() const { return complete_; }

  private:
    std::vector<int> sockets_;
    bool complete_ = false;
};

// One-way 64-byte events to a server holding 2,000 idle peers against the
// same to a server holding none: what each idle peer adds to an event.
void KueIdlePeers64(benchmark::State &state) {
    if (!descriptors_for_idle_peers()) {
        state.SkipWithError("not enough descriptors for the idle peers");
        for (auto _ : state) {
        }
        return;
    }
    int receiver_cpu, sender_cpu;
    if (!kuv_bench::place_two_processes(state, state.range(0) == 2, &receiver_cpu, &sender_cpu))
        return;
    const kuv_bench::PinnedThread pinned(receiver_cpu);
    KueReceiver crowded(kSmall, sender_cpu);
    KueReceiver alone(kSmall, sender_cpu);
    crowded.round(1);  // the sender is the server's second record
    alone.round(1);
    IdlePeers idle(crowded.server, kIdlePeers);
    if (!idle.complete()) {
        state.SkipWithError("the idle peers were not all accepted");
        for (auto _ : state) {
        }
        return;
    }
    measure_paired(
        state, [&](uint64_t) { crowded.round(kIdlePeersRound); },
        [&](uint64_t) { alone.round(kIdlePeersRound); }, Clock::kWall);
    state.counters["library_per_s"] = kIdlePeersRound / state.counters["library_us"] * 1e6;
    state.counters["peer_per_s"] = kIdlePeersRound / state.counters["peer_us"] * 1e6;
}

// ---- round trips --------------------------------------------------------

// Times each round trip of a round.
struct Trips {
    std::vector<double> micros;
    template <typename Trip>
    void run(int count, Trip &&trip) {
        for (int done = 0; done < count; ++done) {
            const auto start = std::chrono::steady_clock::now();
            trip();
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count());
        }
    }
    double percentile(int which) {
        std::sort(micros.begin(), micros.end());
        return micros.empty() ? 0 : micros[micros.size() * static_cast<size_t>(which) / 100];
    }
};

#if defined(KUV_BENCH_HAVE_ZMQ)

// The echo side of the event service connects to the port it is given and
// sends every request back to the peer it came from.
void kue_echo(int from) {
    kue *client = kue_client(read_value(from));
    if (!client) return;
    for (;;) {
        kue_event *request = next_event(client);
        kue_xapi_event_push(client, 0, request->type, request->cmd, request->payload,
                            request->payload_size);
        kue_xapi_event_free(request);
    }
}

void zmq_echo(int from) {
    void *context = zmq_ctx_new();
    void *reply = zmq_socket(context, ZMQ_REP);
    zmq_connect(reply, zmq_address(read_value(from)).c_str());
    uint8_t request[kSmall];
    for (;;) {
        const int got = zmq_recv(reply, request, sizeof request, 0);
        if (got < 0 || zmq_send(reply, request, static_cast<size_t>(got), 0) < 0) return;
    }
}

void KueVsZmqRoundTrip(benchmark::State &state) {
    Peer kue_side([](int from, int) { kue_echo(from); });
    Peer zmq_side([](int from, int) { zmq_echo(from); });
    ZmqBound requests(ZMQ_REQ);
    zmq_side.send(requests.port);
    kue *server = kue_server();
    kue_side.send(server->port);
    // The echo side's connection is the server's second record.
    while (!server->connections->next)
        kue_xapi_event_poll(server);
    const uint32_t id = static_cast<uint32_t>(server->connections->next->endpoint->socket);
    uint8_t request[kSmall] = {}, reply[kSmall];
    Trips library, peer;
    measure_paired(
        state,
        [&](uint64_t) {
            library.run(kRoundTrips, [&] {
                kue_xapi_event_push(server, id, 1, 2, request, sizeof request);
                kue_xapi_event_free(next_event(server));
            });
        },
        [&](uint64_t) {
            peer.run(kRoundTrips, [&] {
                zmq_send(requests.socket, request, sizeof request, 0);
                zmq_recv(requests.socket, reply, sizeof reply, 0);
            });
        },
        Clock::kWall);
    state.counters["library_p50_us"] = library.percentile(50);
    state.counters["library_p99_us"] = library.percentile(99);
    state.counters["peer_p50_us"] = peer.percentile(50);
    state.counters["peer_p99_us"] = peer.percentile(99);
    state.counters["p50_ratio"] = library.percentile(50) / peer.percentile(50);
    kue_xapi_event_delete(&server);
}

#endif

// ---- idle ---------------------------------------------------------------

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// This process's processor time over five seconds in which its main thread
// sleeps: what the handle's service thread costs.
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
        write_value(to, server->port);
        for (;;)
            pause();
    });
    kue *client = kue_client(peer.receive());
    measure_idle(state);
    kue_xapi_event_delete(&client);
}

// A server handle with its service thread and one connected peer.
void KueIdleServer(benchmark::State &state) {
    Peer peer([](int from, int) {
        kue_client(read_value(from));
        for (;;)
            pause();
    });
    kue *server = kue_server();
    peer.send(server->port);
    while (!server->connections->next)
        kue_xapi_event_poll(server);
    measure_idle(state);
    kue_xapi_event_delete(&server);
}

// At least ten rounds of each pair, in both placements.
void placements(benchmark::internal::Benchmark *bench) {
    bench->ArgName("cores")->Arg(1)->Arg(2)->UseRealTime()->MinTime(2.0);
}
BENCHMARK(KueVsRawTcp64)->Apply(placements);
BENCHMARK(KueVsRawTcp64K)->Apply(placements);
#if defined(KUV_BENCH_HAVE_ZMQ)
BENCHMARK(KueVsZmq64)->Apply(placements);
BENCHMARK(KueVsZmq64K)->Apply(placements);
BENCHMARK(KueVsZmqRoundTrip)->UseRealTime();
#endif
BENCHMARK(KueIdlePeers64)->Apply(placements);
BENCHMARK(KueIdleClient)->Iterations(1)->UseRealTime();
BENCHMARK(KueIdleServer)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread keep_threaded;
    struct OneWay {
        const char *label, *name;
    };
    static const OneWay kOneWay[] = {
        {"raw TCP, one-way 64 B", "KueVsRawTcp64"},
        {"raw TCP, one-way 64 KiB", "KueVsRawTcp64K"},
        {"ZeroMQ PUSH-PULL, one-way 64 B", "KueVsZmq64"},
        {"ZeroMQ PUSH-PULL, one-way 64 KiB", "KueVsZmq64K"},
    };
    std::vector<kuv_bench::Ratio> ratios;
    const std::pair<const char *, const char *> kPlacements[] = {{"1", "one core"},
                                                                 {"2", "two cores"}};
    for (const OneWay &one_way : kOneWay)
        for (const auto &[cores, placement] : kPlacements)
            ratios.push_back(kuv_bench::paired(
                std::string("event service / ") + one_way.label + ", " + placement,
                std::string(one_way.name) + "/cores:" + cores + "/min_time:2.000/real_time"));
    ratios.push_back(kuv_bench::paired("event service / ZeroMQ REQ-REP, round trip 64 B",
                                       "KueVsZmqRoundTrip/real_time"));
    for (const auto &[cores, placement] : kPlacements)
        ratios.push_back(kuv_bench::paired(
            std::string("event service one-way 64 B with 2,000 idle peers / with none, ") +
                placement,
            std::string("KueIdlePeers64/cores:") + cores + "/min_time:2.000/real_time"));
    return kuv_bench::run_with_ratios(argc, argv, ratios);
}
