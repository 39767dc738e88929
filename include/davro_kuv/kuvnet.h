/*
 * davro_kuv network endpoints ("kuvnet"): the endpoint handle, name
 * resolution, socket set-up for UDP, TCP, Unix-domain and ICMP endpoints,
 * the library's framed packet protocol with whole-message transfer, ICMP
 * echo, and network interface enumeration.
 *
 * Results: every operation that returns uint32_t answers 1 for success or
 * one of the KUVNET_RESULT_* codes (KUV_RESULT_INVALID_ARGUMENT for a NULL
 * handle or pointer, unless the operation names another code). The NULL
 * checks are those of the kuv_xapi_ forms: a kuv_mapi_ form is for callers
 * that have made them and takes no NULL where its kuv_xapi_ twin refuses
 * one (kuv_mapi_init_packet and kuv_mapi_release_packet, which have no
 * twin, check for themselves).
 * Operations on a handle also store their failure code in the handle's
 * error_code; a handle that records a failure refuses the message transfers
 * (tx_data, rx_data and rx_data_fill, also within the simple forms) and the
 * echo until the caller sets error_code back to 0.
 * The single-packet operations (packetize, tx_a_packet, rx_a_packet) do not
 * consult error_code: they build, send and receive on such a handle too.
 *
 * Ownership: a handle is made by kuv_xapi_kuvnet_init (or accept) and freed
 * by kuv_xapi_kuvnet_delete, which clears the caller's pointer. The handle
 * owns its resolved address lists and its multicast sources. A received
 * packet body (packet_info.data after a receive) belongs to the record and
 * is released with kuv_xapi_release_packet_info; a built packet
 * (packet.data) with kuv_mapi_release_packet. Interface lists from
 * kuv_xapi_open_nic are freed whole with kuv_xapi_close_nic.
 *
 * Threads: a handle has no lock; one thread uses it at a time. Distinct
 * handles are independent.
 *
 * Tracing: messages are printed to standard output (the failed lookup to
 * standard error) when the handle's debug_level is above a message's level:
 * 0 for the lookup failure, 9 for resolution results and echo replies,
 * 99999 for the life-cycle traces, 999999 for "accepting".
 */
#ifndef DAVRO_KUV_KUVNET_H
#define DAVRO_KUV_KUVNET_H

#include <sys/socket.h>

#include "davro_kuv/common.h"

KUV_EXTERN_C_BEGIN

/* ======================================================================== */
/* protocol_type                                                            */
/* ======================================================================== */

/*
 * protocol_type is read in three fields: bits 0-7 the address family
 * (KUVNET_IPV4, KUVNET_IPV6, anything else: either), bits 8-15 the name
 * class (KUVNET_INET: the name is a host name even without a transport,
 * looked up for datagram sockets of any protocol, IPv6 included: the
 * encapsulation protocol 41 is no transport and a lookup asking for it would
 * fail), bits 16-27 the transport. The transport is compared under
 * KUVNET_TRANSPORT_MASK (bit 24 ignored) for UDP, TCP and Unix-domain, and
 * under KUVNET_ICMP_MASK (bit 24 counted) for ICMP. Bit 24 turns the
 * acknowledgement of every packet on for UDP and off for TCP and
 * Unix-domain: exactly KUVNET_UDP_ACKED, KUVNET_TCP and KUVNET_UDS (under
 * KUVNET_ICMP_MASK) are acknowledged transports.
 */
#define KUVNET_UDP 0x00010000u
#define KUVNET_UDP_ACKED 0x01010000u
#define KUVNET_ACK_TOGGLE 0x01000000u
#define KUVNET_TCP 0x00020000u
#define KUVNET_ICMP 0x00040000u
#define KUVNET_UDS 0x00080000u
#define KUVNET_INET 0x00000400u
#define KUVNET_IPV4 4u
#define KUVNET_IPV6 6u

#define KUVNET_FAMILY_MASK 0x000000FFu    /* the address family field */
#define KUVNET_CLASS_MASK 0x0000FF00u     /* the name class field */
#define KUVNET_TRANSPORT_MASK 0x0EFF0000u /* UDP, TCP, Unix-domain: bit 24 ignored */
#define KUVNET_ICMP_MASK 0x0FFF0000u      /* ICMP and the acknowledged types: bit 24 counted */

/* ======================================================================== */
/* Result codes of the endpoint family                                      */
/* ======================================================================== */

/* KUV_RESULT_NETWORK_INIT (0x88000001) and KUV_RESULT_INVALID_ARGUMENT
 * (0x88000002) are in common.h. */

#define KUVNET_RESULT_LOOKUP_FAILED 0x88000004u     /* name lookup failed */
#define KUVNET_RESULT_ACTIVE_HAS_SOCKET 0x88000005u /* active handle already has a socket */
#define KUVNET_RESULT_PASSIVE_MISUSE 0x88000006u    /* passive: has a socket, or connect asked */
#define KUVNET_RESULT_NOT_PASSIVE 0x88000007u       /* accept on a handle that is not passive */
/* a packet cannot be built within max_packet_size, a UDP send has no peer,
 * or a simple transfer was asked on a passive handle */
