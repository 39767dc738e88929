// kuv_ipv4_bind: binding a socket to an IPv4 address and port given as
// host-order numbers.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "davro_kuv/kuvnet.h"
#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"

extern "C" {

int32_t kuv_ipv4_bind(int32_t socket, uint32_t address, uint16_t port) {
    struct sockaddr_in bound;
    std::memset(&bound, 0, sizeof bound);
    bound.sin_family = AF_INET;
    bound.sin_port = static_cast<uint16_t>(kuv_xapi_beword_value(port));
    bound.sin_addr.s_addr = kuv_xapi_bedword_value(address);
    // The system's own result: 0 bound, -1 not.
    return kuv_xapi_bind(socket, reinterpret_cast<const struct sockaddr *>(&bound), sizeof bound) ==
                   1
               ? 0
               : -1;
}

}  // extern "C"
