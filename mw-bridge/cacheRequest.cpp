#include "cacheRequest.h"
#include "transportStats.h"

#include "bridgeFunctions.h"
#include "clientLibrary.h"
#include "inbox.h"
#include "logging.h"
#include "publisher.h"
#include "queue.h"
#include "subscription.h"
#include "synchronism.h"
#include "topic.h"
#include "transport.h"
#include "transportReceive.h"

#include <mama/integration/msg.h>
#include <mama/integration/queue.h>
#include <mama/integration/subscription.h>
#include <mama/msgstatus.h>
#include <mama/msgtype.h>
#include <mama/reservedfields.h>
#include <mama/subscriptiontype.h>
#include <mama/subscmsgtype.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace
{

constexpr uint32_t kCacheRequestFlags =
    TRXCACHE_REQUEST_FLAGS_NO_SUBSCRIBE | TRXCACHE_REQUEST_FLAGS_TOPIC_DISPATCH | TRXCACHE_REQUEST_FLAGS_NOWAIT_REPLY;
constexpr uint32_t kSubscribeWait = 2;
constexpr uint32_t kSubscribeAsync = 16;
constexpr uint32_t kSubscribeLocalOnly = 8;
constexpr char kTarnixPayloadId = '1';

trxClient_rxMsgCallback_returnCode_t dropMessage(trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void*)
{
    return TRXCLIENT_CALLBACK_OK;
}

TarnixTransportBridge* transportOf(TarnixPublisherBridge* publisher)
{
    transportBridge handle = nullptr;
    if (mamaTransport_getBridgeTransport(publisher->mTransport, &handle) != MAMA_STATUS_OK)
        return nullptr;
    return reinterpret_cast<TarnixTransportBridge*>(handle);
}

void copyTopic(char* out, const char* text)
{
    std::snprintf(out, TARNIX_TOPIC_BUFFER, "%s", text != nullptr ? text : "");
}

/* Publishes the request itself. With a cache session the publisher's answer
 * is not wanted (the cache answers): it goes to the discard topic. */
mama_status postSend(TarnixTransportBridge* transport, TarnixCacheRequest* request)
{
    const char* caller = "tarnixBridgeMamaPublisher_postSendFromInboxByIndex";
    if (transport->mCacheSession != nullptr)
    {
        if (!transport->mSendSubReq)
            return MAMA_STATUS_OK;
        char replyTo[TARNIX_TOPIC_BUFFER];
        const int written = std::snprintf(replyTo, sizeof(replyTo), "%sdiscard", transport->mInboxTarnixReplyToPrefix);
        if (written < 0 || static_cast<size_t>(written) >= sizeof(replyTo))
        {
            TARNIX_LOG_ERROR("unable to build replyTo: %d", written);
            return MAMA_STATUS_PLATFORM;
        }
        return tarnixBridgeMamaTransportImpl_sendMessage(transport, request->mSubject, replyTo, request->mRequest,
                                                         false, caller);
    }
    const mama_status reachable =
        tarnixBridgeMamaTransportImpl_checkInboxReachable(transport, request->mSubject, caller);
    if (reachable != MAMA_STATUS_OK)
        return reachable;
    return tarnixBridgeMamaTransportImpl_sendMessage(transport, request->mSubject, request->mReplyTopic,
                                                     request->mRequest, false, caller);
}

void logSendFailure(MamaLogLevel level, trxClient_returnCode_t rc)
{
    const trxClient_errorInfo_t* info = trxClient_getLastErrorInfo();
    if (rc == TRXCLIENT_FAIL && info != nullptr)
        TARNIX_LOG(level,
                   "tarnixBridgeMamaPublisher_sendFromInboxByIndex(): Error Sending Cache Request returnCode=%s; "
                   "subCode=%s, responseCode=%d, errorStr=%s",
                   trxClient_returnCodeToString(rc), trxClient_subCodeToString(info->subCode), info->responseCode,
                   info->errorStr);
    else
        TARNIX_LOG(level, "tarnixBridgeMamaPublisher_sendFromInboxByIndex(): Error Sending Cache Request returnCode=%s",
                   trxClient_returnCodeToString(rc));
}

trxClient_session_rxMsgDispatchFuncInfo_t answerDispatch(TarnixBridgeSubscription* inbox)
{
    return {TRXCLIENT_DISPATCH_TYPE_CALLBACK, tarnixBridgeMamaTransportImpl_onCacheAnswerMsg, inbox, nullptr};
}

/* The message type the cache's answer is delivered with: what a publisher
 * answering the request marks its image with. Dictionaries keep theirs. */
int32_t answerType(const TarnixCacheRequest* request)
{
    const bool book = request->mSubscriptionType == MAMA_SUBSC_TYPE_BOOK;
    switch (request->mMsgType)
    {
        case MAMA_SUBSC_SUBSCRIBE:
        case MAMA_SUBSC_SNAPSHOT: return book ? MAMA_MSG_TYPE_BOOK_INITIAL : MAMA_MSG_TYPE_INITIAL;
        case MAMA_SUBSC_DQ_UNKNOWN: return book ? MAMA_MSG_TYPE_BOOK_RECAP : MAMA_MSG_TYPE_RECAP;
        default: return -1;
    }
}

/* The cache answers on the data topic, to the inbox's request identifier:
 * while a request for a topic is outstanding, the inbox has a local dispatch
 * entry for it. One entry per topic however many requests wait on it.
 * *destroying is set when the inbox is going (nothing done). */
mama_status addAnswerTopic(TarnixBridgeSubscription* inbox, const char* topic, bool* destroying)
{
    *destroying = false;
    wlock_lock(inbox->mTopicSubscriptionsLock);
    if (inbox->destroying())
    {
        *destroying = true;
        wlock_unlock(inbox->mTopicSubscriptionsLock);
        return MAMA_STATUS_OK;
    }
    mama_status status = MAMA_STATUS_OK;
    int& waiting = inbox->mCacheTopics[topic];
    if (++waiting == 1)
    {
        const trxClient_session_rxMsgDispatchFuncInfo_t dispatch = answerDispatch(inbox);
        bool added = false;
        trxClient_returnCode_t rc = tarnixBridgeMamaSubscriptionImpl_subscribeTopic(inbox, kSubscribeLocalOnly, topic,
                                                                                    &dispatch, nullptr, &added);
        if (rc != TRXCLIENT_OK && rc != TRXCLIENT_IN_PROGRESS)
        {
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_WARN, rc, "tarnixBridgeMamaSubscription_subscribe() failed");
            inbox->mCacheTopics.erase(topic);
            status = MAMA_STATUS_PLATFORM;
        }
        else
        {
            TARNIX_LOG_FINE("tarnixBridgeMamaPublisher_sendFromInboxByIndex(): Adding topic '%s' to local dispatch",
                            topic);
        }
    }
    wlock_unlock(inbox->mTopicSubscriptionsLock);
    return status;
}

