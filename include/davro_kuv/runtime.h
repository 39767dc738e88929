/*
 * davro_kuv runtime: tracked heap, reference locks and conditions, time
 * stamps and timers, pauses, byte-order values.
 *
 * All process-wide state (heap counters, dead-lock callback, time-stamp
 * record, global lock) is zeroed static storage: nothing needs an init call.
 * A child forked while other threads count blocks or read the shared clock
 * finds the heap lock and the time-stamp lock free (the global lock is the
 * application's to manage).
 *
 * Heap. Every allocation the library makes goes through kuv_xapi_alloc /
 * kuv_xapi_free, which dispatch to an installed handler or to the built-in
 * checking heap. A checking-heap block is one malloc of (size rounded up to
 * a multiple of 4) + 20 bytes: the block's own address and the rounded size
 * (16 bytes), the user bytes, and the guard word 0xA55A55AA behind the last
 * user byte. Releasing a block whose guard or header was damaged prints
 * "=> REVERSE DUMP" and "kuv: [FATAL-ERROR] heap broken" to standard error
 * and leaves the block and the counters alone; a failed allocation prints
 * "kuv: [ERROR] not enough memory" (with "! maybe bug! (overflow size)" for
 * a size too large to round). The sys_ family goes straight to
 * malloc/realloc/free and prints nothing on failure; debug_ always uses the
 * checking heap. Blocks of one family must never be given to another.
 * Unlike free(NULL), a release of NULL and an allocation of 0 bytes (both
 * the call (NULL, 0)) print "kuv: [WARNING] null pointer free ? " to
 * standard error in both built-in heaps and return NULL. A resize to 0
 * bytes releases the block and returns NULL.
 *
 * Records. The lock, condition, timer and atomic-word functions take no
 * NULL record; only the init functions of locks, conditions and time-stamp
 * records and kuv_xapi_get_time_stamp_info accept one (and do nothing).
 *
 * Locks. A lock is a caller-owned record; zero is unlocked. Mode bit 2 asks
 * for exclusive holding (the library uses 1 shared, 2 and 3 exclusive). Locks
 * spin with sched_yield and short pauses, never block in the kernel and are
 * not re-entrant in exclusive mode. Every taking call passes its function
 * name (a literal that outlives the lock) and line, which a waiter reports in
 * the dead-lock warning printed after long waits.
 */
#ifndef DAVRO_KUV_RUNTIME_H
#define DAVRO_KUV_RUNTIME_H

#include "davro_kuv/common.h"

KUV_EXTERN_C_BEGIN

/* ======================================================================== */
/* Reference locks and conditions                                           */
/* ======================================================================== */

#define KUV_LOCK_MODE_SHARED 1u        /* any number of holders at once */
#define KUV_LOCK_MODE_EXCLUSIVE_BIT 2u /* a mode with this bit holds the lock alone */
#define KUV_LOCK_MODE_EXCLUSIVE 3u     /* the exclusive mode the library itself uses */

/* A reference lock: a caller-owned record, all zero when unlocked. */
typedef struct kuv_lock {
    /* 0 free, 1 while a thread reads or changes the other fields; changed
     * only through an atomic exchange (and a release store of 0). */
    volatile uint32_t guard;
    /* Name and line of the caller that took the lock while it was free. */
    const char *owner_name;
    int32_t owner_line;
    /* 1 while held exclusively. */
    uint32_t exclusive;
    /* Number of current holders. */
    uint32_t count;
} kuv_lock_t;

KUV_STATIC_ASSERT(offsetof(kuv_lock_t, guard) == 0, "guard word first");
KUV_LP64_ASSERT(sizeof(kuv_lock_t) == 32, "lock record layout");

/* One waiter per waiting thread, in that thread's own frame. */
typedef struct kuv_lock_waiter {
    struct kuv_lock_waiter *previous; /* older waiter, or NULL */
    struct kuv_lock_waiter *next;     /* newer waiter, or NULL */
    uint32_t signalled;               /* set by a wake-up; the waiter then leaves */
} kuv_lock_waiter_t;

/* A condition variable: a caller-owned record made ready by
 * kuv_mapi_init_lock_condition_v0; its waiters queue oldest first. */
typedef struct kuv_lock_condition {
    kuv_lock_t lock;          /* guards the waiter queue */
    kuv_lock_waiter_t *first; /* oldest waiter */
    kuv_lock_waiter_t *last;  /* newest waiter */
} kuv_lock_condition_t;

/* Consulted by waiting takes after each pause, with the attempt number
 * (1 for the first attempt after the first yield). Returning 1 ends the wait
 * without the lock; any other value continues it. Steps that cannot be left
 * undone (the heap counting a block, a condition waiter leaving the queue
 * or taking back its outer lock) take the lock again until they hold it. */
