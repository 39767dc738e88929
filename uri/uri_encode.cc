// Percent-encoding of paths. Only ASCII letters, digits, "-", "." and "_"
// are written as they are; every other byte, "/" and bytes of 0x80 and above
// included, becomes "%" and two upper-case hexadecimal digits.
#include "uri/uri_internal.h"

namespace kuv::uri {
namespace {

constexpr ByteSet make_unreserved() {
    ByteSet set{"-._"};
    for (unsigned char value = '0'; value <= '9'; ++value)
        set.add(value);
    for (unsigned char value = 'A'; value <= 'Z'; ++value)
        set.add(value);
    for (unsigned char value = 'a'; value <= 'z'; ++value)
        set.add(value);
    return set;
}

constexpr ByteSet kUnreserved = make_unreserved();
constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

uint64_t encoded_length(std::string_view source) {
    uint64_t length = 0;
    for (char byte : source)
        length += kUnreserved.contains(static_cast<unsigned char>(byte)) ? 1 : 3;
    return length;
}

uint64_t encode_into(std::string_view source, char *destination) {
    char *out = destination;
    for (char byte : source) {
        auto value = static_cast<unsigned char>(byte);
        if (kUnreserved.contains(value)) {
            *out++ = byte;
        } else {
            *out++ = '%';
            *out++ = kHexDigits[value >> 4];
            *out++ = kHexDigits[value & 0x0F];
        }
    }
    // Terminated also when nothing was written, so an empty source yields
    // the empty string rather than whatever the buffer held.
    *out = '\0';
    return static_cast<uint64_t>(out - destination);
}

}  // namespace kuv::uri

extern "C" {

uint64_t kuv_iapi_encode_uri(const char *source, char *destination) {
    if (!source) {
        if (destination) destination[0] = '\0';
        return 0;
    }
    std::string_view text = source;
    if (!destination) return kuv::uri::encoded_length(text);
    return kuv::uri::encode_into(text, destination);
}

}  // extern "C"
