/*
 * libsorvan_vkl: the portability layer under libdavro_kuv.
 *
 * Threads and services, atomic exchange, clocks, sleeping and the short
 * pauses of spinning waits, character classes, formatted printing and
 * scanning, network start and stop, multicast membership and the resolver
 * reload. Everything here is plain Linux and libc.
 *
 * Result conventions: functions that can fail return 0 for success and -1
 * for failure unless stated otherwise.
 */
#ifndef SORVAN_VKL_H
#define SORVAN_VKL_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SORVAN_API __attribute__((visibility("default")))

/* ---- Services and threads ------------------------------------------------ */

/* A service is a thread that runs entry(service, context) until the entry
 * returns. Handles are opaque non-zero values; 0 means failure. */
typedef uintptr_t sorvan_service_t;
typedef void (*sorvan_service_entry_t)(sorvan_service_t service, void *context);

/* Starts a thread running entry(service, context). The name is kept for
 * diagnostics (and given to the thread, cut to 15 bytes). flags: reserved, 0.
 * Returns the handle, or 0 when the thread could not be started. */
SORVAN_API sorvan_service_t sorvan_open_service_ex(const char *name, sorvan_service_entry_t entry,
                                                   void *context, uint32_t flags);
/* Called by the entry first: marks the service as running. 0, or -1 for an
 * unknown handle. */
SORVAN_API int32_t sorvan_ack_service(sorvan_service_t service);
/* Non-zero once a stop has been asked for; the entry should then return. */
SORVAN_API int32_t sorvan_break_service(sorvan_service_t service);
/* Asks the stop, waits until the entry has returned, joins the thread and
 * releases the handle. Called from the service's own entry, it asks the
 * stop and returns at once; the handle stays valid until the entry returns
 * and is released then. Of the two closes, the first decides who releases
 * the handle: after a close from outside, the entry's own only asks the
 * stop. In a process forked after the start (the record without the
 * thread) it releases the handle without waiting. 0, or -1 for handle 0. */
SORVAN_API int32_t sorvan_close_service(sorvan_service_t service);
/* State of a service: 1 running (acknowledged, no stop asked), 2 started but
 * not yet acknowledged, 0 stopping or ended (or started before this process
 * was forked), -1 for handle 0. */
SORVAN_API int32_t sorvan_check_service(sorvan_service_t service);
/* Records an error code in the service (when code is not 0) and returns the
 * code recorded last (0 when none); -1 for handle 0. */
SORVAN_API int32_t sorvan_error_service(sorvan_service_t service, int32_t code);

typedef void *(*sorvan_thread_entry_t)(void *argument);
/* Starts a detached thread running entry(argument); stack_size 0 takes the
 * system default. tag and tag_line name the starter for diagnostics.
 * Returns 0 when started, -1 otherwise. */
SORVAN_API int32_t sorvan_detached_thread_ex_tag(sorvan_thread_entry_t entry, void *argument,
                                                 uint64_t stack_size, const char *tag,
                                                 int32_t tag_line);

/* ---- Atomics ------------------------------------------------------------- */

/* Stores value into *word atomically (acquire and release ordering) and
 * returns the previous content. Exchanging 1 and receiving 0 takes a guard. */
SORVAN_API uint32_t sorvan_atomic_exchange(volatile uint32_t *word, uint32_t value);
/* Registers the process for sorvan_process_barrier. 0 when the barrier can
 * be used from now on (also in threads started later), -1 when the system
 * does not offer it. */
SORVAN_API int32_t sorvan_process_barrier_open(void);
/* Makes every thread of the process run a full memory barrier before it
 * returns: after the call, each other thread's stores made before its
 * barrier are visible to the caller, and each other thread's loads after
 * its barrier see the caller's stores made before the call. Only after a
 * successful sorvan_process_barrier_open; 0, or -1 on failure. */
SORVAN_API int32_t sorvan_process_barrier(void);

/* ---- Clocks, sleeping and pauses ------------------------------------------ */

/* Sleeps seconds plus microseconds (microseconds may exceed one second);
 * resumes after signals until the whole time has passed. */
SORVAN_API void sorvan_sleep_wait(uint32_t seconds, uint32_t microseconds);
/* The pause of spinning waits. Back-to-back calls from one thread form a
 * streak: the first pauses of a streak are short (50 us), later ones double
 * up to 10 ms, so a short wait hands over quickly while a long wait costs
 * almost no processor time. A call made more than 1 ms after the previous
 * pause of the same thread ended starts a new streak. */
