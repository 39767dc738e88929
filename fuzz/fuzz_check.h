// The property check of the fuzz targets: a failed condition is printed with
// its place and aborts, which libFuzzer (and the corpus replay) report as a
// crash with the input that caused it.
#ifndef KUV_FUZZ_FUZZ_CHECK_H
#define KUV_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

#endif  // KUV_FUZZ_FUZZ_CHECK_H
