/*
 * davro_kuv system input/output wrappers: sockets, address text, file
 * descriptors and paths.
 *
 * Interruption convention: every function named _intr takes an interruption
 * flag as its last argument. When a system call it makes fails with EINTR,
 * flag 0 repeats the call and any other value ends the operation with the
 * function's failure value. Each function without _intr is its _intr form
 * with flag 0 (kuv_xapi_intr_break): plain functions always repeat.
 *
 * Time-outs are signed 32-bit milliseconds: negative waits without limit, 0
 * tests without waiting. Waits work for descriptors of any number.
 *
 * A descriptor the library makes (a socket, an accepted connection, an
 * opened file, the event service's own) is never 0, 1 or 2: in a program
 * started with standard input, output or error closed, what the library and
 * the program print there cannot land in a socket or a file of the library.
 * One the system gives there is moved up, with its close-on-exec flag; with
 * no number above 2 free the call fails with errno EMFILE.
 */
#ifndef DAVRO_KUV_SYSIO_H
#define DAVRO_KUV_SYSIO_H

#include "davro_kuv/common.h"

KUV_EXTERN_C_BEGIN

/* ======================================================================== */
/* Sockets and address text                                                 */
/* ======================================================================== */

/*
 * Thin wrappers around the socket calls of the system, for the rest of the
 * library and for applications.
 *
 * Descriptors are signed 32-bit integers; -1 stands for no socket. Every
 * function that tests its descriptor answers a negative one with the value
 * noted per function, without calling the system (errno EBADF). Nothing is
 * printed; the system's error number is left in errno for the caller. No
 * function closes its descriptor on failure, except the close functions.
 *
 * Socket addresses are the system's (struct sockaddr and its family
 * variants); their lengths travel as uint32_t, the width of socklen_t. A
 * length pointer is read on entry (the size of the caller's buffer) and
 * updated on return (the length of the address stored), as with the system
 * calls.
 *
 * Time-outs apply to the wait for readiness before each call. After a wait
 * has found the socket ready, the calls of functions with a time-out of 0 or
 * more never block: should the socket not be ready after all (data taken by
 * another thread, a datagram dropped for a bad checksum), the wait goes on
 * for the rest of the time-out. A signal that interrupts such a wait (flag
 * 0) does not lengthen it either: the wait goes on for the rest of the
 * time-out. (The poll functions alone start their wait again whole.) A
 * blocking listener is the exception to "never block": when another caller
 * takes the connection between the wait and the accept, the accept waits
 * for the next one.
 */

struct sockaddr;

/* Readiness bits of kuv_xapi_poll_socket_intr (argument and result). */
#define KUV_SOCKET_POLL_READABLE 0x1
#define KUV_SOCKET_POLL_WRITABLE 0x2
#define KUV_SOCKET_POLL_EXCEPTIONAL 0x4

/* ---- Set-up and names ---------------------------------------------------- */

/* Start and stop the platform network layer: 1 done, -1 failed. */
KUV_API int32_t kuv_xapi_initialize_network(void);
KUV_API int32_t kuv_xapi_uninitialize_network(void);

/* The interruption flag of the plain functions: always 0 (repeat). */
KUV_API int32_t kuv_xapi_intr_break(void);

/* The protocol number of a name such as "udp", or -1 (also for NULL). */
KUV_API int32_t kuv_xapi_get_protocol_by_name(const char *name);

/* The system's socket call: the new descriptor (above 2, see the top) or -1. */
KUV_API int32_t kuv_xapi_open_socket(int32_t domain, int32_t type, int32_t protocol);

/* Closes the socket: 1 closed; -1 for a negative descriptor or a failure
 * other than EINTR. Close is never repeated: when it is interrupted by a
 * signal the system has already released the descriptor (and may have given
 * the number to another thread), so the result is 1 with flag 0 and 2 with
 * any other flag. */
