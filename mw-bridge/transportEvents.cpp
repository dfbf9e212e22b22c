#include "transportEvents.h"

#include "bridgeFunctions.h"
#include "clientLibrary.h"
#include "logging.h"
#include "subscription.h"
#include "synchronism.h"
#include "tarnixBridge.h"
#include "topic.h"
#include "transport.h"
#include "transportStats.h"

#include <mama/integration/mama.h>
#include <mama/integration/transport.h>
#include <mama/transport.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

struct TransportEventNode
{
    mamaTransportEvent mEvent;
    TarnixTransportBridge* mTransport; /* may be gone by the time the event runs */
    short mCause;
    const void* mPlatformInfo;
    mamaTransport mMamaTransport; /* the OpenMAMA transport it was raised for */
    TarnixBridge* mBridge;
};

struct TopicEventNode
{
    mamaTransportTopicEvent mEvent;
    char* mSubject;
    char* mErrorText;
    TarnixTransportBridge* mTransport; /* may be gone by the time the event runs */
    mamaTransport mMamaTransport;
    TarnixBridge* mBridge;
};

void freeTopicEvent(TopicEventNode* node)
{
    std::free(node->mSubject);
    std::free(node->mErrorText);
    delete node;
}

const char* nameOf(const TarnixTransportBridge* transport)
{
    return transport->mName.c_str();
}

/* Whether the transport an event was raised for is still there, with its
 * session, for the same OpenMAMA transport. */
