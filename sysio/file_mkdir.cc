// Creating a directory together with every missing parent.
#include <errno.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "runtime/guards.h"

namespace kuv::sysio {
namespace {

// What a look at a path found, besides 1 (a directory), 0 (something else)
// and -1 (an error).
constexpr int32_t kMissing = 2;

// Owner write and search: what a new parent needs for the next level to be
// made inside it.
constexpr mode_t kOwnerUsable = 0300;

int32_t look_at(const char *path) {
    struct stat status;
    if (::stat(path, &status) == 0) return S_ISDIR(status.st_mode) ? 1 : 0;
    return errno == ENOENT ? kMissing : -1;
}

// Gives a parent just made the owner bits the file-creation mask took from
// it. The bits are added to what mkdir gave, not set anew, so that a
// set-group-ID bit inherited from its own parent survives and the
// directories made below keep that group.
void add_owner_bits(const char *path) {
    struct stat status;
    if (::stat(path, &status) != 0) return;
    mode_t current = status.st_mode & 07777;
    if ((current & kOwnerUsable) != kOwnerUsable) ::chmod(path, current | kOwnerUsable);
}

// Makes one directory: 1 when it is a directory afterwards, 0 otherwise.
int32_t make_one(const char *path, mode_t mode, bool is_parent) {
    if (::mkdir(path, mode) == 0) {
        if (is_parent) add_owner_bits(path);
        return 1;
    }
    // Another process may have made the same directory a moment ago, which
    // is exactly the state the caller asked for.
    if (errno == EEXIST) {
        int saved_errno = errno;
        if (look_at(path) == 1) return 1;
        errno = saved_errno;
    }
    return 0;
}

// The end of the parent's name inside name[0, end): the start of the run of
// slashes before the last component, or 0 when there is no parent to make
// (a single component, or one right below the root).
size_t parent_end(const char *name, size_t end) {
    size_t after_slash = end;
    while (after_slash > 0 && name[after_slash - 1] != '/')
        --after_slash;
    if (after_slash == 0) return 0;
    size_t run_start = after_slash - 1;
    while (run_start > 0 && name[run_start - 1] == '/')
        --run_start;
    return run_start;
}

// The end of the component that follows the prefix name[0, current).
size_t next_component_end(const char *name, size_t current, size_t end) {
    size_t next = current;
    while (next < end && name[next] == '/')
        ++next;
    while (next < end && name[next] != '/')
        ++next;
    return next;
}

// Calls `call` with name[0, end) as a string, the byte at `end` cut off for
// the call and put back afterwards.
template <typename Call>
int32_t with_prefix(char *name, size_t end, Call call) {
    char saved = name[end];
    name[end] = '\0';
    int32_t result = call(name);
    name[end] = saved;
    return result;
}

// Makes the missing directory `path` and its missing parents. Goes up until
// an existing parent is found, then down again making each level, in a loop
// rather than by recursion so that a path of many components cannot exhaust
// the stack.
int32_t make_with_parents(const char *path, mode_t mode) {
    size_t length = std::strlen(path);
    if (length == 0) {
        errno = ENOENT;
        return -1;
    }
    kuv::TrackedBlock copy(kuv_xapi_alloc(length + 1));
    if (!copy) return make_one(path, mode, false);
    char *name = copy.chars();
    std::memcpy(name, path, length + 1);
    size_t end = length;
    while (end > 1 && name[end - 1] == '/')
        --end;
    name[end] = '\0';

    size_t top = end;  // the outermost level known to be missing
    for (size_t parent; (parent = parent_end(name, top)) != 0; top = parent) {
        int32_t state = with_prefix(name, parent, look_at);
        if (state != kMissing) {
            if (state != 1) return state;
            break;
        }
    }
    // Parents get 0777 less the file-creation mask, as mkdir applies it, and
    // then whatever owner bits the mask took.
    for (size_t current = top; current < end; current = next_component_end(name, current, end)) {
        int32_t made = with_prefix(name, current,
                                   [](const char *prefix) { return make_one(prefix, 0777, true); });
        if (made != 1) return made;
    }
    return make_one(name, mode, false);
}

}  // namespace
}  // namespace kuv::sysio

extern "C" {

int32_t kuv_xapi_mkdir(const char *path, uint32_t mode) {
    using namespace kuv::sysio;
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    int32_t state = look_at(path);
    if (state != kMissing) return state;
    return make_with_parents(path, static_cast<mode_t>(mode));
}

}  // extern "C"
