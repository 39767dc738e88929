// The parsers of /proc/net/dev and /proc/net/if_inet6 on any bytes (the
// first byte picks the parsers, the rest is the file). Properties: every
// record has a non-empty name met only once and the tail is the last
// record; every IPv6 entry points back at its record, its canonical text
// parses back to its address and its scope name follows its scope; the
// parsers make no IPv4 entries; closing the list leaves the heap as it was.
#include <arpa/inet.h>

#include <cstring>
#include <string_view>

#include "kuvnet/nic_internal.h"
#include "text_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    text_fuzz::HeapBalance balance;
    if (size < 1) return 0;
    const uint8_t pick = data[0];
    std::string_view content(reinterpret_cast<const char *>(data + 1), size - 1);
    kuv::net::NicChain chain;
    if (pick & 1) kuv::net::parse_proc_net_dev(chain, content);
    if (pick & 2) kuv::net::parse_if_inet6(chain, content);

    const nic *last = nullptr;
    for (const nic *record = chain.head; record; record = record->next) {
        FUZZ_CHECK(record->name && record->name[0] != '\0');
        for (const nic *other = record->next; other; other = other->next)
            FUZZ_CHECK(std::strcmp(other->name, record->name) != 0);
        FUZZ_CHECK(record->ipv4_list == nullptr);
        for (const nic_ipv6 *entry = record->ipv6_list; entry; entry = entry->next) {
            FUZZ_CHECK(entry->family == AF_INET6 && entry->nic == record);
            uint8_t address[16];
            FUZZ_CHECK(inet_pton(AF_INET6, entry->address_text, address) == 1);
            FUZZ_CHECK(std::memcmp(address, entry->address, 16) == 0);
            FUZZ_CHECK(std::strcmp(entry->scope_name, kuv::net::ipv6_scope_name(entry->scope)) ==
                       0);
        }
        last = record;
    }
    FUZZ_CHECK(chain.tail == last);
    kuv_xapi_close_nic(chain.head);
    return 0;
}
