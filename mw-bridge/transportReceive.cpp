#include "transportReceive.h"

#include "bridgeFunctions.h"
#include "clientLibrary.h"
#include "logging.h"
#include "msg.h"
#include "queue.h"
#include "subscription.h"
#include "topic.h"
#include "transport.h"
#include "transportEvents.h"

#include <mama/integration/msg.h>
#include <mama/integration/queue.h>
#include <mama/integration/subscription.h>
#include <mama/msgfield.h>
#include <mama/msgtype.h>
#include <mama/reservedfields.h>

#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace
{

/* Recycled message nodes. Address sanitizer builds skip it so that a node
 * used after its free is still caught. */
class NodePool
{
public:
    ~NodePool()
    {
        for (void* node : mFree)
            std::free(node);
    }
    /* Every node this pool sees has the same size. */
    void* get(std::size_t size)
    {
        {
            std::lock_guard<std::mutex> lock(mLock);
            if (!mFree.empty())
            {
                void* node = mFree.back();
                mFree.pop_back();
                return node;
            }
        }
        return std::malloc(size);
    }
    void put(void* node)
    {
        {
            std::lock_guard<std::mutex> lock(mLock);
            if (mFree.size() < kKeep)
            {
                mFree.push_back(node);
                return;
            }
        }
        std::free(node);
    }

private:
    static constexpr size_t kKeep = 4096;
    std::mutex mLock;
    std::vector<void*> mFree;
};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kRecycleNodes = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kRecycleNodes = false;
#else
constexpr bool kRecycleNodes = true;
#endif
#else
constexpr bool kRecycleNodes = true;
#endif

NodePool gNodePool;

/* The closure of one queue event of the receive path: a received message
 * for a subscription. */
struct MessageNode
{
    trxClient_opaqueMsg_pt mMsg;
    TarnixBridgeSubscription* mSubscription;
    uint32_t mBytes; /* counted in the transport's mPendingBytes until dispatched */
    /* The message type a cache answer is delivered with; -1: as received. */
    int32_t mMsgType = -1;

    /* Nodes are made on the client library's thread and freed on the
     * dispatching one; malloc handles that hand-over slowly, so they are
     * recycled instead. */
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept
    {
        return kRecycleNodes && size == sizeof(MessageNode) ? gNodePool.get(size) : std::malloc(size);
    }
    static void operator delete(void* node) noexcept
    {
        if (kRecycleNodes && node != nullptr)
            gNodePool.put(node);
        else
            std::free(node);
    }
};

constexpr size_t kDumpSize = 10000;
constexpr const char* kP2PPrefix = "#P2P/";

/* Undecodable messages seen so far; only some of them are dumped. */
std::atomic<uint64_t> gDecodeFailures{0};

bool isP2P(const char* topic)
{
    return std::strncmp(topic, kP2PPrefix, std::strlen(kP2PPrefix)) == 0;
}

void freeMsg(trxClient_opaqueMsg_pt msg)
{
    if (msg != nullptr)
        trxClient_msg_free(&msg);
}

bool shouldDump(uint64_t earlierFailures)
{
    return earlierFailures <= 1 || earlierFailures % 500 == 0;
}

void logDecodeFailure(mama_status status, mamaMsg message, trxClient_opaqueMsg_pt msg, const void* buffer,
                      uint32_t length)
{
    const unsigned char id = static_cast<const unsigned char*>(buffer)[0];
    if (status == MAMA_STATUS_NO_BRIDGE_IMPL)
    {
        TARNIX_LOG_WARN("The bridge required to decode received message was not loaded. The message has been "
                        "dropped, payload ID is '%c' [0x%02X]",
                        static_cast<char>(id), id);
        return;
    }
    if (status == MAMA_STATUS_PLATFORM && shouldDump(gDecodeFailures.fetch_add(1)))
    {
        std::unique_ptr<char[]> dump(new (std::nothrow) char[kDumpSize]);
        if (dump != nullptr)
        {
            trxClient_returnCode_t rc = trxClient_msg_dumpExt(msg, dump.get(), kDumpSize, TRXCLIENT_MSGDUMP_FULL);
            dump[kDumpSize - 1] = '\0';
            TARNIX_LOG_WARN("Cannot decode message received: error from calling mamaMsg_setMsgBuffer. Failed with "
                            "status=[%d] %s tmpMsg=%p buf_p=%p bufSize=%d\nrc=%s \nMessage :\n %s\n",
                            status, mamaStatus_stringForStatus(status), static_cast<void*>(message), buffer,
                            static_cast<int>(length), trxClient_returnCodeToString(rc), dump.get());
            return;
        }
    }
    TARNIX_LOG_WARN("Cannot decode message received: error from calling mamaMsg_setMsgBuffer. Failed with "
                    "status=[%d] %s tmpMsg=%p buf_p=%p bufSize=%d",
                    status, mamaStatus_stringForStatus(status), static_cast<void*>(message), buffer,
                    static_cast<int>(length));
}

/* Gives a decoded message another MdMsgType, in the width the field already
 * has (the payload updates a field only with its own type). */
mama_status setMsgType(mamaMsg message, int32_t type)
{
    const char* name = MamaFieldMsgType.mName;
    const mama_fid_t fid = MamaFieldMsgType.mFid;
    mamaMsgField field = nullptr;
    if (mamaMsg_getField(message, name, fid, &field) != MAMA_STATUS_OK || field == nullptr)
        return mamaMsg_addU8(message, name, fid, static_cast<mama_u8_t>(type));
    mamaFieldType kind = MAMA_FIELD_TYPE_UNKNOWN;
    mamaMsgField_getType(field, &kind);
    switch (kind)
    {
        case MAMA_FIELD_TYPE_U8: return mamaMsg_updateU8(message, name, fid, static_cast<mama_u8_t>(type));
        case MAMA_FIELD_TYPE_I8: return mamaMsg_updateI8(message, name, fid, static_cast<mama_i8_t>(type));
        case MAMA_FIELD_TYPE_U16: return mamaMsg_updateU16(message, name, fid, static_cast<mama_u16_t>(type));
        case MAMA_FIELD_TYPE_I16: return mamaMsg_updateI16(message, name, fid, static_cast<mama_i16_t>(type));
        case MAMA_FIELD_TYPE_U32: return mamaMsg_updateU32(message, name, fid, static_cast<mama_u32_t>(type));
        case MAMA_FIELD_TYPE_I32: return mamaMsg_updateI32(message, name, fid, type);
        case MAMA_FIELD_TYPE_U64: return mamaMsg_updateU64(message, name, fid, static_cast<mama_u64_t>(type));
        case MAMA_FIELD_TYPE_I64: return mamaMsg_updateI64(message, name, fid, type);
        default: return MAMA_STATUS_WRONG_FIELD_TYPE;
    }
}

/* Decodes and delivers one message, then frees it unless the application
 * detached it. msgType >= 0 replaces the message's MdMsgType. */
void deliver(TarnixBridgeSubscription* subscription, trxClient_opaqueMsg_pt msg, int32_t msgType)
{
    const void* buffer = nullptr;
    uint32_t length = 0;
    trxClient_returnCode_t rc = trxClient_msg_getBinaryAttachmentPtr(msg, &buffer, &length);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Could not get binary attachment from msg. msg_p=%p", msg);
        const bool longForm = rc == TRXCLIENT_FAIL || rc == TRXCLIENT_NOT_READY;
        if (!(longForm && trxClient_getLastErrorInfo()->subCode == TRXCLIENT_SUBCODE_PARAM_NULL_PTR))
            freeMsg(msg);
        return;
    }
    if (length == 0 || buffer == nullptr)
    {
        /* No payload identifier to pick a decoder with: nothing to deliver. */
        TARNIX_LOG_WARN("Dropped a message with an empty binary attachment for topic %s; msg_p=%p",
                        subscription->mTopic, msg);
        freeMsg(msg);
        return;
    }

    mamaMsg message = mamaQueueImpl_getMsg(subscription->mMamaQueue);
    if (message == nullptr)
    {
        TARNIX_LOG_ERROR("Error from calling mamaQueueImpl_getMsg. Could not get cached mamaMsg from event queue.");
        freeMsg(msg);
        return;
    }
    const char id = static_cast<const char*>(buffer)[0];
    mama_status status = MAMA_STATUS_OK;
    TarnixMsgBridge* bridgeMsg = nullptr;
    switch (tarnixBridgeMamaTransportImpl_decode(message, buffer, length, &status, &bridgeMsg))
    {
        case TarnixDecodeResult::Ok: break;
        case TarnixDecodeResult::NotDecoded:
            logDecodeFailure(status, message, msg, buffer, length);
            freeMsg(msg);
            return;
        case TarnixDecodeResult::NoBridgeMessage:
            TARNIX_LOG_ERROR("Error getting bridge message from mamaMsg. The message may have already been destroyed; "
                             "status=%s, payload ID is '%c' [0x%02X]",
                             mamaStatus_stringForStatus(status), id, static_cast<unsigned char>(id));
            freeMsg(msg);
            return;
    }
    if (msgType >= 0 && (status = setMsgType(message, msgType)) != MAMA_STATUS_OK)
        TARNIX_LOG_WARN("Could not mark the cache's answer for topic %s as message type %s: %s", subscription->mTopic,
                        mamaMsgType_stringForType(static_cast<mamaMsgType>(msgType)),
                        mamaStatus_stringForStatus(status));
    bridgeMsg->mTrxMsg = msg;
    bridgeMsg->mDetached = false;

    char subject[TARNIX_TOPIC_BUFFER];
    subject[0] = '\0';
    if (subscription->mWildcard)
    {
        trxClient_destination_t destination{TRXCLIENT_TOPIC_DESTINATION, nullptr};
        rc = trxClient_msg_getDestination(msg, &destination, sizeof(destination));
        if (rc != TRXCLIENT_OK || destination.dest == nullptr)
        {
            TARNIX_LOG_ERROR("trxClient_msg_getDestination() returnCode='%s'", trxClient_returnCodeToString(rc));
            std::strcpy(subject, "unavailable");
        }
        else
        {
            tarnixTopic_toSubject(destination.dest, subject, sizeof(subject));
        }
    }
    const char* function = nullptr;
    status = tarnixBridgeMamaTransportImpl_process(subscription, message, subject, &function);
    if (status != MAMA_STATUS_OK)
        TARNIX_LOG_ERROR("Error from calling %s. Failed. status=[%d] %s", function, status,
                         mamaStatus_stringForStatus(status));

    /* A message the application detached now belongs to its bridge message
     * (freed with it), whatever the callback returned. */
    if (!bridgeMsg->mDetached)
    {
        bridgeMsg->mTrxMsg = nullptr;
        freeMsg(msg);
    }
}

