/*
 * davro_kuv text utilities: string primitives, number readers and wildcard
 * patterns, formatted printing, path names.
 *
 * Strings are NUL-terminated byte strings; lengths, limits and sizes are
 * unsigned 64-bit byte counts on every target (on a 32-bit one a limit
 * beyond the address space bounds nothing). A NULL string is accepted
 * everywhere and has a fixed result, stated per function. Nothing here
 * prints or reports an error code.
 *
 * Ownership: functions named alloc_ return a new tracked-heap string
 * (release with kuv_xapi_free); functions named sys_alloc_ return a
 * system-heap string (release with kuv_xapi_sys_free). The caller owns every
 * string returned by an allocating function. The static texts "{null}"
 * (kuv_xapi_check_string) and "." (path functions) must never be written to
 * or released.
 */
#ifndef DAVRO_KUV_TEXT_H
#define DAVRO_KUV_TEXT_H

#include "davro_kuv/common.h"

KUV_EXTERN_C_BEGIN

/* ---- Character classes ---------------------------------------------------- */

#define KUV_CTYPE_SPACE 2u   /* white space */
#define KUV_CTYPE_DIGIT 8u   /* 0-9 */
#define KUV_CTYPE_XDIGIT 40u /* 0-9, a-f, A-F */

/* 1 when byte c is in a class of mask, else 0. */
KUV_API int32_t kuv_xapi_ctype_select(int32_t c, uint32_t mask);
/* ASCII case mapping of one byte; other values unchanged. */
KUV_API int32_t kuv_xapi_to_upper(int32_t c);
KUV_API int32_t kuv_xapi_to_lower(int32_t c);

/* ---- String primitives ---------------------------------------------------- */

/* s, or the static "{null}" when s is NULL. */
KUV_API const char *kuv_xapi_check_string(const char *s);
/* s, or fallback (which may be NULL) when s is NULL. */
KUV_API const char *kuv_xapi_check_string_ex(const char *s, const char *fallback);
/* Bytes before the terminator; NULL gives 0. */
KUV_API uint64_t kuv_xapi_string_length(const char *s);
/* The length counting at most limit bytes (nothing beyond them is read);
 * NULL or limit 0 gives 0. */
KUV_API uint64_t kuv_xapi_string_length_limit(const char *s, uint64_t limit);
/* Copies src with its terminator; returns dst. NULL dst or src: nothing
 * written. */
KUV_API char *kuv_xapi_copy_string(char *dst, const char *src);
/* Copies at most limit bytes and always terminates: dst needs limit + 1
 * bytes (pass size - 1 for a buffer of size bytes). Limit 0 writes only the
 * terminator. Returns dst; NULL dst or src: nothing written. */
KUV_API char *kuv_xapi_copy_string_limit(char *dst, const char *src, uint64_t limit);
/* Copies src at dst's terminator. NULL dst returns NULL; NULL src writes
 * nothing. */
KUV_API char *kuv_xapi_append_string(char *dst, const char *src);
/* kuv_xapi_copy_string_limit at dst's terminator; limit counts appended
 * bytes only. */
KUV_API char *kuv_xapi_append_string_limit(char *dst, const char *src, uint64_t limit);
/* First (search) or last (rsearch) byte of s equal to the low 8 bits of c,
 * or NULL. The terminator is never found: c = 0 gives NULL; NULL s gives
 * NULL. */
KUV_API char *kuv_xapi_search_character(const char *s, int32_t c);
KUV_API char *kuv_xapi_rsearch_character(const char *s, int32_t c);
/* strstr; an empty needle matches at the start; either NULL gives NULL. */
KUV_API char *kuv_xapi_search_string(const char *haystack, const char *needle);
/* strcmp / strncmp; either NULL gives -1 (two NULLs are unequal). */
KUV_API int32_t kuv_xapi_compare_string(const char *a, const char *b);
KUV_API int32_t kuv_xapi_compare_string_limit(const char *a, const char *b, uint64_t limit);
/* Comparison ignoring ASCII case (two-byte characters are compared as they
 * are); either NULL, or no memory for the lower-cased copies, gives -1.
 * The limit form reads at most limit bytes of each, as strncasecmp. */
