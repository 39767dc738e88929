// TCP connect + accept + close cycles over loopback: through the endpoint
// API (connect of an active handle, accept into a new handle, close and
// delete) against the same steps made with plain socket calls in the same
// run, once with a blocking connect and once with a connect bounded by a
// time-out as the endpoint's is. Both sides reset their connections on close, as the endpoints do,
// so that no TIME_WAIT piles up in either run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "bench/bench_support.h"
#include "davro_kuv.h"

namespace {

constexpr uint32_t kTcp4 = KUVNET_TCP | KUVNET_INET | KUVNET_IPV4;

void count_cycles(benchmark::State &state) {
    state.counters["cycles"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void EndpointCycle(benchmark::State &state) {
    kuvnet *listener = nullptr, *client = nullptr;
    kuv_xapi_kuvnet_init(&listener, 0);
    kuv_xapi_kuvnet_init(&client, 0);
    listener->protocol_type = kTcp4;
    listener->is_server = 1;
    listener->port = 0;
    kuv_xapi_kuvnet_set_local(listener, "127.0.0.1", 0);
    if (kuv_xapi_kuvnet_create(listener) != 1) state.SkipWithError("listener");
    client->protocol_type = kTcp4;
    kuv_xapi_kuvnet_set_remote(client, "127.0.0.1", 0);
    client->port = listener->port;
    for (auto _ : state) {
        kuvnet *accepted = nullptr;
        if (kuv_xapi_kuvnet_connect(client) != 1 ||
            kuv_xapi_kuvnet_accept(listener, &accepted) != 1) {
            state.SkipWithError("connect or accept failed");
            break;
        }
        kuv_xapi_kuvnet_delete(&accepted);
        kuv_xapi_kuvnet_close(client);
    }
    count_cycles(state);
    kuv_xapi_kuvnet_delete(&client);
    kuv_xapi_kuvnet_delete(&listener);
}

void close_with_reset(int socket) {
    linger reset{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(socket);
}

// The plain calls: a blocking connect, a blocking accept. With timed 1 the
// connect is bounded by the endpoint's time-out as the endpoint's is: made
// non-blocking, waited for, its outcome read, the socket made blocking
// again.
template <bool timed>
void RawSocketCycle(benchmark::State &state) {
    int listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener, 128) != 0)
        state.SkipWithError("listener");
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    for (auto _ : state) {
        int client = socket(AF_INET, SOCK_STREAM | (timed ? SOCK_NONBLOCK : 0), IPPROTO_TCP);
        bool connected =
            connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        if (timed && !connected && errno == EINPROGRESS) {
            pollfd wait{client, POLLOUT, 0};
            int error = 0;
            socklen_t error_length = sizeof error;
            connected = poll(&wait, 1, KUVNET_DEFAULT_TIMEOUT) == 1 &&
                        getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &error_length) == 0 &&
                        error == 0 && fcntl(client, F_SETFL, O_RDWR) == 0;
        }
        if (!connected) {
            close(client);
            state.SkipWithError("connect failed");
            break;
        }
        sockaddr_storage peer;
        socklen_t peer_length = sizeof peer;
        int accepted = accept(listener, reinterpret_cast<sockaddr *>(&peer), &peer_length);
        close_with_reset(accepted);
        close_with_reset(client);
    }
    count_cycles(state);
    close(listener);
}

// Compared by processor time (the cases run on CPU time): the loopback
// handshake runs in this thread's own system calls, so the time charged to
// it is the whole work, while wall-clock time on a shared machine mostly
// measures the others.
BENCHMARK(EndpointCycle)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(RawSocketCycle<false>)
    ->Name("RawBlockingCycle")
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(RawSocketCycle<true>)->Name("RawTimedCycle")->Repetitions(9)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread idle;
    // The two runs take turns, repetition by repetition, so that a load
    // coming and going on a shared machine falls on both alike.
    std::vector<char *> arguments(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave);
    int count = static_cast<int>(arguments.size());
    return kuv_bench::run_with_ratios(count, arguments.data(),
                                      {{"EndpointCycle/repeats:9", "RawBlockingCycle/repeats:9"},
                                       {"EndpointCycle/repeats:9", "RawTimedCycle/repeats:9"}});
}
