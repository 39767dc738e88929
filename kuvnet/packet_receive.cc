// Receiving one packet: a whole datagram, or a header and then its body read
// from a stream straight into the block that keeps it (with, when the
// placement asks, the start of the next header in the same receive, or
// whatever else has arrived into the placement's stash).
#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"
#include "runtime/guards.h"
#include "sysio/socket_internal.h"

namespace kuv::net {

namespace {

// The largest datagram; UDP carries no more.
constexpr uint64_t kDatagramCapacity = 65536;
// One stream read gathers at most this many bytes (the count must fit the
// wrapper's signed result).
constexpr uint64_t kLargestRead = 0x7FFFFFFFu;

uint64_t doubled(uint64_t value) {
    return value > ~uint64_t{0} / 2 ? ~uint64_t{0} : value * 2;
}

// The wait for the next piece: the handle's time-out, cut to what is left
// of the whole receive when it has an end.
int32_t piece_timeout(const kuvnet *handle, const kuv::sysio::Deadline *whole) {
    const int32_t timeout = io_timeout(handle);
    const int32_t left = whole ? whole->remaining() : -1;
    if (left < 0) return timeout;
    return timeout < 0 ? left : std::min(timeout, left);
}

// One receive into the message's pieces, waiting for the socket as long as
// a piece may: the bytes taken, 0 at the stream's end, or -1.
int32_t receive_pieces(kuvnet *handle, struct msghdr &message, const kuv::sysio::Deadline *whole) {
    const int32_t socket = handle->socket;
    return kuv::sysio::timed_transfer(
        piece_timeout(handle, whole), 0,
        [socket](int32_t remaining) {
            return kuv::sysio::wait_socket(socket, kuv::sysio::kReadable, remaining);
        },
        [&](int flags) { return ::recvmsg(socket, &message, flags); });
}

// Fills `count` bytes from the stream as kuv_xapi_recv_fill does, each piece
// waiting at most the handle's time-out, and never past the whole
// receive's end. False when they did not all come.
bool fill_from_stream(kuvnet *handle, uint8_t *bytes, uint64_t count,
                      const kuv::sysio::Deadline *whole) {
    if (!whole) {
        const int32_t got = kuv_xapi_recv_fill(handle->socket, bytes, count, io_timeout(handle));
        return got >= 0 && static_cast<uint64_t>(got) == count;
    }
    for (uint64_t have = 0; have < count;) {
        const int32_t got = kuv_xapi_recv_intr(handle->socket, bytes + have, count - have,
                                               piece_timeout(handle, whole), 0);
        if (got <= 0) return false;
        have += static_cast<uint64_t>(got);
    }
    return true;
}

// Fills `count` bytes from the stash's bytes first, then from the stream,
// each receive (within the handle's time-out as kuv_xapi_recv_fill takes
// it) also offering the stash's whole room: what has arrived behind the
// bytes needed lands there for the next read. No receive waits for more
// than the needed bytes. False when they did not all come.
bool fill_through_stash(kuvnet *handle, uint8_t *bytes, uint64_t count,
                        const kuv::sysio::Deadline *whole, StreamStash *stash) {
    const uint64_t taken = std::min<uint64_t>(count, stash->held());
    if (taken > 0) std::memcpy(bytes, stash->data + stash->start, taken);
    stash->start += static_cast<uint32_t>(taken);
    uint64_t wanted = count - taken;
    if (wanted == 0) return true;
    stash->start = stash->end = 0;
    // The bytes land in a block already in memory, so their count fits.
    struct iovec pieces[2] = {{bytes + taken, static_cast<size_t>(wanted)},
                              {stash->data, stash->capacity}};
    struct msghdr message {};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    if (kuv::sysio::no_socket(handle->socket)) return false;
    while (wanted > 0) {
        const int32_t got = receive_pieces(handle, message, whole);
        if (got <= 0) return false;
        const auto moved = static_cast<uint64_t>(got);
        if (moved > wanted) stash->end = static_cast<uint32_t>(moved - wanted);
        wanted -= std::min(moved, wanted);
        kuv::sysio::step_over(message, moved);
    }
    return true;
}

// Fills `count` bytes from the stream, through the stash when there is one.
bool fill_stream(kuvnet *handle, uint8_t *bytes, uint64_t count, const kuv::sysio::Deadline *whole,
                 StreamStash *stash) {
    return stash ? fill_through_stash(handle, bytes, count, whole, stash)
                 : fill_from_stream(handle, bytes, count, whole);
}

// The placement's target for the body, or the caller's own block.
BodyTarget choose_target(BodyPlacement *placement, const packet_info &info, GrowingBlock *own,
                         bool *placed) {
    const BodyTarget own_target{own, 0, info.size + kTrailerSize};
    BodyTarget target = own_target;
    *placed = placement && placement->place(info, &target);
    return *placed ? target : own_target;
}

// Fills `bytes` and then `ahead` (kShortHeaderSize bytes) from the stream in
// as few receives as the data allows, each within the handle's time-out as
// kuv_xapi_recv_fill takes it. False when they are not both filled.
bool receive_with_read_ahead(kuvnet *handle, uint8_t *bytes, uint64_t length, uint8_t *ahead,
                             const kuv::sysio::Deadline *whole) {
    // length is one piece of at most kLargestRead bytes.
    struct iovec pieces[2] = {{bytes, static_cast<size_t>(length)}, {ahead, kShortHeaderSize}};
    struct msghdr message {};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    if (kuv::sysio::no_socket(handle->socket)) return false;
    while (message.msg_iovlen > 0) {
        const int32_t got = receive_pieces(handle, message, whole);
        if (got <= 0) return false;
        kuv::sysio::step_over(message, static_cast<uint64_t>(got));
    }
    return true;
}

// Reads and drops count bytes of the stream: a body that cannot be kept
// still leaves it, so that the next receive starts at the next header
// rather than inside this body. False when they did not all come.
bool skip_stream_bytes(kuvnet *handle, uint64_t count, const kuv::sysio::Deadline *whole,
                       StreamStash *stash) {
    uint8_t sink[16384];
    while (count > 0) {
        const uint64_t piece = std::min<uint64_t>(count, sizeof sink);
        if (!fill_stream(handle, sink, piece, whole, stash)) return false;
        count -= piece;
    }
    return true;
}

// Reads `length` bytes into the target's block from its position on,
// growing the block as they arrive rather than as announced, and the
// target's read-ahead with the last piece. Without memory for the rest the
// rest is read and dropped, and no read-ahead is taken.
uint32_t read_into_block(kuvnet *handle, const BodyTarget &target, uint64_t length,
                         const kuv::sysio::Deadline *whole, StreamStash *stash) {
    GrowingBlock *block = target.block;
    const uint64_t end = target.position + length;
    for (uint64_t at = target.position; at < end;) {
        if (!block->reserve(at + 1, target.final_size))
            return skip_stream_bytes(handle, end - at, whole, stash) ? KUVNET_RESULT_NO_MEMORY
                                                                     : KUVNET_RESULT_SHORT_READ;
        const uint64_t piece = std::min(std::min(block->capacity(), end) - at, kLargestRead);
        if (stash) {
            if (!fill_through_stash(handle, block->data() + at, piece, whole, stash))
                return KUVNET_RESULT_SHORT_READ;
        } else if (target.next_header && at + piece == end) {
            if (!receive_with_read_ahead(handle, block->data() + at, piece, target.next_header,
                                         whole))
                return KUVNET_RESULT_SHORT_READ;
        } else if (!fill_from_stream(handle, block->data() + at, piece, whole)) {
            return KUVNET_RESULT_SHORT_READ;
        }
        at += piece;
    }
    return KUV_RESULT_OK;
}

// Reads the header in as few steps as its fields allow: the shortest header
// first, then whatever its long-form markers add. No step reads past the
// header, so the stream stays at the body (bytes behind it go to the stash
// alone). `have` bytes of it may be there already.
uint32_t read_stream_header(kuvnet *handle, uint8_t *header, uint64_t have, uint64_t *length,
                            const kuv::sysio::Deadline *whole, StreamStash *stash) {
    uint64_t want = have < kShortHeaderSize ? kShortHeaderSize : header_length_so_far(header, have);
    while (have < want) {
        if (!fill_stream(handle, header + have, want - have, whole, stash))
            return KUVNET_RESULT_SHORT_READ;
        have = want;
        want = header_length_so_far(header, have);
    }
    *length = have;
    return KUV_RESULT_OK;
}

uint32_t receive_stream(kuvnet *handle, packet_info *info, BodyPlacement *placement, bool *placed) {
    uint8_t header[kLongestHeaderSize];
    uint64_t header_length = 0;
    const uint64_t have = placement ? placement->take_read_ahead(header) : 0;
    const kuv::sysio::Deadline *whole = placement ? placement->whole : nullptr;
    StreamStash *stash = placement ? placement->stash : nullptr;
    uint32_t code = read_stream_header(handle, header, have, &header_length, whole, stash);
    if (code != KUV_RESULT_OK) return fail(handle, code);
    code = kuv_mapi_kuvnet_parse_main_header(handle, info, header, header_length);
    if (code != KUV_RESULT_OK) return fail_both(handle, info, code);
    // A packet without a body carries no trailer either.
    const uint64_t body = info->size;
    if (body == 0) return KUV_RESULT_OK;
    GrowingBlock own;
    const BodyTarget target = choose_target(placement, *info, &own, placed);
    code = read_into_block(handle, target, body + kTrailerSize, whole, stash);
    if (code != KUV_RESULT_OK) return fail(handle, code);
    if (!*placed) info->data = own.release();
    return KUV_RESULT_OK;
}

uint32_t receive_datagram(kuvnet *handle, packet_info *info, BodyPlacement *placement,
                          bool *placed) {
    TrackedBlock datagram(kuv_xapi_alloc(kDatagramCapacity));
    if (!datagram) {
        // The datagram goes all the same: left queued, it would be taken
        // for the packet or the answer a later receive waits for.
        uint8_t sink[1];
        sockaddr_storage from;
        uint32_t from_length = sizeof from;
        kuv_xapi_recvfrom(handle->socket, sink, sizeof sink, reinterpret_cast<sockaddr *>(&from),
                          &from_length, io_timeout(handle));
        return fail(handle, KUVNET_RESULT_NO_MEMORY);
    }
    kuvnet_address &peer = handle->peer_address;
    auto *sender = reinterpret_cast<struct sockaddr *>(&peer.unix_address);
    uint32_t sender_length = sizeof peer.unix_address;
    errno = 0;
    const int32_t timeout = piece_timeout(handle, placement ? placement->whole : nullptr);
    int32_t got = kuv_xapi_recvfrom(handle->socket, datagram.get(), kDatagramCapacity, sender,
                                    &sender_length, timeout);
    // The wrapper reports an empty datagram as a failure without errno.
    const bool empty = got < 0 && errno == 0;
    if (got < 0 && !empty) return fail(handle, KUVNET_RESULT_DATAGRAM_RECEIVE);
    if (got == 0) return fail(handle, KUVNET_RESULT_NO_TRANSFER);
    // The next send answers whoever spoke last.
    peer.selected = sender;
    if (empty) return fail(handle, KUVNET_RESULT_NO_TRANSFER);
    const auto *bytes = datagram.get<const uint8_t>();
    const auto length = static_cast<uint64_t>(got);
    uint32_t code = kuv_mapi_kuvnet_parse_main_header(handle, info, bytes, length);
    if (code != KUV_RESULT_OK) return fail_both(handle, info, code);
    // The body must lie within the datagram; what a header claims beyond it
    // was never received.
    const uint64_t body = info->size;
    if (body > length - info->body_offset) return fail_both(handle, info, KUVNET_RESULT_BODY_SIZE);
    if (body == 0) return KUV_RESULT_OK;
    GrowingBlock own;
    const BodyTarget target = choose_target(placement, *info, &own, placed);
    // A datagram's trailer is not kept; an own block still has its four
    // spare bytes, cleared.
    const uint64_t end = target.position + body;
    if (!target.block->reserve(*placed ? end : target.final_size, target.final_size))
        return fail(handle, KUVNET_RESULT_NO_MEMORY);
    std::memcpy(target.block->data() + target.position, bytes + info->body_offset, body);
    if (!*placed) {
        std::memset(own.data() + body, 0, kTrailerSize);
        info->data = own.release();
    }
    return KUV_RESULT_OK;
}

}  // namespace

bool GrowingBlock::reserve(uint64_t needed, uint64_t final_size) {
    if (needed <= capacity_) return true;
    const uint64_t target =
        std::min(final_size, std::max({needed, doubled(capacity_), kGrowthStep}));
    void *grown = data_ ? kuv_xapi_realloc(data_, target) : kuv_xapi_alloc(target);
    if (!grown) return false;
    data_ = static_cast<uint8_t *>(grown);
    capacity_ = target;
    return true;
}

uint8_t *GrowingBlock::release() {
    capacity_ = 0;
    return std::exchange(data_, nullptr);
}

void GrowingBlock::reset() {
    if (data_) kuv_xapi_free(data_);
    data_ = nullptr;
    capacity_ = 0;
}

uint32_t receive_packet(kuvnet *handle, packet_info *info, BodyPlacement *placement, bool *placed) {
    *placed = false;
    info->data = nullptr;
    info->size = 0;
    uint32_t code;
    if (is_udp(handle->protocol_type)) {
        code = receive_datagram(handle, info, placement, placed);
    } else if (is_stream(handle->protocol_type)) {
        code = receive_stream(handle, info, placement, placed);
    } else {
        return fail(handle, KUVNET_RESULT_UNSUPPORTED_TYPE);
    }
    // A packet whose body could not be taken keeps the header's fields and
    // claims no body.
    if (code != KUV_RESULT_OK) info->size = 0;
    return code;
}

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_rx_a_packet(kuvnet *handle, packet_info *info) {
    bool placed;
    return receive_packet(handle, info, nullptr, &placed);
}

uint32_t kuv_xapi_kuvnet_rx_a_packet(kuvnet *handle, packet_info *info) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (handle->socket == -1) return fail(handle, KUVNET_RESULT_NO_SOCKET);
    if (!info) return fail(handle, KUV_RESULT_INVALID_ARGUMENT);
    // The caller must release the previous body first: overwriting the
    // pointer would lose it.
    if (info->data) return fail(handle, KUVNET_RESULT_BODY_HELD);
    return kuv_mapi_kuvnet_rx_a_packet(handle, info);
}

}  // extern "C"