/* A request for topic has ended: its answers, if any, have been dispatched.
 * The last one takes the local entry out again, so the inbox never sees the
 * topic's live traffic go by. */
void releaseAnswerTopic(TarnixBridgeSubscription* inbox, const char* topic)
{
    wlock_lock(inbox->mTopicSubscriptionsLock);
    auto it = inbox->mCacheTopics.find(topic);
    if (!inbox->destroying() && it != inbox->mCacheTopics.end() && --it->second == 0)
    {
        inbox->mCacheTopics.erase(it);
        const trxClient_session_rxMsgDispatchFuncInfo_t dispatch = answerDispatch(inbox);
        trxClient_returnCode_t rc = tarnixBridgeMamaSubscriptionImpl_unsubscribeTopic(inbox, topic, &dispatch);
        if (rc != TRXCLIENT_OK && rc != TRXCLIENT_IN_PROGRESS)
            TARNIX_LOG_WARN("Failed to unsubscribe from topic '%s' - rc=%s", topic, trxClient_returnCodeToString(rc));
    }
    wlock_unlock(inbox->mTopicSubscriptionsLock);
}

/* After an accepted access check: the cache request, or the request itself. */
mama_status askCache(TarnixTransportBridge* transport, TarnixCacheRequest* request, bool* sendRequest)
{
    *sendRequest = false;
    TarnixBridgeSubscription* subscription = request->mSubscription;
    mama_status status = tarnixBridgeMamaTransportImpl_getCacheSession(transport);
    if (status != MAMA_STATUS_OK)
        return status;

    /* Every answer goes to the inbox the request came from, as a publisher's
     * answer would: OpenMAMA's image request hears its reply there, and the
     * data subscriptions of the topic drop it by its identifier. */
    bool destroying = false;
    status = addAnswerTopic(subscription, request->mCacheTopic, &destroying);
    if (destroying || status != MAMA_STATUS_OK)
        return status;
    subscription->mCacheAnswerType.store(answerType(request));

    wlock_lock(subscription->mTopicSubscriptionsLock);
    if (subscription->destroying())
    {
        wlock_unlock(subscription->mTopicSubscriptionsLock);
        return MAMA_STATUS_OK;
    }
    /* The request holds the subscription until its completion event. */
    destroyHandle_incrementRefCount(subscription->mDestroyHandle);
    tarnixBridgeMamaSubscriptionImpl_retain(subscription);
    wlock_unlock(subscription->mTopicSubscriptionsLock);

    trxClient_returnCode_t rc = trxClient_cacheSession_sendCacheRequest(
        transport->mCacheSession, request->mCacheTopic, subscription->mCacheRequestId, transport->mCacheEventCallback,
        subscription->mDestroyHandle, kCacheRequestFlags, 0);
    if (rc == TRXCLIENT_IN_PROGRESS)
    {
        *sendRequest = transport->mSendSubReq;
        return MAMA_STATUS_OK;
    }
    releaseAnswerTopic(subscription, request->mCacheTopic);
    status = MAMA_STATUS_PLATFORM;
    if (rc == TRXCLIENT_WOULD_BLOCK || rc == TRXCLIENT_NOT_READY)
    {
        logSendFailure(MAMA_LOG_LEVEL_FINE, rc);
        status = MAMA_STATUS_OK;
    }
    else if (rc == TRXCLIENT_FAIL)
    {
        const bool cancelled = trxClient_getLastErrorInfo()->subCode == TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED;
        logSendFailure(cancelled ? MAMA_LOG_LEVEL_FINE : MAMA_LOG_LEVEL_ERROR, rc);
        status = cancelled ? MAMA_STATUS_OK : MAMA_STATUS_PLATFORM;
    }
    else
    {
        logSendFailure(MAMA_LOG_LEVEL_ERROR, rc);
    }
    destroyHandle_removeReference(subscription->mDestroyHandle);
    tarnixBridgeMamaSubscriptionImpl_release(subscription);
    return status;
}

