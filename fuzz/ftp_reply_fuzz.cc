// Feeds arbitrary server byte streams to the FTP client's reply reader, cut
// into chunks as a network would deliver them, and every reply text it
// yields (and the raw input) to the 227 and 229 parsers. Aborts on any
// inconsistent reply, on a passive reply read outside its bounds, and when
// the tracked heap does not return to where it started.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "davro_kuv.h"
#include "ftp/passive_reply.h"

namespace {

void check(bool condition, const char *what) {
    if (condition) return;
    std::fprintf(stderr, "ftp reply fuzz: %s\n", what);
    std::abort();
}

void check_passive(std::string_view text) {
    for (const kuv::ftp::PassiveReply &reply :
         {kuv::ftp::parse_227(text), kuv::ftp::parse_229(text)}) {
        check(reply.address[sizeof reply.address - 1] == '\0', "address terminated");
        if (!reply.usable) continue;
        check(reply.port <= kuv::ftp::kLargestPort, "port fits 16 bits");
        check(std::strlen(reply.address) < kuv::ftp::kAddressAreaSize, "address fits its area");
    }
}

void read_replies(kuv_ftp_t *ftp) {
    for (;;) {
        const int32_t code = ftp->read_reply(ftp);
        // 0 is also the code of a "000" line, whose text is kept like any.
        if (code <= 0) {
            check(code == 0 && ftp->reply_code == 0, "nothing read leaves no code");
            return;
        }
        check(code < 1000 && code == ftp->reply_code, "three-digit code");
        check(ftp->reply_text != nullptr, "a reply has its text");
        check(ftp->more_lines <= 1, "continuation mark");
        check_passive(ftp->reply_text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    const uint64_t bytes = kuv_xapi_get_allocated_memory_size();
    check_passive(std::string_view(reinterpret_cast<const char *>(data), size));
    kuv_ftp_t *ftp = kuv_xapi_open_ftp();
    check(ftp != nullptr, "open");
    ftp->reply_buffer = kuv_xapi_open_buffer();
    // The first byte sets the chunk size, so the same stream is cut in
    // different places.
    const size_t chunk = size > 0 ? data[0] % 61 + 1 : 1;
    for (size_t at = size > 0 ? 1 : 0; at < size; at += chunk) {
        const size_t count = size - at < chunk ? size - at : chunk;
        kuv_xapi_push_buffer_ex(ftp->reply_buffer, data + at, count, 0);
        read_replies(ftp);
        // What stays held is at most the unfinished line of this input.
        check(static_cast<uint64_t>(kuv_xapi_get_buffer_size(ftp->reply_buffer)) <= size,
              "held bytes bounded by the input");
    }
    kuv_xapi_close_ftp(ftp);
    check(kuv_xapi_get_allocated_memory_count() == blocks, "tracked blocks back");
    check(kuv_xapi_get_allocated_memory_size() == bytes, "tracked bytes back");
    return 0;
}
