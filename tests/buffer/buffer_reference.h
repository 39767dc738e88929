// A reference model of the line assembler, written straight from its
// byte-by-byte rule: plain C++, the model of the readline fuzz target.
#ifndef KUV_TESTS_BUFFER_REFERENCE_H
#define KUV_TESTS_BUFFER_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace buffer_test {

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
    bool saw_cr_ = false, saw_lf_ = false;
};

}  // namespace buffer_test

#endif  // KUV_TESTS_BUFFER_REFERENCE_H
