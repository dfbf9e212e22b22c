#include "bridgeFunctions.h"
#include "inbox.h"
#include "logCapture.h"
#include "messaging.h"
#include "msg.h"

#include <mama/inbox.h>
#include <mama/integration/inbox.h>
#include <mama/integration/msg.h>
#include <mama/publisher.h>
#include <mama/reservedfields.h>
#include <msgimpl.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

/* The responder side: answers each request twice, once through the request
 * and once through a copy of its reply handle. */
struct Responder
{
    mamaPublisher mReplies = nullptr;
    std::vector<int> mFromInbox;
    std::vector<std::string> mHandles;
    bool mCopyWasSeparate = false;
};

void reply(Responder* responder, mamaMsg request)
{
    responder->mFromInbox.push_back(mamaMsg_isFromInbox(request));
    mamaMsgReply handle = nullptr;
    ASSERT_EQ(mamaMsg_getReplyHandle(request, &handle), MAMA_STATUS_OK);
    mamaMsgReply copy = nullptr;
    ASSERT_EQ(mamaMsg_copyReplyHandle(handle, &copy), MAMA_STATUS_OK);
    const char* original = static_cast<const char*>(handle->replyHandle);
    const char* copied = static_cast<const char*>(copy->replyHandle);
    responder->mHandles.push_back(original);
    responder->mCopyWasSeparate = copied != original && std::strcmp(copied, original) == 0;
    mamaMsg_destroyReplyHandle(handle);

    mamaMsg answer = nullptr;
    ASSERT_EQ(mamaMsg_create(&answer), MAMA_STATUS_OK);
    mamaMsg_addString(answer, "text", 101, "by request");
    EXPECT_EQ(mamaPublisher_sendReplyToInbox(responder->mReplies, request, answer), MAMA_STATUS_OK);
    mamaMsg_updateString(answer, "text", 101, "by handle");
    EXPECT_EQ(mamaPublisher_sendReplyToInboxHandle(responder->mReplies, copy, answer), MAMA_STATUS_OK);
    mamaMsg_destroy(answer);
    mamaMsg_destroyReplyHandle(copy);
}

void MAMACALLTYPE onRequest(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    reply(static_cast<Responder*>(closure), msg);
}

struct Requester
{
    std::vector<std::string> mReplies;
    std::vector<int> mRepliesFromInbox;
    bool mDestroyed = false;
};

void MAMACALLTYPE onReply(mamaMsg msg, void* closure)
{
    auto* requester = static_cast<Requester*>(closure);
    requester->mReplies.push_back(textOf(msg));
    requester->mRepliesFromInbox.push_back(mamaMsg_isFromInbox(msg));
}

void MAMACALLTYPE onInboxError(mama_status, void*) {}

void MAMACALLTYPE onInboxDestroyed(mamaInbox, void* closure)
{
    static_cast<Requester*>(closure)->mDestroyed = true;
}

class Inbox : public OneTransport
{
protected:
    mamaInbox createInbox(Requester* requester)
    {
        mamaInbox inbox = nullptr;
        EXPECT_EQ(mamaInbox_create2(&inbox, mTransport, mQueue, onReply, onInboxError, onInboxDestroyed, requester),
                  MAMA_STATUS_OK);
        return inbox;
    }

    void destroyInbox(mamaInbox inbox, Requester* requester)
    {
        ASSERT_EQ(mamaInbox_destroy(inbox), MAMA_STATUS_OK);
        EXPECT_TRUE(dispatchUntil(mQueue, [&] { return requester->mDestroyed; }));
    }
};

