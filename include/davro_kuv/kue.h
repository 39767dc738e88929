/*
 * davro_kuv event service ("kue"): typed events exchanged between programs
 * over kuvnet endpoints, kept in per-peer send and receive queues and moved
 * by a poll loop that runs in a service thread of its own or in the
 * application's thread.
 *
 * Life of a handle: kue_xapi_event_init, then the application sets the
 * first thirteen fields of the handle (debug_level to status_handler),
 * kue_xapi_event_create (first endpoint, then the service thread when
 * use_async_service is 1), any number of push, pop, poll and count reads
 * from any thread, and kue_xapi_event_delete (service stopped first, then
 * connections and handle freed; the caller's pointer is cleared).
 *
 * Results: functions that return uint32_t answer 1 for success or a result
 * code (KUV_RESULT_INVALID_ARGUMENT for a NULL handle or place, the
 * KUE_RESULT_* codes below, or an endpoint's KUVNET_RESULT_* code). Poll
 * answers rx_count (0 or more) or a result code, which has its top bit set.
 * The NULL checks are those of the kue_xapi_ forms; a kue_mapi_ form takes
 * no NULL handle or place. Every failure on a handle is also reported
 * through the status handler as status KUE_STATUS_ERROR (see
 * kue_status_handler_t), except a wait for the handle's lock that the
 * dead-lock callback ended (see below): a handler runs with that lock held,
 * and the call answers KUE_RESULT_WAIT_FAILED, NULL or -1 unreported.
 *
 * Ownership: only handles from kue_xapi_event_init may be passed in (a
 * zeroed or copied record is none): the block behind the record also holds
 * the handle's private state. The handle owns its connection records, each
 * record its endpoint and queued events. A popped event belongs to the caller, who
 * releases it with kue_xapi_event_free. Events handed to a status handler
 * belong to the service: the handler keeps no pointer to them. The blocks
 * of sent and expired pushed events are kept for later pushes (at most 64
 * blocks and 4 MiB per handle) and freed by delete: while a handle lives,
 * the tracked heap's counters include them. So do the 8 KiB blocks in
 * which a receive on a stream peer takes what has arrived on its socket,
 * up to that much: the events in it are taken one per round as from the
 * socket, with no wait while any of its bytes are held, and the block goes
 * back to the handle (at most 4 kept until delete) once they are taken.
 *
 * Threads and locking: push, pop, the count reads and poll take the handle's
 * lock exclusively; a poll holds it for all its rounds, including a blocking
 * (re)connect and the receipt of a whole event. That receipt takes
 * io_timeout at most: a peer whose event has not arrived whole by then,
 * however often it sends a few bytes, is dropped as one that fell silent.
 * The lock is not re-entrant: a status handler runs with it held and must
 * not call a locking function of the same handle (the kue_mapi_ forms take
 * no lock and are for callers that hold it). From a status handler
 * kue_mapi_event_poll does nothing and answers rx_count: the call that made
 * the report is in the middle of the handle's lists (a poll goes on sending
 * what is queued), and a handler never deletes its handle. A handler may
 * call the locking functions of another handle, but waits for that handle's
 * lock with its own held: two handles whose handlers call into each other
 * (a relay pushing what each receives into the other) can wait for each
 * other for good, service threads and delete included. Such a handler
 * leaves the call to a thread of its own, or the application installs a
 * dead-lock callback (kuv_mapi_set_dead_lock_callback_v0) that ends the
 * wait, which is consulted after about a second: the call then fails
 * (KUE_RESULT_WAIT_FAILED, NULL or -1) and both handles go on. Create and
 * delete take no lock; no other thread may use the handle while they run.
 * A thread is never cancelled while it holds the handle's lock, nor inside
 * create or delete: a cancellation request that comes meanwhile acts when
 * the lock is let go, for kue_xapi_event_poll as it returns, for the other
 * calls at the thread's next cancellation point.
 *
 * A child forked while a handle runs has the handle but not its service
 * thread; deleting it there waits for no thread and leaves the parent's
 * handle as it was (the child's copy only closes its own descriptors).
 *
 * The service thread polls without waiting and, after a poll that brought
 * nothing, waits on the handle's sockets and for pushes (at most 10 ms)
 * without holding the lock: an idle handle costs well under one percent of
 * a processor. While the application calls kue_xapi_event_poll itself, the
 * service thread leaves the sockets to it and resumes 2 ms after the last
 * such call. It runs with every signal blocked but those a fault raises
 * (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS) and SIGPROF, status
 * handlers called there included, so that a signal sent to the process
 * goes to one of the application's threads; a program started from such a
 * handler inherits that mask unless it is given its own. Create leaves the
 * caller's signal mask as it was.
 */
