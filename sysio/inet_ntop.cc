// The library's own address formatter: dotted decimal for IPv4; for IPv6
// hex groups with the longest run of zero groups, even a single one,
// written as "::".
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include "davro_kuv/sysio.h"

namespace {

constexpr size_t kIpv4Bytes = 4;
constexpr size_t kIpv6Groups = 8;
// "255.255.255.255" and "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", each with
// its terminator, fit.
constexpr size_t kLongestText = 40;

constexpr char kHexDigits[] = "0123456789abcdef";

// Writes value in decimal ("%u") and returns the end.
char *put_decimal(char *out, unsigned value) {
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

// Writes value in lower-case hex without leading zeros ("%x").
char *put_hex_group(char *out, unsigned value) {
    int shift = 12;
    while (shift > 0 && (value >> shift) == 0)
        shift -= 4;
    for (; shift >= 0; shift -= 4)
        *out++ = kHexDigits[(value >> shift) & 0xF];
    return out;
}

size_t format_ipv4(const uint8_t *address, char *text) {
    char *out = text;
    for (size_t i = 0; i < kIpv4Bytes; ++i) {
        if (i != 0) *out++ = '.';
        out = put_decimal(out, address[i]);
    }
    return static_cast<size_t>(out - text);
}

size_t format_ipv6(const uint8_t *address, char *text) {
    unsigned groups[kIpv6Groups];
    for (size_t i = 0; i < kIpv6Groups; ++i)
        groups[i] = (static_cast<unsigned>(address[2 * i]) << 8) | address[2 * i + 1];

    // The longest run of zero groups, the first of equal ones; a single
    // zero group is a run too.
    size_t run_start = kIpv6Groups;
    size_t run_length = 0;
    for (size_t i = 0; i < kIpv6Groups;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < kIpv6Groups && groups[end] == 0)
            ++end;
        if (end - i > run_length) {
            run_start = i;
            run_length = end - i;
        }
        i = end;
    }

    char *out = text;
    for (size_t i = 0; i < kIpv6Groups; ++i) {
        if (i == run_start) {
            // ":" stands in for the run; the separator before the next group
            // completes "::", and a run reaching the end writes it whole.
            *out++ = ':';
            i += run_length - 1;
            if (i == kIpv6Groups - 1) *out++ = ':';
            continue;
        }
        if (i != 0) *out++ = ':';
        out = put_hex_group(out, groups[i]);
    }
    return static_cast<size_t>(out - text);
}

}  // namespace

extern "C" {

char *kuv_mapi_inet_ntop(int32_t family, const void *address, char *buffer, uint64_t size) {
    if (!buffer || size == 0) return nullptr;
    const int known = family & 0xFFFF;
    if (known != AF_INET && known != AF_INET6) {
        std::memset(buffer, 0, size);
        return buffer;
    }
    if (!address) {
        buffer[0] = '\0';
        return nullptr;
    }
    const auto *bytes = static_cast<const uint8_t *>(address);
    char text[kLongestText];
    size_t length = known == AF_INET ? format_ipv4(bytes, text) : format_ipv6(bytes, text);
    // The text never exceeds the buffer: cut to size - 1 and terminated.
    if (length >= size) length = static_cast<size_t>(size - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return buffer;
}

}  // extern "C"
