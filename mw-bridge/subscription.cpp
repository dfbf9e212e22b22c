#include "subscription.h"
#include "cacheRequest.h"

#include "bridgeFunctions.h"
#include "bridgeTls.h"
#include "clientLibrary.h"
#include "logging.h"
#include "queue.h"
#include "tarnixBridge.h"
#include "topic.h"
#include "transport.h"
#include "transportReceive.h"

#include <mama/integration/transport.h>
#include <mama/subscription.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace
{

/* Process-wide source of cache request identifiers; 0 is never handed out. */
std::atomic<uint32_t> gCacheRequestCounter{0};

uint64_t nextCacheRequestId()
{
    uint32_t value = gCacheRequestCounter.fetch_add(1) + 1;
    if (value == 0)
        value = gCacheRequestCounter.fetch_add(1) + 1;
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
}

const char* orNull(const char* text)
{
    return text != nullptr ? text : "(null)";
}

/* What a subscribe request's correlation tag carries. */
struct SubscribeRequest
{
    mamaSubscription mMamaSubscription;
    TarnixTransportBridge* mTransport;
    TarnixBridgeSubscription* mSubscription;
};

/* An error for the application, queued; holds a reference on the bridge
 * subscription, whose OpenMAMA subscription may be gone by the time it runs. */
struct ErrorClosure
{
    mamaSubscription mSubscription;
    TarnixBridgeSubscription* mBridge;
    mama_status mStatus;
    bool mDeactivate;
};

bool sameTopic(const std::string& entry, const char* topic)
{
    const size_t length = strnlen(topic, TARNIX_TOPIC_BUFFER);
    return std::min(entry.size(), TARNIX_TOPIC_BUFFER) == length && entry.compare(0, length, topic, length) == 0;
}

/* Removes the first entry for topic, callback and user pointer; caller holds
 * mTopicSubscriptionsLock. */
bool removeEntry(TarnixBridgeSubscription* subscription, const char* topic,
                 trxClient_session_rxMsgCallbackFunc_t callback, void* user)
{
    auto& entries = subscription->mTopicSubscriptions;
    for (auto it = entries.begin(); it != entries.end(); ++it)
    {
        if (it->mDispatchInfo.callback_p == callback && it->mDispatchInfo.user_p == user &&
            sameTopic(it->mTopic, topic))
        {
            entries.erase(it);
            return true;
        }
    }
    return false;
}

/* Caller holds mTopicSubscriptionsLock. Once the subscription is being
 * destroyed and its last session entry is gone, nothing can be queued for it
 * any more: its queue may go. */
bool lastEntryGone(TarnixBridgeSubscription* subscription)
{
    return subscription->destroying() && subscription->mTopicSubscriptions.empty();
}

void releaseQueue(TarnixBridgeSubscription* subscription)
{
    TarnixQueueBridge* queue = subscription->mCountedQueue.exchange(nullptr);
    if (queue == nullptr)
        return;
    TARNIX_LOG_FINE("Completed for topic=%s", subscription->mTopic);
    mama_status status =
        tarnixBridgeMamaQueueImpl_removeSubscription(queue, subscription->mTransportBridge, subscription->mTopic);
    if (status != MAMA_STATUS_OK)
        TARNIX_LOG_ERROR("unable to remove subscription from queue: %s", mamaStatus_stringForStatus(status));
}

mama_status onSubscribeResult(bool asynchronous, TarnixSynchronismContext* context)
{
    if (tarnixSynchronismContext_isCancelled(context))
        return MAMA_STATUS_OK;
    const int rc = tarnixSynchronismContext_getReturnCode(context);
    if (rc == TRXCLIENT_OK)
        return MAMA_STATUS_OK;
    auto* request = static_cast<SubscribeRequest*>(tarnixSynchronismContext_getTagData(context));

    mama_status status = MAMA_STATUS_PLATFORM;
    MamaLogLevel level = MAMA_LOG_LEVEL_WARN;
    switch (trxClient_getLastErrorInfo()->subCode)
    {
        case TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED:
        case TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED:
            status = MAMA_STATUS_NOT_ENTITLED;
            level = MAMA_LOG_LEVEL_NORMAL;
            break;
        case TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE: status = MAMA_STATUS_NOT_FOUND; break;
        default: break;
    }
    TARNIX_LOG_CLIENT_ERROR(level, rc, "Error in trxClient_session_topicSubscribe().");
    if (asynchronous)
        tarnixBridgeMamaSubscriptionImpl_enqueueError(request->mMamaSubscription, request->mSubscription, status, true);
    return status;
}

void discardErrorEvent(void* closure)
{
    ErrorClosure* error = static_cast<ErrorClosure*>(closure);
    tarnixBridgeMamaSubscriptionImpl_release(error->mBridge);
    delete error;
}

void MAMACALLTYPE onErrorEvent(mamaQueue /*queue*/, void* closure)
{
    ErrorClosure* error = static_cast<ErrorClosure*>(closure);
    TarnixBridgeSubscription* bridge = error->mBridge;
    if (bridge->state() == TarnixSubscriptionState::Destroyed)
    {
        TARNIX_LOG_FINEST("Subscription destroyed before its error %s was delivered",
                          mamaStatus_stringForStatus(error->mStatus));
        delete error;
        tarnixBridgeMamaSubscriptionImpl_release(bridge);
        return;
    }
    const char* symbol = nullptr;
    if (mamaSubscription_getSymbol(error->mSubscription, &symbol) != MAMA_STATUS_OK)
        TARNIX_LOG_ERROR("Unable to get symbol for subscription.");
    do
    {
        if (error->mDeactivate)
        {
            if (mamaSubscription_deactivate(error->mSubscription) != MAMA_STATUS_OK)
            {
                TARNIX_LOG_ERROR("Symbol %s. Unable to deactivate subscription", orNull(symbol));
                break;
            }
            TARNIX_LOG_FINER("Symbol %s. Subscription deactivated 1", orNull(symbol));
        }
        mamaMsgCallbacks* callbacks = mamaSubscription_getUserCallbacks(error->mSubscription);
        if (callbacks == nullptr)
        {
            TARNIX_LOG_ERROR("Symbol %s. No subscription callbacks set", orNull(symbol));
            break;
        }
        void* userClosure = nullptr;
        if (mamaSubscription_getClosure(error->mSubscription, &userClosure) != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Symbol %s. Unable to retrieve callback closure", orNull(symbol));
            break;
        }
        if (callbacks->onError != nullptr)
            callbacks->onError(error->mSubscription, error->mStatus, nullptr, symbol, userClosure);
    } while (false);
    delete error;
    tarnixBridgeMamaSubscriptionImpl_release(bridge);
}

/* Takes a reported entry out of the list and drops its reference. */
void removeReportedEntry(const char* topic, const trxClient_session_rxMsgDispatchFuncInfo_t* dispatch)
{
    TarnixBridgeSubscription* subscription = static_cast<TarnixBridgeSubscription*>(dispatch->user_p);
    wlock_lock(subscription->mTopicSubscriptionsLock);
    if (!removeEntry(subscription, topic, dispatch->callback_p, dispatch->user_p))
    {
        wlock_unlock(subscription->mTopicSubscriptionsLock);
        TARNIX_LOG_ERROR(
            "Could not remove tarnix subscription from Bridge subscription. tarnixSubscription=%p, topic=%s",
            static_cast<void*>(subscription), topic);
        return;
    }
    if (subscription->mTopicSubscriptions.empty() && !subscription->destroying())
        TARNIX_LOG_FINEST("Tarnix Subscriptions unsubscribed without invoking mamaSubscription_deactivate or "
                          "mamaSubscription_destroy: %p, topic=%s",
                          static_cast<void*>(subscription), topic);
    const bool last = lastEntryGone(subscription);
    wlock_unlock(subscription->mTopicSubscriptionsLock);
    if (last)
    {
        TARNIX_LOG_FINEST("Destroying tarnix bridge subscription %p, topic=%s", static_cast<void*>(subscription),
                          topic);
        releaseQueue(subscription);
    }
    tarnixBridgeMamaSubscriptionImpl_release(subscription);
}

/* Unsubscribes every topic entry; the transport's mSubscriptionsLock is held,
 * so the session cannot go in the middle. Returns the last return code. The
 * library reports each entry gone (or has already). */
trxClient_returnCode_t unsubscribeAll(TarnixBridgeSubscription* subscription, void* correlation)
{
    std::vector<TarnixSubscription> entries;
    wlock_lock(subscription->mTopicSubscriptionsLock);
    if (subscription->mTopicSubscriptions.empty())
    {
        wlock_unlock(subscription->mTopicSubscriptionsLock);
        releaseQueue(subscription);
        return TRXCLIENT_OK;
    }
    try
    {
        entries.assign(subscription->mTopicSubscriptions.begin(), subscription->mTopicSubscriptions.end());
    }
    catch (const std::bad_alloc&)
    {
        wlock_unlock(subscription->mTopicSubscriptionsLock);
        TARNIX_LOG_ERROR("Unable to allocate memory for message node");
        return TRXCLIENT_FAIL;
    }
    wlock_unlock(subscription->mTopicSubscriptionsLock);

    TarnixTransportBridge* transport = subscription->mTransportBridge;
    trxClient_returnCode_t rc = TRXCLIENT_OK;
    for (TarnixSubscription& entry : entries)
    {
        trxClient_opaqueSession_pt session = transport->mSession.load();
        if (session == nullptr)
        {
            /* The session's destruction reports the remaining entries. */
            TARNIX_LOG_WARN("unsubscribing after transport has been destroyed. transport=%p, subscription=%p",
                            static_cast<void*>(transport), static_cast<void*>(subscription));
            break;
        }
        rc = trxClient_session_topicUnsubscribeWithDispatch(session, 0, entry.mTopic.c_str(), &entry.mDispatchInfo,
                                                            correlation);
        if (rc != TRXCLIENT_OK && rc != TRXCLIENT_IN_PROGRESS)
        {
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_WARN, rc, "error while unsubscribing from topic '%s', continuing.",
                                    entry.mTopic.c_str());
            /* An entry the session does not know will never be reported gone. */
            if (rc == TRXCLIENT_FAIL &&
                trxClient_getLastErrorInfo()->subCode == TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND)
                removeReportedEntry(entry.mTopic.c_str(), &entry.mDispatchInfo);
        }
    }
    return rc;
}