bool stillLive(TarnixBridge* bridge, const TarnixTransportBridge* transport, mamaTransport parent)
{
    if (bridge == nullptr || bridge->mTransportList == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(bridge->mTransportListLock);
    return bridge->mTransportList->isLive(transport, parent);
}

void MAMACALLTYPE onTransportEvent(mamaQueue queue, void* closure)
{
    TransportEventNode* node = static_cast<TransportEventNode*>(closure);
    TarnixTransportBridge* transport = node->mTransport;
    const mamaTransport parent = node->mMamaTransport;
    /* A transport destroyed meanwhile reaches no application callback. */
    if (stillLive(node->mBridge, transport, parent))
    {
        const bool finest = mama_getLogLevel() >= MAMA_LOG_LEVEL_FINEST;
        if (finest)
            TARNIX_LOG_FINEST("Processing Mama Transport event %s with node[%p], for transport[%s=%p], "
                              "trxTransport[%p], on queue %p",
                              mamaTransportEvent_toString(node->mEvent), static_cast<void*>(node), nameOf(transport),
                              static_cast<void*>(parent), static_cast<void*>(transport), static_cast<void*>(queue));
        switch (node->mEvent)
        {
            case MAMA_TRANSPORT_CONNECT:
            case MAMA_TRANSPORT_CONNECT_FAILED:
            case MAMA_TRANSPORT_RECONNECT:
            case MAMA_TRANSPORT_DISCONNECT:
            case MAMA_TRANSPORT_QUALITY:
                mamaTransportImpl_invokeTransportCallback(parent, node->mEvent, node->mCause, node->mPlatformInfo);
                break;
            default:
                TARNIX_LOG_FINEST("Received unsupported OpenMAMA Transport Event %s with node[%p]",
                                  mamaTransportEvent_toString(node->mEvent), static_cast<void*>(node));
                break;
        }
        if (finest)
            TARNIX_LOG_FINEST("Processed Mama Transport event %s with node[%p], for transport[%s=%p], "
                              "trxTransport[%p], on queue %p",
                              mamaTransportEvent_toString(node->mEvent), static_cast<void*>(node), nameOf(transport),
                              static_cast<void*>(parent), static_cast<void*>(transport), static_cast<void*>(queue));
    }
    delete node;
}

void MAMACALLTYPE onTopicEvent(mamaQueue /*queue*/, void* closure)
{
    TopicEventNode* node = static_cast<TopicEventNode*>(closure);
    /* The OpenMAMA transport is gone once its bridge transport is destroyed,
     * so a rejection reported late is dropped rather than delivered to it. */
    if (stillLive(node->mBridge, node->mTransport, node->mMamaTransport))
        mamaTransportImpl_invokeTransportTopicCallback(node->mMamaTransport, node->mEvent, node->mSubject, nullptr);
    freeTopicEvent(node);
}

/* The subject of the topic quoted as Topic '...' in an error text; empty
 * when there is none. */
char* subjectOf(const char* text)
{
    static constexpr char kMarker[] = "Topic '";
    const char* start = std::strstr(text, kMarker);
    if (start == nullptr)
        return strdup("");
    start += sizeof(kMarker) - 1;
    const char* end = std::strrchr(start, '\'');
    const size_t length = end != nullptr ? static_cast<size_t>(end - start) : std::strlen(start);
    char* topic = strndup(start, length);
    if (topic == nullptr)
        return nullptr;
    char* subject = static_cast<char*>(std::malloc(length + 1));
    if (subject != nullptr)
        tarnixTopic_toSubject(topic, subject, length + 1);
    std::free(topic);
    return subject;
}

/* A refused publication is otherwise only a FINEST line: an operator sees
 * the first one of each subject at the default level. */
void warnOncePerSubject(TarnixTransportBridge* transport, const trxClient_errorInfo_t* info)
{
    char* subject = subjectOf(info->errorStr);
    if (subject == nullptr)
        return;
    if (transport->mRefusedSubjects == nullptr)
        transport->mRefusedSubjects.reset(new (std::nothrow) TarnixRefusedSubjects());
    TarnixRefusedSubjects* seen = transport->mRefusedSubjects.get();
    if (seen != nullptr && seen->mSubjects.size() >= TarnixRefusedSubjects::kMax)
        seen->mSubjects.clear();
    if (seen == nullptr || seen->mSubjects.insert(subject).second)
        TARNIX_LOG_WARN("Publication to '%s' refused by the broker on transport '%s': subCode=%s reason=%s. Further "
                        "refusals for this subject are logged at FINEST.",
                        subject, nameOf(transport), trxClient_subCodeToString(info->subCode), info->errorStr);
    std::free(subject);
}

void raiseTopicEvent(TarnixTransportBridge* transport)
{
    const trxClient_errorInfo_t* info = trxClient_getLastErrorInfo();
    bool queued = false;
    TopicEventNode* node = new (std::nothrow) TopicEventNode{};
    if (node == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for message node");
    }
    else
    {
        switch (info->subCode)
        {
            case TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX:
            case TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE:
            case TRXCLIENT_SUBCODE_MSG_TOO_LARGE: node->mEvent = MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR_BAD_SYMBOL; break;
            case TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED:
                node->mEvent = MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR_NOT_ENTITLED;
                break;
            default: node->mEvent = MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR; break;
        }
        node->mTransport = transport;
        node->mMamaTransport = transport->mTransport.load();
        node->mBridge = transport->mBridge_p;
        node->mErrorText = strdup(info->errorStr);
        mamaQueue queue = nullptr;
        if (node->mErrorText == nullptr)
        {
            TARNIX_LOG_ERROR("could not duplicate error string, no memory.");
            freeTopicEvent(node);
        }
        else if ((node->mSubject = subjectOf(node->mErrorText)) == nullptr)
        {
            TARNIX_LOG_ERROR("could not duplicate subject string, no memory.");
            freeTopicEvent(node);
        }
        else if (tarnixBridgeMamaTransportImpl_getCallbackQueue(transport, &queue) != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Could not get transport callback queue for transport event %s",
                             mamaTransportTopicEvent_toString(node->mEvent));
            freeTopicEvent(node);
        }
        else
        {
            mama_status status = mamaQueue_enqueueEvent(queue, onTopicEvent, node);
            if (status != MAMA_STATUS_OK)
            {
                TARNIX_LOG_ERROR("Could not enqueue local message for delivery status %s",
                                 mamaStatus_stringForStatus(status));
                freeTopicEvent(node);
            }
            else
            {
                queued = true;
            }
        }
    }
    TARNIX_LOG(queued ? MAMA_LOG_LEVEL_FINEST : MAMA_LOG_LEVEL_ERROR,
               "Message rejected: event=%s subCode=%s responseCode=%d reason=%s",
               trxClient_session_eventToString(TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR),
               trxClient_subCodeToString(info->subCode), info->responseCode, info->errorStr);
    if (queued)
        warnOncePerSubject(transport, info);
}

