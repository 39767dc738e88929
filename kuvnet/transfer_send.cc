// Sending a whole message: packet after packet, each acknowledged on an
// acknowledged transport and sent again while the peer answers not-ready.
// On a stream the packets are gathered from their headers and the caller's
// body bytes into one send, with no block built per packet; an
// unacknowledged stream takes many packets per send.
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"
#include "sysio/socket_internal.h"
#include "sysio/wait.h"

namespace kuv::net {

namespace {

// Resends of one packet that a not-ready peer may ask for.
constexpr uint32_t kNotReadyResends = 16;
// An active endpoint waits this long before each resend; a passive one
// answers its own peer and does not make it wait.
constexpr uint32_t kResendPauseUsec = 1000000;

// The built packet and the peer's answer, released on every way out.
struct SendState {
    packet current{};
    packet_info answer{};
    ~SendState() {
        kuv_mapi_release_packet(&current);
        kuv_mapi_release_packet_info(&answer);
    }
};

// The answer to one packet of an acknowledged transfer.
enum class Answer { kAcknowledged, kResend, kFailed };

// Keeps the handle's receive time-out at what is left of one wait while
// the wait takes several receives.
class TimeoutOverride {
  public:
    explicit TimeoutOverride(kuvnet *handle) : handle_(handle), saved_(handle->timeout) {}
    ~TimeoutOverride() { handle_->timeout = saved_; }
    TimeoutOverride(const TimeoutOverride &) = delete;
    TimeoutOverride &operator=(const TimeoutOverride &) = delete;
    void set(int32_t remaining) { handle_->timeout = static_cast<decltype(saved_)>(remaining); }

  private:
    kuvnet *handle_;
    decltype(kuvnet::timeout) saved_;
};

// An active datagram endpoint takes answers from the port it sends to
// alone: its socket is not connected, and another socket of the host could
// send it a datagram that would pass for the answer and draw the rest of
// the message to itself. The address is not compared: a peer bound to every
// address, or one reached through a group or a broadcast address, answers
// from an address of its own choosing.
class AnswerSource {
  public:
    explicit AnswerSource(kuvnet *handle)
        : handle_(handle),
          checked_(is_udp(handle->protocol_type) && handle->is_server == 0 &&
                   handle->peer_address.selected),
          selected_(handle->peer_address.selected) {
        if (checked_) std::memcpy(&peer_, selected_, socket_address_length(selected_));
    }

    // True when the datagram just received came from the peer's port. When
    // not, the peer is selected again, as it was.
    bool from_peer() {
        kuvnet_address &record = handle_->peer_address;
        if (!checked_ || same_port(reinterpret_cast<const struct sockaddr *>(&peer_),
                                   reinterpret_cast<struct sockaddr *>(&record.unix_address)))
            return true;
        std::memcpy(&record.unix_address, &peer_, sizeof peer_);
        record.selected = selected_;
        return false;
    }

