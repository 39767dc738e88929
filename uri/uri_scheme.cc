// The scheme: the text before the first ":" when it could not be anything
// else. A dot, slash, at sign, "?", "#" or "[" before the colon means a host
// name with a port, a path or user information, so there is no scheme then.
#include "runtime/slice.h"
#include "uri/uri_internal.h"

using namespace kuv::uri;

extern "C" {

int32_t kuv_iapi_parse_scheme_uri(uri_record *record) {
    if (!record || !record->text) return -1;
    clear_field(&record->scheme);
    record->has_scheme = 0;
    std::string_view text = record->text;
    size_t colon = text.find(':');
    if (colon == kNotFound || colon == 0) return 1;
    std::string_view candidate = kuv::slice(text, 0, colon);
    if (find_first_in(candidate, kSchemeBreakers) != kNotFound) return 1;
    if (!set_field(&record->scheme, candidate)) return -1;
    record->has_scheme = 1;
    return 1;
}

}  // extern "C"
