/* The bridge object behind an OpenMAMA transport: one client-library session
 * and the per-transport state the other modules use. Its storage is a node
 * of the bridge's transport list. */
#ifndef TARNIX_MW_TRANSPORT_H
#define TARNIX_MW_TRANSPORT_H

#include <bridge.h>
#include <trxClient.h>
#include <wlock.h>

#include <cstdint>

struct TarnixBridge;
struct TarnixProperties;
struct TarnixThrottledLog;
struct TarnixSubscriptionRegistry;   /* the transport's set of bridge subscriptions */

constexpr size_t TARNIX_TOPIC_BUFFER = 260;
constexpr size_t TARNIX_PUBINFO_BUFFER = 1024;

/* Plain data: the list recycles nodes and zero-fills them on reuse. */
struct TarnixTransportBridge
{
    trxClient_opaqueSession_pt mSession;   /* null when none */
    wLock mCacheSessionLock;
    trxClient_opaqueCacheSession_pt mCacheSession;
    trxClient_cacheSession_rxCacheRequestCallbackFunc_t mCacheEventCallback;
    char mInboxTarnixReplyToPrefix[TARNIX_TOPIC_BUFFER];
    char mInboxTarnixSubPrefix[TARNIX_TOPIC_BUFFER];
    uint32_t mInboxTarnixSubPrefixLen;
    mamaTransport mTransport;
    char* mName;
    bool mUseTrxCache;
    TarnixProperties* mProperties;
    bool mSendSubReq;
    bool mAllowRecoverGaps;
    TarnixBridge* mBridge_p;
    TarnixThrottledLog* mDiscardLog;
    wLock mSuspendLock;              /* guards mSuspendedQueueCount and suspend/resume calls */
    uint32_t mSuspendedQueueCount;   /* queues currently holding this transport suspended */
    trxClient_opaqueContainer_pt mPubInfoMap;
    unsigned char mPubInfoBuffer[TARNIX_PUBINFO_BUFFER];
    mamaPayloadBridge mPayloadBridge;
    wLock mSubscriptionsLock;
    TarnixSubscriptionRegistry* mSubscriptions;
};

/* Flow control, transport side: one queue wants the transport held back, or
 * no longer does. The session is suspended exactly while the count is above
 * zero. Called under the queue's flow lock. */
mama_status tarnixBridgeMamaTransport_suspend(TarnixTransportBridge* transport);
mama_status tarnixBridgeMamaTransport_resume(TarnixTransportBridge* transport);

#endif
