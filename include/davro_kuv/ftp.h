/*
 * davro_kuv FTP client: one FTP handle per server connection, with its
 * settings, its connection state, its buffers and a table of operation
 * slots through which the application and the client itself call every
 * step (connect, commands, replies, data streams, listings, downloads).
 *
 * Slots: kuv_xapi_open_ftp fills the 30 slots with the client's own
 * operations. An application may store its own function in any slot; the
 * client's steps call one another through the slots (the pump calls
 * disconnect and close_data through them, download calls connect, login,
 * type and the rest through them), so a replacement takes the place of
 * that operation everywhere, except that disconnect always uses the
 * client's own close_data. While the disconnect slot runs, the client's
 * steps called from it drop the connection with the client's own
 * disconnect when they have to (a replacement's QUIT that fails or goes
 * unanswered, a connect it makes), not through the slot again, which
 * would repeat its goodbye without end. A slot set to NULL falls back to
 * the client's own operation.
 *
 * Results of the slots are 32-bit: -1 when the FTP handle argument is NULL,
 * otherwise 1 for success and 0 for failure unless a slot says otherwise.
 * pump returns a set of KUV_FTP_PUMP_* flags (0 for a NULL handle);
 * get_list and get_nlist return a string or NULL.
 *
 * Texts: formats are printf-style with their arguments. A path, name, type,
 * user name or password (after formatting) that holds a CR, an LF or a NUL
 * byte is refused by the command operations (result 0, nothing sent): it
 * would let one argument carry a second command to the server. The whole
 * command of open_stream may end in its own line end (it is sent with CR LF
 * whatever its end, or none) but hold no other line end and no NUL.
 *
 * Ownership: the FTP handle owns its buffers, line assemblers, strings,
 * endpoints, descriptors and the aux block, and kuv_xapi_close_ftp releases
 * them all (for every handle of the next chain). Strings handed out by pwd,
 * get_list and get_nlist belong to the caller, who releases them with
 * kuv_xapi_free. queue_command formats a copy of the command, which the
 * command buffer keeps until it is sent; the caller's format and arguments
 * remain the caller's.
 *
 * Messages: the client prints its progress and failures to standard output
 * (a few to standard error) in fixed texts: the endpoint steps of connect
 * ("kuv init : OK", "kuv create : OK", "kuv connect : OK"), the data
 * connection's "close : %08XH" and "delete : %08XH", the download's
 * "Downloading" and "Result:" lines, and the failures named per slot.
 * debug_level above 0 prints every reply line, above 99999 the commands sent
 * (the password of a PASS command as stars) and listing totals, above
 * 999999 the listing chunks.
 *
 * Threads: an FTP handle has no lock; one thread uses it at a time. Every
 * operation runs in the caller's thread and blocks for at most its
 * time-outs. A reply wait gives each reply line control_timeout to come
 * whole, so a server that trickles a line in byte by byte does not keep it
 * going; the data waits bound a silence, so a slow transfer goes on.
 *
 * Replies out of step: a reply wait that ends without the reply it waits
 * for (none, or a line not whole in time), and the close of an announced
 * transfer whose final reply does not come within its wait, drop the
 * control connection: a reply that came later would be taken for the
 * answer to the next command. The commands after fail until the
 * application connects again. A preliminary reply (1yz, such as a welcome
 * of "120 ready in 5 minutes" or a 110 restart marker) is read past to
 * the final reply that follows it, in the welcome and in every command's
 * wait; only a transfer command's wait ends at the announcement of its
 * transfer (125 or 150).
 */
#ifndef DAVRO_KUV_FTP_H
#define DAVRO_KUV_FTP_H

#include "davro_kuv/buffer.h"
#include "davro_kuv/common.h"
#include "davro_kuv/kuvnet.h"
#include "davro_kuv/uri.h"

KUV_EXTERN_C_BEGIN

/* ---- Constants ----------------------------------------------------------- */