  private:
    kuvnet *handle_;
    const bool checked_;
    struct sockaddr *const selected_;
    sockaddr_storage peer_{};
};

// An acknowledgement that names a packet (by total size and offset, as
// datagram receivers send them) must name the one sent: a repeated one of
// an earlier packet would report a packet the network lost as taken. One
// that names none (zero both) is taken, as streams and older peers send it.
bool names_other_packet(const packet_info &answer, const packet_info &info,
                        uint64_t packet_offset) {
    if (answer.total_size == 0 && answer.offset == 0) return false;
    return answer.total_size != info.total_size || answer.offset != packet_offset;
}

// Reads the peer's answer into `answer`. Datagrams from another socket and
// acknowledgements of another packet (from another receiver, late ones of
// an earlier packet with another command class, or repeated ones that name
// another packet) are passed over while the time-out lasts. kResend while
// the peer is not ready and resends are left (after the pause an active
// endpoint makes); kFailed with the code in *code.
Answer read_answer(kuvnet *handle, packet_info *info, uint64_t packet_offset, packet_info *answer,
                   uint32_t *not_ready, uint32_t *code) {
    AnswerSource source(handle);
    const int32_t recorded = handle->error_code;
    const kuv::sysio::Deadline deadline(io_timeout(handle));
    TimeoutOverride timeout(handle);
    for (;;) {
        kuv_mapi_release_packet_info(answer);
        kuv_mapi_init_packet_info(answer);
        answer->src_id = info->src_id;
        *code = kuv_mapi_kuvnet_rx_a_packet(handle, answer);
        const bool ours = source.from_peer();
        if (ours && *code != KUV_RESULT_OK) return Answer::kFailed;
        const bool foreign_ack =
            ours && answer->cmd_type == KUVNET_CMD_ACK &&
            ((answer->src_id & kDestinationMask) != (info->dst_id & kDestinationMask) ||
             answer->cmd_id != info->cmd_type || names_other_packet(*answer, *info, packet_offset));
        if (ours && !foreign_ack) break;
        handle->error_code = recorded;
        if (deadline.expired()) {
            *code = fail(handle, KUVNET_RESULT_NO_TRANSFER);
            return Answer::kFailed;
        }
        timeout.set(deadline.remaining());
    }
    if (answer->cmd_type == KUVNET_CMD_ACK) return Answer::kAcknowledged;
    uint32_t answer_code = answer->cmd_id;
    if (answer_code == KUVNET_RESULT_NOT_READY && ++*not_ready <= kNotReadyResends) {
        if (handle->is_server == 0) kuv_xapi_sleep_wait(0, kResendPauseUsec);
        return Answer::kResend;
    }
    // An answer that is no acknowledgement and carries success (or no
    // code) would end the send as if the message had gone through while
    // its packets were not all taken.
    if (answer_code == 0 || answer_code == KUV_RESULT_OK) answer_code = KUVNET_RESULT_CMD_ID;
    info->error_code = static_cast<int32_t>(answer_code);
    *code = fail(handle, answer_code);
    return Answer::kFailed;
}

// Packets of one send on a stream: their headers, and the pieces (header,
// body in the caller's bytes, trailer) in wire order.
constexpr size_t kGatherPackets = 64;
constexpr uint8_t kZeroTrailer[kTrailerSize] = {};

struct GatheredPackets {
    uint8_t headers[kGatherPackets][kLongestHeaderSize];
    struct iovec pieces[3 * kGatherPackets];
    // Per packet: the batch's length through its end, info->offset after
    // it, and the pieces through its end.
    uint64_t end[kGatherPackets];
    uint64_t offset_after[kGatherPackets];
    size_t pieces_through[kGatherPackets];
    size_t packets = 0;
    size_t piece_count = 0;
    uint64_t length = 0;

    void add_piece(const void *bytes, uint64_t count) {
        pieces[piece_count].iov_base = const_cast<void *>(bytes);
        pieces[piece_count].iov_len = count;
        ++piece_count;
    }

