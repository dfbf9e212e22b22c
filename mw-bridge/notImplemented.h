/* Entry points whose behaviour is not built yet answer NOT_IMPLEMENTED with
 * a log line naming themselves, so OpenMAMA can load the bridge and callers
 * get a clean failure. */
#ifndef TARNIX_MW_NOTIMPLEMENTED_H
#define TARNIX_MW_NOTIMPLEMENTED_H

#include "logging.h"

#define TARNIX_NOT_IMPLEMENTED()                                                                  \
    do                                                                                            \
    {                                                                                             \
        TARNIX_LOG_FINE("%s: not implemented by this bridge", __func__);                          \
        return MAMA_STATUS_NOT_IMPLEMENTED;                                                       \
    } while (0)

#endif