/* error_flags bits. */
/* A reply other than the one expected, or none within its wait. */
#define KUV_FTP_REPLY_FAILURE 1u
/* A data stream was unusable: no control connection, or no memory for its
 * buffer or for a line of a listing (the listing then fails). */
#define KUV_FTP_STREAM_FAILURE 2u
/* The control connection was lost, the data connection stalled or was
 * lost, or the server answered 425, 426 or 550 to a transfer command. */
#define KUV_FTP_CONNECTION_FAILURE 4u

/* Result flags of the pump. */
#define KUV_FTP_PUMP_CONTROL_CLOSED 2u      /* no control connection */
#define KUV_FTP_PUMP_CONTROL_RECEIVED 4u    /* control bytes arrived in this call */
#define KUV_FTP_PUMP_DATA_ACCEPTED 8u       /* an accepted active-mode data socket exists */
#define KUV_FTP_PUMP_NO_DATA_CONNECTION 16u /* no data socket */
#define KUV_FTP_PUMP_UPLOAD_SENT 32u        /* upload bytes were sent */
#define KUV_FTP_PUMP_DOWNLOAD_RECEIVED 64u  /* download bytes were received */
#define KUV_FTP_PUMP_DOWNLOAD_FULL 128u     /* the download buffer holds buffer_limit bytes */

/* Size of the staging area of every receive and send. */
#define KUV_FTP_IO_AREA_SIZE 65536u

/* Values kuv_xapi_open_ftp gives the settings. */
#define KUV_FTP_DEFAULT_BUFFER_LIMIT 524288u
#define KUV_FTP_DEFAULT_CONTROL_TIMEOUT 24000u
#define KUV_FTP_DEFAULT_DATA_TIMEOUT 30000u
#define KUV_FTP_DEFAULT_ACCEPT_TIMEOUT 16000u

/* The most the client holds for one unfinished line: of a reply on the
 * control connection (the connection is then dropped as failed) or of a
 * listing (the listing then fails). Real lines are far shorter; the bound
 * keeps a server that never ends its line from growing memory without
 * limit. */
#define KUV_FTP_LINE_LIMIT 1048576u

/* The most bytes one listing (LIST or NLST) may bring: a server that sends
 * more, say one that never ends its listing, fails the listing as an endless
 * line does, instead of growing the client's memory until it runs out. Each
 * line the listing holds counts KUV_FTP_LISTING_LINE_COST bytes more, what
 * its own blocks cost: a listing of line ends alone or of one-letter names
 * would otherwise hold twenty and more times the bytes it brought. */
#define KUV_FTP_LISTING_LIMIT 268435456u
#define KUV_FTP_LISTING_LINE_COST 64u

/* Length of the texts the credential callbacks may write (without the
 * terminator); their area holds one byte more. */
#define KUV_FTP_CREDENTIAL_LIMIT 255

/* ---- The FTP handle ------------------------------------------------------ */

/* The FTP handle; its fields are described with struct kuv_ftp below. */
typedef struct kuv_ftp kuv_ftp_t;

/* Signatures of the slots, named by the first slot that uses each. */
typedef int32_t (*kuv_ftp_connect_t)(kuv_ftp_t *ftp, const char *host, int32_t port);
typedef int32_t (*kuv_ftp_step_t)(kuv_ftp_t *ftp);
typedef uint32_t (*kuv_ftp_pump_t)(kuv_ftp_t *ftp, int32_t control_wait, int32_t data_wait);
typedef int32_t (*kuv_ftp_format_t)(kuv_ftp_t *ftp, const char *format, ...);
typedef int32_t (*kuv_ftp_text_t)(kuv_ftp_t *ftp, const char *text);
typedef int32_t (*kuv_ftp_login_t)(kuv_ftp_t *ftp, const char *user, const char *password);
typedef int32_t (*kuv_ftp_size_t)(kuv_ftp_t *ftp, uint64_t *size, const char *format, ...);
typedef int32_t (*kuv_ftp_pwd_t)(kuv_ftp_t *ftp, char **path);
typedef int32_t (*kuv_ftp_rest_t)(kuv_ftp_t *ftp, uint64_t offset);
typedef int32_t (*kuv_ftp_open_stream_t)(kuv_ftp_t *ftp, uint64_t offset, const char *format, ...);
typedef int32_t (*kuv_ftp_read_stream_t)(kuv_ftp_t *ftp, void *destination, uint64_t size);
typedef int32_t (*kuv_ftp_write_stream_t)(kuv_ftp_t *ftp, const void *bytes, uint64_t size);
typedef char *(*kuv_ftp_line_t)(kuv_ftp_t *ftp);
typedef int32_t (*kuv_ftp_download_t)(kuv_ftp_t *ftp, uint32_t mode, const char *format, ...);
/* Credential callbacks: area holds the default text and has room for limit
 * characters and a terminator; a result of 1 means go on with the area's
 * text, anything else refuses the log-in step. */
