/* Compiled as strict C11: the file wrappers called from C. */
#define _POSIX_C_SOURCE 200809L /* mkdtemp and symlink for the set-up */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "davro_kuv.h"

static int failures;

#define CHECK(condition)                                                     \
    do {                                                                     \
        if (!(condition)) {                                                  \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                    #condition);                                             \
            ++failures;                                                      \
        }                                                                    \
    } while (0)

int main(void) {
    char directory[] = "/tmp/kuv_c11_file_XXXXXX";
    if (!mkdtemp(directory)) return 1;
    char path[128];
    snprintf(path, sizeof path, "%s/a/b", directory);

    CHECK(kuv_xapi_get_core_version() == 2);
    CHECK(kuv_xapi_mkdir(path, 0700) == 1);
    CHECK(kuv_xapi_access(path, KUV_FILE_ACCESS_EXISTS | KUV_FILE_ACCESS_EXECUTE) == 1);

    char file[160];
    snprintf(file, sizeof file, "%s/note", path);
    int32_t descriptor = kuv_xapi_open(
        file, KUV_FILE_OPEN_READ_WRITE | KUV_FILE_OPEN_CREATE | KUV_FILE_OPEN_LOCK, 0600);
    CHECK(descriptor >= 0);
    CHECK(kuv_xapi_write_printf(descriptor, "%s %d", "c11", 11) == 6);
    CHECK(kuv_xapi_lseek(descriptor, 0, KUV_FILE_SEEK_START) == 0);
    CHECK(kuv_xapi_poll_fd(descriptor, KUV_FILE_POLL_READABLE, 0) == KUV_FILE_POLL_READABLE);
    char text[8] = {0};
    CHECK(kuv_xapi_read(descriptor, text, sizeof text - 1) == 6);
    CHECK(strcmp(text, "c11 11") == 0);
    CHECK(kuv_xapi_close(descriptor) == 1);
    CHECK(kuv_xapi_creat(file, 0600) == -1);

    char link[160];
    snprintf(link, sizeof link, "%s/link", directory);
    CHECK(symlink("a/b/note", link) == 0);
    char *target = kuv_xapi_readlink(link);
    CHECK(target != NULL && strcmp(target, "a/b/note") == 0);
    target = kuv_xapi_free(target);

    CHECK(kuv_xapi_remove(link) == 1);
    CHECK(kuv_xapi_remove(file) == 1);
    CHECK(kuv_xapi_remove(path) == 1);
    snprintf(path, sizeof path, "%s/a", directory);
    CHECK(kuv_xapi_remove(path) == 1);
    CHECK(kuv_xapi_remove(directory) == 1);

    if (failures == 0) puts("c11 sysio file: ok");
    return failures == 0 ? 0 : 1;
}
