#include "bridgeFunctions.h"
#include "notImplemented.h"

extern "C" {

mama_status tarnixBridgeMamaSubscription_create(subscriptionBridge*, const char*, const char*,
                                                mamaTransport, mamaQueue, mamaMsgCallbacks,
                                                mamaSubscription, void*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaSubscription_createWildCard(subscriptionBridge*, const char*,
                                                        const char*, mamaTransport, mamaQueue,
                                                        mamaMsgCallbacks, mamaSubscription, void*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaSubscription_mute(subscriptionBridge)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaSubscription_destroy(subscriptionBridge)
{
    TARNIX_NOT_IMPLEMENTED();
}

int tarnixBridgeMamaSubscription_isValid(subscriptionBridge)
{
    return 0;
}

int tarnixBridgeMamaSubscription_hasWildcards(subscriptionBridge)
{
    return 0;
}

mama_status tarnixBridgeMamaSubscription_getPlatformError(subscriptionBridge, void**)
{
    TARNIX_NOT_IMPLEMENTED();
}

int tarnixBridgeMamaSubscription_isTportDisconnected(subscriptionBridge)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaSubscription_setTopicClosure(subscriptionBridge, void*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaSubscription_muteCurrentTopic(subscriptionBridge)
{
    TARNIX_NOT_IMPLEMENTED();
}

}  // extern "C"
