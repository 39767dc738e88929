// Pieces of a string view. The library is built without exceptions and
// without the C++ runtime, so no piece of it may reach the out_of_range
// that substr raises for a start past the end: a slice clamps instead, and
// a start past the end gives the empty piece at the end.
#ifndef KUV_RUNTIME_SLICE_H
#define KUV_RUNTIME_SLICE_H

#include <cstddef>
#include <string_view>

namespace kuv {

constexpr std::string_view slice(std::string_view text, size_t from,
                                 size_t count = std::string_view::npos) {
    if (from > text.size()) from = text.size();
    const size_t left = text.size() - from;
    return std::string_view(text.data() + from, count < left ? count : left);
}

}  // namespace kuv

#endif  // KUV_RUNTIME_SLICE_H
