// Reading a whole /proc file into one tracked-heap block.
#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "kuvnet/nic_internal.h"

namespace kuv::net {

namespace {
constexpr uint64_t kFirstBlockSize = 4096;
}  // namespace

FileBytes::~FileBytes() {
    free_block(bytes_);
}

bool FileBytes::read(const char *path) {
    int32_t descriptor = kuv_xapi_open(path, 0, 0);
    if (descriptor < 0) return false;
    uint64_t capacity = 0;
    bool complete = false;
    for (;;) {
        if (length_ == capacity) {
            uint64_t grown = capacity ? capacity * 2 : kFirstBlockSize;
            auto *bigger = static_cast<char *>(noted(kuv_xapi_realloc(bytes_, grown)));
            if (!bigger) break;
            bytes_ = bigger;
            capacity = grown;
        }
        int64_t got = kuv_xapi_read(descriptor, bytes_ + length_, capacity - length_);
        if (got <= 0) {
            complete = got == 0;
            break;
        }
        length_ += static_cast<uint64_t>(got);
    }
    kuv_xapi_close(descriptor);
    // When memory or the read fails part way, the lines read whole are
    // still parsed; a cut last line could give a cut counter, so it goes.
    if (!complete) {
        while (length_ > 0 && bytes_[length_ - 1] != '\n')
            --length_;
    }
    return true;
}

}  // namespace kuv::net
