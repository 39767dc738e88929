// The library's own address parser. IPv4: four dot-separated decimal parts.
// IPv6: up to eight hex groups with at most one "::" gap, read as head
// groups before the gap and tail groups after it.
#include <sys/socket.h>

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

// The value of a hex digit, or -1.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_ipv6(const char *text, uint8_t *out) {
    unsigned head[kIpv6Groups];
    unsigned tail[kIpv6Groups];
    size_t head_count = 0;
    size_t tail_count = 0;
    bool gap = false;
    unsigned group = 0;
    int digits = 0;

    // Ends the group being read: appended to the head before the gap, to
    // the tail after it. A ninth group is refused before it is stored.
    auto append_group = [&]() {
        if (head_count + tail_count >= kIpv6Groups) return false;
        if (gap)
            tail[tail_count++] = group;
        else
            head[head_count++] = group;
        group = 0;
        digits = 0;
        return true;
    };

    for (const char *at = text;; ++at) {
        const char c = *at;
        if (c == '\0') {
            // An empty group at the end counts as a group of value 0.
            if (!append_group()) return false;
            break;
        }
        if (c == ':') {
            if (head_count + tail_count >= kIpv6Groups) return false;
            if (digits != 0) {
                if (!append_group()) return false;
                continue;
            }
            // A colon after no digits opens the gap: the second colon of
            // "::", or a colon at the very start. Only the leading "::" may
            // open it twice; any later "::" is a second gap.
            if (gap && !(at == text + 1 && text[0] == ':')) return false;
            gap = true;
            continue;
        }
        const int value = hex_value(c);
        if (value < 0 || digits == kMaxHexDigits) return false;
        group = (group << 4) | static_cast<unsigned>(value);
        ++digits;
    }

    const size_t total = head_count + tail_count;
    if (!(tail_count >= 1 || head_count >= 2) || total < 1 || total > kIpv6Groups) return false;
    for (size_t i = 0; i < head_count; ++i) {
        out[2 * i] = static_cast<uint8_t>(head[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(head[i]);
    }
    const size_t tail_start = kIpv6Groups - tail_count;
    for (size_t i = 0; i < tail_count; ++i) {
        out[2 * (tail_start + i)] = static_cast<uint8_t>(tail[i] >> 8);
        out[2 * (tail_start + i) + 1] = static_cast<uint8_t>(tail[i]);
    }
    return true;
}

}  // namespace

extern "C" {

int32_t kuv_mapi_inet_pton(int32_t family, const char *text, void *address) {
    if (!text || !address) return -1;
    auto *out = static_cast<uint8_t *>(address);
    switch (family & 0xFFFF) {
        case AF_INET:
            std::memset(out, 0, kIpv4Bytes);
            return parse_ipv4(text, out) ? 1 : 0;
        case AF_INET6:
            // Groups are stored only once the whole text is valid, so a
            // refused text leaves the output all zero.
            std::memset(out, 0, kIpv6Bytes);
            return parse_ipv6(text, out) ? 1 : 0;
        default:
            return -1;
    }
}

}  // extern "C"