KUV_API int32_t kuv_xapi_close_socket_intr(int32_t socket, int32_t interruption_flag);
KUV_API int32_t kuv_xapi_close_socket(int32_t socket);

/* The host name into buffer, terminated: 1 done; 0 failed (size 0, or the
 * system call failed; the buffer then holds an empty text when size is not
 * 0); -1 for a NULL buffer. A name longer than size - 1 bytes is cut or
 * refused as the C library decides: glibc refuses it (0, errno
 * ENAMETOOLONG). Linux names have at most 64 bytes, so 65 always fit. */
KUV_API int32_t kuv_xapi_gethostname(char *buffer, uint64_t size);

/* The socket's own address: 1 done, -1 failed (also for a negative
 * descriptor or a NULL address). With a NULL length pointer the buffer must
 * hold 128 bytes (a struct sockaddr_storage) and the length is not
 * returned. */
KUV_API int32_t kuv_xapi_getsockname(int32_t socket, struct sockaddr *address,
                                     uint32_t *address_length);
/* The peer's address: 1 done; 0 failed, also for a negative descriptor or a
 * NULL address. Length pointer as for kuv_xapi_getsockname. */
KUV_API int32_t kuv_xapi_getpeername(int32_t socket, struct sockaddr *address,
                                     uint32_t *address_length);

/* ---- Connection set-up --------------------------------------------------- */

/* 1 done; 0 failed; -1 for a negative descriptor. */
KUV_API int32_t kuv_xapi_bind(int32_t socket, const struct sockaddr *address,
                              uint32_t address_length);
KUV_API int32_t kuv_xapi_listen(int32_t socket, int32_t backlog);

/* Connects, waiting at most timeout_msec for the connection to be made.
 * Results: 1 connected; 0 refused, failed or timed out (errno ETIMEDOUT, or
 * the connection's error); -1 for a negative descriptor, a NULL address, a
 * failed wait, or an interruption with a non-zero flag.
 *
 * With a time-out of 0 or more the socket is switched to non-blocking mode
 * for the attempt and its previous mode is restored on every path. A
 * time-out of 0 only starts the attempt: the result is 1 when it completed
 * at once and 0 otherwise, the attempt going on in the background. A
 * refusal the system reports at once (for instance ECONNREFUSED for a Unix
 * path nobody listens on) is 0 without waiting. A Unix listener whose
 * backlog is full is tried again after short pauses until the time-out ends
 * (0, errno ETIMEDOUT), as a blocking connect waits for room. A negative
 * time-out leaves the mode alone and waits as long as the system's connect
 * does; when that connect is interrupted with flag 0, the attempt it started
 * is waited for without limit rather than given up. */
KUV_API int32_t kuv_xapi_connect_intr(int32_t socket, const struct sockaddr *address,
                                      uint32_t address_length, int32_t timeout_msec,
                                      int32_t interruption_flag);
KUV_API int32_t kuv_xapi_connect(int32_t socket, const struct sockaddr *address,
                                 uint32_t address_length, int32_t timeout_msec);

/* Waits for a connection and accepts it: the new descriptor, or -1 on
 * failure and on time-out (errno ETIMEDOUT). A NULL address takes no peer
 * address; an address without a length pointer is refused (-1, EINVAL)
 * before anything is accepted, so no connection is lost. An accept
 * interrupted with flag 0 is repeated at once, without a new wait. A
 * listener that was shut down fails at once with EINVAL, non-blocking or
 * not. */
KUV_API int32_t kuv_xapi_accept_intr(int32_t socket, struct sockaddr *address,
                                     uint32_t *address_length, int32_t timeout_msec,
                                     int32_t interruption_flag);
KUV_API int32_t kuv_xapi_accept(int32_t socket, struct sockaddr *address, uint32_t *address_length,
                                int32_t timeout_msec);

/* ---- Readiness ----------------------------------------------------------- */