#define KUVNET_RESULT_NOT_SENDABLE 0x88000008u
#define KUVNET_RESULT_SHORT_HEADER 0x88000009u     /* header shorter than its fields */
#define KUVNET_RESULT_DATAGRAM_RECEIVE 0x8800000Au /* datagram receive failed */
#define KUVNET_RESULT_PATH_TOO_LONG 0x8800000Bu    /* Unix-domain path over 107 characters */
#define KUVNET_RESULT_CORE_VERSION 0x8800000Du     /* core version mismatch */
#define KUVNET_RESULT_MULTICAST_JOIN 0x8800000Eu   /* no interface list, or no join made */
#define KUVNET_RESULT_SOURCE_LOOKUP 0x88000012u    /* a source name cannot be resolved */
#define KUVNET_RESULT_PORT_RANGE 0x80000002u       /* port outside 0..65535 */
#define KUVNET_RESULT_REMOTE_NAME 0x80000003u      /* remote name cannot be resolved */
/* local name cannot be resolved, or a Unix-domain listener has no path */
#define KUVNET_RESULT_LOCAL_NAME 0x80000004u
#define KUVNET_RESULT_UNIX_SOCKET 0x80000005u      /* no Unix-domain socket could be opened */
#define KUVNET_RESULT_BIND 0x80000006u             /* no address could be bound */
#define KUVNET_RESULT_UNSUPPORTED_TYPE 0x80000007u /* protocol_type not supported here */
#define KUVNET_RESULT_UNIX_LISTEN 0x80000008u      /* listen failed on a Unix-domain socket */
#define KUVNET_RESULT_NO_SOCKET 0x80000009u        /* no socket (or no packet record) */
#define KUVNET_RESULT_CONNECT 0x8000000Bu          /* no address could be connected */
#define KUVNET_RESULT_CMD_TYPE 0x8000000Cu         /* cmd_type invalid */
#define KUVNET_RESULT_CMD_ID 0x8000000Du           /* cmd_id invalid */
#define KUVNET_RESULT_DST_ID 0x8000000Eu           /* dst_id invalid or not for this receiver */
#define KUVNET_RESULT_SRC_ID 0x8000000Fu           /* src_id invalid */
#define KUVNET_RESULT_TOTAL_SIZE 0x80000010u       /* total_size invalid or inconsistent */
#define KUVNET_RESULT_OFFSET 0x80000011u           /* offset invalid or beyond the message */
#define KUVNET_RESULT_BODY_SIZE 0x80000012u        /* body size invalid */
#define KUVNET_RESULT_MAGIC 0x80000014u            /* magic mismatch (handle or header) */
#define KUVNET_RESULT_VERSION 0x80000015u          /* version above the supported one */
#define KUVNET_RESULT_RECORDED_FAILURE 0x80000016u /* the handle already records a failure */
#define KUVNET_RESULT_NOT_READY 0x80000017u        /* the peer answered not-ready too often */
#define KUVNET_RESULT_NO_MEMORY 0x80000018u        /* memory exhausted */
#define KUVNET_RESULT_BODY_HELD 0x80000019u        /* the packet record still holds a body */
/* a packet was sent only in part, or a datagram send failed */
#define KUVNET_RESULT_PARTIAL_SEND 0x8000001Au
#define KUVNET_RESULT_SHORT_READ 0x8000001Bu /* a stream packet was not read whole */
/* send or receive moved nothing, or accept failed */
#define KUVNET_RESULT_NO_TRANSFER 0x8000001Eu

/* ======================================================================== */
/* Endpoint handle                                                          */
/* ======================================================================== */

/* Defaults of a fresh handle. */
#define KUVNET_MAGIC "KVMX"
#define KUVNET_DEFAULT_TIMEOUT 16000u
#define KUVNET_DEFAULT_MAX_PACKET_SIZE 32768u
#define KUVNET_PACKET_VERSION 1u
#define KUVNET_NAME_SIZE 128
/* Longest Unix-domain path, without its terminator. */
#define KUVNET_UNIX_PATH_MAX 107

struct addrinfo;

/* The lookup hints, laid out as the system's struct addrinfo (the library
 * checks at build time that the layouts agree, so the record can be passed
 * wherever a struct addrinfo is wanted). Declared here so that the header
 * also compiles where <netdb.h> hides struct addrinfo (strict C11). */
typedef struct kuvnet_hints {
    int32_t ai_flags;         /* lookup flags (0) */
    int32_t ai_family;        /* AF_INET, AF_INET6, AF_UNIX or AF_UNSPEC */
    int32_t ai_socktype;      /* SOCK_DGRAM, SOCK_STREAM or SOCK_RAW */
    int32_t ai_protocol;      /* IPPROTO_* or 0 */
    uint32_t ai_addrlen;      /* unused in hints (0) */
    struct sockaddr *ai_addr; /* unused in hints (NULL) */
    char *ai_canonname;       /* unused in hints (NULL) */
    struct addrinfo *ai_next; /* unused in hints (NULL) */
} kuvnet_hints;

/* One resolved name. Embedded twice in the handle; allocated on its own for
 * each multicast source. */
