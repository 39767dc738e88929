/*
 * davro_kuv system input/output wrappers: sockets, address text, file
 * descriptors and paths.
 *
 * Interruption convention: every function named _intr takes an interruption
 * flag as its last argument. When a system call it makes fails with EINTR,
 * flag 0 repeats the call and any other value ends the operation with the
 * function's failure value. Each function without _intr is its _intr form
 * with flag 0 (kuv_xapi_intr_break): plain functions always repeat.
 *
 * Time-outs are signed 32-bit milliseconds: negative waits without limit, 0
 * tests without waiting. Waits work for descriptors of any number.
 */
#ifndef DAVRO_KUV_SYSIO_H
#define DAVRO_KUV_SYSIO_H

#include "davro_kuv/common.h"

KUV_EXTERN_C_BEGIN

/* ======================================================================== */
/* Sockets and address text                                                 */
/* ======================================================================== */

/* ---- end of sockets and address text ---- */

/* ======================================================================== */
/* File descriptors and paths                                               */
/* ======================================================================== */

/* ---- end of file descriptors and paths ---- */

KUV_EXTERN_C_END

#endif /* DAVRO_KUV_SYSIO_H */
