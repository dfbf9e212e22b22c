/* The bridge object behind every OpenMAMA subscription of a "tarnix"
 * transport and its topic dispatch entries on the client-library session. */
#ifndef TARNIX_MW_SUBSCRIPTION_H
#define TARNIX_MW_SUBSCRIPTION_H

#include "synchronism.h"

#include "mamaIntegration.h"
#include <destroyHandle.h>
#include <trxClient.h>
#include <wlock.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>

struct TarnixQueueBridge;
struct TarnixThrottledLog;
struct TarnixTransportBridge;

/* One topic dispatch entry this subscription has on the session. */
struct TarnixSubscription
{
    std::string mTopic;
    uint32_t mFlags = 0;
    trxClient_session_rxMsgDispatchFuncInfo_t mDispatchInfo{};
};

/* A subscription's life, forward only:
 *   Creating -> Active (subscribed) or Inactive (the subscribe failed);
 *   Creating, Active or Inactive -> Muted (nothing more reaches the
 *   application; OpenMAMA is deactivating it);
 *   any of those -> Destroying (destroy has begun: what is still queued or
 *   delivered for it is dropped) -> Destroyed (OpenMAMA has been told; its
 *   mamaSubscription may be gone). */
enum class TarnixSubscriptionState : uint8_t
{
    Creating,
    Active,
    Inactive,
    Muted,
    Destroying,
    Destroyed,
};

struct TarnixBridgeSubscription
{
    TarnixBridgeSubscription() = default;
    TarnixBridgeSubscription(const TarnixBridgeSubscription&) = delete;
    TarnixBridgeSubscription& operator=(const TarnixBridgeSubscription&) = delete;
    /* Frees what exists of the subscription, on the last reference's
     * release or when its creation did not finish. */
    ~TarnixBridgeSubscription();

    /* Moves the state on along the transitions above; false (and no change)
     * for any other. */
    bool advance(TarnixSubscriptionState next);
    /* Read by the receive path without a lock. */
    TarnixSubscriptionState state(std::memory_order order = std::memory_order_seq_cst) const
    {
        return mState.load(order);
    }
    bool destroying(std::memory_order order = std::memory_order_seq_cst) const
    {
        return state(order) >= TarnixSubscriptionState::Destroying;
    }
    bool muted(std::memory_order order = std::memory_order_seq_cst) const
    {
        return state(order) == TarnixSubscriptionState::Muted;
    }

    mamaSubscription mMamaSubscription = nullptr;
    mamaMsgCallbacks mCallbacks{};
    mamaQueue mMamaQueue = nullptr;
    TarnixQueueBridge* mQueueBridge = nullptr;
    TarnixTransportBridge* mTransportBridge = nullptr;
    const char* mSource = nullptr;
    const char* mSymbol = nullptr;
    char* mTopic = nullptr;
    void* mClosure = nullptr;
    pDestroyHandle mDestroyHandle = nullptr;
    uint64_t mCacheRequestId = 0;
    /* An inbox answered from the cache: the message type its answers carry
     * (OpenMAMA waits for an initial or a recap, whatever the feed marked
     * the cached value), or -1 to leave them as cached. */
    std::atomic<int32_t> mCacheAnswerType{-1};
    /* Cache topics in this subscription's local dispatch while requests for
     * them are outstanding; guarded by mTopicSubscriptionsLock. */
    std::unordered_map<std::string, int> mCacheTopics;
    std::atomic<TarnixSubscriptionState> mState{TarnixSubscriptionState::Creating};
    bool mWildcard = false;
    uint64_t mMaxQueueDepth = 0;
    TarnixSynchronismManager mSyncManager;
    TarnixThrottledLog* mDiscardLog = nullptr;
    std::list<TarnixSubscription> mTopicSubscriptions; /* newest first */
    wLock mTopicSubscriptionsLock = nullptr;
    /* The queue it is counted on until nothing can be queued for it any
     * more (its last session entry reported gone after destroy), so the
     * queue cannot go while the client library may still deliver to it;
     * taken (null) by whoever lets the queue go, once. */
    std::atomic<TarnixQueueBridge*> mCountedQueue{nullptr};
    /* The transport it is registered on, until the memory is freed. */
    TarnixTransportBridge* mRegisteredOn = nullptr;
    /* References to this memory: OpenMAMA's until destroy, one per session
     * dispatch entry until the library reports it gone, one per event on a
     * queue and one per outstanding cache request. The last frees it. */
    std::atomic<int> mRefs{1};
};

/* Adds one topic dispatch entry and subscribes it. *subscribed is false
 * only when the subscription was already being destroyed (nothing done).
 * Returns the client library's return code. */
trxClient_returnCode_t tarnixBridgeMamaSubscriptionImpl_subscribeTopic(
    TarnixBridgeSubscription* subscription, uint32_t flags, const char* topic,
    const trxClient_session_rxMsgDispatchFuncInfo_t* dispatch, void* correlation, bool* subscribed);

/* Takes one topic dispatch entry out again (the local entries of cache
 * answers). Returns the client library's return code. */
trxClient_returnCode_t
tarnixBridgeMamaSubscriptionImpl_unsubscribeTopic(TarnixBridgeSubscription* subscription, const char* topic,
                                                  const trxClient_session_rxMsgDispatchFuncInfo_t* dispatch);

/* Delivers status to the application's error callback on the subscription's
 * queue; deactivate also deactivates the OpenMAMA subscription first. */
mama_status tarnixBridgeMamaSubscriptionImpl_enqueueError(mamaSubscription subscription,
                                                          TarnixBridgeSubscription* bridgeSubscription,
                                                          mama_status status, bool deactivate);

/* Client-library callback: one topic dispatch entry of a session is gone. */
extern "C" void
tarnixBridgeMamaSubscriptionImpl_onTopicDispatchDestroy(const char* topic,
                                                        trxClient_session_rxMsgDispatchFuncInfo_t* dispatch);

/* A reference for an event queued for the subscription, or for a request
 * outstanding; the release of the last one frees the memory, on whatever
 * thread it comes. */
void tarnixBridgeMamaSubscriptionImpl_retain(TarnixBridgeSubscription* subscription);
void tarnixBridgeMamaSubscriptionImpl_release(TarnixBridgeSubscription* subscription);

/* The calling thread's current subscription: the one whose initial-value
 * request OpenMAMA sends next. */
void tarnixBridgeMamaSubscriptionImpl_setCurrent(TarnixBridgeSubscription* subscription);
TarnixBridgeSubscription* tarnixBridgeMamaSubscriptionImpl_getCurrent(void);
void tarnixBridgeMamaSubscriptionImpl_clearCurrent(void);

#endif