/* Waits until the socket is ready for one of the conditions in mask
 * (KUV_SOCKET_POLL_*). Returns the ready conditions among those asked
 * (possibly several bits), 0 when the time-out passed first, -1 on failure
 * (a negative or closed descriptor, or interrupted with a non-zero flag).
 * Interrupted with flag 0, the wait starts again with its whole time-out.
 * A pending error or a hang-up counts as readable, a pending error as
 * writable, urgent data as exceptional. */
KUV_API int32_t kuv_xapi_poll_socket_intr(int32_t socket, int32_t mask, int32_t timeout_msec,
                                          int32_t interruption_flag);
KUV_API int32_t kuv_xapi_poll_socket(int32_t socket, int32_t mask, int32_t timeout_msec);
/* 1 readable (writable), 0 not within the time-out, -1 failure. */
KUV_API int32_t kuv_xapi_rx_poll_socket_intr(int32_t socket, int32_t timeout_msec,
                                             int32_t interruption_flag);
KUV_API int32_t kuv_xapi_rx_poll_socket(int32_t socket, int32_t timeout_msec);
KUV_API int32_t kuv_xapi_tx_poll_socket_intr(int32_t socket, int32_t timeout_msec,
                                             int32_t interruption_flag);
KUV_API int32_t kuv_xapi_tx_poll_socket(int32_t socket, int32_t timeout_msec);

/* ---- Data ---------------------------------------------------------------- */

/* Waits until the socket is readable, then receives once (MSG_NOSIGNAL).
 * Results: the bytes received (more than 0); 0 only when the time-out
 * passed; -1 on failure, for a negative descriptor, a NULL buffer, size 0,
 * and when the peer has closed the connection (errno 0) or sent an empty
 * datagram. The wait always repeats interrupted calls; the flag governs the
 * receive call. With an address buffer the sender's address is stored and
 * the length pointer is required (-1, EINVAL, without receiving anything,
 * when it is NULL). At most 2147479552 bytes are received per call. */
KUV_API int32_t kuv_xapi_recvfrom_intr(int32_t socket, void *buffer, uint64_t size,
                                       struct sockaddr *address, uint32_t *address_length,
                                       int32_t timeout_msec, int32_t interruption_flag);
KUV_API int32_t kuv_xapi_recvfrom(int32_t socket, void *buffer, uint64_t size,
                                  struct sockaddr *address, uint32_t *address_length,
                                  int32_t timeout_msec);
KUV_API int32_t kuv_xapi_recv_intr(int32_t socket, void *buffer, uint64_t size,
                                   int32_t timeout_msec, int32_t interruption_flag);
KUV_API int32_t kuv_xapi_recv(int32_t socket, void *buffer, uint64_t size, int32_t timeout_msec);

/* Receives until size bytes are gathered, waiting at most timeout_msec for
 * each piece. Returns the bytes gathered: size, or fewer when a wait timed
 * out (0 to size); -1 when a receive failed or the peer closed the
 * connection (the bytes gathered so far are given up), for a NULL buffer and
 * for a size above 2147483647. */
KUV_API int32_t kuv_xapi_recvfrom_fill(int32_t socket, void *buffer, uint64_t size,
                                       struct sockaddr *address, uint32_t *address_length,
                                       int32_t timeout_msec);
KUV_API int32_t kuv_xapi_recv_fill(int32_t socket, void *buffer, uint64_t size,
                                   int32_t timeout_msec);

/* Waits until the socket is writable, then sends once (MSG_NOSIGNAL), to
 * address when one is given. Results: the bytes sent (more than 0; a partial
 * send returns the smaller count and nothing more is sent); 0 when the
 * time-out passed; -1 on failure, for a negative descriptor, a NULL data
 * pointer and size 0. With a time-out of 0 or more the send does not block:
 * it takes what the socket's buffer has room for. At most 2147479552 bytes
 * are sent per call. */