#ifndef DAVRO_KUV_KUE_H
#define DAVRO_KUV_KUE_H

#include "davro_kuv/common.h"
#include "davro_kuv/kuvnet.h"
#include "davro_kuv/runtime.h"

KUV_EXTERN_C_BEGIN

/* ======================================================================== */
/* Constants                                                                */
/* ======================================================================== */

/* Defaults of a fresh handle. The protocol is TCP with bit 24 (packets go
 * back to back without acknowledgements) of the internet name class, either
 * address family, with bit 28 set. */
#define KUE_DEFAULT_PROTOCOL_TYPE 0x11020400u
#define KUE_DEFAULT_CONNECT_TIMEOUT 16000
#define KUE_DEFAULT_IO_TIMEOUT 16000
#define KUE_DEFAULT_EXPIRE_TIME 60000
#define KUE_NAME_SIZE 128

/* Bytes of the event header in front of every event's payload. */
#define KUE_EVENT_HEADER_SIZE 20u
/* expire_time of an event that never expires. */
#define KUE_NEVER_EXPIRES 0xFFFFFFFFFFFFFFFFull
/* Event flag: data is a heap block of its own (received events). */
#define KUE_EVENT_OWNS_DATA 1u

/* Status codes handed to the status handler. */
#define KUE_STATUS_ERROR 1u        /* id: the result code; object: the message text */
#define KUE_STATUS_IDLE 2u         /* nothing to wait on, or the wait ended quietly */
#define KUE_STATUS_PENDING 3u      /* the first connection could not be (re)opened */
#define KUE_STATUS_ACCEPTED 4u     /* id: the new peer; object: its connection */
#define KUE_STATUS_CONNECTED 5u    /* client side; object: the connection */
#define KUE_STATUS_DISCONNECTED 6u /* object: the connection about to be dropped */
#define KUE_STATUS_TX_EXPIRED 7u   /* object: a queued outgoing event, freed next */
#define KUE_STATUS_RX_EXPIRED 8u   /* object: a received, unpopped event, freed next */
#define KUE_STATUS_SENT 9u         /* answer 0 keeps the event queued for resending */
#define KUE_STATUS_RECEIVED 10u    /* answer 0 queues the event; else it is freed */
#define KUE_STATUS_PUSHED 11u      /* object: the queued event */
#define KUE_STATUS_POPPED 12u      /* object: the event handed to the caller */

/* Result codes of the event service (besides KUV_RESULT_INVALID_ARGUMENT
 * and the endpoints' codes, which pass through). */
#define KUE_RESULT_ALREADY_CREATED 0x8800000Fu /* create on a created handle */
/* The wait on the sockets failed (a poll whose wait cannot be set up, for
 * want of a descriptor, answers it after a short pause, so that a loop of
 * polls does not spin while the cause lasts); also the answer of push and
 * poll when the application's dead-lock callback ended the wait for the
 * handle's lock. Reported too, while the poll goes on with the other
 * peers, for a peer just accepted whose socket the wait cannot take (the
 * system's epoll watches or memory used up): that connection is closed
 * again, without a report of its accept. */
