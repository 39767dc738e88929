// Fuzzes the URI parser: open, encode and close any text, and check what the
// parser's rules promise about the record. Every field is cut out of the
// input (path as a suffix of it), the port is the reading of its text, the
// encoding decodes back to the path, running the steps again gives the same
// record, and the tracked heap is back where it started after close.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "davro_kuv.h"

namespace {

[[noreturn]] void fail(const char *what, std::string_view input) {
    std::fprintf(stderr, "uri fuzz: %s (input of %zu bytes)\n", what, input.size());
    std::abort();
}

void require(bool condition, const char *what, std::string_view input) {
    if (!condition) fail(what, input);
}

bool contains(std::string_view text, const char *field) {
    return !field || text.find(field) != std::string_view::npos;
}

bool ends_with(std::string_view text, const char *field) {
    return !field || text.ends_with(field);
}

int hex_value(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;  // lower case is never written
}

bool unreserved(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_';
}

// Decodes an encoding made by the parser; nullopt when it holds anything the
// encoder must not write.
std::optional<std::string> decode(std::string_view encoded) {
    std::string out;
    for (size_t index = 0; index < encoded.size(); ++index) {
        auto byte = static_cast<unsigned char>(encoded[index]);
        if (byte != '%') {
            if (!unreserved(byte)) return std::nullopt;
            out += encoded[index];
            continue;
        }
        if (index + 2 >= encoded.size()) return std::nullopt;
        int high = hex_value(encoded[index + 1]), low = hex_value(encoded[index + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        auto value = static_cast<unsigned char>(high * 16 + low);
        if (unreserved(value)) return std::nullopt;  // such bytes are copied, not escaped
        out += static_cast<char>(value);
        index += 2;
    }
    return out;
}

std::string snapshot(const uri_record *record) {
    const char *fields[] = {record->text,      record->scheme,    record->authority,
                            record->user_info, record->user,      record->password,
                            record->host,      record->port_text, record->path,
                            record->query,     record->fragment,  record->encoded_path};
    std::string all;
    for (const char *field : fields) {
        all += field ? "1" : "0";
        if (field) all += field;
        all += '\0';
    }
    all += std::to_string(record->port) + "/" + std::to_string(record->is_opaque) + "/" +
           std::to_string(record->has_scheme) + "/" + std::to_string(record->is_ipv6);
    return all;
}

void check_scanners(const char *text, std::string_view input) {
    require(kuv_iapi_count_dot(text) == std::count(input.begin(), input.end(), '.'), "count_dot",
            input);
    int64_t slashes = 0;
    while (static_cast<size_t>(slashes) < input.size() && input[slashes] == '/')
        ++slashes;
    require(kuv_iapi_count_char_uri(text, '/') == slashes, "count_char_uri", input);
    require(kuv_iapi_delims_uri(text, "/?#") == std::strpbrk(text, "/?#"), "delims_uri", input);
}

void check_record(const uri_record *record, std::string_view input) {
    require(record->text && input == record->text, "text is not the input", input);
    require((record->scheme != nullptr) == (record->has_scheme == 1), "has_scheme", input);
    if (record->scheme) {
        size_t length = std::strlen(record->scheme);
        require(length > 0 && input.starts_with(record->scheme) && input[length] == ':',
                "scheme is not the text before the first colon", input);
    }
    const char *inner[] = {record->authority, record->user_info, record->user,  record->password,
                           record->host,      record->port_text, record->query, record->fragment};
    for (const char *field : inner)
        require(contains(input, field), "field not in input", input);
    require(ends_with(input, record->path), "path is not a suffix", input);
    if (record->path) {
        std::string_view path = record->path;
        require(contains(path, record->query), "query not in path", input);
        require(ends_with(path, record->fragment), "fragment not a suffix of path", input);
    }
    if (input.find('\\') != std::string_view::npos) {
        require(record->path && input == record->path && !record->scheme && !record->host &&
                    !record->encoded_path,
                "backslash text is not only a path", input);
        return;
    }
    require(record->port == (record->port_text ? kuv_xapi_string_to_int(record->port_text, 10) : 0),
            "port is not the reading of port_text", input);
    require(!record->is_ipv6 || record->host, "IPv6 without host", input);
    require(!record->user || record->user_info, "user without user_info", input);
    require((record->path != nullptr) == (record->encoded_path != nullptr),
            "encoded_path without path", input);
    if (record->encoded_path) {
        std::optional<std::string> decoded = decode(record->encoded_path);
        require(decoded && *decoded == record->path, "encoding does not decode to the path", input);
        require(kuv_iapi_encode_uri(record->path, nullptr) == std::strlen(record->encoded_path),
                "measured length differs", input);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The parser takes a C string: the input ends at its first NUL.
    std::string owned(reinterpret_cast<const char *>(data), size);
    const char *text = owned.c_str();
    std::string_view input(text);

    uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    uint64_t bytes = kuv_xapi_get_allocated_memory_size();

    check_scanners(text, input);
    uri_record *record = kuv_xapi_open_uri(text);
    if (!record) fail("open refused a text", input);
    check_record(record, input);

    // The steps run again give the same record and leak nothing.
    std::string before = snapshot(record);
    if (kuv_iapi_check_backslash(record) == 1) {
        require(kuv_iapi_parse_scheme_uri(record) == 1 &&
                    kuv_iapi_parse_authority_uri(record) == 1 &&
                    kuv_iapi_parse_path_uri(record) == 1,
                "a step failed", input);
        require(snapshot(record) == before, "steps run again differ", input);
    }

    std::string encoded(3 * input.size() + 1, '\x55');
    uint64_t written = kuv_iapi_encode_uri(text, encoded.data());
    require(written == std::strlen(encoded.c_str()), "encode count", input);

    kuv_xapi_close_uri(record);
    require(kuv_xapi_get_allocated_memory_count() == blocks &&
                kuv_xapi_get_allocated_memory_size() == bytes,
            "tracked heap not back after close", input);
    return 0;
}
