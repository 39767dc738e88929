// The interface snapshot against glibc's getifaddrs, which gathers the same
// names, addresses, flags and counters over netlink; and one ICMP echo to
// 127.0.0.1 through the endpoint API against the same echo made with bare
// system calls (raw socket, send, receive until the reply, close). The echo
// pair needs raw sockets (root); without them it reports an error.
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bench/bench_support.h"
#include "davro_kuv.h"

namespace {

void OpenNic(benchmark::State &state) {
    for (auto _ : state) {
        nic *list = kuv_xapi_open_nic();
        benchmark::DoNotOptimize(list);
        kuv_xapi_close_nic(list);
    }
}

void Getifaddrs(benchmark::State &state) {
    for (auto _ : state) {
        struct ifaddrs *list = nullptr;
        benchmark::DoNotOptimize(getifaddrs(&list));
        freeifaddrs(list);
    }
}

constexpr uint32_t kPayloadSize = 56;

void LibraryEcho(benchmark::State &state) {
    kuvnet *handle = nullptr;
    kuv_xapi_kuvnet_init(&handle, 0);
    handle->protocol_type = KUVNET_ICMP | KUVNET_IPV4;
    handle->timeout = 2000;
    kuv_xapi_kuvnet_set_remote(handle, "127.0.0.1", 0);
    kuv_xapi_kuvnet_create(handle);
    uint32_t sequence = 0;
    for (auto _ : state) {
        sequence = (sequence + 1) & 0xFFFF;
        if (kuv_xapi_kuvnet_simple_ping(handle, nullptr, kPayloadSize, sequence) != sequence) {
            state.SkipWithError("no echo reply (raw sockets need root)");
            break;
        }
    }
    kuv_xapi_kuvnet_delete(&handle);
}

// The same exchange with bare calls: a raw socket per echo, as the library
// makes one, the request built in place, replies read until ours.
void BareEcho(benchmark::State &state) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const uint16_t identifier = static_cast<uint16_t>(getpid());
    uint8_t request[8 + kPayloadSize], reply[8 + kPayloadSize + 68];
    uint16_t sequence = 0;
    for (auto _ : state) {
        ++sequence;
        int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (raw < 0) {
            state.SkipWithError("raw sockets need root");
            break;
        }
        std::memset(request, 0, sizeof request);
        request[0] = 8;
        request[4] = static_cast<uint8_t>(identifier >> 8);
        request[5] = static_cast<uint8_t>(identifier);
        request[6] = static_cast<uint8_t>(sequence >> 8);
        request[7] = static_cast<uint8_t>(sequence);
        uint16_t checksum = kuv_mapi_kuvnet_icmp_checksum(request, sizeof request);
        std::memcpy(request + 2, &checksum, 2);
        sendto(raw, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
        for (;;) {
            ssize_t got = recv(raw, reply, sizeof reply, 0);
            if (got < 28) break;
            const uint8_t *message = reply + (reply[0] & 0x0F) * 4;
            if (message[0] == 0 && message[4] == request[4] && message[5] == request[5]) break;
        }
        close(raw);
    }
}

BENCHMARK(OpenNic);
BENCHMARK(Getifaddrs);
BENCHMARK(LibraryEcho);
BENCHMARK(BareEcho);

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread idle;
    return kuv_bench::run_with_ratios(argc, argv,
                                      {{"OpenNic", "Getifaddrs"}, {"LibraryEcho", "BareEcho"}});
}