#define KUE_RESULT_WAIT_FAILED 0x88000010u
#define KUE_RESULT_SERVICE_START 0x88000011u /* the service thread did not start */
#define KUE_RESULT_SHORT_EVENT 0x80000010u   /* a data item shorter than the header */
#define KUE_RESULT_NOT_CREATED 0x80000017u   /* poll before create */
#define KUE_RESULT_NO_MEMORY 0x80000018u     /* memory exhausted */

/* ======================================================================== */
/* Records                                                                  */
/* ======================================================================== */

/* A service (the service thread's handle); 0 = none. */
typedef uintptr_t kue_service_t;
/* Entry of a service, run as entry(service, context) in a thread of its
 * own until it returns. */
typedef void (*kue_service_entry_t)(kue_service_t service, void *context);
/* Entry of a detached thread. */
typedef void *(*kue_thread_entry_t)(void *argument);

/*
 * One event. A pushed event is one block: the record followed by its size
 * bytes (flags 0, data pointing right behind the record). A received event
 * is a record whose data is the block the packet layer assembled (flags
 * KUE_EVENT_OWNS_DATA). Its expire_time is the receiver's time_stamp plus
 * the lifetime the sender wrote into the header; a sum past the largest
 * time stamp (the lifetime of an event that never expires, 2^64 - 1 less
 * the sender's time stamp, on a receiver whose clock is at or past the
 * sender's) is KUE_NEVER_EXPIRES rather than a small time wrapped round.
 */
typedef struct kue_event {
    struct kue_event *next; /* queue link; NULL once popped */
    uint32_t flags;         /* KUE_EVENT_OWNS_DATA: data is released with the event */
    uint64_t size;          /* bytes at data: header and payload */
    uint8_t *data;          /* the event as it travels: header, then payload */
    uint32_t type;          /* application event type */
    uint32_t cmd;           /* application command */
    /* pushed: the id given to push (0 = every peer); received: the id of
     * the connection it came from */
    uint32_t id;
    uint32_t seq;          /* the sender's sequence number for this peer */
    uint64_t expire_time;  /* time stamp after which it is dropped; KUE_NEVER_EXPIRES */
    uint64_t payload_size; /* size - KUE_EVENT_HEADER_SIZE */
    uint8_t *payload;      /* data + KUE_EVENT_HEADER_SIZE */
} kue_event;

/*
 * One peer. The first record is made by create: the listener of a server,
 * or the connection of a client (endpoint NULL while it is disconnected).
 * Accepted peers follow in accept order. The id of a connection is its
 * endpoint's socket descriptor, never 0 (the library's descriptors stay
 * above 2, see sysio.h), so a push to id 0 always means every peer.
 */
typedef struct kue_connection {
    struct kue_connection *prev; /* NULL for the first */
    struct kue_connection *next; /* NULL for the last */
    kuvnet *endpoint;            /* the peer's endpoint; NULL while disconnected */
    kue_event *tx_queue;         /* first event waiting to be sent (first in, first out) */
    kue_event *rx_queue;         /* first event received and not yet popped */
    int32_t tx_count;            /* events in tx_queue */
    int32_t rx_count;            /* events in rx_queue */
    uint32_t next_seq;           /* seq of the next event pushed to this peer; wraps */
} kue_connection;

struct kue;

/*
 * The application's status callback, called for every noteworthy step with
 * the handle's lock held (see the locking note above) and in the thread
 * that made the report. The answer matters for two codes:
 * KUE_STATUS_SENT (not 0: the event leaves the queue; 0: it is sent again
 * in a later round) and KUE_STATUS_RECEIVED (0: the event is queued for
 * pop; not 0: it is freed at once). For KUE_STATUS_ERROR the handle's
 * error_code holds the code until the application clears it, and a set
 * error_code ends every poll after its current round.
 *
 * Without a handler the built-in reports print to standard output
 * (errors and unknown codes to standard error) when debug_level is above
 * 0, clear error_code after an error, answer 1 to KUE_STATUS_SENT and 0 to
 * KUE_STATUS_RECEIVED.
 */
