/* Compiled as strict C11: the socket and address-text declarations from C. */
#include <stdio.h>
#include <string.h>

#include "davro_kuv.h"

int main(void) {
    unsigned char address[16];
    char text[64];
    int ok = kuv_mapi_inet_pton(10, "fe80::1", address) == 1 &&
             strcmp(kuv_mapi_inet_ntop(10, address, text, sizeof text), "fe80::1") == 0 &&
             kuv_xapi_inet_pton(2, "127.0.0.1", address) == 1 &&
             strcmp(kuv_xapi_inet_ntop(2, address, text, sizeof text), "127.0.0.1") == 0 &&
             kuv_xapi_inet_pton_ipv4("10.0.0.1", 0) == 0x0A000001u &&
             kuv_xapi_close_socket(-1) == -1;
    int32_t udp = kuv_xapi_open_socket(2, 2, kuv_xapi_get_protocol_by_name("udp"));
    ok = ok && udp >= 0 &&
         kuv_xapi_poll_socket(udp, KUV_SOCKET_POLL_WRITABLE, 1000) == KUV_SOCKET_POLL_WRITABLE &&
         kuv_xapi_rx_poll_socket(udp, 0) == 0 && kuv_xapi_hops_socket(0, udp, 9, 0) == 1 &&
         kuv_xapi_hops_socket(2, udp, -1, 0) == 9 && kuv_xapi_close_socket(udp) == 1;
    puts(ok ? "c11 sysio socket: ok" : "c11 sysio socket: FAILED");
    return ok ? 0 : 1;
}
