// Formatted printing into caller buffers, through the portability layer's
// formatter. The checked forms refuse a NULL buffer or format with 0.
#include "platform/sorvan_vkl.h"
#include "text/text_internal.h"

extern "C" {

int32_t kuv_xapi_vsprintf_fast(char *buffer, const char *format, va_list list) {
    return sorvan_vsprintf(buffer, format, list);
}

int32_t kuv_xapi_vsprintf(char *buffer, const char *format, va_list list) {
    if (!buffer || !format) return 0;
    return kuv_xapi_vsprintf_fast(buffer, format, list);
}

int32_t kuv_xapi_vsnprintf_fast(char *buffer, uint64_t size, const char *format, va_list list) {
    return sorvan_vsnprintf(buffer, size, format, list);
}

int32_t kuv_xapi_vsnprintf(char *buffer, uint64_t size, const char *format, va_list list) {
    if (!buffer || !format) return 0;
    return kuv_xapi_vsnprintf_fast(buffer, size, format, list);
}

int32_t kuv_xapi_sprintf(char *buffer, const char *format, ...) {
    va_list list;
    va_start(list, format);
    int32_t count = kuv_xapi_vsprintf(buffer, format, list);
    va_end(list);
    return count;
}

int32_t kuv_xapi_snprintf(char *buffer, uint64_t size, const char *format, ...) {
    va_list list;
    va_start(list, format);
    int32_t count = kuv_xapi_vsnprintf(buffer, size, format, list);
    va_end(list);
    return count;
}

}  // extern "C"
