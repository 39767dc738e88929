// Helpers shared by the URI parser's steps. The parser works on string_views
// of the record's own text and copies a field only once its bounds are known,
// so every scan is bounded by the input and no step reads past a terminator.
#ifndef KUV_URI_INTERNAL_H
#define KUV_URI_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "davro_kuv/uri.h"

namespace kuv::uri {

// A set of byte values as a table indexed by the byte, so that looking for
// the first of several delimiters is one pass with one load per byte.
class ByteSet {
  public:
    constexpr ByteSet() = default;
    constexpr explicit ByteSet(std::string_view members) {
        for (char member : members)
            add(static_cast<unsigned char>(member));
    }
    constexpr void add(unsigned char value) { members_[value] = true; }
    constexpr bool contains(unsigned char value) const { return members_[value]; }

  private:
    bool members_[256] = {};
};

// Bytes that keep the text before the first ":" from being a scheme: a host
// name with a dot, a path, user information or a bracketed address.
inline constexpr ByteSet kSchemeBreakers{":/@?#.["};
// Bytes that end the authority.
inline constexpr ByteSet kPathDelimiters{"/?#"};

constexpr size_t kNotFound = std::string_view::npos;

// Index of the first byte of text at or after from that is in set, or
// kNotFound.
inline size_t find_first_in(std::string_view text, const ByteSet &set, size_t from = 0) {
    for (size_t index = from; index < text.size(); ++index)
        if (set.contains(static_cast<unsigned char>(text[index]))) return index;
    return kNotFound;
}

// Length of the run of value at the start of text.
inline size_t leading_run(std::string_view text, char value) {
    size_t count = 0;
    while (count < text.size() && text[count] == value)
        ++count;
    return count;
}

// The bounds of the authority inside the text after the scheme: it starts
// after the leading slashes and ends at the first "/", "?" or "#" after that
// (or at the end of the text).
struct AuthoritySpan {
    size_t begin;
    size_t end;
};

inline AuthoritySpan authority_span(std::string_view rest) {
    size_t begin = leading_run(rest, '/');
    size_t end = find_first_in(rest, kPathDelimiters, begin);
    return {begin, end == kNotFound ? rest.size() : end};
}

// Replaces *field by a new tracked-heap copy of value. False when memory ran
// out; the field is then NULL.
bool set_field(char **field, std::string_view value);
// Releases *field and clears it.
void clear_field(char **field);

// Looks for a bracketed address inside rest's authority span. As
// kuv_iapi_check_ipv6_uri: 0 to go on, 1 when parsing of the authority
// stops, -1 when memory ran out.
int32_t check_ipv6(uri_record *record, std::string_view rest, AuthoritySpan span);

// Count of characters the percent-encoding of source takes.
uint64_t encoded_length(std::string_view source);
// Writes the percent-encoding of source and a terminator into destination,
// which holds at least encoded_length(source) + 1 bytes. Returns the count
// written without the terminator.
uint64_t encode_into(std::string_view source, char *destination);

}  // namespace kuv::uri

#endif  // KUV_URI_INTERNAL_H
