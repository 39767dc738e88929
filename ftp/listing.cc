// Directory listings: LIST and NLST received on a data connection, cut
// into lines by a line assembler, and handed out one line at a time.
#include <cinttypes>

#include "buffer/readline_internal.h"
#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"

namespace kuv::ftp {
namespace {

// Listings read the data connection through an area of this size.
constexpr uint64_t kListingChunk = 32768;

enum class Listing { kLong, kNames };

struct ListingKind {
    const char *command;
    const char *failure;
    kuv_readline_t *kuv_ftp::*lines;
};

constexpr ListingKind kind_of(Listing listing) {
    return listing == Listing::kLong
               ? ListingKind{"LIST %s\r\n", "list failed", &kuv_ftp::list_lines}
               : ListingKind{"NLST %s\r\n", "nlist failed", &kuv_ftp::nlist_lines};
}

// Pushes bytes (NULL for the final push) into a listing's assembler and
// stores what it holds over; false when it dropped a line for want of
// memory: a listing without one of its names would pass for the whole one.
bool push_lines(kuv_readline_t *lines, const char *bytes, uint64_t count, uint64_t *held) {
    const uint64_t dropped = kuv::readline::lines_dropped_here();
    *held = kuv_xapi_push_readline(lines, bytes, count);
    return kuv::readline::lines_dropped_here() == dropped;
}

// Receives the listing into its assembler. False when a line grew past
// KUV_FTP_LINE_LIMIT without ending, the listing past KUV_FTP_LISTING_LIMIT
// (its bytes and the cost of the lines it holds),
// or no assembler could be opened or it dropped a line for want of memory:
// the listing is failed and its data connection closed.
bool receive_listing(kuv_ftp_t *ftp, Listing listing, uint64_t &total) {
    kuv_readline_t *&lines = ftp->*kind_of(listing).lines;
    char area[kListingChunk];
    for (;;) {
        const int32_t count = KUV_FTP_SLOT(ftp, read_stream, area, kListingChunk);
        if (count < 0) return true;
        // A replaced read that answers more than the area holds: what lies
        // behind the area is no part of the listing.
        if (static_cast<uint64_t>(count) > kListingChunk) {
            ftp->error_flags |= KUV_FTP_STREAM_FAILURE;
            KUV_FTP_SLOT(ftp, close_data);
            return false;
        }
        if (count == 0) {
            kuv_xapi_load_balance();
            continue;
        }
        total += static_cast<uint64_t>(count);
        if (listing == Listing::kNames && ftp->debug_level > kTraceChunks) {
            std::printf("nlist stream packet {\n  %.*s ", count, area);
            std::printf("}\n");
        }
        if (!lines) lines = kuv_xapi_open_readline();
        if (!lines) {
            // The chunk has nowhere to go: the lines of later chunks alone
            // would pass for the whole listing.
            ftp->error_flags |= KUV_FTP_STREAM_FAILURE;
            KUV_FTP_SLOT(ftp, close_data);
            return false;
        }
        uint64_t held = 0;
        const bool whole = push_lines(lines, area, static_cast<uint64_t>(count), &held);
        const uint64_t cost = total + uint64_t{lines->count} * KUV_FTP_LISTING_LINE_COST;
        const bool endless = held > KUV_FTP_LINE_LIMIT || cost > KUV_FTP_LISTING_LIMIT;
        if (endless || !whole) {
            ftp->error_flags |= endless ? KUV_FTP_CONNECTION_FAILURE : KUV_FTP_STREAM_FAILURE;
            KUV_FTP_SLOT(ftp, close_data);
            return false;
        }
    }
}

int32_t run_listing(kuv_ftp_t *ftp, Listing listing, TrackedBlock path) {
    if (!path) return 0;
    if (KUV_FTP_SLOT(ftp, open_stream, 0, kind_of(listing).command, path.chars()) != 1) {
        // Some servers answer 450 where nothing matches, instead of an
        // empty listing: the listing is empty, and the session in step.
        if (ftp->reply_code == reply::kFileUnavailable &&
            ftp->error_flags == KUV_FTP_REPLY_FAILURE && ftp->control_socket != -1)
            return 1;
        say("can not open stream");
        return 0;
    }
    uint64_t total = 0;
    receive_listing(ftp, listing, total);
    kuv_readline_t *&lines = ftp->*kind_of(listing).lines;
    if (KUV_FTP_SLOT(ftp, close_stream) != 1) {
        say(kind_of(listing).failure);
        lines = kuv_xapi_close_readline(lines);
        return 0;
    }
    // A last line without a line end is queued too; without memory for it
    // the listing fails.
    uint64_t held = 0;
    if (lines && !push_lines(lines, nullptr, 0, &held)) {
        say(kind_of(listing).failure);
        lines = kuv_xapi_close_readline(lines);
        return 0;
    }
    if (listing == Listing::kNames && ftp->debug_level > kTraceCommands)
        std::printf("ftp: [MESSAGE] nlist stream %" PRIu64 " bytes\n ", total);
    return 1;
}

// The next non-empty line of a listing; the end of the lines, or an empty
// line, closes the listing.
char *next_line(kuv_ftp_t *ftp, Listing listing) {
    kuv_readline_t *&lines = ftp->*kind_of(listing).lines;
    if (!lines) return nullptr;
    char *line = kuv_xapi_pop_readline(lines);
    if (line && line[0] != '\0') {
        if (listing == Listing::kNames && ftp->debug_level > kTraceCommands)
            std::printf("ftp: [MESSAGE] get nlist \"%s\"\n", line);
        return line;
    }
    release_text(line);
    lines = kuv_xapi_close_readline(lines);
    return nullptr;
}

}  // namespace

namespace ops {

int32_t list(kuv_ftp_t *ftp, const char *format, ...) {
    if (!ftp) return -1;
    ftp->list_lines = kuv_xapi_close_readline(ftp->list_lines);
    if (!format) return -1;
    va_list arguments;
    va_start(arguments, format);
    TrackedBlock path = format_argument(format, arguments);
    va_end(arguments);
    return run_listing(ftp, Listing::kLong, std::move(path));
}

int32_t nlist(kuv_ftp_t *ftp, const char *format, ...) {
    if (!ftp) return -1;
    ftp->nlist_lines = kuv_xapi_close_readline(ftp->nlist_lines);
    if (!format) return 0;
    va_list arguments;
    va_start(arguments, format);
    TrackedBlock path = format_argument(format, arguments);
    va_end(arguments);
    return run_listing(ftp, Listing::kNames, std::move(path));
}

char *get_list(kuv_ftp_t *ftp) {
    return ftp ? next_line(ftp, Listing::kLong) : nullptr;
}

char *get_nlist(kuv_ftp_t *ftp) {
    return ftp ? next_line(ftp, Listing::kNames) : nullptr;
}

}  // namespace ops
}  // namespace kuv::ftp