KUV_API int32_t kuv_xapi_sendto_intr(int32_t socket, const void *data, uint64_t size,
                                     const struct sockaddr *address, uint32_t address_length,
                                     int32_t timeout_msec, int32_t interruption_flag);
KUV_API int32_t kuv_xapi_sendto(int32_t socket, const void *data, uint64_t size,
                                const struct sockaddr *address, uint32_t address_length,
                                int32_t timeout_msec);
KUV_API int32_t kuv_xapi_send_intr(int32_t socket, const void *data, uint64_t size,
                                   int32_t timeout_msec, int32_t interruption_flag);
KUV_API int32_t kuv_xapi_send(int32_t socket, const void *data, uint64_t size,
                              int32_t timeout_msec);

/* ---- Options ------------------------------------------------------------- */

/* The system's getsockopt and setsockopt results unchanged: 0 done, -1
 * failed (also for a negative descriptor). */
KUV_API int32_t kuv_xapi_getsockopt(int32_t socket, int32_t level, int32_t option, void *value,
                                    uint32_t *value_length);
KUV_API int32_t kuv_xapi_setsockopt(int32_t socket, int32_t level, int32_t option,
                                    const void *value, uint32_t value_length);

/* The setters return 1 done and 0 failed. A negative descriptor gives -1
 * for the first four and 0 for the last three. "on" counts as true only when
 * it is 1. */
KUV_API int32_t kuv_xapi_set_tx_buffer_socket(int32_t socket, int32_t size);  /* SO_SNDBUF */
KUV_API int32_t kuv_xapi_set_rx_buffer_socket(int32_t socket, int32_t size);  /* SO_RCVBUF */
KUV_API int32_t kuv_xapi_set_no_delay_tcp_socket(int32_t socket, int32_t on); /* TCP_NODELAY */
KUV_API int32_t kuv_xapi_set_non_block_socket(int32_t socket, int32_t on);    /* O_NONBLOCK */
KUV_API int32_t kuv_xapi_set_reuse_socket(int32_t socket, int32_t on);        /* SO_REUSEADDR */
KUV_API int32_t kuv_xapi_set_broadcast_socket(int32_t socket, int32_t on);    /* SO_BROADCAST */
/* SO_LINGER: on for the given seconds when on is 1, else off. */
KUV_API int32_t kuv_xapi_set_linger_socket(int32_t socket, int32_t on, int32_t seconds);

/* Hop limit (time to live) of unicast or, with multicast 1, multicast
 * packets. family is 2 (IPv4), 10 (IPv6) or 0 (learnt from the socket's own
 * address). With hops 0 or more the limit is set: 1 done, 0 failed. With
 * negative hops it is read: the value, or 0 when it cannot be read. -1 for
 * a negative descriptor or another family; 0 when family 0 cannot be
 * learnt. */
KUV_API int32_t kuv_xapi_hops_socket(int32_t family, int32_t socket, int32_t hops,
                                     int32_t multicast);

/* ---- Multicast membership ------------------------------------------------ */

/* Joins (join 1) or leaves (any other value) a group. The descriptor is
 * handed to the system as it is. 1 done, 0 failed.
 *
 * IPv4: group and interface addresses as in struct in_addr (network byte
 * order); the interface is named by one of its addresses.
 * IPv6: the 16-byte group address; the interface by its index. */
KUV_API int32_t kuv_xapi_ipv4_multicast_join(int32_t socket, uint32_t group_address,
                                             uint32_t interface_address, int32_t join);
KUV_API int32_t kuv_xapi_ipv6_multicast_join(int32_t socket, const void *group_address,
                                             uint32_t interface_index, int32_t join);
/* Source-specific membership (MCAST_JOIN_SOURCE_GROUP when join is 1, else
 * MCAST_LEAVE_SOURCE_GROUP) on the interface with the given index. group and
 * source are socket addresses of the family (struct sockaddr_in for the IPv4
 * form, struct sockaddr_in6 for the IPv6 form); NULL gives 0 (EINVAL). */