mama_status continuation(bool asynchronous, TarnixSynchronismContext* context)
{
    TarnixCacheRequest* request = static_cast<TarnixCacheRequest*>(tarnixSynchronismContext_getTagData(context));
    TarnixBridgeSubscription* subscription = request->mSubscription;
    TarnixTransportBridge* transport = subscription->mTransportBridge;
    if (tarnixSynchronismContext_isCancelled(context))
    {
        mamaMsg_destroy(request->mRequest);
        request->mRequest = nullptr;
        return MAMA_STATUS_OK;
    }
    const int completion = tarnixSynchronismContext_getReturnCode(context);
    mama_status result = MAMA_STATUS_OK;
    bool sendRequest = false;
    trxClient_session_rxMsgDispatchFuncInfo_t check{TRXCLIENT_DISPATCH_TYPE_CALLBACK, dropMessage, nullptr, nullptr};

    if (completion != TRXCLIENT_OK)
    {
        const bool refused = trxClient_getLastErrorInfo()->subCode == TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED;
        const MamaLogLevel level = refused ? MAMA_LOG_LEVEL_NORMAL : MAMA_LOG_LEVEL_WARN;
        TARNIX_LOG_CLIENT_ERROR(level, static_cast<trxClient_returnCode_t>(completion),
                                "Error during subscription ACL check");
        result = refused ? tarnixCacheRequest_deliverStatus(transport, subscription, MAMA_MSG_STATUS_NOT_ENTITLED, true)
                         : MAMA_STATUS_PLATFORM;
    }
    else
    {
        trxClient_opaqueSession_pt session = transport->mSession.load();
        trxClient_returnCode_t rc =
            session != nullptr
                ? trxClient_session_topicUnsubscribeWithDispatch(session, 0, request->mCacheTopic, &check, nullptr)
                : TRXCLIENT_FAIL;
        if (rc != TRXCLIENT_OK && rc != TRXCLIENT_IN_PROGRESS)
            TARNIX_LOG_WARN("Failed to unsubscribe from topic '%s' - rc=%s", request->mCacheTopic,
                            trxClient_returnCodeToString(rc));
        const int32_t type = request->mSubscriptionType;
        if ((type == MAMA_SUBSC_TYPE_NORMAL || type == MAMA_SUBSC_TYPE_BOOK || type == MAMA_SUBSC_TYPE_DICTIONARY) &&
            transport->mUseTrxCache)
            result = askCache(transport, request, &sendRequest);
        else
            sendRequest = true;
        if (result == MAMA_STATUS_OK && sendRequest)
            result = postSend(transport, request);
    }

    mamaMsg_destroy(request->mRequest);
    request->mRequest = nullptr;
    if (asynchronous && result != MAMA_STATUS_OK)
        tarnixBridgeMamaSubscriptionImpl_enqueueError(subscription->mMamaSubscription, subscription, result, false);
    return result;
}

uint64_t takeCacheRequestId(TarnixPublisherBridge* publisher)
{
    if (publisher->mCacheRequestId != 0)
        return publisher->mCacheRequestId;
    TarnixBridgeSubscription* current = tarnixBridgeMamaSubscriptionImpl_getCurrent();
    if (current == nullptr)
    {
        TARNIX_LOG_FINER("Unable to get subscription associated with the initial/recap request for TrxCache. "
                         "Using CacheRequestId=0.");
        return 0;
    }
    tarnixBridgeMamaSubscriptionImpl_clearCurrent();
    publisher->mCacheRequestId = current->mCacheRequestId;
    return publisher->mCacheRequestId;
}