KUV_API int32_t kuv_xapi_compare_case_string(const char *a, const char *b);
KUV_API int32_t kuv_xapi_compare_case_string_limit(const char *a, const char *b, uint64_t limit);
/* Converts s in place and returns it; a byte with its high bit set and the
 * byte after it are left alone. NULL gives NULL. */
KUV_API char *kuv_xapi_to_upper_string(char *s);
KUV_API char *kuv_xapi_to_lower_string(char *s);
/* New copy of s, of at most limit bytes (limit 0: the whole string). NULL s
 * or no memory gives NULL. */
KUV_API char *kuv_xapi_sys_alloc_string(const char *s, uint64_t limit);
KUV_API char *kuv_xapi_alloc_string(const char *s, uint64_t limit);
/* First byte of s that is not white space (an all-blank string yields its
 * terminator); NULL gives NULL. */
KUV_API char *kuv_xapi_skip_space(const char *s);

#define KUV_WORD_TRIMMED 1 /* mode: leading and trailing white space left out */
#define KUV_WORD_RAW 0     /* mode: the bytes up to the separator as they are */

/* Reads the word at *position up to the first byte of separators or the
 * terminator, and leaves *position at that byte (the separator is not
 * consumed: step over it before the next call; stop when *position points at
 * the terminator). Mode KUV_WORD_TRIMMED skips leading white space and drops
 * trailing white space, keeping inner blanks; a blank that is a separator
 * still ends the word. Copies min(length, out_size - 1) bytes and a
 * terminator into out when out is not NULL and out_size is not 0. Returns
 * the word's full length, also when the copy was cut. A NULL separators,
 * position or *position reads nothing: the result is 0 (NULL for the
 * allocating form), *position stays, and out, when given, is emptied. */
KUV_API uint64_t kuv_xapi_get_word_sep(int32_t mode, const char *separators, const char **position,
                                       char *out, uint64_t out_size);
/* The same word as a new tracked-heap string (empty word: ""), or NULL when
 * out of memory; *position is advanced in either case. */
KUV_API char *kuv_xapi_get_word_sep_alloc(int32_t mode, const char *separators,
                                          const char **position);

#define KUV_STRIP_START 1u /* every repetition at the start ("abab" less "ab": "") */
#define KUV_STRIP_END 2u   /* every repetition at the end */
#define KUV_STRIP_ALL 4u   /* every occurrence; START and END are then ignored */

/* Removes pattern from s in place as flags say; returns s. NULL s or
 * pattern, or an empty pattern, leaves s unchanged. */
KUV_API char *kuv_xapi_strip_string(char *s, const char *pattern, uint32_t flags);
/* Removes terminal escape sequences (ESC, then digits, '[' and ':' up to and
 * including one final byte) in place; returns s. NULL gives NULL. */
KUV_API char *kuv_xapi_strip_escape_sequence(char *s);

/* ---- Numbers and patterns ------------------------------------------------- */

/* Reads an integer: an optional '+' or '-', or a "0x" prefix (base 16; "0X"
 * is not one) or a leading '0' (base 8 when base <= 2), then digits below
 * the base. Bases of 2 and less select the default (10, or 8 after a leading
 * zero). Only 0-9 and a-f in either case are digits, so a base above 16
 * reads nothing beyond f ("z" in base 36 gives 0). Stops at the first byte
 * that does not fit; overflow wraps in the result's width.
 * NULL or empty text gives 0. No white space is skipped. */
KUV_API int32_t kuv_xapi_string_to_int(const char *text, int32_t base);
KUV_API int32_t kuv_xapi_string_to_int32(const char *text, int32_t base);
KUV_API int64_t kuv_xapi_string_to_int64(const char *text, int32_t base);
KUV_API int64_t kuv_xapi_string_to_max_int(const char *text, int32_t base);
/* 1 when text is non-empty and made only of digits, '+' and '-'; else 0. */
KUV_API int32_t kuv_xapi_is_decimal_string(const char *text);
/* 1 when text is non-empty and made only of hexadecimal digits; else 0. */
KUV_API int32_t kuv_xapi_is_hexa_string(const char *text);
/* Matches text against a pattern of '*', '?' (one character) and '\' (next
 * character literally). A '*' runs up to the first occurrence of the pattern
 * character after it (taken literally, even when it is '?' or '*') and never
 * tries a later one: "a*c" does not match "abcXc". An inner '*' may match no
 * character ("a*c" matches "ac"); a '*' that stands where the text has
 * already ended does not match, so "*" does not match "" and "abc*" does not
 * match "abc", while a last '*' takes any non-empty rest ("abc*" matches
 * "abcd"). A backslash ending the pattern never matches. 1 match, 0 no
 * match, -1 for a NULL pattern; a NULL text counts as the empty text. */
