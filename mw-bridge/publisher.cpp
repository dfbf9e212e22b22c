#include "bridgeFunctions.h"
#include "notImplemented.h"

extern "C" {

mama_status tarnixBridgeMamaPublisher_createByIndex(publisherBridge*, mamaTransport, int,
                                                    const char*, const char*, const char*,
                                                    mamaPublisher)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaPublisher_destroy(publisherBridge)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaPublisher_send(publisherBridge, mamaMsg)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaPublisher_sendReplyToInbox(publisherBridge, mamaMsg, mamaMsg)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaPublisher_sendReplyToInboxHandle(publisherBridge, void*, mamaMsg)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaPublisher_sendFromInboxByIndex(publisherBridge, int, mamaInbox, mamaMsg)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaPublisher_sendFromInbox(publisherBridge, mamaInbox, mamaMsg)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaPublisher_setUserCallbacks(publisherBridge, mamaQueue,
                                                       mamaPublisherCallbacks*, void*)
{
    TARNIX_NOT_IMPLEMENTED();
}

}  // extern "C"
