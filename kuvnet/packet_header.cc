// Reading a packet header: its length as its first bytes reveal it, and the
// checks and fields of the main header.
#include <cstring>

#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"

namespace kuv::net {

uint64_t header_length_so_far(const uint8_t *bytes, uint64_t have) {
    uint64_t at = kTotalSizeAt;
    at += get_le32(bytes + at) == kLongMarker32 ? 4 + kLongValueSize : 4;
    const bool long_offset = have >= at + 4 && get_le32(bytes + at) == kLongMarker32;
    at += long_offset ? 4 + kLongValueSize : 4;
    const bool long_body = have >= at + 2 && get_le16(bytes + at) == kLongMarker16;
    return at + (long_body ? 2 + kLongBodyLengthSize : 2);
}

namespace {

// A position in the header bytes that refuses to step past the bytes there
// are.
class HeaderReader {
  public:
    HeaderReader(const uint8_t *bytes, uint64_t available, uint64_t at)
        : bytes_(bytes), available_(available), at_(at) {}

    // The next size field: 32 bits, or the marker and 64 bits. `invalid` is
    // the code of a long value with every bit set.
    uint32_t size(uint64_t *value, uint32_t invalid) {
        if (!has(4)) return KUVNET_RESULT_SHORT_HEADER;
        uint32_t short_value = get_le32(bytes_ + at_);
        if (short_value != kLongMarker32) {
            *value = short_value;
            at_ += 4;
            return KUV_RESULT_OK;
        }
        if (!has(4 + kLongValueSize)) return KUVNET_RESULT_SHORT_HEADER;
        *value = get_le64(bytes_ + at_ + 4);
        at_ += 4 + kLongValueSize;
        return *value == kInvalid64 ? invalid : KUV_RESULT_OK;
    }

    // The body length: 16 bits, or the marker and 32 bits.
    uint32_t body_length(uint64_t *value) {
        if (!has(2)) return KUVNET_RESULT_SHORT_HEADER;
        uint16_t short_value = get_le16(bytes_ + at_);
        if (short_value != kLongMarker16) {
            *value = short_value;
            at_ += 2;
            return KUV_RESULT_OK;
        }
        if (!has(2 + kLongBodyLengthSize)) return KUVNET_RESULT_SHORT_HEADER;
        uint32_t long_value = get_le32(bytes_ + at_ + 2);
        at_ += 2 + kLongBodyLengthSize;
        *value = long_value;
        return long_value == kInvalid32 ? KUVNET_RESULT_BODY_SIZE : KUV_RESULT_OK;
    }

    uint64_t at() const { return at_; }

  private:
    bool has(uint64_t count) const { return available_ - at_ >= count; }

    const uint8_t *bytes_;
    uint64_t available_;
    uint64_t at_;
};

// Stores the 32-bit field at `at` into *field unless it is the invalid
// value.
uint32_t take_id(const uint8_t *bytes, uint64_t at, uint32_t *field, uint32_t invalid) {
    uint32_t value = get_le32(bytes + at);
    if (value == kInvalid32) return invalid;
    *field = value;
    return KUV_RESULT_OK;
}

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_parse_main_header(kuvnet *handle, packet_info *info, const uint8_t *bytes,
                                           uint64_t available) {
    if (available < kShortHeaderSize) return KUVNET_RESULT_SHORT_HEADER;
    if (std::memcmp(bytes, handle->magic, kMagicLength) != 0) return KUVNET_RESULT_MAGIC;
    // A peer of a lower version lowers ours, so that every later packet
    // this handle builds is one the peer understands.
    uint32_t version = get_le16(bytes + kVersionAt);
    if (version > handle->version) return KUVNET_RESULT_VERSION;
    handle->version = version;
    // The top 8 bits of the destination are the sender's to use.
    uint32_t destination = get_le32(bytes + kDstIdAt);
    if ((destination & kDestinationMask) != (info->src_id & kDestinationMask))
        return KUVNET_RESULT_DST_ID;
    info->dst_id = destination;
    uint32_t code;
    if ((code = take_id(bytes, kSrcIdAt, &info->src_id, KUVNET_RESULT_SRC_ID)) != 1) return code;
    if ((code = take_id(bytes, kCmdTypeAt, &info->cmd_type, KUVNET_RESULT_CMD_TYPE)) != 1)
        return code;
    if ((code = take_id(bytes, kCmdIdAt, &info->cmd_id, KUVNET_RESULT_CMD_ID)) != 1) return code;
    HeaderReader reader(bytes, available, kTotalSizeAt);
    uint64_t total_size, offset, body_length;
    if ((code = reader.size(&total_size, KUVNET_RESULT_TOTAL_SIZE)) != 1) return code;
    info->total_size = static_cast<int64_t>(total_size);
    if ((code = reader.size(&offset, KUVNET_RESULT_OFFSET)) != 1) return code;
    info->offset = offset;
    if ((code = reader.body_length(&body_length)) != 1) return code;
    info->packet_size = body_length;
    info->size = body_length;
    info->body_offset = reader.at();
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_kuvnet_parse_main_header(kuvnet *handle, packet_info *info, const uint8_t *bytes,
                                           uint64_t available) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    if (!info || !bytes) return fail(handle, KUV_RESULT_INVALID_ARGUMENT);
    return kuv_mapi_kuvnet_parse_main_header(handle, info, bytes, available);
}

}  // extern "C"