/* A message event left on a queue that is being destroyed. */
void discardMsgEvent(void* closure)
{
    MessageNode* node = static_cast<MessageNode*>(closure);
    freeMsg(node->mMsg);
    tarnixBridgeMamaTransportImpl_removePendingBytes(node->mSubscription->mTransportBridge, node->mBytes);
    tarnixBridgeMamaSubscriptionImpl_release(node->mSubscription);
    delete node;
}

/* The subscription is there, not going and not muted. A discard indication
 * tells the application of the loss first, whatever comes of the message. */
bool mayReceive(TarnixBridgeSubscription* subscription, trxClient_opaqueMsg_pt msg)
{
    if (subscription == nullptr)
    {
        TARNIX_LOG_ERROR("Error in getting tarnix subscription from message. tarnixSubscription is NULL.");
        return false;
    }
    if (trxClient_msg_isDiscardIndication(msg))
        tarnixBridgeMamaTransportImpl_enqueueTransportEvent(subscription->mTransportBridge, MAMA_TRANSPORT_QUALITY, 0,
                                                            nullptr);
    if (subscription->destroying(std::memory_order_relaxed))
        return false;
    if (subscription->muted(std::memory_order_relaxed))
    {
        TARNIX_LOG_FINEST("muted - not queueing update for topic %s", subscription->mTopic);
        return false;
    }
    if (subscription->mMamaSubscription == nullptr)
    {
        TARNIX_LOG_ERROR("Error in getting mama subscription from message. mMamaSubscription is NULL.");
        return false;
    }
    return true;
}

