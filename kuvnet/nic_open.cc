// The interface snapshot: open runs the three steps in turn, each extending
// the list of the one before; close frees the whole list.
#include "kuvnet/nic_internal.h"

using namespace kuv::net;

extern "C" {

nic *kuv_xapi_open_nic(void) {
    NicChain chain;
    read_proc_net_dev(chain);
    query_nic_ipv4(chain);
    read_if_inet6(chain);
    return chain.head;
}

int32_t kuv_xapi_close_nic(nic *list) {
    while (list) {
        nic *next = list->next;
        free_nic(list);
        list = next;
    }
    return 0;
}

}  // extern "C"
