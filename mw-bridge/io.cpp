#include "bridgeFunctions.h"
#include "logging.h"

/* This middleware offers no io watchers. */

extern "C"
{

    mama_status tarnixBridgeMamaIo_create(ioBridge* /*result*/, void* /*nativeQueueHandle*/, uint32_t /*descriptor*/,
                                          mamaIoCb /*action*/, mamaIoType /*ioType*/, mamaIo /*parent*/,
                                          void* /*closure*/)
    {
        TARNIX_LOG_FINEST("Optional function. Not implemented");
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

    mama_status tarnixBridgeMamaIo_getDescriptor(ioBridge /*io*/, uint32_t* /*descriptor*/)
    {
        TARNIX_LOG_FINEST("Optional function. Not implemented");
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

    mama_status tarnixBridgeMamaIo_destroy(ioBridge /*io*/)
    {
        TARNIX_LOG_FINEST("Optional function. Not implemented");
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

} // extern "C"
