#include "publisher.h"

#include "bridgeFunctions.h"
#include "cacheRequest.h"
#include "clientLibrary.h"
#include "inbox.h"
#include "logging.h"
#include "msg.h"
#include "subscription.h"
#include "topic.h"
#include "transport.h"

#include <mama/integration/msg.h>
#include <mama/integration/transport.h>
#include <mama/msg.h>
#include <mama/reservedfields.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

constexpr const char kDictionaryRoot[] = "_MDDD";

const char* orNull(const char* text)
{
    return text != nullptr ? text : "(null)";
}

void freePublisher(TarnixPublisherBridge* publisher)
{
    std::free(publisher->mTopic);
    std::free(publisher->mSource);
    std::free(publisher->mRoot);
    std::free(publisher->mSubject);
    delete publisher;
}

bool copyText(const char* text, char** copy)
{
    if (text == nullptr)
        return true;
    *copy = strdup(text);
    return *copy != nullptr;
}

} // namespace

mama_status tarnixBridgeMamaTransportImpl_checkInboxReachable(TarnixTransportBridge* transport, const char* topic,
                                                              const char* caller)
{
    char refused[2] = {};
    trxClient_opaqueSession_pt session = transport->mSession.load();
    if (session == nullptr ||
        trxClient_session_getProperty(session, "SESSION_REPLY_TO_REFUSED", refused, sizeof(refused)) != TRXCLIENT_OK ||
        refused[0] != '1')
        return MAMA_STATUS_OK;
    /* The application gets the status every time; the log says it once. */
    const MamaLogLevel level =
        transport->mInboxRefusalLogged.exchange(true) ? MAMA_LOG_LEVEL_FINE : MAMA_LOG_LEVEL_ERROR;
    TARNIX_LOG(level,
               "%s(): request to '%s' not sent (%s): no reply can reach an inbox of transport '%s', since the "
               "broker refused its subscription to the inbox topics '%s>'. Grant the user subscribe permission "
               "on them.",
               caller, topic, mamaStatus_stringForStatus(MAMA_STATUS_NOT_PERMISSIONED), transport->mName.c_str(),
               transport->mInboxTarnixSubPrefix);
    return MAMA_STATUS_NOT_PERMISSIONED;
}

mama_status tarnixBridgeMamaTransportImpl_sendMessage(TarnixTransportBridge* transport, const char* topic,
                                                      const char* replyTo, mamaMsg msg, bool replyMode,
                                                      const char* caller)
{
    const void* buffer = nullptr;
    mama_size_t length = 0;
    mama_status status = mamaMsg_getByteBuffer(msg, &buffer, &length);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("%s(): Error in getting payload byte buffer. [%d] %s", caller, status,
                         mamaStatus_stringForStatus(status));
        return MAMA_STATUS_PLATFORM;
    }
    trxClient_opaqueMsg_pt trxMsg = nullptr;
    trxClient_returnCode_t rc = trxClient_msg_alloc(&trxMsg);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Unable to allocate temporary message for inbox");
        return MAMA_STATUS_NOMEM;
    }

    mama_status result = MAMA_STATUS_PLATFORM;
    do
    {
        if (replyTo == nullptr || replyMode)
        {
            rc = trxClient_msg_deleteReplyTo(trxMsg);
            if (rc != TRXCLIENT_OK)
            {
                TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error deleting replyTo");
                break;
            }
        }
        else
        {
            const trxClient_destination_t destination{TRXCLIENT_TOPIC_DESTINATION, replyTo};
            rc = trxClient_msg_setReplyTo(trxMsg, &destination, sizeof(destination));
            if (rc != TRXCLIENT_OK)
            {
                TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error setting replyTo");
                break;
            }
        }
        rc = trxClient_msg_setDeliveryMode(trxMsg, TRXCLIENT_DELIVERY_MODE_DIRECT);
        if (rc != TRXCLIENT_OK)
        {
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error setting delivery mode");
            break;
        }
        rc = trxClient_msg_setTopicPtr(trxMsg, replyMode ? replyTo : topic);
        if (rc != TRXCLIENT_OK)
        {
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error setting message topic");
            break;
        }
        rc = trxClient_msg_setBinaryAttachmentPtr(trxMsg, buffer, static_cast<uint32_t>(length));
        if (rc != TRXCLIENT_OK)
        {
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error setting message content");
            break;
        }
        if (transport->mPubInfoMap != nullptr)
        {
            rc = trxClient_msg_setUserPropertyMap(trxMsg, transport->mPubInfoMap);
            if (rc != TRXCLIENT_OK)
                TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error in trxClient_msg_setUserPropertyMap");
        }
        rc = trxClient_session_sendMsg(transport->mSession.load(), trxMsg);
        if (rc != TRXCLIENT_OK)
        {
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_WARN, rc, "Error sending message");
            break;
        }
        result = MAMA_STATUS_OK;
    } while (false);

    rc = trxClient_msg_free(&trxMsg);
    if (rc != TRXCLIENT_OK)
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Unable to free temporary message");
    return result;
}