/* What OpenMAMA hands over to create a subscription. */
struct CreateArguments
{
    bool wildcard;
    const char* source;
    const char* symbol;
    mamaQueue queue;
    const mamaMsgCallbacks& callbacks;
    mamaSubscription parent;
    void* closure;
};

/* Releases the creation's reference: a creation that does not finish leaves
 * the rest to the destructor. */
struct ReleaseSubscription
{
    void operator()(TarnixBridgeSubscription* subscription) const
    {
        tarnixBridgeMamaSubscriptionImpl_release(subscription);
    }
};
using SubscriptionHold = std::unique_ptr<TarnixBridgeSubscription, ReleaseSubscription>;

TarnixTransportBridge* transportOf(mamaTransport tport)
{
    transportBridge handle = nullptr;
    mama_status status = mamaTransport_getBridgeTransport(tport, &handle);
    if (status != MAMA_STATUS_OK || handle == nullptr)
    {
        TARNIX_LOG_ERROR("Error acquiring transport bridge");
        return nullptr;
    }
    return reinterpret_cast<TarnixTransportBridge*>(handle);
}

/* Keeps OpenMAMA's arguments and the transport's limits, and builds the
 * broker topic; the status is the topic's. */
mama_status takeArguments(TarnixBridgeSubscription* subscription, const CreateArguments& args,
                          TarnixTransportBridge* transport)
{
    mama_status status =
        tarnixTopic_build(nullptr, args.source, args.symbol, args.wildcard, transport, &subscription->mTopic);
    if (args.queue != nullptr)
    {
        void* native = nullptr;
        mamaQueue_getNativeHandle(args.queue, &native);
        subscription->mQueueBridge = static_cast<TarnixQueueBridge*>(native);
    }
    subscription->mMamaSubscription = args.parent;
    subscription->mCallbacks = args.callbacks;
    subscription->mMamaQueue = args.queue;
    subscription->mTransportBridge = transport;
    subscription->mClosure = args.closure;
    subscription->mSource = args.source;
    subscription->mSymbol = args.symbol;
    subscription->mWildcard = args.wildcard;
    subscription->mMaxQueueDepth =
        transport->mBridge_p != nullptr ? transport->mBridge_p->mMaxQueueSize.load() : TARNIX_DEFAULT_MAX_QUEUE_SIZE;
    subscription->mDiscardLog = transport->mDiscardLog.get();
    return status;
}

