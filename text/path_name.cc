// Base and directory names of slash-separated paths, in place and as new
// strings. Only "/" separates components; "." and ".." are ordinary names.
#include "runtime/guards.h"
#include "text/text_internal.h"

namespace kuv::text {
namespace {

// The answer for a missing or directory-less path. It lives in read-only
// memory although handed out through a char pointer, so a caller that writes
// to it faults at once instead of changing the answer for everyone.
constexpr char kDot[] = ".";
char *const kCurrentDirectory = const_cast<char *>(kDot);

// Applies an in-place path function to a system-heap copy of path and
// returns its result as a new tracked-heap string.
char *on_copy(const char *path, char *(*in_place)(char *)) {
    if (!path) return duplicate_string<TrackedHeap>(kCurrentDirectory, 0);
    SystemBlock copy(duplicate_string<SystemHeap>(path, 0));
    if (!copy) return nullptr;
    return duplicate_string<TrackedHeap>(in_place(copy.chars()), 0);
}

}  // namespace
}  // namespace kuv::text

extern "C" {

char *kuv_xapi_basename(char *path) {
    if (!path) return kuv::text::kCurrentDirectory;
    if (*path == '\0') return path;
    // Scan from the end: trailing slashes are cut off (except a slash at the
    // very start, so that a path of slashes keeps one), and the first slash
    // met after a name byte is the one before the last component.
    uint64_t index = kuv_xapi_string_length(path);
    uint64_t name_bytes = 0;
    char *component = path;
    while (index > 0) {
        --index;
        if (path[index] == '/') {
            if (name_bytes != 0) {
                component = path + index + 1;
                break;
            }
            if (index != 0) path[index] = '\0';
        } else {
            ++name_bytes;
        }
    }
    return *component != '\0' ? component : kuv::text::kCurrentDirectory;
}

char *kuv_xapi_dirname(char *path) {
    if (!path || *path == '\0') return kuv::text::kCurrentDirectory;
    uint64_t end = kuv_xapi_string_length(path);
    while (end > 0 && path[end - 1] == '/')
        --end;  // trailing slashes
    if (end == 0) {
        path[1] = '\0';  // only slashes: the root
        return path;
    }
    while (end > 0 && path[end - 1] != '/')
        --end;  // the last component
    if (end == 0) return kuv::text::kCurrentDirectory;
    while (end > 0 && path[end - 1] == '/')
        --end;  // the slashes before it
    if (end == 0) {
        path[1] = '\0';
        return path;
    }
    path[end] = '\0';
    return path;
}

char *kuv_xapi_alloc_basename(const char *path) {
    return kuv::text::on_copy(path, kuv_xapi_basename);
}

char *kuv_xapi_alloc_dirname(const char *path) {
    return kuv::text::on_copy(path, kuv_xapi_dirname);
}

}  // extern "C"
