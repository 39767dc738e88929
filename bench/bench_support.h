// Shared pieces of the benchmark programs: a thread that keeps the process
// multi-threaded, and the reporter that prints the library/peer ratios
// measured in the same run after the table.
//
// The ratio convention, which bench/run-all relies on: a benchmark program
// runs all its cases in one process when started without arguments and,
// after its table, prints every comparison as one line of the form
//
//     ratio <label> = <value>
//
// value = library time / peer time (per iteration, so below 1 the library
// is faster), or "n/a" when one of the two cases did not run. The times are
// the CPU time of the benchmark's thread, which on a shared machine leaves
// out the waits for a processor that would otherwise land on either side at
// random; cases registered with UseRealTime() (names ending "/real_time")
// are compared by real time instead. With --benchmark_repetitions the
// medians are compared. The peer may also be a physical limit (memcpy) or
// another case of the library (a line twice as long). Labels are free text
// without a newline; the last " = " on the line separates the value.
#ifndef KUV_BENCH_SUPPORT_H
#define KUV_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kuv_bench {

// glibc takes its atomic paths (malloc, mutexes) only once a second thread
// exists, and the tracked heap takes a lock: keep one thread alive for the
// whole run so that library and peers pay what they pay in a real program.
class IdleThread {
  public:
    IdleThread()
        : thread_([this] {
              std::unique_lock<std::mutex> hold(mutex_);
              stopped_.wait(hold, [this] { return stop_; });
          }) {}
    ~IdleThread() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        thread_.join();
    }
    IdleThread(const IdleThread &) = delete;
    IdleThread &operator=(const IdleThread &) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

// One comparison: its label and the benchmark names of the library's case
// and of the peer's, as Google Benchmark prints them. (A constructor rather
// than an aggregate, so that a list of name pairs never reads as ratios.)
struct Ratio {
    Ratio(std::string label_text, std::string library_name, std::string peer_name)
        : label(std::move(label_text)),
          library(std::move(library_name)),
          peer(std::move(peer_name)) {}
    std::string label;
    std::string library;
    std::string peer;
};

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.benchmark_name();
            const bool real_time = name.find("/real_time") != std::string::npos;
            seconds_[name] = real_time ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void print_ratios(const std::vector<Ratio> &ratios) const {
        std::printf(
            "\nratios (library time / peer time, same run; below 1 the library is "
            "faster):\n");
        for (const Ratio &ratio : ratios) {
            auto a = find_time(ratio.library), b = find_time(ratio.peer);
            if (a == seconds_.end() || b == seconds_.end() || b->second <= 0)
                std::printf("ratio %s = n/a\n", ratio.label.c_str());
            else
                std::printf("ratio %s = %.3f\n", ratio.label.c_str(), a->second / b->second);
        }
        std::fflush(stdout);
    }

  private:
    // With --benchmark_repetitions the median stands for the case.
    std::map<std::string, double>::const_iterator find_time(const std::string &name) const {
        auto median = seconds_.find(name + "_median");
        return median != seconds_.end() ? median : seconds_.find(name);
    }

    std::map<std::string, double> seconds_;
};

// Runs the registered benchmarks with the ratio reporter and prints the
// given ratios. Use from main().
inline int run_with_ratios(int argc, char **argv, const std::vector<Ratio> &ratios) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios(ratios);
    benchmark::Shutdown();
    return 0;
}

// The same with pairs of benchmark names, each labelled "library / peer".
inline int run_with_ratios(int argc, char **argv,
                           const std::vector<std::pair<std::string, std::string>> &pairs) {
    std::vector<Ratio> ratios;
    for (const auto &[library, peer] : pairs)
        ratios.emplace_back(library + " / " + peer, library, peer);
    return run_with_ratios(argc, argv, ratios);
}

}  // namespace kuv_bench

#endif  // KUV_BENCH_SUPPORT_H