typedef struct kuvnet_address {
    struct kuvnet_address *prev; /* previous source record (NULL elsewhere) */
    struct kuvnet_address *next; /* next source record (NULL elsewhere) */
    uint64_t name_length;        /* length of the name last given to the resolver */
    char *name;                  /* owned copy of the name last resolved; NULL when empty */
    int32_t gai_result;          /* result of the last lookup (0 = success) */
    kuvnet_hints hints;          /* the lookup hints */
    struct addrinfo *addresses;  /* owned lookup result in the system's order */
    /* Unix-domain address (family AF_UNIX, then the path and its
     * terminator); also where an accepted peer's address and the sender of
     * each received datagram land. */
    struct sockaddr_storage unix_address;
    struct sockaddr *selected; /* the address bound, connected or last heard from */
    uint32_t is_multicast;     /* a resolved address is 224.0.0.0/4 or ff00::/8 */
    uint32_t is_unspecified;   /* empty name, or a wildcard address 0.0.0.0 or :: */
} kuvnet_address;

/*
 * The endpoint handle. The caller may set protocol_type, peer_name,
 * local_name, port, is_server, use_accept_timeout, timeout,
 * max_packet_size, debug_level, hops, is_broadcast, reuse_address and
 * rx_buffer_size between init and create; the other fields are kept by the
 * operations.
 */
typedef struct kuvnet {
    char magic[10];                    /* "KVMX", zero-filled: validity mark and packet magic */
    uint32_t protocol_type;            /* transport and family (see above); 0 at init */
    int32_t socket;                    /* the open socket, -1 = none */
    char peer_name[KUVNET_NAME_SIZE];  /* remote host, address or path; after accept the peer */
    char local_name[KUVNET_NAME_SIZE]; /* local host, address or path to bind */
    int32_t port;                      /* -1 unset; 0 any (create writes the chosen port back) */
    uint32_t is_server;                /* 1 = passive: bind/listen, accept */
    uint32_t use_accept_timeout;       /* 1 = accept waits at most timeout */
    uint32_t timeout;             /* ms for every connect, send, receive; 0xFFFFFFFF no limit */
    uint32_t version;             /* packet-protocol version (0 or 1); lowered by peers */
    uint32_t error_code;          /* last recorded failure, 0 = none */
    uint64_t max_packet_size;     /* largest packet packetize builds (32768) */
    uint64_t header_size;         /* smallest header length (32); informational */
    int32_t owns_network_init;    /* 1 = delete stops the platform network layer */
    int32_t debug_level;          /* trace level */
    int32_t hops;                 /* TTL / hop limit of UDP sockets; negative = 64 */
    int32_t is_broadcast;         /* 1 = broadcast enabled on UDP sockets */
    int32_t reuse_address;        /* 1 = address reuse on passive sockets (default) */
    uint64_t rx_buffer_size;      /* non-zero = receive buffer of passive UDP sockets */
    kuvnet_address local_address; /* resolution of local_name */
    kuvnet_address peer_address;  /* resolution of peer_name; peers land here */
    kuvnet_address *source_list;  /* multicast sources in the order added */
} kuvnet;

/* A new handle with its defaults in *out (NULL on failure). init_network 1
 * also starts the platform network layer, which delete then stops.
 * KUV_RESULT_NETWORK_INIT when it does not start, KUVNET_RESULT_NO_MEMORY. */
KUV_API uint32_t kuv_xapi_kuvnet_init(kuvnet **out, uint32_t init_network);
KUV_API uint32_t kuv_mapi_kuvnet_init(kuvnet **out, uint32_t init_network);
/* As init, but only when core_version is the library's core version
 * (kuv_xapi_get_core_version, 2); otherwise *out = NULL and
 * KUVNET_RESULT_CORE_VERSION. */
KUV_API uint32_t kuv_xapi_kuvnet_init_with_version(kuvnet **out, uint32_t init_network,
                                                   uint32_t core_version);

/* Drops the socket (a TCP connection is reset, not drained) and keeps the
 * handle, its names and error_code for another create. 1; for a record
 * that init did not make (one without the magic, such as a zeroed one,
 * whose socket 0 is not the handle's), KUVNET_RESULT_MAGIC and nothing is
 * closed. */
KUV_API uint32_t kuv_xapi_kuvnet_close(kuvnet *handle);
KUV_API uint32_t kuv_mapi_kuvnet_close(kuvnet *handle);
/* Closes and frees the handle with its addresses and sources, sets *handle
 * to NULL and stops the network layer when init started it. 1;
 * KUV_RESULT_INVALID_ARGUMENT for a NULL pointer or a NULL stored handle;
 * KUVNET_RESULT_MAGIC, touching nothing, for a record without the magic. */
KUV_API uint32_t kuv_xapi_kuvnet_delete(kuvnet **handle);
KUV_API uint32_t kuv_mapi_kuvnet_delete(kuvnet **handle);

/* Fill peer_name (set_remote) or local_name (set_local) with text, cut to
 * 127 characters; NULL empties the field. The text may lie in the field
 * itself (a name written there and set again). With is_uri 1 the text is
 * parsed as a URI: its host (or nothing) becomes the name and a port in it
 * sets port; a port number above 65535 (read as the integer reader reads it,
 * hexadecimal after "0x" included), however long, sets 65536, which create
 * and connect refuse (the URI record's own port wraps). 1, or
 * KUVNET_RESULT_NO_MEMORY when the URI cannot be parsed for want of memory
 * (name and port then unchanged). */
