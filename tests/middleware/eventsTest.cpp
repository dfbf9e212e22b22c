#include "logCapture.h"
#include "messaging.h"
#include "queue.h"
#include "synchronism.h"
#include "transportEvents.h"

#include <mama/integration/transport.h>

#include <string>
#include <thread>
#include <vector>

namespace
{

using Received = ReceivedTexts;
const mamaMsgCallbacks& kCallbacks = kReceiveTexts;

class Events : public Messaging
{
protected:
    void SetUp() override
    {
        Messaging::SetUp();
        if (HasFatalFailure())
            return;
        mQueue = createQueue();
        mCallbackQueue = createQueue();
        ASSERT_EQ(mamaTransport_allocate(&mTransport), MAMA_STATUS_OK);
        ASSERT_EQ(mamaTransport_setTransportCallback(mTransport, onTransportEvent, &mSeen), MAMA_STATUS_OK);
        ASSERT_EQ(mamaTransport_setTransportCallbackQueue(mTransport, mCallbackQueue), MAMA_STATUS_OK);
        ASSERT_EQ(mamaTransport_create(mTransport, "t", mBridge), MAMA_STATUS_OK);
        mTransports.push_back(mTransport);
        mBridgeTransport = bridgeOf(mTransport);
        mSession = mBridgeTransport->mSession.load();
    }

    bool waitForEvents(size_t count)
    {
        return dispatchUntil(mCallbackQueue, [&] { return mSeen.mEvents.size() >= count; });
    }

    TransportEvents mSeen;
    mamaTransport mTransport = nullptr;
    TarnixTransportBridge* mBridgeTransport = nullptr;
    trxClient_opaqueSession_pt mSession = nullptr;
    mamaQueue mQueue = nullptr;
    mamaQueue mCallbackQueue = nullptr;
};

TEST_F(Events, ALostConnectionIsADisconnectThenAReconnectOnTheCallbackQueue)
{
    Received received;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "NEWS", kCallbacks, &received);
    settle(mQueue);
    ASSERT_EQ(trxClientTest_session_dropConnection(mSession), TRXCLIENT_OK);
    ASSERT_EQ(trxClientTest_session_restoreConnection(mSession), TRXCLIENT_OK);
    ASSERT_TRUE(waitForEvents(3));
    EXPECT_EQ(mSeen.mEvents, (std::vector<mamaTransportEvent>{MAMA_TRANSPORT_CONNECT, MAMA_TRANSPORT_DISCONNECT,
                                                              MAMA_TRANSPORT_RECONNECT}));
    for (std::thread::id thread : mSeen.mThreads)
        EXPECT_EQ(thread, std::this_thread::get_id());

    /* The subscription survived the reconnect. */
    publish(createPublisher(mTransport, "NEWS"), "after");
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return received.mTexts.size() == 1; }));
    destroySubscription(subscription, mQueue);
}

/* The client library lets a session run again when it reconnects; a queue
 * that still holds the transport back must not lose that hold. */
TEST_F(Events, AReconnectKeepsASessionSuspendedWhileAQueueHoldsIt)
{
    Received received;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "NEWS", kCallbacks, &received);
    settle(mQueue);
    ASSERT_EQ(tarnixBridgeMamaTransportImpl_suspend(mBridgeTransport), MAMA_STATUS_OK);
    ASSERT_EQ(trxClientTest_session_dropConnection(mSession), TRXCLIENT_OK);
    ASSERT_EQ(trxClientTest_session_restoreConnection(mSession), TRXCLIENT_OK);
    ASSERT_TRUE(waitForEvents(3));
    EXPECT_EQ(mSeen.mEvents.back(), MAMA_TRANSPORT_RECONNECT);
    drainClient();

    publish(createPublisher(mTransport, "NEWS"), "held");
    settle(mQueue);
    EXPECT_TRUE(received.mTexts.empty());
    trxClient_session_stats_t stats{};
    ASSERT_EQ(trxClient_session_getStats(mSession, &stats), TRXCLIENT_OK);
    EXPECT_EQ(stats.rxBufferedMsgs, 1u);

    ASSERT_EQ(tarnixBridgeMamaTransportImpl_resume(mBridgeTransport), MAMA_STATUS_OK);
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return received.mTexts.size() == 1; }));
    EXPECT_EQ(received.mTexts[0], "held");
    destroySubscription(subscription, mQueue);
}

TEST_F(Events, ADiscardIndicationIsAQualityEventAndTheMessageStillArrives)
{
    Received received;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "NEWS", kCallbacks, &received);
    settle(mQueue);
    ASSERT_EQ(trxClientTest_session_markDiscard(mSession), TRXCLIENT_OK);
    publish(createPublisher(mTransport, "NEWS"), "after a gap");
    ASSERT_TRUE(waitForEvents(2));
    EXPECT_EQ(mSeen.mEvents.back(), MAMA_TRANSPORT_QUALITY);
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return received.mTexts.size() == 1; }));
    destroySubscription(subscription, mQueue);
}

