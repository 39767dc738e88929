// The diagnostic dump of a packet_info record.
#include <cstdio>

#include "davro_kuv/kuvnet.h"

extern "C" {

int32_t kuv_xapi_dump_packet_info(const packet_info *info) {
    if (!info) return 0;
    using ul = unsigned long;
    const ul total_size = static_cast<ul>(info->total_size);
    // The result code is widened with its sign, so a negative value shows
    // all of its sign bits in hexadecimal too.
    const long error_code = info->error_code;
    return std::printf(
        "*** kuv:packet_info ***\n"
        "\tsrc_id / dst_id : %lu (%08lXH) / %lu (%08lXH)\n"
        "\tcmd_type / cmd_id : %lu (%08lXH) / %lu (%08lXH)\n"
        "\toffset / total_size : %lu (%08lXH) / %lu (%08lXH)\n"
        "\tpacket_size  : %lu (%08lXH)\n"
        "\tsize         : %lu (%08lXH)\n"
        "\terror_code   : %ld (%08lXH)\n"
        "\tbody_offset  : %lu (%08lXH)\n",
        ul{info->src_id}, ul{info->src_id}, ul{info->dst_id}, ul{info->dst_id}, ul{info->cmd_type},
        ul{info->cmd_type}, ul{info->cmd_id}, ul{info->cmd_id}, ul{info->offset}, ul{info->offset},
        total_size, total_size, ul{info->packet_size}, ul{info->packet_size}, ul{info->size},
        ul{info->size}, error_code, static_cast<ul>(error_code), ul{info->body_offset},
        ul{info->body_offset});
}

}  // extern "C"
