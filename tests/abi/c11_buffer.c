/* Compiled as strict C11: the chained buffer and the line assembler from C. */
#include <stdio.h>
#include <string.h>

#include "c11_check.h"
#include "davro_kuv.h"

int main(void) {
    uint64_t blocks = kuv_xapi_get_allocated_memory_count();

    kuv_buffer_t *buffer = kuv_xapi_open_buffer();
    CHECK(buffer != NULL);
    CHECK(kuv_xapi_push_printf_buffer(buffer, "%s=%d\r\n", "answer", 42) == 11);
    CHECK(kuv_xapi_push_buffer_ex(buffer, "\x01\x02", 2, KUV_BUFFER_REFERENCE) == 2);
    char *line = kuv_xapi_pop_buffer_line(buffer);
    CHECK(line != NULL && strcmp(line, "answer=42") == 0);
    line = kuv_xapi_free(line);
    CHECK(kuv_xapi_pop_buffer_beword(buffer) == 0x0102);
    CHECK(kuv_xapi_get_buffer_offset(buffer) == 13);
    buffer = kuv_xapi_close_buffer(buffer);

    kuv_readline_t *assembler = kuv_xapi_open_readline();
    CHECK(assembler != NULL);
    CHECK(kuv_xapi_push_readline(assembler, "one\r\ntwo", 8) == 3);
    CHECK(kuv_xapi_push_readline(assembler, NULL, 0) == 0);
    CHECK(kuv_xapi_quantity_readline(assembler) == 2);
    line = kuv_xapi_pop_readline(assembler);
    CHECK(line != NULL && strcmp(line, "one") == 0);
    line = kuv_xapi_free(line);
    assembler = kuv_xapi_close_readline(assembler);
    CHECK(assembler == NULL);

    CHECK(kuv_xapi_get_allocated_memory_count() == blocks);
    if (failures == 0) puts("c11 buffer: ok");
    return failures == 0 ? 0 : 1;
}
