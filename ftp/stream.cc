// Data streams: opening a transfer (data connection, fallback between the
// modes, the transfer command and its one retry), reading and writing its
// data, and closing it.
#include <algorithm>
#include <climits>
#include <string_view>

#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"
#include "runtime/slice.h"

namespace kuv::ftp {
namespace {

// How long a read waits for data while the download buffer is empty.
constexpr int32_t kReadDataWaitMsec = 100;
// The control wait of close_stream after a failure: the server's answer is
// not worth waiting long for.
constexpr int32_t kFailedCloseWaitMsec = 100;
// Counts handed out by the stream calls fit their 32-bit results.
constexpr uint64_t kLargestCount = INT32_MAX;

uint64_t held(kuv_buffer_t *buffer) {
    return static_cast<uint64_t>(kuv_xapi_get_buffer_size(buffer));
}

// Judges a reply that comes while a transfer runs or ends: a preliminary
// reply (1xx: a second 150, a 110 restart marker) only says that the
// transfer goes on; 226 or 250, the two completions the protocol allows,
// end it as done; anything else fails it. False for a preliminary reply.
bool judge_transfer_reply(kuv_ftp_t *ftp, int32_t code) {
    if (code >= 100 && code < 200) return false;
    if (code == reply::kTransferComplete || code == reply::kFileActionOk)
        ftp->transfer_active = 0;
    else
        ftp->error_flags |= KUV_FTP_REPLY_FAILURE;
    return true;
}

// The reply wait at the end of a transfer, which reads on past preliminary
// replies to the final one: stopping at a preliminary one would leave the
// final reply to be taken for the answer to the next command. The final
// reply is owed while the transfer the server announced has neither
// completed nor been failed by a reply.
void wait_transfer_end(kuv_ftp_t *ftp, int32_t control_wait) {
    for (bool preliminary = true; preliminary;) {
        preliminary = false;
        const bool owed =
            ftp->transfer_active == 1 && (ftp->error_flags & KUV_FTP_REPLY_FAILURE) == 0;
        wait_reply(
            ftp, control_wait,
            [&](int32_t code) { preliminary = !judge_transfer_reply(ftp, code); }, owed);
    }
}

// The data connection in the current mode, falling back to the other when
// mode_fallback is 1. passive is left as the mode that worked.
bool set_up_data_connection(kuv_ftp_t *ftp) {
    if (ftp->passive == 1) {
        KUV_FTP_SLOT(ftp, close_data);
        if (passive_setup(ftp) == 1) return true;
        if (ftp->mode_fallback != 1) return false;
        ftp->passive = 0;
        if (active_setup(ftp) == 1) return true;
        ftp->passive = 1;
        return false;
    }
    if (active_setup(ftp) == 1) return true;
    if (ftp->mode_fallback != 1) return false;
    ftp->passive = 1;
    KUV_FTP_SLOT(ftp, close_data);
    if (passive_setup(ftp) == 1) return true;
    ftp->passive = 0;
    return false;
}

// One attempt of open_stream: 1 when the server announced the transfer.
int32_t attempt_transfer(kuv_ftp_t *ftp, uint64_t offset, const char *format, va_list list) {
    ftp->transfer_start = kuv_xapi_time_stamp();
    ftp->transfer_elapsed = ftp->transfer_rate = 0;
    ftp->error_flags = 0;
    auto *aux = static_cast<AuxBlock *>(ftp->aux);
    if (aux) aux->active_announced = aux->data_accepted = false;
    // A transfer that an earlier one's failure left marked active is over:
    // its close would otherwise wait for a final reply that was given.
    ftp->transfer_active = 0;
    if (ftp->control_socket == -1) return 0;
    ftp->transfer_bytes = ftp->rate_window_start = ftp->rate_budget = 0;
    drop_transfer_bytes(ftp);
    TrackedBlock command = format_text(format, list);
    if (!command || !is_one_command(command.chars())) return 0;
    if (!set_up_data_connection(ftp)) return 0;
    if (offset != 0 && KUV_FTP_SLOT(ftp, rest, offset) != 1) return 0;
    // The command goes with CR LF as its line end, whatever end (or none)
    // it came with.
    const std::string_view text(command.chars());
    const int length = static_cast<int>(kuv::slice(text, 0, text.find_first_of("\r\n")).size());
    if (KUV_FTP_SLOT(ftp, queue_command, "%.*s\r\n", length, command.chars()) != 1 ||
        KUV_FTP_SLOT(ftp, send_commands) != 1) {
        say(kCannotSend);
        return 0;
    }
    int32_t result = 0;
    wait_reply(
        ftp, control_wait_of(ftp),
        [&](int32_t code) {
            if (code == reply::kOpeningData || code == reply::kTransferStarting) {
                ftp->transfer_active = 1;
                result = 1;
                // The server connects to an active-mode listener; one that
                // never does moves no data, whatever it replies.
                if (aux && ftp->passive != 1) aux->active_announced = true;
            } else if (code == reply::kCannotOpenData || code == reply::kTransferAborted ||
                       code == reply::kUnavailable) {
                ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
            } else if (!is_preliminary(code)) {
                ftp->error_flags |= KUV_FTP_REPLY_FAILURE;
            }
        },
        true, Preliminary::announcement_ends);
    return result;
}

// Reads the control replies that arrived with the data: a 226 or 250 ends
// the transfer, a preliminary reply is passed over; a multi-line reply is
// read to its end. The pump waits for data while the read cannot be served
// yet (nothing held, or less than a filling read asks for), so a reader
// waiting for a full block sleeps on the socket and wakes as its bytes
// arrive instead of polling.
void read_transfer_replies(kuv_ftp_t *ftp, uint64_t wanted) {
    for (;;) {
        const uint64_t pending = held(ftp->download_buffer);
        const bool unserved = pending == 0 || (ftp->fill_reads != 0 && pending < wanted);
        const int32_t data_wait = unserved ? kReadDataWaitMsec : 0;
        KUV_FTP_SLOT(ftp, pump, 0, data_wait);
        bool cut_short = false;
        if (KUV_FTP_SLOT(ftp, read_reply) > 0) {
            ftp->stall_since = 0;
            bool final = judge_transfer_reply(ftp, ftp->reply_code);
            // The rest of a reply begun is waited for as in every reply
            // wait, whose end drops the connection when it does not come:
            // left unread, it would answer the next command.
            if (ftp->more_lines == 1)
                wait_reply(
                    ftp, control_wait_of(ftp),
                    [&](int32_t code) { final = judge_transfer_reply(ftp, code); }, true,
                    Preliminary::ends);
            cut_short = ftp->more_lines == 1;
            if (!cut_short) {
                if (final) return;
                // A preliminary reply read to its end: the transfer goes on.
                continue;
            }
        }
        if (ftp->control_socket == -1) {
            say("disconnected");
            ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
        }
        if (cut_short) {
            say("can not more response");
            ftp->error_flags |= KUV_FTP_REPLY_FAILURE;
        }
        return;
    }
}

// The stall check of a read that found nothing: data_timeout / 1000
// seconds without data end the transfer. Time in which the download rate
// limit held receiving back is the client's own doing, and counts as none.
// stall_since holds whole seconds of uptime: a silence that began late in
// one second would reach the limit up to a second early (a 1 s limit after
// a few milliseconds), so the silence is measured on the millisecond time
// stamp taken with it, as long as stall_since is the one set here.
void check_stall(kuv_ftp_t *ftp) {
    // 0xFFFFFFFF waits without limit: read as seconds it would still end a
    // silence after 49.7 days.
    if (download_withheld(ftp) || ftp->data_timeout == UINT32_MAX) {
        ftp->stall_since = 0;
        return;
    }
    auto *aux = static_cast<AuxBlock *>(ftp->aux);
    const uint64_t now = kuv_xapi_uptime();
    const uint64_t now_msec = kuv_xapi_get_time_stamp_info(nullptr);
    if (ftp->stall_since == 0) {
        ftp->stall_since = now;
        if (aux) {
            aux->stall_start_msec = now_msec;
            aux->stall_since_seen = now;
        }
        return;
    }
    const uint64_t limit = ftp->data_timeout / 1000;
    const bool stalled = aux && aux->stall_since_seen == ftp->stall_since
                             ? now_msec - aux->stall_start_msec >= limit * 1000
                             : (now >= ftp->stall_since ? now - ftp->stall_since : 0) >= limit;
    if (stalled) {
        say("ftp server dead or un-pluged cable ?");
        ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
        KUV_FTP_SLOT(ftp, close_data);
    }
}

}  // namespace

namespace ops {

int32_t open_stream(kuv_ftp_t *ftp, uint64_t offset, const char *format, ...) {
    if (!ftp) return -1;
    ftp->stall_since = 0;
    va_list list;
    va_start(list, format);
    va_list second;
    va_copy(second, list);
    int32_t result = attempt_transfer(ftp, offset, format, list);
    // A refused data connection (or a file the server would not open in
    // this mode) is tried once more in the other mode. A transfer the
    // server announced is not: a data connection lost while its answer was
    // awaited fails that transfer, and asking again would start a second.
    if (result != 1 && (ftp->error_flags & KUV_FTP_CONNECTION_FAILURE)) {
        ftp->passive = ftp->passive == 1 ? 0 : 1;
        result = attempt_transfer(ftp, offset, format, second);
    }
    va_end(second);
    va_end(list);
    // Nothing will read from a data connection whose transfer was refused.
    if (result != 1) KUV_FTP_SLOT(ftp, close_data);
    return result;
}

int32_t read_stream(kuv_ftp_t *ftp, void *destination, uint64_t size) {
    if (!ftp) return -1;
    if (!ftp->download_buffer) ftp->download_buffer = kuv_xapi_open_buffer();
    if (!ftp->download_buffer || ftp->control_socket == -1 || !destination) {
        ftp->error_flags |= KUV_FTP_STREAM_FAILURE;
        return -1;
    }
    size = std::min(size, kLargestCount);
    read_transfer_replies(ftp, std::min(size, ftp->buffer_limit));
    uint64_t copied = 0;
    uint64_t pending = held(ftp->download_buffer);
    const bool filling = pending > 0 && ftp->fill_reads != 0 &&
                         pending < std::min(size, ftp->buffer_limit) && ftp->transfer_active == 1 &&
                         ftp->data_socket != -1 && ftp->error_flags == 0;
    // A read of no bytes takes none: a pop of 0 bytes is an argument error,
    // which the buffer prints into the application's output.
    if (!filling && pending > 0 && size > 0) {
        copied = kuv_xapi_pop_buffer_ex(ftp->download_buffer, destination, std::min(pending, size),
                                        KUV_BUFFER_PARTIAL);
        ftp->stall_since = 0;
        pending -= copied;
    }
    if (pending == 0) {
        if (ftp->transfer_active == 0 && ftp->error_flags != 0) KUV_FTP_SLOT(ftp, close_data);
        if (copied == 0) check_stall(ftp);
    }
    if (filling) check_stall(ftp);
    if (ftp->data_socket != -1 || copied > 0 || pending > 0) return static_cast<int32_t>(copied);
    return -1;
}

int32_t write_stream(kuv_ftp_t *ftp, const void *bytes, uint64_t size) {
    if (!ftp) return -1;
    if (!ftp->upload_buffer) ftp->upload_buffer = kuv_xapi_open_buffer();
    if (!ftp->upload_buffer || ftp->control_socket == -1) {
        ftp->error_flags |= KUV_FTP_STREAM_FAILURE;
        return -1;
    }
    // No bytes end the upload whatever size comes with them: the size
    // bound is for bytes that are sent.
    if (!bytes || size == 0) {
        // An empty upload takes the server's active-mode connection too:
        // its end is what the server waits for.
        const auto *aux = static_cast<const AuxBlock *>(ftp->aux);
        if (aux && aux->active_announced && !aux->data_accepted && ftp->error_flags == 0)
            KUV_FTP_SLOT(ftp, pump, 0, 0);
        if (!close_data_gracefully(ftp)) ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
        KUV_FTP_SLOT(ftp, close_data);
        wait_transfer_end(ftp, control_wait_of(ftp));
        return 0;
    }
    if (size > kLargestCount) {
        ftp->error_flags |= KUV_FTP_STREAM_FAILURE;
        return -1;
    }
    if (kuv_xapi_push_buffer_ex(ftp->upload_buffer, bytes, size, 0) != size) {
        kuv_xapi_flush_buffer(ftp->upload_buffer);
        ftp->error_flags |= KUV_FTP_STREAM_FAILURE;
        return -1;
    }
    int32_t result = -1;
    while (held(ftp->upload_buffer) > 0) {
        const uint32_t flags = KUV_FTP_SLOT(ftp, pump, 0, static_cast<int32_t>(ftp->data_timeout));
        if ((flags & KUV_FTP_PUMP_UPLOAD_SENT) == 0) break;
        result = static_cast<int32_t>(size);
        if (flags & KUV_FTP_PUMP_NO_DATA_CONNECTION) break;
        if (KUV_FTP_SLOT(ftp, read_reply) <= 0) break;
        judge_transfer_reply(ftp, ftp->reply_code);
    }
    // Bytes the connection could not take are not kept for a later call:
    // the caller learns that this write did not go through, and the
    // transfer that lost them cannot end cleanly.
    if (held(ftp->upload_buffer) > 0) {
        kuv_xapi_flush_buffer(ftp->upload_buffer);
        ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
        result = -1;
    }
    return result;
}

int32_t close_stream(kuv_ftp_t *ftp) {
    if (!ftp) return -1;
    int32_t result = 0;
    if (ftp->control_socket != -1) {
        KUV_FTP_SLOT(ftp, close_data);
        const int32_t control_wait = ftp->error_flags != 0       ? kFailedCloseWaitMsec
                                     : ftp->transfer_active == 1 ? control_wait_of(ftp)
                                                                 : 0;
        wait_transfer_end(ftp, control_wait);
    }
    // A transfer confirmed without the data connection it announced ever
    // being made moved nothing: an empty file or listing is no success.
    if (auto *aux = static_cast<AuxBlock *>(ftp->aux); aux && aux->active_announced) {
        if (!aux->data_accepted) ftp->error_flags |= KUV_FTP_CONNECTION_FAILURE;
        aux->active_announced = false;
    }
    if (ftp->error_flags != 0) {
        ftp->error_flags |= KUV_FTP_REPLY_FAILURE;
        result = 0;
    } else if (ftp->transfer_active == 0) {
        result = 1;
    }
    ftp->stall_since = 0;
    return result;
}

}  // namespace ops
}  // namespace kuv::ftp
