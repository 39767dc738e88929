/*
 * davro_kuv buffers and line assembly: a first-in first-out byte queue of
 * chained nodes, and an assembler that splits a byte stream arriving in
 * chunks into text lines.
 *
 * Chained buffer. Producers push bytes, which are copied into nodes of at
 * least node_size (4096) bytes, referenced where they lie (flag
 * KUV_BUFFER_REFERENCE) or handed over (flag KUV_BUFFER_ADOPT). Consumers pop
 * or peek them by count, as typed integers, as one allocated block, node by
 * node, or as text lines. Counts are 64-bit.
 *
 * Mode of pops and peeks: KUV_BUFFER_EXACT (1) is all or nothing: when fewer
 * bytes are held than asked for, 0 (or NULL) is returned and nothing
 * changes. Any other value is partial mode: as many bytes as there are.
 *
 * Messages: a missing handle prints "invalid handle", an argument error
 * "invalid argument" (a pop, alloc-pop or peek of 0 bytes, a peek without a
 * destination, a printf-style push without a format, a referencing or
 * adopting push without a source); allocation failures print "can not
 * allocate buffer", "can not allocate new buffer node" or "can not allocate
 * string". All go to standard output without a newline; the result (0 or
 * NULL) is the only other sign. kuv_xapi_pop_buffer_line never prints.
 *
 * Ownership: a buffer belongs to the caller of kuv_xapi_open_buffer(_ex) and
 * is released with kuv_xapi_close_buffer, which releases every node. Only
 * handles from kuv_xapi_open_buffer(_ex) may be passed in: the block behind
 * the record also holds the buffer's private bookkeeping. Memory
 * lent by a referencing push must stay valid and unchanged until its bytes
 * are consumed or the buffer is closed (and it is zeroed then when the node
 * carries KUV_BUFFER_WIPE, so it must be writable). The block of an adopting
 * push must come from kuv_xapi_alloc; it passes to the buffer when the push
 * returns the full count and stays the caller's otherwise. Blocks returned
 * by kuv_xapi_alloc_pop_buffer_ex, kuv_xapi_get_buffer_node and
 * kuv_xapi_pop_buffer_line belong to the caller (release with
 * kuv_xapi_free).
 *
 * Node storage: a copying node that has been read out is kept (one per
 * buffer, up to 256 KiB of storage) for the next copying node that fits, so
 * that a stream of pushes and pops does not call the allocator for every
 * node. While a buffer is open the tracked heap's counters may therefore
 * include that one kept node (one block) beyond the nodes that hold bytes;
 * kuv_xapi_flush_buffer and kuv_xapi_close_buffer give it back, so after
 * either the counters show exactly what the buffer holds (nothing after a
 * close). A node made from kept storage is the same as a new one: its
 * capacity follows the rules above, and wiped bytes are wiped before the
 * storage is kept.
 *
 * Line assembler ("readline"). Each pushed chunk is scanned once; complete
 * lines are queued, the bytes after the last line end are held over in a
 * chained buffer and start the next line; a push without data (the final
 * push) turns the held-over bytes into a last line. CR, LF and CR LF each
 * end one line; LF LF ends two (an empty line). A CR ends a line only when
 * no CR or LF came since the last other byte, so CR CR, LF CR, CR LF LF
 * and CR LF CR LF end one: an empty line between CR LF pairs is not
 * reported (unlike kuv_xapi_pop_buffer_line). Popped lines are tracked-heap
 * strings without CR and LF bytes, owned by the caller (release with
 * kuv_xapi_free).
 *
 * Buffers and assemblers have no lock: one thread uses one at a time.
 */
#ifndef DAVRO_KUV_BUFFER_H
#define DAVRO_KUV_BUFFER_H

#include "davro_kuv/common.h"

KUV_EXTERN_C_BEGIN

/* ======================================================================== */
/* Chained buffer                                                           */
/* ======================================================================== */

/* Flag bits of a buffer and of a push; a node made by a push carries the
 * buffer's flags OR the push's flags. */
#define KUV_BUFFER_WIPE 1u      /* zero the node's bytes when it is released */
#define KUV_BUFFER_REFERENCE 2u /* point at the pusher's memory; never released */
#define KUV_BUFFER_ADOPT 4u     /* point at the pusher's kuv_xapi_alloc block; released */

