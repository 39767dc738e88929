// The allocating formatter against glibc's asprintf on a short text, each
// including the release of the result, with a second thread alive so that
// glibc's heap and the tracked heap's lock pay their multi-threaded costs.
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "bench/ratio_report.h"
#include "davro_kuv.h"

namespace {

// A typical short diagnostic text: a few conversions, about 40 characters.
#define SHORT_FORMAT "%s:%d/%s?id=%08x&n=%ld"
#define SHORT_ARGUMENTS "example.net", 8080, "status", 0xBEEFu, 123456789L

void KuvAllocSprintf(benchmark::State &state) {
    for (auto _ : state) {
        char *text = kuv_xapi_alloc_sprintf(SHORT_FORMAT, SHORT_ARGUMENTS);
        benchmark::DoNotOptimize(text);
        kuv_xapi_free(text);
    }
}
BENCHMARK(KuvAllocSprintf);

void KuvSysAllocSprintf(benchmark::State &state) {
    for (auto _ : state) {
        char *text = kuv_xapi_sys_alloc_sprintf(SHORT_FORMAT, SHORT_ARGUMENTS);
        benchmark::DoNotOptimize(text);
        kuv_xapi_sys_free(text);
    }
}
BENCHMARK(KuvSysAllocSprintf);

void GlibcAsprintf(benchmark::State &state) {
    for (auto _ : state) {
        char *text = nullptr;
        if (asprintf(&text, SHORT_FORMAT, SHORT_ARGUMENTS) < 0) state.SkipWithError("asprintf");
        benchmark::DoNotOptimize(text);
        std::free(text);
    }
}
BENCHMARK(GlibcAsprintf);

// A text of 6000 characters takes the second scratch size.
void KuvAllocSprintfLong(benchmark::State &state) {
    for (auto _ : state) {
        char *text = kuv_xapi_alloc_sprintf("%6000d", 1);
        benchmark::DoNotOptimize(text);
        kuv_xapi_free(text);
    }
}
BENCHMARK(KuvAllocSprintfLong);

void GlibcAsprintfLong(benchmark::State &state) {
    for (auto _ : state) {
        char *text = nullptr;
        if (asprintf(&text, "%6000d", 1) < 0) state.SkipWithError("asprintf");
        benchmark::DoNotOptimize(text);
        std::free(text);
    }
}
BENCHMARK(GlibcAsprintfLong);

}  // namespace

int main(int argc, char **argv) {
    std::promise<void> stop;
    std::thread second_thread([alive = stop.get_future()] { alive.wait(); });
    int result = kuv_bench::run_with_ratios(argc, argv,
                                            {{"KuvAllocSprintf", "GlibcAsprintf"},
                                             {"KuvSysAllocSprintf", "GlibcAsprintf"},
                                             {"KuvAllocSprintfLong", "GlibcAsprintfLong"}});
    stop.set_value();
    second_thread.join();
    return result;
}
