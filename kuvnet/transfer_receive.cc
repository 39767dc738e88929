// Receiving messages: one packet with its acknowledgement, and packets
// reassembled until a message is whole.
#include <cstring>

#include "davro_kuv/runtime.h"
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"

namespace kuv::net {

namespace {

// Answers a received packet: a bare header from us to its sender whose
// command is the packet's command class.
// A refusal (refusal not 1) goes out instead as an answer of another
// command class carrying the refusal code, which ends the sender's send.
// On a datagram socket an acknowledgement also names the packet by its
// total size and offset: the network may repeat an acknowledgement (or a
// packet, which is then acknowledged again), and a repeat that named no
// packet would pass for the acknowledgement of the sender's next one.
uint32_t acknowledge(kuvnet *handle, uint32_t own_id, const packet_info &received,
                     uint32_t refusal = KUV_RESULT_OK) {
    packet_info answer{};
    answer.src_id = own_id;
    answer.dst_id = received.src_id;
    answer.cmd_type = refusal == KUV_RESULT_OK ? KUVNET_CMD_ACK : 0;
    answer.cmd_id = refusal == KUV_RESULT_OK ? received.cmd_type : refusal;
    if (refusal == KUV_RESULT_OK && is_udp(handle->protocol_type)) {
        answer.total_size = received.total_size;
        answer.offset = received.offset;
    }
    packet built{};
    uint64_t cursor = 0;
    uint32_t code = kuv_mapi_kuvnet_packetize(handle, &answer, &built, &cursor);
    if (code == KUV_RESULT_OK) code = kuv_mapi_kuvnet_tx_a_packet(handle, &answer, &built);
    kuv_mapi_release_packet(&built);
    return code;
}

// A stream packet whose body was read and dropped for want of memory
// leaves the stream at the next header: on an acknowledged stream its
// sender is told so at once, instead of waiting out its time-out for an
// answer that never comes. (A datagram refused its memory is dropped
// unread, so there is no header to answer.)
void refuse_dropped_body(kuvnet *handle, uint32_t own_id, const packet_info &received,
                         uint32_t code) {
    if (code == KUVNET_RESULT_NO_MEMORY && is_stream(handle->protocol_type) &&
        is_acknowledged(handle->protocol_type))
        acknowledge(handle, own_id, received, code);
}

// The checks of the exported receive.
uint32_t receive_checks(kuvnet *handle, const packet_info *info) {
    uint32_t code = kuv_xapi_kuvnet_check_valid_handle(handle);
    if (code == KUV_RESULT_OK) code = kuv_xapi_kuvnet_check_valid_rx_packet_info(info);
    if (code != KUV_RESULT_OK) return fail(handle, code);
    // Receiving over a body the record still owns would lose it.
    if (info->data) return fail(handle, KUVNET_RESULT_BODY_HELD);
    return KUV_RESULT_OK;
}

// Those checks, then the receive itself, without an answer: the caller
// answers once it has judged the packet.
uint32_t checked_receive(kuvnet *handle, packet_info *info, BodyPlacement *placement,
                         bool *placed) {
    *placed = false;
    const uint32_t code = receive_checks(handle, info);
    if (code != KUV_RESULT_OK) return code;
    return receive_packet(handle, info, placement, placed);
}

// Marks a packet already taken into the message that came again (a
// datagram the network duplicated): passed over, neither taken nor
// answered, so that it neither ends the message nor stands for the
// acknowledgement of a later packet.
constexpr uint32_t kRepeatedPacket = 0;

// One message being reassembled. Every sender cuts a message in order and
// streams keep that order, so packets are taken at the next expected offset
// only: a gap or an overlap fails instead of leaving bytes of the buffer
// unwritten in a message reported whole. A packet continues the message
// only when it carries the start's source and commands and, on a datagram
// socket, comes from the start's sender: the packets of several senders
// are never joined into one message. Bodies of admitted packets are read
// straight into the message's block, which grows with the bytes that
// arrived rather than with the size the first header announced.
//
// On an unacknowledged stream a packet that leaves the message unfinished
// is followed by the next one without waiting for any answer, so the start
// of its header is read together with the body: one receive per packet
// instead of two. A caller that keeps a stash for the stream (the event
// service) has every receive take whatever has arrived instead, and later
// messages start from it.
class MessageAssembler final : public BodyPlacement {
  public:
    MessageAssembler(const kuvnet *handle, int32_t whole_msec, StreamStash *stream_stash)
        : handle_(handle),
          datagrams_(is_udp(handle->protocol_type)),
          may_read_ahead_(is_stream(handle->protocol_type) &&
                          !is_acknowledged(handle->protocol_type) && !stream_stash),
          deadline_(whole_msec) {
        if (whole_msec >= 0) whole = &deadline_;
        if (is_stream(handle->protocol_type)) stash = stream_stash;
    }

    bool place(const packet_info &header, BodyTarget *target) override {
        admission_ = admit(header);
        admitted_ = true;
        if (admission_ != KUV_RESULT_OK) return false;
        // Room for the trailer behind the last body, which a stream
        // delivers with it.
        *target = BodyTarget{&buffer_, header.offset, expected_ + kTrailerSize};
        read_ahead_ = may_read_ahead_ && header.size < expected_ - header.offset;
        if (read_ahead_) target->next_header = next_header_;
        return true;
    }

    uint64_t take_read_ahead(uint8_t *header) override {
        if (!read_ahead_) return 0;
        read_ahead_ = false;
        std::memcpy(header, next_header_, kShortHeaderSize);
        return kShortHeaderSize;
    }

