// Fuzzes the packet header parser on arbitrary bytes: the first byte picks
// the handle's version (0 or 1) and the receiver's identifier, the rest is
// the header. The result code, every field and the header length must agree
// with the plain model, the parser must read nothing past the bytes given
// (the bytes sit in a block of exactly their size), and the handle's
// version may only go down.
#include <cstdint>
#include <cstring>
#include <vector>

#include "kuvnet_packet_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint32_t start_version = data[0] & 1;
    // Identifiers that the seeds use (2), or one with top bits set.
    const uint32_t own_id = (data[0] & 2) ? 0xAB000002u : 2u;
    std::vector<uint8_t> header(data + 1, data + size);
    kuvnet *handle = nullptr;
    FUZZ_CHECK(kuv_xapi_kuvnet_init(&handle, 0) == 1);
    handle->version = start_version;
    packet_info info{};
    info.src_id = own_id;
    const uint8_t *bytes = header.empty() ? data : header.data();
    const uint32_t code = kuv_xapi_kuvnet_parse_main_header(handle, &info, bytes, header.size());

    uint32_t model_version = start_version;
    packet_model::Header model = packet_model::parse(bytes, header.size(), own_id, &model_version);
    FUZZ_CHECK(code == model.code);
    FUZZ_CHECK(handle->version == model_version);
    FUZZ_CHECK(handle->version <= start_version);
    if (code == 1) {
        FUZZ_CHECK(info.dst_id == model.dst_id);
        FUZZ_CHECK(info.src_id == model.src_id);
        FUZZ_CHECK(info.cmd_type == model.cmd_type);
        FUZZ_CHECK(info.cmd_id == model.cmd_id);
        FUZZ_CHECK(static_cast<uint64_t>(info.total_size) == model.total_size);
        FUZZ_CHECK(info.offset == model.offset);
        FUZZ_CHECK(info.size == model.body && info.packet_size == model.body);
        FUZZ_CHECK(info.body_offset == model.length);
        FUZZ_CHECK(info.body_offset <= header.size());
        FUZZ_CHECK(info.data == nullptr);
    }
    FUZZ_CHECK(handle->error_code == 0);
    kuv_xapi_kuvnet_delete(&handle);
    return 0;
}
