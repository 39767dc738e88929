// Fuzzes message reassembly on a stream: the input is written into one end
// of a socket pair, which then closes, and receive-fill runs on a TCP-typed
// (acknowledged) handle around the other end until the stream is used up.
// Each fill must agree with the plain model in its code, its message and
// the number of bytes it took from the stream (so nothing is read past a
// packet); no single allocation may exceed what a few megabytes allow
// whatever the headers announce; and the tracked heap holds as many blocks
// and bytes at the end as before.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kuvnet_packet_model.h"

namespace {

// The socket pair's buffers hold this much without a reader.
constexpr size_t kLargestInput = 64 * 1024;
// What one allocation may ask for: a message or body block grows from 2 MiB
// only as bytes arrive.
constexpr uint64_t kLargestRequest = (uint64_t{2} << 20) + 64 * 1024;
constexpr uint32_t kOwnId = 2;

uint64_t unread(int socket) {
    int count = 0;
    ioctl(socket, FIONREAD, &count);
    return static_cast<uint64_t>(count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kLargestInput) return 0;
    const uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    const uint64_t bytes = kuv_xapi_get_allocated_memory_size();
    int sockets[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) == 0);
    const int room = 4 * kLargestInput;
    setsockopt(sockets[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(sockets[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    const std::vector<uint8_t> stream(data, data + size);
    size_t written = 0;
    while (written < size) {
        ssize_t wrote = send(sockets[1], data + written, size - written, MSG_NOSIGNAL);
        FUZZ_CHECK(wrote > 0);
        written += static_cast<size_t>(wrote);
    }
    shutdown(sockets[1], SHUT_WR);
    {
        packet_model::LargestRequest requests;
        kuvnet *handle = nullptr;
        FUZZ_CHECK(kuv_xapi_kuvnet_init(&handle, 0) == 1);
        handle->protocol_type = KUVNET_TCP;
        handle->socket = sockets[0];
        handle->timeout = 1000;
        uint64_t position = 0;
        uint32_t model_version = handle->version;
        // Every fill takes at least one byte, so this ends.
        while (position < stream.size()) {
            handle->error_code = 0;
            packet_info info{};
            info.src_id = kOwnId;
            const uint32_t code = kuv_xapi_kuvnet_rx_data_fill(handle, &info);
            packet_model::Fill model =
                packet_model::fill(stream, &position, kOwnId, &model_version);
            FUZZ_CHECK(code == model.code);
            FUZZ_CHECK(handle->version == model_version);
            FUZZ_CHECK(unread(sockets[0]) == stream.size() - position);
            if (code == 1) {
                FUZZ_CHECK(info.total_size == model.total_size);
                FUZZ_CHECK(info.size == model.message.size());
                FUZZ_CHECK(info.offset == 0);
                FUZZ_CHECK((info.data != nullptr) == (info.size > 0));
                FUZZ_CHECK(std::equal(model.message.begin(), model.message.end(), info.data));
            } else {
                FUZZ_CHECK(handle->error_code == code);
                FUZZ_CHECK(info.data == nullptr && info.size == 0);
            }
            kuv_xapi_release_packet_info(&info);
        }
        kuv_xapi_kuvnet_delete(&handle);
        FUZZ_CHECK(requests.largest() <= kLargestRequest);
    }
    close(sockets[1]);
    FUZZ_CHECK(kuv_xapi_get_allocated_memory_count() == blocks);
    FUZZ_CHECK(kuv_xapi_get_allocated_memory_size() == bytes);
    return 0;
}