/* A bridge-built status message, queued for one subscription. */
struct StatusEvent
{
    mamaMsgStatus mStatus;
    TarnixBridgeSubscription* mSubscription;
    TarnixTransportBridge* mTransport;
    bool mCopyMode;
};

/* Moves or copies tmp's payload into the reusable message. False on failure
 * (logged); tmp is destroyed either way. */
bool copyInto(const StatusEvent& event, mamaMsg reusable, mamaMsg tmp, char payloadId)
{
    TarnixBridgeSubscription* subscription = event.mSubscription;
    const char* statusText = mamaMsgStatus_stringForStatus(event.mStatus);
    const char* source = subscription->mSource != nullptr ? subscription->mSource : "";
    const char* symbol = subscription->mSymbol != nullptr ? subscription->mSymbol : "";
    mamaMsgImpl_setMessageOwner(reusable, 1);
    bool moved = false;
    msgBridge reusableBridge = nullptr;
    mamaMsgImpl_getBridgeMsg(reusable, &reusableBridge);
    char reusableId = '\0';
    msgPayload reusablePayload = nullptr;
    const bool hasPayload = mamaMsgImpl_getPayload(reusable, &reusablePayload) == MAMA_STATUS_OK &&
                            reusablePayload != nullptr &&
                            mamaMsgImpl_getPayloadId(reusable, &reusableId) == MAMA_STATUS_OK;
    if (reusableBridge == nullptr || !hasPayload || reusableId != payloadId)
    {
        if (reusableBridge == nullptr)
        {
            mamaTransport tport = event.mTransport->mTransport.load();
            mamaMsgImpl_setBridgeImpl(reusable, tport != nullptr ? mamaTransportImpl_getBridgeImpl(tport) : nullptr);
        }
        else if (hasPayload)
        {
            mamaMsgImpl_setPayload(reusable, nullptr, 0);
            mamaMsgImpl_setPayloadBridge(reusable, event.mTransport->mPayloadBridge);
        }
        msgPayload payload = nullptr;
        mama_status status = mamaMsgImpl_getPayload(tmp, &payload);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Error getting payload from built status dispatch message[%s] for source='%s', "
                             "symbol='%s', status=[%d] %s",
                             statusText, source, symbol, status, mamaStatus_stringForStatus(status));
            mamaMsg_destroy(tmp);
            return false;
        }
        status = mamaMsgImpl_setPayload(reusable, payload, 0);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Error creating re-usable payload for status dispatch message[%s] for source='%s', "
                             "symbol='%s', status=[%d] %s",
                             statusText, source, symbol, status, mamaStatus_stringForStatus(status));
            mamaMsg_destroy(tmp);
            return false;
        }
        mamaMsgImpl_setMessageOwner(tmp, 0);
        status = mamaMsgImpl_setPayload(tmp, nullptr, 1);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Error releasing payload from src status dispatch message[%s] for source='%s', "
                             "symbol='%s', src=%p,payload=%p, status=[%d] %s",
                             statusText, source, symbol, static_cast<void*>(tmp), payload, status,
                             mamaStatus_stringForStatus(status));
            mamaMsg_destroy(tmp);
            return false;
        }
        moved = true;
    }
    mama_status applied = moved ? MAMA_STATUS_OK : mamaMsg_applyMsg(reusable, tmp);
    mamaMsgImpl_setMessageOwner(reusable, 0);
    mamaMsg_destroy(tmp);
    if (applied != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("Could not copy fields from status dispatch event message. status=%s",
                         mamaStatus_stringForStatus(applied));
        return false;
    }
    return true;
}

/* The status message, built with the transport's payload bridge; null on
 * failure (logged). */
mamaMsg newStatusMsg(const StatusEvent& event, char* payloadId)
{
    mamaMsg tmp = nullptr;
    mama_status status = mamaMsg_createForPayloadBridge(&tmp, event.mTransport->mPayloadBridge);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("could not create message. status=%s", mamaStatus_stringForStatus(status));
        return nullptr;
    }
    mamaMsgImpl_getPayloadId(tmp, payloadId);
    if (mama_getLogLevel() >= MAMA_LOG_LEVEL_FINEST)
        TARNIX_LOG_FINEST(
            "Created internal Bridge Status event msg for payload '%c', with event mode %s, for status %s", *payloadId,
            event.mCopyMode ? "copy" : "buffer", mamaMsgStatus_stringForStatus(event.mStatus));
    status = mamaMsgImpl_setStatus(tmp, event.mStatus);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("Error setting the message status of a cache event message. status=%s",
                         mamaStatus_stringForStatus(status));
        mamaMsg_destroy(tmp);
        return nullptr;
    }
    status = mamaMsg_addI32(tmp, MamaFieldMsgStatus.mName, MamaFieldMsgStatus.mFid, event.mStatus);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("Error setting the message status field of a cache event message. status=%s",
                         mamaStatus_stringForStatus(status));
        mamaMsg_destroy(tmp);
        return nullptr;
    }
    return tmp;
}