mama_status tarnixBridgeMamaPublisherImpl_sendInternal(TarnixPublisherBridge* publisher, const char* replyTo,
                                                       mamaMsg msg, bool replyMode, const char* caller)
{
    if (publisher == nullptr)
    {
        TARNIX_LOG_ERROR("No publisher.");
        return MAMA_STATUS_NULL_ARG;
    }
    if (msg == nullptr)
        return MAMA_STATUS_NULL_ARG;
    transportBridge handle = nullptr;
    mama_status status = mamaTransport_getBridgeTransport(publisher->mTransport, &handle);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("Error acquiring transport bridge from publisher, status=%s, publisher=%p",
                         mamaStatus_stringForStatus(status), static_cast<void*>(publisher));
        return status;
    }
    if (handle == nullptr)
    {
        TARNIX_LOG_ERROR("Null transport bridge in publisher");
        return MAMA_STATUS_INVALID_ARG;
    }
    TarnixTransportBridge* transport = reinterpret_cast<TarnixTransportBridge*>(handle);

    /* Subscription requests the cache service answers are not sent. */
    if (transport->mUseTrxCache && !transport->mSendSubReq && publisher->mRootKind == TARNIX_ROOT_OTHER)
    {
        int32_t type = -1;
        if (mamaMsg_getI32(msg, MamaFieldSubscMsgType.mName, MamaFieldSubscMsgType.mFid, &type) == MAMA_STATUS_OK &&
            type == 0)
            return MAMA_STATUS_OK;
    }
    return tarnixBridgeMamaTransportImpl_sendMessage(transport, publisher->mSubject, replyTo, msg, replyMode, caller);
}

