// The control connection: connect and welcome, disconnect, and the closing
// of the data connection that both share.
#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"
#include "sysio/wait.h"

namespace kuv::ftp {
namespace {

// Closes and deletes an endpoint with the two trace lines the client has
// always printed for it.
void drop_endpoint(kuvnet *&endpoint) {
    const uint32_t closed = kuv_xapi_kuvnet_close(endpoint);
    std::printf("close : %08XH\n", closed);
    const uint32_t deleted = kuv_xapi_kuvnet_delete(&endpoint);
    std::printf("delete : %08XH\n", deleted);
    endpoint = nullptr;
}

// Makes and connects the control endpoint. The failure message, or NULL.
const char *open_control(kuv_ftp_t *ftp, const char *host, int32_t port) {
    // The endpoint keeps KUVNET_NAME_SIZE - 1 characters of a name. Cut to
    // those, a longer host name may name another host, which would then get
    // the session and the password.
    if (host && std::strlen(host) > KUVNET_NAME_SIZE - 1) return "can not create";
    if (kuv_xapi_kuvnet_init_with_version(&ftp->control_endpoint, 1, kCoreVersion) != 1)
        return "can not kuv init";
    std::printf("kuv init : OK\n");
    kuvnet *endpoint = ftp->control_endpoint;
    endpoint->debug_level = kEndpointDebugLevel;
    endpoint->protocol_type = kTcpAnyFamily;
    endpoint->is_server = 0;
    endpoint->local_name[0] = '\0';
    kuv_xapi_copy_string_limit(endpoint->peer_name, host ? host : kLoopbackHost,
                               KUVNET_NAME_SIZE - 1);
    endpoint->port = port > 0 ? port : kDefaultControlPort;
    ftp->family = 0;
    if (kuv_xapi_kuvnet_create(endpoint) != 1) return "can not create";
    std::printf("kuv create : OK\n");
    if (kuv_xapi_kuvnet_connect(endpoint) != 1) return "can not connect";
    std::printf("kuv connect : OK\n");
    ftp->control_socket = endpoint->socket;
    struct sockaddr_storage peer;
    uint32_t length = sizeof peer;
    if (kuv_xapi_getpeername(ftp->control_socket, reinterpret_cast<struct sockaddr *>(&peer),
                             &length) == 1)
        ftp->family = peer.ss_family;
    return nullptr;
}

// Reads the welcome: success at the first coded line that is no
// continuation, whatever its code, read on past a preliminary one ("120
// ready in 5 minutes"), whose final welcome follows. Each line has
// control_timeout to come whole, as in every reply wait. The failure
// message, or NULL.
const char *read_welcome(kuv_ftp_t *ftp) {
    sysio::Deadline line_due(control_wait_of(ftp));
    for (;;) {
        const uint64_t held_before = held_reply_bytes(ftp);
        const int32_t code = KUV_FTP_SLOT(ftp, read_reply);
        if (held_reply_bytes(ftp) < held_before) line_due.restart();
        if (code > 0) {
            if (ftp->more_lines == 0 && !is_preliminary(code)) return nullptr;
            continue;
        }
        if (may_read_on(ftp, held_before)) continue;
        if (ftp->control_socket == -1) return "refuse connection socket";
        const uint32_t flags = KUV_FTP_SLOT(ftp, pump, line_due.remaining(), 0);
        if (flags & KUV_FTP_PUMP_CONTROL_CLOSED) return "refuse connection";
        if ((flags & KUV_FTP_PUMP_CONTROL_RECEIVED) == 0 ||
            (line_due.expired() && !holds_reply_line(ftp)))
            return "empty welcome message";
    }
}

// Reads (and drops) what the server still sends on the data connection
// until its end, for at most data_timeout: false when it resets instead. A
// time-out is no loss.
bool server_ends_in_order(kuv_ftp_t *ftp, int32_t socket) {
    const sysio::Deadline deadline(static_cast<int32_t>(ftp->data_timeout));
    for (;;) {
        const int32_t count =
            kuv_xapi_recv(socket, ftp->io_area, KUV_FTP_IO_AREA_SIZE, deadline.remaining());
        if (count < 0) return errno == 0;
        if (count == 0 || deadline.expired()) return true;
    }
}

}  // namespace

int32_t disconnect_via_slot(kuv_ftp_t *ftp) {
    auto *aux = static_cast<AuxBlock *>(ftp->aux);
    if (!aux) return KUV_FTP_SLOT(ftp, disconnect);
    if (aux->disconnecting) return ops::disconnect(ftp);
    aux->disconnecting = true;
    const int32_t result = KUV_FTP_SLOT(ftp, disconnect);
    aux->disconnecting = false;
    return result;
}

bool close_data_gracefully(kuv_ftp_t *ftp) {
    // The end of the data follows the last byte sent; then the server's own
    // end is awaited. A server ends in good order once it has read the end,
    // and so every byte before it; one that closes with bytes unread resets
    // the connection, and those bytes are lost whatever it replies.
    bool delivered = true;
    if (const int32_t socket = ftp->data_socket; socket != -1)
        delivered = ::shutdown(socket, SHUT_WR) == 0 && server_ends_in_order(ftp, socket);
    kuvnet *endpoint = ftp->data_endpoint;
    // Only a passive connection is the endpoint's own socket; an accepted
    // active-mode socket is closed without a reset anyway.
    if (!endpoint || endpoint->is_server != 0 || endpoint->socket == -1) return delivered;
    kuv_xapi_close_socket(endpoint->socket);
    endpoint->socket = -1;
    ftp->endpoint_socket = ftp->data_socket = -1;
    return delivered;
}

void drop_transfer_bytes(kuv_ftp_t *ftp) {
    if (ftp->download_buffer) kuv_xapi_flush_buffer(ftp->download_buffer);
    if (ftp->upload_buffer) kuv_xapi_flush_buffer(ftp->upload_buffer);
}

namespace ops {

int32_t close_data(kuv_ftp_t *ftp) {
    if (!ftp) return -1;
    if (ftp->accepted_socket != -1) kuv_xapi_close_socket(ftp->accepted_socket);
    // The endpoint owns endpoint_socket and closes it itself.
    if (ftp->data_endpoint) drop_endpoint(ftp->data_endpoint);
    ftp->accepted_socket = ftp->endpoint_socket = ftp->data_socket = -1;
    return 1;
}

int32_t disconnect(kuv_ftp_t *ftp) {
    if (!ftp) return -1;
    close_data(ftp);
    if (ftp->control_endpoint) drop_endpoint(ftp->control_endpoint);
    if (ftp->control_socket == -1) return 0;
    ftp->control_socket = -1;
    return 1;
}

int32_t connect(kuv_ftp_t *ftp, const char *host, int32_t port) {
    if (!ftp) return -1;
    disconnect_via_slot(ftp);
    const char *failure = open_control(ftp, host, port);
    if (!failure) {
        for (kuv_buffer_t **buffer : {&ftp->command_buffer, &ftp->reply_buffer, &ftp->upload_buffer,
                                      &ftp->download_buffer}) {
            if (*buffer) *buffer = kuv_xapi_close_buffer(*buffer);
        }
        ftp->reply_buffer = kuv_xapi_open_buffer();
        // A multi-line reply an earlier connection left unfinished is no
        // part of this one's welcome.
        ftp->more_lines = 0;
        if (ftp->secure_mode == 1)
            say("not supported standard sftp");
        else if (ftp->secure_mode != 0)
            say("unknown secure mode");
        failure = read_welcome(ftp);
    }
    if (!failure) return 1;
    say(failure);
    disconnect_via_slot(ftp);
    return 0;
}

}  // namespace ops
}  // namespace kuv::ftp
