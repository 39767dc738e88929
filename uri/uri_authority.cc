// The authority: user information, host and port between the slashes after
// the scheme and the path. The rules are the library's own and tolerant:
//   - more than two slashes make an opaque path with nothing else;
//   - a host part without a "." is not a host: the whole rest is the path;
//   - a port must be decimal only when user information stands before it;
//   - an IPv6 literal is taken from between "[" and "]".
#include "davro_kuv/text.h"
#include "runtime/slice.h"
#include "uri/uri_internal.h"

using namespace kuv::uri;

namespace kuv::uri {

// The brackets are looked for in the authority only: a "[" in the path or
// query ("?a[]=1") says nothing about the host and must not replace it.
int32_t check_ipv6(uri_record *record, std::string_view rest, AuthoritySpan span) {
    record->is_ipv6 = 0;
    std::string_view authority = kuv::slice(rest, span.begin, span.end - span.begin);
    size_t open = authority.find('[');
    if (open == kNotFound) return 0;
    // The closing bracket must leave at least one byte between the two.
    size_t close = authority.find(']', open + 2);
    if (close != kNotFound) {
        if (!set_field(&record->host, kuv::slice(authority, open + 1, close - open - 1))) return -1;
        record->is_ipv6 = 1;
        return 0;
    }
    // An unclosed bracket: what follows it is kept as the path, to the end of
    // the text, and parsing of the authority ends.
    return set_field(&record->path, kuv::slice(rest, span.begin + open + 1)) ? 1 : -1;
}

}  // namespace kuv::uri

namespace {

// user_info is the text before the first "@"; its first ":" splits it into
// user and password.
bool split_user_info(uri_record *record, std::string_view authority) {
    size_t at = authority.find('@');
    if (at == kNotFound) return true;
    std::string_view user_info = kuv::slice(authority, 0, at);
    if (!set_field(&record->user_info, user_info)) return false;
    size_t colon = user_info.find(':');
    if (colon == kNotFound) return set_field(&record->user, user_info);
    return set_field(&record->user, kuv::slice(user_info, 0, colon)) &&
           set_field(&record->password, kuv::slice(user_info, colon + 1));
}

// The host is already set from between the brackets; a ":" right after the
// last "]" starts the port.
bool split_ipv6_port(uri_record *record, std::string_view authority) {
    size_t close = authority.rfind(']');
    if (close == kNotFound || close + 1 >= authority.size() || authority[close + 1] != ':')
        return true;
    return set_field(&record->port_text, kuv::slice(authority, close + 2));
}

bool split_host_port(uri_record *record, std::string_view authority) {
    size_t first_at = authority.find('@');
    size_t last_at = authority.rfind('@');
    size_t colon = authority.rfind(':');
    if (colon == kNotFound) {
        bool after_at = first_at != kNotFound && first_at > 0;
        return set_field(&record->host, after_at ? kuv::slice(authority, first_at + 1) : authority);
    }
    if (last_at != kNotFound && last_at < colon) {
        // "user@host:port": the port counts only when it is a number;
        // otherwise the colon and what follows stay in the host.
        if (!set_field(&record->port_text, kuv::slice(authority, colon + 1))) return false;
        if (kuv_xapi_is_decimal_string(record->port_text))
            return set_field(&record->host,
                             kuv::slice(authority, last_at + 1, colon - last_at - 1));
        clear_field(&record->port_text);
        return set_field(&record->host, kuv::slice(authority, first_at + 1));
    }
    if (last_at != kNotFound) {
        // The colon belongs to the user information: no port.
        return set_field(&record->host, kuv::slice(authority, last_at + 1));
    }
    if (record->has_scheme && record->is_opaque) return set_field(&record->host, authority);
    return set_field(&record->host, kuv::slice(authority, 0, colon)) &&
           set_field(&record->port_text, kuv::slice(authority, colon + 1));
}

void clear_authority_fields(uri_record *record) {
    char **fields[] = {&record->authority, &record->user_info, &record->user, &record->password,
                       &record->host,      &record->port_text, &record->path};
    for (char **field : fields)
        clear_field(field);
    record->port = 0;
    record->is_opaque = 0;
    record->is_ipv6 = 0;
}

}  // namespace

extern "C" {

int32_t kuv_iapi_check_ipv6_uri(uri_record *record, const char *text) {
    if (!record || !text) return -1;
    std::string_view rest = text;
    return check_ipv6(record, rest, authority_span(rest));
}

int32_t kuv_iapi_parse_authority_uri(uri_record *record) {
    if (!record || !record->text) return -1;
    clear_authority_fields(record);
    std::string_view input = record->text;
    std::string_view rest = input;
    if (record->has_scheme) {
        size_t colon = input.find(':');
        if (colon != kNotFound) rest = kuv::slice(input, colon + 1);
    }

    // The authority begins after the run of leading slashes.
    AuthoritySpan span = authority_span(rest);
    if (span.begin > 2) {
        // "file:///tmp/x": two slashes stay in the path.
        record->is_opaque = 1;
        return set_field(&record->path, kuv::slice(rest, 1)) ? 1 : -1;
    }
    record->is_opaque = span.begin == 0 ? 1 : 0;

    // An unclosed bracket (1) ends the step as a success.
    if (int32_t ipv6 = check_ipv6(record, rest, span); ipv6 != 0) return ipv6;
    if (!record->is_ipv6 && kuv::slice(rest, 0, span.end).find('.') == kNotFound) {
        // No dotted host: the whole rest, slashes included, is a path.
        return set_field(&record->path, rest) ? 1 : -1;
    }

    if (span.end < rest.size() && !set_field(&record->path, kuv::slice(rest, span.end))) return -1;
    std::string_view authority = kuv::slice(rest, span.begin, span.end - span.begin);
    if (!set_field(&record->authority, authority)) return -1;
    if (!split_user_info(record, authority)) return -1;
    bool split =
        record->is_ipv6 ? split_ipv6_port(record, authority) : split_host_port(record, authority);
    if (!split) return -1;
    if (record->port_text) record->port = kuv_xapi_string_to_int(record->port_text, 10);
    return 1;
}

}  // extern "C"
