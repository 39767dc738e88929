// The interface records: finding and appending them by name while the list
// is built, and freeing them with everything they own.
#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"
#include "kuvnet/nic_internal.h"

namespace kuv::net {

nic *NicChain::find(const char *name) const {
    if (index.usable()) return index.find(name);
    for (nic *record = head; record; record = record->next) {
        if (kuv_xapi_compare_string(record->name, name) == 0) return record;
    }
    return nullptr;
}

nic *NicChain::find_or_append(const char *name) {
    if (!name || name[0] == '\0') return nullptr;
    if (nic *known = find(name)) return known;
    auto *record = static_cast<nic *>(noted(kuv_xapi_calloc(1, sizeof(nic))));
    if (!record) return nullptr;
    record->name = noted(kuv_xapi_alloc_string(name, 0));
    // A record without its name could never be found again: drop it.
    if (!record->name) {
        kuv_xapi_free(record);
        return nullptr;
    }
    if (tail) {
        tail->next = record;
    } else {
        head = record;
    }
    tail = record;
    index.add(record);
    return record;
}

void free_nic(nic *record) {
    while (nic_ipv6 *entry = record->ipv6_list) {
        record->ipv6_list = entry->next;
        free_block(entry->address_text);
        free_block(entry->scope_name);
        kuv_xapi_free(entry);
    }
    while (nic_ipv4 *entry = record->ipv4_list) {
        record->ipv4_list = entry->next;
        free_block(entry->address_text);
        free_block(entry->netmask_text);
        free_block(entry->broadcast_text);
        free_block(entry->destination_text);
        kuv_xapi_free(entry);
    }
    free_block(record->flags_text);
    free_block(record->mac_text);
    free_block(record->mac);
    free_block(record->device_name);
    free_block(record->name);
    kuv_xapi_free(record);
}

}  // namespace kuv::net
