// Commands on their way out: checked formatting of command arguments, the
// command queue, and sending everything queued in one call.
#include <strings.h>

#include <cstring>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "ftp/ftp_internal.h"
#include "runtime/slice.h"

namespace kuv::ftp {

TrackedBlock format_text(const char *format, va_list list) {
    if (!format) return TrackedBlock();
    va_list measure;
    va_copy(measure, list);
    TrackedBlock text(kuv_xapi_alloc_vsprintf(format, list));
    // The formatter's own count tells whether the string ends early at a
    // NUL that a %c or %s put into it: such a text is not what was asked.
    char probe[1];
    const int32_t length = kuv_xapi_vsnprintf_fast(probe, sizeof probe, format, measure);
    va_end(measure);
    if (text && (length < 0 || std::strlen(text.chars()) != static_cast<size_t>(length)))
        text.reset();
    return text;
}

bool is_one_command(std::string_view text) {
    const size_t end = text.find_first_of("\r\n");
    if (end == std::string_view::npos) return true;
    const std::string_view rest = kuv::slice(text, end);
    return rest == "\r\n" || rest == "\n" || rest == "\r";
}

TrackedBlock format_argument(const char *format, va_list list) {
    TrackedBlock text = format_text(format, list);
    if (text && !is_single_line(text.chars())) text.reset();
    return text;
}

namespace {

// Stars over the password of every PASS command in the text of sent
// commands: the trace of commands shows that one was sent, not what it
// holds.
void hide_passwords(char *text) {
    constexpr size_t kPassLength = 5;  // "PASS ", in any case
    for (char *line = text; *line != '\0';) {
        if (strncasecmp(line, "PASS ", kPassLength) == 0)
            for (char *at = line + kPassLength; *at != '\0' && *at != '\r' && *at != '\n'; ++at)
                *at = '*';
        char *end = std::strchr(line, '\n');
        if (!end) break;
        line = end + 1;
    }
}

}  // namespace

namespace ops {

int32_t queue_command(kuv_ftp_t *ftp, const char *format, ...) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1 || !format) return 0;
    va_list list;
    va_start(list, format);
    char *text = kuv_xapi_alloc_vsprintf(format, list);
    va_end(list);
    if (!text) return 0;
    const uint64_t length = std::strlen(text);
    if (length == 0) {
        kuv_xapi_free(text);
        return 0;
    }
    // Queued commands may carry a password: their nodes are wiped when they
    // leave the buffer.
    if (!ftp->command_buffer) ftp->command_buffer = kuv_xapi_open_buffer_ex(KUV_BUFFER_WIPE);
    if (!ftp->command_buffer ||
        kuv_xapi_push_buffer_ex(ftp->command_buffer, text, length, KUV_BUFFER_ADOPT) != length) {
        explicit_bzero(text, length);
        kuv_xapi_free(text);
        return 0;
    }
    return 1;
}

int32_t send_commands(kuv_ftp_t *ftp) {
    if (!ftp) return -1;
    if (ftp->control_socket == -1 || !ftp->command_buffer) return 0;
    const auto size = static_cast<uint64_t>(kuv_xapi_get_buffer_size(ftp->command_buffer));
    if (size == 0) return 0;
    TrackedBlock block(kuv_xapi_alloc(size + 1));
    if (!block) {
        // The caller learns these commands were not sent; kept, they would
        // go out in front of the next command and take its reply.
        kuv_xapi_flush_buffer(ftp->command_buffer);
        return 0;
    }
    kuv_xapi_pop_buffer_ex(ftp->command_buffer, block.get(), size, KUV_BUFFER_EXACT);
    const int32_t sent =
        kuv_xapi_send(ftp->control_socket, block.get(), size, control_wait_of(ftp));
    if (ftp->debug_level > kTraceCommands) {
        block.chars()[size] = '\0';
        hide_passwords(block.chars());
        std::printf("FTP { \n  %s }\n", block.chars());
    }
    if (sent < 0 || static_cast<uint64_t>(sent) != size) disconnect_via_slot(ftp);
    explicit_bzero(block.get(), size + 1);
    return sent >= 0 && static_cast<uint64_t>(sent) == size ? 1 : 0;
}

}  // namespace ops
}  // namespace kuv::ftp
