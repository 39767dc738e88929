/* Compiled as strict C11: the file wrappers called from C. */
#define _POSIX_C_SOURCE 200809L /* mkdtemp for the set-up */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "davro_kuv.h"

int main(void) {
    char directory[] = "/tmp/kuv_c11_file_XXXXXX";
    char path[96], file[128], text[8] = {0};
    if (!mkdtemp(directory)) return 1;
    snprintf(path, sizeof path, "%s/a/b", directory);
    snprintf(file, sizeof file, "%s/note", path);

    int ok = kuv_xapi_get_core_version() == 2 && kuv_xapi_mkdir(path, 0700) == 1;
    int32_t descriptor = kuv_xapi_open(
        file, KUV_FILE_OPEN_READ_WRITE | KUV_FILE_OPEN_CREATE | KUV_FILE_OPEN_LOCK, 0600);
    ok = ok && descriptor >= 0 && kuv_xapi_write_printf(descriptor, "%s %d", "c", 11) == 4;
    ok = ok && kuv_xapi_lseek(descriptor, 0, KUV_FILE_SEEK_START) == 0 &&
         kuv_xapi_poll_fd(descriptor, KUV_FILE_POLL_READABLE, 0) == KUV_FILE_POLL_READABLE &&
         kuv_xapi_read(descriptor, text, sizeof text - 1) == 4 && strcmp(text, "c 11") == 0;
    ok = ok && kuv_xapi_close(descriptor) == 1 && kuv_xapi_creat(file, 0600) == -1;
    ok = ok && kuv_xapi_remove(file) == 1 && kuv_xapi_remove(path) == 1;
    snprintf(path, sizeof path, "%s/a", directory);
    ok = ok && kuv_xapi_remove(path) == 1 && kuv_xapi_remove(directory) == 1;
    puts(ok ? "c11 sysio file: ok" : "c11 sysio file: FAILED");
    return ok ? 0 : 1;
}
