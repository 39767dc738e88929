// Drives a line assembler with a sequence of operations read from the input
// (chunk pushes, final pushes, pops) and checks every line against a
// reference splitter that reads the whole stream byte by byte, ignoring how
// it was cut into chunks. Aborts on the first difference, and when the
// tracked heap does not return to where it started after close.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "davro_kuv.h"
#include "tests/buffer/buffer_reference.h"

namespace {

void check(bool condition, const char *what) {
    if (condition) return;
    std::fprintf(stderr, "readline fuzz: %s\n", what);
    std::abort();
}

using buffer_test::ReferenceSplitter;

void pop_and_compare(kuv_readline_t *assembler, ReferenceSplitter &model) {
    char *line = kuv_xapi_pop_readline(assembler);
    check((line != nullptr) == !model.lines.empty(), "line queued");
    if (!line) return;
    check(model.lines.front() == line, "line text");
    model.lines.pop_front();
    kuv_xapi_free(line);
    check(kuv_xapi_quantity_readline(assembler) == model.lines.size(), "count");
}

void run(const uint8_t *data, size_t size) {
    kuv_readline_t *assembler = kuv_xapi_open_readline();
    check(assembler != nullptr, "open");
    ReferenceSplitter model;
    size_t at = 0;
    while (at < size) {
        const uint8_t op = data[at++];
        if (op < 0xF0) {
            // A chunk of op % 64 bytes (at least one) taken from the input.
            const size_t count = std::min<size_t>(op % 64 + 1, size - at);
            if (count == 0) break;
            const uint64_t held = kuv_xapi_push_readline(assembler, data + at, count);
            model.feed(data + at, count);
            at += count;
            // Within a chunk the assembler may drop line-end bytes that the
            // popped text would lose anyway, so only emptiness must agree.
            check((held == 0) == (model.held_bytes() == 0), "held over");
            check(held <= model.held_bytes(), "held over size");
            check(kuv_xapi_quantity_readline(assembler) == model.lines.size(), "queued");
        } else if (op < 0xF8) {
            check(kuv_xapi_push_readline(assembler, nullptr, 0) == 0, "final push");
            model.finish();
            check(assembler->pending == nullptr, "pending closed");
        } else {
            for (int n = op - 0xF7; n > 0; --n)
                pop_and_compare(assembler, model);
        }
    }
    while (!model.lines.empty())
        pop_and_compare(assembler, model);
    check(kuv_xapi_pop_readline(assembler) == nullptr, "queue drained");
    check(assembler->line_ready == 0, "transient mark cleared");
    kuv_xapi_close_readline(assembler);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    const uint64_t bytes = kuv_xapi_get_allocated_memory_size();
    run(data, size);
    check(kuv_xapi_get_allocated_memory_count() == blocks, "tracked blocks back");
    check(kuv_xapi_get_allocated_memory_size() == bytes, "tracked bytes back");
    return 0;
}
