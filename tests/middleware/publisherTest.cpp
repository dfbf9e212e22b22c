#include "bridgeFunctions.h"
#include "logCapture.h"
#include "messaging.h"
#include "msg.h"
#include "publisher.h"
#include "transportEvents.h"

#include <mama/integration/msg.h>
#include <mama/publisher.h>
#include <mama/reservedfields.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{

struct Received
{
    std::vector<std::string> mTexts;
    std::vector<bool> mHasPublisherInfo;
};

void MAMACALLTYPE onMsg(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    auto* received = static_cast<Received*>(closure);
    received->mTexts.push_back(textOf(msg));
    msgBridge handle = nullptr;
    mamaMsgImpl_getBridgeMsg(msg, &handle);
    trxClient_opaqueContainer_pt map = nullptr;
    received->mHasPublisherInfo.push_back(
        trxClient_msg_getUserPropertyMap(reinterpret_cast<TarnixMsgBridge*>(handle)->mTrxMsg, &map) == TRXCLIENT_OK &&
        trxClient_container_getSize(map) == 4);
}

const mamaMsgCallbacks kCallbacks{ignoreCreate, nullptr, onMsg, nullptr, nullptr, nullptr, nullptr};

class Publisher : public OneTransport
{
protected:
    void send(mamaPublisher publisher, const char* text, int msgType)
    {
        mamaMsg msg = nullptr;
        ASSERT_EQ(mamaMsg_create(&msg), MAMA_STATUS_OK);
        mamaMsg_addString(msg, "text", 101, text);
        if (msgType >= 0)
            mamaMsg_addI32(msg, MamaFieldSubscMsgType.mName, MamaFieldSubscMsgType.mFid, msgType);
        EXPECT_EQ(mamaPublisher_send(publisher, msg), MAMA_STATUS_OK);
        mamaMsg_destroy(msg);
    }
};

TEST_F(Publisher, TheRootDecidesWhichPartsMakeTheSubject)
{
    struct Case
    {
        const char* root;
        const char* source;
        const char* topic;
        TarnixPublisherRootKind kind;
        const char* subject;
    };
    const Case cases[] = {
        {nullptr, "SRC", "IBM", TARNIX_ROOT_NONE, "SRC/IBM"},
        {nullptr, nullptr, "A.B", TARNIX_ROOT_NONE, "A/B"},
        {"_MD", "SRC", "IBM", TARNIX_ROOT_OTHER, "_MD/SRC"},
        {"_MDDD", "WOMBAT", "DATA_DICT", TARNIX_ROOT_DICTIONARY, "_MDDD/WOMBAT/DATA_DICT"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.subject);
        publisherBridge handle = nullptr;
        ASSERT_EQ(tarnixBridgeMamaPublisher_createByIndex(&handle, mTransport, 3, c.topic, c.source, c.root,
                                                          reinterpret_cast<mamaPublisher>(0x1)),
                  MAMA_STATUS_OK);
        auto* publisher = reinterpret_cast<TarnixPublisherBridge*>(handle);
        EXPECT_EQ(publisher->mRootKind, c.kind);
        EXPECT_STREQ(publisher->mSubject, c.subject);
        EXPECT_EQ(tarnixBridgeMamaPublisher_destroy(handle), MAMA_STATUS_OK);
    }

    for (const auto& [source, topic] : {std::pair{"SRC", "A*"}, std::pair{"SRC.A", ">"}})
    {
        LogCapture log;
        publisherBridge handle = reinterpret_cast<publisherBridge>(0x2);
        EXPECT_EQ(tarnixBridgeMamaPublisherImpl_create(&handle, mTransport, topic, source, nullptr,
                                                       reinterpret_cast<mamaPublisher>(0x1)),
                  MAMA_STATUS_INVALID_ARG);
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(log.matching(std::string("Error in generating subject from mRoot=(null) mSource=") + source +
                               " mTopic=" + topic + ": STATUS_INVALID_ARG")
                      .size(),
                  1u);
    }
}

/* Subscription requests to a data root are left to the cache service when
 * the transport uses it and does not send them itself. */
