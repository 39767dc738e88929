// Socket set-up and names: network start and stop, open and close, bind and
// listen, host, own and peer names.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "davro_kuv/sysio.h"
#include "platform/sorvan_vkl.h"
#include "sysio/descriptor_guard.h"
#include "sysio/socket_internal.h"

namespace {

// The size assumed for an address buffer given without its length: a
// struct sockaddr_storage.
constexpr socklen_t kAddressStorageBytes = 128;
static_assert(sizeof(struct sockaddr_storage) == kAddressStorageBytes);

// The socket's own or its peer's address through `call`; a NULL length
// pointer stands for a storage-sized buffer whose length is not returned.
// 1 done, else `failure`.
int32_t socket_name(int (*call)(int, struct sockaddr *, socklen_t *), int32_t socket,
                    struct sockaddr *address, uint32_t *address_length, int32_t failure) {
    if (kuv::sysio::no_socket(socket)) return failure;
    if (!address) {
        errno = EINVAL;
        return failure;
    }
    socklen_t length = address_length ? *address_length : kAddressStorageBytes;
    if (call(socket, address, &length) != 0) return failure;
    if (address_length) *address_length = length;
    return 1;
}

}  // namespace

extern "C" {

int32_t kuv_xapi_initialize_network(void) {
    return sorvan_init_network() == 0 ? 1 : -1;
}

int32_t kuv_xapi_uninitialize_network(void) {
    return sorvan_uninit_network() == 0 ? 1 : -1;
}

int32_t kuv_xapi_intr_break(void) {
    return kuv::sysio::kRepeatOnInterrupt;
}

int32_t kuv_xapi_get_protocol_by_name(const char *name) {
    return sorvan_get_protocol_by_name(name);
}

int32_t kuv_xapi_open_socket(int32_t domain, int32_t type, int32_t protocol) {
    return kuv::sysio::above_standard_streams(::socket(domain, type, protocol));
}

int32_t kuv_xapi_close_socket_intr(int32_t socket, int32_t interruption_flag) {
    if (kuv::sysio::no_socket(socket)) return -1;
    if (::close(socket) == 0) return 1;
    if (errno != EINTR) return -1;
    // Linux has released the descriptor before reporting EINTR. Closing it
    // again would fail with EBADF at best, and at worst close a descriptor
    // that another thread has been given in the meantime.
    return interruption_flag != 0 ? 2 : 1;
}

int32_t kuv_xapi_close_socket(int32_t socket) {
    return kuv_xapi_close_socket_intr(socket, kuv_xapi_intr_break());
}

int32_t kuv_xapi_gethostname(char *buffer, uint64_t size) {
    if (!buffer) return -1;
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    // gethostname leaves a cut name unterminated; the last byte is ours.
    if (::gethostname(buffer, size) != 0) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[size - 1] = '\0';
    return 1;
}

int32_t kuv_xapi_getsockname(int32_t socket, struct sockaddr *address, uint32_t *address_length) {
    return socket_name(::getsockname, socket, address, address_length, -1);
}

int32_t kuv_xapi_getpeername(int32_t socket, struct sockaddr *address, uint32_t *address_length) {
    return socket_name(::getpeername, socket, address, address_length, 0);
}

int32_t kuv_xapi_bind(int32_t socket, const struct sockaddr *address, uint32_t address_length) {
    if (kuv::sysio::no_socket(socket)) return -1;
    return ::bind(socket, address, address_length) == 0 ? 1 : 0;
}

int32_t kuv_xapi_listen(int32_t socket, int32_t backlog) {
    if (kuv::sysio::no_socket(socket)) return -1;
    return ::listen(socket, backlog) == 0 ? 1 : 0;
}

}  // extern "C"
