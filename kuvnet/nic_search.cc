// Searching an interface list by interface name or by address. An address
// is given as text or host name: it is looked up first and its addresses
// are compared byte for byte, in the lookup's order; a text that does not
// resolve is compared with the entries' own texts instead.
#include <netdb.h>
#include <netinet/in.h>

#include "davro_kuv/text.h"
#include "kuvnet/nic_internal.h"

namespace kuv::net {

namespace {

// The lookup result, freed on every return.
class LookupResult {
  public:
    explicit LookupResult(const char *text) {
        struct addrinfo hints = {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        if (getaddrinfo(text, nullptr, &hints, &list_) != 0) list_ = nullptr;
    }
    ~LookupResult() {
        if (list_) freeaddrinfo(list_);
    }
    LookupResult(const LookupResult &) = delete;
    LookupResult &operator=(const LookupResult &) = delete;
    const struct addrinfo *get() const { return list_; }

  private:
    struct addrinfo *list_ = nullptr;
};

// IPv4 texts compare exactly; IPv6 texts ignore letter case, since the
// same address is written with upper- or lower-case hexadecimal digits.
void *match_text(nic *list, const char *text) {
    for (nic *record = list; record; record = record->next) {
        for (nic_ipv4 *entry = record->ipv4_list; entry; entry = entry->next)
            if (kuv_xapi_compare_string(entry->address_text, text) == 0) return entry;
        for (nic_ipv6 *entry = record->ipv6_list; entry; entry = entry->next)
            if (kuv_xapi_compare_case_string(entry->address_text, text) == 0) return entry;
    }
    return nullptr;
}

void *match_address(nic *list, const struct sockaddr *address) {
    if (address->sa_family == AF_INET) {
        const auto *inet = reinterpret_cast<const struct sockaddr_in *>(address);
        for (nic *record = list; record; record = record->next)
            for (nic_ipv4 *entry = record->ipv4_list; entry; entry = entry->next)
                if (entry->family == AF_INET &&
                    std::memcmp(entry->address, &inet->sin_addr, sizeof entry->address) == 0)
                    return entry;
    } else if (address->sa_family == AF_INET6) {
        const auto *inet6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
        // A link-local address is only unique on its link: one that names
        // its interface ("fe80::1%eth1") must not find the same address on
        // another.
        const uint32_t scope = inet6->sin6_scope_id;
        for (nic *record = list; record; record = record->next)
            for (nic_ipv6 *entry = record->ipv6_list; entry; entry = entry->next)
                if (entry->family == AF_INET6 && (scope == 0 || entry->if_index == scope) &&
                    std::memcmp(entry->address, &inet6->sin6_addr, sizeof entry->address) == 0)
                    return entry;
    }
    return nullptr;
}

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

nic *kuv_xapi_search_nic_by_name(nic *list, const char *name) {
    if (!name) return nullptr;
    for (nic *record = list; record; record = record->next)
        if (kuv_xapi_compare_string(record->name, name) == 0) return record;
    return nullptr;
}

void *kuv_xapi_search_nic_ip_by_ip(nic *list, const char *address) {
    if (!list || !address) return nullptr;
    LookupResult lookup(address);
    if (!lookup.get()) return match_text(list, address);
    for (const struct addrinfo *entry = lookup.get(); entry; entry = entry->ai_next) {
        if (!entry->ai_addr) continue;
        if (void *found = match_address(list, entry->ai_addr)) return found;
    }
    return nullptr;
}

nic *kuv_xapi_search_nic_by_ip(nic *list, const char *address) {
    void *entry = kuv_xapi_search_nic_ip_by_ip(list, address);
    if (!entry) return nullptr;
    // Both entry kinds open with their family, which tells them apart.
    switch (*static_cast<const uint16_t *>(entry)) {
        case AF_INET:
            return static_cast<nic_ipv4 *>(entry)->nic;
        case AF_INET6:
            return static_cast<nic_ipv6 *>(entry)->nic;
        default:
            return nullptr;
    }
}

}  // extern "C"
