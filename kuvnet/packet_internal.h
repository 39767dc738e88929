// Pieces shared by the packet and message files: the wire layout of a
// packet header, little-endian reading and writing, the handle's I/O
// time-out, the stream send of whole packets, the growing block that holds
// a body while it arrives, and the receive step with its choice of where a
// body lands.
#ifndef KUV_KUVNET_PACKET_INTERNAL_H
#define KUV_KUVNET_PACKET_INTERNAL_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "davro_kuv/kuvnet.h"
#include "sysio/wait.h"

namespace kuv::net {

// ---- wire layout --------------------------------------------------------

inline constexpr uint64_t kMagicLength = 4;
inline constexpr uint64_t kVersionAt = 4;
inline constexpr uint64_t kDstIdAt = 6;
inline constexpr uint64_t kSrcIdAt = 10;
inline constexpr uint64_t kCmdTypeAt = 14;
inline constexpr uint64_t kCmdIdAt = 18;
inline constexpr uint64_t kTotalSizeAt = 22;
inline constexpr uint64_t kShortHeaderSize = KUVNET_PACKET_HEADER_SIZE;
inline constexpr uint64_t kTrailerSize = KUVNET_PACKET_TRAILER_SIZE;
// A long 64-bit value follows its 32-bit marker; a long body length its
// 16-bit marker.
inline constexpr uint32_t kLongMarker32 = 0xFFFFFFFFu;
inline constexpr uint16_t kLongMarker16 = 0xFFFFu;
inline constexpr uint64_t kLongValueSize = 8;
inline constexpr uint64_t kLongBodyLengthSize = 4;
// The largest body the short 16-bit length carries, and the largest the long
// form carries (0xFFFFFFFF is the invalid value).
inline constexpr uint64_t kShortBodyMax = 65534;
inline constexpr uint64_t kLongBodyMax = 0xFFFFFFFEu;
// An invalid identifier, command or long value: every bit set.
inline constexpr uint32_t kInvalid32 = 0xFFFFFFFFu;
inline constexpr uint64_t kInvalid64 = ~uint64_t{0};
// The destination is compared with the receiver's identifier in these bits.
inline constexpr uint32_t kDestinationMask = 0x00FFFFFFu;
// The longest header: every long form at once.
inline constexpr uint64_t kLongestHeaderSize =
    kShortHeaderSize + 2 * kLongValueSize + kLongBodyLengthSize;

inline void put_le16(uint8_t *at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
inline void put_le32(uint8_t *at, uint32_t value) {
    for (int index = 0; index < 4; ++index)
        at[index] = static_cast<uint8_t>(value >> (8 * index));
}
inline void put_le64(uint8_t *at, uint64_t value) {
    for (int index = 0; index < 8; ++index)
        at[index] = static_cast<uint8_t>(value >> (8 * index));
}
inline uint16_t get_le16(const uint8_t *at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}
inline uint32_t get_le32(const uint8_t *at) {
    uint32_t value = 0;
    for (int index = 3; index >= 0; --index)
        value = (value << 8) | at[index];
    return value;
}
inline uint64_t get_le64(const uint8_t *at) {
    uint64_t value = 0;
    for (int index = 7; index >= 0; --index)
        value = (value << 8) | at[index];
    return value;
}

// A size or offset goes in its long form when its short field could not
// hold it, the marker value included. Negative sizes count as huge: their
// short form would be cut to 32 bits, and a cut value of all ones would read
// back as the marker.
inline bool needs_long_form(uint64_t value) {
    return value >= kLongMarker32;
}

// The header length that the first `have` bytes of a header (at least
// kTotalSizeAt + 4 of them) call for, counting every field not yet seen in
// its short form. Reading until `have` reaches this value never reads past
// the header: a field seen later can only make it longer.
uint64_t header_length_so_far(const uint8_t *bytes, uint64_t have);

// ---- building ------------------------------------------------------------

// The layout of the next packet of a message: which size fields take their
// long form, and the lengths of header, body and trailer.
struct PacketShape {
    bool long_total;
    bool long_offset;
    bool long_body;
    uint64_t header;  // without the long body length
    uint64_t body;
    uint64_t trailer;
    uint64_t header_length() const { return header + (long_body ? kLongBodyLengthSize : 0); }
    uint64_t length() const { return header_length() + body + trailer; }
};

// Fits the body of the message from `cursor` on (a byte index into
// info->data) into max_packet_size. Returns 1 or the refusal code.
uint32_t shape_packet(const kuvnet *handle, const packet_info *info, uint64_t cursor,
                      PacketShape *shape);

// Writes the header of that packet at `at` (room for kLongestHeaderSize
// bytes) and returns its length, shape.header_length(). The body follows it
// on the wire, then the trailer: kTrailerSize zero bytes when shape.trailer
// is not 0.
uint64_t write_packet_header(const kuvnet *handle, const packet_info *info,
                             const PacketShape &shape, uint8_t *at);

// Sends the pieces of `message`, one or more whole packets, on the handle's
// stream: ends[i] is the byte count through the end of packet i, and each
// packet gets the handle's whole time-out. Returns the bytes that went and
// sets *whole to the packets among them that went whole; fewer than all
// when the socket failed or a packet's time-out passed.
uint64_t send_stream_packets(kuvnet *handle, struct msghdr &message, const uint64_t *ends,
                             size_t packets, size_t *whole);

// Sends infos[0..count), each a whole message from offset 0, in order, on
// an unacknowledged stream where each fits one packet, gathered into one
// send (elsewhere, and for a single message, the first goes alone as
// kuv_xapi_kuvnet_tx_data sends it). The first `already` bytes of the
// first message's packet went in an earlier call. The first message goes
// whole, waiting for room within the handle's time-out; those behind it
// only as far as the socket takes them at once, and when it takes one of
// them in part, *cut is the count of its bytes that went: the caller must
// send that message next, with `already` = *cut, before anything else on
// the stream. *sent is the count of messages that went whole, from the
// first on; the others keep offset 0. Returns 1, or the failure of the
// first message, stored as the send of it alone stores it (a rest that
// cannot be sent fails with KUVNET_RESULT_PARTIAL_SEND).
uint32_t send_messages(kuvnet *handle, packet_info *const *infos, size_t count, uint64_t already,
                       size_t *sent, uint64_t *cut);

// ---- the handle ---------------------------------------------------------

// The handle's time-out as the socket wrappers take it: 0xFFFFFFFF, and any
// value beyond the signed range, waits without limit.
inline int32_t io_timeout(const kuvnet *handle) {
    return static_cast<int32_t>(handle->timeout);
}

// Stores code in the handle's and the record's error_code.
inline uint32_t fail_both(kuvnet *handle, packet_info *info, uint32_t code) {
    info->error_code = static_cast<int32_t>(code);
    handle->error_code = code;
    return code;
}

// ---- bodies that grow as they arrive ------------------------------------

// A tracked-heap block that grows towards a final size as bytes arrive. A
// peer announces a body or a message size before sending it, and that claim
// may be anything up to 2^64 bytes: the block is allocated whole when the
// claim is small (the common case, read straight into its final block) and
// otherwise starts at kGrowthStep and doubles, so that what the receiver
// holds stays within twice what actually arrived.
class GrowingBlock {
  public:
    static constexpr uint64_t kGrowthStep = uint64_t{2} << 20;

    GrowingBlock() = default;
    ~GrowingBlock() { reset(); }
    GrowingBlock(const GrowingBlock &) = delete;
    GrowingBlock &operator=(const GrowingBlock &) = delete;

    uint8_t *data() const { return data_; }
    uint64_t capacity() const { return capacity_; }
    // Makes at least `needed` bytes usable (needed <= final_size); false
    // when memory runs out, leaving the block as it was.
    bool reserve(uint64_t needed, uint64_t final_size);
    // Gives up the block and returns it.
    uint8_t *release();
    void reset();

  private:
    uint8_t *data_ = nullptr;
    uint64_t capacity_ = 0;
};

// ---- receiving ----------------------------------------------------------

// Where the body (and, on a stream, the trailer) of a received packet is
// written: from `position` on in `block`, which may grow up to
// `final_size`; position + body + trailer never exceeds final_size.
// When `next_header` is set, the first kShortHeaderSize bytes behind the
// trailer (the start of the next packet's header, which every header is at
// least) are read with the body into it.
struct BodyTarget {
    GrowingBlock *block;
    uint64_t position;
    uint64_t final_size;
    uint8_t *next_header = nullptr;
};

// Bytes of a stream read past the packet a receive needed, kept by its
// caller for the next receive on the same stream: data[start, end) are the
// stream's next bytes, and the next receive takes them before it reads
// the socket. The socket no longer shows them, so the caller receives again
// before it waits on the socket while any are held, and drops them with the
// stream. data holds `capacity` bytes; the caller owns it.
struct StreamStash {
    uint8_t *data = nullptr;
    uint32_t capacity = 0;
    uint32_t start = 0;
    uint32_t end = 0;

    uint32_t held() const { return end - start; }
};

// Chooses where bodies land. The receive asks once per packet with a body,
// after the header was parsed into info: `place` either fills the target
// and returns true, or returns false and the body gets a block of its own
// in info->data.
class BodyPlacement {
  public:
    // The end of the whole receive the packet belongs to, or nullptr: no
    // wait of the packet's receive then lasts beyond it, however often the
    // peer sends a few bytes.
    const kuv::sysio::Deadline *whole = nullptr;
    // On a stream: where every receive of the packet first takes its bytes
    // and puts what else has arrived, or nullptr to read no byte past the
    // packet (the next header's start aside, see BodyTarget).
    StreamStash *stash = nullptr;

    virtual bool place(const packet_info &header, BodyTarget *target) = 0;
    // Moves the header bytes read ahead with the last body, if any, to
    // `header` and returns their count (0 or kShortHeaderSize).
    virtual uint64_t take_read_ahead(uint8_t *header) {
        (void)header;
        return 0;
    }

  protected:
    ~BodyPlacement() = default;
};

// Receives one packet into info (its src_id the receiver's own identifier)
// over the handle's transport. With a placement that takes the body, info's
// data stays NULL and size is the body length; `placed` tells which
// happened. Failures are stored as the exported receive stores them.
uint32_t receive_packet(kuvnet *handle, packet_info *info, BodyPlacement *placement, bool *placed);

// Receives packets until a message is whole, as kuv_mapi_kuvnet_rx_data_fill
// does, and within whole_msec for the whole message when that is not
// negative: a peer that has not delivered the message by then fails the
// receive as a peer that falls silent does. On a stream with a stash, the
// stash's bytes come first and each receive also takes what else has
// arrived, up to the stash's room, into it.
uint32_t receive_whole_message(kuvnet *handle, packet_info *info, int32_t whole_msec,
                               StreamStash *stash = nullptr);

// Receives one packet and, on an acknowledged transport, answers it with an
// acknowledgement.
uint32_t receive_and_acknowledge(kuvnet *handle, packet_info *info, BodyPlacement *placement,
                                 bool *placed);

}  // namespace kuv::net

#endif  // KUV_KUVNET_PACKET_INTERNAL_H
