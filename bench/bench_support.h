// Shared pieces of the benchmark programs: a thread that keeps the process
// multi-threaded, and a console reporter that also prints library/peer
// ratios measured in the same run after the table.
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

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            seconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Prints "label: ours / peer = ratio" for each pair of benchmark names
    // (ratio of times: below 1 means the library is faster).
    void print_ratios(const std::vector<std::pair<std::string, std::string>> &pairs) const {
        std::printf("\nratios of times (library / peer, lower is better):\n");
        for (const auto &[ours, peer] : pairs) {
            // With --benchmark_repetitions the medians are compared.
            auto a = find_time(ours), b = find_time(peer);
            if (a == seconds_.end() || b == seconds_.end() || b->second <= 0) {
                std::printf("  %s vs %s: not measured\n", ours.c_str(), peer.c_str());
                continue;
            }
            std::printf("  %-40s / %-40s = %.2f\n", ours.c_str(), peer.c_str(),
                        a->second / b->second);
        }
    }

  private:
    std::map<std::string, double>::const_iterator find_time(const std::string &name) const {
        auto median = seconds_.find(name + "_median");
        return median != seconds_.end() ? median : seconds_.find(name);
    }

    std::map<std::string, double> seconds_;
};

// Runs the registered benchmarks with the ratio reporter and prints the
// ratios of the given pairs. Use from main().
inline int run_with_ratios(int argc, char **argv,
                           const std::vector<std::pair<std::string, std::string>> &pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios(pairs);
    benchmark::Shutdown();
    return 0;
}

}  // namespace kuv_bench

#endif  // KUV_BENCH_SUPPORT_H
