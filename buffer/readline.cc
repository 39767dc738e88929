// The line assembler's record and its queue of finished lines: open, close,
// pop and the line count.
#include "buffer/readline_internal.h"
#include "davro_kuv/runtime.h"
#include "davro_kuv/text.h"

namespace kuv::readline {

void queue_line(kuv_readline_t &readline, char *text) {
    auto *node = static_cast<kuv_readline_node_t *>(kuv_xapi_alloc(sizeof(kuv_readline_node_t)));
    if (!node) {
        if (text) kuv_xapi_free(text);
        return;
    }
    node->next = nullptr;
    node->text = text;
    if (readline.tail)
        readline.tail->next = node;
    else
        readline.head = node;
    readline.tail = node;
    ++readline.count;
}

}  // namespace kuv::readline

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
        if (node->text) kuv_xapi_free(node->text);
        kuv_xapi_free(node);
        node = next;
    }
    if (readline->pending) kuv_xapi_close_buffer(readline->pending);
    kuv_xapi_free(readline);
    return nullptr;
}

char *kuv_xapi_pop_readline(kuv_readline_t *readline) {
    if (!readline || !readline->head) return nullptr;
    kuv_readline_node_t *node = readline->head;
    char *text = node->text;
    if (!text) {
        // An empty line owns no text; the caller gets a string all the same.
        // Without memory for it the line stays queued rather than vanish.
        text = kuv_xapi_alloc_string("", 0);
        if (!text) return nullptr;
    } else {
        // Line-end bytes held over from an earlier chunk stand at the front
        // of the text; a line's own bytes never include any.
        kuv_xapi_strip_string(text, "\r", KUV_STRIP_ALL);
        kuv_xapi_strip_string(text, "\n", KUV_STRIP_ALL);
    }
    readline->head = node->next;
    if (!readline->head) readline->tail = nullptr;
    --readline->count;
    kuv_xapi_free(node);
    return text;
}

uint32_t kuv_xapi_quantity_readline(kuv_readline_t *readline) {
    return readline ? readline->count : 0;
}

}  // extern "C"
