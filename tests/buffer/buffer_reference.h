// Reference models of the line pop and the line assembler, written straight
// from their byte-by-byte rules, shared by the tests and the fuzz targets.
// Plain C++ with no test framework, so the fuzz targets can use them.
#ifndef KUV_TESTS_BUFFER_REFERENCE_H
#define KUV_TESTS_BUFFER_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace buffer_test {

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

// The line assembler over one unbroken stream, independent of chunking: a
// CR ends a line when no CR or LF came since the last ordinary byte, an LF
// when no CR did. Line texts are what a caller reads: up to the first NUL,
// without CR and LF.
class ReferenceSplitter {
  public:
    void feed(const uint8_t *bytes, size_t count) {
        for (const uint8_t *byte = bytes; byte != bytes + count; ++byte) {
            bool ends = false;
            if (*byte == '\n') {
                ends = !saw_cr_;
                saw_lf_ = true;
            } else if (*byte == '\r') {
                ends = !saw_cr_ && !saw_lf_;
                saw_cr_ = true;
            } else {
                saw_cr_ = saw_lf_ = false;
            }
            if (ends)
                emit();
            else
                current_.push_back(static_cast<char>(*byte));
        }
    }
    void finish() {
        if (!current_.empty()) emit();
    }
    size_t held_bytes() const { return current_.size(); }
    std::deque<std::string> lines;

  private:
    void emit() {
        std::string text;
        for (char c : current_) {
            if (c == '\0') break;
            if (c != '\r' && c != '\n') text.push_back(c);
        }
        lines.push_back(text);
        current_.clear();
    }
    std::string current_;
    bool saw_cr_ = false;
    bool saw_lf_ = false;
};

}  // namespace buffer_test

#endif  // KUV_TESTS_BUFFER_REFERENCE_H
