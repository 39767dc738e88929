// Base and directory names: the allocating forms equal the in-place forms
// on a copy, and the results keep the shape every caller relies on.
#include "text_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    text_fuzz::HeapBalance balance;
    std::string path = text_fuzz::take_string(data, size);
    char *for_base = text_fuzz::exact_copy(path);
    char *for_dir = text_fuzz::exact_copy(path);
    std::string base = kuv_xapi_basename(for_base);
    std::string dir = kuv_xapi_dirname(for_dir);

    char *alloc_base = kuv_xapi_alloc_basename(path.c_str());
    char *alloc_dir = kuv_xapi_alloc_dirname(path.c_str());
    FUZZ_CHECK(alloc_base && alloc_dir);
    FUZZ_CHECK(base == alloc_base);
    FUZZ_CHECK(dir == alloc_dir);
    kuv_xapi_free(alloc_base);
    kuv_xapi_free(alloc_dir);

    if (path.empty()) {
        FUZZ_CHECK(base.empty() && dir == ".");
    } else {
        // A base name is one component, or the root for a path of slashes.
        FUZZ_CHECK(!base.empty());
        FUZZ_CHECK(base == "/" || base.find('/') == std::string::npos);
        if (base != "/") FUZZ_CHECK(path.find(base) != std::string::npos);
        // A directory name is ".", "/" or a leading part of the path that
        // does not end in a slash.
        if (dir != "." && dir != "/") {
            FUZZ_CHECK(path.compare(0, dir.size(), dir) == 0);
            FUZZ_CHECK(dir.back() != '/');
            FUZZ_CHECK(path[dir.size()] == '/');
        }
        if (path.find('/') == std::string::npos) FUZZ_CHECK(dir == "." && base == path);
    }
    std::free(for_base);
    std::free(for_dir);
    return 0;
}
