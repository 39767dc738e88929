// The names of an endpoint: remote and local name (plain text or a URI's
// host and port) and the list of multicast sources.
#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"
#include "davro_kuv/uri.h"
#include "kuvnet/kuvnet_internal.h"
#include "runtime/guards.h"
#include "uri/port_number.h"

namespace kuv::net {

namespace {

// Closes a parsed URI on every path out.
struct UriOwner {
    uri_record *record;
    explicit UriOwner(const char *text) : record(kuv_xapi_open_uri(text)) {}
    ~UriOwner() {
        if (record) kuv_xapi_close_uri(record);
    }
    UriOwner(const UriOwner &) = delete;
    UriOwner &operator=(const UriOwner &) = delete;
};

// Fills a 128-character name field; a longer text is cut so that the
// terminator still fits.
uint32_t set_name(kuvnet *handle, char (&field)[KUVNET_NAME_SIZE], const char *text,
                  int32_t is_uri) {
    if (text && is_uri == 1) {
        // Every text parses; only a lack of memory gives no record, and the
        // text itself is no host name.
        UriOwner uri(text);
        if (!uri.record) return fail(handle, KUVNET_RESULT_NO_MEMORY);
        std::memset(field, 0, sizeof field);
        // A URI without a host part names no host: the field stays empty
        // rather than taking the URI's text.
        if (uri.record->host) kuv_xapi_copy_string_limit(field, uri.record->host, sizeof field - 1);
        // A port number too large for a port gives a port create refuses.
        if (uri.record->port_text) handle->port = kuv::uri::port_number(uri.record);
        return KUV_RESULT_OK;
    }
    // The text may be the field itself or lie in it (a name the caller wrote
    // there and sets again): it is copied out before the field is cleared.
    char name[KUVNET_NAME_SIZE] = {};
    if (text) kuv_xapi_copy_string_limit(name, text, sizeof name - 1);
    std::memcpy(field, name, sizeof field);
    return KUV_RESULT_OK;
}

// Resolves a source's text into record: a URI's host (with its port) when
// asked and present with a port that fits, else the whole text. The
// resolver's result.
uint32_t resolve_source(kuvnet *handle, kuvnet_address *record, const char *text, int32_t is_uri) {
    if (is_uri == 1) {
        UriOwner uri(text);
        if (!uri.record) return KUVNET_RESULT_NO_MEMORY;  // every text parses
        if (uri.record->host) {
            const int32_t port = uri.record->port_text ? kuv::uri::port_number(uri.record) : 0;
            if (!port_out_of_range(port) &&
                try_resolve_address(handle, record, uri.record->host, port) == KUV_RESULT_OK)
                return KUV_RESULT_OK;
        }
    }
    return resolve_address(handle, record, text, 0);
}

}  // namespace

}  // namespace kuv::net

using namespace kuv::net;

extern "C" {

uint32_t kuv_xapi_kuvnet_set_remote(kuvnet *handle, const char *text, int32_t is_uri) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    return set_name(handle, handle->peer_name, text, is_uri);
}

uint32_t kuv_xapi_kuvnet_set_local(kuvnet *handle, const char *text, int32_t is_uri) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    return set_name(handle, handle->local_name, text, is_uri);
}

uint32_t kuv_xapi_kuvnet_add_source(kuvnet *handle, const char *text, int32_t is_uri) {
    if (!handle) return KUV_RESULT_INVALID_ARGUMENT;
    // A source without a name would join nothing: refused like any other
    // missing argument.
    if (!text) return fail(handle, KUV_RESULT_INVALID_ARGUMENT);
    kuv::TrackedBlock block(kuv_xapi_alloc(sizeof(kuvnet_address)));
    if (!block) return fail(handle, KUVNET_RESULT_NO_MEMORY);
    auto *record = block.get<kuvnet_address>();
    reset_address(record);
    uint32_t resolved = resolve_source(handle, record, text, is_uri);
    // A source that names no address (an empty text, or a handle whose
    // transport is not set yet, which the lookup leaves alone) would join
    // nothing.
    if (resolved == KUV_RESULT_OK && !record->addresses) resolved = KUVNET_RESULT_SOURCE_LOOKUP;
    if (resolved != KUV_RESULT_OK) {
        release_address(record);
        // Running out of memory is told as such, not as an unknown name.
        return fail(handle,
                    resolved == KUVNET_RESULT_NO_MEMORY ? resolved : KUVNET_RESULT_SOURCE_LOOKUP);
    }
    kuvnet_address *tail = handle->source_list;
    while (tail && tail->next)
        tail = tail->next;
    record->prev = tail;
    record->next = nullptr;
    if (tail)
        tail->next = record;
    else
        handle->source_list = record;
    block.release();
    return KUV_RESULT_OK;
}

}  // extern "C"