/* The client library resumes a session when it reconnects; queues that still
 * hold the transport back need it suspended again. */
void resuspendAfterReconnect(TarnixTransportBridge* transport)
{
    std::lock_guard<std::recursive_mutex> lock(transport->mSuspendLock);
    trxClient_opaqueSession_pt session = transport->mSession.load();
    if (transport->mSuspendedQueueCount > 0 && session != nullptr)
    {
        trxClient_returnCode_t rc = trxClient_session_suspend(session);
        if (rc != TRXCLIENT_OK)
        {
            TARNIX_LOG_ERROR("could not suspend the transport '%s' after reconnect.", nameOf(transport));
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "error in trxClient_session_suspend()");
        }
    }
}

void completeSubscription(trxClient_session_eventCallbackInfo_pt info, int returnCode)
{
    if (info->correlation_p == nullptr)
    {
        TARNIX_LOG_WARN("Cannot correlate subscription event '%s' (%d) (rc %d) to the original request. Event "
                        "description: %s",
                        trxClient_session_eventToString(info->sessionEvent), info->sessionEvent, info->responseCode,
                        info->info_p != nullptr ? info->info_p : "");
        return;
    }
    /* Nothing answers when the request's subscription has gone meanwhile. */
    tarnixSynchronismManager_processAsyncResult(info->correlation_p, returnCode);
}

} // namespace

mama_status tarnixBridgeMamaTransportImpl_getCallbackQueue(TarnixTransportBridge* transport, mamaQueue* queue)
{
    if (transport == nullptr || queue == nullptr)
        return MAMA_STATUS_NULL_ARG;
    const mamaTransport parent = transport->mTransport.load();
    if (parent == nullptr)
        return MAMA_STATUS_NULL_ARG;
    mamaQueue callbackQueue = nullptr;
    mamaTransport_getTransportCallbackQueue(parent, &callbackQueue);
    if (callbackQueue == nullptr)
    {
        mamaBridge bridgeImpl = mamaTransportImpl_getBridgeImpl(parent);
        if (bridgeImpl == nullptr)
        {
            TARNIX_LOG_ERROR("Error getting transport Bridge implementation for transport event.");
            return MAMA_STATUS_NO_BRIDGE_IMPL;
        }
        mama_getDefaultEventQueue(bridgeImpl, &callbackQueue);
    }
    *queue = callbackQueue;
    return MAMA_STATUS_OK;
}

void tarnixBridgeMamaTransportImpl_enqueueTransportEvent(TarnixTransportBridge* transport, mamaTransportEvent event,
                                                         short cause, const void* platformInfo)
{
    if (transport == nullptr)
        return;
    if (transport->mSession.load() == nullptr)
    {
        TARNIX_LOG_FINE("Can not delivery OpenMAMA Transport event[%s] on destroyed transport",
                        mamaTransportEvent_toString(event));
        return;
    }
    TransportEventNode* node = new (std::nothrow)
        TransportEventNode{event, transport, cause, platformInfo, transport->mTransport.load(), transport->mBridge_p};
    if (node == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for tarnix transport event node");
        return;
    }
    const mamaTransport parent = node->mMamaTransport;
    if (parent == nullptr)
    {
        TARNIX_LOG_ERROR("Tarnix transport does not have a mamaTransport");
        delete node;
        return;
    }
    mamaQueue queue = nullptr;
    if (tarnixBridgeMamaTransportImpl_getCallbackQueue(transport, &queue) != MAMA_STATUS_OK || queue == nullptr)
    {
        TARNIX_LOG_ERROR("Could not get transport callback queue for transport event %s",
                         mamaTransportEvent_toString(event));
        delete node;
        return;
    }
    if (mama_getLogLevel() >= MAMA_LOG_LEVEL_FINEST)
        TARNIX_LOG_FINEST("Enqueuing Mama Transport event %s with node[%p], for transport[%s=%p], trxTransport[%p], "
                          "on queue %p",
                          mamaTransportEvent_toString(event), static_cast<void*>(node), nameOf(transport),
                          static_cast<void*>(parent), static_cast<void*>(transport), static_cast<void*>(queue));
    mama_status status = mamaQueue_enqueueEvent(queue, onTransportEvent, node);
    if (status != MAMA_STATUS_OK)
    {
        delete node;
        TARNIX_LOG_ERROR("Could not enqueue transport event[%s] for delivery on queue[%p], status %s",
                         mamaTransportEvent_toString(event), static_cast<void*>(queue),
                         mamaStatus_stringForStatus(status));
    }
}

