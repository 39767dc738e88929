// The chained buffer and the line assembler against their plain peers, in
// the same run:
//   - 64 KiB chunks pushed into a buffer and popped into a 64 KiB
//     destination, 1 GiB per iteration, against memcpy of the same chunks
//     straight into the destination (source chunks cycling through 1 MiB,
//     which stays in the shared cache, and through 64 MiB, which does not),
//     and against memcpy into a 64 KiB block and out of it again;
//   - a 100 MB listing-like text (lines of 20 to 200 bytes ending in CR LF)
//     fed in chunks of 64 KiB, 4 KiB or 512 bytes through an assembler, the
//     lines of each chunk popped and released after its push, against a
//     memchr splitter that copies every line into a malloc'd string and
//     releases a chunk's lines together after the chunk, as the assembler's
//     caller does (a chunk's worth of lines alive at once);
//   - the line pop of one line of 1, 2 and 4 MB, to show that its cost
//     grows linearly.
// A second thread stays alive throughout, so that the tracked heap's lock
// and malloc pay what they pay in a threaded program.
//
// Sources and destinations start on page boundaries, so memcpy, the
// physical limit here, always copies at its best speed. Where they lay
// before depended on what the heap held, and on the AMD cores of the build
// machine memcpy of 64 KiB runs thirty times slower when the destination
// trails the source by 1 to 63 bytes within a page: the same program then
// measured 1.4 or 30 GB/s for memcpy from one start to the next.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "davro_kuv.h"

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr uint64_t kStreamBytes = uint64_t{1} << 30;
constexpr size_t kPage = 4096;

// Bytes that start on a page boundary.
struct PageAlignedBytes {
    explicit PageAlignedBytes(size_t size)
        : bytes(static_cast<uint8_t *>(
              std::aligned_alloc(kPage, (size + kPage - 1) / kPage * kPage))),
          length(size) {}
    ~PageAlignedBytes() { std::free(bytes); }
    PageAlignedBytes(const PageAlignedBytes &) = delete;
    PageAlignedBytes &operator=(const PageAlignedBytes &) = delete;
    uint8_t *data() const { return bytes; }
    size_t size() const { return length; }

    uint8_t *bytes;
    size_t length;
};

// Random bytes, made once per size.
const PageAlignedBytes &source_region(size_t bytes) {
    static std::map<size_t, std::unique_ptr<PageAlignedBytes>> regions;
    auto &region = regions[bytes];
    if (!region) {
        region = std::make_unique<PageAlignedBytes>(bytes);
        std::mt19937 random(1);
        for (size_t i = 0; i < bytes; ++i)
            region->data()[i] = static_cast<uint8_t>(random());
    }
    return *region;
}

