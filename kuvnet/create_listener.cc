// The listening sockets of passive stream endpoints: TCP on the first local
// address that binds and listens, Unix-domain on a path.
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>

#include "davro_kuv/sysio.h"
#include "kuvnet/endpoint_steps.h"
#include "kuvnet/kuvnet_internal.h"
#include "sysio/descriptor_guard.h"

namespace kuv::net {

namespace {

// A listening socket is non-blocking. Every process that shares it (one
// forked after create) wakes for a connection that only one of them takes:
// on a blocking socket the accept of each other one would then wait for the
// next connection, past its time-out. Non-blocking, it finds nothing and
// waits for the rest of its time-out.
constexpr int32_t kListenerFlags = SOCK_NONBLOCK;

// Whether nobody listens on the socket file at address: a connect is
// refused at once. A listener answers, or has its queue full, without
// blocking the probe; when no probe can be made the file counts as taken.
bool nobody_listens(const struct sockaddr *address) {
    sysio::DescriptorGuard probe(
        kuv_xapi_open_socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!probe) return false;
    return ::connect(probe.get(), address, kUnixAddressLength) != 0 && errno == ECONNREFUSED;
}

// A socket file left behind by an earlier listener: it keeps the path
// taken although nobody listens on it any more. Only a socket nobody
// listens on is taken for one: a regular file at a mistyped path must
// survive, and so must the path of a listener that still runs, which would
// otherwise lose every later client to this one.
bool remove_stale_socket_file(const char *path, const struct sockaddr *address) {
    struct stat status;
    if (::lstat(path, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
    if (!nobody_listens(address)) return false;
    return kuv_xapi_remove(path) == 1;
}

}  // namespace

uint32_t create_tcp_listener(kuvnet *handle) {
    if (port_out_of_range(handle->port)) return fail(handle, KUVNET_RESULT_PORT_RANGE);
    if (!is_passive(handle)) return KUV_RESULT_OK;

    kuvnet_address *local = &handle->local_address;
    if (resolve_address(handle, local, handle->local_name, handle->port) != KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_LOCAL_NAME);
    if (!local->addresses &&
        resolve_address(handle, local, wildcard_for_type(handle->protocol_type), handle->port) !=
            KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_LOCAL_NAME);
    local->selected = nullptr;

    for (const struct addrinfo *entry = local->addresses; entry; entry = entry->ai_next) {
        sysio::DescriptorGuard socket(open_entry_socket(entry, kListenerFlags));
        if (!socket) continue;
        if (handle->reuse_address == 1) kuv_xapi_set_reuse_socket(socket.get(), 1);
        if (kuv_xapi_bind(socket.get(), entry->ai_addr, entry->ai_addrlen) != 1) continue;
        if (kuv_xapi_listen(socket.get(), kListenBacklog) != 1) continue;
        handle->socket = socket.release();
        read_back_port(handle);
        local->selected = entry->ai_addr;
        trace_handle(handle, "listen");
        return KUV_RESULT_OK;
    }
    return fail(handle, KUVNET_RESULT_BIND);
}

uint32_t create_unix_listener(kuvnet *handle) {
    if (!is_passive(handle)) return KUV_RESULT_OK;
    kuvnet_address *local = &handle->local_address;
    if (handle->local_name[0] == '\0' ||
        resolve_address(handle, local, handle->local_name, handle->port) != KUV_RESULT_OK)
        return fail(handle, KUVNET_RESULT_LOCAL_NAME);

    sysio::DescriptorGuard socket(
        kuv_xapi_open_socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | kListenerFlags, 0));
    if (!socket) return fail(handle, KUVNET_RESULT_UNIX_SOCKET);
    const auto *path = reinterpret_cast<const struct sockaddr *>(&local->unix_address);
    if (kuv_xapi_bind(socket.get(), path, kUnixAddressLength) != 1 &&
        (!remove_stale_socket_file(handle->local_name, path) ||
         kuv_xapi_bind(socket.get(), path, kUnixAddressLength) != 1))
        return fail(handle, KUVNET_RESULT_BIND);
    if (kuv_xapi_listen(socket.get(), kListenBacklog) != 1)
        return fail(handle, KUVNET_RESULT_UNIX_LISTEN);
    handle->socket = socket.release();
    if (handle->debug_level > kTraceLifecycle) {
        std::printf(
            "kuv: [MESSAGE] listen uds (error_code=%08XH, protocol_type=%08lXH, "
            "local_name=\"%s\")\n",
            handle->error_code, static_cast<unsigned long>(handle->protocol_type),
            handle->local_name);
    }
    return KUV_RESULT_OK;
}

}  // namespace kuv::net