/* A creation that fails after OpenMAMA would wait for the subscription's
 * initial value: it waits for none, and hears the error on its queue. */
void reportCreateError(TarnixBridgeSubscription* subscription, mama_status status)
{
    mamaSubscription_setRequiresInitial(subscription->mMamaSubscription, 0);
    tarnixBridgeMamaSubscriptionImpl_enqueueError(subscription->mMamaSubscription, subscription, status, false);
}

mama_status rejectTopic(TarnixBridgeSubscription* subscription, mama_status status)
{
    const char* source = orNull(subscription->mSource);
    const char* symbol = orNull(subscription->mSymbol);
    if (!subscription->mWildcard && status == MAMA_STATUS_INVALID_ARG)
    {
        TARNIX_LOG_WARN("Wildcard character used in non-wildcard subscription, source=%s symbol=%s", source, symbol);
        reportCreateError(subscription, MAMA_STATUS_INVALID_ARG);
    }
    else
    {
        TARNIX_LOG_ERROR("Error in building tarnix topic, source=%s symbol=%s", source, symbol);
    }
    return MAMA_STATUS_INVALID_ARG;
}

/* Counts the subscription on its queue, makes its own locks and handles and
 * registers it on the transport. */
mama_status setUp(TarnixBridgeSubscription* subscription, TarnixTransportBridge* transport)
{
    if (subscription->mMamaQueue != nullptr)
    {
        mama_status status = tarnixBridgeMamaQueueImpl_addSubscription(subscription->mQueueBridge, transport);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Unable to add subscription to queue");
            return status;
        }
        subscription->mCountedQueue.store(subscription->mQueueBridge);
    }
    if (!tarnixSynchronismManager_init(&subscription->mSyncManager))
    {
        TARNIX_LOG_ERROR("Unable to initialize synchronism manager");
        return MAMA_STATUS_PLATFORM;
    }
    subscription->mDestroyHandle = destroyHandle_create(subscription);
    if (subscription->mDestroyHandle == nullptr)
    {
        TARNIX_LOG_ERROR("unable to create destroy handle");
        return MAMA_STATUS_PLATFORM;
    }
    subscription->mTopicSubscriptionsLock = wlock_create();
    if (subscription->mTopicSubscriptionsLock == nullptr)
    {
        TARNIX_LOG_ERROR("unable to create lock for TRXC subscription list");
        return MAMA_STATUS_NOMEM;
    }
    mama_status status = tarnixBridgeMamaTransportImpl_addSubscription(transport, subscription);
    if (status != MAMA_STATUS_OK)
        return status;
    subscription->mRegisteredOn = transport;
    return MAMA_STATUS_OK;
}

