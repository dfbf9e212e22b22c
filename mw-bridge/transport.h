/* The bridge object behind an OpenMAMA transport: one client-library session
 * and the per-transport state the other modules use. */
#ifndef TARNIX_MW_TRANSPORT_H
#define TARNIX_MW_TRANSPORT_H

#include "mamaIntegration.h"
#include "properties.h"
#include <trxClient.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

struct TarnixBridge;
struct TarnixThrottledLog;
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

/* One OpenMAMA transport of this bridge. Made by create, which either
 * returns it connected or leaves nothing behind; the destructor frees what
 * the transport still owns, once. Destroy takes the session down; the
 * transport itself goes when destroy has run and its last subscription is
 * gone (tarnixBridgeMamaTransportImpl_release). The bridge's transport list
 * owns it from its successful creation on. */
struct TarnixTransportBridge
{
    TarnixTransportBridge() = default;
    TarnixTransportBridge(const TarnixTransportBridge&) = delete;
    TarnixTransportBridge& operator=(const TarnixTransportBridge&) = delete;
    ~TarnixTransportBridge();

    /* A connected transport for parent, or null with *status saying why
     * (logged). Blocks while the session connects; takes no bridge lock. */
    static std::unique_ptr<TarnixTransportBridge> create(TarnixBridge* bridge, const char* name, mamaTransport parent,
                                                         mama_status* status);

    /* At close, after the client library's context (and with it every
     * session of it) has gone: the handles it freed are not freed again. */
    void forgetClientHandles();

    /* Bridge subscriptions registered on this transport. */
    size_t subscriptionCount();

    /* Set from a successful creation until destroy, which clears it under
     * mSubscriptionsLock; read without the lock by the client library's
     * callbacks, which may still run until the session is destroyed. */
    std::atomic<trxClient_opaqueSession_pt> mSession{nullptr};
    /* The session this transport owns, from its creation until destroy
     * destroys it. */
    trxClient_opaqueSession_pt mOwnedSession = nullptr;
    std::mutex mCacheSessionLock; /* the lazy creation of mCacheSession */
    trxClient_opaqueCacheSession_pt mCacheSession = nullptr;
    trxClient_cacheSession_rxCacheRequestCallbackFunc_t mCacheEventCallback = nullptr;
    char mInboxTarnixReplyToPrefix[TARNIX_TOPIC_BUFFER] = "";
    char mInboxTarnixSubPrefix[TARNIX_TOPIC_BUFFER] = "";
    uint32_t mInboxTarnixSubPrefixLen = 0;
    std::atomic<mamaTransport> mTransport{nullptr}; /* cleared by destroy */
    std::string mName;
    bool mUseTrxCache = false;
    std::unique_ptr<TarnixProperties> mProperties;
    bool mSendSubReq = false;
    bool mAllowRecoverGaps = false;
    TarnixBridge* mBridge_p = nullptr;
    std::unique_ptr<TarnixThrottledLog, void (*)(TarnixThrottledLog*)> mDiscardLog{nullptr, nullptr};
    /* The cache failure (sub-code) last logged at its own level; repeats go
     * to FINE until a request succeeds. 0: none. */
    std::atomic<int> mCacheFailureShown{0};
    /* The periodic statistics line (stats_interval); null when off. */
    std::unique_ptr<TarnixTransportStats, void (*)(TarnixTransportStats*)> mStats{nullptr, nullptr};
    /* Guards mSuspendedQueueCount and the session's suspend and resume
     * calls; the byte budget suspends while holding it. */
    std::recursive_mutex mSuspendLock;
    uint32_t mSuspendedQueueCount = 0; /* queues (and the byte budget) holding this transport suspended */
    /* The byte budget (max_pending_bytes): half of it is the session's
     * receive buffer, the other half the attachments of this transport's
     * messages waiting on OpenMAMA queues. mPendingBytes counts those; when
     * it reaches the half the session is suspended (mBytesSuspended, written
     * under mSuspendLock), and resumed once it is down to a quarter. */
    uint64_t mMaxPendingBytes = 0;
    std::atomic<uint64_t> mPendingBytes{0};
    std::atomic<bool> mBytesSuspended{false};
    trxClient_opaqueContainer_pt mPubInfoMap = nullptr; /* lives in mPubInfoBuffer */
    alignas(8) unsigned char mPubInfoBuffer[TARNIX_PUBINFO_BUFFER] = {};
    mamaPayloadBridge mPayloadBridge = nullptr;
    std::mutex mSubscriptionsLock; /* guards mSubscriptions, mDestroyed and the clearing of mSession */
    std::unordered_set<TarnixBridgeSubscription*> mSubscriptions;
    /* Destroy has finished. Whoever then leaves mSubscriptions empty runs
     * the final release, exactly once. */
    bool mDestroyed = false;
    /* A refused request from an inbox has been logged as an error. */
    std::atomic<bool> mInboxRefusalLogged{false};
    /* Made at the first refused publication. */
    std::unique_ptr<TarnixRefusedSubjects> mRefusedSubjects;
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

/* The final release of a destroyed transport: takes it off the bridge's
 * list and frees it. */
mama_status tarnixBridgeMamaTransportImpl_release(TarnixTransportBridge* transport);

/* Creates the transport's cache session once. */
mama_status tarnixBridgeMamaTransportImpl_getCacheSession(TarnixTransportBridge* transport);

/* The transport's registry of its bridge subscriptions. Removing the last
 * subscription of a destroyed transport releases the transport. */
mama_status tarnixBridgeMamaTransportImpl_addSubscription(TarnixTransportBridge* transport,
                                                          TarnixBridgeSubscription* subscription);
mama_status tarnixBridgeMamaTransportImpl_removeSubscription(TarnixTransportBridge* transport,
                                                             TarnixBridgeSubscription* subscription);

#endif
