#include "msg.h"

#include "bridgeFunctions.h"
#include "notImplemented.h"

#include <new>

extern "C" {

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

/* Reply handles and send subjects come with request/reply. */

mama_status tarnixBridgeMamaMsg_getPlatformError(msgBridge, void**)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaMsg_setSendSubject(msgBridge, const char*, const char*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaMsg_duplicateReplyHandle(msgBridge, void**)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaMsg_copyReplyHandle(void*, void**)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaMsgImpl_setReplyHandle(msgBridge, void*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaMsgImpl_setReplyHandleAndIncrement(msgBridge, void*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaMsg_destroyReplyHandle(void*)
{
    TARNIX_NOT_IMPLEMENTED();
}

}  // extern "C"