/* An inbox's topic is dispatched locally only; an asynchronous queue's
 * subscribe asks for a confirmation, any other waits for one. */
uint32_t subscribeFlags(const TarnixBridgeSubscription* subscription, const TarnixTransportBridge* transport)
{
    if (transport->mInboxTarnixSubPrefixLen != 0 &&
        std::strncmp(subscription->mTopic, transport->mInboxTarnixSubPrefix, transport->mInboxTarnixSubPrefixLen) == 0)
        return TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY;
    if (tarnixBridgeMamaQueueImpl_isSubscribeAsync(subscription->mQueueBridge))
        return TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM;
    return TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM;
}

/* Subscribes the topic; the subscription is active once that is done. The
 * status is the subscribe's, or its confirmation's when it waits for one. */
mama_status subscribe(TarnixBridgeSubscription* subscription, TarnixCorrelationTag* tag, uint32_t flags)
{
    const trxClient_session_rxMsgDispatchFuncInfo_t dispatch{
        TRXCLIENT_DISPATCH_TYPE_CALLBACK, tarnixBridgeMamaTransportImpl_onSubscriptionMsg, subscription, nullptr};
    bool subscribed = true;
    trxClient_returnCode_t rc =
        tarnixBridgeMamaSubscriptionImpl_subscribeTopic(subscription, flags, subscription->mTopic, &dispatch,
                                                        tarnixSynchronismManager_getCorrelation(tag), &subscribed);
    mama_status status = tarnixSynchronismManager_processSyncResult(&subscription->mSyncManager, tag, rc);
    if (status == MAMA_STATUS_OK && subscribed)
        subscription->advance(TarnixSubscriptionState::Active);
    return status;
}