extern "C"
{

    mama_status tarnixBridgeMamaPublisher_createByIndex(publisherBridge* result, mamaTransport tport, int tportIndex,
                                                        const char* topic, const char* source, const char* root,
                                                        mamaPublisher parent)
    {
        if (result == nullptr || tport == nullptr || parent == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_LOG_FINEST("Args: tportIndex=%d root=%s source=%s topic=%s", tportIndex, orNull(root), orNull(source),
                          orNull(topic));
        *result = nullptr;

        TarnixPublisherBridge* publisher = new (std::nothrow) TarnixPublisherBridge();
        if (publisher == nullptr)
        {
            TARNIX_LOG_ERROR("Error allocating tarnix publisher bridge.");
            return MAMA_STATUS_NOMEM;
        }
        if (!copyText(topic, &publisher->mTopic) || !copyText(source, &publisher->mSource) ||
            !copyText(root, &publisher->mRoot))
        {
            freePublisher(publisher);
            return MAMA_STATUS_NOMEM;
        }
        publisher->mTransport = tport;
        publisher->mParent = parent;

        transportBridge handle = nullptr;
        mamaTransport_getBridgeTransport(tport, &handle);
        TarnixTransportBridge* transport = reinterpret_cast<TarnixTransportBridge*>(handle);
        mama_status status;
        if (root == nullptr)
        {
            publisher->mRootKind = TARNIX_ROOT_NONE;
            status = tarnixTopic_build(nullptr, source, topic, false, transport, &publisher->mSubject);
        }
        else if (std::strncmp(root, kDictionaryRoot, sizeof(kDictionaryRoot) - 1) == 0)
        {
            publisher->mRootKind = TARNIX_ROOT_DICTIONARY;
            status = tarnixTopic_build(root, source, topic, false, transport, &publisher->mSubject);
        }
        else
        {
            publisher->mRootKind = TARNIX_ROOT_OTHER;
            status = tarnixTopic_build(root, source, nullptr, false, transport, &publisher->mSubject);
        }
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Error in generating subject from mRoot=%s mSource=%s mTopic=%s: %s", orNull(root),
                             orNull(source), orNull(topic), mamaStatus_stringForStatus(status));
            freePublisher(publisher);
            return status;
        }
        *result = reinterpret_cast<publisherBridge>(publisher);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaPublisher_destroy(publisherBridge handle)
    {
        TarnixPublisherBridge* publisher = reinterpret_cast<TarnixPublisherBridge*>(handle);
        if (publisher == nullptr)
            return MAMA_STATUS_NULL_ARG;
        if (publisher->mOnDestroy != nullptr)
            publisher->mOnDestroy(publisher->mParent, publisher->mClosure);
        freePublisher(publisher);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaPublisher_send(publisherBridge handle, mamaMsg msg)
    {
        return tarnixBridgeMamaPublisherImpl_sendInternal(reinterpret_cast<TarnixPublisherBridge*>(handle), nullptr,
                                                          msg, false, "tarnixBridgeMamaPublisher_send");
    }

    mama_status tarnixBridgeMamaPublisher_sendReplyToInbox(publisherBridge handle, mamaMsg request, mamaMsg reply)
    {
        if (handle == nullptr || request == nullptr || reply == nullptr)
            return MAMA_STATUS_NULL_ARG;
        msgBridge bridgeHandle = nullptr;
        mama_status status = mamaMsgImpl_getBridgeMsg(request, &bridgeHandle);
        if (status != MAMA_STATUS_OK || bridgeHandle == nullptr)
        {
            TARNIX_LOG_ERROR("Unable to get bridge message.");
            return status != MAMA_STATUS_OK ? status : MAMA_STATUS_INVALID_ARG;
        }
        TarnixMsgBridge* bridgeMsg = reinterpret_cast<TarnixMsgBridge*>(bridgeHandle);
        trxClient_destination_t destination{TRXCLIENT_TOPIC_DESTINATION, nullptr};
        trxClient_returnCode_t rc = trxClient_msg_getReplyTo(bridgeMsg->mTrxMsg, &destination, sizeof(destination));
        if (rc == TRXCLIENT_OK && destination.dest != nullptr && destination.dest[0] != '\0')
        {
            TARNIX_LOG_FINER("Sent reply to inbox. replyTopic=%s", destination.dest);
            return tarnixBridgeMamaPublisherImpl_sendInternal(reinterpret_cast<TarnixPublisherBridge*>(handle),
                                                              destination.dest, reply, true,
                                                              "tarnixBridgeMamaPublisher_sendReplyToInbox");
        }
        if (rc == TRXCLIENT_OK)
            TARNIX_LOG_ERROR("Error getting replyTopic from message - ReturnCode='%s'",
                             trxClient_returnCodeToString(rc));
        else
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error getting replyTopic from message");
        TARNIX_LOG_ERROR("Error getting replyTopic; replyTopic: '%s'; len: %d",
                         destination.dest != nullptr ? destination.dest : "",
                         destination.dest != nullptr ? static_cast<int>(std::strlen(destination.dest)) : -1);
        return MAMA_STATUS_INVALID_ARG;
    }

    mama_status tarnixBridgeMamaPublisher_sendReplyToInboxHandle(publisherBridge handle, void* replyHandle,
                                                                 mamaMsg reply)
    {
        if (handle == nullptr || replyHandle == nullptr || reply == nullptr)
            return MAMA_STATUS_NULL_ARG;
        const char* replyTopic = static_cast<const char*>(replyHandle);
        if (replyTopic[0] == '\0')
        {
            TARNIX_LOG_ERROR("Invalid inbox: %s", replyTopic);
            return MAMA_STATUS_INVALID_ARG;
        }
        TARNIX_LOG_FINER("replyTopic=%s", replyTopic);
        return tarnixBridgeMamaPublisherImpl_sendInternal(reinterpret_cast<TarnixPublisherBridge*>(handle), replyTopic,
                                                          reply, true,
                                                          "tarnixBridgeMamaPublisher_sendReplyToInboxHandle");
    }

    mama_status tarnixBridgeMamaPublisher_sendFromInboxByIndex(publisherBridge handle, int /*tportIndex*/,
                                                               mamaInbox inbox, mamaMsg msg)
    {
        if (handle == nullptr || inbox == nullptr || msg == nullptr)
            return MAMA_STATUS_NULL_ARG;
        int32_t msgType = -1;
        if (tarnixCacheRequest_handles(msg, &msgType))
            return tarnixCacheRequest_send(reinterpret_cast<TarnixPublisherBridge*>(handle), inbox, msg, msgType);
        TarnixPublisherBridge* publisher = reinterpret_cast<TarnixPublisherBridge*>(handle);
        transportBridge transport = nullptr;
        if (mamaTransport_getBridgeTransport(publisher->mTransport, &transport) == MAMA_STATUS_OK &&
            transport != nullptr)
        {
            const mama_status reachable = tarnixBridgeMamaTransportImpl_checkInboxReachable(
                reinterpret_cast<TarnixTransportBridge*>(transport), publisher->mSubject,
                "tarnixBridgeMamaPublisher_sendFromInboxByIndex");
            if (reachable != MAMA_STATUS_OK)
                return reachable;
        }
        inboxBridge inboxHandle = mamaInboxImpl_getInboxBridge(inbox);
        const char* replyTo =
            tarnixBridgeMamaInboxImpl_getReplyToTopic(reinterpret_cast<TarnixInboxBridge*>(inboxHandle));
        return tarnixBridgeMamaPublisherImpl_sendInternal(publisher, replyTo, msg, false,
                                                          "tarnixBridgeMamaPublisher_sendFromInboxByIndex");
    }

    mama_status tarnixBridgeMamaPublisher_sendFromInbox(publisherBridge handle, mamaInbox inbox, mamaMsg msg)
    {
        return tarnixBridgeMamaPublisher_sendFromInboxByIndex(handle, 0, inbox, msg);
    }

    mama_status tarnixBridgeMamaPublisher_setUserCallbacks(publisherBridge handle, mamaQueue queue,
                                                           mamaPublisherCallbacks* callbacks, void* closure)
    {
        TarnixPublisherBridge* publisher = reinterpret_cast<TarnixPublisherBridge*>(handle);
        if (publisher == nullptr)
            return MAMA_STATUS_NULL_ARG;
        publisher->mOnDestroy = callbacks != nullptr ? callbacks->onDestroy : nullptr;
        if (queue != nullptr)
        {
            publisher->mCallbackQueue = queue;
        }
        else
        {
            mamaBridge bridgeImpl = mamaTransportImpl_getBridgeImpl(publisher->mTransport);
            if (bridgeImpl == nullptr)
            {
                TARNIX_LOG_ERROR("Could not assign queue for publisher %p callbacks.", static_cast<void*>(publisher));
                return MAMA_STATUS_NO_BRIDGE_IMPL;
            }
            mama_getDefaultEventQueue(bridgeImpl, &publisher->mCallbackQueue);
        }
        publisher->mClosure = closure;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaPublisherImpl_create(publisherBridge* result, mamaTransport tport, const char* topic,
                                                     const char* source, const char* root, mamaPublisher parent)
    {
        return tarnixBridgeMamaPublisher_createByIndex(result, tport, 0, topic, source, root, parent);
    }

} // extern "C"