KUV_API uint32_t kuv_xapi_kuvnet_set_remote(kuvnet *handle, const char *text, int32_t is_uri);
KUV_API uint32_t kuv_xapi_kuvnet_set_local(kuvnet *handle, const char *text, int32_t is_uri);
/* Resolves text (a URI's host with is_uri 1) and appends it to source_list:
 * the multicast sources of a source-specific receiver (a URI whose port
 * number is above 65535 is looked up as a whole text). 1,
 * KUVNET_RESULT_SOURCE_LOOKUP (list unchanged; also for a text that names
 * no address, such as an empty one, or before protocol_type names an
 * internet transport) or KUVNET_RESULT_NO_MEMORY. */
KUV_API uint32_t kuv_xapi_kuvnet_add_source(kuvnet *handle, const char *text, int32_t is_uri);

/* 1 when the handle is open and sound, else the first failing check:
 * KUV_RESULT_INVALID_ARGUMENT, KUVNET_RESULT_NO_SOCKET,
 * KUVNET_RESULT_VERSION, KUVNET_RESULT_MAGIC,
 * KUVNET_RESULT_RECORDED_FAILURE. Changes nothing. */
KUV_API uint32_t kuv_xapi_kuvnet_check_valid_handle(const kuvnet *handle);

/* ---- Create, connect, accept -------------------------------------------- */

/* Turns a filled handle into an endpoint: binds UDP sockets (joining
 * multicast groups on every interface for a passive handle whose peer is a
 * group; such a receiver hears only the groups it joined itself, not those
 * other sockets of the host joined on its port; a join the system refuses,
 * such as one past a socket's membership limit of 20 IPv4 groups or 10
 * sources by default, is passed over, and create fails only when no join
 * was made), listens on TCP and
 * Unix-domain sockets for passive handles (the listening socket is
 * non-blocking; kuv_xapi_kuvnet_accept waits for its connections), and
 * only resolves the names of active TCP and Unix-domain handles and of ICMP
 * handles. An active UDP handle without a peer (an empty peer_name or a
 * wildcard address) gets no socket either: create answers 1 and socket stays
 * -1 until a peer is set and the handle is connected (or created again).
 * A port of 0 is replaced by the port the system chose. A name
 * resolved before is not looked up again (unless that lookup failed or was
 * made for another transport or family); its addresses take the handle's
 * current port. A passive Unix-domain handle whose path is taken by a
 * socket file that nobody listens on (left by an earlier run) removes that
 * file and binds again; the socket file of a listener that still runs and
 * any other file at the path are left alone, and create fails
 * (KUVNET_RESULT_BIND).
 * 1, or KUVNET_RESULT_ACTIVE_HAS_SOCKET / KUVNET_RESULT_PASSIVE_MISUSE (a
 * socket is open), KUVNET_RESULT_PORT_RANGE, KUVNET_RESULT_REMOTE_NAME,
 * KUVNET_RESULT_LOCAL_NAME, KUVNET_RESULT_UNIX_SOCKET, KUVNET_RESULT_BIND,
 * KUVNET_RESULT_UNSUPPORTED_TYPE, KUVNET_RESULT_UNIX_LISTEN or
 * KUVNET_RESULT_MULTICAST_JOIN or, when the interface list lacks pieces
 * for want of memory, KUVNET_RESULT_NO_MEMORY (the socket then stays open:
 * close the handle). */
KUV_API uint32_t kuv_xapi_kuvnet_create(kuvnet *handle);
KUV_API uint32_t kuv_mapi_kuvnet_create(kuvnet *handle);
/* Connects an active handle: TCP over every resolved peer address in
 * order (timeout per address), Unix-domain to the path, UDP by closing and
 * creating again. 1, or KUVNET_RESULT_PASSIVE_MISUSE (is_server set),
 * KUVNET_RESULT_ACTIVE_HAS_SOCKET, KUVNET_RESULT_PORT_RANGE (port above
 * 65535), KUVNET_RESULT_LOCAL_NAME,
 * KUVNET_RESULT_REMOTE_NAME (also for no peer name),
 * KUVNET_RESULT_UNIX_SOCKET, KUVNET_RESULT_CONNECT (nobody accepted; also
 * for a TCP socket that got the peer's own address and port as its source
 * and met itself),
 * KUVNET_RESULT_UNSUPPORTED_TYPE (ICMP and unknown types). */
KUV_API uint32_t kuv_xapi_kuvnet_connect(kuvnet *handle);
KUV_API uint32_t kuv_mapi_kuvnet_connect(kuvnet *handle);
/* Takes one connection from a passive TCP or Unix-domain handle as a new
 * handle in *out (owned by the caller, freed with delete), which inherits
 * the listener's settings, with timeout 16000, use_accept_timeout 0, no
 * claim on the network layer, and the peer's address (peer_name as text;
 * a link-local IPv6 peer's text carries its interface as a numeric scope,
 * "fe80::1%2", so that it can be connected to again).
 * Waits at most timeout when use_accept_timeout is 1, else without limit,
 * also when another process that shares the listener (forked after create)
 * takes the connection first.
 * *out is NULL on failure: KUVNET_RESULT_NOT_PASSIVE,
 * KUVNET_RESULT_NO_SOCKET, KUVNET_RESULT_UNSUPPORTED_TYPE,
 * KUVNET_RESULT_NO_TRANSFER (nothing accepted), KUVNET_RESULT_NO_MEMORY;
 * stored in the listener's error_code, which a success clears. */
