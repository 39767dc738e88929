// The URI record: open runs the parser steps over a copy of the text, close
// releases every field. A record is all or nothing: when memory runs out in
// any step, open releases what it made and returns NULL rather than a record
// with silently missing parts.
#include "davro_kuv/runtime.h"
#include "text/text_internal.h"
#include "uri/uri_internal.h"

namespace kuv::uri {

bool set_field(char **field, std::string_view value) {
    // The copy is made before the old value is released: value may point
    // into it (a step handed one of the record's own fields as its text).
    char *copy = kuv::text::duplicate_bytes<kuv::text::TrackedHeap>(value.data(), value.size());
    clear_field(field);
    *field = copy;
    return copy != nullptr;
}

void clear_field(char **field) {
    if (*field) kuv_xapi_free(*field);
    *field = nullptr;
}

}  // namespace kuv::uri

using kuv::uri::clear_field;
using kuv::uri::set_field;

extern "C" {

uri_record *kuv_xapi_open_uri(const char *text) {
    if (!text) return nullptr;
    auto *record = static_cast<uri_record *>(kuv_xapi_calloc(1, sizeof(uri_record)));
    if (!record) return nullptr;
    if (!set_field(&record->text, text)) {
        kuv_xapi_close_uri(record);
        return nullptr;
    }
    int32_t plain = kuv_iapi_check_backslash(record);
    if (plain == 0) return record;
    if (plain < 0 || kuv_iapi_parse_scheme_uri(record) < 0 ||
        kuv_iapi_parse_authority_uri(record) < 0 || kuv_iapi_parse_path_uri(record) < 0) {
        kuv_xapi_close_uri(record);
        return nullptr;
    }
    return record;
}

int32_t kuv_xapi_close_uri(uri_record *record) {
    if (!record) return 0;
    char **fields[] = {&record->text, &record->scheme,   &record->authority, &record->user_info,
                       &record->user, &record->password, &record->host,      &record->port_text,
                       &record->path, &record->query,    &record->fragment,  &record->encoded_path};
    for (char **field : fields)
        clear_field(field);
    kuv_xapi_free(record);
    return 0;
}

int32_t kuv_iapi_check_backslash(uri_record *record) {
    if (!record || !record->text) return -1;
    std::string_view text = record->text;
    if (text.find('\\') == std::string_view::npos) return 1;
    // A local file name written with backslashes: kept whole as the path.
    return set_field(&record->path, text) ? 0 : -1;
}

}  // extern "C"
