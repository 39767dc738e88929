// Duplicating strings onto either heap. A limit of 0 means the whole string.
#include "text/text_internal.h"

extern "C" {

char *kuv_xapi_sys_alloc_string(const char *s, uint64_t limit) {
    return kuv::text::duplicate_string<kuv::text::SystemHeap>(s, limit);
}

char *kuv_xapi_alloc_string(const char *s, uint64_t limit) {
    return kuv::text::duplicate_string<kuv::text::TrackedHeap>(s, limit);
}

}  // extern "C"
