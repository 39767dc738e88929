// Steps of the line assembler shared by its files.
#ifndef KUV_BUFFER_READLINE_INTERNAL_H
#define KUV_BUFFER_READLINE_INTERNAL_H

#include "davro_kuv/buffer.h"

namespace kuv::readline {

// Appends a line to the queue; text (NULL for an empty line) passes to the
// queue. When no node can be allocated the line is dropped, its text
// released and count left as it was.
void queue_line(kuv_readline_t &readline, char *text);

}  // namespace kuv::readline

#endif  // KUV_BUFFER_READLINE_INTERNAL_H