/* Cached or suspect: an answer from the cache, not live traffic. */
bool isCacheAnswer(trxClient_opaqueMsg_pt msg)
{
    const trxClient_cacheStatus_t cache = trxClient_msg_isCacheMsg(msg);
    return cache == TRXCLIENT_CACHE_MSG_CACHED || cache == TRXCLIENT_CACHE_MSG_SUSPECT;
}

/* A cache answer is the subscription's when it carries its request
 * identifier, or none; one whose identifier cannot be read is not. */
bool askedFor(const TarnixBridgeSubscription* subscription, trxClient_opaqueMsg_pt msg)
{
    uint64_t requestId = 0;
    trxClient_returnCode_t rc = trxClient_msg_getCacheRequestId(msg, &requestId);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Unable to get Cache Request Id");
        TARNIX_LOG_ERROR("Unable to get Cache Request Id of received cache response. Discarding received "
                         "message. subscription=%p, msg_p=%p",
                         static_cast<const void*>(subscription), msg);
        return false;
    }
    if (requestId == 0 || requestId == subscription->mCacheRequestId)
        return true;
    TARNIX_LOG_FINEST("Discarding cache response not requested by this subscription, subscription=%p "
                      "ReceivedCacheRequestId=%" PRIu64 " subscCacheRequestId=%" PRIu64,
                      static_cast<const void*>(subscription), requestId, subscription->mCacheRequestId);
    return false;
}