/* Gap recovery as the transport allows, and the initial-value request
 * OpenMAMA sends next from this thread goes with this subscription. */
void prepareRequests(TarnixBridgeSubscription* subscription, const TarnixTransportBridge* transport)
{
    mamaSubscription parent = subscription->mMamaSubscription;
    if (!transport->mAllowRecoverGaps)
        mamaSubscription_setRecoverGaps(parent, 0);
    int requiresInitial = 0;
    if (mamaSubscription_getRequiresInitial(parent, &requiresInitial) == MAMA_STATUS_OK && requiresInitial == 1)
        tarnixBridgeMamaSubscriptionImpl_setCurrent(subscription);
}

mama_status create(const CreateArguments& args, mamaTransport tport, subscriptionBridge* result)
{
    TARNIX_LOG_FINEST("Args: source=%s symbol=%s", orNull(args.source), orNull(args.symbol));
    if (result == nullptr || args.parent == nullptr || tport == nullptr)
    {
        TARNIX_LOG_ERROR("Error, received null argument.");
        return MAMA_STATUS_NULL_ARG;
    }
    TarnixTransportBridge* transport = transportOf(tport);
    if (transport == nullptr)
        return MAMA_STATUS_INVALID_ARG;
    SubscriptionHold subscription(new (std::nothrow) TarnixBridgeSubscription());
    if (subscription == nullptr)
        return MAMA_STATUS_NOMEM;

    mama_status status = takeArguments(subscription.get(), args, transport);
    if (status != MAMA_STATUS_OK)
        return rejectTopic(subscription.get(), status);
    mamaSubscriptionType type = MAMA_SUBSC_TYPE_NORMAL;
    mamaSubscription_getSubscriptionType(args.parent, &type);
    /* Basic ones too: an inbox is basic, and the cache's answers to it must
     * not reach every other subscription of the topic. */
    subscription->mCacheRequestId = nextCacheRequestId();
    status = setUp(subscription.get(), transport);
    if (status != MAMA_STATUS_OK)
        return status;

    const uint32_t flags = subscribeFlags(subscription.get(), transport);
    TARNIX_LOG_FINEST("Using subscribeFlags=%d", static_cast<int>(flags));
    TarnixCorrelationTag* tag = tarnixSynchronismManager_createCorrelationTag(
        &subscription->mSyncManager, onSubscribeResult, sizeof(SubscribeRequest));
    if (tag == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for correlation tag");
        return MAMA_STATUS_NOMEM;
    }
    new (tarnixSynchronismManager_getTagData(tag)) SubscribeRequest{args.parent, transport, subscription.get()};
    status = subscribe(subscription.get(), tag, flags);
    if (status != MAMA_STATUS_OK)
    {
        /* A basic subscription is not kept inactive: it goes. */
        reportCreateError(subscription.get(), status);
        if (type == MAMA_SUBSC_TYPE_BASIC)
            return status;
        subscription->advance(TarnixSubscriptionState::Inactive);
    }
    prepareRequests(subscription.get(), transport);
    *result = reinterpret_cast<subscriptionBridge>(subscription.release());
    return MAMA_STATUS_OK;
}

} // namespace