/* Mode of pops and peeks. */
#define KUV_BUFFER_PARTIAL 0
#define KUV_BUFFER_EXACT 1

/* Smallest storage of a copying node. */
#define KUV_BUFFER_NODE_SIZE 4096u

/* One node of a chained buffer; nodes belong to their buffer. */
typedef struct kuv_buffer_node {
    struct kuv_buffer_node *next; /* following node, or NULL */
    uint32_t flags;               /* buffer flags OR the flags of the creating push */
    uint64_t capacity;            /* bytes the node's storage can hold */
    uint64_t length;              /* bytes written into the node */
    uint64_t position;            /* bytes consumed; unread bytes are [position, length) */
    uint8_t *data; /* the node's own storage (right behind this record) or lent memory */
} kuv_buffer_node_t;

KUV_LP64_ASSERT(sizeof(kuv_buffer_node_t) == 48, "buffer node layout");
KUV_LP64_ASSERT(offsetof(kuv_buffer_node_t, data) == 40, "node storage follows the record");

/* A chained buffer: a first-in first-out byte queue made of nodes. */
typedef struct kuv_buffer {
    kuv_buffer_node_t *head; /* first node, or NULL */
    kuv_buffer_node_t *tail; /* last node, or NULL */
    uint32_t flags;          /* combined into every node a push creates */
    uint64_t node_size;      /* smallest capacity of a copying node (4096) */
    int64_t offset;          /* bytes consumed since opening or the last set */
    int64_t size;            /* bytes held and not yet consumed */
} kuv_buffer_t;

KUV_LP64_ASSERT(sizeof(kuv_buffer_t) == 48, "buffer record layout");

/* A new empty buffer whose flags are combined into every node it makes;
 * NULL (with "can not allocate buffer") when out of memory. */
KUV_API kuv_buffer_t *kuv_xapi_open_buffer_ex(uint32_t flags);
/* kuv_xapi_open_buffer_ex(0). */
KUV_API kuv_buffer_t *kuv_xapi_open_buffer(void);
/* Releases every node (wiping and releasing adopted blocks as their flags
 * say) and the buffer. Returns NULL for the caller to store back. */
KUV_API kuv_buffer_t *kuv_xapi_close_buffer(kuv_buffer_t *buffer);

/* Appends count bytes and returns the number stored. Copied bytes fill the
 * last node's free room first; at most one new node is made per push, and
 * the push's flags reach only that node, but for KUV_BUFFER_WIPE, which also
 * marks the old last node when it takes some of the bytes. With REFERENCE or ADOPT (in the
 * push's or the buffer's flags) the node points at source, which must then
 * be given. A NULL source on a copying push stores count zero bytes. A push
 * of 0 bytes stores nothing. When the new node cannot be made, the bytes
 * already stored in the old last node are kept and counted. A push that
 * would hold more than INT64_MAX bytes in all stores nothing and reports
 * "can not allocate new buffer node". */
KUV_API uint64_t kuv_xapi_push_buffer_ex(kuv_buffer_t *buffer, const void *source, uint64_t count,
                                         uint32_t flags);
/* Pushes text without its terminator with push flags 0; NULL or "" pushes 0
 * bytes. The text is copied unless the buffer's own flags hold REFERENCE or
 * ADOPT: the node then points at text, which must meet the rules of those
 * pushes (stay valid, or be a kuv_xapi_alloc block the buffer releases). */
KUV_API uint64_t kuv_xapi_push_string_buffer(kuv_buffer_t *buffer, const char *text);
/* Formats with kuv_xapi_alloc_vsprintf and adopts the formatted block as a
 * node of its own (its length without the terminator), so that an alloc-pop
 * of exactly that length hands the block back. Returns the bytes stored. */
KUV_API uint64_t kuv_xapi_push_vprintf_buffer(kuv_buffer_t *buffer, const char *format,
                                              va_list list);
KUV_API uint64_t kuv_xapi_push_printf_buffer(kuv_buffer_t *buffer, const char *format, ...)
    KUV_PRINTF_LIKE(2, 3);

