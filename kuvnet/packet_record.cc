// The packet and packet_info records: init and release.
#include <cstring>

#include "davro_kuv/runtime.h"
#include "kuvnet/kuvnet_internal.h"

extern "C" {

// packet has no checking twin, so its operations refuse NULL themselves.
uint32_t kuv_mapi_init_packet(packet *record) {
    if (!record) return KUV_RESULT_INVALID_ARGUMENT;
    record->data = nullptr;
    record->length = 0;
    return KUV_RESULT_OK;
}

uint32_t kuv_mapi_release_packet(packet *record) {
    if (!record) return KUV_RESULT_INVALID_ARGUMENT;
    if (record->data) kuv_xapi_free(record->data);
    record->data = nullptr;
    record->length = 0;
    return KUV_RESULT_OK;
}

uint32_t kuv_mapi_init_packet_info(packet_info *record) {
    std::memset(record, 0, sizeof *record);
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_init_packet_info(packet_info *record) {
    if (!record) return KUV_RESULT_INVALID_ARGUMENT;
    return kuv_mapi_init_packet_info(record);
}

// The identifiers, command and sizes stay: a receiver reads them after it
// has taken the body.
uint32_t kuv_mapi_release_packet_info(packet_info *record) {
    if (record->data) kuv_xapi_free(record->data);
    record->data = nullptr;
    record->size = 0;
    record->error_code = 0;
    return KUV_RESULT_OK;
}

uint32_t kuv_xapi_release_packet_info(packet_info *record) {
    if (!record) return KUV_RESULT_INVALID_ARGUMENT;
    return kuv_mapi_release_packet_info(record);
}

}  // extern "C"
