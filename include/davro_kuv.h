/* davro_kuv: every public header of the library. */
#ifndef DAVRO_KUV_H
#define DAVRO_KUV_H

#include "davro_kuv/buffer.h"
#include "davro_kuv/common.h"
#include "davro_kuv/ftp.h"
#include "davro_kuv/kue.h"
#include "davro_kuv/kuvnet.h"
#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "davro_kuv/uri.h"

#endif /* DAVRO_KUV_H */
