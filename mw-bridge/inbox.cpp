#include "bridgeFunctions.h"
#include "notImplemented.h"

extern "C" {

mama_status tarnixBridgeMamaInbox_create(inboxBridge*, mamaTransport, mamaQueue,
                                         mamaInboxMsgCallback, mamaInboxErrorCallback,
                                         mamaInboxDestroyCallback, void*, mamaInbox)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaInbox_createByIndex(inboxBridge*, mamaTransport, int, mamaQueue,
                                                mamaInboxMsgCallback, mamaInboxErrorCallback,
                                                mamaInboxDestroyCallback, void*, mamaInbox)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaInbox_destroy(inboxBridge)
{
    TARNIX_NOT_IMPLEMENTED();
}

}  // extern "C"