KUV_API int32_t kuv_xapi_ipv4_multicast_join_source(int32_t socket, uint32_t interface_index,
                                                    const struct sockaddr *group,
                                                    const struct sockaddr *source, int32_t join);
KUV_API int32_t kuv_xapi_ipv6_multicast_join_source(int32_t socket, uint32_t interface_index,
                                                    const struct sockaddr *group,
                                                    const struct sockaddr *source, int32_t join);

/* ---- Address support ----------------------------------------------------- */

/* 1 when a socket of this kind can be opened (it is closed again at once),
 * else 0. */
KUV_API int32_t kuv_mapi_check_inet_support(int32_t domain, int32_t type, int32_t protocol);
/* 1 when the host supports IPv4 (IPv6) datagram sockets, else 0. Probed on
 * the first call and cached for the process, under a lock of its own:
 * callable from any thread, and from a child forked while other threads
 * call it. A probe that fails for want of a descriptor or of memory
 * (EMFILE, ENFILE, ENOBUFS, ENOMEM) answers 0 and is not kept: the next
 * call probes again. */
KUV_API int32_t kuv_xapi_is_supported_ipv4(void);
KUV_API int32_t kuv_xapi_is_supported_ipv6(void);

/* ---- Address text -------------------------------------------------------- */

/* Families are used through their low 16 bits: 2 is IPv4, 10 is IPv6.
 * Addresses in network form are in network byte order: 4 or 16 bytes. */

/* The system's inet_ntop: buffer, or NULL (NULL buffer or address, size 0,
 * an unknown family, or a buffer too small: ENOSPC). */
KUV_API char *kuv_xapi_inet_ntop(int32_t family, const void *address, char *buffer, uint64_t size);

/* The library's own formatter. IPv4: dotted decimal. IPv6: lower-case hex
 * groups without leading zeros, the longest run of zero groups (a single
 * zero group included; the first of equal runs) written as "::", no
 * embedded IPv4 form. The text is cut to size - 1 bytes when it does not
 * fit and always terminated. Any other family fills the whole buffer with
 * zero bytes (an empty text). Returns buffer; NULL for a NULL buffer or
 * size 0, and for a NULL address (the buffer then holds an empty text). */
KUV_API char *kuv_mapi_inet_ntop(int32_t family, const void *address, char *buffer, uint64_t size);

/* The address text of a socket address: "?UNSPEC" for family 0, the
 * system's text of an IPv4 or IPv6 address, "?N/A" for any other family;
 * fixed texts are cut to size - 1 bytes. Returns buffer, or NULL for a NULL
 * socket address or buffer and when the system cannot write the text (the
 * buffer then holds an empty text). Size 1 writes only a terminator; size 0
 * returns the buffer untouched. */
KUV_API char *kuv_xapi_inet_stop(const struct sockaddr *address, char *buffer, uint64_t size);

/* Dotted text of an IPv4 address value: network_order 1 when value is in
 * network byte order, any other value for host order. The text lives in the
 * system's inet_ntoa buffer and is overwritten by the next such call. */
KUV_API const char *kuv_xapi_inet_ntop_ipv4(uint32_t value, int32_t network_order);

/* The system's inet_pton: 1 parsed, 0 not an address, -1 unknown family or
 * a NULL text or output. */
KUV_API int32_t kuv_xapi_inet_pton(int32_t family, const char *text, void *address);

/* The library's own parser: 1 parsed; 0 not a valid address (the output is
 * then all zero); -1 for a NULL text or output or a family other than 2 and
 * 10 (the output is untouched). IPv4: exactly four dot-separated parts of
 * one to three decimal digits, each at most 255 (leading zeros allowed).
 * IPv6: one to eight groups of one to four hex digits, at most one "::"
 * (a leading ":" also opens the gap, and an empty group at the end counts
 * as 0); a text of head groups alone needs at least two of them. No
 * embedded IPv4 form. The output is written only within its 4 or 16 bytes,
 * and only once the text has been read: it may lie in the text's own
 * buffer. */
