// The library's own address converters against glibc's inet_ntop and
// inet_pton, on the same random IPv4 and IPv6 addresses (IPv6 with many zero
// groups, so that every compression case appears). The parsers read the
// texts glibc writes, leaving out its embedded IPv4 forms, which the own
// parser does not read.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "davro_kuv.h"

namespace {

constexpr size_t kAddresses = 4096;

struct Inputs {
    std::vector<std::array<uint8_t, 4>> v4;
    std::vector<std::array<uint8_t, 16>> v6;
    std::vector<std::string> v4_texts;
    std::vector<std::string> v6_texts;

    Inputs() {
        std::mt19937 random(1206);
        char text[64];
        while (v4.size() < kAddresses) {
            std::array<uint8_t, 4> address;
            for (auto &byte : address)
                byte = static_cast<uint8_t>(random());
            v4.push_back(address);
            v4_texts.emplace_back(inet_ntop(AF_INET, address.data(), text, sizeof text));
        }
        while (v6.size() < kAddresses) {
            std::array<uint8_t, 16> address;
            for (int group = 0; group < 8; ++group) {
                unsigned value = random() % 3 == 0 ? 0 : random() % 0x10000;
                address[2 * group] = static_cast<uint8_t>(value >> 8);
                address[2 * group + 1] = static_cast<uint8_t>(value);
            }
            inet_ntop(AF_INET6, address.data(), text, sizeof text);
            if (std::strchr(text, '.')) continue;
            v6.push_back(address);
            v6_texts.emplace_back(text);
        }
    }
};

const Inputs &inputs() {
    static const Inputs made;
    return made;
}

enum Side { kOwn, kGlibc };
enum Direction { kNtop, kPton };

// All prepared inputs converted once: one round, some tens of microseconds.
template <Side side, Direction direction, int family>
void convert_all() {
    const Inputs &in = inputs();
    const auto &texts = family == AF_INET ? in.v4_texts : in.v6_texts;
    char text[64];
    uint8_t address[16];
    for (size_t at = 0; at < kAddresses; ++at) {
        if constexpr (direction == kNtop) {
            const uint8_t *from = family == AF_INET ? in.v4[at].data() : in.v6[at].data();
            if constexpr (side == kOwn)
                benchmark::DoNotOptimize(kuv_mapi_inet_ntop(family, from, text, sizeof text));
            else
                benchmark::DoNotOptimize(inet_ntop(family, from, text, sizeof text));
        } else {
            if constexpr (side == kOwn)
                benchmark::DoNotOptimize(kuv_mapi_inet_pton(family, texts[at].c_str(), address));
            else
                benchmark::DoNotOptimize(inet_pton(family, texts[at].c_str(), address));
            benchmark::ClobberMemory();
        }
    }
}

template <Direction direction, int family>
void convert(benchmark::State &state) {
    kuv_bench::measure_paired(
        state, [](uint64_t) { convert_all<kOwn, direction, family>(); },
        [](uint64_t) { convert_all<kGlibc, direction, family>(); });
}

BENCHMARK(convert<kNtop, AF_INET>)->Name("Ntop4VsGlibc");
BENCHMARK(convert<kNtop, AF_INET6>)->Name("Ntop6VsGlibc");
BENCHMARK(convert<kPton, AF_INET>)->Name("Pton4VsGlibc");
BENCHMARK(convert<kPton, AF_INET6>)->Name("Pton6VsGlibc");

}  // namespace

int main(int argc, char **argv) {
    using kuv_bench::paired;
    return kuv_bench::run_with_ratios(argc, argv,
                                      {paired("inet_ntop IPv4 / glibc", "Ntop4VsGlibc"),
                                       paired("inet_ntop IPv6 / glibc", "Ntop6VsGlibc"),
                                       paired("inet_pton IPv4 / glibc", "Pton4VsGlibc"),
                                       paired("inet_pton IPv6 / glibc", "Pton6VsGlibc")});
}
