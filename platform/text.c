#include <stdio.h>
#include <stdlib.h>

#include "sorvan_vkl.h"

int32_t sorvan_ctype_select(int32_t c, uint32_t mask) {
    unsigned char byte = (unsigned char)c;
    if ((mask & SORVAN_CTYPE_SPACE) && (byte == ' ' || byte == '\t' || byte == '\n' ||
                                        byte == '\v' || byte == '\f' || byte == '\r'))
        return 1;
    if ((mask & SORVAN_CTYPE_DIGIT) && byte >= '0' && byte <= '9') return 1;
    if ((mask & SORVAN_CTYPE_HEX_LETTER) &&
        ((byte >= 'a' && byte <= 'f') || (byte >= 'A' && byte <= 'F')))
        return 1;
    return 0;
}

int32_t sorvan_to_upper(int32_t c) {
    return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
}

int32_t sorvan_to_lower(int32_t c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

int32_t sorvan_vsprintf(char *buffer, const char *format, va_list list) {
    return vsprintf(buffer, format, list);
}

int32_t sorvan_vsnprintf(char *buffer, uint64_t size, const char *format, va_list list) {
    return vsnprintf(buffer, (size_t)size, format, list);
}

int32_t sorvan_snprintf(char *buffer, uint64_t size, const char *format, ...) {
    va_list list;
    va_start(list, format);
    int32_t count = vsnprintf(buffer, (size_t)size, format, list);
    va_end(list);
    return count;
}

int32_t sorvan_sscanf(const char *text, const char *format, ...) {
    if (!text || !format) return -1;
    va_list list;
    va_start(list, format);
    int32_t fields = vsscanf(text, format, list);
    va_end(list);
    return fields;
}

uint32_t sorvan_atox(const char *text, int32_t base) {
    if (!text) return 0;
    if (base < 2 || base > 16) base = 16;
    uint32_t value = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) {
        int32_t digit;
        if (*p >= '0' && *p <= '9')
            digit = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            digit = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            digit = *p - 'A' + 10;
        else
            break;
        if (digit >= base) break;
        value = value * (uint32_t)base + (uint32_t)digit;
    }
    return value;
}