/* Consumes up to count bytes into destination (NULL discards them) and
 * returns how many; exact mode takes count bytes or none. */
KUV_API uint64_t kuv_xapi_pop_buffer_ex(kuv_buffer_t *buffer, void *destination, uint64_t count,
                                        int32_t mode);
/* Copies up to count bytes starting offset bytes into the unread data;
 * consumes nothing. Exact mode copies count bytes or none. */
KUV_API uint64_t kuv_xapi_peek_buffer_ex(kuv_buffer_t *buffer, void *destination, uint64_t count,
                                         uint64_t offset, int32_t mode);
/* Consumes up to count bytes into a new block of exactly that many bytes
 * (not terminated), or NULL when nothing is held. When the first node was
 * adopted, is untouched and holds exactly count bytes, its own block is
 * handed over without a copy. When the block cannot be allocated, NULL is
 * returned and nothing is consumed. */
KUV_API void *kuv_xapi_alloc_pop_buffer_ex(kuv_buffer_t *buffer, uint64_t count, int32_t mode);
/* Consumes the unread bytes of the first node as kuv_xapi_alloc_pop_buffer_ex
 * does and stores their count into *length (when given), or 0 on any
 * failure. */
KUV_API void *kuv_xapi_get_buffer_node(kuv_buffer_t *buffer, uint64_t *length);
/* Discards everything held, and the kept node storage; returns the count
 * discarded. */
KUV_API uint64_t kuv_xapi_flush_buffer(kuv_buffer_t *buffer);
/* Bytes held and not yet consumed. */
KUV_API int64_t kuv_xapi_get_buffer_size(kuv_buffer_t *buffer);
/* Bytes consumed since opening or the last set. */
KUV_API int64_t kuv_xapi_get_buffer_offset(kuv_buffer_t *buffer);
/* Sets the consumed count and returns it; the held bytes stay. */
KUV_API int64_t kuv_xapi_set_buffer_offset(kuv_buffer_t *buffer, int64_t offset);

/* The next complete line as a new zero-terminated string without its line
 * end, or NULL when no complete line is held (nothing is consumed then).
 * LF and CR end a line, and a CR right after an LF (or an LF right after a
 * CR) is consumed with it: LF, CR, CR LF and LF CR end one line, CR CR and
 * LF LF two. A byte with bit 7 set opens a two-byte character (a second one
 * closes it again): the byte after it is never taken as a line end. Held
 * bytes of copying nodes that a call searched are not searched again until
 * bytes are consumed, so a line that arrives in many small pushes, with a
 * pop tried after each, costs one pass over it; lent memory is searched
 * anew by every call. Does not print. */
KUV_API char *kuv_xapi_pop_buffer_line(kuv_buffer_t *buffer);

/* Typed pops and peeks, all exact. The byte and word forms return the value
 * (0..255, 0..65535) or -1 when too few bytes are held or the handle is
 * NULL. The dword and qword forms store the value into *value and return 1,
 * or return 0 and leave *value alone; a pop with a NULL value discards the
 * bytes and still returns 1, a peek with a NULL value is an argument error.
 * le and be read little- and big-endian values, the others take the bytes
 * in host order. Peeks read at offset bytes into the unread data. */