/* Without asynchronous subscriptions nothing holds the transport back: a
 * message beyond the queue's depth, or the transport's byte mark, is
 * discarded (a throttled log line says so). */
bool queueHasRoom(TarnixBridgeSubscription* subscription, size_t depth)
{
    if (tarnixBridgeMamaQueueImpl_isSubscribeAsync(subscription->mQueueBridge))
        return true;
    if (depth >= subscription->mMaxQueueDepth)
    {
        tarnixThrottledLog_log(subscription->mDiscardLog,
                               "Discarding message with topic '%s'; cannot exceed maximum queue depth of %" PRIu64,
                               subscription->mTopic, subscription->mMaxQueueDepth);
        return false;
    }
    TarnixTransportBridge* transport = subscription->mTransportBridge;
    if (tarnixBridgeMamaTransportImpl_pendingBytesFull(transport))
    {
        tarnixThrottledLog_log(subscription->mDiscardLog,
                               "Discarding message with topic '%s'; its transport holds half of "
                               "max_pending_bytes (%" PRIu64 ") on queues",
                               subscription->mTopic, transport->mMaxPendingBytes);
        return false;
    }
    return true;
}

/* Puts the message on the subscription's queue, its bytes counted on the
 * transport until it is dispatched. False (logged) when it is not queued. */