KUV_API int32_t kuv_mapi_inet_pton(int32_t family, const char *text, void *address);

/* The IPv4 address of a dotted text or a host name (resolved with the
 * system's resolver; after a failure the resolver configuration is reloaded
 * and the name tried once more), in network byte order for network_order 1,
 * else in host order. 0 when no address is found (also for NULL). */
KUV_API uint32_t kuv_xapi_inet_pton_ipv4(const char *text, int32_t network_order);

/* ---- end of sockets and address text ---- */

/* ======================================================================== */
/* File descriptors and paths                                               */
/* ======================================================================== */

/*
 * Thin wrappers around the file and path calls of the system. Descriptors
 * are signed 32-bit integers and -1 stands for none. Unless a function says
 * otherwise a failure returns -1 (or NULL) and leaves the system's error
 * number in errno; nothing is printed and no state is kept between calls.
 * Path arguments may be NULL: every function answers a NULL path with its
 * failure value (noted per function) without calling the system.
 */

/* The library's open flags (argument of kuv_xapi_open). Without
 * KUV_FILE_OPEN_WRITE_ONLY and KUV_FILE_OPEN_READ_WRITE the file is opened
 * for reading only; both together give the access value 3. Bits not listed
 * have no effect. */
#define KUV_FILE_OPEN_WRITE_ONLY 0x2u
#define KUV_FILE_OPEN_READ_WRITE 0x4u
#define KUV_FILE_OPEN_CREATE 0x8u /* the mode argument is used */
#define KUV_FILE_OPEN_TRUNCATE 0x10u
#define KUV_FILE_OPEN_EXCLUSIVE 0x20u
#define KUV_FILE_OPEN_APPEND 0x40u
#define KUV_FILE_OPEN_NON_BLOCK 0x80u
#define KUV_FILE_OPEN_SYNC 0x100u
#define KUV_FILE_OPEN_LOCK 0x1000u /* take a record lock, see kuv_xapi_open */
#define KUV_FILE_OPEN_NO_CONTROLLING_TERMINAL 0x4000u
#define KUV_FILE_OPEN_DIRECT 0x20000u

/* Access bits of kuv_xapi_access; they may be combined. */
#define KUV_FILE_ACCESS_EXISTS 0x1u
#define KUV_FILE_ACCESS_READ 0x2u
#define KUV_FILE_ACCESS_WRITE 0x4u
#define KUV_FILE_ACCESS_EXECUTE 0x8u

/* Lock bits of kuv_xapi_flock: RELEASE drops the lock; otherwise 0x2 or 0x4
 * asks for an exclusive (write) lock and neither for a shared (read) lock. */
#define KUV_FILE_LOCK_WRITE 0x2u
#define KUV_FILE_LOCK_RELEASE 0x2000u

/* Seek origins of kuv_xapi_lseek; any other value counts as the start. */
#define KUV_FILE_SEEK_START 0
#define KUV_FILE_SEEK_CURRENT 1
#define KUV_FILE_SEEK_END 2

/* Readiness bits of kuv_xapi_poll_fd_intr (argument and result). */
#define KUV_FILE_POLL_READABLE 0x1
#define KUV_FILE_POLL_WRITABLE 0x2
#define KUV_FILE_POLL_EXCEPTIONAL 0x4

/* The library's core version: 2. */
KUV_API int32_t kuv_xapi_get_core_version(void);

/* Sets the process's file-creation mask; returns the previous one. */
KUV_API uint32_t kuv_xapi_umask(uint32_t mask);