KUV_API uint32_t kuv_xapi_kuvnet_accept(kuvnet *listener, kuvnet **out);
KUV_API uint32_t kuv_mapi_kuvnet_accept(kuvnet *listener, kuvnet **out);

/* Binds socket to the IPv4 address and port (both host order): the
 * system's bind result, 0 or -1. */
KUV_API int32_t kuv_ipv4_bind(int32_t socket, uint32_t address, uint16_t port);

/* ======================================================================== */
/* Packets and messages                                                     */
/* ======================================================================== */

/*
 * Wire format of a packet, little-endian: "KVMX" (4), version (2), dst_id
 * (4), src_id (4), cmd_type (4), cmd_id (4), total_size (4, or 0xFFFFFFFF
 * and 8), offset (4, or 0xFFFFFFFF and 8), body length (2, or 0xFFFF and 4),
 * the body, and behind a body of one byte or more a 4-byte zero trailer (of
 * a message whose size matches its total: while it had bytes left before
 * the packet). An acknowledgement is a bare header with cmd_type
 * KUVNET_CMD_ACK and the acknowledged packet's cmd_type as cmd_id; on UDP
 * it also carries that packet's total_size and offset (so that a repeated
 * acknowledgement names its own packet), elsewhere both are 0 (32 bytes).
 */
#define KUVNET_PACKET_HEADER_SIZE 32u
#define KUVNET_PACKET_TRAILER_SIZE 4u
#define KUVNET_CMD_ACK 1u

/* A message (sending side) or one received packet (receiving side). */
typedef struct packet_info {
    uint32_t src_id;      /* sender; before a receive: the receiver's own identifier */
    uint32_t dst_id;      /* receiver */
    uint32_t cmd_type;    /* command class; KUVNET_CMD_ACK = acknowledgement */
    uint32_t cmd_id;      /* command; in an answer that is no acknowledgement, a result code */
    int64_t total_size;   /* size of the whole message */
    uint64_t offset;      /* sending: next body byte (advanced by packetize); received: body's */
    uint64_t packet_size; /* received body length */
    uint8_t *data;        /* sending: the caller's bytes; received: the owned body */
    uint64_t size;        /* bytes at data */
    int32_t error_code;   /* result code of a failed transfer or receive */
    uint64_t body_offset; /* received: length of the header */
} packet_info;

/* One built packet: header, body and trailer in one owned block. */
typedef struct packet {
    uint8_t *data;   /* owned block: header, body and trailer */
    uint64_t length; /* bytes at data */
} packet;

/* Record operations; 1, or KUV_RESULT_INVALID_ARGUMENT for NULL (not the
 * two kuv_mapi_ forms of packet_info, which take no NULL). Release frees
 * data and clears data, size and error_code (packet_info) or data and
 * length (packet). */
KUV_API uint32_t kuv_mapi_init_packet(packet *record);
KUV_API uint32_t kuv_mapi_release_packet(packet *record);
KUV_API uint32_t kuv_xapi_init_packet_info(packet_info *record);
KUV_API uint32_t kuv_mapi_init_packet_info(packet_info *record);
KUV_API uint32_t kuv_xapi_release_packet_info(packet_info *record);
KUV_API uint32_t kuv_mapi_release_packet_info(packet_info *record);

/* Builds the next packet of the message in info into out (one allocation,
 * released with kuv_mapi_release_packet; out is overwritten, so a packet
 * built into it before must be released first), starting at *cursor
 * (NULL: 0), and advances info->offset and *cursor by the body length. Sizes and
 * offsets of 0xFFFFFFFF and more (negative total sizes included) take the
 * long form; bodies above 65534 bytes the long length. The packet is at
 * most max_packet_size bytes: KUVNET_RESULT_NOT_SENDABLE when header and
 * trailer do not fit, or when no body byte fits while the message still has
 * bytes (a limit of exactly header and trailer would cut empty packets for
 * ever); KUV_RESULT_INVALID_ARGUMENT for a body without data;
 * KUVNET_RESULT_NO_MEMORY. Failures are stored in error_code. */
KUV_API uint32_t kuv_xapi_kuvnet_packetize(kuvnet *handle, packet_info *info, packet *out,
                                           uint64_t *cursor);
KUV_API uint32_t kuv_mapi_kuvnet_packetize(kuvnet *handle, packet_info *info, packet *out,
                                           uint64_t *cursor);
/* Reads a header from the available bytes into info (whose src_id is the
 * receiver's own identifier; only the low 24 bits of the destination are
 * compared with it) and reads nothing past them; a lower peer version
 * lowers the handle's. The checks run in this order: length
 * (KUVNET_RESULT_SHORT_HEADER, also for long forms cut short), magic,
 * version, destination, source, command class, command, and the long forms
 * of total size, offset and body length with every bit set. The result
 * code is not stored here; the receive stores it. */