typedef int32_t (*kuv_ftp_credential_t)(kuv_ftp_t *ftp, char *area, int32_t limit);

/*
 * The FTP handle. Settings (debug_level to accept_timeout, the rate limits,
 * the slots and the callbacks) may be changed by the application at any
 * time between operations; the other fields are kept by the operations.
 * Times are milliseconds; a time-out of 0xFFFFFFFF waits without limit.
 */
struct kuv_ftp {
    struct kuv_ftp *next;          /* a further handle; close releases the whole chain */
    int32_t debug_level;           /* > 0 replies, > 99999 commands, > 999999 listing chunks */
    uint32_t passive;              /* 1: the next data connection is passive (PASV/EPSV) */
    uint32_t mode_fallback;        /* 1: when one mode cannot be set up, try the other (1) */
    uint32_t secure_mode;          /* 0 plain; any other value only prints a message */
    uint32_t fill_reads;           /* 1: reads wait until the request can be filled (1) */
    int32_t data_port;             /* > 0: the passive data port instead of the announced one */
    uint64_t buffer_limit;         /* the pump stops receiving data at this many held bytes */
    uint32_t control_timeout;      /* each reply line's wait in every reply wait (24000) */
    uint32_t data_timeout;         /* each upload send; the stall limit of reads (30000) */
    uint32_t accept_timeout;       /* wait for the server's active-mode connection (16000) */
    int32_t control_socket;        /* control connection, -1 none */
    int32_t data_socket;           /* socket of the transfer (passive or accepted), -1 none */
    int32_t endpoint_socket;       /* the data endpoint's: passive socket or active listener */
    int32_t accepted_socket;       /* accepted from the active listener, -1 none */
    uri_record *uri;               /* released at close when set; no operation sets it */
    kuv_buffer_t *command_buffer;  /* commands queued and not yet sent */
    kuv_buffer_t *reply_buffer;    /* control bytes not yet read as replies */
    kuv_buffer_t *upload_buffer;   /* data waiting to be sent */
    kuv_buffer_t *download_buffer; /* data received and not yet handed out */
    uint8_t io_area[KUV_FTP_IO_AREA_SIZE]; /* staging area of every receive and send */
    uint32_t more_lines;                   /* 1 while the last reply line read was a continuation */
    int32_t reply_code;                    /* code of the last reply line read, 0 none */
    char *reply_text;                      /* its text after the code and separator, or NULL */
    uint32_t transfer_active;              /* 1 from the 150/125 of a transfer to its 226/250 */
    uint32_t error_flags;                  /* KUV_FTP_*_FAILURE bits */
    uint64_t transfer_bytes;               /* data bytes moved since the transfer began */
    uint64_t transfer_start;               /* time stamp of the transfer's start */
    uint64_t transfer_elapsed;             /* since transfer_start, updated with every chunk */
    uint64_t transfer_rate;                /* bytes per second */
    kuv_readline_t *nlist_lines;           /* names of the last name listing */
    kuv_readline_t *list_lines;            /* lines of the last long listing */
    uint64_t stall_since;                  /* uptime (s) when reads began to find nothing, 0 none */
    char *system_type;                     /* text of the last 215 reply to SYST */
    void *aux;                    /* auxiliary block of open; first field a buffer or NULL */
    kuvnet *control_endpoint;     /* endpoint of the control connection */
    kuvnet *data_endpoint;        /* passive data connection or active listener */
    uint32_t upload_rate_limit;   /* bits per second, in force when > 8 */
    uint32_t download_rate_limit; /* bits per second, in force when >= 8 */
    uint64_t rate_window_start;   /* start of the one-second rate window, 0 none */
    uint64_t rate_budget;         /* bytes still allowed in the window */
    uint32_t family;              /* control peer's family: 2, 10; 0 while connecting */