TEST_F(Publisher, SubscriptionRequestsAreNotSentWhenTheCacheAnswersThem)
{
    setProperty("mama.tarnix.transport.nocache.use_trxcache", "false");
    configure("nocache");
    mamaTransport nocache = createTransport("nocache");

    Received cached, uncached;
    mamaSubscription a = subscribeBasic(mTransport, mQueue, "_MD.SRC", kCallbacks, &cached);
    mamaSubscription b = subscribeBasic(nocache, mQueue, "_MD.SRC", kCallbacks, &uncached);
    settle(mQueue);
    for (mamaTransport transport : {mTransport, nocache})
    {
        mamaPublisher publisher = createPublisher(transport, "IBM", "SRC", "_MD");
        send(publisher, transport == mTransport ? "request" : "request (no cache)", 0);
        send(publisher, transport == mTransport ? "refresh" : "refresh (no cache)", 1);
    }
    send(createPublisher(mTransport, "_MD.SRC"), "plain", 0); /* no root */
    /* Both transports are on one broker: each subscription sees both. */
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return cached.mTexts.size() == 4 && uncached.mTexts.size() == 4; }));
    const std::vector<std::string> expected{"refresh", "request (no cache)", "refresh (no cache)", "plain"};
    EXPECT_EQ(cached.mTexts, expected);
    EXPECT_EQ(uncached.mTexts, expected);
    destroySubscription(a, mQueue);
    destroySubscription(b, mQueue);
}

TEST_F(Publisher, MessagesCarryPublisherInformationUnlessSwitchedOff)
{
    setProperty("mama.tarnix.transport.send_publisher_info", "false");
    configure("quiet");
    mamaTransport quiet = createTransport("quiet");
    Received received;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "NEWS", kCallbacks, &received);
    settle(mQueue);
    publish(createPublisher(mTransport, "NEWS"), "informed");
    publish(createPublisher(quiet, "NEWS"), "quiet");
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return received.mTexts.size() == 2; }));
    EXPECT_EQ(received.mTexts, (std::vector<std::string>{"informed", "quiet"}));
    EXPECT_EQ(received.mHasPublisherInfo, (std::vector<bool>{true, false}));
    destroySubscription(subscription, mQueue);
}

struct Destroyed
{
    int mCalls = 0;
    mamaPublisher mPublisher = nullptr;
    void* mClosure = nullptr;
};

void MAMACALLTYPE onPublisherDestroy(mamaPublisher publisher, void* closure)
{
    auto* destroyed = static_cast<Destroyed*>(closure);
    ++destroyed->mCalls;
    destroyed->mPublisher = publisher;
    destroyed->mClosure = closure;
}

TEST_F(Publisher, DestroyCallsTheDestroyCallbackOnce)
{
    Destroyed destroyed;
    mamaPublisherCallbacks* callbacks = nullptr;
    ASSERT_EQ(mamaPublisherCallbacks_allocate(&callbacks), MAMA_STATUS_OK);
    callbacks->onDestroy = onPublisherDestroy;
    mamaPublisher publisher = nullptr;
    ASSERT_EQ(
        mamaPublisher_createWithCallbacks(&publisher, mTransport, mQueue, "X", nullptr, nullptr, callbacks, &destroyed),
        MAMA_STATUS_OK);
    mamaPublisherCallbacks_deallocate(callbacks);
    ASSERT_EQ(mamaPublisher_destroy(publisher), MAMA_STATUS_OK);
    settle(mQueue);
    EXPECT_EQ(destroyed.mCalls, 1);
    EXPECT_EQ(destroyed.mPublisher, publisher);
    EXPECT_EQ(destroyed.mClosure, &destroyed);
}

struct TopicEvents
{
    std::vector<mamaTransportTopicEvent> mEvents;
    std::vector<std::string> mSubjects;
};

void MAMACALLTYPE onTopicEvent(mamaTransport, mamaTransportTopicEvent event, const char* topic, const void*,
                               void* closure)
{
    auto* events = static_cast<TopicEvents*>(closure);
    events->mEvents.push_back(event);
    events->mSubjects.push_back(topic != nullptr ? topic : "(null)");
}

TEST_F(Publisher, ARejectedPublicationBecomesATopicEvent)
{
    TopicEvents events;
    ASSERT_EQ(mamaTransport_setTransportTopicCallback(mTransport, onTopicEvent, &events), MAMA_STATUS_OK);
    ASSERT_EQ(mamaTransport_setTransportCallbackQueue(mTransport, mQueue), MAMA_STATUS_OK);
    ASSERT_EQ(trxClientTest_inproc_denyPublish(broker().c_str(), "SECRET/>"), TRXCLIENT_OK);
    LogCapture log;
    publish(createPublisher(mTransport, "A/B", "SECRET"), "refused");
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return events.mEvents.size() == 1; }));
    EXPECT_EQ(events.mEvents[0], MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR_NOT_ENTITLED);
    EXPECT_EQ(events.mSubjects[0], "SECRET.A/B");
    drainClient(); /* the line is written after the event is queued */
    EXPECT_EQ(log.matching("Message rejected: event=").size(), 1u);
}

