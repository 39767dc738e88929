/* The check macro of the strict-C11 programs: counts failures and names
 * the failing condition. */
#ifndef KUV_TESTS_C11_CHECK_H
#define KUV_TESTS_C11_CHECK_H

#include <stdio.h>

static int failures;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

#endif /* KUV_TESTS_C11_CHECK_H */
