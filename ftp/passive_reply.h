// Reading the data address out of a 227 (PASV) or 229 (EPSV) reply text.
// Pure functions on the bytes of the text, so that they can be tested and
// fuzzed without a connection.
//
// A reply is used only when every part of it fits: the address or port part
// must fit the 45-byte area the client copies it into, a 227 needs its
// closing ')' behind the first digit and four commas before the port
// numbers, a 229 needs its three leading delimiters and its closing one, and
// the port must be a 16-bit number (in a 227, two numbers of 0 to 255).
// Anything else is ignored, so no data connection is ever made from a reply
// that was only half understood.
#ifndef KUV_FTP_PASSIVE_REPLY_H
#define KUV_FTP_PASSIVE_REPLY_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "runtime/slice.h"

namespace kuv::ftp {

// The area an address or port text is copied into, terminator included.
inline constexpr size_t kAddressAreaSize = 45;
inline constexpr uint32_t kLargestPort = 65535;
inline constexpr uint32_t kLargestByte = 255;

struct PassiveReply {
    bool usable = false;
    // The dotted address of a 227 (empty for a 229, which names none).
    char address[kAddressAreaSize] = {};
    uint32_t port = 0;
};

namespace passive_detail {

inline bool is_digit(char byte) {
    return byte >= '0' && byte <= '9';
}

inline bool is_space(char byte) {
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// Reads a decimal number as scanf's %lu does (leading blanks, then digits)
// but without a sign, stopping at the first byte that is no digit. False
// when no digit comes or the value passes the largest port: such a number
// can never be part of a port.
inline bool read_number(std::string_view text, size_t &at, uint32_t &value) {
    while (at < text.size() && is_space(text[at]))
        ++at;
    const size_t first = at;
    value = 0;
    while (at < text.size() && is_digit(text[at])) {
        value = value * 10 + static_cast<uint32_t>(text[at] - '0');
        if (value > kLargestPort) return false;
        ++at;
    }
    return at > first;
}

}  // namespace passive_detail

// "Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the text from the first digit
// up to the last ')' is the area's copy; its first three commas become dots
// and the fourth ends the address; the two numbers behind it give the port
// p1 << 8 | p2.
inline PassiveReply parse_227(std::string_view text) {
    using namespace passive_detail;
    PassiveReply reply;
    size_t first_digit = 0;
    while (first_digit < text.size() && !is_digit(text[first_digit]))
        ++first_digit;
    const size_t closing = text.rfind(')');
    if (first_digit == text.size() || closing == std::string_view::npos || closing < first_digit)
        return reply;
    const std::string_view copy = kuv::slice(text, first_digit, closing - first_digit);
    if (copy.size() >= kAddressAreaSize) return reply;
    // The address is the copy up to its fourth comma, with the first three
    // turned into dots; a NUL inside the text ends the walk as well.
    size_t commas = 0;
    size_t at = 0;
    for (; at < copy.size() && copy[at] != '\0'; ++at) {
        if (copy[at] != ',') continue;
        if (++commas == 4) break;
    }
    if (commas != 4) return reply;
    const std::string_view address = kuv::slice(copy, 0, at);
    std::memcpy(reply.address, address.data(), address.size());
    for (size_t i = 0; i < address.size(); ++i)
        if (reply.address[i] == ',') reply.address[i] = '.';
    // The numbers stop at a NUL, as they would in the terminated copy.
    const std::string_view numbers = kuv::slice(copy, at + 1, copy.find('\0', at + 1) - (at + 1));
    size_t cursor = 0;
    uint32_t high = 0, low = 0;
    if (!read_number(numbers, cursor, high)) return reply;
    if (cursor >= numbers.size() || numbers[cursor] != ',') return reply;
    ++cursor;
    if (!read_number(numbers, cursor, low)) return reply;
    // Each number is one byte of the port: a larger one would spill into
    // the other byte and name a port the server did not mean.
    if (high > kLargestByte || low > kLargestByte) return reply;
    const uint32_t port = high << 8 | low;
    reply.port = port;
    reply.usable = true;
    return reply;
}

// "Entering Extended Passive Mode (|||port|)": the port runs from behind the
// third '|' to the last '|' of the text that starts two bytes behind the
// third, so at least one byte stands between them.
inline PassiveReply parse_229(std::string_view text) {
    using namespace passive_detail;
    PassiveReply reply;
    size_t third = std::string_view::npos;
    size_t from = 0;
    for (int delimiter = 0; delimiter < 3; ++delimiter) {
        third = text.find('|', from);
        if (third == std::string_view::npos) return reply;
        from = third + 1;
    }
    if (third + 2 >= text.size()) return reply;
    const size_t last = text.rfind('|');
    if (last == std::string_view::npos || last < third + 2) return reply;
    const std::string_view port_text = kuv::slice(text, third + 1, last - third - 1);
    if (port_text.size() >= kAddressAreaSize) return reply;
    // The port text is the whole number: blanks in front, nothing behind.
    size_t cursor = 0;
    uint32_t port = 0;
    if (!read_number(port_text, cursor, port) || cursor != port_text.size()) return reply;
    reply.port = port;
    reply.usable = true;
    return reply;
}

}  // namespace kuv::ftp

#endif  // KUV_FTP_PASSIVE_REPLY_H