/* Hands tmp over for decoding: its fields copied into the reusable message
 * (copy mode, a payload other than tarnixmsg; tmp is destroyed), or its
 * serialized bytes (tmp is kept until they are decoded). False on failure
 * (logged; tmp destroyed). */
bool takeStatusMsg(const StatusEvent& event, mamaMsg reusable, mamaMsg tmp, char payloadId, const void** buffer,
                   mama_size_t* size)
{
    if (event.mCopyMode && payloadId != kTarnixPayloadId)
        return copyInto(event, reusable, tmp, payloadId);
    mama_status status = mamaMsg_getByteBuffer(tmp, buffer, size);
    if (status == MAMA_STATUS_OK && *buffer != nullptr && *size != 0)
        return true;
    TARNIX_LOG_ERROR("Could not get byte buffer from cache event message. status=%s",
                     mamaStatus_stringForStatus(status));
    mamaMsg_destroy(tmp);
    return false;
}

/* Decodes the bytes, if any, into the reusable message and destroys tmp,
 * whose bytes they are. */
bool decodeStatusMsg(mamaMsg reusable, mamaMsg tmp, const void* buffer, mama_size_t size)
{
    /* The tarnixmsg payload keeps no reference to the bytes it decoded. */
    mama_status status = MAMA_STATUS_OK;
    TarnixMsgBridge* bridgeMsg = nullptr;
    const TarnixDecodeResult decoded =
        tarnixBridgeMamaTransportImpl_decode(reusable, buffer, static_cast<uint32_t>(size), &status, &bridgeMsg);
    if (buffer != nullptr)
        mamaMsg_destroy(tmp);
    if (decoded == TarnixDecodeResult::NotDecoded)
    {
        TARNIX_LOG_ERROR("Error from calling mamaMsg_setMsgBuffer. Failed. status=[%d] %s tmpMsg=%p buf_p=%p "
                         "bufSize=%zu",
                         status, mamaStatus_stringForStatus(status), static_cast<void*>(tmp), buffer,
                         static_cast<size_t>(size));
        return false;
    }
    if (decoded == TarnixDecodeResult::NoBridgeMessage)
    {
        TARNIX_LOG_ERROR("Error getting bridge message from mamaMsg. Has the message already been destroyed? "
                         "status=%s",
                         mamaStatus_stringForStatus(status));
        return false;
    }
    return true;
}

void handleStatusEvent(const StatusEvent& event)
{
    TarnixBridgeSubscription* subscription = event.mSubscription;
    if (subscription->muted())
    {
        TARNIX_LOG_FINEST("muted - not queueing update for topic %s", subscription->mTopic);
        return;
    }
    mamaMsg reusable = mamaQueueImpl_getMsg(subscription->mMamaQueue);
    if (reusable == nullptr)
    {
        TARNIX_LOG_ERROR("Error from calling mamaQueueImpl_getMsg.Could not get cached mamaMsg from event queue.");
        return;
    }
    if (event.mTransport->mPayloadBridge == nullptr)
    {
        TARNIX_LOG_ERROR("Error native transport does not have payload bridge to generate event response message.");
        return;
    }
    char payloadId = '\0';
    mamaMsg tmp = newStatusMsg(event, &payloadId);
    const void* buffer = nullptr;
    mama_size_t size = 0;
    if (tmp == nullptr || !takeStatusMsg(event, reusable, tmp, payloadId, &buffer, &size) ||
        !decodeStatusMsg(reusable, tmp, buffer, size))
        return;
    if (!subscription->mWildcard)
        TARNIX_LOG_ERROR("Received cache event message on non-wildcard subscription; source: %s; symbol: %s",
                         subscription->mSource != nullptr ? subscription->mSource : "",
                         subscription->mSymbol != nullptr ? subscription->mSymbol : "");
    const char* function = nullptr;
    mama_status status =
        tarnixBridgeMamaTransportImpl_process(subscription, reusable, subscription->mSource, &function);
    if (status != MAMA_STATUS_OK)
        TARNIX_LOG_ERROR("error processing message on bridge-local subscription: %s",
                         mamaStatus_stringForStatus(status));
}

void discardStatusEvent(void* closure)
{
    StatusEvent* event = static_cast<StatusEvent*>(closure);
    tarnixBridgeMamaSubscriptionImpl_release(event->mSubscription);
    delete event;
}

void MAMACALLTYPE onStatusEvent(mamaQueue /*queue*/, void* closure)
{
    const StatusEvent event = *static_cast<StatusEvent*>(closure);
    delete static_cast<StatusEvent*>(closure);
    if (!event.mSubscription->destroying())
        handleStatusEvent(event);
    tarnixBridgeMamaSubscriptionImpl_release(event.mSubscription);
}

