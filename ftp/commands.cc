// The command operations with one reply to judge: TYPE, REST, NOOP, SYST,
// PWD, CWD/CDUP, SIZE, DELE, RNFR and RNTO.
#include <cstring>
#include <string_view>

#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"

namespace kuv::ftp {
namespace {

auto accepts(int32_t wanted) {
    return [wanted](int32_t code) { return code == wanted; };
}

// A quote inside the directory of a 257 reply comes doubled; the path
// holds it once.
void undouble_quotes(char *text) {
    char *to = text;
    for (const char *from = text; *from != '\0'; ++from, ++to) {
        *to = *from;
        if (from[0] == '"' && from[1] == '"') ++from;
    }
    *to = '\0';
}

// Where the quoted directory of a 257 reply text ends, given its opening
// quote: at the first quote that is not doubled and stands at the end of
// the text or before a blank, so that a remark behind the directory may
// hold quotes of its own ("/x" is "current"). Without such a quote, at the
// last one: a server that does not double a quote inside the directory is
// read right as well. npos when the text holds no quote behind the opening.
size_t closing_quote(std::string_view text, size_t open) {
    for (size_t at = open + 1; at < text.size(); ++at) {
        if (text[at] != '"') continue;
        if (at + 1 < text.size() && text[at + 1] == '"') {
            ++at;
            continue;
        }
        if (at + 1 == text.size() || text[at + 1] == ' ' || text[at + 1] == '\t') return at;
    }
    const size_t last = text.rfind('"');
    return last > open ? last : std::string_view::npos;
}

// A command whose one argument is a formatted path or name: 0 without
// sending when there is no connection or the argument cannot be made or is
// unsafe to send.
int32_t path_command(kuv_ftp_t *ftp, bool report_send_failure, int32_t wanted, const char *command,
                     const char *format, va_list list) {
    if (ftp->control_socket == -1) return 0;
    TrackedBlock path = format_argument(format, list);
    if (!path) return 0;
    return exchange(ftp, report_send_failure, accepts(wanted), command, path.chars());
}

}  // namespace

namespace ops {

int32_t type(kuv_ftp_t *ftp, const char *type) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    if (!type) type = kBinaryType;
    if (!is_single_line(type)) return 0;
    return exchange(ftp, false, accepts(reply::kOk), "TYPE %s\r\n", type);
}

int32_t rest(kuv_ftp_t *ftp, uint64_t offset) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    char command[40];
    std::snprintf(command, sizeof command, "REST %llu\r\n",
                  static_cast<unsigned long long>(offset));
    return exchange(ftp, false, accepts(reply::kPendingFurther), "%s", command);
}

int32_t noop(kuv_ftp_t *ftp) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    return exchange(ftp, true, accepts(reply::kOk), "NOOP\r\n");
}

int32_t syst(kuv_ftp_t *ftp) {
    if (!ftp) return -1;
    release_text(ftp->system_type);
    if (ftp->control_socket == -1) return 0;
    return exchange(
        ftp, true,
        [ftp](int32_t code) {
            if (code != reply::kSystem) return false;
            release_text(ftp->system_type);
            // Without memory for the text (or its copy) the answer is lost.
            if (ftp->reply_text) ftp->system_type = kuv_xapi_alloc_string(ftp->reply_text, 0);
            return ftp->system_type != nullptr;
        },
        "SYST\r\n");
}

int32_t pwd(kuv_ftp_t *ftp, char **path) {
    if (path) *path = nullptr;
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    return exchange(
        ftp, false,
        [ftp, path](int32_t code) {
            if (code != reply::kPathCreated) return false;
            if (!path) return true;
            // A reply whose text could not be kept for want of memory names
            // no directory.
            if (!ftp->reply_text) return false;
            const std::string_view text(ftp->reply_text);
            const size_t open = text.find('"');
            const size_t close = open == std::string_view::npos ? open : closing_quote(text, open);
            if (close != std::string_view::npos && close > open + 1) {
                release_text(*path);
                *path = kuv_xapi_alloc_string(ftp->reply_text + open + 1, close - open - 1);
                if (*path) undouble_quotes(*path);
                return *path != nullptr;
            }
            return true;
        },
        "PWD\r\n");
}

int32_t cwd(kuv_ftp_t *ftp, const char *format, ...) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    va_list list;
    va_start(list, format);
    TrackedBlock path = format_argument(format, list);
    va_end(list);
    if (!path) return 0;
    if (std::strcmp(path.chars(), "..") == 0)
        return exchange(ftp, false, accepts(reply::kFileActionOk), "CDUP\r\n");
    return exchange(ftp, false, accepts(reply::kFileActionOk), "CWD %s\r\n", path.chars());
}

int32_t size(kuv_ftp_t *ftp, uint64_t *size, const char *format, ...) {
    if (size) *size = 0;
    if (!ftp) return -1;
    if (ftp->control_socket == -1) return 0;
    va_list list;
    va_start(list, format);
    TrackedBlock path = format_argument(format, list);
    va_end(list);
    if (!path) return 0;
    return exchange(
        ftp, false,
        [ftp, size](int32_t code) {
            if (code != reply::kSize) return false;
            if (!size) return true;
            // Without the reply's text (no memory for it) the size is unknown.
            if (!ftp->reply_text) return false;
            *size = static_cast<uint64_t>(kuv_xapi_string_to_int64(ftp->reply_text, 10));
            return true;
        },
        "SIZE %s\r\n", path.chars());
}

int32_t dele(kuv_ftp_t *ftp, const char *format, ...) {
    if (!ftp) return -1;
    va_list list;
    va_start(list, format);
    const int32_t result =
        path_command(ftp, true, reply::kFileActionOk, "DELE %s\r\n", format, list);
    va_end(list);
    return result;
}

int32_t rnfr(kuv_ftp_t *ftp, const char *format, ...) {
    if (!ftp) return -1;
    va_list list;
    va_start(list, format);
    const int32_t result =
        path_command(ftp, true, reply::kPendingFurther, "RNFR %s\r\n", format, list);
    va_end(list);
    return result;
}

int32_t rnto(kuv_ftp_t *ftp, const char *format, ...) {
    if (!ftp) return -1;
    va_list list;
    va_start(list, format);
    const int32_t result =
        path_command(ftp, true, reply::kFileActionOk, "RNTO %s\r\n", format, list);
    va_end(list);
    return result;
}

}  // namespace ops
}  // namespace kuv::ftp
