// The reply reader: one coded line at a time out of the reply buffer.
//
// A reply line starts with a three-digit code followed by '-' (more lines of
// the same reply follow), a blank or any other separator, or nothing. Lines
// that do not start with a digit are the inner lines of a multi-line reply
// and are traced and dropped; a line with fewer than three leading digits
// is dropped too. Within a multi-line reply only a line that starts with
// the first line's code continues or ends it: any other line is its text,
// even one that starts with digits or with another code, and ending the
// reply there would leave its last line to answer the next command.
#include <cstdio>
#include <cstring>

#include "buffer/buffer_internal.h"
#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"

namespace kuv::ftp {
namespace {

constexpr int kCodeDigits = 3;

bool is_digit(char byte) {
    return kuv_xapi_ctype_select(static_cast<unsigned char>(byte), KUV_CTYPE_DIGIT) != 0;
}

const char *continuation_mark(const kuv_ftp_t *ftp) {
    return ftp->more_lines == 1 ? "-" : " ";
}

// True when the line starts with the three digits of code and no fourth.
bool starts_with_code(const char *text, int32_t code) {
    char digits[kCodeDigits + 2];
    std::snprintf(digits, sizeof digits, "%03d", static_cast<int>(code));
    return std::strncmp(text, digits, kCodeDigits) == 0 && !is_digit(text[kCodeDigits]);
}

// CR and LF bytes left at the front by a line end split between two reads.
void skip_line_ends(kuv_buffer_t *buffer) {
    for (;;) {
        const int32_t byte = kuv_xapi_peek_buffer_byte(buffer, 0);
        if (byte != '\r' && byte != '\n') return;
        kuv_xapi_pop_buffer_byte(buffer);
    }
}

}  // namespace

bool holds_reply_line(const kuv_ftp_t *ftp) {
    return ftp->reply_buffer && buffer::find_line(*ftp->reply_buffer).found;
}

uint64_t held_reply_bytes(const kuv_ftp_t *ftp) {
    return ftp->reply_buffer ? static_cast<uint64_t>(ftp->reply_buffer->size) : 0;
}

namespace ops {

int32_t read_reply(kuv_ftp_t *ftp) {
    if (!ftp) return -1;
    ftp->reply_code = 0;
    release_text(ftp->reply_text);
    if (!ftp->reply_buffer) return 0;
    auto *aux = static_cast<AuxBlock *>(ftp->aux);
    const int32_t opening = ftp->more_lines == 1 && aux ? aux->reply_opening_code : 0;
    skip_line_ends(ftp->reply_buffer);
    for (;;) {
        TrackedBlock line(kuv_xapi_pop_buffer_line(ftp->reply_buffer));
        if (!line) {
            // A line held but not taken for want of memory would be read
            // as the reply to the next command, and every reply after it
            // one command late: the connection is dropped instead.
            if (holds_reply_line(ftp)) disconnect_via_slot(ftp);
            return 0;
        }
        const char *text = line.chars();
        if (!is_digit(text[0]) || (opening != 0 && !starts_with_code(text, opening))) {
            if (ftp->debug_level > kTraceReplies)
                std::printf("FTP [%03d]:%s\"%s\"\n", ftp->reply_code, continuation_mark(ftp), text);
            continue;
        }
        int code = 0;
        int digits = 0;
        for (; digits < kCodeDigits && is_digit(text[digits]); ++digits)
            code = code * 10 + (text[digits] - '0');
        if (digits < kCodeDigits) return 0;
        const char *rest = text + kCodeDigits;
        ftp->reply_code = code;
        ftp->more_lines = *rest == '-' ? 1 : 0;
        if (aux) aux->reply_opening_code = ftp->more_lines == 1 ? code : 0;
        // The separator, whatever it is, is not part of the text.
        if (*rest != '\0') ++rest;
        // The reply is taken even without memory for its text (which only
        // a few commands read): dropped, it would leave the command waiting
        // and its reply unanswered.
        ftp->reply_text = kuv_xapi_alloc_string(rest, 0);
        if (ftp->debug_level > kTraceReplies)
            std::printf("FTP [ %03d ]:%s\"%s\"\n", code, continuation_mark(ftp), rest);
        return code;
    }
}

}  // namespace ops
}  // namespace kuv::ftp