/* A cache request's completion, with what it concerns. */
struct CacheEvent
{
    const trxClient_cacheRequestEventCallbackInfo_t& mInfo;
    const char* mTopic;
    /* The inbox subscription the request holds a reference on; mSubscription
     * is the same while it is not being destroyed, else null. */
    TarnixBridgeSubscription* mOwner;
    TarnixBridgeSubscription* mSubscription;
    TarnixTransportBridge* mTransport;
    TarnixTransportStats* mStats;
};

CacheEvent describeEvent(const trxClient_cacheRequestEventCallbackInfo_t& info, void* user)
{
    TarnixBridgeSubscription* owner = nullptr;
    if (user != nullptr)
    {
        /* The request holds a reference: the owner is still allocated. */
        owner =
            static_cast<TarnixBridgeSubscription*>(destroyHandle_removeReference(static_cast<pDestroyHandle>(user)));
    }
    else
    {
        TARNIX_LOG_ERROR("Cache session event with user_p==NULL; event: %s; topic: %s; responseCode: %s; subCode: %s; "
                         "cacheRequestId: %llu",
                         trxClient_cacheSession_eventToString(info.cacheEvent), info.topic != nullptr ? info.topic : "",
                         trxClient_returnCodeToString(info.rc), trxClient_subCodeToString(info.subCode),
                         static_cast<unsigned long long>(info.cacheRequestId));
    }
    TarnixTransportBridge* transport = owner != nullptr ? owner->mTransportBridge : nullptr;
    return {info,      info.topic != nullptr ? info.topic : "",
            owner,     owner != nullptr && !owner->destroying() ? owner : nullptr,
            transport, transport != nullptr ? transport->mStats.get() : nullptr};
}

void logUnexpectedEvent(const CacheEvent& event)
{
    const trxClient_cacheRequestEventCallbackInfo_t& info = event.mInfo;
    TARNIX_LOG_ERROR("Received unexpected event=%d for cache. event: %s; topic: %s; responseCode: (%d) %s; subCode: "
                     "(%d) %s; cacheRequestId: %llu",
                     info.cacheEvent, trxClient_cacheSession_eventToString(info.cacheEvent), event.mTopic, info.rc,
                     trxClient_returnCodeToString(info.rc), info.subCode, trxClient_subCodeToString(info.subCode),
                     static_cast<unsigned long long>(info.cacheRequestId));
}

/* The cache answered: with data, or with none (or suspect data) for the topic. */
bool wasAnswered(const trxClient_cacheRequestEventCallbackInfo_t& info)
{
    return info.rc == TRXCLIENT_OK ||
           (info.rc == TRXCLIENT_INCOMPLETE && (info.subCode == TRXCLIENT_SUBCODE_NO_CACHED_DATA ||
                                                info.subCode == TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT));
}

/* A topic the cache holds nothing for is told to the subscription as NOT_FOUND. */
void onAnswered(const CacheEvent& event)
{
    const trxClient_cacheRequestEventCallbackInfo_t& info = event.mInfo;
    if (event.mTransport != nullptr)
        event.mTransport->mCacheFailureShown.store(0);
    if (info.subCode == TRXCLIENT_SUBCODE_NO_CACHED_DATA)
        tarnixTransportStats_count(event.mStats, TarnixStat::CacheMiss);
    if (info.rc == TRXCLIENT_OK)
    {
        TARNIX_LOG_FINE("received event=TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE,rc=TRXCLIENT_OK");
        return;
    }
    MamaLogLevel level = MAMA_LOG_LEVEL_FINE;
    if (info.subCode == TRXCLIENT_SUBCODE_NO_CACHED_DATA && event.mSubscription != nullptr &&
        tarnixCacheRequest_deliverStatus(event.mSubscription->mTransportBridge, event.mSubscription,
                                         MAMA_MSG_STATUS_NOT_FOUND, false) != MAMA_STATUS_OK)
        level = MAMA_LOG_LEVEL_ERROR;
    TARNIX_LOG(level,
               "received event=TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE,rc=TRXCLIENT_INCOMPLETE, subCode=%s, topic=%s",
               trxClient_subCodeToString(info.subCode), event.mTopic);
}

/* The request ended without an answer: the subscription hears it now, not
 * when OpenMAMA's own wait for the image runs out. The cause is logged in
 * full once, until the cache answers again. */
