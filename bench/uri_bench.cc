// URI parsing: kuv_xapi_open_uri + kuv_xapi_close_uri against liburiparser's
// uriParseSingleUriA + uriFreeUriMembersA over the same 10k realistic URIs
// (http, https, ftp, file, mailto, urn; with and without user information,
// ports, IPv6 literals, queries, fragments; paths of various depth), made by
// a fixed pseudo-random generator so every run parses the same texts.
#include <benchmark/benchmark.h>
#include <uriparser/Uri.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "davro_kuv.h"

namespace {

class Generator {
  public:
    uint32_t next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state_ >> 33);
    }
    uint32_t below(uint32_t bound) { return next() % bound; }
    bool chance(uint32_t percent) { return below(100) < percent; }

  private:
    uint64_t state_ = 0x5eed5eedull;
};

const char *const kWords[] = {"index", "pub",    "docs", "api",   "v2",     "images", "files",
                              "user",  "search", "data", "en-US", "static", "release"};
const char *const kDomains[] = {"example.com", "example.org", "example.net", "test.example",
                                "cdn.example.com"};

std::string word(Generator &random) {
    return kWords[random.below(std::size(kWords))];
}
std::string number(uint32_t value) {
    return std::to_string(value);
}
std::string hex(uint32_t value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%x", value);
    return digits;
}

// Joins pieces by appending: GCC 12 warns falsely about operator+ chains of
// strings at -O3.
template <typename... Pieces>
std::string join(const Pieces &...pieces) {
    std::string text;
    (text.append(std::string_view(pieces)), ...);
    return text;
}

std::string host(Generator &random) {
    switch (random.below(10)) {
        case 0:
            return join("[2001:db8::", hex(random.below(0xffff)), "]");
        case 1:
        case 2:
            return join("192.0.2.", number(random.below(255)));
        default:
            return join(random.chance(60) ? std::string("www") : word(random), ".",
                        kDomains[random.below(std::size(kDomains))]);
    }
}

std::string path(Generator &random, uint32_t max_depth) {
    std::string text;
    uint32_t depth = random.below(max_depth + 1);
    for (uint32_t level = 0; level < depth; ++level)
        text += join("/", word(random));
    if (depth > 0 && random.chance(40)) text += random.chance(50) ? ".html" : ".tar.gz";
    return text;
}

std::string hierarchical(Generator &random, const char *scheme) {
    std::string text = join(scheme, "://");
    if (random.chance(25)) {
        text += join("user", number(random.below(100)));
        if (random.chance(50)) text += join(":secret", number(random.below(1000)));
        text += "@";
    }
    text += host(random);
    if (random.chance(40)) text += join(":", number(1 + random.below(65535)));
    text += path(random, 6);
    if (random.chance(35)) {
        text += join("?", word(random), "=", number(random.below(100000)));
        if (random.chance(50)) text += join("&", word(random), "=", word(random));
    }
    if (random.chance(20)) text += join("#", word(random));
    return text;
}

std::vector<std::string> make_uris(size_t count) {
    Generator random;
    std::vector<std::string> uris;
    uris.reserve(count);
    while (uris.size() < count) {
        uint32_t kind = random.below(100);
        if (kind < 35) {
            uris.push_back(hierarchical(random, "http"));
        } else if (kind < 65) {
            uris.push_back(hierarchical(random, "https"));
        } else if (kind < 80) {
            uris.push_back(hierarchical(random, "ftp"));
        } else if (kind < 88) {
            uris.push_back(join("file:///home/user", path(random, 5), "/file.txt"));
        } else if (kind < 95) {
            uris.push_back(join("mailto:user", number(random.below(1000)), "@",
                                kDomains[random.below(std::size(kDomains))]));
        } else {
            uris.push_back(join("urn:isbn:", number(1000000000u + random.below(999999999u))));
        }
    }
    return uris;
}

const std::vector<std::string> &uris() {
    static const std::vector<std::string> all = make_uris(10000);
    return all;
}

// All 10k texts per round on each side.
void OpenCloseVsUriparser(benchmark::State &state) {
    const auto &texts = uris();
    kuv_bench::measure_paired(
        state,
        [&](uint64_t) {
            for (const std::string &text : texts) {
                uri_record *record = kuv_xapi_open_uri(text.c_str());
                benchmark::DoNotOptimize(record);
                kuv_xapi_close_uri(record);
            }
        },
        [&](uint64_t) {
            for (const std::string &text : texts) {
                UriUriA uri;
                const char *error_position = nullptr;
                int result = uriParseSingleUriA(&uri, text.c_str(), &error_position);
                benchmark::DoNotOptimize(result);
                uriFreeUriMembersA(&uri);
            }
        });
}
BENCHMARK(OpenCloseVsUriparser)->Unit(benchmark::kMillisecond);

// Both parsers must accept every text, or the comparison would time error
// paths.
bool all_texts_parse() {
    for (const std::string &text : uris()) {
        UriUriA uri;
        const char *error_position = nullptr;
        if (uriParseSingleUriA(&uri, text.c_str(), &error_position) != URI_SUCCESS) {
            std::fprintf(stderr, "uriparser refuses %s\n", text.c_str());
            return false;
        }
        uriFreeUriMembersA(&uri);
        uri_record *record = kuv_xapi_open_uri(text.c_str());
        if (!record) return false;
        kuv_xapi_close_uri(record);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread second_thread;
    if (!all_texts_parse()) return 1;
    std::printf("%zu URIs, e.g. %s\n", uris().size(), uris()[3].c_str());
    return kuv_bench::run_with_ratios(
        argc, argv,
        {kuv_bench::paired("open_uri+close_uri / uriparser parse+free", "OpenCloseVsUriparser")});
}
