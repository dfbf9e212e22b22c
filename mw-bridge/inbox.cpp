#include "inbox.h"

#include "bridgeFunctions.h"
#include "clientLibrary.h"
#include "logging.h"
#include "transport.h"

#include <mama/integration/transport.h>
#include <mama/subscription.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

/* text = prefix + uuid into room TARNIX_TOPIC_BUFFER; a text that does not fit
 * is cut, with a warning. */
void joinTopic(char* text, const char* prefix, const char* uuid, const char* what)
{
    const int length = std::snprintf(text, TARNIX_TOPIC_BUFFER, "%s%s", prefix, uuid);
    if (length < 0 || static_cast<size_t>(length) >= TARNIX_TOPIC_BUFFER)
        TARNIX_LOG_WARN("Truncated inbox %s topic from '%s%s' to '%s'", what, prefix, uuid, text);
}

mama_status makeTopics(mamaTransport tport, TarnixInboxBridge* inbox, char* subscriptionTopic)
{
    transportBridge handle = nullptr;
    if (mamaTransport_getBridgeTransport(tport, &handle) != MAMA_STATUS_OK || handle == nullptr)
    {
        TARNIX_LOG_ERROR("Error acquiring transport bridge");
        return MAMA_STATUS_INVALID_ARG;
    }
    TarnixTransportBridge* transport = reinterpret_cast<TarnixTransportBridge*>(handle);

    char uuid[TRXCLIENT_UUID_STRING_SIZE];
    trxClient_returnCode_t rc = trxClient_generateUUIDString(uuid, sizeof(uuid));
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error in trxClient_generateUUIDString()");
        return MAMA_STATUS_PLATFORM;
    }
    joinTopic(subscriptionTopic, transport->mInboxTarnixSubPrefix, uuid, "subscription");
    char replyTo[TARNIX_TOPIC_BUFFER];
    joinTopic(replyTo, transport->mInboxTarnixReplyToPrefix, uuid, "reply-to");
    inbox->mTarnixReplyToTopic = strdup(replyTo);
    if (inbox->mTarnixReplyToTopic == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for reply-to topic '%s'", replyTo);
        return MAMA_STATUS_NOMEM;
    }
    return MAMA_STATUS_OK;
}

void MAMACALLTYPE onInboxCreate(mamaSubscription /*subscription*/, void* closure)
{
    if (closure != nullptr)
        TARNIX_LOG_FINEST("Finished creating wildcard subscription for inbox, tarnixInbox=%p", closure);
}

void MAMACALLTYPE onInboxError(mamaSubscription /*subscription*/, mama_status status, void* /*platformError*/,
                               const char* /*subject*/, void* closure)
{
    TarnixInboxBridge* inbox = static_cast<TarnixInboxBridge*>(closure);
    if (inbox != nullptr && inbox->mErrorCallback != nullptr)
        inbox->mErrorCallback(status, inbox->mClosure);
}

void MAMACALLTYPE onInboxMsg(mamaSubscription /*subscription*/, mamaMsg msg, const char* /*topic*/, void* closure,
                             void* /*topicClosure*/)
{
    TarnixInboxBridge* inbox = static_cast<TarnixInboxBridge*>(closure);
    if (inbox != nullptr && inbox->mMsgCallback != nullptr)
        inbox->mMsgCallback(msg, inbox->mClosure);
}

void MAMACALLTYPE onInboxDestroy(mamaSubscription /*subscription*/, void* closure)
{
    TarnixInboxBridge* inbox = static_cast<TarnixInboxBridge*>(closure);
    if (inbox == nullptr)
        return;
    if (inbox->mOnDestroyed != nullptr)
        inbox->mOnDestroyed(inbox->mParent, inbox->mClosure);
    std::free(inbox->mTarnixReplyToTopic);
    delete inbox;
}

} // namespace

const char* tarnixBridgeMamaInboxImpl_getReplyToTopic(TarnixInboxBridge* inbox)
{
    return inbox != nullptr ? inbox->mTarnixReplyToTopic : nullptr;
}

extern "C"
{

    mama_status tarnixBridgeMamaInbox_createByIndex(inboxBridge* result, mamaTransport tport, int /*tportIndex*/,
                                                    mamaQueue queue, mamaInboxMsgCallback msgCallback,
                                                    mamaInboxErrorCallback errorCallback,
                                                    mamaInboxDestroyCallback onDestroyed, void* closure,
                                                    mamaInbox parent)
    {
        if (result == nullptr || tport == nullptr || queue == nullptr || msgCallback == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TarnixInboxBridge* inbox = new (std::nothrow) TarnixInboxBridge();
        if (inbox == nullptr)
            return MAMA_STATUS_NOMEM;
        mama_status status = mamaSubscription_allocate(&inbox->mInboxSubscription);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Failed to allocate subscription: %s", mamaStatus_stringForStatus(status));
            delete inbox;
            return status;
        }
        char subscriptionTopic[TARNIX_TOPIC_BUFFER];
        status = makeTopics(tport, inbox, subscriptionTopic);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Failed to set Inbox mama topic and tarnix topic: %s", mamaStatus_stringForStatus(status));
            mamaSubscription_deallocate(inbox->mInboxSubscription);
            std::free(inbox->mTarnixReplyToTopic);
            delete inbox;
            return status;
        }
        TARNIX_LOG_FINEST("Using inbox topic: mamaInboxSubTopic='%s', mTarnixReplyToTopic='%s'", subscriptionTopic,
                          inbox->mTarnixReplyToTopic);

        /* Set before the subscription exists: a reply may be dispatched at once. */
        inbox->mClosure = closure;
        inbox->mMsgCallback = msgCallback;
        inbox->mErrorCallback = errorCallback;
        inbox->mOnDestroyed = onDestroyed;
        inbox->mParent = parent;

        mamaWildCardMsgCallbacks callbacks{onInboxCreate, onInboxError, onInboxMsg, onInboxDestroy};
        status = mamaSubscription_createBasicWildCard(inbox->mInboxSubscription, tport, queue, &callbacks, nullptr,
                                                      subscriptionTopic, inbox);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Failed to create inbox subscription: %s", mamaStatus_stringForStatus(status));
            std::free(inbox->mTarnixReplyToTopic);
            mamaSubscription_deallocate(inbox->mInboxSubscription);
            delete inbox;
            return status;
        }
        *result = reinterpret_cast<inboxBridge>(inbox);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaInbox_create(inboxBridge* result, mamaTransport tport, mamaQueue queue,
                                             mamaInboxMsgCallback msgCallback, mamaInboxErrorCallback errorCallback,
                                             mamaInboxDestroyCallback onDestroyed, void* closure, mamaInbox parent)
    {
        return tarnixBridgeMamaInbox_createByIndex(result, tport, 0, queue, msgCallback, errorCallback, onDestroyed,
                                                   closure, parent);
    }

    mama_status tarnixBridgeMamaInbox_destroy(inboxBridge handle)
    {
        TarnixInboxBridge* inbox = reinterpret_cast<TarnixInboxBridge*>(handle);
        if (inbox == nullptr)
            return MAMA_STATUS_NULL_ARG;
        if (inbox->mInboxSubscription == nullptr)
            return MAMA_STATUS_INVALID_ARG;
        /* The inbox itself goes with the subscription's destroy callback. */
        mamaSubscription subscription = inbox->mInboxSubscription;
        mamaSubscription_destroy(subscription);
        mamaSubscription_deallocate(subscription);
        return MAMA_STATUS_OK;
    }

} // extern "C"
