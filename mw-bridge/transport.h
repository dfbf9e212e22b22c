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

struct TarnixBridgeSubscription;

/* The closure of one queue event of the receive path: a received message
 * for a subscription, or (no message) the subscription's destroy event. */
struct TarnixMessageNode
{
    trxClient_opaqueMsg_pt mMsg;
    TarnixBridgeSubscription* mSubscription;
    uint32_t mBytes;   /* counted in the transport's mPendingBytes until dispatched */
    /* The message type a cache answer is delivered with; -1: as received. */
    int32_t mMsgType = -1;

    /* Nodes are made on the client library's thread and freed on the
     * dispatching one; malloc handles that hand-over slowly, so they are
     * recycled instead. */
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* node) noexcept;
};

/* Flow control, transport side: one queue wants the transport held back, or
 * no longer does. The session is suspended exactly while the count is above
 * zero. Called under the queue's flow lock. */
mama_status tarnixBridgeMamaTransport_suspend(TarnixTransportBridge* transport);
mama_status tarnixBridgeMamaTransport_resume(TarnixTransportBridge* transport);

/* Default of "mama.tarnix.transport.NAME.max_pending_bytes". */
constexpr uint64_t TARNIX_DEFAULT_MAX_PENDING_BYTES = 128ull << 20;

/* Flow control by bytes: the receive path counts each message it puts on a
 * queue (may suspend the session) and each one dispatched (may resume it).
 * One atomic operation each unless a mark is crossed. */
void tarnixBridgeMamaTransport_addPendingBytes(TarnixTransportBridge* transport, uint32_t bytes);
void tarnixBridgeMamaTransport_removePendingBytes(TarnixTransportBridge* transport, uint32_t bytes);
/* Without asynchronous subscriptions nothing is suspended: the receive path
 * discards while the queued bytes are at the suspension mark. */
bool tarnixBridgeMamaTransport_pendingBytesFull(const TarnixTransportBridge* transport);

/* The final release of a destroyed transport: frees what it owns and gives
 * its node back to the list. */
mama_status tarnixBridgeMamaTransport_release(TarnixTransportBridge* transport);

/* Frees what a transport still owns when the bridge closes with it in the
 * list. */
void tarnixBridgeMamaTransport_freeAtClose(TarnixTransportBridge* transport);

/* Creates the transport's cache session once. */
mama_status tarnixBridgeMamaTransport_getCacheSession(TarnixTransportBridge* transport);

/* Transport events for the application, delivered on the transport's
 * callback queue. */
void tarnixBridgeMamaTransport_enqueueTransportEvent(TarnixTransportBridge* transport,
                                                     mamaTransportEvent event, short cause,
                                                     const void* platformInfo);
mama_status tarnixBridgeMamaTransport_getCallbackQueue(TarnixTransportBridge* transport,
                                                       mamaQueue* queue);

/* Client-library callbacks, on the context thread. */
extern "C" {
void tarnixBridgeMamaTransport_onSessionEvent(trxClient_opaqueSession_pt session,
                                              trxClient_session_eventCallbackInfo_pt info,
                                              void* user);
trxClient_rxMsgCallback_returnCode_t tarnixBridgeMamaTransport_onSessionMsg(
    trxClient_opaqueSession_pt session, trxClient_opaqueMsg_pt msg, void* user);
trxClient_rxMsgCallback_returnCode_t tarnixBridgeMamaTransport_onSubscriptionMsg(
    trxClient_opaqueSession_pt session, trxClient_opaqueMsg_pt msg, void* user);
/* The receive callback of an inbox's local entry for a cache topic: takes
 * only the cache's answers to that inbox, as the message type it waits for. */
trxClient_rxMsgCallback_returnCode_t tarnixBridgeMamaTransport_onCacheAnswerMsg(
    trxClient_opaqueSession_pt session, trxClient_opaqueMsg_pt msg, void* user);
/* Queue event of a received message or of a subscription's destroy. */
void MAMACALLTYPE tarnixBridgeMamaTransport_onMsgEvent(mamaQueue queue, void* closure);
}

/* MAMA_STATUS_NOT_PERMISSIONED, logged, when the broker refused the session
 * its inbox topics, so that no reply to a request on topic could arrive;
 * otherwise MAMA_STATUS_OK. */
mama_status tarnixBridgeMamaTransport_checkInboxReachable(TarnixTransportBridge* transport, const char* topic,
                                                          const char* caller);

/* Sends msg as the binary attachment of a client-library message on topic;
 * replyTo (may be null) becomes its reply-to, or in reply mode its topic. */
mama_status tarnixBridgeMamaTransport_sendMessage(TarnixTransportBridge* transport, const char* topic,
                                                  const char* replyTo, mamaMsg msg, bool replyMode,
                                                  const char* caller);

#endif