TEST_F(Events, EventsOfATransportDestroyedMeanwhileReachNobody)
{
    ASSERT_EQ(trxClientTest_session_dropConnection(mSession), TRXCLIENT_OK);
    drainClient();
    size_t queued = 0;
    ASSERT_EQ(mamaQueue_getEventCount(mCallbackQueue, &queued), MAMA_STATUS_OK);
    ASSERT_EQ(queued, 1u);
    /* The subscription keeps the destroyed transport until it goes too. */
    Received received;
    mamaSubscription holder = subscribeBasic(mTransport, mQueue, "NEWS", kCallbacks, &received);
    destroyTransport(mTransport);
    settle(mCallbackQueue);
    EXPECT_EQ(mSeen.mEvents, std::vector<mamaTransportEvent>{MAMA_TRANSPORT_CONNECT});

    LogCapture log;
    tarnixBridgeMamaTransportImpl_enqueueTransportEvent(mBridgeTransport, MAMA_TRANSPORT_DISCONNECT, 0, nullptr);
    EXPECT_EQ(log.matching("Can not delivery OpenMAMA Transport event[DISCONNECT] on destroyed transport").size(), 1u);
    destroySubscription(holder, mQueue);
}

TEST_F(Events, SessionEventsWithoutAnOpenMamaMeaningAreOnlyLogged)
{
    struct Case
    {
        int event;
        void* correlation;
        const char* line;
        MamaLogLevel level;
    };
    const Case cases[] = {
        {7, nullptr, "Unexpected event.", MAMA_LOG_LEVEL_ERROR},
        {18, nullptr, "Unexpected event.", MAMA_LOG_LEVEL_ERROR},
        {5, nullptr, "responseCode=0 reason=why", MAMA_LOG_LEVEL_WARN},
        {15, nullptr, "responseCode=0, reason=why", MAMA_LOG_LEVEL_FINE},
        {16, nullptr, "Cannot correlate subscription event", MAMA_LOG_LEVEL_WARN},
        {4, nullptr, "Cannot correlate subscription event", MAMA_LOG_LEVEL_WARN},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.event);
        trxClient_errorInfo_t* info = trxClient_getLastErrorInfo();
        info->subCode = 0;
        info->responseCode = 0;
        std::snprintf(info->errorStr, sizeof(info->errorStr), "why");
        trxClient_session_eventCallbackInfo_t event{c.event, 0, "why", c.correlation};
        LogCapture log;
        tarnixBridgeMamaTransportImpl_onSessionEvent(mSession, &event, mBridgeTransport);
        auto lines = log.matching(c.line);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, c.level);
    }
    settle(mCallbackQueue);
    EXPECT_EQ(mSeen.mEvents, std::vector<mamaTransportEvent>{MAMA_TRANSPORT_CONNECT});
}

struct Answer
{
    bool mAsynchronous = false;
    int mReturnCode = 99;
};

Answer gAnswer;

mama_status recordAnswer(bool asynchronous, TarnixSynchronismContext* context)
{
    gAnswer = {asynchronous, tarnixSynchronismContext_getReturnCode(context)};
    return MAMA_STATUS_OK;
}

/* Subscription confirmations and refusals complete the request whose
 * correlation they carry: 0 for a confirmation, -1 for a refusal. */
TEST_F(Events, SubscriptionAnswersCompleteTheirRequests)
{
    TarnixSynchronismManager manager;
    ASSERT_TRUE(tarnixSynchronismManager_init(&manager));
    const std::pair<int, int> cases[] = {{TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK, 0},
                                         {TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR, -1}};
    for (const auto& [sessionEvent, returnCode] : cases)
    {
        SCOPED_TRACE(sessionEvent);
        gAnswer = Answer();
        TarnixCorrelationTag* tag = tarnixSynchronismManager_createCorrelationTag(&manager, recordAnswer);
        ASSERT_EQ(tarnixSynchronismManager_processSyncResult(&manager, tag, TRXCLIENT_IN_PROGRESS), MAMA_STATUS_OK);
        trxClient_session_eventCallbackInfo_t event{sessionEvent, 0, "answer",
                                                    tarnixSynchronismManager_getCorrelation(tag)};
        tarnixBridgeMamaTransportImpl_onSessionEvent(mSession, &event, mBridgeTransport);
        EXPECT_TRUE(gAnswer.mAsynchronous);
        EXPECT_EQ(gAnswer.mReturnCode, returnCode);
        EXPECT_EQ(manager.mHead, nullptr);
    }
    tarnixSynchronismManager_destroy(&manager);
}

} // namespace