/* Opens path with the library's open flags; mode is used only with
 * KUV_FILE_OPEN_CREATE. Returns the new descriptor or -1.
 *
 * An open that fails for want of a number above 2 (see the top of this
 * header) after the system opened the file leaves it as it was: with write
 * access, KUV_FILE_OPEN_TRUNCATE is applied only once the descriptor is
 * kept, and a file made with KUV_FILE_OPEN_CREATE and
 * KUV_FILE_OPEN_EXCLUSIVE is removed again.
 *
 * With KUV_FILE_OPEN_LOCK the file is also locked over its whole length: a
 * write lock when the flags ask for writing (0x2 or 0x4), else a read lock.
 * A lock held by another process is tried again, with short pauses, for up
 * to 6000 ms; when it cannot be taken the descriptor is closed and -1 is
 * returned (errno from the last try, usually EAGAIN or EACCES). Any other
 * refusal of the lock (EBADF for a descriptor opened with neither read nor
 * write access, as 0x2 | 0x4 gives) fails at once. A file made with
 * KUV_FILE_OPEN_CREATE and KUV_FILE_OPEN_EXCLUSIVE by an open that fails
 * for its lock is removed again. Truncation is done only once the lock is
 * held, so a failed open leaves the file's contents untouched; with the
 * lock bit, truncating a regular file therefore needs write access (0x2 or
 * 0x4), except for a file the open makes with KUV_FILE_OPEN_EXCLUSIVE,
 * which is new and empty; pipes and devices are not truncated, as with the
 * system's open. The lock is a POSIX record lock: it belongs to the process
 * and is released when any descriptor of the process on that file is
 * closed. */
KUV_API int32_t kuv_xapi_open(const char *path, uint32_t flags, uint32_t mode);

/* kuv_xapi_open(path, 0x463A, mode): write only, create, truncate, fail if
 * the file exists (-1 with EEXIST), no controlling terminal. */
KUV_API int32_t kuv_xapi_creat(const char *path, uint32_t mode);

/* Closes the descriptor: 1 closed; -1 for descriptor -1 or a failure.
 * Interrupted by a signal, the descriptor has already been released by the
 * system and is never closed a second time: the result is 1 with flag 0
 * and 2 with any other flag. */
KUV_API int32_t kuv_xapi_close_intr(int32_t descriptor, int32_t interruption_flag);
KUV_API int32_t kuv_xapi_close(int32_t descriptor);

/* Applies a record lock over the whole file without waiting (bits as for
 * KUV_FILE_LOCK_*): 1 done; -1 refused (a conflicting lock of another
 * process: errno EAGAIN or EACCES), failed, or interrupted with a non-zero
 * flag. */
KUV_API int32_t kuv_xapi_flock_intr(int32_t descriptor, uint32_t bits, int32_t interruption_flag);
KUV_API int32_t kuv_xapi_flock(int32_t descriptor, uint32_t bits);

/* The system's read and write: the count transferred (a write may transfer
 * fewer bytes than asked), 0 at the end of a file for read, -1 on failure. */
KUV_API int64_t kuv_xapi_read_intr(int32_t descriptor, void *buffer, uint64_t size,
                                   int32_t interruption_flag);
KUV_API int64_t kuv_xapi_read(int32_t descriptor, void *buffer, uint64_t size);
KUV_API int64_t kuv_xapi_write_intr(int32_t descriptor, const void *data, uint64_t size,
                                    int32_t interruption_flag);
KUV_API int64_t kuv_xapi_write(int32_t descriptor, const void *data, uint64_t size);

/* Writes text without its terminator with one kuv_xapi_write: its result;
 * 0 for an empty text (nothing written); -1 for a NULL text. */
KUV_API int64_t kuv_xapi_write_puts(int32_t descriptor, const char *text);

/* Formats into a new text (at most 520190 characters) and writes it with
 * one call of kuv_xapi_write_puts: that call's result (a partial write
 * returns the smaller count and nothing more is written); -1 when the text
 * cannot be made (NULL format, too long, no memory). */
KUV_API int64_t kuv_xapi_write_vprintf(int32_t descriptor, const char *format, va_list list);
KUV_API int64_t kuv_xapi_write_printf(int32_t descriptor, const char *format, ...)
    KUV_PRINTF_LIKE(2, 3);