bool enqueue(TarnixBridgeSubscription* subscription, trxClient_opaqueMsg_pt msg, int32_t msgType)
{
    TarnixTransportBridge* transport = subscription->mTransportBridge;
    const void* attachment = nullptr;
    uint32_t bytes = 0;
    if (trxClient_msg_getBinaryAttachmentPtr(msg, &attachment, &bytes) != TRXCLIENT_OK)
        bytes = 0; /* reported when it is delivered */
    MessageNode* node = new (std::nothrow) MessageNode{msg, subscription, bytes, msgType};
    if (node == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for message node");
        return false;
    }
    tarnixBridgeMamaTransportImpl_addPendingBytes(transport, bytes);
    tarnixBridgeMamaSubscriptionImpl_retain(subscription);
    mama_status status = tarnixBridgeMamaQueueImpl_enqueueOwned(
        subscription->mQueueBridge, tarnixBridgeMamaTransportImpl_onMsgEvent, discardMsgEvent, node);
    if (status != MAMA_STATUS_OK)
    {
        tarnixBridgeMamaTransportImpl_removePendingBytes(transport, bytes);
        tarnixBridgeMamaSubscriptionImpl_release(subscription);
        delete node;
        TARNIX_LOG_ERROR("Could not enqueue message: %s; msg=%p user_p=%p", mamaStatus_stringForStatus(status), msg,
                         static_cast<void*>(subscription));
        return false;
    }
    return true;
}

/* The subscription receive path, on the context thread: filters, then
 * queues the message for the subscription's dispatching thread. Returns
 * TAKE_MSG when the message is queued. */
trxClient_rxMsgCallback_returnCode_t receive(TarnixBridgeSubscription* subscription, trxClient_opaqueMsg_pt msg,
                                             int32_t msgType)
{
    if (!mayReceive(subscription, msg))
        return TRXCLIENT_CALLBACK_OK;
    size_t depth = 0;
    mama_status status =
        tarnixBridgeMamaQueue_getEventCount(reinterpret_cast<queueBridge>(subscription->mQueueBridge), &depth);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("could not get event count: %s", mamaStatus_stringForStatus(status));
        return TRXCLIENT_CALLBACK_OK;
    }
    if ((isCacheAnswer(msg) && !askedFor(subscription, msg)) || !queueHasRoom(subscription, depth) ||
        !enqueue(subscription, msg, msgType))
        return TRXCLIENT_CALLBACK_OK;
    return TRXCLIENT_CALLBACK_TAKE_MSG;
}

} // namespace

TarnixDecodeResult tarnixBridgeMamaTransportImpl_decode(mamaMsg message, const void* buffer, uint32_t length,
                                                        mama_status* status, TarnixMsgBridge** bridgeMsg)
{
    if (buffer != nullptr)
    {
        *status = mamaMsgImpl_setMsgBuffer(message, buffer, length, static_cast<const char*>(buffer)[0]);
        if (*status != MAMA_STATUS_OK)
            return TarnixDecodeResult::NotDecoded;
    }
    msgBridge handle = nullptr;
    *status = mamaMsgImpl_getBridgeMsg(message, &handle);
    if (*status != MAMA_STATUS_OK || handle == nullptr)
        return TarnixDecodeResult::NoBridgeMessage;
    *bridgeMsg = reinterpret_cast<TarnixMsgBridge*>(handle);
    return TarnixDecodeResult::Ok;
}

mama_status tarnixBridgeMamaTransportImpl_process(TarnixBridgeSubscription* subscription, mamaMsg message,
                                                  const char* subject, const char** function)
{
    if (subscription->mWildcard)
    {
        *function = "mamaSubscription_processWildCardMsg";
        return mamaSubscription_processWildCardMsg(subscription->mMamaSubscription, message, subject, nullptr);
    }
    *function = "mamaSubscription_processMsg";
    return mamaSubscription_processMsg(subscription->mMamaSubscription, message);
}

