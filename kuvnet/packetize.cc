// Building one packet of a message: its shape and header, and the whole
// packet (header, body and trailer) in one block.
#include <algorithm>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"

namespace kuv::net {

uint32_t shape_packet(const kuvnet *handle, const packet_info *info, uint64_t cursor,
                      PacketShape *shape) {
    const auto total = static_cast<uint64_t>(info->total_size);
    shape->long_total = needs_long_form(total);
    shape->long_offset = needs_long_form(info->offset);
    shape->header = kShortHeaderSize + (shape->long_total ? kLongValueSize : 0) +
                    (shape->long_offset ? kLongValueSize : 0);
    // The trailer follows every body and nothing else: a stream receiver
    // reads one behind each body. For a message whose size matches its
    // total, these are exactly the packets cut while it had bytes left;
    // going by the total would put the stream out of step whenever a total
    // disagrees with the size.
    const uint64_t remaining = cursor < info->size ? info->size - cursor : 0;
    shape->trailer = remaining > 0 ? kTrailerSize : 0;
    const uint64_t base = shape->header + shape->trailer;
    if (handle->max_packet_size < base) return KUVNET_RESULT_NOT_SENDABLE;
    const uint64_t room = handle->max_packet_size - base;
    shape->body = std::min(remaining, room);
    shape->long_body = false;
    if (shape->body > kShortBodyMax) {
        // The long length's four bytes come out of the same limit, which
        // may bring the body back into the short form.
        shape->body = std::min({remaining, room - kLongBodyLengthSize, kLongBodyMax});
        shape->long_body = shape->body > kShortBodyMax;
    }
    // A limit of exactly header and trailer would cut empty packets for
    // ever while the message still has bytes.
    if (shape->body == 0 && remaining > 0) return KUVNET_RESULT_NOT_SENDABLE;
    if (shape->body > 0 && !info->data) return KUV_RESULT_INVALID_ARGUMENT;
    return KUV_RESULT_OK;
}

namespace {

uint8_t *put_size(uint8_t *at, uint64_t value, bool long_form) {
    if (!long_form) {
        put_le32(at, static_cast<uint32_t>(value));
        return at + 4;
    }
    put_le32(at, kLongMarker32);
    put_le64(at + 4, value);
    return at + 4 + kLongValueSize;
}

}  // namespace

uint64_t write_packet_header(const kuvnet *handle, const packet_info *info,
                             const PacketShape &shape, uint8_t *at) {
    uint8_t *const start = at;
    std::memcpy(at, handle->magic, kMagicLength);
    put_le16(at + kVersionAt, static_cast<uint16_t>(handle->version));
    put_le32(at + kDstIdAt, info->dst_id);
    put_le32(at + kSrcIdAt, info->src_id);
    put_le32(at + kCmdTypeAt, info->cmd_type);
    put_le32(at + kCmdIdAt, info->cmd_id);
    at = put_size(at + kTotalSizeAt, static_cast<uint64_t>(info->total_size), shape.long_total);
    at = put_size(at, info->offset, shape.long_offset);
    if (shape.long_body) {
        put_le16(at, kLongMarker16);
        put_le32(at + 2, static_cast<uint32_t>(shape.body));
        at += 2 + kLongBodyLengthSize;
    } else {
        put_le16(at, static_cast<uint16_t>(shape.body));
        at += 2;
    }
    return static_cast<uint64_t>(at - start);
}

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_packetize(kuvnet *handle, packet_info *info, packet *out,
                                   uint64_t *cursor) {
    out->data = nullptr;
    out->length = 0;
    PacketShape shape;
    uint32_t shaped = shape_packet(handle, info, *cursor, &shape);
    if (shaped != KUV_RESULT_OK) return fail(handle, shaped);
    const uint64_t length = shape.length();
    auto *block = static_cast<uint8_t *>(kuv_xapi_alloc(length));
    if (!block) return fail(handle, KUVNET_RESULT_NO_MEMORY);
    uint8_t *at = block + write_packet_header(handle, info, shape, block);
    if (shape.body > 0) std::memcpy(at, info->data + *cursor, shape.body);
    if (shape.trailer > 0) put_le32(at + shape.body, 0);
    out->data = block;
    out->length = length;
    info->offset += shape.body;
    *cursor += shape.body;
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_kuvnet_packetize(kuvnet *handle, packet_info *info, packet *out,
                                   uint64_t *cursor) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (!info || !out) return fail(handle, KUV_RESULT_INVALID_ARGUMENT);
    uint64_t start = 0;
    return kuv_mapi_kuvnet_packetize(handle, info, out, cursor ? cursor : &start);
}

}  // extern "C"