typedef int32_t (*kuv_dead_lock_callback_t)(kuv_lock_t *lock, const char *name, int32_t line,
                                            int32_t attempt);

/* Clears the record (free). Returns it. */
KUV_API kuv_lock_t *kuv_mapi_init_lock_v0(kuv_lock_t *lock);
/* Installs the dead-lock callback (NULL: the built-in warning, which prints
 * at attempt 12100 and every 100 attempts after, roughly once a second of
 * waiting). Returns the previous callback. Not locked: set it at start-up. */
KUV_API kuv_dead_lock_callback_t
kuv_mapi_set_dead_lock_callback_v0(kuv_dead_lock_callback_t callback);
/* 1 taken, 0 not taken; never waits (fails also while another thread is
 * changing the record). */
KUV_API uint32_t kuv_mapi_ref_try_lock_v0(kuv_lock_t *lock, uint32_t mode, const char *name,
                                          int32_t line);
/* Waits until taken: 1. Returns 0 only when the dead-lock callback ended the
 * wait, and then the lock is not held. */
KUV_API uint32_t kuv_mapi_ref_lock_v0(kuv_lock_t *lock, uint32_t mode, const char *name,
                                      int32_t line);
/* 1 taken; 0 when the time-out passed (or the callback ended the wait). A
 * negative time-out waits without limit. */
KUV_API uint32_t kuv_mapi_ref_lock_timeout_v0(kuv_lock_t *lock, uint32_t mode, const char *name,
                                              int32_t line, int32_t timeout_msec);
/* Releases one holding. Unlocking a free lock prints a warning to standard
 * error and leaves it free. Returns the count of holders left. */
KUV_API uint32_t kuv_mapi_unlock_v0(kuv_lock_t *lock);
/* The three above with mode 3 (exclusive). */
KUV_API uint32_t kuv_mapi_try_lock_v0(kuv_lock_t *lock, const char *name, int32_t line);
KUV_API uint32_t kuv_mapi_lock_v0(kuv_lock_t *lock, const char *name, int32_t line);
KUV_API uint32_t kuv_mapi_lock_timeout_v0(kuv_lock_t *lock, const char *name, int32_t line,
                                          int32_t timeout_msec);

/* Clears the record (no waiters). Returns it. */
KUV_API kuv_lock_condition_t *kuv_mapi_init_lock_condition_v0(kuv_lock_condition_t *condition);
/* Waits until woken. When outer is given the caller holds it: it is released
 * for the wait and taken again (blocking, outer_mode) before returning. outer
 * is never the condition's own lock, which the wait takes itself.
 * Returns 1; 0 at once, without waiting, when the dead-lock callback ended
 * the wait for the condition's own lock. Neither wait is a cancellation
 * point: a cancellation request acts at the thread's next cancellation
 * point after the wait returned. */
KUV_API uint32_t kuv_mapi_lock_condition_wait_v0(kuv_lock_condition_t *condition, kuv_lock_t *outer,
                                                 uint32_t outer_mode, const char *name,
                                                 int32_t line);
/* As above with a time-out: 1 woken, 0 time-out passed; the outer lock is
 * held again in either case. A negative time-out waits without limit. */
KUV_API uint32_t kuv_mapi_lock_condition_time_wait_v0(kuv_lock_condition_t *condition,
                                                      kuv_lock_t *outer, uint32_t outer_mode,
                                                      int32_t timeout_msec, const char *name,
                                                      int32_t line);
/* Wakes the oldest waiter not yet woken: 1, or 0 when there is none. A
 * wake-up without waiters is not remembered. */
KUV_API uint32_t kuv_mapi_lock_condition_wakeup_v0(kuv_lock_condition_t *condition,
                                                   const char *name, int32_t line);
/* Wakes every waiter: 1 when there was at least one, else 0. */
KUV_API uint32_t kuv_mapi_lock_condition_wakeup_broadcast_v0(kuv_lock_condition_t *condition,
                                                             const char *name, int32_t line);
/* 1 when no waiter remains (the record may then be discarded), else 0.
 * Releases nothing. The three above report 0 when the dead-lock callback
 * ended the wait for the condition's lock. */
KUV_API uint32_t kuv_mapi_lock_condition_destroy_v0(kuv_lock_condition_t *condition,
                                                    const char *name, int32_t line);

/* Stores value into *word atomically and returns the previous content. */
KUV_API uint32_t kuv_xapi_atomic_exchange(volatile uint32_t *word, uint32_t value);
/* The process-wide lock for applications, taken exclusively. */
KUV_API uint32_t kuv_xapi_glock(void);
KUV_API uint32_t kuv_xapi_gunlock(void);