    /* ---- Operation slots, in this order -------------------------------- */

    /* Connects to host (NULL: the loopback host name) on port (<= 0: 21)
     * and reads the welcome: 1, or 0 after disconnecting. A host name
     * longer than KUVNET_NAME_SIZE - 1 characters is refused (0, "can not
     * create"): the endpoint cannot hold it whole. */
    kuv_ftp_connect_t connect;
    /* Closes the data connection and the control connection: 1 when a
     * control connection was open, else 0. Sends nothing (no QUIT). */
    kuv_ftp_step_t disconnect;
    /* Closes the data connection (listener and accepted socket included). 1. */
    kuv_ftp_step_t close_data;
    /* Moves what is available on both connections (see the flags above).
     * control_wait and data_wait are the waits in ms (negative: no limit);
     * the control wait drops to 0 once control bytes have arrived. A
     * control connection the server closes right behind its last bytes is
     * dropped at the next call, so those bytes are read first. An
     * active-mode listener accepts only the control connection's peer:
     * another host's connection is closed unread. */
    kuv_ftp_pump_t pump;
    /* Reads one reply line from the reply buffer: its code (> 0), or 0 when
     * no complete coded line is held. Lines that do not start with a digit
     * (the inner lines of a multi-line reply) are skipped, and so, within a
     * multi-line reply, is every line that does not start with its first
     * line's code (and no fourth digit), whatever digits or other code it
     * starts with: only its own code continues or ends it. A line that
     * starts with fewer than three digits is dropped and answered 0 although
     * more lines may be held, so a 0 after taking bytes is worth a second
     * call before waiting for more input. Without memory for a held line
     * the control connection is dropped (0); without memory for its text
     * the code is still returned, with reply_text NULL. */
    kuv_ftp_step_t read_reply;
    /* Formats a command (with its own "\r\n") and queues it: 1, or 0 (no
     * connection, no format, an empty text, no memory). */
    kuv_ftp_format_t queue_command;
    /* Sends everything queued in one call: 1, or 0 (nothing queued, or the
     * send failed, which disconnects). */
    kuv_ftp_step_t send_commands;
    /* USER name (NULL: "anonymous", offered to get_user_name): 1 on 230 or
     * 331. */
    kuv_ftp_text_t user;
    /* PASS password (NULL: the default anonymous password, offered to
     * get_password): 1 on 230. */
    kuv_ftp_text_t pass;
    /* user, then pass when USER was answered 331. */
    kuv_ftp_login_t login;
    /* QUIT: 1 on 221. The connection stays open on the client's side
     * until disconnect, also when the server has closed its side after the
     * 221, as most do. */
    kuv_ftp_step_t quit;
    /* TYPE text (NULL: "I"): 1 on 200. */
    kuv_ftp_text_t type;
    /* SIZE path: 1 on 213, the size stored in *size (set to 0 first); 0
     * when the reply's text could not be kept for want of memory. */
    kuv_ftp_size_t size;
    /* CWD path, or CDUP for the path "..": 1 on 250. */
    kuv_ftp_format_t cwd;
    /* PWD: 1 on 257; the quoted directory (a quote inside it, which the
     * reply doubles, held once; it ends at the first quote not doubled
     * that ends the text or stands before a blank, so a remark behind it
     * may hold quotes of its own) stored in *path as a new string
     * the caller releases (*path set to NULL first, left NULL without one);
     * 0 when the text or the directory could not be kept for want of memory. */
    kuv_ftp_pwd_t pwd;
    /* REST offset: 1 on 350. */
    kuv_ftp_rest_t rest;
    /* Sets up the data connection and sends the whole transfer command
     * (for example "RETR %s\r\n"), after REST when offset is not 0: 1 when
     * the server announced the transfer (150 or 125). A 425, 426 or 550
     * answer is tried once more in the other mode. A passive data
     * connection goes to the control connection's peer, at the port of the
     * first 227 or 229 line that is usable whole (or data_port): the host a
     * 227 names is not followed, so a server cannot send the client to a
     * third host. No usable line, or a connection that cannot be made,
     * counts as a passive mode that cannot be set up (see mode_fallback). */
    kuv_ftp_open_stream_t open_stream;
    /* Ends the transfer: 1 when it ended cleanly (226 or 250, or no
     * transfer active) and no error flag is set, else 0. Preliminary
     * replies (1xx) while a transfer runs or ends are passed over. An
     * active-mode transfer whose data connection the server never made
     * moved nothing, whatever the server replies: it fails
     * (KUV_FTP_CONNECTION_FAILURE) instead of passing for an empty one. */
    kuv_ftp_step_t close_stream;
    /* Copies up to size bytes (at most 2147483647) of received data: the
     * count (> 0); 0 when nothing is ready yet (and for size 0, which takes
     * nothing while the stream lasts); -1 at the end of the stream or when
     * it cannot be used. A data connection that fails (a reset)
     * instead of being closed by the server sets KUV_FTP_CONNECTION_FAILURE:
     * bytes were lost, and the transfer does not close cleanly whatever the
     * server replies. Reads that find nothing for data_timeout, counted in
     * whole seconds (1999 counts as 1000) from the first of them, end a
     * stalled transfer; time in which the download rate limit holds
     * receiving back does not count. A replacement that
     * answers more than size fails the listing or download that called it
     * (KUV_FTP_STREAM_FAILURE): the bytes behind its area are not read. */
    kuv_ftp_read_stream_t read_stream;
    /* Sends size bytes (at most 2147483647): size when they were sent, -1
     * when not all could be sent (nothing is kept for a later call). No
     * bytes or size 0 ends the upload: the end of the data is sent, the
     * server's own end awaited (data_timeout at most), the data connection
     * closed gracefully, the final reply awaited, and the result is 0. A
     * server that resets the data connection there instead of ending it
     * left bytes unread: KUV_FTP_CONNECTION_FAILURE is set and the
     * transfer does not close cleanly whatever the server replies. An
     * active-mode upload that sent nothing first takes the server's
     * connection (accept_timeout at most). */
    kuv_ftp_write_stream_t write_stream;
    /* NLST path: 1 with the names queued in nlist_lines; 0 failure or a
     * NULL format. A 450 answer, which some servers give when nothing
     * matches, is an empty listing (1, no names). */
    kuv_ftp_format_t nlist;
    /* The next name of the last name listing (a new string), NULL at its
     * end (an empty line also ends it). */
    kuv_ftp_line_t get_nlist;
    /* LIST path: 1 with the lines queued in list_lines (a 450 answer is an
     * empty listing, as for nlist); 0 failure; -1 for a NULL format. */
    kuv_ftp_format_t list;
    /* The next line of the last long listing, as get_nlist. */
    kuv_ftp_line_t get_list;
    /* SYST: 1 on 215, its text kept in system_type; 0 when the text could
     * not be kept for want of memory. */
    kuv_ftp_step_t syst;
    /* Downloads every file that the URI (format and arguments) names into
     * the current directory, files created with mode: 1 when at least one
     * file was listed and all were downloaded; 0 otherwise; -1 when the URI
     * cannot be formatted or opened or has no host or path (a port number
     * above 65535 reaches connect as 65536, which fails). Only the listed
     * names the URI asks for are fetched, the others passed over and not
     * counted: a server may list any name. The path's last part, as it is
     * listed after the change to its directory, asks for itself (listed as
     * itself or by its base name), for a directory's files (listed as
     * "PART/NAME"), or, with wildcards (* ? [), for itself and the names
     * it matches (a wildcard takes no '/' and no leading '.'); "" or "."
     * asks for the files of the directory, listed by name. A path that
     * ends in '/' asks for a directory's files however they are listed: a
     * name listed without a '/' is fetched as "PART/NAME". Local names are
     * the base names of the listed names; what holds a name already (a
     * link itself, not what it names) is removed and a new file created.
     * A listed name whose local name an earlier listed name of the same
     * download took (the same name in two directories) fails, and the file
     * the earlier one made stays; a name listed again is passed over and
     * not counted.
     * The "Downloading" line shows a name's control bytes as '?'.
     * Listed names whose last part is "." or ".." (the directory itself or
     * its parent, which some servers list) are passed over and not counted.
     * A file fails (and what it wrote is removed) when fewer bytes came than
     * the server's SIZE answer told, even when the server confirmed the
     * transfer with 226; more bytes than told are kept. */
    kuv_ftp_download_t download;
    /* RNFR name: 1 on 350. */
    kuv_ftp_format_t rnfr;
    /* RNTO name: 1 on 250. */
    kuv_ftp_format_t rnto;
    /* DELE name: 1 on 250. */
    kuv_ftp_format_t dele;
    /* NOOP: 1 on 200. */
    kuv_ftp_step_t noop;

