// The checks of a message description before it is sent or received.
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"

extern "C" {

uint32_t kuv_xapi_kuvnet_check_valid_tx_packet_info(const packet_info *info) {
    using namespace kuv::net;
    if (!info) return KUVNET_RESULT_NO_SOCKET;
    if (info->cmd_id == kInvalid32) return KUVNET_RESULT_CMD_ID;
    if (info->cmd_type == kInvalid32) return KUVNET_RESULT_CMD_TYPE;
    if (info->dst_id == kInvalid32) return KUVNET_RESULT_DST_ID;
    if (info->src_id == kInvalid32) return KUVNET_RESULT_SRC_ID;
    // A command class whose top byte is 1 may mark a message of unknown
    // length with an all-ones total size.
    const bool open_length_class = (info->cmd_type >> 24) == 1;
    if (static_cast<uint64_t>(info->total_size) == kInvalid64 && !open_length_class)
        return KUVNET_RESULT_TOTAL_SIZE;
    if (info->offset == kInvalid64) return KUVNET_RESULT_OFFSET;
    if (info->size == kInvalid64) return KUVNET_RESULT_BODY_SIZE;
    // A part that starts inside a known total must end inside it: bytes
    // claimed past it (a record sent again without its offset set back)
    // are refused by every receiver, unseen by a sender on a transport
    // without acknowledgements. A message sent from offset 0 may carry a
    // total of its own choosing.
    if (info->offset != 0 && info->total_size >= 0) {
        const auto total = static_cast<uint64_t>(info->total_size);
        if (info->offset > total || info->size > total - info->offset) return KUVNET_RESULT_OFFSET;
    }
    // Without a known total nothing above bounds the part: its packets'
    // offsets must stay below the all-ones value, which every receiver
    // refuses, and must not wrap round to 0 past it.
    if (info->size > kInvalid64 - info->offset) return KUVNET_RESULT_OFFSET;
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_kuvnet_check_valid_rx_packet_info(const packet_info *info) {
    return info ? KUV_RESULT_OK : KUVNET_RESULT_NO_SOCKET;
}

}  // extern "C"
