// The port a URI names, for callers that open a connection with it.
#ifndef KUV_URI_PORT_NUMBER_H
#define KUV_URI_PORT_NUMBER_H

#include <cstdint>
#include <string_view>

#include "davro_kuv/uri.h"

namespace kuv::uri {

// Above every port: the endpoints refuse it as out of range.
inline constexpr int32_t kPortBeyondRange = 65536;

// The record's port, except for a port text whose value is above 65535:
// the record's number wraps as the integer reader does, so that
// "4294967317" reads as 21 and would pass for a port. Such a text gives
// kPortBeyondRange. The text is read as that reader reads it in base 10:
// one sign, or "0x" for hexadecimal digits, then digits up to the first
// byte that is none. A sign does not change the answer for a large value.
inline int32_t port_number(const uri_record *record) {
    if (!record->port_text) return record->port;
    std::string_view text(record->port_text);
    uint32_t radix = 10;
    if (text.starts_with('+') || text.starts_with('-')) {
        text.remove_prefix(1);
    } else if (text.starts_with("0x")) {
        text.remove_prefix(2);
        radix = 16;
    }
    uint32_t value = 0;
    for (const char byte : text) {
        uint32_t digit = radix;
        if (byte >= '0' && byte <= '9')
            digit = static_cast<uint32_t>(byte - '0');
        else if (byte >= 'a' && byte <= 'f')
            digit = static_cast<uint32_t>(byte - 'a' + 10);
        else if (byte >= 'A' && byte <= 'F')
            digit = static_cast<uint32_t>(byte - 'A' + 10);
        if (digit >= radix) break;
        value = value * radix + digit;
        if (value > 65535) return kPortBeyondRange;
    }
    return record->port;
}

}  // namespace kuv::uri

#endif
