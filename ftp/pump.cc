// The pump: one call moves what is available on the control connection and
// the data connection, under the shared one-second rate window.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>

#include "buffer/buffer_internal.h"
#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "ftp/ftp_internal.h"
#include "kuvnet/endpoint_steps.h"
#include "sysio/wait.h"

namespace kuv::ftp {
namespace {

// How long an active-mode accept waits once control bytes have arrived in
// the same call: the server connects before it announces the transfer, so
// a connection still missing then is not worth a long wait.
constexpr int32_t kAcceptAfterControlMsec = 10;
constexpr uint64_t kWindowMsec = 1000;
constexpr uint64_t kMsecPerSecond = 1000;
constexpr uint64_t kBitsPerByte = 8;

uint64_t held(const kuv_buffer_t *buffer) {
    return static_cast<uint64_t>(kuv_xapi_get_buffer_size(const_cast<kuv_buffer_t *>(buffer)));
}

// Starts a new rate window when the budget is spent and the current window
// (if any) is a second old. Returns the budget.
uint64_t renew_budget(kuv_ftp_t *ftp, uint32_t limit_bits) {
    if (ftp->rate_budget != 0) return ftp->rate_budget;
    const uint64_t now = kuv_xapi_time_stamp();
    if (ftp->rate_window_start == 0 || now - ftp->rate_window_start >= kWindowMsec) {
        ftp->rate_window_start = now;
        ftp->rate_budget = limit_bits / kBitsPerByte;
    }
    return ftp->rate_budget;
}

// Bytes per second, without forming bytes * 1000, which passes 64 bits once
// a transfer has moved 18 PB and would make the rate a small wrapped value;
// a rate that does not fit is the largest one.
uint64_t bytes_per_second(uint64_t bytes, uint64_t msec) {
    msec = std::max<uint64_t>(msec, 1);
    uint64_t whole;
    uint64_t rate;
    if (__builtin_mul_overflow(bytes / msec, kMsecPerSecond, &whole) ||
        __builtin_add_overflow(whole, bytes % msec * kMsecPerSecond / msec, &rate))
        return UINT64_MAX;
    return rate;
}

void account(kuv_ftp_t *ftp, uint64_t bytes) {
    ftp->rate_budget -= std::min(ftp->rate_budget, bytes);
    ftp->transfer_bytes += bytes;
    ftp->transfer_elapsed = kuv_xapi_time_stamp() - ftp->transfer_start;
    ftp->transfer_rate = bytes_per_second(ftp->transfer_bytes, ftp->transfer_elapsed);
}

// Control input: everything that arrives, waiting `wait` ms for the first
// bytes only. The reply buffer takes at most KUV_FTP_LINE_LIMIT bytes
// before the reader has had its turn (the rest waits in the socket); held
// bytes that reach the limit without a complete line are an endless line,
// and the connection is dropped as failed.
uint32_t receive_control(kuv_ftp_t *ftp, int32_t wait) {
    uint32_t flags = 0;
    for (;;) {
        if (ftp->reply_buffer && held(ftp->reply_buffer) >= KUV_FTP_LINE_LIMIT) {
            if (!buffer::find_line(*ftp->reply_buffer).found) disconnect_via_slot(ftp);
            return flags;
        }
        const int32_t count =
            kuv_xapi_recv(ftp->control_socket, ftp->io_area, KUV_FTP_IO_AREA_SIZE, wait);
        if (count == 0) return flags;
        if (count < 0) {
            // A close that comes with the last bytes (a server closes as it
            // says goodbye) shows at the next call: the bytes are read
            // first, and the connection stays open until the caller asks
            // for more or disconnects.
            if (flags & KUV_FTP_PUMP_CONTROL_RECEIVED) return flags;
            // Dropping the control connection drops the data connection
            // too: whatever it still held is lost to the transfer.
            if (ftp->data_endpoint) ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
            disconnect_via_slot(ftp);
            return flags;
        }
        if (!ftp->reply_buffer) ftp->reply_buffer = kuv_xapi_open_buffer();
        if (!ftp->reply_buffer ||
            kuv_xapi_push_buffer_ex(ftp->reply_buffer, ftp->io_area, static_cast<uint64_t>(count),
                                    0) != static_cast<uint64_t>(count)) {
            disconnect_via_slot(ftp);
            return flags;
        }
        flags |= KUV_FTP_PUMP_CONTROL_RECEIVED;
        // Once bytes have come, the rest is taken only as far as it is
        // already there, whatever the wait was (a negative wait included).
        wait = 0;
    }
}

// The data socket of this call: the passive connection, or the connection
// accepted from the active listener (waiting for it as the flags allow).
void find_data_socket(kuv_ftp_t *ftp, uint32_t flags) {
    const bool listener = ftp->data_endpoint && ftp->data_endpoint->is_server != 0;
    if (!listener) {
        ftp->data_socket = ftp->endpoint_socket;
        return;
    }
    if (ftp->accepted_socket == -1) {
        ftp->data_endpoint->timeout = 0;
        const int32_t wait = (flags & KUV_FTP_PUMP_CONTROL_RECEIVED)
                                 ? kAcceptAfterControlMsec
                                 : static_cast<int32_t>(ftp->accept_timeout);
        // Another host that learned the announced port is turned away, and
        // the wait goes on for the server's own connection, which may be
        // queued behind it. Once the wait is over, only connections already
        // queued are taken: the queue holds at most one more than the
        // backlog, so a connection queued by then is found however many
        // strangers came first.
        sysio::Deadline deadline(wait);
        for (int32_t turned_away_late = 0; turned_away_late <= net::kListenBacklog;) {
            sockaddr_storage peer{};
            uint32_t length = sizeof peer;
            const int32_t accepted =
                kuv_xapi_accept(ftp->endpoint_socket, reinterpret_cast<sockaddr *>(&peer), &length,
                                deadline.remaining());
            if (accepted == -1) {
                // A connection that is there but cannot be taken (no
                // descriptor left) is not the end of a transfer the server
                // announced: read as one, it would pass for an empty file.
                if (errno != ETIMEDOUT && ftp->transfer_active == 1)
                    ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
                break;
            }
            ::fcntl(accepted, F_SETFD, FD_CLOEXEC);
            if (is_control_peer(ftp, peer)) {
                ftp->accepted_socket = accepted;
                if (auto *aux = static_cast<AuxBlock *>(ftp->aux)) aux->data_accepted = true;
                break;
            }
            kuv_xapi_close_socket(accepted);
            if (deadline.expired()) ++turned_away_late;
        }
    }
    ftp->data_socket = ftp->accepted_socket;
}

// Sends the whole upload buffer, chunk by chunk, under the upload limit.
uint32_t send_upload(kuv_ftp_t *ftp, int32_t wait) {
    uint32_t flags = 0;
    while (uint64_t pending = held(ftp->upload_buffer)) {
        uint64_t chunk = std::min<uint64_t>(pending, KUV_FTP_IO_AREA_SIZE);
        if (ftp->upload_rate_limit > kBitsPerByte) {
            if (renew_budget(ftp, ftp->upload_rate_limit) == 0) {
                kuv_xapi_load_balance();
                continue;
            }
            chunk = std::min(chunk, ftp->rate_budget);
        }
        kuv_xapi_peek_buffer_ex(ftp->upload_buffer, ftp->io_area, chunk, 0, KUV_BUFFER_EXACT);
        const int32_t sent = kuv_xapi_send(ftp->data_socket, ftp->io_area, chunk, wait);
        if (sent <= 0) {
            KUV_FTP_SLOT(ftp, close_data);
            return flags;
        }
        flags |= KUV_FTP_PUMP_UPLOAD_SENT;
        kuv_xapi_pop_buffer_ex(ftp->upload_buffer, nullptr, static_cast<uint64_t>(sent),
                               KUV_BUFFER_EXACT);
        account(ftp, static_cast<uint64_t>(sent));
    }
    return flags;
}

// Receives data into the download buffer until it holds buffer_limit
// bytes, nothing more is there within the wait, or (without fill_reads)
// after one chunk.
uint32_t receive_download(kuv_ftp_t *ftp, int32_t wait) {
    uint32_t flags = 0;
    if (!ftp->download_buffer) ftp->download_buffer = kuv_xapi_open_buffer();
    if (!ftp->download_buffer) return flags;
    for (;;) {
        uint64_t chunk = KUV_FTP_IO_AREA_SIZE;
        if (ftp->download_rate_limit >= kBitsPerByte) {
            if (renew_budget(ftp, ftp->download_rate_limit) == 0) return flags;
            chunk = std::min(chunk, ftp->rate_budget);
        }
        if (held(ftp->download_buffer) >= ftp->buffer_limit)
            return flags | KUV_FTP_PUMP_DOWNLOAD_FULL;
        const int32_t count = kuv_xapi_recv(ftp->data_socket, ftp->io_area, chunk, wait);
        if (count == 0) return flags;
        if (count < 0) {
            // Only the server's orderly close (errno 0) ends the data whole.
            // A failed receive (a reset) loses what was still on its way,
            // and the 226 the server may have sent once its last bytes were
            // queued must not make the transfer pass for complete.
            if (errno != 0) ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
            KUV_FTP_SLOT(ftp, close_data);
            return flags;
        }
        flags |= KUV_FTP_PUMP_DOWNLOAD_RECEIVED;
        if (kuv_xapi_push_buffer_ex(ftp->download_buffer, ftp->io_area,
                                    static_cast<uint64_t>(count),
                                    0) != static_cast<uint64_t>(count)) {
            // Bytes that cannot be kept leave a hole in the stream: the
            // transfer is over.
            ftp->error_flags |= KUV_FTP_STREAM_FAILURE;
            KUV_FTP_SLOT(ftp, close_data);
            return flags;
        }
        account(ftp, static_cast<uint64_t>(count));
        ftp->stall_since = 0;
        if (ftp->fill_reads == 0) return flags;
    }
}

uint32_t move_data(kuv_ftp_t *ftp, uint32_t flags, int32_t data_wait) {
    if (ftp->control_socket == -1 || ftp->endpoint_socket == -1) return flags;
    find_data_socket(ftp, flags);
    if (ftp->data_socket == -1) return flags;
    if (ftp->upload_buffer && held(ftp->upload_buffer) > 0)
        return flags | send_upload(ftp, data_wait);
    return flags | receive_download(ftp, data_wait);
}

}  // namespace

// The budget renew_budget gives is spent, and only the next window brings
// more.
bool download_withheld(const kuv_ftp_t *ftp) {
    return ftp->download_rate_limit >= kBitsPerByte && ftp->rate_budget == 0 &&
           ftp->rate_window_start != 0;
}

namespace ops {

uint32_t pump(kuv_ftp_t *ftp, int32_t control_wait, int32_t data_wait) {
    if (!ftp) return 0;
    uint32_t flags = 0;
    if (ftp->control_socket != -1) flags = receive_control(ftp, control_wait);
    flags = move_data(ftp, flags, data_wait);
    if (ftp->control_socket == -1) flags |= KUV_FTP_PUMP_CONTROL_CLOSED;
    if (ftp->data_socket == -1) flags |= KUV_FTP_PUMP_NO_DATA_CONNECTION;
    if (ftp->accepted_socket != -1) flags |= KUV_FTP_PUMP_DATA_ACCEPTED;
    return flags;
}

}  // namespace ops
}  // namespace kuv::ftp