KUV_API uint32_t kuv_xapi_kuvnet_parse_main_header(kuvnet *handle, packet_info *info,
                                                   const uint8_t *bytes, uint64_t available);
KUV_API uint32_t kuv_mapi_kuvnet_parse_main_header(kuvnet *handle, packet_info *info,
                                                   const uint8_t *bytes, uint64_t available);
/* Sends one built packet (info is not consulted): a UDP packet as one
 * datagram to peer_address.selected, passed with the length of its own
 * family (KUVNET_RESULT_NOT_SENDABLE without a selected peer); on TCP and
 * Unix-domain streams the bytes the socket did not take at once follow
 * within the same time-out. KUVNET_RESULT_NO_TRANSFER when nothing was
 * sent, KUVNET_RESULT_PARTIAL_SEND when some was; a datagram whose send
 * fails (one too large for UDP, say) is KUVNET_RESULT_PARTIAL_SEND too,
 * although none of it left. */
KUV_API uint32_t kuv_xapi_kuvnet_tx_a_packet(kuvnet *handle, packet_info *info, packet *record);
KUV_API uint32_t kuv_mapi_kuvnet_tx_a_packet(kuvnet *handle, packet_info *info, packet *record);
/* Receives one packet into info, whose data must be NULL
 * (KUVNET_RESULT_BODY_HELD otherwise; the body stays). The body (owned by
 * info, with 4 spare bytes behind it) is NULL for a packet without one. A
 * datagram's sender becomes the selected peer; a datagram whose body runs
 * past its bytes is refused with KUVNET_RESULT_BODY_SIZE. A stream packet
 * is read exactly, header first, and its body straight into the block that
 * keeps it; a body announced larger than 2 MiB gets a block that starts at
 * 2 MiB and doubles as bytes arrive, so a peer that announces more than it
 * sends costs no more than twice what it sent. Any stream read cut short:
 * KUVNET_RESULT_SHORT_READ. Parse failures are stored in info's and the
 * handle's error_code. A packet whose body could not be taken leaves info
 * with the header's fields, data NULL and size 0. */
KUV_API uint32_t kuv_xapi_kuvnet_rx_a_packet(kuvnet *handle, packet_info *info);
KUV_API uint32_t kuv_mapi_kuvnet_rx_a_packet(kuvnet *handle, packet_info *info);
/* Prints the record to standard output; the number of characters printed
 * (0 for NULL). */
KUV_API int32_t kuv_xapi_dump_packet_info(const packet_info *info);

/* Checks of a message description: 1 or the first failing check's code
 * (NULL record KUVNET_RESULT_NO_SOCKET; then an all-ones cmd_id, cmd_type,
 * dst_id, src_id; an all-ones total_size unless the top byte of cmd_type is
 * 1; an all-ones offset and size; an offset other than 0 whose part
 * would end past a non-negative total_size, and a part whose bytes would
 * carry the offset to 2^64 or past it, through the all-ones value that no
 * receiver takes: KUVNET_RESULT_OFFSET). */
KUV_API uint32_t kuv_xapi_kuvnet_check_valid_tx_packet_info(const packet_info *info);
KUV_API uint32_t kuv_xapi_kuvnet_check_valid_rx_packet_info(const packet_info *info);

/* The exported transfers first check the handle and the record and store a
 * failure of either (KUVNET_RESULT_RECORDED_FAILURE while error_code holds
 * an earlier one). */

/* Sends a whole message: the size bytes at data, whose packets carry the
 * offsets from info->offset on (0 for a message sent whole). The send
 * leaves info->offset behind the last byte sent, so a record sent again
 * needs its offset set back first: a part that starts past offset 0 and
 * would end past a known (non-negative) total_size is refused with
 * KUVNET_RESULT_OFFSET before anything is sent.
 * On an acknowledged transport each packet waits for the peer's answer: an
 * acknowledgement moves on; a not-ready answer sends the same packet again,
 * at most 16 times per packet, one second later on an active handle; any
 * other answer ends the send with its cmd_id, stored in info's and the
 * handle's error_code (an answer carrying 0 or 1, which would report a
 * message not taken as sent, ends it with KUVNET_RESULT_CMD_ID). Passed
 * over while the time-out lasts: on an active UDP handle, datagrams from
 * another port than the selected peer's (the peer stays selected); and
 * acknowledgements from another receiver or of another command class (a
 * late one of an earlier message), or that name another packet by
 * total_size and offset (one the network repeated; an acknowledgement with
 * both 0 names none and is taken); a time-out that ends while answers
 * were passed over: KUVNET_RESULT_NO_TRANSFER. The acknowledgement names
 * no message: on UDP a repeated one of an earlier message's packet with the
 * same total_size and offset (one-datagram messages of one size sent back
 * to back) still passes for the answer, so a loss then can go unnoticed. */
