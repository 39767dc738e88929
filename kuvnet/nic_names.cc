// The texts derived from interface values: the flag names of an interface
// and the scope name of an IPv6 address.
#include "kuvnet/nic_internal.h"

namespace kuv::net {

namespace {

struct FlagName {
    uint32_t bit;
    std::string_view text;
};

// The order in which the names are listed; SLAVE comes before MASTER
// although its bit is the higher one.
constexpr FlagName kFlagNames[] = {
    {0x0001, "UP "},          {0x0002, "BROADCAST "},  {0x0004, "DEBUG "},   {0x0008, "LOOPBACK "},
    {0x0010, "POINTOPOINT "}, {0x0020, "NOTRAILERS "}, {0x0040, "RUNNING "}, {0x0080, "NOARP "},
    {0x0100, "PROMISC "},     {0x0200, "ALLMULTI "},   {0x0800, "SLAVE "},   {0x0400, "MASTER "},
    {0x1000, "MULTICAST "},
};

constexpr size_t all_names_length() {
    size_t length = 0;
    for (const FlagName &name : kFlagNames)
        length += name.text.size();
    return length;
}
static_assert(all_names_length() < kFlagsTextSize, "every flag name fits with its terminator");

}  // namespace

void format_nic_flags(uint32_t flags, char *text) {
    size_t length = 0;
    for (const FlagName &name : kFlagNames) {
        if (!(flags & name.bit)) continue;
        std::memcpy(text + length, name.text.data(), name.text.size());
        length += name.text.size();
    }
    if (length == 0) text[length++] = ' ';
    text[length] = '\0';
}

const char *ipv6_scope_name(uint32_t scope) {
    switch (scope & 0xF0) {
        case 0x00:
            return "Global";
        case 0x10:
            return "Host";
        case 0x20:
            return "Link";
        case 0x40:
            return "Site";
        case 0x80:
            return "Compat";
        default:
            return "Unknown";
    }
}

}  // namespace kuv::net
