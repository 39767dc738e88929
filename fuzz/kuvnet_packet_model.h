// Shared by the packet fuzz targets: a plain model of the packet header and
// of message reassembly on a stream, written from the wire rules alone, for
// the library's results to be compared with; property checks that abort.
#ifndef KUV_FUZZ_KUVNET_PACKET_MODEL_H
#define KUV_FUZZ_KUVNET_PACKET_MODEL_H

#include <cstdint>
#include <vector>

#include "davro_kuv.h"
#include "fuzz_check.h"

namespace packet_model {

inline uint64_t le(const uint8_t *at, int count) {
    uint64_t value = 0;
    for (int index = count - 1; index >= 0; --index)
        value = value * 256 + at[index];
    return value;
}

struct Header {
    uint32_t code = 1;
    uint64_t length = 0;  // bytes of the header (also when parsing failed)
    uint32_t dst_id = 0, src_id = 0, cmd_type = 0, cmd_id = 0;
    uint64_t total_size = 0, offset = 0, body = 0;
};

// The header length a stream reader must take, judged from the markers alone
// (0 when fewer than 32 bytes are there).
inline uint64_t stream_header_length(const uint8_t *bytes, uint64_t have) {
    if (have < 32) return 0;
    uint64_t length = le(bytes + 22, 4) == 0xFFFFFFFFu ? 38 : 30;
    const uint64_t offset_at = length - 4;
    if (have >= offset_at + 4 && le(bytes + offset_at, 4) == 0xFFFFFFFFu) length += 8;
    const uint64_t body_at = length;
    length += 2;
    if (have >= body_at + 2 && le(bytes + body_at, 2) == 0xFFFF) length += 4;
    return length;
}

// Parses a header from `have` bytes for a receiver `own_id` of `version`,
// which a lower peer version lowers.
inline Header parse(const uint8_t *bytes, uint64_t have, uint32_t own_id, uint32_t *version) {
    Header h;
    if (have < 32) return h.code = 0x88000009, h;
    if (bytes[0] != 'K' || bytes[1] != 'V' || bytes[2] != 'M' || bytes[3] != 'X')
        return h.code = 0x80000014, h;
    const uint32_t peer_version = static_cast<uint32_t>(le(bytes + 4, 2));
    if (peer_version > *version) return h.code = 0x80000015, h;
    *version = peer_version;
    h.dst_id = static_cast<uint32_t>(le(bytes + 6, 4));
    if ((h.dst_id & 0xFFFFFF) != (own_id & 0xFFFFFF)) return h.code = 0x8000000E, h;
    h.src_id = static_cast<uint32_t>(le(bytes + 10, 4));
    if (h.src_id == 0xFFFFFFFFu) return h.code = 0x8000000F, h;
    h.cmd_type = static_cast<uint32_t>(le(bytes + 14, 4));
    if (h.cmd_type == 0xFFFFFFFFu) return h.code = 0x8000000C, h;
    h.cmd_id = static_cast<uint32_t>(le(bytes + 18, 4));
    if (h.cmd_id == 0xFFFFFFFFu) return h.code = 0x8000000D, h;
    uint64_t at = 22;
    uint64_t *sizes[2] = {&h.total_size, &h.offset};
    const uint32_t invalid[2] = {0x80000010, 0x80000011};
    for (int field = 0; field < 2; ++field) {
        if (at + 4 > have) return h.code = 0x88000009, h;
        *sizes[field] = le(bytes + at, 4);
        at += 4;
        if (*sizes[field] != 0xFFFFFFFFu) continue;
        if (at + 8 > have) return h.code = 0x88000009, h;
        *sizes[field] = le(bytes + at, 8);
        at += 8;
        if (*sizes[field] == ~uint64_t{0}) return h.code = invalid[field], h;
    }
    if (at + 2 > have) return h.code = 0x88000009, h;
    h.body = le(bytes + at, 2);
    at += 2;
    if (h.body == 0xFFFF) {
        if (at + 4 > have) return h.code = 0x88000009, h;
        h.body = le(bytes + at, 4);
        at += 4;
        if (h.body == 0xFFFFFFFFu) return h.code = 0x80000012, h;
    }
    h.length = at;
    return h;
}

// One receive-fill over the stream from *position: the code, the message,
// and where the stream stands afterwards.
struct Fill {
    uint32_t code = 1;
    std::vector<uint8_t> message;
    int64_t total_size = 0;
};

inline Fill fill(const std::vector<uint8_t> &stream, uint64_t *position, uint32_t own_id,
                 uint32_t *version) {
    Fill result;
    uint64_t expected = 0, next = 0;
    Header start;
    bool started = false;
    for (;;) {
        const uint8_t *at = stream.data() + *position;
        const uint64_t left = stream.size() - *position;
        const uint64_t header_length = stream_header_length(at, left);
        if (header_length == 0 || header_length > left) {
            *position = stream.size();
            result.code = 0x8000001B;
            break;
        }
        Header h = parse(at, header_length, own_id, version);
        *position += header_length;
        if (h.code != 1) {
            result.code = h.code;
            break;
        }
        const uint64_t body_and_trailer = h.body == 0 ? 0 : h.body + 4;
        if (body_and_trailer > left - header_length) {
            *position = stream.size();
            result.code = 0x8000001B;
            break;
        }
        const uint8_t *body = at + header_length;
        *position += body_and_trailer;
        const auto total = static_cast<int64_t>(h.total_size);
        if (total >= 1 && h.offset == 0) {
            expected = h.total_size;
            next = 0;
            result.message.clear();
            start = h;
            started = true;
        } else if (started && (h.src_id != start.src_id || h.cmd_type != start.cmd_type ||
                               h.cmd_id != start.cmd_id)) {
            result.code = 0x80000011;  // not a packet of the message begun
            break;
        }
        if (h.total_size != expected) {
            result.code = 0x80000010;
            break;
        }
        if (h.offset > expected || h.body > expected - h.offset) {
            result.code = 0x80000011;
            break;
        }
        if (h.offset != next) {
            // A packet behind the start that only repeats bytes already
            // taken is passed over.
            if (started && h.offset < next && h.body <= next - h.offset) continue;
            result.code = 0x80000011;
            break;
        }
        result.message.insert(result.message.end(), body, body + h.body);
        next += h.body;
        if (next >= expected) break;
    }
    result.total_size = static_cast<int64_t>(expected);
    if (result.code != 1) result.message.clear();
    return result;
}

// Records the largest single request of the tracked heap while installed.
class LargestRequest {
  public:
    LargestRequest() {
        largest_ = 0;
        kuv_xapi_set_heap_handler(&LargestRequest::handler, &previous_);
    }
    ~LargestRequest() { kuv_xapi_set_heap_handler(previous_, nullptr); }
    uint64_t largest() const { return largest_; }

  private:
    static void *handler(void *pointer, uint64_t size) {
        if (size > largest_) largest_ = size;
        return kuv_xapi_heap_debug(pointer, size);
    }
    static inline uint64_t largest_ = 0;
    kuv_heap_handler_t previous_ = nullptr;
};

}  // namespace packet_model

#endif  // KUV_FUZZ_KUVNET_PACKET_MODEL_H
