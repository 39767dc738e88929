// Case conversion in place and comparison ignoring case. A byte with its
// high bit set opens a two-byte character: that byte and the one after it
// are never mapped, so multi-byte text keeps its second bytes intact even
// where they happen to look like ASCII letters.
#include "runtime/guards.h"
#include "text/text_internal.h"

namespace kuv::text {
namespace {

template <int32_t (*Map)(int32_t)>
char *map_case(char *s) {
    if (!s) return nullptr;
    bool second_byte_pending = false;
    for (char *at = s; *at != '\0'; ++at) {
        auto byte = static_cast<unsigned char>(*at);
        if (second_byte_pending) {
            second_byte_pending = false;
        } else if (byte & 0x80) {
            second_byte_pending = true;
        } else {
            *at = static_cast<char>(Map(byte));
        }
    }
    return s;
}

// Lower-cased copies of both strings (whole, limit 0, or at most limit
// bytes, so that nothing past a bounded comparison's limit is read) on the
// system heap, compared by the caller's comparison. A copy that cannot be
// made is NULL, which every comparison answers with -1.
template <typename Compare>
int32_t compare_lowered(const char *a, const char *b, uint64_t limit, Compare compare) {
    if (!a || !b) return -1;
    SystemBlock lower_a(duplicate_string<SystemHeap>(a, limit));
    SystemBlock lower_b(duplicate_string<SystemHeap>(b, limit));
    return compare(kuv_xapi_to_lower_string(lower_a.chars()),
                   kuv_xapi_to_lower_string(lower_b.chars()));
}

}  // namespace
}  // namespace kuv::text

extern "C" {

char *kuv_xapi_to_upper_string(char *s) {
    return kuv::text::map_case<kuv_xapi_to_upper>(s);
}

char *kuv_xapi_to_lower_string(char *s) {
    return kuv::text::map_case<kuv_xapi_to_lower>(s);
}

int32_t kuv_xapi_compare_case_string(const char *a, const char *b) {
    return kuv::text::compare_lowered(a, b, 0, kuv_xapi_compare_string);
}

int32_t kuv_xapi_compare_case_string_limit(const char *a, const char *b, uint64_t limit) {
    if (a && b && limit == 0) return 0;  // no byte to compare, none to read
    return kuv::text::compare_lowered(a, b, limit, [limit](const char *x, const char *y) {
        return kuv_xapi_compare_string_limit(x, y, limit);
    });
}

}  // extern "C"