KUV_API int32_t kuv_xapi_pop_buffer_byte(kuv_buffer_t *buffer);
KUV_API int32_t kuv_xapi_pop_buffer_word(kuv_buffer_t *buffer);
KUV_API int32_t kuv_xapi_pop_buffer_leword(kuv_buffer_t *buffer);
KUV_API int32_t kuv_xapi_pop_buffer_beword(kuv_buffer_t *buffer);
KUV_API int32_t kuv_xapi_pop_buffer_dword(kuv_buffer_t *buffer, uint32_t *value);
KUV_API int32_t kuv_xapi_pop_buffer_ledword(kuv_buffer_t *buffer, uint32_t *value);
KUV_API int32_t kuv_xapi_pop_buffer_bedword(kuv_buffer_t *buffer, uint32_t *value);
KUV_API int32_t kuv_xapi_pop_buffer_qword(kuv_buffer_t *buffer, uint64_t *value);
KUV_API int32_t kuv_xapi_pop_buffer_leqword(kuv_buffer_t *buffer, uint64_t *value);
KUV_API int32_t kuv_xapi_pop_buffer_beqword(kuv_buffer_t *buffer, uint64_t *value);
KUV_API int32_t kuv_xapi_peek_buffer_byte(kuv_buffer_t *buffer, uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_word(kuv_buffer_t *buffer, uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_leword(kuv_buffer_t *buffer, uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_beword(kuv_buffer_t *buffer, uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_dword(kuv_buffer_t *buffer, uint32_t *value, uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_ledword(kuv_buffer_t *buffer, uint32_t *value,
                                             uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_bedword(kuv_buffer_t *buffer, uint32_t *value,
                                             uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_qword(kuv_buffer_t *buffer, uint64_t *value, uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_leqword(kuv_buffer_t *buffer, uint64_t *value,
                                             uint64_t offset);
KUV_API int32_t kuv_xapi_peek_buffer_beqword(kuv_buffer_t *buffer, uint64_t *value,
                                             uint64_t offset);

/* ======================================================================== */
/* Line assembler                                                           */
/* ======================================================================== */

/* One queued line: text is its tracked-heap string, or NULL for an empty
 * line. Each line is a single block: its bytes, a terminator and then this
 * node, so a node is never released on its own; pop lines or close the
 * assembler instead of unlinking nodes by hand. */
typedef struct kuv_readline_node {
    struct kuv_readline_node *next; /* following (newer) line, or NULL */
    char *text;                     /* the line without its end, or NULL when empty */
} kuv_readline_node_t;

/* A line assembler: bytes pushed in, complete lines popped out in order. */
typedef struct kuv_readline {
    kuv_buffer_t *pending;     /* bytes held over from earlier pushes, or NULL */
    uint32_t line_ready;       /* 0 between calls, or 1: the line in progress lost its front */
    uint32_t saw_lf;           /* an LF came since the last ordinary byte */
    uint32_t saw_cr;           /* a CR came since the last ordinary byte */
    uint32_t count;            /* queued lines */
    kuv_readline_node_t *head; /* oldest queued line */
    kuv_readline_node_t *tail; /* newest queued line */
} kuv_readline_t;

KUV_LP64_ASSERT(sizeof(kuv_readline_t) == 40, "assembler record layout");

/* A new empty assembler, or NULL when out of memory. */
KUV_API kuv_readline_t *kuv_xapi_open_readline(void);
/* Releases the queued lines, the held-over bytes and the record (NULL is
 * accepted). Returns NULL for the caller to store back. */
KUV_API kuv_readline_t *kuv_xapi_close_readline(kuv_readline_t *readline);
/* With bytes and a non-zero count: queues every line that ends in the chunk
 * and returns the number of bytes now held over. With NULL bytes or count 0
 * (the final push): queues the held-over bytes, if any, as a last line
 * (also when they are only line-end bytes: the LF of a text that ends in
 * CR LF is held over, so such a text ends with an empty line) and returns
 * 0; the assembler stays usable. A line end split between two chunks (CR,
 * then LF) still ends only one line. NULL readline: 0.
 * Out of memory: a line whose text cannot be allocated is dropped together
 * with the bytes held over in front of it; a line whose bytes can be held
 * over only in part is dropped whole when it ends (by a line end or the
 * final push), and none of its bytes are held meanwhile; when the buffer
 * for held-over bytes cannot be opened, the lines ending in the chunk are
 * still queued and the bytes after the last line end are lost, and with
 * them the rest of their line: it is dropped up to its end. */
KUV_API uint64_t kuv_xapi_push_readline(kuv_readline_t *readline, const void *bytes,
                                        uint64_t count);
/* The oldest queued line, without CR and LF bytes, as a tracked-heap string
 * the caller owns (an empty line is ""); NULL when none is queued. */
KUV_API char *kuv_xapi_pop_readline(kuv_readline_t *readline);
/* Number of queued lines; 0 for NULL. */
KUV_API uint32_t kuv_xapi_quantity_readline(kuv_readline_t *readline);

KUV_EXTERN_C_END

#endif /* DAVRO_KUV_BUFFER_H */