    // Takes the packet just received (its body already in place when it
    // has one). Returns 1 or the code that ends the message; *complete when
    // every byte has arrived.
    uint32_t take(const packet_info &header, bool *complete) {
        const uint32_t code = admitted_ ? admission_ : admit(header);
        admitted_ = false;
        if (code != KUV_RESULT_OK) return code;
        next_offset_ += header.size;
        *complete = next_offset_ >= expected_;
        return KUV_RESULT_OK;
    }

    uint64_t expected() const { return expected_; }
    uint8_t *release_buffer() { return buffer_.release(); }

  private:
    bool continues_start(const packet_info &header) const {
        if (header.src_id != start_.src_id || header.cmd_type != start_.cmd_type ||
            header.cmd_id != start_.cmd_id)
            return false;
        return !datagrams_ ||
               same_socket_address(reinterpret_cast<const struct sockaddr *>(&start_sender_),
                                   sender());
    }

    // The sender of the datagram just received (its parse has succeeded).
    const struct sockaddr *sender() const {
        return reinterpret_cast<const struct sockaddr *>(&handle_->peer_address.unix_address);
    }

    uint32_t admit(const packet_info &header) {
        // A new message start replaces a partial one, whose block goes.
        if (header.total_size >= 1 && header.offset == 0) {
            buffer_.reset();
            expected_ = static_cast<uint64_t>(header.total_size);
            next_offset_ = 0;
            started_ = true;
            start_ = header;
            if (datagrams_) std::memcpy(&start_sender_, sender(), sizeof start_sender_);
        } else if (started_ && !continues_start(header)) {
            return KUVNET_RESULT_OFFSET;
        }
        if (static_cast<uint64_t>(header.total_size) != expected_) return KUVNET_RESULT_TOTAL_SIZE;
        // Compared without adding, so that no sum can wrap around.
        if (header.offset > expected_ || header.size > expected_ - header.offset)
            return KUVNET_RESULT_OFFSET;
        if (header.offset != next_offset_) {
            if (started_ && header.offset < next_offset_ &&
                header.size <= next_offset_ - header.offset)
                return kRepeatedPacket;
            return KUVNET_RESULT_OFFSET;
        }
        return KUV_RESULT_OK;
    }

    const kuvnet *const handle_;
    const bool datagrams_;
    const bool may_read_ahead_;
    const kuv::sysio::Deadline deadline_;
    bool started_ = false;
    packet_info start_{};              // the header that started the message
    sockaddr_storage start_sender_{};  // and, on a datagram socket, its sender
    bool read_ahead_ = false;
    uint8_t next_header_[kShortHeaderSize];
    GrowingBlock buffer_;
    uint64_t expected_ = 0;
    uint64_t next_offset_ = 0;
    bool admitted_ = false;
    uint32_t admission_ = KUV_RESULT_OK;
};

}  // namespace

uint32_t receive_whole_message(kuvnet *handle, packet_info *info, int32_t whole_msec,
                               StreamStash *stash) {
    const uint32_t own_id = info->src_id;
    kuv_mapi_init_packet_info(info);
    MessageAssembler message(handle, whole_msec, stash);
    uint32_t code;
    for (;;) {
        info->src_id = own_id;
        bool placed, complete = false;
        code = checked_receive(handle, info, &message, &placed);
        if (code != KUV_RESULT_OK) {
            refuse_dropped_body(handle, own_id, *info, code);
            break;
        }
        code = message.take(*info, &complete);
        if (code == kRepeatedPacket) {
            kuv_mapi_release_packet_info(info);
            continue;
        }
        if (is_acknowledged(handle->protocol_type)) {
            // A refused packet is not acknowledged: its sender must not
            // count it as taken.
            const uint32_t answered = acknowledge(handle, own_id, *info, code);
            if (code == KUV_RESULT_OK) code = answered;
        }
        if (code != KUV_RESULT_OK) {
            fail(handle, code);
            break;
        }
        if (complete) break;
    }
    // A refused packet's own body goes; an admitted one is in the message.
    kuv_mapi_release_packet_info(info);
    info->total_size = static_cast<int64_t>(message.expected());
    info->offset = 0;
    if (code != KUV_RESULT_OK) {
        info->error_code = static_cast<int32_t>(code);
        return code;
    }
    info->data = message.release_buffer();
    info->size = message.expected();
    return KUV_RESULT_OK;
}

uint32_t receive_and_acknowledge(kuvnet *handle, packet_info *info, BodyPlacement *placement,
                                 bool *placed) {
    const uint32_t own_id = info->src_id;
    uint32_t code = receive_packet(handle, info, placement, placed);
    if (code != KUV_RESULT_OK) refuse_dropped_body(handle, own_id, *info, code);
    if (code != KUV_RESULT_OK || !is_acknowledged(handle->protocol_type)) return code;
    code = acknowledge(handle, own_id, *info);
    if (code != KUV_RESULT_OK) kuv_mapi_release_packet_info(info);
    return code;
}

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_rx_data(kuvnet *handle, packet_info *info) {
    bool placed;
    return receive_and_acknowledge(handle, info, nullptr, &placed);
}

uint32_t kuv_xapi_kuvnet_rx_data(kuvnet *handle, packet_info *info) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    const uint32_t code = receive_checks(handle, info);
    if (code != KUV_RESULT_OK) return code;
    bool placed;
    return receive_and_acknowledge(handle, info, nullptr, &placed);
}

uint32_t kuv_mapi_kuvnet_rx_data_fill(kuvnet *handle, packet_info *info) {
    return receive_whole_message(handle, info, -1);
}

uint32_t kuv_xapi_kuvnet_rx_data_fill(kuvnet *handle, packet_info *info) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    const uint32_t code = receive_checks(handle, info);
    if (code != KUV_RESULT_OK) return code;
    return kuv_mapi_kuvnet_rx_data_fill(handle, info);
}

}  // extern "C"