TEST_F(Inbox, ARequestIsAnsweredThroughItsReplyHandle)
{
    Responder responder;
    responder.mReplies = createPublisher(mTransport, "unused");
    const mamaMsgCallbacks callbacks{ignoreCreate, nullptr, onRequest, nullptr, nullptr, nullptr, nullptr};
    mamaSubscription service = subscribeBasic(mTransport, mQueue, "SERVICE", callbacks, &responder);

    Requester requester;
    LogCapture log;
    mamaInbox inbox = createInbox(&requester);
    EXPECT_EQ(log.matching("Using subscribeFlags=8").size(), 1u);
    auto* bridgeInbox = reinterpret_cast<TarnixInboxBridge*>(mamaInboxImpl_getInboxBridge(inbox));
    ASSERT_NE(bridgeInbox, nullptr);
    TarnixTransportBridge* transport = bridgeOf(mTransport);
    const std::string replyTo = bridgeInbox->mTarnixReplyToTopic;
    const std::string uuid = replyTo.substr(std::strlen(transport->mInboxTarnixReplyToPrefix));
    EXPECT_EQ(replyTo, transport->mInboxTarnixReplyToPrefix + uuid);
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(log.matching(std::string("mamaInboxSubTopic='") + transport->mInboxTarnixSubPrefix + uuid + "'").size(),
              1u);

    mamaPublisher requests = createPublisher(mTransport, "SERVICE");
    mamaMsg request = nullptr;
    ASSERT_EQ(mamaMsg_create(&request), MAMA_STATUS_OK);
    mamaMsg_addString(request, "text", 101, "question");
    ASSERT_EQ(mamaPublisher_sendFromInbox(requests, inbox, request), MAMA_STATUS_OK);
    mamaMsg_destroy(request);

    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return requester.mReplies.size() == 2; }));
    EXPECT_EQ(responder.mFromInbox, std::vector<int>{1});
    EXPECT_EQ(responder.mHandles, std::vector<std::string>{replyTo});
    EXPECT_TRUE(responder.mCopyWasSeparate);
    EXPECT_EQ(requester.mReplies, (std::vector<std::string>{"by request", "by handle"}));
    /* Replies carry no reply-to of their own. */
    EXPECT_EQ(requester.mRepliesFromInbox, (std::vector<int>{0, 0}));

    destroyInbox(inbox, &requester);
    destroySubscription(service, mQueue);
}

struct Kept
{
    mamaMsg mMsg = nullptr;
};

void MAMACALLTYPE onKeep(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    ASSERT_EQ(mamaMsg_detach(msg), MAMA_STATUS_OK);
    static_cast<Kept*>(closure)->mMsg = msg;
}

/* A detached message keeps its client-library message, so its reply handle
 * still works after the callback; destroying it frees both. */
TEST_F(Inbox, ADetachedRequestCanBeAnsweredLater)
{
    Kept kept;
    const mamaMsgCallbacks callbacks{ignoreCreate, nullptr, onKeep, nullptr, nullptr, nullptr, nullptr};
    mamaSubscription service = subscribeBasic(mTransport, mQueue, "SERVICE", callbacks, &kept);
    Requester requester;
    mamaInbox inbox = createInbox(&requester);
    mamaPublisher requests = createPublisher(mTransport, "SERVICE");
    mamaMsg request = nullptr;
    ASSERT_EQ(mamaMsg_create(&request), MAMA_STATUS_OK);
    mamaMsg_addString(request, "text", 101, "later");
    ASSERT_EQ(mamaPublisher_sendFromInbox(requests, inbox, request), MAMA_STATUS_OK);
    mamaMsg_destroy(request);
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return kept.mMsg != nullptr; }));
    settle(mQueue);

    msgBridge handle = nullptr;
    ASSERT_EQ(mamaMsgImpl_getBridgeMsg(kept.mMsg, &handle), MAMA_STATUS_OK);
    auto* bridgeMsg = reinterpret_cast<TarnixMsgBridge*>(handle);
    EXPECT_TRUE(bridgeMsg->mDetached);
    ASSERT_NE(bridgeMsg->mTrxMsg, nullptr);
    EXPECT_EQ(textOf(kept.mMsg), "later");

    mamaMsg answer = nullptr;
    ASSERT_EQ(mamaMsg_create(&answer), MAMA_STATUS_OK);
    mamaMsg_addString(answer, "text", 101, "answer");
    EXPECT_EQ(mamaPublisher_sendReplyToInbox(requests, kept.mMsg, answer), MAMA_STATUS_OK);
    mamaMsg_destroy(answer);
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return requester.mReplies.size() == 1; }));
    EXPECT_EQ(requester.mReplies[0], "answer");
    mamaMsg_destroy(kept.mMsg);

    destroyInbox(inbox, &requester);
    destroySubscription(service, mQueue);
}