/* ======================================================================== */
/* Tracked heap                                                             */
/* ======================================================================== */

#define KUV_HEAP_GUARD 0xA55A55AAu /* guard word behind the last user byte of a block */
#define KUV_HEAP_HEADER_SIZE 16u   /* block address and rounded size in front of the user bytes */
#define KUV_HEAP_OVERHEAD 20u      /* header and guard word: the bytes a block adds */

/* An allocation handler takes (pointer, size): (NULL, n>0) allocates,
 * (p, 0) releases (its result is handed back by kuv_xapi_free), (p, n>0)
 * resizes, (NULL, 0) does nothing and returns NULL. */
typedef void *(*kuv_heap_handler_t)(void *pointer, uint64_t size);

/* The heap's usage counters and installed handler (kuv_xapi_get_heap_info).
 * While only one thread has counted blocks, that thread changes the counters
 * without taking the lock (its lock-free counting leaves owner_name alone).
 * The first other thread that reads the counters or takes the lock waits for
 * that thread's update in progress, once; from then on every thread counts
 * under the lock. Either way a thread holding the lock sees the counters
 * hold still, and every reading is a state that existed. */
typedef struct kuv_heap_info {
    kuv_lock_t lock;                     /* guards the three counters */
    kuv_heap_handler_t handler;          /* installed handler or NULL */
    uint64_t allocated_memory_size;      /* rounded bytes of live blocks */
    uint64_t allocated_memory_count;     /* live blocks */
    uint64_t allocated_memory_peak_size; /* highest size reached; never lowered */
} kuv_heap_info_t;

/* Dispatching family: the installed handler, else the checking heap. */
KUV_API void *kuv_xapi_heap(void *pointer, uint64_t size);
KUV_API void *kuv_xapi_alloc(uint64_t size);
/* Returns what the heap returns for a release (NULL with the checking heap),
 * for the caller to store back: p = kuv_xapi_free(p). */
KUV_API void *kuv_xapi_free(void *pointer);
/* A failed resize returns NULL and leaves the old block valid; a resize to
 * 0 bytes releases the block and also returns NULL. Resizing a damaged
 * checking-heap block still gives the new block, holding the user bytes
 * as far as the old block reaches, and reports the old one as a release
 * does (left alone). */
KUV_API void *kuv_xapi_realloc(void *pointer, uint64_t size);
/* count * size bytes, cleared; NULL when the product overflows 64 bits.
 * Every allocating call of each family returns NULL for a size beyond the
 * address space (above SIZE_MAX on a 32-bit target). */
KUV_API void *kuv_xapi_calloc(uint64_t count, uint64_t size);

/* The built-in checking heap, whatever handler is installed. */
KUV_API void *kuv_xapi_heap_debug(void *pointer, uint64_t size);
KUV_API void *kuv_xapi_debug_alloc(uint64_t size);
KUV_API void *kuv_xapi_debug_free(void *pointer);
KUV_API void *kuv_xapi_debug_realloc(void *pointer, uint64_t size);
KUV_API void *kuv_xapi_debug_calloc(uint64_t count, uint64_t size);

/* The system heap: malloc, realloc, free; no header, not counted. */
KUV_API void *kuv_xapi_heap_release(void *pointer, uint64_t size);
KUV_API void *kuv_xapi_sys_alloc(uint64_t size);
KUV_API void *kuv_xapi_sys_free(void *pointer);
KUV_API void *kuv_xapi_sys_realloc(void *pointer, uint64_t size);
KUV_API void *kuv_xapi_sys_calloc(uint64_t count, uint64_t size);

/* Stores the previous handler into *previous (when given), then installs
 * handler (NULL restores the checking heap). Always 1. Not locked: install
 * before other threads allocate. */
KUV_API uint32_t kuv_xapi_set_heap_handler(kuv_heap_handler_t handler,
                                           kuv_heap_handler_t *previous);
/* With a place: copies the record into it under the heap lock and returns
 * the place. Without, or given the live record itself: the library's live
 * record (unguarded reads), unchanged. */
KUV_API kuv_heap_info_t *kuv_xapi_get_heap_info(kuv_heap_info_t *place);
/* One counter of the heap record each, read under the heap lock (shared),
 * so that a call waits while the lock is held exclusively: the rounded bytes
 * of live blocks, the number of live blocks, the highest size. */
KUV_API uint64_t kuv_xapi_get_allocated_memory_size(void);
KUV_API uint64_t kuv_xapi_get_allocated_memory_count(void);
KUV_API uint64_t kuv_xapi_get_allocated_memory_peak_size(void);
/* Releases *variable with kuv_xapi_free and stores that call's result into
 * it. Always 0. */
KUV_API int32_t kuv_xapi_mem_free_legacy_v1_by_windows_team(void **variable);

