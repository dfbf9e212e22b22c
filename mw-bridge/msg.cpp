#include "msg.h"

#include "bridgeFunctions.h"
#include "logging.h"

#include <mama/msg.h>
#include <mama/reservedfields.h>

#include <cstdlib>
#include <cstring>
#include <new>

extern "C"
{

    /* OpenMAMA creates a bridge message for every queue's reusable message
 * (mamaQueue_create_usingNative, mamaQueueImpl_getMsg) and does not survive
 * a refusal there, so the message object itself is always available. */
    mama_status tarnixBridgeMamaMsg_create(msgBridge* msg, mamaMsg parent)
    {
        if (msg == nullptr || parent == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *msg = nullptr;
        TarnixMsgBridge* impl = new (std::nothrow) TarnixMsgBridge();
        if (impl == nullptr)
            return MAMA_STATUS_NOMEM;
        mamaMsg_getNativeMsg(parent, &impl->mNativeHandle);
        impl->mParent = parent;
        impl->mDetached = false;
        *msg = reinterpret_cast<msgBridge>(impl);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaMsg_destroyMiddlewareMsg(msgBridge msg)
    {
        TarnixMsgBridge* impl = reinterpret_cast<TarnixMsgBridge*>(msg);
        if (impl == nullptr)
            return MAMA_STATUS_NULL_ARG;
        if (impl->mDetached && impl->mTrxMsg != nullptr)
            trxClient_msg_free(&impl->mTrxMsg);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaMsg_destroy(msgBridge msg, int /*destroyMsg*/)
    {
        TarnixMsgBridge* impl = reinterpret_cast<TarnixMsgBridge*>(msg);
        if (impl == nullptr)
            return MAMA_STATUS_NULL_ARG;
        tarnixBridgeMamaMsg_destroyMiddlewareMsg(msg);
        delete impl;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaMsg_detach(msgBridge msg)
    {
        TarnixMsgBridge* impl = reinterpret_cast<TarnixMsgBridge*>(msg);
        if (impl == nullptr)
            return MAMA_STATUS_NULL_ARG;
        if (impl->mTrxMsg != nullptr)
            impl->mDetached = true;
        return MAMA_STATUS_OK;
    }

    int tarnixBridgeMamaMsg_isFromInbox(msgBridge msg)
    {
        TarnixMsgBridge* impl = reinterpret_cast<TarnixMsgBridge*>(msg);
        if (impl == nullptr)
            return -1;
        if (impl->mTrxMsg == nullptr)
            return 0;
        trxClient_destination_t replyTo{TRXCLIENT_TOPIC_DESTINATION, nullptr};
        return trxClient_msg_getReplyTo(impl->mTrxMsg, &replyTo, sizeof(replyTo)) == TRXCLIENT_OK ? 1 : 0;
    }

    mama_status tarnixBridgeMamaMsg_getNativeHandle(msgBridge msg, void** result)
    {
        TarnixMsgBridge* impl = reinterpret_cast<TarnixMsgBridge*>(msg);
        if (impl == nullptr || result == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *result = impl->mNativeHandle;
        return MAMA_STATUS_OK;
    }

    /* A reply handle is an owned copy of a received request's reply-to topic. */

    mama_status tarnixBridgeMamaMsg_getPlatformError(msgBridge, void** error)
    {
        if (error != nullptr)
            *error = nullptr;
        TARNIX_LOG_ERROR("Not implemented");
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

    mama_status tarnixBridgeMamaMsg_setSendSubject(msgBridge msg, const char* symbol, const char* /*subject*/)
    {
        TarnixMsgBridge* impl = reinterpret_cast<TarnixMsgBridge*>(msg);
        if (impl == nullptr || symbol == nullptr)
            return MAMA_STATUS_NULL_ARG;
        return mamaMsg_updateString(impl->mParent, MamaFieldSubscSymbol.mName, MamaFieldSubscSymbol.mFid, symbol);
    }

    mama_status tarnixBridgeMamaMsg_duplicateReplyHandle(msgBridge msg, void** result)
    {
        TarnixMsgBridge* impl = reinterpret_cast<TarnixMsgBridge*>(msg);
        if (impl == nullptr || result == nullptr)
            return MAMA_STATUS_NULL_ARG;
        if (impl->mTrxMsg == nullptr)
        {
            *result = nullptr;
            return MAMA_STATUS_OK;
        }
        trxClient_destination_t replyTo{TRXCLIENT_TOPIC_DESTINATION, nullptr};
        const trxClient_returnCode_t rc = trxClient_msg_getReplyTo(impl->mTrxMsg, &replyTo, sizeof(replyTo));
        if (rc == TRXCLIENT_OK && replyTo.dest != nullptr && replyTo.dest[0] != '\0')
        {
            char* copy = strdup(replyTo.dest);
            if (copy == nullptr)
                return MAMA_STATUS_NOMEM;
            *result = copy;
            return MAMA_STATUS_OK;
        }

        trxClient_destination_t destination{TRXCLIENT_TOPIC_DESTINATION, nullptr};
        if (trxClient_msg_getDestination(impl->mTrxMsg, &destination, sizeof(destination)) == TRXCLIENT_OK &&
            destination.dest != nullptr && destination.dest[0] != '\0')
        {
            TARNIX_LOG_WARN("Warning failed getting reply topic from msg, TrxReturnCode=%s, topic=%s",
                            trxClient_returnCodeToString(rc), destination.dest);
        }
        else
        {
            const char* symbol = nullptr;
            if (impl->mParent == nullptr ||
                mamaMsg_getString(impl->mParent, MamaFieldSubscSymbol.mName, MamaFieldSubscSymbol.mFid, &symbol) !=
                    MAMA_STATUS_OK ||
                symbol == nullptr || symbol[0] == '\0')
                symbol = "NO SYMBOL";
            TARNIX_LOG_WARN("Warning failed getting reply topic, and topic from msg, TrxReturnCode=%s, symbol=%s",
                            trxClient_returnCodeToString(rc), symbol);
        }
        if (rc == TRXCLIENT_OK)
            TARNIX_LOG_ERROR("Error getting replyTopic in message; replyTopic: %p (%s); len: %d",
                             static_cast<const void*>(replyTo.dest), replyTo.dest != nullptr ? replyTo.dest : "",
                             replyTo.dest != nullptr ? static_cast<int>(std::strlen(replyTo.dest)) : 0);
        return MAMA_STATUS_INVALID_ARG;
    }

    mama_status tarnixBridgeMamaMsg_copyReplyHandle(void* source, void** result)
    {
        if (source == nullptr || result == nullptr)
            return MAMA_STATUS_NULL_ARG;
        char* copy = strdup(static_cast<const char*>(source));
        if (copy == nullptr)
            return MAMA_STATUS_NOMEM;
        *result = copy;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaMsg_destroyReplyHandle(void* handle)
    {
        if (handle == nullptr)
            return MAMA_STATUS_NULL_ARG;
        std::free(handle);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaMsgImpl_setReplyHandle(msgBridge msg, void* handle)
    {
        if (msg == nullptr || handle == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_LOG_ERROR("Not implemented");
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

    mama_status tarnixBridgeMamaMsgImpl_setReplyHandleAndIncrement(msgBridge msg, void* handle)
    {
        if (msg == nullptr || handle == nullptr)
            return MAMA_STATUS_NULL_ARG;
        return tarnixBridgeMamaMsgImpl_setReplyHandle(msg, handle);
    }

} // extern "C"