/* The session event itself, as the client library raises it, for the
 * sub-codes that choose the topic event. */
TEST_F(Publisher, TheSubCodeOfARejectionChoosesTheTopicEvent)
{
    TopicEvents events;
    ASSERT_EQ(mamaTransport_setTransportTopicCallback(mTransport, onTopicEvent, &events), MAMA_STATUS_OK);
    ASSERT_EQ(mamaTransport_setTransportCallbackQueue(mTransport, mQueue), MAMA_STATUS_OK);
    struct Case
    {
        trxClient_subCode_t subCode;
        const char* text;
        mamaTransportTopicEvent event;
        const char* subject;
    };
    const Case cases[] = {
        {69, "refused Topic 'a^b/c' by policy", MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR_NOT_ENTITLED, "a/b.c"},
        {16, "Topic 'x\\/y", MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR_BAD_SYMBOL, "x/y"},
        {17, "Topic 'long'", MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR_BAD_SYMBOL, "long"},
        {33, "Topic 'big'", MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR_BAD_SYMBOL, "big"},
        {28, "no topic here", MAMA_TRANSPORT_TOPIC_PUBLISH_ERROR, ""},
    };
    TarnixTransportBridge* transport = bridgeOf(mTransport);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        events = TopicEvents();
        trxClient_errorInfo_t* info = trxClient_getLastErrorInfo();
        info->subCode = c.subCode;
        info->responseCode = 0;
        std::snprintf(info->errorStr, sizeof(info->errorStr), "%s", c.text);
        trxClient_session_eventCallbackInfo_t event{TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR, 0, c.text, nullptr};
        tarnixBridgeMamaTransportImpl_onSessionEvent(transport->mSession.load(), &event, transport);
        ASSERT_TRUE(dispatchUntil(mQueue, [&] { return events.mEvents.size() == 1; }));
        EXPECT_EQ(events.mEvents[0], c.event);
        EXPECT_EQ(events.mSubjects[0], c.subject);
    }
}

} // namespace

namespace
{

/* The client library's counters and the bridge's, as a NORMAL line per
 * transport every stats_interval seconds while they change. */
TEST_F(Publisher, CountersAreLoggedPerTransportWhileTheyChange)
{
    configure("counted");
    setProperty("mama.tarnix.transport.counted.stats_interval", "1");
    mamaTransport counted = createTransport("counted");
    Received received;
    LogCapture log;
    mamaSubscription subscription = subscribeBasic(counted, mQueue, "COUNTED", kCallbacks, &received);
    settle(mQueue);
    mamaPublisher publisher = createPublisher(counted, "COUNTED");
    for (const char* text : {"one", "two", "three"})
        publish(publisher, text);
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return received.mTexts.size() == 3; }));
    const std::string line = "Transport 'counted': received 3, sent 3, buffered 0 (0 bytes), discarded 0, "
                             "reconnects 0, slow-consumer events 0, cache requests 0 (misses 0, unanswered 0)";
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return !log.matching(line).empty(); }));
    EXPECT_EQ(log.matching(line)[0].level, MAMA_LOG_LEVEL_NORMAL);
    /* Unchanged: quiet. The default transport (60 s) has said nothing yet. */
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(log.matching("Transport 'counted': received").size(), 1u);
    EXPECT_TRUE(log.matching("Transport 't': received").empty());
    destroySubscription(subscription, mQueue);

    struct Case
    {
        const char* value;
        bool ok;
    };
    for (const Case& c : {Case{"0", true}, Case{"86400", true}, Case{"-1", false}, Case{"1.5", false},
                          Case{"86401", false}, Case{"often", false}})
    {
        SCOPED_TRACE(c.value);
        configure("interval");
        setProperty("mama.tarnix.transport.interval.stats_interval", c.value);
        transportBridge result = nullptr;
        LogCapture errors;
        const mama_status status = tarnixBridgeMamaTransport_create(&result, "interval", mTransport);
        EXPECT_EQ(status, c.ok ? MAMA_STATUS_OK : MAMA_STATUS_INVALID_ARG);
        if (status == MAMA_STATUS_OK)
            tarnixBridgeMamaTransport_destroy(result);
        else
            EXPECT_EQ(errors
                          .matching(std::string("Invalid value '") + c.value +
                                    "' for mama.tarnix.transport.interval.stats_interval: expected seconds from 0 "
                                    "(no statistics lines) to 86400")
                          .size(),
                      1u);
    }
}

} // namespace