typedef int32_t (*kue_status_handler_t)(struct kue *handle, void *user_context,
                                        uint32_t status_code, uint32_t id, void *object);

/*
 * The event handle. The application may set the first thirteen fields,
 * debug_level to status_handler, between init and create; the others belong
 * to the service (read them only through the count functions, or from a
 * status handler).
 *
 * With an acknowledged protocol_type (TCP or Unix-domain without
 * KUVNET_ACK_TOGGLE, or KUVNET_UDP_ACKED) every packet sent waits for the
 * peer's acknowledgement on the same connection, so only one side of a
 * connection may send at a time: an event that arrives while a send waits
 * is taken as a wrong answer, and the connection is dropped with both
 * events. The default protocol_type sends without acknowledgements, both
 * ways at once. TCP connections, accepted and made, send at once
 * (TCP_NODELAY): a short event does not wait for the peer to acknowledge
 * the bytes before it. A send still holds its handle until the event has gone
 * whole, and reads nothing meanwhile: events pushed on both sides at the
 * same moment that are together larger than the connection's socket
 * buffers can hold (a few megabytes on loopback) stall both sides for
 * io_timeout, after which the connection is dropped as on any failed send.
 *
 * Over UDP there is no connection to drop: a datagram that cannot be made
 * an event (a stray one, or part of an event the network lost, repeated or
 * reordered) is reported with status 1 and passed over, and the socket
 * keeps its port. The network may deliver an event twice; its seq tells the
 * copies apart. A UDP client's events go to its peer, whoever else sends
 * to its socket. A UDP server accepts nothing: its first record's socket
 * receives the events of every sender (pushes still skip that record).
 */
typedef struct kue {
    int32_t debug_level;            /* > 0: built-in reports print; > 99999: traces */
    uint32_t protocol_type;         /* copied into the endpoint (KUE_DEFAULT_PROTOCOL_TYPE) */
    uint32_t is_server;             /* 1 = listen and accept peers; else connect to one */
    uint32_t use_async_service;     /* 1 = create starts a service thread (default) */
    char local_name[KUE_NAME_SIZE]; /* local name to bind, when not empty */
    /* Peer to connect to; empty for a client of the internet name class
     * means the loopback host. */
    char peer_name[KUE_NAME_SIZE];
    int32_t port;            /* below 1: the system chooses, and create writes it here */
    int32_t connect_timeout; /* ms while connecting (16000) */
    int32_t io_timeout;      /* ms of every transfer after connecting (16000) */
    int32_t poll_timeout;    /* ms kue_xapi_event_poll waits; negative: no limit */
    int32_t expire_time;     /* ms lifetime of pushed events; negative: never */
    void *user_context;      /* handed unchanged to status_handler */
    kue_status_handler_t status_handler; /* NULL: the built-in reports */
    uint32_t error_code;                 /* last error reported; 0 = none */
    uint64_t time_stamp;                 /* the service's current time (ms) */
    kue_connection *connections;         /* first connection; NULL until create */
    int32_t tx_count;                    /* events queued for sending, all connections */
    int32_t rx_count;                    /* events received and not popped, all connections */
    kuv_lock_t lock;                     /* guards everything from time_stamp on */
    kue_service_t service;               /* the running service thread, 0 without one */
} kue;

/* Layouts on x86-64 (LP64), which other programs compiled against this
 * header rely on. */
KUV_LP64_ASSERT(sizeof(kue_event) == 72, "event record layout");
KUV_LP64_ASSERT(offsetof(kue_event, expire_time) == 48, "event record layout");
KUV_LP64_ASSERT(sizeof(kue_connection) == 56, "connection record layout");
KUV_LP64_ASSERT(offsetof(kue_connection, next_seq) == 48, "connection record layout");
KUV_LP64_ASSERT(offsetof(kue, port) == 272, "event handle layout");
KUV_LP64_ASSERT(offsetof(kue, status_handler) == 304, "event handle layout");
KUV_LP64_ASSERT(offsetof(kue, lock) == 344, "event handle layout");
KUV_LP64_ASSERT(sizeof(kue) == 384, "event handle layout");

