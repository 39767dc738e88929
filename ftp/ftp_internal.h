// Pieces shared by the files of the FTP client: the client's own operations
// (one per slot), calls through the slots, messages, checked argument
// formatting and the reply wait every command runs.
#ifndef KUV_FTP_FTP_INTERNAL_H
#define KUV_FTP_FTP_INTERNAL_H

#include <sys/socket.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "davro_kuv/ftp.h"
#include "davro_kuv/runtime.h"
#include "runtime/guards.h"
#include "sysio/wait.h"

namespace kuv::ftp {

// ---- constants ----------------------------------------------------------

inline constexpr int32_t kDefaultControlPort = 21;
// The port a passive data connection goes to when the server announces 0.
inline constexpr int32_t kDefaultDataPort = 20;
inline constexpr const char *kLoopbackHost = "localhost";
inline constexpr const char *kAnonymousUser = "anonymous";
// Servers want an address-like password from anonymous users; this one
// names the client and no real mailbox.
inline constexpr const char *kAnonymousPassword = "davro_kuv@localhost";
inline constexpr const char *kBinaryType = "I";

// Endpoint settings of the client's connections.
inline constexpr uint32_t kCoreVersion = 2;
inline constexpr int32_t kEndpointDebugLevel = 10000;
inline constexpr int32_t kListenerDebugLevel = 1000;
inline constexpr uint32_t kTcpAnyFamily = KUVNET_TCP | KUVNET_INET;
inline constexpr uint32_t kTcpIpv4 = KUVNET_TCP | KUVNET_INET | KUVNET_IPV4;
inline constexpr uint32_t kTcpIpv6 = KUVNET_TCP | KUVNET_INET | KUVNET_IPV6;
inline constexpr uint32_t kFamilyIpv4 = 2;
inline constexpr uint32_t kFamilyIpv6 = 10;

// debug_level thresholds.
inline constexpr int32_t kTraceReplies = 0;
inline constexpr int32_t kTraceCommands = 99999;
inline constexpr int32_t kTraceChunks = 999999;

// Reply codes the client acts on.
namespace reply {
inline constexpr int32_t kTransferStarting = 125;
inline constexpr int32_t kOpeningData = 150;
inline constexpr int32_t kOk = 200;
inline constexpr int32_t kSize = 213;
inline constexpr int32_t kSystem = 215;
inline constexpr int32_t kClosing = 221;
inline constexpr int32_t kTransferComplete = 226;
inline constexpr int32_t kPassive = 227;
inline constexpr int32_t kExtendedPassive = 229;
inline constexpr int32_t kLoggedIn = 230;
inline constexpr int32_t kFileActionOk = 250;
inline constexpr int32_t kPathCreated = 257;
inline constexpr int32_t kNeedPassword = 331;
inline constexpr int32_t kPendingFurther = 350;
inline constexpr int32_t kCannotOpenData = 425;
inline constexpr int32_t kTransferAborted = 426;
inline constexpr int32_t kFileUnavailable = 450;
inline constexpr int32_t kUnavailable = 550;
}  // namespace reply

// The block kuv_xapi_open_ftp hangs at aux: a buffer that nothing but
// open and close touch, and the note that the disconnect slot runs.
struct AuxBlock {
    kuv_buffer_t *buffer;
    bool disconnecting;  // see disconnect_via_slot
    // The millisecond time stamp when reads began to find nothing, and the
    // stall_since it goes with (see check_stall).
    uint64_t stall_start_msec;
    uint64_t stall_since_seen;
    // Since the transfer command: the server announced an active-mode
    // transfer; a data connection was accepted from it.
    bool active_announced;
    bool data_accepted;
    // The code of the first line of the multi-line reply being read (while
    // more_lines is 1): only a line with this code continues or ends it.
    int32_t reply_opening_code;
};

// ---- the client's own operations --------------------------------------

namespace ops {
int32_t connect(kuv_ftp_t *ftp, const char *host, int32_t port);
int32_t disconnect(kuv_ftp_t *ftp);
int32_t close_data(kuv_ftp_t *ftp);
uint32_t pump(kuv_ftp_t *ftp, int32_t control_wait, int32_t data_wait);
int32_t read_reply(kuv_ftp_t *ftp);
int32_t queue_command(kuv_ftp_t *ftp, const char *format, ...);
int32_t send_commands(kuv_ftp_t *ftp);
int32_t user(kuv_ftp_t *ftp, const char *name);
int32_t pass(kuv_ftp_t *ftp, const char *password);
int32_t login(kuv_ftp_t *ftp, const char *name, const char *password);
int32_t quit(kuv_ftp_t *ftp);
int32_t type(kuv_ftp_t *ftp, const char *type);
int32_t size(kuv_ftp_t *ftp, uint64_t *size, const char *format, ...);
int32_t cwd(kuv_ftp_t *ftp, const char *format, ...);
int32_t pwd(kuv_ftp_t *ftp, char **path);
int32_t rest(kuv_ftp_t *ftp, uint64_t offset);
int32_t open_stream(kuv_ftp_t *ftp, uint64_t offset, const char *format, ...);
int32_t close_stream(kuv_ftp_t *ftp);
int32_t read_stream(kuv_ftp_t *ftp, void *destination, uint64_t size);
int32_t write_stream(kuv_ftp_t *ftp, const void *bytes, uint64_t size);
int32_t nlist(kuv_ftp_t *ftp, const char *format, ...);
char *get_nlist(kuv_ftp_t *ftp);
int32_t list(kuv_ftp_t *ftp, const char *format, ...);
char *get_list(kuv_ftp_t *ftp);
int32_t syst(kuv_ftp_t *ftp);
int32_t download(kuv_ftp_t *ftp, uint32_t mode, const char *format, ...);
int32_t rnfr(kuv_ftp_t *ftp, const char *format, ...);
int32_t rnto(kuv_ftp_t *ftp, const char *format, ...);
int32_t dele(kuv_ftp_t *ftp, const char *format, ...);
int32_t noop(kuv_ftp_t *ftp);
}  // namespace ops

// Calls the operation in the slot, or the client's own one when the
// application cleared the slot.
template <auto Slot, auto Own, typename... Args>
auto via_slot(kuv_ftp_t *ftp, Args... arguments) {
    auto operation = ftp->*Slot ? ftp->*Slot : Own;
    return operation(ftp, arguments...);
}

#define KUV_FTP_SLOT(ftp, name, ...) \
    ::kuv::ftp::via_slot<&kuv_ftp_t::name, &::kuv::ftp::ops::name>(ftp __VA_OPT__(, ) __VA_ARGS__)

// Drops the connections through the disconnect slot. While the slot runs,
// the client's steps called from it that drop them again (a QUIT that a
// replacement sends failing or going unanswered, a connect it makes) use
// the client's own disconnect: the slot once more would send its QUIT
// once more, or connect once more, without end.
int32_t disconnect_via_slot(kuv_ftp_t *ftp);

// Releases a string field (when set) and clears it. The tracked heap warns
// about releasing nothing, so an empty field is left alone.
inline void release_text(char *&text) {
    if (text) kuv_xapi_free(text);
    text = nullptr;
}

// ---- messages -----------------------------------------------------------

// A message line on standard output.
inline void say(const char *message) {
    std::printf("%s\n", message);
}

inline constexpr const char *kCannotSend = "can not send ftp command";

// ---- arguments ------------------------------------------------------------

// The formatted text as a tracked string, or an empty block when the format
// is NULL, formatting fails, or the text holds a NUL byte (which the
// formatted string would silently end at).
TrackedBlock format_text(const char *format, va_list list);

// True when the text may stand as one argument of a command: no CR or LF.
inline bool is_single_line(std::string_view text) {
    return text.find_first_of("\r\n") == std::string_view::npos;
}

// True when the text is at most one command: a line end may only close it.
bool is_one_command(std::string_view text);

// The argument of a command operation: the formatted text when it is safe
// to send, else an empty block.
TrackedBlock format_argument(const char *format, va_list list);

// ---- the reply wait -------------------------------------------------------

// True when the reply buffer still holds a complete line to read.
bool holds_reply_line(const kuv_ftp_t *ftp);

// The bytes held in the reply buffer (0 without one).
uint64_t held_reply_bytes(const kuv_ftp_t *ftp);

// True when a read_reply that yielded no code may be repeated at once: it
// took bytes (a line without a code) and a complete line is still held.
// A line it could not take (no memory for its copy) is not asked for again
// and again; the wait goes on to the pump and its time-out.
inline bool may_read_on(const kuv_ftp_t *ftp, uint64_t held_before) {
    return held_reply_bytes(ftp) < held_before && holds_reply_line(ftp);
}

// A preliminary reply (1yz) announces a final one. A reply wait reads on
// past it (ended there, the final reply would answer the next command),
// except that the wait of a transfer command ends at the announcement of
// the transfer (125 or 150), whose data comes before its final reply, and
// a wait for replies while the data flows ends at any reply.
enum class Preliminary { read_on, announcement_ends, ends };

inline bool is_preliminary(int32_t code) {
    return code >= 100 && code < 200;
}

inline bool ends_reply_wait(int32_t code, Preliminary preliminary) {
    if (!is_preliminary(code) || preliminary == Preliminary::ends) return true;
    return preliminary == Preliminary::announcement_ends &&
           (code == reply::kTransferStarting || code == reply::kOpeningData);
}

// Reads reply lines, pumping control input while none is held, and hands
// each coded line to judge(code). Ends at the first coded line that is no
// continuation (nor a preliminary reply it reads on past, see above), at a
// lost connection, or when no whole line has come for control_wait ms: a
// silence, or a server that trickles a line in byte by byte, which would
// otherwise hold the wait for as long as it likes. A
// wait that ends so while the reply is owed drops the control connection:
// the reply could still come, and the next command would take it for its
// own, and every later command the reply meant for the one before.
template <class Judge>
void wait_reply(kuv_ftp_t *ftp, int32_t control_wait, Judge &&judge, bool reply_owed = true,
                Preliminary preliminary = Preliminary::read_on) {
    sysio::Deadline line_due(control_wait);
    for (;;) {
        const uint64_t held_before = held_reply_bytes(ftp);
        const int32_t code = KUV_FTP_SLOT(ftp, read_reply);
        // Every line the reader took, the inner lines of a reply that it
        // passes over included, starts the next line's time.
        if (held_reply_bytes(ftp) < held_before) line_due.restart();
        if (code > 0) {
            judge(code);
            if (ftp->more_lines != 1 && ends_reply_wait(code, preliminary)) return;
            continue;
        }
        // A line dropped by the reader (no code) may sit in front of more
        // lines already received; those are read before waiting.
        if (may_read_on(ftp, held_before)) continue;
        if (ftp->control_socket == -1) return;
        const uint32_t flags = KUV_FTP_SLOT(ftp, pump, line_due.remaining(), 0);
        const bool received = flags & KUV_FTP_PUMP_CONTROL_RECEIVED;
        if (received && (!line_due.expired() || holds_reply_line(ftp))) continue;
        if (reply_owed && ftp->control_socket != -1) disconnect_via_slot(ftp);
        return;
    }
}

inline int32_t control_wait_of(const kuv_ftp_t *ftp) {
    return static_cast<int32_t>(ftp->control_timeout);
}

// Queues format (with at most one argument), sends it and runs the reply
// wait: 1 when is_good(code) held for one of the lines read, else 0. When
// the send fails, 0, after kCannotSend when report_send_failure.
template <class IsGood>
int32_t exchange(kuv_ftp_t *ftp, bool report_send_failure, IsGood &&is_good, const char *format,
                 const char *argument = nullptr) {
    if (KUV_FTP_SLOT(ftp, queue_command, format, argument) != 1 ||
        KUV_FTP_SLOT(ftp, send_commands) != 1) {
        if (report_send_failure) say(kCannotSend);
        return 0;
    }
    int32_t result = 0;
    wait_reply(ftp, control_wait_of(ftp), [&](int32_t code) {
        if (is_good(code)) result = 1;
    });
    return result;
}

// ---- data connections -----------------------------------------------------

// Sets up a passive data connection (PASV, or EPSV on IPv6): 1 when a 227
// or 229 reply was acted on.
int32_t passive_setup(kuv_ftp_t *ftp);
// Opens an active-mode listener and announces it (PORT, or EPRT on IPv6): 1
// when the server answered 200.
int32_t active_setup(kuv_ftp_t *ftp);

// True when address (from an accepted data connection) is the address of
// the control connection's peer: the only host that may connect to an
// active-mode listener.
bool is_control_peer(const kuv_ftp_t *ftp, const sockaddr_storage &address);

// True while the download rate limit holds receiving back: the budget of
// the current one-second window is spent.
bool download_withheld(const kuv_ftp_t *ftp);

// Sends the end of an upload's data and waits (data_timeout at most) for
// the server's end, then closes a passive data connection without
// resetting it, so that the server receives every byte sent before it
// learns of the end. False when the server reset the connection instead
// of ending it: bytes it was sent went unread.
bool close_data_gracefully(kuv_ftp_t *ftp);

// Empties the download and upload buffers: bytes of an earlier transfer
// never reach the next one.
void drop_transfer_bytes(kuv_ftp_t *ftp);

}  // namespace kuv::ftp

#endif  // KUV_FTP_FTP_INTERNAL_H
