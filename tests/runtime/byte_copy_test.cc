// The large-copy routine takes a different path when the destination trails
// the source by 1 to 63 bytes within a page; where heap blocks land decides
// that, so every distance and length is exercised here on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "runtime/byte_copy.h"

namespace {

TEST(ByteCopy, CopiesExactlyTheRangeAtEveryDistanceWithinAPage) {
    constexpr size_t kPage = 4096;
    constexpr size_t kLongest = 3 * kPage;
    // Source and destination in separate page-aligned areas, so that the
    // distance within a page is chosen by the offsets alone.
    auto *source = static_cast<uint8_t *>(std::aligned_alloc(kPage, 2 * kLongest));
    auto *destination = static_cast<uint8_t *>(std::aligned_alloc(kPage, 2 * kLongest));
    ASSERT_TRUE(source && destination);
    for (size_t i = 0; i < 2 * kLongest; ++i)
        source[i] = static_cast<uint8_t>(i * 131 + 7);
    const size_t lengths[] = {0, 1, 100, 2047, 2048, 2049, 4096, 5000, kLongest - 13};
    for (size_t distance : {0, 1, 15, 16, 17, 33, 63, 64, 65, 4000, 4095}) {
        for (size_t source_offset : {0, 3, 16, 48}) {
            for (size_t length : lengths) {
                const size_t target = source_offset + distance;
                std::fill(destination, destination + 2 * kLongest, 0xEE);
                kuv::copy_bytes(destination + target, source + source_offset, length);
                bool inside = true, outside = true;
                for (size_t i = 0; i < length; ++i)
                    inside &= destination[target + i] == source[source_offset + i];
                for (size_t i = 0; i < 2 * kLongest; ++i)
                    if (i < target || i >= target + length) outside &= destination[i] == 0xEE;
                ASSERT_TRUE(inside && outside) << "distance " << distance << " offset "
                                               << source_offset << " length " << length;
            }
        }
    }
    std::free(source);
    std::free(destination);
}

}  // namespace