extern "C" void tarnixBridgeMamaTransportImpl_onSessionEvent(trxClient_opaqueSession_pt /*session*/,
                                                             trxClient_session_eventCallbackInfo_pt info, void* user)
{
    TarnixTransportBridge* transport = static_cast<TarnixTransportBridge*>(user);
    if (info == nullptr || transport == nullptr)
        return;
    const trxClient_errorInfo_t* error = trxClient_getLastErrorInfo();
    const char* eventText = trxClient_session_eventToString(info->sessionEvent);
    switch (info->sessionEvent)
    {
        case TRXCLIENT_SESSION_EVENT_UP_NOTICE:
        case TRXCLIENT_SESSION_EVENT_ACKNOWLEDGEMENT:
        case TRXCLIENT_SESSION_EVENT_CAN_SEND:
        case TRXCLIENT_SESSION_EVENT_DISCONNECTED_NOTICE: break;
        case TRXCLIENT_SESSION_EVENT_DOWN_ERROR:
            /* What an operator must see once, at the shipped log level. */
            TARNIX_LOG_ERROR("transport '%s': %s", nameOf(transport), error->errorStr);
            tarnixBridgeMamaTransportImpl_enqueueTransportEvent(transport, MAMA_TRANSPORT_DISCONNECT, 0, nullptr);
            break;
        case TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE:
            TARNIX_LOG_WARN("transport '%s': %s; reconnecting", nameOf(transport), error->errorStr);
            tarnixBridgeMamaTransportImpl_enqueueTransportEvent(transport, MAMA_TRANSPORT_DISCONNECT, 0, nullptr);
            break;
        case TRXCLIENT_SESSION_EVENT_CONNECT_FAILED_ERROR:
            tarnixBridgeMamaTransportImpl_enqueueTransportEvent(transport, MAMA_TRANSPORT_CONNECT_FAILED, 0, nullptr);
            break;
        case TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR: raiseTopicEvent(transport); break;
        case TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR: completeSubscription(info, TRXCLIENT_FAIL); break;
        case TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK: completeSubscription(info, TRXCLIENT_OK); break;
        case TRXCLIENT_SESSION_EVENT_RX_MSG_DISCARD_WARNING:
            tarnixTransportStats_count(transport->mStats.get(), TarnixStat::SlowConsumer);
            [[fallthrough]];
        case TRXCLIENT_SESSION_EVENT_UNSUBSCRIBE_ERROR_WARNING:
        case TRXCLIENT_SESSION_EVENT_ASYNC_ERROR_WARNING:
            TARNIX_LOG_WARN("event=%s subCode=%s responseCode=%d reason=%s", eventText,
                            trxClient_subCodeToString(error->subCode), error->responseCode, error->errorStr);
            break;
        case TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE:
            TARNIX_LOG_WARN("transport '%s': %s", nameOf(transport), error->errorStr);
            resuspendAfterReconnect(transport);
            tarnixBridgeMamaTransportImpl_enqueueTransportEvent(transport, MAMA_TRANSPORT_RECONNECT, 0, nullptr);
            break;
        case TRXCLIENT_SESSION_EVENT_NODE_DISCOVERED_NOTICE:
            TARNIX_LOG_FINE("event=%s subCode=%s, responseCode=%d, reason=%s", eventText,
                            trxClient_subCodeToString(error->subCode), error->responseCode, error->errorStr);
            break;
        case TRXCLIENT_SESSION_EVENT_FLOW_STATE_NOTICE:
            TARNIX_LOG_FINE("event=%s subCode=%s, responseCode=%d, reason=%s", eventText,
                            trxClient_subCodeToString(error->subCode), error->responseCode, error->errorStr);
            /* The client library may let the session run only after it has
         * reported the reconnect; this notice comes once it has. */
            resuspendAfterReconnect(transport);
            break;
        default: TARNIX_LOG_ERROR("Error handling event. event=%s.  Unexpected event.", eventText); break;
    }
}
