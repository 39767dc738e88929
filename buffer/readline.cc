// The line assembler's record and its queue of finished lines: open, close,
// pop and the line count.
#include "buffer/line_scan.h"
#include "buffer/readline_internal.h"
#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"

using kuv::readline::line_block;

extern "C" {

kuv_readline_t *kuv_xapi_open_readline(void) {
    auto *readline = static_cast<kuv_readline_t *>(kuv_xapi_alloc(sizeof(kuv_readline_t)));
    if (readline) *readline = kuv_readline_t{};
    return readline;
}

kuv_readline_t *kuv_xapi_close_readline(kuv_readline_t *readline) {
    if (!readline) return nullptr;
    kuv_readline_node_t *node = readline->head;
    while (node) {
        kuv_readline_node_t *next = node->next;
        kuv_xapi_free(line_block(node));  // the node goes with its block
        node = next;
    }
    if (readline->pending) kuv_xapi_close_buffer(readline->pending);
    kuv_xapi_free(readline);
    return nullptr;
}

char *kuv_xapi_pop_readline(kuv_readline_t *readline) {
    if (!readline || !readline->head) return nullptr;
    kuv_readline_node_t *node = readline->head;
    readline->head = node->next;
    if (!readline->head) readline->tail = nullptr;
    --readline->count;
    char *text = line_block(node);
    // CR and LF bytes reach a line's text only as bytes held over in front
    // of it (a line's own bytes never include any), so a text that does not
    // start with one has none to remove.
    if (kuv::buffer::is_line_end(static_cast<uint8_t>(text[0]))) {
        kuv_xapi_strip_string(text, "\r", KUV_STRIP_ALL);
        kuv_xapi_strip_string(text, "\n", KUV_STRIP_ALL);
    }
    return text;
}

uint32_t kuv_xapi_quantity_readline(kuv_readline_t *readline) {
    return readline ? readline->count : 0;
}

}  // extern "C"
