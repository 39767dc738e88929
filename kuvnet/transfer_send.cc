// Sending a whole message: packet after packet, each acknowledged on an
// acknowledged transport and sent again while the peer answers not-ready.
#include "davro_kuv/runtime.h"
#include "kuvnet/kuvnet_internal.h"
#include "kuvnet/packet_internal.h"

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

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_mapi_kuvnet_tx_data(kuvnet *handle, packet_info *info) {
    SendState state;
    const bool acknowledged = is_acknowledged(handle->protocol_type);
    uint64_t cursor = 0;
    uint32_t not_ready = 0;
    bool rebuild = true;
    for (;;) {
        if (rebuild) {
            kuv_mapi_release_packet(&state.current);
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
        kuv_mapi_release_packet_info(&state.answer);
        kuv_mapi_init_packet_info(&state.answer);
        state.answer.src_id = info->src_id;
        code = kuv_mapi_kuvnet_rx_a_packet(handle, &state.answer);
        if (code != KUV_RESULT_OK) return code;
        if (state.answer.cmd_type == KUVNET_CMD_ACK) {
            if (last) return KUV_RESULT_OK;
            // The limit is per packet: a slow peer may be busy now and then
            // over a long message.
            not_ready = 0;
            rebuild = true;
            continue;
        }
        uint32_t answer_code = state.answer.cmd_id;
        if (answer_code == KUVNET_RESULT_NOT_READY && ++not_ready <= kNotReadyResends) {
            rebuild = false;
            if (handle->is_server == 0) kuv_xapi_sleep_wait(0, kResendPauseUsec);
            continue;
        }
        // An answer that is no acknowledgement and carries success (or no
        // code) would end the send as if the message had gone through while
        // its packets were not all taken.
        if (answer_code == 0 || answer_code == KUV_RESULT_OK) answer_code = KUVNET_RESULT_CMD_ID;
        info->error_code = static_cast<int32_t>(answer_code);
        return fail(handle, answer_code);
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