void onUnanswered(const CacheEvent& event)
{
    const trxClient_cacheRequestEventCallbackInfo_t& info = event.mInfo;
    tarnixTransportStats_count(event.mStats, TarnixStat::CacheUnanswered);
    const bool first =
        event.mTransport == nullptr || event.mTransport->mCacheFailureShown.exchange(info.subCode) != info.subCode;
    const bool refused =
        info.subCode == TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED || info.subCode == TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED;
    if (event.mSubscription != nullptr)
        tarnixCacheRequest_deliverStatus(event.mSubscription->mTransportBridge, event.mSubscription,
                                         refused ? MAMA_MSG_STATUS_NOT_PERMISSIONED : MAMA_MSG_STATUS_TIMEOUT, false);
    if (info.rc != TRXCLIENT_INCOMPLETE)
    {
        const MamaLogLevel level = info.rc == TRXCLIENT_FAIL ? MAMA_LOG_LEVEL_WARN : MAMA_LOG_LEVEL_ERROR;
        TARNIX_LOG_CLIENT_ERROR(first ? level : MAMA_LOG_LEVEL_FINE, info.rc,
                                "received event=TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE");
        return;
    }
    const char* subCode = trxClient_subCodeToString(info.subCode);
    if (info.subCode == TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT)
        TARNIX_LOG(first ? MAMA_LOG_LEVEL_WARN : MAMA_LOG_LEVEL_FINE,
                   "received event=TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE,rc=TRXCLIENT_INCOMPLETE, subCode=%s, "
                   "topic=%s",
                   subCode, event.mTopic);
    else
        TARNIX_LOG(first ? MAMA_LOG_LEVEL_ERROR : MAMA_LOG_LEVEL_FINE,
                   "received event=TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE,rc=TRXCLIENT_INCOMPLETE, with "
                   "unexpected subcode subCode=%s (%d), topic=%s",
                   subCode, info.subCode, event.mTopic);
}

} // namespace

bool tarnixCacheRequest_handles(mamaMsg request, int32_t* msgType)
{
    int32_t type = -1;
    if (mamaMsg_getI32(request, MamaFieldSubscMsgType.mName, MamaFieldSubscMsgType.mFid, &type) != MAMA_STATUS_OK)
        return false;
    *msgType = type;
    return type == MAMA_SUBSC_SUBSCRIBE || type == MAMA_SUBSC_SNAPSHOT || type == MAMA_SUBSC_DDICT_SNAPSHOT ||
           type == MAMA_SUBSC_DQ_UNKNOWN;
}

mama_status tarnixCacheRequest_buildTopic(TarnixPublisherBridge* publisher, int32_t subscriptionType, char* out)
{
    const char* subject = publisher->mSubject != nullptr ? publisher->mSubject : "";
    switch (subscriptionType)
    {
        case MAMA_SUBSC_TYPE_DICTIONARY:
            copyTopic(out, subject);
            if (std::strncmp(out, "_MDDD", 5) == 0)
                out[0] = '#';
            return MAMA_STATUS_OK;
        case MAMA_SUBSC_TYPE_NORMAL:
        case MAMA_SUBSC_TYPE_BOOK:
        {
            if (std::strncmp(subject, "_MD", 3) != 0)
            {
                TARNIX_LOG_ERROR("Error in generating tarnix topic for cache request. Topic does not start with '%s', "
                                 "topic=%s._MD",
                                 "_MD", subject);
                return MAMA_STATUS_PLATFORM;
            }
            char* topic = nullptr;
            mama_status status = tarnixTopic_build(nullptr, publisher->mSource, publisher->mTopic, false,
                                                   transportOf(publisher), &topic);
            if (status != MAMA_STATUS_OK)
            {
                TARNIX_LOG_ERROR("Error generating tarnix topic for cache request. mSource=%s mTopic=%s: %s",
                                 publisher->mSource != nullptr ? publisher->mSource : "(null)",
                                 publisher->mTopic != nullptr ? publisher->mTopic : "(null)",
                                 mamaStatus_stringForStatus(status));
                return MAMA_STATUS_PLATFORM;
            }
            copyTopic(out, topic);
            std::free(topic);
            return MAMA_STATUS_OK;
        }
        default:
            TARNIX_LOG_ERROR(
                "Error in generating tarnix topic for cache request. Invalid mamaSubscriptionType='%s' [%d] "
                "for topic=%s.",
                MamaSubscTypeStr(static_cast<mamaSubscriptionType>(subscriptionType)), subscriptionType, subject);
            return MAMA_STATUS_PLATFORM;
    }
}