/* ======================================================================== */
/* Events and queues                                                        */
/* ======================================================================== */

/* Queues a copy of the event (the 20-byte event header, then payload_size
 * bytes of payload, or zeros for a NULL payload) for the peer with that id,
 * or for every peer with id 0 (not for a server's listener; a client's
 * disconnected first connection does take one). Each copy gets its peer's
 * next sequence number and the expiry time_stamp + expire_time. Returns
 * the handle's tx_count afterwards (unchanged when no peer matched);
 * KUV_RESULT_INVALID_ARGUMENT without a handle. The header in a queued
 * event's data holds its type, cmd, seq and the lifetime left at the push,
 * so a status handler shown the event reads its own header; each send
 * attempt writes it again with the lifetime left then. */
KUV_API uint32_t kue_xapi_event_push(kue *handle, uint32_t id, uint32_t type, uint32_t cmd,
                                     const void *payload, uint64_t payload_size);
KUV_API uint32_t kue_mapi_event_push(kue *handle, uint32_t id, uint32_t type, uint32_t cmd,
                                     const void *payload, uint64_t payload_size);
/* The oldest received event of the first connection (in list order) that
 * holds any, or NULL. Earlier connections always come first. A peer other
 * than the first connection that is dropped (a failed receive or send, its
 * close included) is freed with both its queues: events received from it
 * and not yet popped are gone, unreported, as are those queued for it. A
 * server that must see a peer's last events pops (or takes them in its
 * status handler at KUE_STATUS_RECEIVED) before that peer closes, or
 * has the peer wait for its answer first. */
KUV_API kue_event *kue_xapi_event_pop(kue *handle);
KUV_API kue_event *kue_mapi_event_pop(kue *handle);
/* Releases an event (and its data block when it owns one). NULL allowed.
 * Returns 0. */
KUV_API int32_t kue_xapi_event_free(kue_event *event);
/* rx_count / tx_count; -1 without a handle. */
KUV_API int32_t kue_xapi_event_get_rx_count(kue *handle);
KUV_API int32_t kue_xapi_event_get_tx_count(kue *handle);

/* ======================================================================== */
/* Life cycle and the poll loop                                             */
/* ======================================================================== */

/* A new handle with its defaults in *place. 1; KUE_RESULT_NO_MEMORY. */
KUV_API uint32_t kue_xapi_event_init(kue **place);
KUV_API uint32_t kue_mapi_event_init(kue **place);
/* Opens the first endpoint (listens for a server; connects a client) and,
 * when use_async_service is 1, starts the service thread. 1;
 * KUE_RESULT_ALREADY_CREATED; KUE_RESULT_NO_MEMORY; KUE_RESULT_SERVICE_START;
 * or, when the endpoint cannot be opened, the handle's error_code as the
 * error report left it: the endpoint's code with a status handler that
 * keeps it, 0 with the built-in report or a handler that clears it. Any
 * answer but 1 is a failure. */
