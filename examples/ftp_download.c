/*
 * FTP download: fetches the file(s) a URL names into a directory with the
 * FTP handle's one-call download.
 *
 *   ftp_download URL [DIR]
 *
 * For example: ftp_download ftp://127.0.0.1:2121/pub/file.bin /tmp
 * The handle prints its own progress and "Result:" lines.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <unistd.h>

#include <davro_kuv.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: ftp_download URL [DIR]\n");
        return 2;
    }
    /* The download writes into the current directory. */
    if (argc > 2 && chdir(argv[2]) != 0) {
        perror(argv[2]);
        return 1;
    }

    /* 1. A handle with its settings and its table of operations (slots). */
    kuv_ftp_t *ftp = kuv_xapi_open_ftp();
    if (!ftp) return 1;
    ftp->passive = 1; /* the client connects to the server for data */

    /* 2. Every step is called through its slot. download connects, logs
     *    in (anonymously when the URL has no user), changes to the file's
     *    directory, lists it and fetches every name listed: 1 when all
     *    arrived, 0 when one failed, -1 when the URL names no host or path. */
    int32_t result = ftp->download(ftp, 0644, "%s", argv[1]);
    if (result == -1)
        fprintf(stderr, "%s names no host or path (write 127.0.0.1, not localhost)\n", argv[1]);
    else if (result != 1)
        fprintf(stderr, "%s: no connection, no file listed there, or a file that failed\n",
                argv[1]);

    /* 3. The connection stays open after download: say goodbye, then
     *    close the handle, which releases everything it owns. */
    ftp->quit(ftp);
    ftp = kuv_xapi_close_ftp(ftp);
    return result == 1 ? 0 : 1;
}
