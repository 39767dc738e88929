/*
 * davro_kuv: definitions shared by every public header.
 *
 * The library exports plain C functions with unmangled names. Results:
 * functions that report a result code return an unsigned 32-bit value in
 * which 1 means success and any other value names a failure
 * (KUV_RESULT_*). Pointer-returning functions return NULL on failure.
 *
 * Ownership: a record made by an init, open or create function belongs to
 * the caller and is released by the matching delete or close function.
 * Blocks handed out by allocating functions belong to the receiver and are
 * released with kuv_xapi_free (tracked heap) or kuv_xapi_sys_free (names with
 * sys_: the system heap); the two heaps never mix.
 *
 * Callbacks (status handlers, the heap handler, the dead-lock callback, the
 * FTP credential callbacks, service entries) must return to the library.
 * The library is built without exceptions: a C++ exception thrown out of a
 * callback, a longjmp out of it or pthread_exit in it passes the library's
 * frames without releasing what they hold (an event handle's lock stays
 * held, and the handle's next call waits for good).
 *
 * Loading: once loaded the library stays loaded; dlclose does not unmap it,
 * so a service thread still running, a handle still open and the fork
 * handlers it registered stay valid, and a later dlopen finds the same
 * state (heap counters, locks, callbacks).
 *
 * Thread cancellation: calls that hold a lock of the library or must not
 * stop half-way (an event handle's calls, its create and delete, condition
 * waits, the first family-support answer) hold cancellation off and leave
 * the request to the thread's next cancellation point. The other blocking
 * calls (sockets, files, endpoints, the FTP client, pauses) are
 * cancellation points that hold no lock. A call cut short there loses the
 * blocks and descriptors it had made for itself and not yet handed over
 * (an endpoint connect's socket, a download's staging block and names: the
 * tracked heap's counters keep counting such blocks) and may leave a partly
 * read or written stream; its handle is then only fit to be closed or
 * deleted.
 */
#ifndef DAVRO_KUV_COMMON_H
#define DAVRO_KUV_COMMON_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

/* Default visibility for the library's own build (which hides everything
 * else) and for its users alike: a program that takes the headers in under
 * "#pragma GCC visibility push(hidden)" must still find the functions. */
#if defined(__GNUC__)
#define KUV_API __attribute__((visibility("default")))
#else
#define KUV_API
#endif

#if defined(__GNUC__)
#define KUV_PRINTF_LIKE(format_index, first_argument) \
    __attribute__((format(printf, format_index, first_argument)))
#else
#define KUV_PRINTF_LIKE(format_index, first_argument)
#endif

#ifdef __cplusplus
#define KUV_EXTERN_C_BEGIN extern "C" {
#define KUV_EXTERN_C_END }
#else
#define KUV_EXTERN_C_BEGIN
#define KUV_EXTERN_C_END
#endif

/* Checks of the records' layouts. C99 has no _Static_assert; GNU compilers
 * take it there as an extension, which -pedantic names unless it is marked
 * as one. */
#ifdef __cplusplus
#define KUV_STATIC_ASSERT(condition, message) static_assert(condition, message)
#elif defined(__GNUC__)
#define KUV_STATIC_ASSERT(condition, message) __extension__ _Static_assert(condition, message)
#else
#define KUV_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

/* Checks of layouts that hold on 64-bit targets (LP64) only: 32-bit targets
 * give pointers 4 bytes, and i386 aligns 8-byte integers inside records on
 * 4 bytes, so the same records are smaller there. */
#if UINTPTR_MAX > 0xffffffffu
#define KUV_LP64_ASSERT(condition, message) KUV_STATIC_ASSERT(condition, message)
#else
#define KUV_LP64_ASSERT(condition, message) KUV_STATIC_ASSERT(1, message)
#endif

/* Result codes common to every family. */
#define KUV_RESULT_OK 0x00000001u
/* The platform network layer could not be started. */
#define KUV_RESULT_NETWORK_INIT 0x88000001u
/* A missing handle or pointer was passed. */
#define KUV_RESULT_INVALID_ARGUMENT 0x88000002u

#endif /* DAVRO_KUV_COMMON_H */