KUV_API uint32_t kue_xapi_event_create(kue *handle);
KUV_API uint32_t kue_mapi_event_create(kue *handle);
/* One poll: rounds of expiry, reconnecting a lost client connection, one
 * wait on all sockets (at most poll_timeout ms; none when received events
 * wait and nothing is queued), accepting, receiving at most one event and
 * sending one event per writable peer, until nothing is left to send (or
 * error_code is set). Without a status_handler and with debug_level 0 or
 * below (every KUE_STATUS_SENT report silent and letting the event go), a
 * round sends a peer as many of its queued events as its socket takes at
 * once (up to 64, in one gathered send; same bytes, same order); one that
 * the socket takes in part goes on first in a later round, and does not
 * expire meanwhile. Returns rx_count, or a result code:
 * KUE_RESULT_NOT_CREATED, KUE_RESULT_WAIT_FAILED, or a reported error_code
 * when nothing is queued either way. With the service thread running and
 * received events waiting, kue_xapi_event_poll returns rx_count at once.
 * The service thread's own polls also end after a round with no socket to
 * wait on (a client whose server is gone), or after the round that passes
 * 100 ms, and go on with the next, so that events that cannot leave do not
 * keep the handle from the application until they expire (a round may
 * still take up to io_timeout, waiting for a peer that takes nothing). */
KUV_API uint32_t kue_xapi_event_poll(kue *handle);
KUV_API uint32_t kue_mapi_event_poll(kue *handle, int32_t wait_msec);
/* Stops the service thread, reports every peer as disconnected, frees the
 * connections with their queues and endpoints, frees the handle and clears
 * *place. 1; KUV_RESULT_INVALID_ARGUMENT when place or *place is NULL.
 * The endpoints' TCP connections are reset (see kuv_xapi_kuvnet_close),
 * not drained. Without acknowledgements (the default protocol_type has
 * none) an event reported KUE_STATUS_SENT has only been taken by its
 * socket, and bytes a peer has not read yet are lost with the reset: a
 * program that must know its last events arrived waits for its peer's
 * answer, or for the peer to close, before delete. */
KUV_API uint32_t kue_xapi_event_delete(kue **place);
KUV_API uint32_t kue_mapi_event_delete(kue **place);
/* The service thread's entry (context: the event handle, never NULL):
 * polls without waiting and, after polls that received nothing, waits
 * quietly until a socket is ready, an event is pushed or a short pause has
 * passed; returns when the service is asked to stop. */
KUV_API void kue_iapi_async_service_handler(kue_service_t service, void *context);

/* ======================================================================== */
/* Services and threads of the portability layer                            */
/* ======================================================================== */

/* Starts entry(service, context) in a thread of its own; the handle, or 0. */
KUV_API kue_service_t kue_xapi_open_service_ex(const char *name, kue_service_entry_t entry,
                                               void *context, uint32_t flags);
/* Asks the stop and returns after the entry has returned; from inside the
 * entry it returns at once and the service is released when the entry
 * returns. When both come (an entry that closes its service once asked to
 * stop, while the close that asked waits for it), the first decides: the
 * waiting close releases the service, and the entry's close only asks the
 * stop. In a process forked after the start, which has the service but not
 * its thread, it releases the service without waiting. 0, -1 for 0. */
KUV_API int32_t kue_xapi_close_service(kue_service_t service);
/* 1 once a stop was asked (the entry should return), else 0; also 1 for
 * service 0, which has nothing to run. */
KUV_API int32_t kue_xapi_break_service(kue_service_t service);
/* Called first by the entry: the service runs. 0, -1 for 0. */
KUV_API int32_t kue_xapi_ack_service(kue_service_t service);
/* 1 started (running or not yet acknowledged), 0 stopping or ended (also in
 * a process forked after the start), -1 for service 0. */
KUV_API int32_t kue_xapi_check_service(kue_service_t service);
/* Records code (when not 0) and returns the code recorded last; -1 for 0. */
KUV_API int32_t kue_xapi_error_service(kue_service_t service, int32_t code);
/* Starts a detached thread running entry(argument) with the given stack
 * size (0: the system default). 1 started, -1 not. */
KUV_API int32_t kue_xapi_detached_thread_ex(kue_thread_entry_t entry, void *argument,
                                            uint64_t stack_size);
/* Returns size; changes nothing. */
KUV_API uint64_t kue_xapi_set_minimum_thread_stack_size(uint64_t size);

KUV_EXTERN_C_END

#endif /* DAVRO_KUV_KUE_H */