trxClient_returnCode_t tarnixBridgeMamaSubscriptionImpl_subscribeTopic(
    TarnixBridgeSubscription* subscription, uint32_t flags, const char* topic,
    const trxClient_session_rxMsgDispatchFuncInfo_t* dispatch, void* correlation, bool* subscribed)
{
    *subscribed = true;
    wlock_lock(subscription->mTopicSubscriptionsLock);
    if (subscription->destroying())
    {
        *subscribed = false;
        wlock_unlock(subscription->mTopicSubscriptionsLock);
        return TRXCLIENT_OK;
    }
    try
    {
        subscription->mTopicSubscriptions.push_front(TarnixSubscription{topic, flags, *dispatch});
    }
    catch (const std::bad_alloc&)
    {
        wlock_unlock(subscription->mTopicSubscriptionsLock);
        TARNIX_LOG_ERROR("Unable to allocate memory for tarnix subscription, topic=%s", topic);
        return TRXCLIENT_FAIL;
    }
    /* The library may deliver to the entry until it reports it gone. */
    tarnixBridgeMamaSubscriptionImpl_retain(subscription);
    wlock_unlock(subscription->mTopicSubscriptionsLock);

    /* The library keeps its own copy of the dispatch description. */
    trxClient_session_rxMsgDispatchFuncInfo_t info = *dispatch;
    trxClient_returnCode_t rc = trxClient_session_topicSubscribeWithDispatch(
        subscription->mTransportBridge->mSession.load(), flags, topic, &info, correlation);
    if (rc == TRXCLIENT_OK || rc == TRXCLIENT_IN_PROGRESS)
        return rc;

    /* Keep the failure's details for the caller across our own locking. */
    const trxClient_errorInfo_t failure = *trxClient_getLastErrorInfo();
    wlock_lock(subscription->mTopicSubscriptionsLock);
    const bool removed = removeEntry(subscription, topic, dispatch->callback_p, dispatch->user_p);
    wlock_unlock(subscription->mTopicSubscriptionsLock);
    if (removed)
        TARNIX_LOG_FINEST(
            "Removed tarnix subscription from Bridge subscription after "
            "trxClient_session_topicSubscribeWithDispatch failure[rc=%d]. tarnixSubscription=%p, topic=%s",
            rc, static_cast<void*>(subscription), topic);
    else
        TARNIX_LOG_ERROR("Could not remove tarnix subscription from Bridge subscription after "
                         "trxClient_session_topicSubscribeWithDispatch failure[rc=%d]. tarnixSubscription=%p, topic=%s",
                         rc, static_cast<void*>(subscription), topic);
    if (removed)
        tarnixBridgeMamaSubscriptionImpl_release(subscription);
    *trxClient_getLastErrorInfo() = failure;
    return rc;
}

trxClient_returnCode_t
tarnixBridgeMamaSubscriptionImpl_unsubscribeTopic(TarnixBridgeSubscription* subscription, const char* topic,
                                                  const trxClient_session_rxMsgDispatchFuncInfo_t* dispatch)
{
    trxClient_opaqueSession_pt session = subscription->mTransportBridge->mSession.load();
    if (session == nullptr)
        return TRXCLIENT_OK; /* the session's destruction reports the entry */
    /* The library reports the entry gone (onTopicDispatchDestroy), which
     * takes it out of mTopicSubscriptions. */
    trxClient_session_rxMsgDispatchFuncInfo_t info = *dispatch;
    return trxClient_session_topicUnsubscribeWithDispatch(session, 0, topic, &info, nullptr);
}

mama_status tarnixBridgeMamaSubscriptionImpl_enqueueError(mamaSubscription subscription,
                                                          TarnixBridgeSubscription* bridgeSubscription,
                                                          mama_status status, bool deactivate)
{
    if (bridgeSubscription->destroying())
    {
        TARNIX_LOG_FINEST("While Subscription is destroying Subscription Error : %s is Discarded",
                          mamaStatus_stringForStatus(status));
        return MAMA_STATUS_OK;
    }
    const char* symbol = nullptr;
    mama_status result = mamaSubscription_getSymbol(subscription, &symbol);
    if (result != MAMA_STATUS_OK)
        return result;
    ErrorClosure* closure = new (std::nothrow) ErrorClosure{subscription, bridgeSubscription, status, deactivate};
    if (closure == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for error closure");
        return MAMA_STATUS_NOMEM;
    }
    tarnixBridgeMamaSubscriptionImpl_retain(bridgeSubscription);
    result = tarnixBridgeMamaQueueImpl_enqueueOwned(bridgeSubscription->mQueueBridge, onErrorEvent, discardErrorEvent,
                                                    closure);
    if (result != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("Symbol %s. Unable to enqueue error callback for delivery", orNull(symbol));
        delete closure;
        tarnixBridgeMamaSubscriptionImpl_release(bridgeSubscription);
    }
    return result;
}

