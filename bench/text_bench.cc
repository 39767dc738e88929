// The allocating formatter against glibc's asprintf, each including the
// release of the result, with a second thread alive so that glibc's heap
// and the tracked heap's lock pay their multi-threaded costs.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "davro_kuv.h"

namespace {

char *glibc_asprintf(const char *format, ...) {
    va_list list;
    va_start(list, format);
    char *text = nullptr;
    if (vasprintf(&text, format, list) < 0) text = nullptr;
    va_end(list);
    return text;
}

void *glibc_free(void *block) {
    std::free(block);
    return nullptr;
}

using FormatFunction = char *(*)(const char *, ...);
using ReleaseFunction = void *(*)(void *);

// A typical short diagnostic text: five conversions, 44 characters; or a
// text of 6000 characters, which needs the second scratch size. count
// texts per call.
void format_texts(FormatFunction format, ReleaseFunction release, bool long_text, int count) {
    for (int i = 0; i < count; ++i) {
        char *text = long_text ? format("%6000d", 1)
                               : format("%s:%d/%s?id=%08x&n=%ld", "example.net", 8080, "status",
                                        0xBEEFu, 123456789L);
        benchmark::DoNotOptimize(text);
        release(text);
    }
}

// The library's formatter against asprintf, in alternating rounds of about
// 20 us.
void Format(benchmark::State &state, FormatFunction format, ReleaseFunction release,
            bool long_text) {
    const int count = long_text ? 20 : 200;
    kuv_bench::measure_paired(
        state, [&](uint64_t) { format_texts(format, release, long_text, count); },
        [&](uint64_t) { format_texts(glibc_asprintf, glibc_free, long_text, count); });
}

BENCHMARK_CAPTURE(Format, KuvAllocVsAsprintf, kuv_xapi_alloc_sprintf, kuv_xapi_free, false);
BENCHMARK_CAPTURE(Format, KuvSysAllocVsAsprintf, kuv_xapi_sys_alloc_sprintf, kuv_xapi_sys_free,
                  false);
BENCHMARK_CAPTURE(Format, KuvAllocLongVsAsprintf, kuv_xapi_alloc_sprintf, kuv_xapi_free, true);

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread second_thread;
    using kuv_bench::paired;
    return kuv_bench::run_with_ratios(
        argc, argv,
        {paired("alloc_sprintf of a short text / asprintf", "Format/KuvAllocVsAsprintf"),
         paired("sys_alloc_sprintf of a short text / asprintf", "Format/KuvSysAllocVsAsprintf"),
         paired("alloc_sprintf of 6000 characters / asprintf", "Format/KuvAllocLongVsAsprintf")});
}