mama_status tarnixCacheRequest_send(TarnixPublisherBridge* publisher, mamaInbox inbox, mamaMsg msg, int32_t msgType)
{
    TarnixInboxBridge* inboxBridge = reinterpret_cast<TarnixInboxBridge*>(mamaInboxImpl_getInboxBridge(inbox));
    if (inboxBridge == nullptr || inboxBridge->mInboxSubscription == nullptr)
        return MAMA_STATUS_NULL_ARG;
    TarnixBridgeSubscription* subscription = reinterpret_cast<TarnixBridgeSubscription*>(
        mamaSubscription_getSubscriptionBridge(inboxBridge->mInboxSubscription));
    if (subscription == nullptr)
        return MAMA_STATUS_NULL_ARG;
    TarnixTransportBridge* transport = subscription->mTransportBridge;
    TarnixSynchronismManager* manager = &subscription->mSyncManager;

    TarnixCorrelationTag* tag =
        tarnixSynchronismManager_createCorrelationTag(manager, continuation, sizeof(TarnixCacheRequest));
    if (tag == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to create correlation tag");
        return MAMA_STATUS_NOMEM;
    }
    TarnixCacheRequest* request = static_cast<TarnixCacheRequest*>(tarnixSynchronismManager_getTagData(tag));
    std::memset(request, 0, sizeof(*request));
    mama_status status = mamaMsg_getI32(msg, MamaFieldSubscriptionType.mName, MamaFieldSubscriptionType.mFid,
                                        &request->mSubscriptionType);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("Error getting subscription type: %s", mamaStatus_stringForStatus(status));
        tarnixSynchronismManager_destroyCorrelationTag(manager, tag);
        return status;
    }
    request->mMsgType = msgType;
    request->mSubscription = subscription;
    if (tarnixCacheRequest_buildTopic(publisher, request->mSubscriptionType, request->mCacheTopic) != MAMA_STATUS_OK)
    {
        tarnixSynchronismManager_destroyCorrelationTag(manager, tag);
        return MAMA_STATUS_PLATFORM;
    }
    status = mamaMsg_copy(msg, &request->mRequest);
    if (status != MAMA_STATUS_OK)
    {
        tarnixSynchronismManager_destroyCorrelationTag(manager, tag);
        return status;
    }
    copyTopic(request->mSubject, publisher->mSubject);
    copyTopic(request->mReplyTopic, tarnixBridgeMamaInboxImpl_getReplyToTopic(inboxBridge));
    request->mCacheRequestId = takeCacheRequestId(publisher);

    trxClient_session_rxMsgDispatchFuncInfo_t check{TRXCLIENT_DISPATCH_TYPE_CALLBACK, dropMessage, nullptr, nullptr};
    const uint32_t flags =
        tarnixBridgeMamaQueueImpl_isSubscribeAsync(subscription->mQueueBridge) ? kSubscribeAsync : kSubscribeWait;
    trxClient_opaqueSession_pt session = transport->mSession.load();
    trxClient_returnCode_t rc = TRXCLIENT_FAIL;
    if (session != nullptr)
        rc = trxClient_session_topicSubscribeWithDispatch(session, flags, request->mCacheTopic, &check,
                                                          tarnixSynchronismManager_getCorrelation(tag));
    if (rc == TRXCLIENT_FAIL)
        TARNIX_LOG_ERROR("trxClient_session_topicSubscribeWithDispatch() failed for topic '%s' - rc=%s",
                         request->mCacheTopic, trxClient_returnCodeToString(rc));
    return tarnixSynchronismManager_processSyncResult(manager, tag, rc);
}

extern "C" void tarnixCacheRequest_onCacheEvent(trxClient_opaqueCacheSession_pt /*cacheSession*/,
                                                trxClient_cacheRequestEventCallbackInfo_pt info, void* user)
{
    if (info == nullptr)
        return;
    const CacheEvent event = describeEvent(*info, user);
    tarnixTransportStats_count(event.mStats, TarnixStat::CacheRequest);
    if (info->cacheEvent != TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE)
        logUnexpectedEvent(event);
    else if (wasAnswered(*info))
        onAnswered(event);
    else
        onUnanswered(event);

    /* Last: the request's answers have been dispatched before this event,
     * and a free put off for the request may now run. */
    if (event.mOwner != nullptr)
    {
        releaseAnswerTopic(event.mOwner, event.mTopic);
        tarnixBridgeMamaSubscriptionImpl_release(event.mOwner);
    }
}

mama_status tarnixCacheRequest_deliverStatus(TarnixTransportBridge* transport, TarnixBridgeSubscription* subscription,
                                             mamaMsgStatus status, bool copyMode)
{
    if (transport == nullptr || subscription == nullptr || subscription->destroying())
        return MAMA_STATUS_OK;
    StatusEvent* event = new (std::nothrow) StatusEvent{status, subscription, transport, copyMode};
    if (event == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for message node");
        return MAMA_STATUS_NOMEM;
    }
    tarnixBridgeMamaSubscriptionImpl_retain(subscription);
    mama_status result =
        tarnixBridgeMamaQueueImpl_enqueueOwned(subscription->mQueueBridge, onStatusEvent, discardStatusEvent, event);
    if (result != MAMA_STATUS_OK)
    {
        delete event;
        tarnixBridgeMamaSubscriptionImpl_release(subscription);
        TARNIX_LOG_ERROR("Could not enqueue local message for delivery");
    }
    return result;
}
