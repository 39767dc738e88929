// The diagnostic dump of a packet_info record.
#include <cinttypes>
#include <cstdio>

#include "davro_kuv/kuvnet.h"

extern "C" {

int32_t kuv_xapi_dump_packet_info(const packet_info *info) {
    if (!info) return 0;
    // Every field is shown 64 bits wide, whatever the width of long. The
    // result code is widened with its sign, so a negative value shows all of
    // its sign bits in hexadecimal too.
    using u64 = uint64_t;
    const int64_t error_code = info->error_code;
    return std::printf(
        "*** kuv:packet_info ***\n"
        "\tsrc_id / dst_id : %" PRIu64 " (%08" PRIX64 "H) / %" PRIu64 " (%08" PRIX64
        "H)\n"
        "\tcmd_type / cmd_id : %" PRIu64 " (%08" PRIX64 "H) / %" PRIu64 " (%08" PRIX64
        "H)\n"
        "\toffset / total_size : %" PRIu64 " (%08" PRIX64 "H) / %" PRIu64 " (%08" PRIX64
        "H)\n"
        "\tpacket_size  : %" PRIu64 " (%08" PRIX64
        "H)\n"
        "\tsize         : %" PRIu64 " (%08" PRIX64
        "H)\n"
        "\terror_code   : %" PRId64 " (%08" PRIX64
        "H)\n"
        "\tbody_offset  : %" PRIu64 " (%08" PRIX64 "H)\n",
        u64{info->src_id}, u64{info->src_id}, u64{info->dst_id}, u64{info->dst_id},
        u64{info->cmd_type}, u64{info->cmd_type}, u64{info->cmd_id}, u64{info->cmd_id},
        u64{info->offset}, u64{info->offset}, static_cast<u64>(info->total_size),
        static_cast<u64>(info->total_size), u64{info->packet_size}, u64{info->packet_size},
        u64{info->size}, u64{info->size}, error_code, static_cast<u64>(error_code),
        u64{info->body_offset}, u64{info->body_offset});
}

}  // extern "C"