    /* ---- Callbacks (NULL: none) ---------------------------------------- */

    kuv_ftp_credential_t get_user_name; /* asked when user gets no name */
    kuv_ftp_credential_t get_password;  /* asked when pass gets no password */
};

KUV_LP64_ASSERT(offsetof(kuv_ftp_t, debug_level) == 8, "next first");
KUV_LP64_ASSERT(offsetof(kuv_ftp_t, buffer_limit) == 32, "settings in order");
KUV_LP64_ASSERT(offsetof(kuv_ftp_t, uri) == 72, "descriptors in order");
KUV_LP64_ASSERT(offsetof(kuv_ftp_t, io_area) == 112, "buffers in order");
KUV_LP64_ASSERT(offsetof(kuv_ftp_t, more_lines) == 112 + KUV_FTP_IO_AREA_SIZE,
                "reply state behind the staging area");
KUV_STATIC_ASSERT(offsetof(kuv_ftp_t, connect) + 30 * sizeof(void (*)(void)) ==
                      offsetof(kuv_ftp_t, get_user_name),
                  "thirty operation slots");
KUV_STATIC_ASSERT(offsetof(kuv_ftp_t, get_password) + sizeof(void (*)(void)) == sizeof(kuv_ftp_t),
                  "callbacks last");

/* ---- Open and close ------------------------------------------------------ */

/* A new FTP handle with the defaults (not connected, passive 0,
 * mode_fallback 1, fill_reads 1, data_port -1, the default limits and
 * time-outs, family 2), the 30 slots filled and no callbacks; NULL when
 * memory runs out. */
KUV_API kuv_ftp_t *kuv_xapi_open_ftp(void);
/* Releases the handle and every handle reached through next (the chain
 * must end; a handle may appear in it once): buffers,
 * listings, strings, the uri record, the aux block, and the connections
 * (through the disconnect slot; no QUIT is sent). The disconnect slot runs
 * first, on the whole handle: a replacement may still use it (send QUIT and
 * read the reply), and what that leaves is released after it. NULL is
 * accepted. Every handle of the chain must come from kuv_xapi_open_ftp: a
 * zeroed record names descriptor 0 as its own and would close it. Always
 * returns NULL for the caller to store back. */
KUV_API kuv_ftp_t *kuv_xapi_close_ftp(kuv_ftp_t *ftp);

KUV_EXTERN_C_END

#endif /* DAVRO_KUV_FTP_H */
