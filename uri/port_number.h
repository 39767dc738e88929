// The port a URI names, for callers that open a connection with it.
#ifndef KUV_URI_PORT_NUMBER_H
#define KUV_URI_PORT_NUMBER_H

#include <cstdint>
#include <string_view>

#include "davro_kuv/uri.h"

namespace kuv::uri {

// Above every port: the endpoints refuse it as out of range.
inline constexpr int32_t kPortBeyondRange = 65536;

// The record's port, except for a decimal port text whose value is above
// 65535: the record's number wraps as the integer reader does, so that
// "4294967317" reads as 21 and would pass for a port. Such a text gives
// kPortBeyondRange. Signs before the digits do not change the answer for a
// large value; any other text keeps the record's number.
inline int32_t port_number(const uri_record *record) {
    if (!record->port_text) return record->port;
    std::string_view text(record->port_text);
    while (!text.empty() && (text.front() == '+' || text.front() == '-'))
        text.remove_prefix(1);
    if (text.empty()) return record->port;
    uint32_t value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') return record->port;
        if (value <= 65535) value = value * 10 + static_cast<uint32_t>(digit - '0');
    }
    return value > 65535 ? kPortBeyondRange : record->port;
}

}  // namespace kuv::uri

#endif
