// The chained buffer and the line assembler against their plain peers, each
// pair in alternating rounds:
//   - 64 KiB chunks pushed into a buffer and popped into a 64 KiB
//     destination, 16 MiB per round, against memcpy of the same chunks
//     straight into the destination (source chunks cycling through 1 MiB,
//     which stays in the shared cache, and through 64 MiB, which does not),
//     and against memcpy into a 64 KiB block and out of it again, the least
//     a queue that copies can do;
//   - a listing-like text (lines of 20 to 200 bytes ending in CR LF), 1 MB
//     per round, fed in chunks of 64 KiB, 4 KiB or 512 bytes through an
//     assembler, the lines of each chunk popped and released after its
//     push, against a memchr splitter that copies every line into a
//     malloc'd string and releases a chunk's lines together after the
//     chunk, as the assembler's caller does (a chunk's worth of lines alive
//     at once);
//   - the push and line pop of one line of 2 and 4 MB against one half as
//     long, to show that the cost grows linearly.
// A second thread stays alive throughout, so that the tracked heap's lock
// and malloc pay what they pay in a threaded program.
//
// Sources and destinations start on page boundaries, so memcpy, the
// physical limit here, always copies at its best speed. Where they lay
// before depended on what the heap held, and on the AMD cores of the build
// machine memcpy of 64 KiB runs thirty times slower when the destination
// trails the source by 1 to 63 bytes within a page: the same program then
// measured 1.4 or 30 GB/s for memcpy from one start to the next.
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
constexpr size_t kChunksPerRound = 256;  // 16 MiB
constexpr size_t kPage = 4096;

// Bytes that start on a page boundary.
class PageAlignedBytes {
  public:
    explicit PageAlignedBytes(size_t size)
        : bytes_(static_cast<uint8_t *>(
              std::aligned_alloc(kPage, (size + kPage - 1) / kPage * kPage))),
          size_(size) {}
    ~PageAlignedBytes() { std::free(bytes_); }
    PageAlignedBytes(const PageAlignedBytes &) = delete;
    PageAlignedBytes &operator=(const PageAlignedBytes &) = delete;
    uint8_t *data() const { return bytes_; }
    size_t size() const { return size_; }

  private:
    uint8_t *bytes_;
    size_t size_;
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

// The chunks of one side's round. The two sides take turns through the
// region (rounds 2r and 2r+1), so that neither reads a slice the other has
// just brought into the cache.
template <typename Copy>
void copy_round(const PageAlignedBytes &source, uint64_t slice, Copy copy) {
    const size_t chunks = source.size() / kChunk;
    for (size_t i = 0; i < kChunksPerRound; ++i)
        copy(source.data() + (slice * kChunksPerRound + i) % chunks * kChunk);
}

void push_pop_round(kuv_buffer_t *buffer, const PageAlignedBytes &source, uint64_t slice,
                    uint8_t *destination) {
    copy_round(source, slice, [&](const uint8_t *chunk) {
        kuv_xapi_push_buffer_ex(buffer, chunk, kChunk, 0);
        kuv_xapi_pop_buffer_ex(buffer, destination, kChunk, KUV_BUFFER_EXACT);
        benchmark::DoNotOptimize(destination);
    });
}

void BufferPushPopVsMemcpy64K(benchmark::State &state) {
    const auto &source = source_region(static_cast<size_t>(state.range(0)));
    PageAlignedBytes destination(kChunk);
    kuv_buffer_t *buffer = kuv_xapi_open_buffer();
    kuv_bench::measure_paired(
        state,
        [&](uint64_t round) { push_pop_round(buffer, source, 2 * round, destination.data()); },
        [&](uint64_t round) {
            copy_round(source, 2 * round + 1, [&](const uint8_t *chunk) {
                std::memcpy(destination.data(), chunk, kChunk);
                benchmark::DoNotOptimize(destination.data());
                benchmark::ClobberMemory();
            });
        });
    kuv_xapi_close_buffer(buffer);
}
BENCHMARK(BufferPushPopVsMemcpy64K)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

void BufferPushPopVsMemcpyInAndOut64K(benchmark::State &state) {
    const auto &source = source_region(static_cast<size_t>(state.range(0)));
    PageAlignedBytes block(kChunk), destination(kChunk);
    kuv_buffer_t *buffer = kuv_xapi_open_buffer();
    kuv_bench::measure_paired(
        state,
        [&](uint64_t round) { push_pop_round(buffer, source, 2 * round, destination.data()); },
        [&](uint64_t round) {
            copy_round(source, 2 * round + 1, [&](const uint8_t *chunk) {
                std::memcpy(block.data(), chunk, kChunk);
                benchmark::ClobberMemory();
                std::memcpy(destination.data(), block.data(), kChunk);
                benchmark::DoNotOptimize(destination.data());
                benchmark::ClobberMemory();
            });
        });
    kuv_xapi_close_buffer(buffer);
}
BENCHMARK(BufferPushPopVsMemcpyInAndOut64K)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// Lines of 20 to 200 bytes that look like a directory listing, each ended
// by CR LF: 8 slices of about 1 MB, each ending with a line. 8 MB stay in
// the shared cache, as text just received does.
struct Listing {
    std::string text;
    std::vector<size_t> slice_starts;  // and the end of the text last

