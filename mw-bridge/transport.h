/* The bridge object behind an OpenMAMA transport: one client-library session
 * and the per-transport state the other modules use. Its storage is a node
 * of the bridge's transport list. */
#ifndef TARNIX_MW_TRANSPORT_H
#define TARNIX_MW_TRANSPORT_H

#include "mamaIntegration.h"
#include <trxClient.h>
#include <wlock.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <unordered_set>

struct TarnixBridge;
struct TarnixProperties;
struct TarnixThrottledLog;
struct TarnixSubscriptionRegistry;   /* the transport's set of bridge subscriptions */
struct TarnixTransportStats;
struct TarnixBridgeSubscription;

constexpr size_t TARNIX_TOPIC_BUFFER = 260;
constexpr size_t TARNIX_PUBINFO_BUFFER = 1024;

/* Subjects whose refused publications have been logged at the default
 * level; used on the client library's context thread only. Bounded: when
 * full it starts again. */
struct TarnixRefusedSubjects
{
    static constexpr size_t kMax = 4096;
    std::unordered_set<std::string> mSubjects;
};

/* Plain data: the list recycles nodes and zero-fills them on reuse. */
struct TarnixTransportBridge
{
    /* Cleared by destroy under mSubscriptionsLock; read without it by the
     * client library's callbacks, which may still run until the session is
     * destroyed. */
    std::atomic<trxClient_opaqueSession_pt> mSession;
    wLock mCacheSessionLock;
    trxClient_opaqueCacheSession_pt mCacheSession;
    trxClient_cacheSession_rxCacheRequestCallbackFunc_t mCacheEventCallback;
    char mInboxTarnixReplyToPrefix[TARNIX_TOPIC_BUFFER];
    char mInboxTarnixSubPrefix[TARNIX_TOPIC_BUFFER];
    uint32_t mInboxTarnixSubPrefixLen;
    std::atomic<mamaTransport> mTransport;   /* cleared by destroy */
    char* mName;
    bool mUseTrxCache;
    TarnixProperties* mProperties;
    bool mSendSubReq;
    bool mAllowRecoverGaps;
    TarnixBridge* mBridge_p;
    TarnixThrottledLog* mDiscardLog;
    /* The cache failure (sub-code) last logged at its own level; repeats go
     * to FINE until a request succeeds. 0: none. */
    std::atomic<int> mCacheFailureShown;
    /* The periodic statistics line (stats_interval); null when off. */
    TarnixTransportStats* mStats;
    wLock mSuspendLock;              /* guards mSuspendedQueueCount and suspend/resume calls */
    uint32_t mSuspendedQueueCount;   /* queues (and the byte budget) holding this transport suspended */
    /* The byte budget (max_pending_bytes): half of it is the session's
     * receive buffer, the other half the attachments of this transport's
     * messages waiting on OpenMAMA queues. mPendingBytes counts those; when
     * it reaches the half the session is suspended (mBytesSuspended, written
     * under mSuspendLock), and resumed once it is down to a quarter. */
    uint64_t mMaxPendingBytes;
    std::atomic<uint64_t> mPendingBytes;
    std::atomic<bool> mBytesSuspended;
    trxClient_opaqueContainer_pt mPubInfoMap;
    alignas(8) unsigned char mPubInfoBuffer[TARNIX_PUBINFO_BUFFER];
    mamaPayloadBridge mPayloadBridge;
    wLock mSubscriptionsLock;        /* guards mSubscriptions and the clearing of mSession */
    TarnixSubscriptionRegistry* mSubscriptions;
    /* Destroy has finished; guarded by mSubscriptionsLock. Whoever then
     * leaves the registry empty runs the final release, exactly once. */
    bool mDestroyed;
    /* A refused request from an inbox has been logged as an error. */
    std::atomic<bool> mInboxRefusalLogged;
    /* Made at the first refused publication, freed with the transport. */
    TarnixRefusedSubjects* mRefusedSubjects;
};

/* Flow control, transport side: one queue wants the transport held back, or
 * no longer does. The session is suspended exactly while the count is above
 * zero. Called under the queue's flow lock. */
mama_status tarnixBridgeMamaTransportImpl_suspend(TarnixTransportBridge* transport);
mama_status tarnixBridgeMamaTransportImpl_resume(TarnixTransportBridge* transport);

/* Default of "mama.tarnix.transport.NAME.max_pending_bytes". */
constexpr uint64_t TARNIX_DEFAULT_MAX_PENDING_BYTES = 128ull << 20;

/* Flow control by bytes: the receive path counts each message it puts on a
 * queue (may suspend the session) and each one dispatched (may resume it).
 * One atomic operation each unless a mark is crossed. */
void tarnixBridgeMamaTransportImpl_addPendingBytes(TarnixTransportBridge* transport, uint32_t bytes);
void tarnixBridgeMamaTransportImpl_removePendingBytes(TarnixTransportBridge* transport, uint32_t bytes);
/* Without asynchronous subscriptions nothing is suspended: the receive path
 * discards while the queued bytes are at the suspension mark. */
bool tarnixBridgeMamaTransportImpl_pendingBytesFull(const TarnixTransportBridge* transport);

/* The final release of a destroyed transport: frees what it owns and gives
 * its node back to the list. */
mama_status tarnixBridgeMamaTransportImpl_release(TarnixTransportBridge* transport);

/* Frees what a transport still owns when the bridge closes with it in the
 * list. */
void tarnixBridgeMamaTransportImpl_freeAtClose(TarnixTransportBridge* transport);

/* Creates the transport's cache session once. */
mama_status tarnixBridgeMamaTransportImpl_getCacheSession(TarnixTransportBridge* transport);

/* The transport's registry of its bridge subscriptions. Removing the last
 * subscription of a destroyed transport releases the transport. */
mama_status tarnixBridgeMamaTransportImpl_addSubscription(TarnixTransportBridge* transport,
                                                      TarnixBridgeSubscription* subscription);
mama_status tarnixBridgeMamaTransportImpl_removeSubscription(TarnixTransportBridge* transport,
                                                         TarnixBridgeSubscription* subscription);

#endif
