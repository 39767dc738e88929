/* Compiled as strict C11: the FTP handle, its slots and callbacks from C. */
#include <stdio.h>
#include <string.h>

#include "c11_check.h"
#include "davro_kuv.h"

static int32_t refuse_name(kuv_ftp_t *ftp, char *area, int32_t limit) {
    (void)ftp;
    (void)area;
    (void)limit;
    return 0;
}

int main(void) {
    uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    kuv_ftp_t *ftp = kuv_xapi_open_ftp();
    CHECK(ftp != NULL);
    if (ftp) {
        CHECK(ftp->control_socket == -1);
        CHECK(ftp->buffer_limit == KUV_FTP_DEFAULT_BUFFER_LIMIT);
        CHECK(ftp->family == 2);
        CHECK(sizeof ftp->io_area == KUV_FTP_IO_AREA_SIZE);
        /* Without a connection every step answers at once. */
        CHECK(ftp->read_reply(ftp) == 0);
        CHECK(ftp->noop(ftp) == 0);
        CHECK(ftp->cwd(ftp, "%s", "pub") == 0);
        CHECK(ftp->pump(ftp, 0, 0) ==
              (KUV_FTP_PUMP_CONTROL_CLOSED | KUV_FTP_PUMP_NO_DATA_CONNECTION));
        ftp->get_user_name = refuse_name;
        ftp->next = kuv_xapi_open_ftp();
    }
    CHECK(kuv_xapi_close_ftp(ftp) == NULL);
    CHECK(kuv_xapi_get_allocated_memory_count() == blocks);
    if (failures == 0) puts("c11 ftp: ok");
    return failures == 0 ? 0 : 1;
}