extern "C"
{

    trxClient_rxMsgCallback_returnCode_t tarnixBridgeMamaTransportImpl_onSessionMsg(trxClient_opaqueSession_pt session,
                                                                                    trxClient_opaqueMsg_pt msg,
                                                                                    void* user)
    {
        trxClient_destination_t destination{TRXCLIENT_TOPIC_DESTINATION, nullptr};
        trxClient_returnCode_t rc = trxClient_msg_getDestination(msg, &destination, sizeof(destination));
        if (rc != TRXCLIENT_OK || destination.dest == nullptr)
        {
            TARNIX_LOG_ERROR("Received opaqueSession_p=%p msg_p=%p trxClient_msg_getDestination() returnCode='%s'",
                             session, msg, trxClient_returnCodeToString(rc));
            return TRXCLIENT_CALLBACK_OK;
        }
        const char* topic = destination.dest;
        const bool p2p = isP2P(topic);
        TARNIX_LOG(p2p ? MAMA_LOG_LEVEL_FINEST : MAMA_LOG_LEVEL_ERROR,
                   "Received opaqueSession_p=%p msg_p=%p user_p=%p topic=%s", session, msg, user, topic);
        if (!p2p && mama_getLogLevel() >= MAMA_LOG_LEVEL_FINEST)
        {
            /* Any receiving thread may be here: a dump buffer of its own. */
            std::unique_ptr<char[]> dump(new (std::nothrow) char[kDumpSize]);
            if (dump != nullptr)
            {
                trxClient_msg_dumpExt(msg, dump.get(), kDumpSize, TRXCLIENT_MSGDUMP_FULL);
                dump[kDumpSize - 1] = '\0';
                TARNIX_LOG_FINEST("Received opaqueSession_p=%p msg_p=%p user_p=%p topic=%s msg=\n%s", session, msg,
                                  user, topic, dump.get());
            }
        }
        return TRXCLIENT_CALLBACK_OK;
    }

    trxClient_rxMsgCallback_returnCode_t
    tarnixBridgeMamaTransportImpl_onSubscriptionMsg(trxClient_opaqueSession_pt /*session*/, trxClient_opaqueMsg_pt msg,
                                                    void* user)
    {
        return receive(static_cast<TarnixBridgeSubscription*>(user), msg, -1);
    }

    trxClient_rxMsgCallback_returnCode_t
    tarnixBridgeMamaTransportImpl_onCacheAnswerMsg(trxClient_opaqueSession_pt /*session*/, trxClient_opaqueMsg_pt msg,
                                                   void* user)
    {
        /* Live traffic on the topic is the data subscription's, not the inbox's. */
        if (trxClient_msg_isCacheMsg(msg) == TRXCLIENT_CACHE_MSG_LIVE)
            return TRXCLIENT_CALLBACK_OK;
        TarnixBridgeSubscription* subscription = static_cast<TarnixBridgeSubscription*>(user);
        return receive(subscription, msg, subscription != nullptr ? subscription->mCacheAnswerType.load() : -1);
    }

    void MAMACALLTYPE tarnixBridgeMamaTransportImpl_onMsgEvent(mamaQueue /*queue*/, void* closure)
    {
        MessageNode* node = static_cast<MessageNode*>(closure);
        if (node == nullptr)
            return;
        TarnixBridgeSubscription* subscription = node->mSubscription;
        trxClient_opaqueMsg_pt msg = node->mMsg;
        const int32_t msgType = node->mMsgType;
        const uint32_t bytes = node->mBytes;
        delete node;

        if (subscription == nullptr)
        {
            TARNIX_LOG_ERROR("Called with NULL Tarnix subscription.");
            freeMsg(msg);
            return;
        }
        if (subscription->destroying())
        {
            /* Destroyed after this was queued: the application hears no more. */
            freeMsg(msg);
        }
        else if (subscription->mMamaSubscription == nullptr)
        {
            TARNIX_LOG_FINE("Called with NULL subscription.");
            freeMsg(msg);
        }
        else if (subscription->muted())
        {
            TARNIX_LOG_FINEST("muted - not queueing update for topic %s", subscription->mTopic);
            freeMsg(msg);
        }
        else
        {
            deliver(subscription, msg, msgType);
        }
        /* Counted until the application's callback is done with the message;
     * the node's reference keeps the subscription, and through it the
     * transport, until here. */
        tarnixBridgeMamaTransportImpl_removePendingBytes(subscription->mTransportBridge, bytes);
        tarnixBridgeMamaSubscriptionImpl_release(subscription);
    }

} // extern "C"
