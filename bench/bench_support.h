// Shared pieces of the benchmark programs: a thread that keeps the process
// multi-threaded, cases that time the library and its peer in alternating
// rounds, and the reporter that prints the library/peer ratios after the
// table.
//
// The ratio convention, which bench/run-all relies on: a benchmark program
// runs all its cases in one process, in the order they are registered,
// when started without arguments and, after its table, prints every
// comparison as one line of the form
//
//     ratio <label> = <value>
//
// value = library time / peer time (below 1 the library is faster), or
// "n/a" when the case did not run. The peer may also be a physical limit
// (memcpy) or another case of the library (a line twice as long). Labels
// are free text without a newline; the last " = " on the line separates the
// value.
//
// A ratio comes from one of two kinds of cases:
//   - a paired case (measure_paired below) runs the library's work and the
//     peer's in alternating rounds and reports the median over the rounds
//     of (library time / peer time) as its user counter "ratio". A load
//     that comes and goes on a shared machine then falls on both sides
//     alike, and a round that a burst of load hit stays one round of many.
//     This is the kind to use;
//   - two separate cases, compared by their times per iteration: the CPU
//     time of the benchmark's thread, or the real time for cases registered
//     with UseRealTime() (names ending "/real_time"); with
//     --benchmark_repetitions their medians.
#ifndef KUV_BENCH_SUPPORT_H
#define KUV_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kuv_bench {

// Runs the calling thread, and the threads it starts from now on, on the
// processor cpu only.
inline void pin_to(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof one, &one);
}

// The first two processors this process may run on (-1 for a missing one).
inline std::pair<int, int> two_processors() {
    std::pair<int, int> found{-1, -1};
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return found;
    for (int cpu = 0; cpu < CPU_SETSIZE && found.second < 0; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) (found.first < 0 ? found.first : found.second) = cpu;
    return found;
}

// The processors of a case with two busy processes: this one's and the
// other's, the same one unless two_cores. False, with the case skipped,
// when this process may not use enough of them.
inline bool place_two_processes(benchmark::State &state, bool two_cores, int *here, int *there) {
    const auto [first, second] = two_processors();
    *here = first;
    *there = two_cores ? second : first;
    if (*here >= 0 && *there >= 0) return true;
    state.SkipWithError("not enough processors for this placement");
    for (auto _ : state) {
    }
    return false;
}

// Pins the calling thread to one processor and puts its old processor set
// back when it ends.
class PinnedThread {
  public:
    explicit PinnedThread(int cpu) : saved_(sched_getaffinity(0, sizeof old_, &old_) == 0) {
        pin_to(cpu);
    }
    ~PinnedThread() {
        if (saved_) sched_setaffinity(0, sizeof old_, &old_);
    }
    PinnedThread(const PinnedThread &) = delete;
    PinnedThread &operator=(const PinnedThread &) = delete;

  private:
    cpu_set_t old_;
    bool saved_;
};

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

// Which clock a paired case reads. The CPU time of the calling thread
// leaves out the waits for a processor on a busy machine; work spread over
// threads of its own needs the wall clock.
enum class Clock { kThreadCpu, kWall };

inline double seconds_now(Clock clock) {
    timespec now;
    clock_gettime(clock == Clock::kThreadCpu ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs one round of the library's work and one of the peer's per
// iteration, taking turns at going first, and sets the counters "ratio"
// (median over the rounds of library time / peer time), "library_us" and
// "peer_us" (mean time of a round of each). library and peer are called with
// the round's number, counted from 0, and must do the same work for the
// same number; a round should last some tens of microseconds at least, so
// that reading the clock costs little beside it.
template <typename Library, typename Peer>
void measure_paired(benchmark::State &state, Library &&library, Peer &&peer,
                    Clock clock = Clock::kThreadCpu) {
    std::vector<double> ratios;
    double library_total = 0, peer_total = 0;
    uint64_t round = 0;
    auto timed = [clock, &round](auto &work) {
        const double start = seconds_now(clock);
        work(round);
        return seconds_now(clock) - start;
    };
    for (auto _ : state) {
        double library_seconds, peer_seconds;
        if (round % 2 == 0) {
            library_seconds = timed(library);
            peer_seconds = timed(peer);
        } else {
            peer_seconds = timed(peer);
            library_seconds = timed(library);
        }
        if (peer_seconds > 0) ratios.push_back(library_seconds / peer_seconds);
        library_total += library_seconds;
        peer_total += peer_seconds;
        ++round;
    }
    if (ratios.empty()) return;
    std::nth_element(ratios.begin(), ratios.begin() + static_cast<long>(ratios.size() / 2),
                     ratios.end());
    state.counters["ratio"] = ratios[ratios.size() / 2];
    state.counters["library_us"] = library_total / static_cast<double>(round) * 1e6;
    state.counters["peer_us"] = peer_total / static_cast<double>(round) * 1e6;
}

// Prints one ratio line of the convention above; for programs that measure
// their ratios themselves.
inline void print_ratio(const std::string &label, double library_over_peer) {
    std::printf("ratio %s = %.3f\n", label.c_str(), library_over_peer);
}

// One comparison: its label and the benchmark names of the library's case
// and of the peer's, as Google Benchmark prints them, or of one paired case
// (see paired below). A constructor rather than an aggregate, so that a
// list of name pairs never reads as ratios.
struct Ratio {
    Ratio(std::string label_text, std::string library_name, std::string peer_name)
        : label(std::move(label_text)),
          library(std::move(library_name)),
          peer(std::move(peer_name)) {}
    std::string label;
    std::string library;
    std::string peer;  // empty for a paired case
};

// The ratio reported by the paired case of that name.
inline Ratio paired(std::string label, std::string paired_case) {
    return Ratio(std::move(label), std::move(paired_case), std::string());
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.benchmark_name();
            const bool real_time = name.find("/real_time") != std::string::npos;
            seconds_[name] = real_time ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            auto counter = run.counters.find("ratio");
            if (counter != run.counters.end()) paired_[name] = counter->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void print_ratios(const std::vector<Ratio> &ratios) const {
        std::printf(
            "\nratios (library time / peer time, same run; below 1 the library is "
            "faster):\n");
        for (const Ratio &ratio : ratios) {
            double value = 0;
            if (find_ratio(ratio, &value))
                print_ratio(ratio.label, value);
            else
                std::printf("ratio %s = n/a\n", ratio.label.c_str());
        }
        std::fflush(stdout);
    }

  private:
    bool find_ratio(const Ratio &ratio, double *value) const {
        if (ratio.peer.empty()) {
            auto found = find(paired_, ratio.library);
            if (found == paired_.end()) return false;
            *value = found->second;
            return true;
        }
        auto a = find(seconds_, ratio.library), b = find(seconds_, ratio.peer);
        if (a == seconds_.end() || b == seconds_.end() || b->second <= 0) return false;
        *value = a->second / b->second;
        return true;
    }

    // With --benchmark_repetitions the median stands for the case.
    static std::map<std::string, double>::const_iterator find(
        const std::map<std::string, double> &values, const std::string &name) {
        auto median = values.find(name + "_median");
        return median != values.end() ? median : values.find(name);
    }

    std::map<std::string, double> seconds_;
    std::map<std::string, double> paired_;
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
