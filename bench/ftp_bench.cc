// Downloads of one 512 MiB file from a local vsftpd (started here as the
// tests start it, on a free loopback port) into a local file, page cache
// warm, in the same run:
//   - the FTP client's one-call download (connect, log in, list, fetch);
//   - the client's stream calls (connect, log in, open, read, close) with
//     each block written to the file in 16 KiB pieces, as the download
//     writes it (see kWriteSize in ftp/download.cc: larger writes made the
//     copy into the page cache several times slower now and then, in this
//     program's code as in the library's);
//   - curl -o of the same file from the same server, the peer.
// Each is timed five times, the runs taking turns: now and then one copy of
// the file, whichever program makes it, takes two or three times as long
// while the machine finds pages for it, and a median of five stays put
// where one of three would not. The summary gives
// the speed of each against curl's (median MB/s over median MB/s). The
// same comparisons end the output as ratio lines for bench/run-all, in the
// convention of bench/bench_support.h: library time / curl time (the
// median of each), below 1 when the library is faster; the target of
// 0.90x curl's speed is a ratio of at most 1.11.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "davro_kuv.h"
#include "tests/ftp/vsftpd_server.h"

namespace {

constexpr uint64_t kFileBytes = uint64_t{512} << 20;
constexpr uint64_t kBlockBytes = 524288;
constexpr size_t kWriteBytes = 16384;
constexpr const char *kOutput = "big.bin";

kuv_ftp_test::VsftpdServer *g_server = nullptr;

// The client prints progress lines; they would break the table.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int sink = open("/dev/null", O_WRONLY);
        dup2(sink, 1);
        close(sink);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

  private:
    int saved_;
};

uint64_t output_size() {
    struct stat status;
    return stat(kOutput, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

void finish(benchmark::State &state, bool ok) {
    if (!ok || output_size() != kFileBytes) state.SkipWithError("the file did not arrive whole");
    unlink(kOutput);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void FtpDownload(benchmark::State &state) {
    bool ok = true;
    for (auto _ : state) {
        QuietStdout quiet;
        kuv_ftp_t *ftp = kuv_xapi_open_ftp();
        ftp->passive = 1;
        ok = ftp->download(ftp, 0644, "ftp://127.0.0.1:%d/big.bin", g_server->port()) == 1;
        kuv_xapi_close_ftp(ftp);
    }
    finish(state, ok);
}

void FtpStream(benchmark::State &state) {
    std::vector<uint8_t> block(kBlockBytes);
    bool ok = true;
    for (auto _ : state) {
        QuietStdout quiet;
        kuv_ftp_t *ftp = kuv_xapi_open_ftp();
        ftp->passive = 1;
        ok = ftp->connect(ftp, "127.0.0.1", g_server->port()) == 1 &&
             ftp->login(ftp, nullptr, nullptr) == 1 && ftp->type(ftp, "I") == 1 &&
             ftp->open_stream(ftp, 0, "RETR %s\r\n", "big.bin") == 1;
        const int file = open(kOutput, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        while (ok) {
            const int32_t count = ftp->read_stream(ftp, block.data(), block.size());
            if (count < 0) break;
            if (count == 0) {
                kuv_xapi_load_balance();
                continue;
            }
            for (size_t at = 0; ok && at < static_cast<size_t>(count); at += kWriteBytes) {
                const size_t piece = std::min(kWriteBytes, static_cast<size_t>(count) - at);
                ok = write(file, block.data() + at, piece) == static_cast<ssize_t>(piece);
            }
        }
        close(file);
        ok = ok && ftp->close_stream(ftp) == 1;
        kuv_xapi_close_ftp(ftp);
    }
    finish(state, ok);
}

bool run_curl() {
    const std::string url = "ftp://127.0.0.1:" + std::to_string(g_server->port()) + "/big.bin";
    return kuv_ftp_test::run_command(std::string("curl -s -o ") + kOutput + " " + url) == 0;
}

void Curl(benchmark::State &state) {
    bool ok = true;
    for (auto _ : state)
        ok = run_curl();
    finish(state, ok);
}

BENCHMARK(FtpDownload)->Iterations(1)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FtpStream)->Iterations(1)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Curl)->Iterations(1)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps the median wall time of each benchmark for the summary.
class SpeedReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.benchmark_name();
            if (name.size() > 7 && name.compare(name.size() - 7, 7, "_median") == 0)
                seconds_[name.substr(0, name.size() - 7)] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void speed(const char *label, const std::string &ours, const std::string &peer) const {
        double library, curl;
        if (!medians(ours, peer, &library, &curl)) {
            std::printf("  %-36s not measured\n", label);
            return;
        }
        const double megabytes = static_cast<double>(kFileBytes) / 1e6;
        // Times are in the unit of the table (ms).
        std::printf("  %-36s %7.0f MB/s vs %7.0f MB/s = %.2fx\n", label,
                    megabytes / (library / 1e3), megabytes / (curl / 1e3), curl / library);
    }

    // The ratio line: median library time / median curl time.
    void ratio(const char *label, const std::string &ours, const std::string &peer) const {
        double library, curl;
        if (!medians(ours, peer, &library, &curl))
            std::printf("ratio %s = n/a\n", label);
        else
            kuv_bench::print_ratio(label, library / curl);
    }

  private:
    // The median times of both benchmarks, when both were measured.
    bool medians(const std::string &ours, const std::string &peer, double *library,
                 double *curl) const {
        auto a = seconds_.find(ours), b = seconds_.find(peer);
        if (a == seconds_.end() || b == seconds_.end() || a->second <= 0 || b->second <= 0)
            return false;
        *library = a->second;
        *curl = b->second;
        return true;
    }

    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread idle;
    kuv_ftp_test::VsftpdServer server;
    if (!server.failure().empty()) {
        std::printf("ftp bench skipped: %s\n", server.failure().c_str());
        std::printf("ratio one-call download / curl -o (time) = n/a\n");
        std::printf("ratio open/read/close stream / curl -o (time) = n/a\n");
        return 0;
    }
    g_server = &server;
    const std::string source = server.anon_dir() + "/big.bin";
    if (!kuv_ftp_test::write_file(source, kuv_ftp_test::pattern_bytes(kFileBytes, 512))) {
        std::printf("ftp bench: cannot write the source file\n");
        return 1;
    }
    char pattern[] = "/tmp/kuv_ftp_bench_XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0) return 1;
    // One download first, so that both ends start with a warm page cache.
    run_curl();
    unlink(kOutput);

    std::vector<char *> arguments(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    SpeedReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nspeed against curl -o (median of 5, higher is better, target 0.90x):\n");
    const std::string suffix = "/iterations:1/repeats:5/real_time";
    reporter.speed("one-call download", "FtpDownload" + suffix, "Curl" + suffix);
    reporter.speed("open/read/close stream", "FtpStream" + suffix, "Curl" + suffix);
    std::printf(
        "\nratios (library time / curl time, medians of 5; at most 1.11 meets the target):\n");
    reporter.ratio("one-call download / curl -o (time)", "FtpDownload" + suffix, "Curl" + suffix);
    reporter.ratio("open/read/close stream / curl -o (time)", "FtpStream" + suffix,
                   "Curl" + suffix);
    std::fflush(stdout);
    benchmark::Shutdown();
    if (chdir("/") != 0) {
    }
    kuv_ftp_test::remove_tree(pattern);
    return 0;
}