    Listing() {
        constexpr size_t kSlice = 1000 * 1000;
        constexpr size_t kSlices = 8;
        std::minstd_rand random(2);
        static const char kPrefix[] = "-rw-r--r--   1 ftp      ftp      ";
        std::string line;
        slice_starts.push_back(0);
        while (slice_starts.size() <= kSlices) {
            const size_t length = 20 + random() % 181;  // without CR LF
            line = kPrefix;
            line += std::to_string(random() % 100000000);
            line += " Mar 14 09:26 ";
            // Name letters come from one draw per line: the text only has
            // to look like a listing, not be random.
            for (uint32_t seed = static_cast<uint32_t>(random()); line.size() < length;
                 seed = seed * 1103515245u + 12345u)
                line.push_back(static_cast<char>('a' + (seed >> 16) % 26));
            line.resize(length);
            text += line;
            text += "\r\n";
            if (text.size() >= slice_starts.size() * kSlice) slice_starts.push_back(text.size());
        }
    }
    size_t slices() const { return slice_starts.size() - 1; }
    const char *slice(uint64_t round, size_t *size) const {
        const size_t at = round % slices();
        *size = slice_starts[at + 1] - slice_starts[at];
        return text.data() + slice_starts[at];
    }
};

const Listing &listing() {
    static const Listing made;
    return made;
}

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

// The peer splitter over one slice, used the way the assembler is: the
// lines that end in each chunk are all made first and handed over
// (released) after the chunk, so both sides keep a chunk's worth of lines
// alive at once.
void split_slice(const char *text, size_t size, size_t chunk, std::vector<char *> &ready) {
    auto release_ready = [&ready] {
        for (char *line : ready)
            std::free(line);
        ready.clear();
    };
    const char *at = text;
    const char *end = text + size;
    const char *chunk_end = at + std::min(chunk, size);
    while (at < end) {
        const LineSpan span = next_line(at, end);
        if (span.stop >= chunk_end) {
            release_ready();
            while (chunk_end <= span.stop && chunk_end < end)
                chunk_end = std::min(chunk_end + chunk, end);
        }
        ready.push_back(copy_line(at, span.stop));
        at = span.next;
    }
    release_ready();
}

void feed_slice(kuv_readline_t *assembler, const char *text, size_t size, size_t chunk) {
    for (size_t at = 0; at < size; at += chunk) {
        kuv_xapi_push_readline(assembler, text + at, std::min(chunk, size - at));
        while (char *line = kuv_xapi_pop_readline(assembler)) {
            benchmark::DoNotOptimize(line);
            kuv_xapi_free(line);
        }
    }
}

void ReadlineVsMemchrSplitter(benchmark::State &state) {
    const Listing &text = listing();
    const size_t chunk = static_cast<size_t>(state.range(0));
    kuv_readline_t *assembler = kuv_xapi_open_readline();
    std::vector<char *> ready;
    ready.reserve(4096);
    kuv_bench::measure_paired(
        state,
        [&](uint64_t round) {
            size_t size;
            const char *slice = text.slice(round, &size);
            feed_slice(assembler, slice, size, chunk);
        },
        [&](uint64_t round) {
            size_t size;
            const char *slice = text.slice(round, &size);
            split_slice(slice, size, chunk, ready);
        });
    kuv_xapi_push_readline(assembler, nullptr, 0);
    while (char *line = kuv_xapi_pop_readline(assembler))
        kuv_xapi_free(line);
    kuv_xapi_close_readline(assembler);
}
BENCHMARK(ReadlineVsMemchrSplitter)->Arg(65536)->Arg(4096)->Arg(512)->Unit(benchmark::kMillisecond);

// One line of the given length ending in CR LF, pushed in 64 KiB pieces,
// then popped.
void push_and_pop_line(kuv_buffer_t *buffer, const std::string &piece, size_t length) {
    for (size_t pushed = 0; pushed < length; pushed += kChunk)
        kuv_xapi_push_buffer_ex(buffer, piece.data(), std::min(kChunk, length - pushed), 0);
    kuv_xapi_push_buffer_ex(buffer, "\r\n", 2, 0);
    char *line = kuv_xapi_pop_buffer_line(buffer);
    benchmark::DoNotOptimize(line);
    kuv_xapi_free(line);
}

// A line of range(0) bytes against one half as long.
void LongLineVsHalf(benchmark::State &state) {
    const size_t length = static_cast<size_t>(state.range(0));
    const std::string piece(kChunk, 'x');
    kuv_buffer_t *buffer = kuv_xapi_open_buffer();
    kuv_bench::measure_paired(
        state, [&](uint64_t) { push_and_pop_line(buffer, piece, length); },
        [&](uint64_t) { push_and_pop_line(buffer, piece, length / 2); });
    if (kuv_xapi_get_buffer_size(buffer) != 0) state.SkipWithError("bytes left");
    kuv_xapi_close_buffer(buffer);
}
BENCHMARK(LongLineVsHalf)->Arg(2 << 20)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    kuv_bench::IdleThread keep_process_threaded;
    using kuv_bench::paired;
    return kuv_bench::run_with_ratios(
        argc, argv,
        {paired("push+pop of 64 KiB chunks / memcpy, 1 MiB source",
                "BufferPushPopVsMemcpy64K/1048576"),
         paired("push+pop of 64 KiB chunks / memcpy, 64 MiB source",
                "BufferPushPopVsMemcpy64K/67108864"),
         paired("push+pop of 64 KiB chunks / memcpy in and out, 1 MiB source",
                "BufferPushPopVsMemcpyInAndOut64K/1048576"),
         paired("assembler / memchr splitter, 64 KiB chunks", "ReadlineVsMemchrSplitter/65536"),
         paired("assembler / memchr splitter, 4 KiB chunks", "ReadlineVsMemchrSplitter/4096"),
         paired("assembler / memchr splitter, 512 byte chunks", "ReadlineVsMemchrSplitter/512"),
         paired("push and line pop, 2 MB line / 1 MB line", "LongLineVsHalf/2097152"),
         paired("push and line pop, 4 MB line / 2 MB line", "LongLineVsHalf/4194304")});
}