SORVAN_API void sorvan_load_balance(void);
/* A fixed short pause (50 us), with no streak. */
SORVAN_API void sorvan_load_balance_short(void);
/* Starts a new streak for the calling thread (a new wait begins). */
SORVAN_API void sorvan_load_balance_reset(void);
/* Sets the shortest and longest pause of a streak in microseconds (both at
 * least 1; longest at least shortest); 0 for either keeps it. Meant for
 * start-up and tests. */
SORVAN_API void sorvan_set_load_balance_range(uint32_t shortest_usec, uint32_t longest_usec);

/* System up-time in whole seconds (CLOCK_BOOTTIME). */
SORVAN_API uint64_t sorvan_uptime(void);
/* Wall-clock time: seconds since 1970 into *seconds and the microseconds of
 * the current second into *fraction (either may be NULL). Returns the same
 * instant in milliseconds since 1970. */
SORVAN_API uint64_t sorvan_time_ex(uint64_t *seconds, uint32_t *fraction);
/* Milliseconds of a monotonic clock (CLOCK_MONOTONIC); flags: reserved, 0. */
SORVAN_API uint64_t sorvan_time_stamp_msec(uint32_t flags);

/* ---- Characters and text -------------------------------------------------- */

#define SORVAN_CTYPE_SPACE 0x02u
#define SORVAN_CTYPE_DIGIT 0x08u
#define SORVAN_CTYPE_HEX_LETTER 0x20u
#define SORVAN_CTYPE_XDIGIT 0x28u

/* Non-zero when byte c (taken as unsigned char) is in one of the classes of
 * mask, in the "C" locale: space (0x02: blank, \t \n \v \f \r), decimal digit
 * (0x08), hexadecimal letter a-f or A-F (0x20). */
SORVAN_API int32_t sorvan_ctype_select(int32_t c, uint32_t mask);
/* ASCII case mapping; other values come back unchanged. */
SORVAN_API int32_t sorvan_to_upper(int32_t c);
SORVAN_API int32_t sorvan_to_lower(int32_t c);

/* The C library's formatter. vsnprintf returns the length of the whole text
 * (which is size - 1 or more when it did not fit), or a negative count on
 * an encoding error. */
SORVAN_API int32_t sorvan_vsprintf(char *buffer, const char *format, va_list list);
SORVAN_API int32_t sorvan_vsnprintf(char *buffer, uint64_t size, const char *format, va_list list);
SORVAN_API int32_t sorvan_snprintf(char *buffer, uint64_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
/* Fields converted, or -1 at the end of the input before any conversion. */
SORVAN_API int32_t sorvan_sscanf(const char *text, const char *format, ...)
    __attribute__((format(scanf, 2, 3)));
/* Reads leading digits of text in the given base (2 to 16; other bases read
 * as 16) and returns their value; empty text or no digit gives 0. */
SORVAN_API uint32_t sorvan_atox(const char *text, int32_t base);

/* ---- Network -------------------------------------------------------------- */

/* Nothing to start on Linux; counted so that stop matches start. 0. */
SORVAN_API int32_t sorvan_init_network(void);
/* 0, or -1 when there was no matching start. */
SORVAN_API int32_t sorvan_uninit_network(void);
/* Protocol number of a name such as "udp" (from /etc/protocols, with the
 * common ones known without it), or -1. */
SORVAN_API int32_t sorvan_get_protocol_by_name(const char *name);
/* Joins (join 1) or leaves (join 0) an IPv4 group on the interface with the
 * given address (both in network byte order). 0 done, -1 failed. */
SORVAN_API int32_t sorvan_inet_multicast_join(int32_t socket, uint32_t group, uint32_t interface,
                                              int32_t join);
/* Joins or leaves an IPv6 group (16 bytes) on the interface with the given
 * index. 0 done, -1 failed. */
SORVAN_API int32_t sorvan_inet6_multicast_join(int32_t socket, const uint8_t group[16],
                                               uint32_t interface_index, int32_t join);
/* Re-reads the resolver configuration (/etc/resolv.conf). 0 reloaded. */
SORVAN_API int32_t sorvan_reload_resolver(void);

#ifdef __cplusplus
}
#endif

#endif /* SORVAN_VKL_H */