void BufferPushPop64K(benchmark::State &state) {
    const auto &source = source_region(static_cast<size_t>(state.range(0)));
    PageAlignedBytes destination(kChunk);
    kuv_buffer_t *buffer = kuv_xapi_open_buffer();
    for (auto _ : state) {
        size_t at = 0;
        for (uint64_t done = 0; done < kStreamBytes; done += kChunk) {
            kuv_xapi_push_buffer_ex(buffer, source.data() + at, kChunk, 0);
            kuv_xapi_pop_buffer_ex(buffer, destination.data(), kChunk, KUV_BUFFER_EXACT);
            benchmark::DoNotOptimize(destination.data());
            at = (at + kChunk) % source.size();
        }
    }
    kuv_xapi_close_buffer(buffer);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BufferPushPop64K)
    ->Arg(1 << 20)
    ->Arg(64 << 20)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void MemcpyChunks64K(benchmark::State &state) {
    const auto &source = source_region(static_cast<size_t>(state.range(0)));
    PageAlignedBytes destination(kChunk);
    for (auto _ : state) {
        size_t at = 0;
        for (uint64_t done = 0; done < kStreamBytes; done += kChunk) {
            std::memcpy(destination.data(), source.data() + at, kChunk);
            benchmark::DoNotOptimize(destination.data());
            benchmark::ClobberMemory();
            at = (at + kChunk) % source.size();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(MemcpyChunks64K)
    ->Arg(1 << 20)
    ->Arg(64 << 20)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// The least any queue that copies can do: each chunk copied into a 64 KiB
// block and out of it again. memcpy alone copies once, a push and a pop
// twice, so against memcpy the buffer cannot pass about 0.5x in speed.
void MemcpyInAndOut64K(benchmark::State &state) {
    const auto &source = source_region(static_cast<size_t>(state.range(0)));
    PageAlignedBytes block(kChunk), destination(kChunk);
    for (auto _ : state) {
        size_t at = 0;
        for (uint64_t done = 0; done < kStreamBytes; done += kChunk) {
            std::memcpy(block.data(), source.data() + at, kChunk);
            benchmark::ClobberMemory();
            std::memcpy(destination.data(), block.data(), kChunk);
            benchmark::DoNotOptimize(destination.data());
            benchmark::ClobberMemory();
            at = (at + kChunk) % source.size();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(MemcpyInAndOut64K)->Arg(1 << 20)->Iterations(3)->Unit(benchmark::kMillisecond);

// Lines of 20 to 200 bytes that look like a directory listing, each ended
// by CR LF, 100 MB in all.
const std::string &listing() {
    static std::string text;
    if (!text.empty()) return text;
    constexpr size_t kTotal = 100u * 1000 * 1000;
    text.reserve(kTotal + 256);
    std::minstd_rand random(2);
    static const char kPrefix[] = "-rw-r--r--   1 ftp      ftp      ";
    std::string line;
    while (text.size() < kTotal) {
        const size_t length = 20 + random() % 181;  // without CR LF
        line = kPrefix;
        line += std::to_string(random() % 100000000);
        line += " Mar 14 09:26 ";
        // Name letters come from one draw per line: the text only has to
        // look like a listing, not be random.
        for (uint32_t seed = static_cast<uint32_t>(random()); line.size() < length;
             seed = seed * 1103515245u + 12345u)
            line.push_back(static_cast<char>('a' + (seed >> 16) % 26));
        line.resize(length);
        text += line;
        text += "\r\n";
    }
    return text;
}

void ReadlineSplitListing(benchmark::State &state) {
    const std::string &text = listing();
    const size_t chunk = static_cast<size_t>(state.range(0));
    uint64_t lines = 0;
    for (auto _ : state) {
        kuv_readline_t *assembler = kuv_xapi_open_readline();
        for (size_t at = 0; at < text.size(); at += chunk) {
            kuv_xapi_push_readline(assembler, text.data() + at, std::min(chunk, text.size() - at));
            while (char *line = kuv_xapi_pop_readline(assembler)) {
                benchmark::DoNotOptimize(line);
                kuv_xapi_free(line);
                ++lines;
            }
        }
        kuv_xapi_push_readline(assembler, nullptr, 0);
        while (char *line = kuv_xapi_pop_readline(assembler))
            kuv_xapi_free(line);
        kuv_xapi_close_readline(assembler);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["lines"] = static_cast<double>(lines / state.iterations());
}
BENCHMARK(ReadlineSplitListing)
    ->Arg(65536)
    ->Arg(4096)
    ->Arg(512)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// The peer's line search: a line stops at the next LF (or at the end of the
// text), and the following line starts behind that LF.
struct LineSpan {
    const char *stop;
    const char *next;
};

LineSpan next_line(const char *at, const char *end) {
    const char *newline = static_cast<const char *>(std::memchr(at, '\n', end - at));
    return newline ? LineSpan{newline, newline + 1} : LineSpan{end, end};
}

// The peer's copy of one line, without a CR in front of its stop, into a
// malloc'd string.
char *copy_line(const char *at, const char *stop) {
    size_t length = static_cast<size_t>(stop - at);
    if (length > 0 && at[length - 1] == '\r') --length;
    char *line = static_cast<char *>(std::malloc(length + 1));
    std::memcpy(line, at, length);
    line[length] = '\0';
    benchmark::DoNotOptimize(line);
    return line;
}

// The peer splitter, used the way the assembler is: the lines that end in
// each chunk of range(0) bytes are all made first and handed over (released)
// after the chunk, so both sides keep a chunk's worth of lines alive at once.
void MemchrSplitListingPerChunk(benchmark::State &state) {
    const std::string &text = listing();
    const size_t chunk = static_cast<size_t>(state.range(0));
    std::vector<char *> ready;
    auto release_ready = [&ready] {
        for (char *line : ready)
            std::free(line);
        ready.clear();
    };
    uint64_t lines = 0;
    for (auto _ : state) {
        const char *at = text.data();
        const char *end = text.data() + text.size();
        const char *chunk_end = at + std::min(chunk, text.size());
        while (at < end) {
            const LineSpan span = next_line(at, end);
            if (span.stop >= chunk_end) {
                release_ready();
                while (chunk_end <= span.stop && chunk_end < end)
                    chunk_end = std::min(chunk_end + chunk, end);
            }
            ready.push_back(copy_line(at, span.stop));
            ++lines;
            at = span.next;
        }
        release_ready();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["lines"] = static_cast<double>(lines / state.iterations());
}
BENCHMARK(MemchrSplitListingPerChunk)
    ->Arg(65536)
    ->Arg(4096)
    ->Arg(512)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// One line of range(0) bytes ending in CR LF, pushed in 64 KiB pieces
// outside the timing, then popped.
void BufferPopLongLine(benchmark::State &state) {
    const size_t length = static_cast<size_t>(state.range(0));
    const std::string piece(kChunk, 'x');
    kuv_buffer_t *buffer = kuv_xapi_open_buffer();
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t pushed = 0; pushed < length; pushed += kChunk)
            kuv_xapi_push_buffer_ex(buffer, piece.data(), std::min(kChunk, length - pushed), 0);
        kuv_xapi_push_buffer_ex(buffer, "\r\n", 2, 0);
        state.ResumeTiming();
        char *line = kuv_xapi_pop_buffer_line(buffer);
        benchmark::DoNotOptimize(line);
        state.PauseTiming();
        if (!line || std::strlen(line) != length) state.SkipWithError("wrong line");
        kuv_xapi_free(line);
        state.ResumeTiming();
    }
    kuv_xapi_close_buffer(buffer);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK(BufferPopLongLine)
    ->Arg(1 << 20)
    ->Arg(2 << 20)
    ->Arg(4 << 20)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread keep_process_threaded;
    std::vector<kuv_bench::Ratio> ratios;
    for (const char *source : {"1048576", "67108864"})
        ratios.emplace_back(std::string("push+pop of 64 KiB chunks / memcpy, ") +
                                (source[0] == '1' ? "1 MiB" : "64 MiB") + " source",
                            std::string("BufferPushPop64K/") + source + "/iterations:3",
                            std::string("MemcpyChunks64K/") + source + "/iterations:3");
    ratios.emplace_back("push+pop of 64 KiB chunks / memcpy in and out, 1 MiB source",
                        "BufferPushPop64K/1048576/iterations:3",
                        "MemcpyInAndOut64K/1048576/iterations:3");
    for (const char *chunk : {"65536", "4096", "512"})
        ratios.emplace_back(std::string("assembler / memchr splitter, ") + chunk + " byte chunks",
                            std::string("ReadlineSplitListing/") + chunk + "/iterations:3",
                            std::string("MemchrSplitListingPerChunk/") + chunk + "/iterations:3");
    ratios.emplace_back("line pop, 2 MB line / 1 MB line", "BufferPopLongLine/2097152",
                        "BufferPopLongLine/1048576");
    ratios.emplace_back("line pop, 4 MB line / 2 MB line", "BufferPopLongLine/4194304",
                        "BufferPopLongLine/2097152");
    return kuv_bench::run_with_ratios(argc, argv, ratios);
}
