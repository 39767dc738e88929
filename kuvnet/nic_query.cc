// Step 2 of the interface enumeration: the interface queries of a probe
// socket. The interface list query adds interfaces that /proc/net/dev did
// not show; then every interface is asked for its IPv4 address (with
// netmask, broadcast and point-to-point addresses), hardware address, MTU,
// metric and flags; the further IPv4 addresses the list query named come
// last. A query that fails leaves that piece out.
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <utility>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "kuvnet/nic_internal.h"
#include "runtime/guards.h"
#include "sysio/descriptor_guard.h"

namespace kuv::net {

namespace {

// The interface list query answers one entry per IPv4 address label (40
// bytes; 32 on 32-bit targets) into a buffer that doubles from the first
// size while the answer fills it. A host with containers or many labels
// lists thousands: a ceiling of a few hundred entries would cut the list
// and leave the rest out unnoticed. The largest size (16 million entries)
// stays within what the query's int length can say.
constexpr uint64_t kListFirstSize = 640;
constexpr uint64_t kListMax = kListFirstSize << 20;
static_assert(sizeof(struct ifreq) == (sizeof(long) == 8 ? 40 : 32), "one interface list entry");
static_assert(kListFirstSize % sizeof(struct ifreq) == 0, "whole entries");

constexpr size_t kAddressTextSize = 64;
constexpr size_t kMacSize = 6;

// Any socket serves for the queries; the first kind that opens is used. It
// is closed on exec like every other socket of the library: a program
// another thread starts meanwhile must not get it.
int32_t open_probe_socket() {
    struct Kind {
        int32_t family, type, protocol;
    };
    constexpr Kind kKinds[] = {{AF_INET, SOCK_DGRAM, IPPROTO_UDP},
                               {AF_INET, SOCK_STREAM, IPPROTO_TCP},
                               {AF_INET6, SOCK_DGRAM, IPPROTO_UDP},
                               {AF_INET6, SOCK_STREAM, IPPROTO_TCP}};
    for (const Kind &kind : kKinds) {
        int32_t probe = kuv_xapi_open_socket(kind.family, kind.type | SOCK_CLOEXEC, kind.protocol);
        if (probe >= 0) return probe;
    }
    return -1;
}

// Copies an interface name into a request, always terminated.
void set_request_name(struct ifreq &request, const char *name) {
    std::memset(&request, 0, sizeof request);
    kuv_xapi_copy_string_limit(request.ifr_name, name, IFNAMSIZ - 1);
}

bool query(int32_t probe, unsigned long code, const char *name, struct ifreq &request) {
    set_request_name(request, name);
    return ::ioctl(probe, code, &request) == 0;
}

// The interface list query's answer: one entry per IPv4 address, named by
// the address's label (the interface's name unless it was given another,
// such as "eth0:1").
struct ListedAddresses {
    TrackedBlock buffer;
    uint64_t length = 0;
};

// The interfaces the system lists with an IPv4 address; listed keeps the
// answer.
void add_listed_interfaces(NicChain &chain, int32_t probe, ListedAddresses &listed) {
    for (uint64_t size = kListFirstSize; size <= kListMax; size *= 2) {
        TrackedBlock buffer(noted(kuv_xapi_alloc(size)));
        if (!buffer) return;
        struct ifconf list;
        list.ifc_len = static_cast<int>(size);
        list.ifc_buf = buffer.chars();
        if (::ioctl(probe, SIOCGIFCONF, &list) != 0) return;
        const auto answered = static_cast<uint64_t>(list.ifc_len);
        if (answered < sizeof(struct ifreq)) return;
        // A full buffer may have cut the list: ask again with more room,
        // unless this was the largest, whose entries are still good.
        if (answered == size && size < kListMax) continue;
        for (uint64_t offset = 0; offset + sizeof(struct ifreq) <= answered;
             offset += sizeof(struct ifreq)) {
            char name[IFNAMSIZ + 1];
            kuv_xapi_copy_string_limit(name, buffer.chars() + offset, IFNAMSIZ);
            chain.find_or_append(name);
        }
        listed.buffer = std::move(buffer);
        listed.length = answered;
        return;
    }
}

char *address_text(const struct sockaddr &address) {
    char text[kAddressTextSize];
    if (!kuv_xapi_inet_stop(&address, text, sizeof text)) return nullptr;
    return noted(kuv_xapi_alloc_string(text, 0));
}

char *query_address_text(int32_t probe, unsigned long code, const char *name) {
    struct ifreq request;
    if (!query(probe, code, name, request)) return nullptr;
    return address_text(request.ifr_addr);
}

// A new entry of the interface with the address and its text, or null.
nic_ipv4 *new_entry(nic *record, const struct sockaddr &address) {
    auto *entry = static_cast<nic_ipv4 *>(noted(kuv_xapi_calloc(1, sizeof(nic_ipv4))));
    if (!entry) return nullptr;
    entry->family = AF_INET;
    entry->nic = record;
    const auto *inet = reinterpret_cast<const struct sockaddr_in *>(&address);
    std::memcpy(entry->address, &inet->sin_addr, sizeof entry->address);
    entry->address_text = address_text(address);
    // An entry without its text could never be searched for: drop it.
    if (!entry->address_text) {
        kuv_xapi_free(entry);
        return nullptr;
    }
    return entry;
}

// Adds an entry with the address at the end of the interface's list and
// returns it; null when the list holds the address already (one walk finds
// it or the end) or the entry cannot be made.
nic_ipv4 *add_entry(nic *record, const struct sockaddr &address) {
    const auto *inet = reinterpret_cast<const struct sockaddr_in *>(&address);
    nic_ipv4 **place = &record->ipv4_list;
    while (*place && std::memcmp((*place)->address, &inet->sin_addr, sizeof inet->sin_addr) != 0)
        place = &(*place)->next;
    if (*place) return nullptr;
    return *place = new_entry(record, address);
}

void query_ipv4_address(int32_t probe, nic *record) {
    struct ifreq request;
    if (!query(probe, SIOCGIFADDR, record->device_name, request)) return;
    nic_ipv4 *entry = add_entry(record, request.ifr_addr);
    if (!entry) return;
    entry->netmask_text = query_address_text(probe, SIOCGIFNETMASK, record->device_name);
    entry->broadcast_text = query_address_text(probe, SIOCGIFBRDADDR, record->device_name);
    entry->destination_text = query_address_text(probe, SIOCGIFDSTADDR, record->device_name);
}

// The address queries answer for a label's first address only; the list
// query names every address, so the further ones of a label (several
// addresses given to one interface without labels of their own) follow
// its first. The queries by name would answer the first address's
// netmask, broadcast and peer, so these entries have none.
void add_further_addresses(NicChain &chain, const ListedAddresses &listed) {
    for (uint64_t offset = 0; offset + sizeof(struct ifreq) <= listed.length;
         offset += sizeof(struct ifreq)) {
        struct ifreq entry;
        std::memcpy(&entry, listed.buffer.chars() + offset, sizeof entry);
        if (entry.ifr_addr.sa_family != AF_INET) continue;
        char name[IFNAMSIZ + 1];
        kuv_xapi_copy_string_limit(name, entry.ifr_name, IFNAMSIZ);
        nic *record = name[0] ? chain.find(name) : nullptr;
        if (record) add_entry(record, entry.ifr_addr);
    }
}

void query_hardware_address(int32_t probe, nic *record) {
    struct ifreq request;
    if (!query(probe, SIOCGIFHWADDR, record->device_name, request)) return;
    free_block(record->mac);
    free_block(record->mac_text);
    record->mac = nullptr;
    record->mac_text = nullptr;
    const auto *bytes = reinterpret_cast<const uint8_t *>(request.ifr_hwaddr.sa_data);
    bool any_set = false;
    for (size_t index = 0; index < kMacSize; ++index)
        any_set = any_set || bytes[index] != 0;
    // Loopback and tunnels answer all zeros: they have no hardware address.
    if (!any_set) return;
    record->mac = static_cast<uint8_t *>(noted(kuv_xapi_alloc(kMacSize)));
    if (!record->mac) return;
    std::memcpy(record->mac, bytes, kMacSize);
    record->mac_text =
        noted(kuv_xapi_alloc_sprintf("%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2],
                                     bytes[3], bytes[4], bytes[5]));
}

void query_link(int32_t probe, nic *record) {
    struct ifreq request;
    if (query(probe, SIOCGIFMTU, record->device_name, request)) record->mtu = request.ifr_mtu;
    if (query(probe, SIOCGIFMETRIC, record->device_name, request))
        record->metric = request.ifr_metric < 1 ? 1 : request.ifr_metric;
    if (query(probe, SIOCGIFFLAGS, record->device_name, request)) {
        record->flags = static_cast<uint16_t>(request.ifr_flags);
        char text[kFlagsTextSize];
        format_nic_flags(record->flags, text);
        free_block(record->flags_text);
        record->flags_text = noted(kuv_xapi_alloc_string(text, 0));
    }
}

}  // namespace

void query_nic_ipv4(NicChain &chain) {
    sysio::DescriptorGuard probe(open_probe_socket());
    if (!probe) return;
    ListedAddresses listed;
    add_listed_interfaces(chain, probe.get(), listed);
    for (nic *record = chain.head; record; record = record->next) {
        if (!record->device_name)
            record->device_name = noted(kuv_xapi_alloc_string(record->name, 0));
        if (!record->device_name) continue;
        query_ipv4_address(probe.get(), record);
        query_hardware_address(probe.get(), record);
        query_link(probe.get(), record);
    }
    add_further_addresses(chain, listed);
}

}  // namespace kuv::net
