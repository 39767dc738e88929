// The library's own address parser. IPv4: four dot-separated decimal parts.
// IPv6: up to eight hex groups with at most one "::" gap, read as head
// groups before the gap and tail groups after it.
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "davro_kuv/sysio.h"

namespace {

constexpr size_t kIpv4Bytes = 4;
constexpr size_t kIpv6Bytes = 16;
constexpr size_t kIpv6Groups = 8;
constexpr int kMaxDecimalDigits = 3;
constexpr int kMaxHexDigits = 4;

bool parse_ipv4(const char *text, uint8_t *out) {
    uint8_t parts[kIpv4Bytes];
    const char *at = text;
    for (size_t part = 0; part < kIpv4Bytes; ++part) {
        if (part != 0) {
            if (*at != '.') return false;
            ++at;
        }
        unsigned value = 0;
        int digits = 0;
        while (*at >= '0' && *at <= '9') {
            if (++digits > kMaxDecimalDigits) return false;
            value = value * 10 + static_cast<unsigned>(*at - '0');
            ++at;
        }
        if (digits == 0 || value > 255) return false;
        parts[part] = static_cast<uint8_t>(value);
    }
    if (*at != '\0') return false;
    std::memcpy(out, parts, kIpv4Bytes);
    return true;
}

// The value of each byte as a hex digit, or -1.
constexpr auto kHexValues = [] {
    std::array<int8_t, 256> values{};
    for (int c = 0; c < 256; ++c) {
        if (c >= '0' && c <= '9')
            values[c] = static_cast<int8_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            values[c] = static_cast<int8_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            values[c] = static_cast<int8_t>(c - 'A' + 10);
        else
            values[c] = -1;
    }
    return values;
}();

bool parse_ipv6(const char *text, uint8_t *out) {
    unsigned head[kIpv6Groups];
    unsigned tail[kIpv6Groups];
    size_t head_count = 0;
    size_t tail_count = 0;
    bool gap = false;

    for (const char *at = text;; ++at) {
        // The group's digits: at most four.
        unsigned group = 0;
        int digits = 0;
        for (int value; (value = kHexValues[static_cast<uint8_t>(*at)]) >= 0; ++at) {
            if (digits == kMaxHexDigits) return false;
            group = (group << 4) | static_cast<unsigned>(value);
            ++digits;
        }
        // Eight groups are all there is: a ninth is refused before it is
        // stored, whether a colon or the end of the text follows.
        if (head_count + tail_count >= kIpv6Groups) return false;
        const char c = *at;
        if (c == ':' && digits == 0) {
            // A colon after no digits opens the gap: the second colon of
            // "::", or a colon at the very start. Only the leading "::" may
            // open it twice; any later "::" is a second gap.
            if (gap && !(at == text + 1 && text[0] == ':')) return false;
            gap = true;
            continue;
        }
        if (c != ':' && c != '\0') return false;
        // The group ends at a colon after digits and at the end of the text,
        // where an empty group counts as a group of value 0. It belongs to
        // the head before the gap and to the tail after it.
        if (gap)
            tail[tail_count++] = group;
        else
            head[head_count++] = group;
        if (c == '\0') break;
    }

    // The end of the text stored a group and the ninth was refused, so one
    // to eight are there; head groups alone must be at least two.
    if (tail_count == 0 && head_count < 2) return false;
    // Head groups from the start, tail groups against the end, most
    // significant byte first; the zeros between them are already there.
    auto store = [out](const unsigned *groups, size_t count, size_t first) {
        for (size_t i = 0; i < count; ++i) {
            out[2 * (first + i)] = static_cast<uint8_t>(groups[i] >> 8);
            out[2 * (first + i) + 1] = static_cast<uint8_t>(groups[i]);
        }
    };
    store(head, head_count, 0);
    store(tail, tail_count, kIpv6Groups - tail_count);
    return true;
}

}  // namespace

extern "C" {

int32_t kuv_mapi_inet_pton(int32_t family, const char *text, void *address) {
    if (!text || !address) return -1;
    size_t size = 0;
    switch (family & 0xFFFF) {
        case AF_INET:
            size = kIpv4Bytes;
            break;
        case AF_INET6:
            size = kIpv6Bytes;
            break;
        default:
            return -1;
    }
    // The address is parsed into a block of its own and copied out once the
    // text has been read whole: the output may be the text's own buffer, and
    // a refused text still leaves the output all zero.
    uint8_t parsed[kIpv6Bytes] = {};
    const bool valid = size == kIpv4Bytes ? parse_ipv4(text, parsed) : parse_ipv6(text, parsed);
    std::memcpy(address, parsed, size);
    return valid ? 1 : 0;
}

}  // extern "C"