/* The system's lseek: the new position or -1. */
KUV_API int64_t kuv_xapi_lseek(int32_t descriptor, int64_t offset, int32_t origin);

/* 1 done; -1 failed or interrupted with a non-zero flag. */
KUV_API int32_t kuv_xapi_ftruncate_intr(int32_t descriptor, int64_t length,
                                        int32_t interruption_flag);
KUV_API int32_t kuv_xapi_ftruncate(int32_t descriptor, int64_t length);

/* Tests access with KUV_FILE_ACCESS_* bits: 1 allowed; 0 refused (also for
 * a NULL path, and for errors such as ENOENT, EACCES, EROFS, ENAMETOOLONG);
 * -1 for EINVAL, EIO, ENOMEM, EFAULT and ETXTBSY. */
KUV_API int32_t kuv_xapi_access(const char *path, uint32_t bits);

/* Schedules every file system's buffers for writing. Always 1. */
KUV_API int32_t kuv_xapi_sync(void);
/* 1 done, -1 failed. */
KUV_API int32_t kuv_xapi_fsync(int32_t descriptor);
KUV_API int32_t kuv_xapi_fdatasync(int32_t descriptor);

/* The target of the symbolic link path as a new tracked-heap string
 * (release with kuv_xapi_free), or NULL: a NULL path, not a link, an empty
 * target, no memory, or a target longer than 65535 bytes (ENAMETOOLONG). */
KUV_API char *kuv_xapi_readlink(const char *path);

/* 1 done; 0 refused; -1 for a NULL path, EFAULT, EIO, ENAMETOOLONG and
 * ENOMEM. */
KUV_API int32_t kuv_xapi_chdir(const char *path);
KUV_API int32_t kuv_xapi_chmod(const char *path, uint32_t mode);

/* Creates the directory path with mode, and every missing parent first.
 * Parents get 0777 without the bits of the file-creation mask, and always
 * owner write and search (0300) so that their owner can use them (added
 * after creation when the mask takes them, keeping an inherited
 * set-group-ID bit). Results:
 * 1 the path is a directory now (also when it was one before, or when
 * another process created it at the same moment); 0 a creation failed or
 * the path exists as something else; -1 a NULL or empty path, or an error
 * other than ENOENT while looking at the path (for instance ENOTDIR or
 * ENAMETOOLONG). Trailing slashes and runs of slashes are allowed. The
 * process's file-creation mask is never changed, not even for a moment. */
KUV_API int32_t kuv_xapi_mkdir(const char *path, uint32_t mode);

/* Removes a file or an empty directory: 1 done, -1 failed or NULL path. */
KUV_API int32_t kuv_xapi_remove(const char *path);

/* Waits until the descriptor is ready for one of the conditions in mask
 * (KUV_FILE_POLL_*). Returns the ready conditions among those asked, 0 when
 * the time-out passed first, -1 on failure (a negative or closed
 * descriptor, or interrupted with a non-zero flag). Interrupted with flag
 * 0, the wait starts again with the whole time-out. A pending error or a
 * hang-up counts as readable. */
KUV_API int32_t kuv_xapi_poll_fd_intr(int32_t descriptor, int32_t mask, int32_t timeout_msec,
                                      int32_t interruption_flag);
KUV_API int32_t kuv_xapi_poll_fd(int32_t descriptor, int32_t mask, int32_t timeout_msec);
/* 1 readable (writable), 0 not within the time-out, -1 failure. */
KUV_API int32_t kuv_xapi_rx_poll_fd(int32_t descriptor, int32_t timeout_msec);
KUV_API int32_t kuv_xapi_tx_poll_fd(int32_t descriptor, int32_t timeout_msec);

/* ---- end of file descriptors and paths ---- */

KUV_EXTERN_C_END

#endif /* DAVRO_KUV_SYSIO_H */