struct Plain
{
    publisherBridge mReplies = nullptr;
    std::vector<mama_status> mHandleStatus;
    std::vector<mama_status> mReplyStatus;
    std::vector<int> mFromInbox;
};

void MAMACALLTYPE onPlain(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    auto* plain = static_cast<Plain*>(closure);
    plain->mFromInbox.push_back(mamaMsg_isFromInbox(msg));
    mamaMsgReply handle = nullptr;
    plain->mHandleStatus.push_back(mamaMsg_getReplyHandle(msg, &handle));
    mamaMsg_destroyReplyHandle(handle);
    /* OpenMAMA itself refuses to reply to a message not from an inbox; the
     * bridge's own check is what is shown here. */
    mamaMsg answer = nullptr;
    mamaMsg_create(&answer);
    plain->mReplyStatus.push_back(tarnixBridgeMamaPublisher_sendReplyToInbox(plain->mReplies, msg, answer));
    mamaMsg_destroy(answer);
}

TEST_F(Inbox, AMessageWithoutReplyToCannotBeAnswered)
{
    Plain plain;
    ASSERT_EQ(tarnixBridgeMamaPublisher_createByIndex(&plain.mReplies, mTransport, 0, "unused", nullptr, nullptr,
                                                      reinterpret_cast<mamaPublisher>(0x1)),
              MAMA_STATUS_OK);
    const mamaMsgCallbacks callbacks{ignoreCreate, nullptr, onPlain, nullptr, nullptr, nullptr, nullptr};
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "NEWS", callbacks, &plain);
    LogCapture log;
    publish(createPublisher(mTransport, "NEWS"), "no reply-to");
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return plain.mReplyStatus.size() == 1; }));
    EXPECT_EQ(plain.mFromInbox, std::vector<int>{0});
    EXPECT_EQ(plain.mHandleStatus, std::vector<mama_status>{MAMA_STATUS_INVALID_ARG});
    EXPECT_EQ(log.matching("Warning failed getting reply topic from msg, TrxReturnCode=").size(), 1u);
    EXPECT_EQ(plain.mReplyStatus, std::vector<mama_status>{MAMA_STATUS_INVALID_ARG});
    EXPECT_EQ(log.matching("Error getting replyTopic from message - ReturnCode=").size(), 1u);
    EXPECT_EQ(log.matching("Error getting replyTopic; replyTopic: ''; len: -1").size(), 1u);
    destroySubscription(subscription, mQueue);
    tarnixBridgeMamaPublisher_destroy(plain.mReplies);
}