KUV_API uint32_t kuv_xapi_kuvnet_tx_data(kuvnet *handle, packet_info *info);
KUV_API uint32_t kuv_mapi_kuvnet_tx_data(kuvnet *handle, packet_info *info);
/* Receives one packet into info (src_id = own identifier; data must be
 * NULL) and acknowledges it on an acknowledged transport. On an
 * acknowledged stream a packet whose body could not be kept for want of
 * memory (read and dropped) is answered with KUVNET_RESULT_NO_MEMORY, which
 * ends the sender's send at once; so does rx_data_fill below. */
KUV_API uint32_t kuv_xapi_kuvnet_rx_data(kuvnet *handle, packet_info *info);
KUV_API uint32_t kuv_mapi_kuvnet_rx_data(kuvnet *handle, packet_info *info);
/* Receives packets until one message is whole: info->data (owned,
 * total_size bytes; NULL for an empty message), size = total_size, offset
 * 0. info is cleared first; a record that still holds a body is refused
 * (KUVNET_RESULT_BODY_HELD, the body stays) by the kuv_xapi_ form, cleared
 * without freeing it by the kuv_mapi_ form. A packet with a
 * total size of 1 or more at offset 0 starts a message (a partial one is
 * dropped); every other packet must continue it at the next expected
 * offset: KUVNET_RESULT_TOTAL_SIZE when its total size differs,
 * KUVNET_RESULT_OFFSET when it leaves a gap, overlaps or runs past the
 * total, or when it carries another src_id, cmd_type or cmd_id than the
 * start or (on UDP) comes from another sender. A packet behind the start
 * that only repeats bytes already taken (a datagram the network delivered
 * twice) is passed over unanswered; a start that comes again starts the
 * message anew, as a sender that sends it again after a failure needs.
 * On an acknowledged transport a packet is answered once
 * it is judged: acknowledged when taken, else answered with the refusal
 * code in cmd_id (cmd_type 0), which fails the sender's send. The header
 * carries no message number: on UDP, when the network reorders or loses
 * datagrams, packets of two messages with the same src_id, commands and
 * total size can be joined; messages that must stay apart need distinct
 * cmd_ids. The message's block grows with the bytes that arrived (whole
 * up to 2 MiB, then doubling), not with the size announced. */
KUV_API uint32_t kuv_xapi_kuvnet_rx_data_fill(kuvnet *handle, packet_info *info);
KUV_API uint32_t kuv_mapi_kuvnet_rx_data_fill(kuvnet *handle, packet_info *info);
/* Create, connect, send one message (and receive its reply into a new heap
 * record in *reply, which the caller releases and frees with
 * kuv_xapi_free), close. KUVNET_RESULT_NOT_SENDABLE on a passive handle,
 * before anything opens; a NULL reply pointer is KUVNET_RESULT_NO_MEMORY.
 * A failed create or connect returns its code. The close resets a TCP
 * connection as kuv_xapi_kuvnet_close does, except after a send without
 * reply on TCP without acknowledgements: nothing tells then that the peer
 * has the bytes, so that connection ends without the reset and the system
 * still delivers what the socket holds. */
KUV_API uint32_t kuv_xapi_kuvnet_tx_rx_data_simple(kuvnet *handle, packet_info *info,
                                                   packet_info **reply);
KUV_API uint32_t kuv_mapi_kuvnet_tx_rx_data_simple(kuvnet *handle, packet_info *info,
                                                   packet_info **reply);
KUV_API uint32_t kuv_xapi_kuvnet_tx_data_simple(kuvnet *handle, packet_info *info);
KUV_API uint32_t kuv_mapi_kuvnet_tx_data_simple(kuvnet *handle, packet_info *info);

/* ======================================================================== */
/* ICMP echo                                                                */
/* ======================================================================== */

/* Sends one echo request (ICMP for an IPv4 address, ICMPv6 for an IPv6
 * one) with payload (NULL: payload_size zero bytes) to each address of the
 * created ICMP handle's peer in turn, each through a raw socket of its own,
 * and waits up to timeout for the reply that carries this process's
 * identifier and comes from that address (from any address when it is a
 * multicast group or the unspecified address). Other ICMP traffic the host
 * receives meanwhile (other processes' echoes, replies from other hosts,
 * errors about other packets) is passed over; an error that quotes this
 * request to this address (an unreachable host, say) ends the wait for
 * that address at once. A local_name binds each socket to the first local
 * address of the peer address's family that accepts; a peer address with
 * none of its family among them is skipped. Stops at the first address
 * whose reply carries sequence.
 * Only the low 16 bits of sequence are sent.
 *
 * Result: the sequence of the last matching reply (0 to 65535), 0xFFFFFFFF
 * when none matched (also when no raw socket could be opened, which needs
 * root or CAP_NET_RAW, or when 8 + payload_size exceeds 65535, the largest
 * echo an IP packet can carry), KUV_RESULT_INVALID_ARGUMENT for a NULL
 * handle (xapi), KUVNET_RESULT_RECORDED_FAILURE without sending when
 * error_code is not 0 (xapi). Callers tell the kinds apart by range. The
 * selected pointer of peer_address is cleared; that of local_address points
 * at the address bound for the last peer address tried (NULL when none). */
KUV_API uint32_t kuv_xapi_kuvnet_simple_ping(kuvnet *handle, const void *payload,
                                             uint32_t payload_size, uint32_t sequence);