/* ======================================================================== */
/* Time stamps, timers and scheduling                                       */
/* ======================================================================== */

/* A millisecond reading kept by a caller (kuv_xapi_get_time_stamp_info). */
typedef struct kuv_time_stamp_info {
    uint64_t last_msec;   /* the last millisecond reading */
    uint64_t reserved[3]; /* zero; room for later use */
} kuv_time_stamp_info_t;

/* A caller-owned timer: set with a duration, then checked for expiry. */
typedef struct kuv_timer {
    kuv_time_stamp_info_t info; /* reading of the last set or check */
    uint64_t start;             /* reading when the timer was set */
    uint64_t duration;          /* milliseconds; (uint64_t)-1 never expires */
    uint64_t elapsed;           /* start to the last check */
    uint32_t reserved[3];       /* zero; room for later use */
} kuv_timer_t;

/* Sleeps seconds plus microseconds (microseconds may exceed a second). */
KUV_API void kuv_xapi_sleep_wait(uint32_t seconds, uint32_t microseconds);
/* Returns the previous minimum pause of kuv_xapi_load_balance_ex (initially
 * 10000 us); a value of 1 or more replaces it. */
KUV_API int32_t kuv_xapi_set_load_balance_time_usec(int32_t microseconds);
/* Sleeps the larger of microseconds and the minimum pause. */
KUV_API void kuv_xapi_load_balance_ex(int32_t microseconds);
/* The pause between attempts of spinning waits: 50 us at first, growing to
 * 10 ms while one thread keeps pausing back to back. */
KUV_API void kuv_xapi_load_balance(void);
/* A fixed 50 us pause. */
KUV_API void kuv_xapi_load_balance_short(void);
/* The system's sched_yield; its result. */
KUV_API int32_t kuv_xapi_sched_yield(void);
/* System up-time in seconds. */
KUV_API uint64_t kuv_xapi_uptime(void);
/* Wall-clock time: stores the seconds since 1970, the microseconds of the
 * current second and the same instant in milliseconds since 1970 through the
 * pointers that are not NULL; returns the seconds. */
KUV_API uint64_t kuv_xapi_time_ex(uint64_t *seconds, uint32_t *fraction, uint64_t *extra);
KUV_API uint64_t kuv_xapi_time(uint64_t *seconds);
/* Clears the record; returns it. */
KUV_API kuv_time_stamp_info_t *kuv_xapi_init_time_stamp_info(kuv_time_stamp_info_t *info);
/* Reads the monotonic millisecond clock into the record and returns it. */
KUV_API uint64_t kuv_xapi_get_time_stamp_info(kuv_time_stamp_info_t *info);
/* The monotonic millisecond clock, read into the shared record under its
 * lock; callable from any thread. */
KUV_API uint64_t kuv_xapi_time_stamp(void);
/* Clears the timer and starts it with the duration. Returns 0. */
KUV_API int32_t kuv_xapi_init_timer(kuv_timer_t *timer, uint64_t duration_msec);
/* Restarts: start = now, duration, elapsed = 0. Returns the reading. */
KUV_API uint64_t kuv_xapi_set_timer(kuv_timer_t *timer, uint64_t duration_msec);
/* Adds to the duration (the start stays), stopping at (uint64_t)-1, which
 * never expires. Returns the new duration. */
KUV_API uint64_t kuv_xapi_update_timer(kuv_timer_t *timer, uint64_t extra_msec);
/* Stores the elapsed time; 1 when it reached the duration, else 0. */
KUV_API int32_t kuv_xapi_check_timer(kuv_timer_t *timer);

/* ======================================================================== */
/* Byte-order values                                                        */
/* ======================================================================== */

/* The bytes 12 34 56 78 read natively: 0x78563412 on little-endian hosts. */
KUV_API uint32_t kuv_xapi_get_order(void);
/* Host order <-> little-endian. The word forms swap only the two low bytes
 * and keep the bits above them. Each is its own inverse. */
KUV_API uint32_t kuv_xapi_le_value(uint32_t value);
KUV_API uint32_t kuv_xapi_ledword_value(uint32_t value);
KUV_API uint32_t kuv_xapi_leword_value(uint32_t value);
KUV_API uint64_t kuv_xapi_leqword_value(uint64_t value);
/* Host order <-> big-endian (network order). */
KUV_API uint32_t kuv_xapi_be_value(uint32_t value);
KUV_API uint32_t kuv_xapi_bedword_value(uint32_t value);
KUV_API uint32_t kuv_xapi_beword_value(uint32_t value);
KUV_API uint64_t kuv_xapi_beqword_value(uint64_t value);

KUV_EXTERN_C_END

#endif /* DAVRO_KUV_RUNTIME_H */
