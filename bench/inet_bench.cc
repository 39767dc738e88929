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

template <typename Format>
void run_ntop(benchmark::State &state, int family, Format format) {
    const Inputs &in = inputs();
    char text[64];
    size_t i = 0;
    for (auto _ : state) {
        const uint8_t *address =
            family == AF_INET ? in.v4[i % kAddresses].data() : in.v6[i % kAddresses].data();
        benchmark::DoNotOptimize(format(family, address, text, sizeof text));
        ++i;
    }
}

template <typename Parse>
void run_pton(benchmark::State &state, int family, Parse parse) {
    const Inputs &in = inputs();
    const auto &texts = family == AF_INET ? in.v4_texts : in.v6_texts;
    uint8_t address[16];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parse(family, texts[i % kAddresses].c_str(), address));
        benchmark::ClobberMemory();
        ++i;
    }
}

auto own_ntop = [](int family, const uint8_t *address, char *text, size_t size) {
    return kuv_mapi_inet_ntop(family, address, text, size);
};
auto glibc_ntop = [](int family, const uint8_t *address, char *text, size_t size) {
    return inet_ntop(family, address, text, static_cast<socklen_t>(size));
};
auto own_pton = [](int family, const char *text, uint8_t *address) {
    return kuv_mapi_inet_pton(family, text, address);
};
auto glibc_pton = [](int family, const char *text, uint8_t *address) {
    return inet_pton(family, text, address);
};

void OwnNtop4(benchmark::State &state) {
    run_ntop(state, AF_INET, own_ntop);
}
void GlibcNtop4(benchmark::State &state) {
    run_ntop(state, AF_INET, glibc_ntop);
}
void OwnNtop6(benchmark::State &state) {
    run_ntop(state, AF_INET6, own_ntop);
}
void GlibcNtop6(benchmark::State &state) {
    run_ntop(state, AF_INET6, glibc_ntop);
}
void OwnPton4(benchmark::State &state) {
    run_pton(state, AF_INET, own_pton);
}
void GlibcPton4(benchmark::State &state) {
    run_pton(state, AF_INET, glibc_pton);
}
void OwnPton6(benchmark::State &state) {
    run_pton(state, AF_INET6, own_pton);
}
void GlibcPton6(benchmark::State &state) {
    run_pton(state, AF_INET6, glibc_pton);
}

BENCHMARK(OwnNtop4);
BENCHMARK(GlibcNtop4);
BENCHMARK(OwnNtop6);
BENCHMARK(GlibcNtop6);
BENCHMARK(OwnPton4);
BENCHMARK(GlibcPton4);
BENCHMARK(OwnPton6);
BENCHMARK(GlibcPton6);

}  // namespace

int main(int argc, char **argv) {
    return kuv_bench::run_with_ratios(argc, argv,
                                      {{"OwnNtop4", "GlibcNtop4"},
                                       {"OwnNtop6", "GlibcNtop6"},
                                       {"OwnPton4", "GlibcPton4"},
                                       {"OwnPton6", "GlibcPton6"}});
}