KUV_API uint32_t kuv_mapi_kuvnet_simple_ping(kuvnet *handle, const void *payload,
                                             uint32_t payload_size, uint32_t sequence);
/* The Internet checksum (RFC 1071) of length bytes, summed in memory order:
 * stored unchanged into an ICMP header's checksum field (with that field 0
 * while summing) it makes the message sum to zero. The 8 bytes
 * 08 00 00 00 00 00 00 00 give the value stored as F7 FF. NULL counts as no
 * bytes (0xFFFF). */
KUV_API uint16_t kuv_mapi_kuvnet_icmp_checksum(const void *bytes, uint64_t length);

/* ======================================================================== */
/* Network interfaces                                                       */
/* ======================================================================== */

struct nic;

/* One IPv4 address of an interface. */
typedef struct nic_ipv4 {
    uint16_t family;        /* AF_INET (2) */
    struct nic_ipv4 *next;  /* next address of the interface, or NULL */
    struct nic *nic;        /* owning interface */
    char *address_text;     /* dotted text of address */
    uint8_t address[4];     /* network order */
    uint32_t if_index;      /* left 0 */
    char *netmask_text;     /* NULL when unknown */
    char *broadcast_text;   /* NULL when unknown (0.0.0.0 on links without one) */
    char *destination_text; /* point-to-point peer */
} nic_ipv4;

/* One IPv6 address of an interface. */
typedef struct nic_ipv6 {
    uint16_t family;        /* AF_INET6 (10) */
    struct nic_ipv6 *next;  /* next address of the interface, or NULL */
    struct nic *nic;        /* owning interface */
    char *address_text;     /* canonical text */
    uint32_t if_index;      /* interface index */
    uint32_t prefix_length; /* bits of the prefix */
    uint32_t scope;         /* scope value as the kernel reports it */
    char *scope_name;       /* "Global", "Host", "Link", "Site", "Compat", "Unknown" */
    uint32_t flags;         /* address flags as the kernel reports them */
    uint8_t address[16];    /* the address */
} nic_ipv6;

/* One interface; the list is in discovery order. */
typedef struct nic {
    struct nic *next;    /* next interface, or NULL */
    char *name;          /* interface name as found */
    char *device_name;   /* copy of name used for the queries */
    uint8_t *mac;        /* 6 bytes, NULL when unknown or all zero */
    char *mac_text;      /* "%02X:%02X:%02X:%02X:%02X:%02X" */
    int32_t mtu;         /* MTU */
    int32_t metric;      /* at least 1 */
    uint32_t flags;      /* interface flags (IFF_*) */
    char *flags_text;    /* "UP LOOPBACK RUNNING " style; " " when none */
    nic_ipv4 *ipv4_list; /* IPv4 addresses, or NULL */
    nic_ipv6 *ipv6_list; /* IPv6 addresses, or NULL */
    /* The 16 counters of the interface's /proc/net/dev line in that file's
     * column order; 0 when absent. */
    uint64_t rx_bytes, rx_packets, rx_errs, rx_drop, rx_fifo, rx_frame, rx_compressed, rx_multicast;
    uint64_t tx_bytes, tx_packets, tx_errs, tx_drop, tx_fifo, tx_colls, tx_carrier, tx_compressed;
} nic;

/* A snapshot of the machine's interfaces, or NULL when none was found: the
 * interfaces of /proc/net/dev with their counters, then of the interface
 * queries (IPv4 address, netmask, broadcast and point-to-point addresses,
 * hardware address, MTU, metric, flags), then of /proc/net/if_inet6 (IPv6
 * addresses). An address label ("eth0:1") is an interface of its own; the
 * further IPv4 addresses of one label follow its first without netmask,
 * broadcast and point-to-point texts (NULL). Each step keeps what it
 * found when a later one fails; a failed query or allocation leaves that
 * piece out. The list, its entries and all their texts belong to the
 * caller, who frees them with kuv_xapi_close_nic. Nothing keeps the
 * snapshot up to date. */
KUV_API nic *kuv_xapi_open_nic(void);
/* Frees the whole list (NULL allowed); 0. */
KUV_API int32_t kuv_xapi_close_nic(nic *list);
/* The interface of that exact name, or NULL (also for a NULL name). */
KUV_API nic *kuv_xapi_search_nic_by_name(nic *list, const char *name);
/* The nic_ipv4 or nic_ipv6 entry carrying the address, or NULL; its first
 * field, family, tells which. The text (an address or a host name) is
 * looked up and each of its addresses, in the lookup's order, compared byte
 * for byte with the entries of its family (an IPv6 address that names its
 * interface, as in "fe80::1%eth1" or "fe80::1%3", only with the entries of
 * that interface index); a text that does not resolve is compared with the
 * entries' texts (IPv4 exactly, IPv6 ignoring case). The entry belongs to
 * the list. */
KUV_API void *kuv_xapi_search_nic_ip_by_ip(nic *list, const char *address);
/* The interface owning that entry, or NULL. */
KUV_API nic *kuv_xapi_search_nic_by_ip(nic *list, const char *address);

KUV_EXTERN_C_END

#endif /* DAVRO_KUV_KUVNET_H */