TEST_F(Inbox, BridgeMessagesOfTheApplication)
{
    mamaMsg msg = nullptr;
    ASSERT_EQ(mamaMsg_create(&msg), MAMA_STATUS_OK);
    msgBridge handle = nullptr;
    ASSERT_EQ(tarnixBridgeMamaMsg_create(&handle, msg), MAMA_STATUS_OK);

    void* reply = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(tarnixBridgeMamaMsg_duplicateReplyHandle(handle, &reply), MAMA_STATUS_OK);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(tarnixBridgeMamaMsg_isFromInbox(handle), 0);
    EXPECT_EQ(tarnixBridgeMamaMsg_isFromInbox(nullptr), -1);
    EXPECT_EQ(tarnixBridgeMamaMsg_detach(handle), MAMA_STATUS_OK);
    EXPECT_FALSE(reinterpret_cast<TarnixMsgBridge*>(handle)->mDetached);

    ASSERT_EQ(tarnixBridgeMamaMsg_setSendSubject(handle, "IBM", "ignored"), MAMA_STATUS_OK);
    const char* symbol = nullptr;
    ASSERT_EQ(mamaMsg_getString(msg, MamaFieldSubscSymbol.mName, MamaFieldSubscSymbol.mFid, &symbol), MAMA_STATUS_OK);
    EXPECT_STREQ(symbol, "IBM");
    EXPECT_EQ(tarnixBridgeMamaMsg_setSendSubject(handle, nullptr, "x"), MAMA_STATUS_NULL_ARG);

    LogCapture log;
    void* error = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(tarnixBridgeMamaMsg_getPlatformError(handle, &error), MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(tarnixBridgeMamaMsgImpl_setReplyHandle(handle, error), MAMA_STATUS_NULL_ARG);
    char text[] = "topic";
    EXPECT_EQ(tarnixBridgeMamaMsgImpl_setReplyHandle(handle, text), MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(tarnixBridgeMamaMsgImpl_setReplyHandleAndIncrement(handle, text), MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(log.matching("Not implemented").size(), 3u);
    EXPECT_EQ(tarnixBridgeMamaMsg_copyReplyHandle(nullptr, &reply), MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaMsg_destroyReplyHandle(nullptr), MAMA_STATUS_NULL_ARG);

    EXPECT_EQ(tarnixBridgeMamaMsg_destroy(handle, 1), MAMA_STATUS_OK);
    mamaMsg_destroy(msg);
}

/* A broker that refuses a transport its inbox topics: requests from its
 * inboxes fail with a status of their own instead of waiting for replies
 * that cannot come, and the cause is logged as an error once. */
void MAMACALLTYPE onArrival(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    static_cast<std::vector<int>*>(closure)->push_back(mamaMsg_isFromInbox(msg));
}

TEST_F(Inbox, RequestsFailWhenTheBrokerRefusesTheInboxTopics)
{
    std::vector<int> arrivedFromInbox;
    const mamaMsgCallbacks callbacks{ignoreCreate, nullptr, onArrival, nullptr, nullptr, nullptr, nullptr};
    mamaSubscription service = subscribeBasic(mTransport, mQueue, "SERVICE", callbacks, &arrivedFromInbox);

    ASSERT_EQ(trxClientTest_inproc_denySubscribe(broker().c_str(), "#P2P/>"), TRXCLIENT_OK);
    LogCapture log;
    configure("refused");
    mamaTransport refused = createTransport("refused");
    ASSERT_NE(refused, nullptr);
    Requester requester;
    mamaInbox inbox = nullptr;
    ASSERT_EQ(mamaInbox_create2(&inbox, refused, mQueue, onReply, onInboxError, onInboxDestroyed, &requester),
              MAMA_STATUS_OK);
    mamaPublisher requests = createPublisher(refused, "SERVICE");
    mamaMsg request = nullptr;
    ASSERT_EQ(mamaMsg_create(&request), MAMA_STATUS_OK);
    mamaMsg_addString(request, "text", 101, "question");
    EXPECT_EQ(mamaPublisher_sendFromInbox(requests, inbox, request), MAMA_STATUS_NOT_PERMISSIONED);
    EXPECT_EQ(mamaPublisher_sendFromInbox(requests, inbox, request), MAMA_STATUS_NOT_PERMISSIONED);
    /* What needs no reply still goes. */
    EXPECT_EQ(mamaPublisher_send(requests, request), MAMA_STATUS_OK);
    mamaMsg_destroy(request);
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return arrivedFromInbox.size() == 1; }));
    settle(mQueue);
    EXPECT_EQ(arrivedFromInbox, std::vector<int>{0}) << "only the plain send arrived";

    auto refusal = log.matching("refused the subscription to");
    ASSERT_EQ(refusal.size(), 1u);
    EXPECT_EQ(refusal[0].level, MAMA_LOG_LEVEL_ERROR);
    EXPECT_NE(refusal[0].text.find("Grant the user subscribe permission on Topic '#P2P/>'"), std::string::npos)
        << refusal[0].text;
    auto requestsLog = log.matching("request to 'SERVICE' not sent (MAMA_STATUS_NOT_PERMISSIONED)");
    ASSERT_EQ(requestsLog.size(), 2u);
    EXPECT_EQ(requestsLog[0].level, MAMA_LOG_LEVEL_ERROR);
    EXPECT_EQ(requestsLog[1].level, MAMA_LOG_LEVEL_FINE) << "the cause is logged as an error once";

    destroyInbox(inbox, &requester);
    destroySubscription(service, mQueue);
}

} // namespace