    // Appends the packet of that shape cut from info->data at *cursor,
    // advancing info->offset and *cursor as packetize does.
    void add_packet(const kuvnet *handle, packet_info *info, const PacketShape &shape,
                    uint64_t *cursor) {
        uint8_t *header = headers[packets];
        add_piece(header, write_packet_header(handle, info, shape, header));
        if (shape.body > 0) add_piece(info->data + *cursor, shape.body);
        if (shape.trailer > 0) add_piece(kZeroTrailer, kTrailerSize);
        length += shape.length();
        info->offset += shape.body;
        *cursor += shape.body;
        end[packets] = length;
        offset_after[packets] = info->offset;
        pieces_through[packets] = piece_count;
        ++packets;
    }
};

// Cuts the next packets of the message, one or (`many`) up to a batch,
// advancing info->offset and *cursor as packetize does. Stops at the end of
// the message or at a packet that cannot be cut, whose code goes to
// *refusal (KUV_RESULT_OK otherwise).
void gather_packets(const kuvnet *handle, packet_info *info, uint64_t *cursor, bool many,
                    GatheredPackets *batch, uint32_t *refusal) {
    batch->packets = 0;
    batch->piece_count = 0;
    batch->length = 0;
    *refusal = KUV_RESULT_OK;
    do {
        PacketShape shape;
        *refusal = shape_packet(handle, info, *cursor, &shape);
        if (*refusal != KUV_RESULT_OK) return;
        batch->add_packet(handle, info, shape, cursor);
    } while (many && *cursor < info->size && batch->packets < kGatherPackets);
}

// Sends the gathered packets whole, each within the handle's time-out.
// When they do not all go, info->offset is put back to the end of the
// packet that was cut short, and the code is that of sending that packet
// alone: NO_TRANSFER when none of its bytes went, PARTIAL_SEND otherwise.
uint32_t send_gathered(kuvnet *handle, packet_info *info, const GatheredPackets &batch) {
    // The send steps over the pieces; the batch keeps them for a resend.
    struct iovec pieces[3 * kGatherPackets];
    std::copy(batch.pieces, batch.pieces + batch.piece_count, pieces);
    struct msghdr message {};
    message.msg_iov = pieces;
    message.msg_iovlen = batch.piece_count;
    size_t done;
    const uint64_t sent = send_stream_packets(handle, message, batch.end, batch.packets, &done);
    if (sent == batch.length) return KUV_RESULT_OK;
    info->offset = batch.offset_after[done];
    const uint64_t start = done == 0 ? 0 : batch.end[done - 1];
    return fail(handle, sent == start ? KUVNET_RESULT_NO_TRANSFER : KUVNET_RESULT_PARTIAL_SEND);
}

uint32_t send_on_stream(kuvnet *handle, packet_info *info) {
    const bool acknowledged = is_acknowledged(handle->protocol_type);
    GatheredPackets batch;
    packet_info answer{};
    struct AnswerRelease {
        packet_info *answer;
        ~AnswerRelease() { kuv_mapi_release_packet_info(answer); }
    } release{&answer};
    uint64_t cursor = 0;
    for (;;) {
        uint32_t refusal;
        // The offset of the batch's first packet: its only one when acknowledged.
        const uint64_t packet_offset = info->offset;
        gather_packets(handle, info, &cursor, !acknowledged, &batch, &refusal);
        if (batch.packets > 0) {
            uint32_t not_ready = 0;
            for (;;) {
                uint32_t code = send_gathered(handle, info, batch);
                if (code != KUV_RESULT_OK) return code;
                if (!acknowledged) break;
                const Answer outcome =
                    read_answer(handle, info, packet_offset, &answer, &not_ready, &code);
                if (outcome == Answer::kAcknowledged) break;
                if (outcome == Answer::kFailed) return code;
            }
        }
        if (refusal != KUV_RESULT_OK) return fail(handle, refusal);
        if (cursor >= info->size) return KUV_RESULT_OK;
    }
}

// Gathers the message as the single packet that a send of it alone would
// cut, when it is one: it passes the send's checks, starts at offset 0 and
// fits one packet. False, with the batch unchanged, otherwise.
bool gather_whole_message(const kuvnet *handle, packet_info *info, GatheredPackets *batch) {
    if (kuv_xapi_kuvnet_check_valid_tx_packet_info(info) != KUV_RESULT_OK || info->offset != 0)
        return false;
    PacketShape shape;
    if (shape_packet(handle, info, 0, &shape) != KUV_RESULT_OK || shape.body != info->size)
        return false;
    uint64_t cursor = 0;
    batch->add_packet(handle, info, shape, &cursor);
    return true;
}

}  // namespace

uint32_t send_messages(kuvnet *handle, packet_info *const *infos, size_t count, uint64_t already,
                       size_t *sent, uint64_t *cut) {
    *sent = 0;
    *cut = 0;
    GatheredPackets batch;
    if ((count > 1 || already > 0) && kuv_xapi_kuvnet_check_valid_handle(handle) == KUV_RESULT_OK &&
        is_stream(handle->protocol_type) && !is_acknowledged(handle->protocol_type) &&
        !kuv::sysio::no_socket(handle->socket)) {
        const size_t most = std::min(count, kGatherPackets);
        while (batch.packets < most && gather_whole_message(handle, infos[batch.packets], &batch)) {
        }
    }
    if (batch.packets == 0 || already >= batch.end[0]) {
        // The rest of a message begun on this stream has no other way out.
        if (already > 0) return fail(handle, KUVNET_RESULT_PARTIAL_SEND);
        const uint32_t code = kuv_xapi_kuvnet_tx_data(handle, infos[0]);
        if (code == KUV_RESULT_OK) *sent = 1;
        return code;
    }
    // One try that takes what the socket has room for now. The sends step
    // over their copy of the pieces; the batch keeps them.
    struct iovec pieces[3 * kGatherPackets];
    std::copy(batch.pieces, batch.pieces + batch.piece_count, pieces);
    struct msghdr message {};
    message.msg_iov = pieces;
    message.msg_iovlen = batch.piece_count;
    kuv::sysio::step_over(message, already);
    const int32_t socket = handle->socket;
    const ssize_t tried = kuv::sysio::repeat_interrupted(kuv_xapi_intr_break(), [&] {
        return ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    const uint64_t through = already + (tried > 0 ? static_cast<uint64_t>(tried) : 0);
    size_t whole = 0;
    while (whole < batch.packets && batch.end[whole] <= through)
        ++whole;
    if (whole == 0) {
        // The first message goes whole before the call returns, as a send
        // of it alone would (a failed try fails there again and is
        // reported as such a send reports it).
        std::copy(batch.pieces, batch.pieces + batch.piece_count, pieces);
        message.msg_iov = pieces;
        message.msg_iovlen = batch.pieces_through[0];
        kuv::sysio::step_over(message, through);
        const uint64_t rest = batch.end[0] - through;
        size_t done;
        const uint64_t went = send_stream_packets(handle, message, &rest, 1, &done);
        if (went != rest) {
            for (size_t later = 0; later < batch.packets; ++later)
                infos[later]->offset = 0;
            return fail(handle, through + went == 0 ? KUVNET_RESULT_NO_TRANSFER
                                                    : KUVNET_RESULT_PARTIAL_SEND);
        }
        whole = 1;
    } else if (whole < batch.packets) {
        // A later message the socket took in part is not waited for: the
        // caller sends its rest first next time.
        *cut = through - batch.end[whole - 1];
    }
    // The messages that did not go whole start again at their beginning.
    for (size_t later = whole; later < batch.packets; ++later)
        infos[later]->offset = 0;
    *sent = whole;
    return KUV_RESULT_OK;
}

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_tx_data(kuvnet *handle, packet_info *info) {
    if (is_stream(handle->protocol_type)) return send_on_stream(handle, info);
    SendState state;
    const bool acknowledged = is_acknowledged(handle->protocol_type);
    uint64_t cursor = 0;
    uint32_t not_ready = 0;
    bool rebuild = true;
    uint64_t packet_offset = 0;
    for (;;) {
        if (rebuild) {
            kuv_mapi_release_packet(&state.current);
            packet_offset = info->offset;
            uint32_t code = kuv_mapi_kuvnet_packetize(handle, info, &state.current, &cursor);
            if (code != KUV_RESULT_OK) return code;
        }
        uint32_t code = kuv_mapi_kuvnet_tx_a_packet(handle, info, &state.current);
        if (code != KUV_RESULT_OK) return code;
        const bool last = cursor >= info->size;
        if (!acknowledged) {
            if (last) return KUV_RESULT_OK;
            rebuild = true;
            continue;
        }
        const Answer outcome =
            read_answer(handle, info, packet_offset, &state.answer, &not_ready, &code);
        if (outcome == Answer::kFailed) return code;
        if (outcome == Answer::kAcknowledged) {
            if (last) return KUV_RESULT_OK;
            // The limit is per packet: a slow peer may be busy now and then
            // over a long message.
            not_ready = 0;
            rebuild = true;
            continue;
        }
        rebuild = false;
    }
}

uint32_t kuv_xapi_kuvnet_tx_data(kuvnet *handle, packet_info *info) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    uint32_t code = kuv_xapi_kuvnet_check_valid_handle(handle);
    if (code == KUV_RESULT_OK) code = kuv_xapi_kuvnet_check_valid_tx_packet_info(info);
    if (code != KUV_RESULT_OK) return fail(handle, code);
    return kuv_mapi_kuvnet_tx_data(handle, info);
}

}  // extern "C"
