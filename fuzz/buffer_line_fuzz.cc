// Drives a chained buffer with a sequence of operations read from the input
// (pushes of every kind, line pops, byte pops, peeks, typed pops,
// alloc-pops, flushes) and checks every result against a plain byte queue
// with the line pop written byte by byte from its rule. Aborts on the first
// difference, and when the tracked heap does not return to where it started
// after close.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "davro_kuv.h"

namespace {

// The line pop by its definition: a two-byte state toggled by bytes with
// bit 7 set, the byte after a set state skipped, the first LF or CR ends
// the line, and the partner byte of a CR LF or LF CR pair goes with it.
inline std::optional<std::string> reference_pop_line(std::deque<uint8_t> &bytes) {
    bool second_byte = false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t byte = bytes[i];
        if (byte & 0x80) {
            second_byte = !second_byte;
        } else if (second_byte) {
            second_byte = false;
        } else if (byte == '\n' || byte == '\r') {
            std::string line(bytes.begin(), bytes.begin() + static_cast<long>(i));
            bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(i) + 1);
            const uint8_t partner = byte == '\n' ? '\r' : '\n';
            if (!bytes.empty() && bytes.front() == partner) bytes.pop_front();
            return line;
        }
    }
    return std::nullopt;
}

void check(bool condition, const char *what) {
    if (condition) return;
    std::fprintf(stderr, "buffer line fuzz: %s\n", what);
    std::abort();
}

class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ == size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Up to count bytes of the input itself; they stay valid for the whole
    // run, so referencing pushes may lend them.
    const uint8_t *take(size_t count, size_t *taken) {
        *taken = std::min(count, size_ - at_);
        const uint8_t *bytes = data_ + at_;
        at_ += *taken;
        return bytes;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

void run(Input &input) {
    kuv_buffer_t *buffer = kuv_xapi_open_buffer();
    check(buffer != nullptr, "open");
    std::deque<uint8_t> model;
    int64_t consumed = 0;
    auto take_from_model = [&](size_t count) {
        model.erase(model.begin(), model.begin() + static_cast<long>(count));
        consumed += static_cast<int64_t>(count);
    };

    while (!input.empty()) {
        const uint8_t op = input.byte();
        const size_t amount = input.byte();
        switch (op % 9) {
            case 0:
            case 1:
            case 2: {
                size_t count = 0;
                const uint8_t *bytes = input.take(amount, &count);
                uint64_t stored = 0;
                if (op % 9 == 0) {
                    stored = kuv_xapi_push_buffer_ex(buffer, bytes, count, 0);
                } else if (op % 9 == 1) {
                    stored = kuv_xapi_push_buffer_ex(buffer, bytes, count, KUV_BUFFER_REFERENCE);
                } else {
                    void *block = kuv_xapi_alloc(count + 1);
                    check(block != nullptr, "alloc");
                    std::memcpy(block, bytes, count);
                    stored = kuv_xapi_push_buffer_ex(buffer, block, count, KUV_BUFFER_ADOPT);
                    if (stored == 0) kuv_xapi_free(block);
                }
                check(stored == count, "push stored");
                model.insert(model.end(), bytes, bytes + count);
                break;
            }
            case 3:
            case 4: {
                const size_t before = model.size();
                std::optional<std::string> expected = reference_pop_line(model);
                char *line = kuv_xapi_pop_buffer_line(buffer);
                check((line != nullptr) == expected.has_value(), "line found");
                if (line) {
                    check(std::memcmp(line, expected->data(), expected->size()) == 0, "line bytes");
                    check(line[expected->size()] == '\0', "line terminator");
                    kuv_xapi_free(line);
                    consumed += static_cast<int64_t>(before - model.size());
                }
                break;
            }
            case 5: {
                const int32_t mode = amount & 1 ? KUV_BUFFER_EXACT : KUV_BUFFER_PARTIAL;
                const size_t count = amount / 2 + 1;
                const size_t expected = mode == KUV_BUFFER_EXACT && count > model.size()
                                            ? 0
                                            : std::min(count, model.size());
                std::vector<uint8_t> out(count);
                check(kuv_xapi_pop_buffer_ex(buffer, out.data(), count, mode) == expected,
                      "pop count");
                check(std::equal(out.begin(), out.begin() + static_cast<long>(expected),
                                 model.begin()),
                      "pop bytes");
                take_from_model(expected);
                break;
            }
            case 6: {
                const size_t offset = input.byte();
                const size_t count = amount + 1;
                const size_t expected =
                    offset >= model.size() ? 0 : std::min(count, model.size() - offset);
                std::vector<uint8_t> out(count);
                check(kuv_xapi_peek_buffer_ex(buffer, out.data(), count, offset,
                                              KUV_BUFFER_PARTIAL) == expected,
                      "peek count");
                check(expected == 0 ||
                          std::equal(out.begin(), out.begin() + static_cast<long>(expected),
                                     model.begin() + static_cast<long>(offset)),
                      "peek bytes");
                break;
            }
            case 7: {
                uint32_t value = 0;
                const int32_t got = kuv_xapi_pop_buffer_bedword(buffer, &value);
                check(got == (model.size() >= 4 ? 1 : 0), "typed pop");
                if (got) {
                    const uint32_t expected = uint32_t{model[0]} << 24 | uint32_t{model[1]} << 16 |
                                              uint32_t{model[2]} << 8 | model[3];
                    check(value == expected, "typed value");
                    take_from_model(4);
                }
                break;
            }
            default: {
                if (amount & 1) {
                    check(kuv_xapi_flush_buffer(buffer) == model.size(), "flush");
                    take_from_model(model.size());
                    break;
                }
                uint64_t length = 0;
                auto *block = static_cast<uint8_t *>(kuv_xapi_get_buffer_node(buffer, &length));
                check((block != nullptr) == !model.empty(), "node found");
                if (!block) break;
                check(length != 0 && length <= model.size(), "node length");
                check(std::equal(block, block + length, model.begin()), "node bytes");
                kuv_xapi_free(block);
                take_from_model(length);
                break;
            }
        }
        check(kuv_xapi_get_buffer_size(buffer) == static_cast<int64_t>(model.size()), "size");
        check(kuv_xapi_get_buffer_offset(buffer) == consumed, "offset");
    }
    kuv_xapi_close_buffer(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    const uint64_t bytes = kuv_xapi_get_allocated_memory_size();
    Input input(data, size);
    run(input);
    check(kuv_xapi_get_allocated_memory_count() == blocks, "tracked blocks back");
    check(kuv_xapi_get_allocated_memory_size() == bytes, "tracked bytes back");
    return 0;
}
