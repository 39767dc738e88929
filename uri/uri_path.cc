// The path's parts: query and fragment are copied out of the path, which
// keeps them, and the whole path is percent-encoded.
#include "davro_kuv/runtime.h"
#include "runtime/slice.h"
#include "uri/uri_internal.h"

using namespace kuv::uri;

namespace {

// The encoding is measured first so that its block has exactly the size it
// needs: one allocation, and no four-bytes-per-byte work buffer for long
// paths.
bool set_encoded_path(uri_record *record, std::string_view path) {
    uint64_t length = encoded_length(path);
    auto *encoded = static_cast<char *>(kuv_xapi_alloc(length + 1));
    if (!encoded) return false;
    encode_into(path, encoded);
    record->encoded_path = encoded;
    return true;
}

}  // namespace

extern "C" {

int32_t kuv_iapi_parse_path_uri(uri_record *record) {
    if (!record) return -1;
    clear_field(&record->query);
    clear_field(&record->fragment);
    clear_field(&record->encoded_path);
    if (!record->path) return 1;
    std::string_view path = record->path;
    // A "?" counts only before the first "#": after it, it is part of the
    // fragment, as a browser reads it.
    size_t hash = path.find('#');
    size_t question = kuv::slice(path, 0, hash == kNotFound ? path.size() : hash).find('?');
    if (question != kNotFound) {
        size_t query_end = hash == kNotFound ? path.size() : hash;
        if (!set_field(&record->query, kuv::slice(path, question + 1, query_end - question - 1)))
            return -1;
    }
    if (hash != kNotFound && !set_field(&record->fragment, kuv::slice(path, hash + 1))) return -1;
    return set_encoded_path(record, path) ? 1 : -1;
}

}  // extern "C"
