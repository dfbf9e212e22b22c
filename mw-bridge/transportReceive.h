/* Received messages: from the client library's receiving thread onto the
 * subscription's queue, and from there, decoded, to the application. */
#ifndef TARNIX_MW_TRANSPORTRECEIVE_H
#define TARNIX_MW_TRANSPORTRECEIVE_H

#include "mamaIntegration.h"
#include <trxClient.h>

struct TarnixBridgeSubscription;
struct TarnixMsgBridge;

/* What every delivery to a subscription ends with, the received messages'
 * and the bridge's own status messages: the bytes at buffer are decoded into
 * the queue's reusable message (with the payload plug-in their first byte
 * names; a null buffer: message is already filled), then OpenMAMA hands it
 * to the application. */
enum class TarnixDecodeResult
{
    Ok,
    NotDecoded,      /* mamaMsgImpl_setMsgBuffer failed: *status */
    NoBridgeMessage, /* mamaMsgImpl_getBridgeMsg failed: *status */
};
TarnixDecodeResult tarnixBridgeMamaTransportImpl_decode(mamaMsg message, const void* buffer, uint32_t length,
                                                        mama_status* status, TarnixMsgBridge** bridgeMsg);
/* The wildcard form, with subject, for a wildcard subscription; *function
 * names the OpenMAMA call made. */
mama_status tarnixBridgeMamaTransportImpl_process(TarnixBridgeSubscription* subscription, mamaMsg message,
                                                  const char* subject, const char** function);

extern "C"
{
    /* The session's own receive callback: messages no subscription took. */
    trxClient_rxMsgCallback_returnCode_t tarnixBridgeMamaTransportImpl_onSessionMsg(trxClient_opaqueSession_pt session,
                                                                                    trxClient_opaqueMsg_pt msg,
                                                                                    void* user);
    /* The receive callback of a subscription's topic dispatch entry. */
    trxClient_rxMsgCallback_returnCode_t
    tarnixBridgeMamaTransportImpl_onSubscriptionMsg(trxClient_opaqueSession_pt session, trxClient_opaqueMsg_pt msg,
                                                    void* user);
    /* The receive callback of an inbox's local entry for a cache topic: takes
 * only the cache's answers to that inbox, as the message type it waits for. */
    trxClient_rxMsgCallback_returnCode_t
    tarnixBridgeMamaTransportImpl_onCacheAnswerMsg(trxClient_opaqueSession_pt session, trxClient_opaqueMsg_pt msg,
                                                   void* user);
    /* Queue event of a received message. */
    void MAMACALLTYPE tarnixBridgeMamaTransportImpl_onMsgEvent(mamaQueue queue, void* closure);
}

#endif
