/* Compiled as strict C11: the endpoint header and records from C, and one
 * TCP connection over loopback through create, connect and accept. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "c11_check.h"
#include "davro_kuv.h"

/* Applications set these fields directly: their places are the contract. */
KUV_STATIC_ASSERT(offsetof(kuvnet, magic) == 0, "magic first");
KUV_STATIC_ASSERT(offsetof(kuvnet, protocol_type) == 12, "protocol_type after the magic");
KUV_STATIC_ASSERT(offsetof(kuvnet, peer_name) == 20, "names after the socket");
KUV_STATIC_ASSERT(offsetof(kuvnet, local_name) == 148, "local name after the peer name");
KUV_STATIC_ASSERT(offsetof(kuvnet_address, unix_address) % sizeof(void *) == 0,
                  "aligned socket address");

int main(void) {
    uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    kuvnet *listener = NULL, *client = NULL, *accepted = NULL;
    CHECK(kuv_xapi_kuvnet_init(&listener, 0) == 1);
    CHECK(kuv_xapi_kuvnet_init_with_version(&client, 0, 2) == 1);
    if (!listener || !client) return 1;

    listener->protocol_type = KUVNET_TCP | KUVNET_INET | KUVNET_IPV4;
    listener->is_server = 1;
    listener->port = 0;
    listener->use_accept_timeout = 1;
    listener->timeout = 5000;
    CHECK(kuv_xapi_kuvnet_set_local(listener, "tcp://127.0.0.1/", 1) == 1);
    CHECK(kuv_xapi_kuvnet_create(listener) == 1);
    CHECK(listener->port > 0);

    client->protocol_type = KUVNET_TCP;
    CHECK(kuv_xapi_kuvnet_set_remote(client, "127.0.0.1", 0) == 1);
    client->port = listener->port;
    CHECK(kuv_xapi_kuvnet_create(client) == 1);
    CHECK(kuv_xapi_kuvnet_connect(client) == 1);
    CHECK(kuv_xapi_kuvnet_accept(listener, &accepted) == 1);
    CHECK(accepted != NULL && strcmp(accepted->peer_name, "127.0.0.1") == 0);
    CHECK(kuv_xapi_kuvnet_check_valid_handle(accepted) == 1);
    CHECK(kuv_xapi_kuvnet_connect(listener) == KUVNET_RESULT_PASSIVE_MISUSE);

    CHECK(kuv_xapi_kuvnet_delete(&accepted) == 1 && accepted == NULL);
    CHECK(kuv_xapi_kuvnet_delete(&client) == 1);
    CHECK(kuv_xapi_kuvnet_delete(&listener) == 1);
    CHECK(kuv_xapi_get_allocated_memory_count() == blocks);
    if (failures == 0) puts("c11 kuvnet: ok");
    return failures == 0 ? 0 : 1;
}