extern "C" void
tarnixBridgeMamaSubscriptionImpl_onTopicDispatchDestroy(const char* topic,
                                                        trxClient_session_rxMsgDispatchFuncInfo_t* dispatch)
{
    if (dispatch == nullptr || dispatch->user_p == nullptr || topic == nullptr)
        return;
    removeReportedEntry(topic, dispatch);
}

void tarnixBridgeMamaSubscriptionImpl_retain(TarnixBridgeSubscription* subscription)
{
    subscription->mRefs.fetch_add(1, std::memory_order_relaxed);
}

void tarnixBridgeMamaSubscriptionImpl_release(TarnixBridgeSubscription* subscription)
{
    if (subscription->mRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete subscription;
}

TarnixBridgeSubscription::~TarnixBridgeSubscription()
{
    releaseQueue(this);
    if (mDestroyHandle != nullptr)
        destroyHandle_destroyOwner(mDestroyHandle);
    tarnixSynchronismManager_destroy(&mSyncManager);
    if (mTopicSubscriptionsLock != nullptr)
        wlock_destroy(mTopicSubscriptionsLock);
    mTopicSubscriptions.clear();
    /* May release a destroyed transport: nothing of it is used after. */
    if (mRegisteredOn != nullptr)
        tarnixBridgeMamaTransportImpl_removeSubscription(mRegisteredOn, this);
    std::free(mTopic);
}

bool TarnixBridgeSubscription::advance(TarnixSubscriptionState next)
{
    TarnixSubscriptionState current = mState.load();
    do
    {
        /* Forward only; Active and Inactive are both reached from Creating. */
        const bool fromCreating = current == TarnixSubscriptionState::Creating;
        if (current >= next || (next == TarnixSubscriptionState::Inactive && !fromCreating))
            return false;
    } while (!mState.compare_exchange_weak(current, next));
    return true;
}

void tarnixBridgeMamaSubscriptionImpl_setCurrent(TarnixBridgeSubscription* subscription)
{
    void** slot = tarnixBridgeTls_get();
    if (slot == nullptr)
    {
        TARNIX_LOG_ERROR("Could not access per-thread data to store tarnix subscription");
        return;
    }
    *slot = subscription;
}

TarnixBridgeSubscription* tarnixBridgeMamaSubscriptionImpl_getCurrent(void)
{
    void** slot = tarnixBridgeTls_get();
    if (slot == nullptr)
    {
        TARNIX_LOG_ERROR("Could not access per-thread data to retrieve tarnix subscription");
        return nullptr;
    }
    TARNIX_LOG_FINEST("Tarnix subscription retrieved from threadData_p=%p, subscription=%p", static_cast<void*>(slot),
                      *slot);
    return static_cast<TarnixBridgeSubscription*>(*slot);
}

void tarnixBridgeMamaSubscriptionImpl_clearCurrent(void)
{
    void** slot = tarnixBridgeTls_get();
    if (slot == nullptr)
    {
        TARNIX_LOG_ERROR("Could not access per-thread data to clear tarnix subscription");
        return;
    }
    *slot = nullptr;
}

#define TARNIX_SUBSCRIPTION_NOT_IMPLEMENTED(level)                                                                     \
    do                                                                                                                 \
    {                                                                                                                  \
        TARNIX_LOG(level, "not implemented by this bridge");                                                           \
        return MAMA_STATUS_NOT_IMPLEMENTED;                                                                            \
    } while (0)

extern "C"
{

    mama_status tarnixBridgeMamaSubscription_create(subscriptionBridge* result, const char* source, const char* symbol,
                                                    mamaTransport tport, mamaQueue queue, mamaMsgCallbacks callbacks,
                                                    mamaSubscription subscription, void* closure)
    {
        return create({false, source, symbol, queue, callbacks, subscription, closure}, tport, result);
    }

    mama_status tarnixBridgeMamaSubscription_createWildCard(subscriptionBridge* result, const char* source,
                                                            const char* symbol, mamaTransport tport, mamaQueue queue,
                                                            mamaMsgCallbacks callbacks, mamaSubscription subscription,
                                                            void* closure)
    {
        return create({true, source, symbol, queue, callbacks, subscription, closure}, tport, result);
    }

    mama_status tarnixBridgeMamaSubscription_mute(subscriptionBridge handle)
    {
        TarnixBridgeSubscription* subscription = reinterpret_cast<TarnixBridgeSubscription*>(handle);
        if (subscription == nullptr)
            return MAMA_STATUS_NULL_ARG;
        subscription->advance(TarnixSubscriptionState::Muted);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaSubscription_muteCurrentTopic(subscriptionBridge handle)
    {
        return tarnixBridgeMamaSubscription_mute(handle);
    }

    mama_status tarnixBridgeMamaSubscription_destroy(subscriptionBridge handle)
    {
        TarnixBridgeSubscription* subscription = reinterpret_cast<TarnixBridgeSubscription*>(handle);
        if (subscription == nullptr)
            return MAMA_STATUS_NULL_ARG;
        subscription->advance(TarnixSubscriptionState::Destroying);

        TarnixTransportBridge* transport = subscription->mTransportBridge;
        {
            std::lock_guard<std::mutex> lock(transport->mSubscriptionsLock);
            TARNIX_LOG_FINEST("Using subscribeFlags=%d", 0);
            /* Without a session every entry has been, or is being, reported gone
         * by the session's destruction. */
            trxClient_returnCode_t rc = unsubscribeAll(subscription, nullptr);
            if (rc != TRXCLIENT_OK)
                TARNIX_LOG_FINE("Tarnix unsubscribe failed, rc=%d", rc);
        }

        /* OpenMAMA hears of it now, as from any bridge that destroys at once: it
     * then frees its subscription and whatever that holds on the transport
     * (an application may destroy the transport next). What is still queued
     * for this subscription, and the library's last deliveries to it, see
     * that it is destroying and drop; the memory goes with the last
     * reference. */
        subscription->advance(TarnixSubscriptionState::Destroyed);
        if (subscription->mCallbacks.onDestroy != nullptr)
            subscription->mCallbacks.onDestroy(subscription->mMamaSubscription, subscription->mClosure);
        tarnixBridgeMamaSubscriptionImpl_release(subscription);
        return MAMA_STATUS_OK;
    }

    int tarnixBridgeMamaSubscription_isValid(subscriptionBridge handle)
    {
        TarnixBridgeSubscription* subscription = reinterpret_cast<TarnixBridgeSubscription*>(handle);
        return subscription != nullptr && subscription->state() == TarnixSubscriptionState::Active ? 1 : 0;
    }

    int tarnixBridgeMamaSubscription_hasWildcards(subscriptionBridge handle)
    {
        TarnixBridgeSubscription* subscription = reinterpret_cast<TarnixBridgeSubscription*>(handle);
        return subscription != nullptr && tarnixTopic_hasWildcard(subscription->mTopic) ? 1 : 0;
    }

    mama_status tarnixBridgeMamaSubscription_getPlatformError(subscriptionBridge, void**)
    {
        TARNIX_SUBSCRIPTION_NOT_IMPLEMENTED(MAMA_LOG_LEVEL_FINEST);
    }

    int tarnixBridgeMamaSubscription_isTportDisconnected(subscriptionBridge handle)
    {
        if (handle == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_LOG_FINEST("not implemented by this bridge");
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

    mama_status tarnixBridgeMamaSubscription_setTopicClosure(subscriptionBridge, void*)
    {
        TARNIX_SUBSCRIPTION_NOT_IMPLEMENTED(MAMA_LOG_LEVEL_FINER);
    }

} // extern "C"
