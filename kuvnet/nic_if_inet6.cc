// Step 3 of the interface enumeration: the IPv6 addresses from
// /proc/net/if_inet6, one per line:
//   fe8000000000000000fc00fffe000001 04 40 20 80     eth0
// the address as 32 hexadecimal digits, then the interface index, prefix
// length, scope and flags in hexadecimal, then the interface name. An
// interface met here for the first time (one with IPv6 addresses only) is
// appended to the list.
#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "kuvnet/nic_internal.h"
#include "platform/sorvan_vkl.h"

namespace kuv::net {

namespace {

constexpr int32_t kFamilyIpv6 = 10;
constexpr int kFieldCount = 13;
constexpr size_t kAddressTextSize = 64;

struct Inet6Line {
    char groups[8][5];
    unsigned int if_index, prefix_length, scope, flags;
    char device[21];
};

// Appends the entry at the end of the interface's list, keeping file order.
void append_entry(nic *record, nic_ipv6 *entry) {
    nic_ipv6 **place = &record->ipv6_list;
    while (*place)
        place = &(*place)->next;
    *place = entry;
}

void parse_line(NicChain &chain, const char *line) {
    Inet6Line fields;
    if (sorvan_sscanf(line, "%4s%4s%4s%4s%4s%4s%4s%4s %08x %02x %02x %02x %20s", fields.groups[0],
                      fields.groups[1], fields.groups[2], fields.groups[3], fields.groups[4],
                      fields.groups[5], fields.groups[6], fields.groups[7], &fields.if_index,
                      &fields.prefix_length, &fields.scope, &fields.flags,
                      fields.device) != kFieldCount)
        return;
    char joined[8 * 5];
    kuv_xapi_snprintf(joined, sizeof joined, "%s:%s:%s:%s:%s:%s:%s:%s", fields.groups[0],
                      fields.groups[1], fields.groups[2], fields.groups[3], fields.groups[4],
                      fields.groups[5], fields.groups[6], fields.groups[7]);
    // A line whose digits do not make an address names no address at all.
    uint8_t address[16];
    char text[kAddressTextSize];
    if (kuv_xapi_inet_pton(kFamilyIpv6, joined, address) != 1) return;
    if (!kuv_xapi_inet_ntop(kFamilyIpv6, address, text, sizeof text)) return;

    nic *record = chain.find_or_append(fields.device);
    if (!record) return;
    auto *entry = static_cast<nic_ipv6 *>(noted(kuv_xapi_calloc(1, sizeof(nic_ipv6))));
    if (!entry) return;
    entry->family = kFamilyIpv6;
    entry->nic = record;
    entry->if_index = fields.if_index;
    entry->prefix_length = fields.prefix_length;
    entry->scope = fields.scope;
    entry->flags = fields.flags;
    std::memcpy(entry->address, address, sizeof address);
    entry->address_text = noted(kuv_xapi_alloc_string(text, 0));
    entry->scope_name = noted(kuv_xapi_alloc_string(ipv6_scope_name(fields.scope), 0));
    if (!entry->address_text || !entry->scope_name) {
        free_block(entry->address_text);
        free_block(entry->scope_name);
        kuv_xapi_free(entry);
        return;
    }
    append_entry(record, entry);
}

}  // namespace

void parse_if_inet6(NicChain &chain, std::string_view content) {
    for_each_line(content, [&](const char *line) { parse_line(chain, line); });
}

void read_if_inet6(NicChain &chain, const char *path) {
    FileBytes file;
    if (file.read(path)) parse_if_inet6(chain, file.view());
}

}  // namespace kuv::net