KUV_API int32_t kuv_xapi_check_pattern(const char *pattern, const char *text);

/* ---- Formatted printing --------------------------------------------------- */

/* The portability layer's printf formatter (the C library's conversions).
 * The checked forms return 0 for a NULL buffer or format (size is not
 * tested); otherwise, as the fast forms, the formatter's count: the length
 * of the whole text, size - 1 or more when it was cut, negative on an
 * encoding error. As with the C library's, buffer must not overlap the
 * format or a text argument (an alloc_append form below may take old among
 * its arguments). */
KUV_API int32_t kuv_xapi_vsprintf_fast(char *buffer, const char *format, va_list list);
KUV_API int32_t kuv_xapi_vsprintf(char *buffer, const char *format, va_list list);
KUV_API int32_t kuv_xapi_vsnprintf_fast(char *buffer, uint64_t size, const char *format,
                                        va_list list);
KUV_API int32_t kuv_xapi_vsnprintf(char *buffer, uint64_t size, const char *format, va_list list);
KUV_API int32_t kuv_xapi_sprintf(char *buffer, const char *format, ...) KUV_PRINTF_LIKE(2, 3);
KUV_API int32_t kuv_xapi_snprintf(char *buffer, uint64_t size, const char *format, ...)
    KUV_PRINTF_LIKE(3, 4);

/* The formatted text as a new string of exactly its length, or NULL (NULL
 * format, a text longer than 520190 characters, a formatter error, no
 * memory). The string is the only copy left: the scratch block the text is
 * formatted in, which the thread keeps for its next text, is cleared of it
 * first, so a text that holds a password is gone once the caller wipes
 * the string. */
KUV_API char *kuv_xapi_sys_alloc_vsprintf(const char *format, va_list list);
KUV_API char *kuv_xapi_alloc_vsprintf(const char *format, va_list list);
KUV_API char *kuv_xapi_sys_alloc_sprintf(const char *format, ...) KUV_PRINTF_LIKE(1, 2);
KUV_API char *kuv_xapi_alloc_sprintf(const char *format, ...) KUV_PRINTF_LIKE(1, 2);

/* old (may be NULL) followed by the formatted text, as a new string. When
 * the formatted text cannot be made, old is returned unchanged and stays the
 * caller's. Otherwise old passes to the function and is released; the
 * result (NULL when the joined string cannot be allocated) replaces it:
 * s = kuv_xapi_alloc_append_sprintf(s, ...). */
KUV_API char *kuv_xapi_sys_alloc_append_vsprintf(char *old, const char *format, va_list list);
KUV_API char *kuv_xapi_alloc_append_vsprintf(char *old, const char *format, va_list list);
KUV_API char *kuv_xapi_sys_alloc_append_sprintf(char *old, const char *format, ...)
    KUV_PRINTF_LIKE(2, 3);
KUV_API char *kuv_xapi_alloc_append_sprintf(char *old, const char *format, ...)
    KUV_PRINTF_LIKE(2, 3);

/* ---- Path names ----------------------------------------------------------- */

/* The last component of path, inside path (trailing slashes are cut off in
 * the caller's buffer); "" for "", "/" for a path of slashes, the static "."
 * for NULL. */
KUV_API char *kuv_xapi_basename(char *path);
/* path cut to its directory part without trailing slashes; "/" for paths
 * directly under the root; the static "." for NULL, "" or a path without a
 * directory part. */
KUV_API char *kuv_xapi_dirname(char *path);
/* The same as new tracked-heap strings (path is not modified); NULL path
 * gives a new "."; NULL when out of memory. */
KUV_API char *kuv_xapi_alloc_basename(const char *path);
KUV_API char *kuv_xapi_alloc_dirname(const char *path);

KUV_EXTERN_C_END

#endif /* DAVRO_KUV_TEXT_H */
