#include "bridgeFunctions.h"
#include "logCapture.h"
#include "messaging.h"
#include "tarnixBridge.h"

#include <mama/integration/subscription.h>
#include <mama/source.h>
#include <mama/subscription.h>

#include <mutex>
#include <string>
#include <vector>

namespace
{

/* What a subscription's callbacks saw, in order. */
struct Seen
{
    std::vector<std::string> events; /* "msg:<text>", "error:<status>", "destroy" */
    std::vector<std::string> subjects;

    size_t count(const std::string& prefix) const
    {
        size_t n = 0;
        for (const std::string& e : events)
            n += e.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
};

void MAMACALLTYPE onCreate(mamaSubscription, void*) {}

void MAMACALLTYPE onError(mamaSubscription, mama_status status, void*, const char*, void* closure)
{
    static_cast<Seen*>(closure)->events.push_back("error:" + std::to_string(status));
}

void MAMACALLTYPE onMsg(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    static_cast<Seen*>(closure)->events.push_back("msg:" + textOf(msg));
}

void MAMACALLTYPE onDestroy(mamaSubscription, void* closure)
{
    static_cast<Seen*>(closure)->events.push_back("destroy");
}

void MAMACALLTYPE onWildcardMsg(mamaSubscription, mamaMsg msg, const char* topic, void* closure, void*)
{
    auto* seen = static_cast<Seen*>(closure);
    seen->events.push_back("msg:" + textOf(msg));
    seen->subjects.push_back(topic != nullptr ? topic : "(null)");
}

const mamaMsgCallbacks kCallbacks{onCreate, onError, onMsg, nullptr, nullptr, nullptr, onDestroy};

TarnixBridgeSubscription* subscriptionOf(mamaSubscription subscription)
{
    return reinterpret_cast<TarnixBridgeSubscription*>(mamaSubscription_getSubscriptionBridge(subscription));
}

class Subscription : public OneTransport
{
protected:
    /* A market-data subscription without an initial value, so nothing but
     * the subscription itself goes to the broker. */
    mamaSubscription subscribeMarketData(const char* symbol, Seen* seen)
    {
        if (mSource == nullptr)
            subscribeSourceOnly();
        mamaSubscription subscription = nullptr;
        EXPECT_EQ(mamaSubscription_allocate(&subscription), MAMA_STATUS_OK);
        mamaSubscription_setRequiresInitial(subscription, 0);
        EXPECT_EQ(mamaSubscription_create(subscription, mQueue, &kCallbacks, mSource, symbol, seen), MAMA_STATUS_OK);
        return subscription;
    }

    /* OpenMAMA cannot free a basic subscription whose creation the bridge
     * refused (it stays "activating", which destroy refuses). The refusals
     * are therefore made by the bridge directly, for a working basic
     * subscription standing in as the OpenMAMA parent: its callbacks are the
     * ones the bridge reports to. */
    mamaSubscription parentFor(Seen* seen) { return subscribeBasic(mTransport, mQueue, "PARENT", kCallbacks, seen); }

    void subscribeSourceOnly()
    {
        EXPECT_EQ(mamaSource_create(&mSource), MAMA_STATUS_OK);
        mamaSource_setId(mSource, "SRC");
        mamaSource_setSymbolNamespace(mSource, "SRC");
        mamaSource_setTransport(mSource, mTransport);
    }

    void TearDown() override
    {
        Messaging::TearDown();
        if (mSource != nullptr)
            mamaSource_destroy(mSource);
    }

    mamaSource mSource = nullptr;
};

TEST_F(Subscription, ABasicSubscriptionReceivesPublishedMessagesInOrder)
{
    Seen seen;
    LogCapture log;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "ORDERS", kCallbacks, &seen);
    EXPECT_EQ(log.matching("Using subscribeFlags=16").size(), 1u);
    TarnixBridgeSubscription* bridge = subscriptionOf(subscription);
    ASSERT_NE(bridge, nullptr);
    EXPECT_STREQ(bridge->mTopic, "ORDERS");
    EXPECT_EQ(tarnixBridgeMamaSubscription_isValid(reinterpret_cast<subscriptionBridge>(bridge)), 1);
    EXPECT_EQ(tarnixBridgeMamaSubscription_hasWildcards(reinterpret_cast<subscriptionBridge>(bridge)), 0);

    mamaPublisher publisher = createPublisher(mTransport, "ORDERS");
    for (const char* text : {"one", "two", "three"})
        publish(publisher, text);
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return seen.count("msg:") == 3; }));
    EXPECT_EQ(seen.events, (std::vector<std::string>{"msg:one", "msg:two", "msg:three"}));
    destroySubscription(subscription, mQueue);
}

TEST_F(Subscription, WaitsForTheBrokerWithoutAsynchronousSubscriptions)
{
    mClosure->mSubscribeAsync.store(false);
    Seen seen;
    LogCapture log;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "ORDERS", kCallbacks, &seen);
    EXPECT_EQ(log.matching("Using subscribeFlags=2").size(), 1u);
    /* Answered before the call returned: nothing is left waiting. */
    EXPECT_EQ(subscriptionOf(subscription)->mSyncManager.mHead, nullptr);
    publish(createPublisher(mTransport, "ORDERS"), "one");
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return seen.count("msg:") == 1; }));
    destroySubscription(subscription, mQueue);
    mClosure->mSubscribeAsync.store(true);
}

/* Refusals (sub-code 68) reach the application as NOT_ENTITLED through its
 * error callback on the subscription's queue. Waiting for the broker, a
 * basic subscription fails to be created; any other is kept, invalid. An
 * answer that comes later also deactivates the subscription. */
TEST_F(Subscription, ARefusedSubscriptionIsNotEntitled)
{
    ASSERT_EQ(trxClientTest_inproc_denySubscribe(broker().c_str(), "SECRET/>"), TRXCLIENT_OK);
    ASSERT_EQ(trxClientTest_inproc_denySubscribe(broker().c_str(), "SRC/SECRET"), TRXCLIENT_OK);
    const std::string notEntitled = "error:" + std::to_string(MAMA_STATUS_NOT_ENTITLED);

    /* Asynchronous (the default): both kinds are created, then fail. */
    {
        Seen basicSeen, marketSeen;
        mamaSubscription basic = subscribeBasic(mTransport, mQueue, "SECRET.A", kCallbacks, &basicSeen);
        mamaSubscription market = subscribeMarketData("SECRET", &marketSeen);
        ASSERT_TRUE(
            dispatchUntil(mQueue, [&] { return basicSeen.count("error:") == 1 && marketSeen.count("error:") == 1; }));
        EXPECT_EQ(basicSeen.events, std::vector<std::string>{notEntitled});
        EXPECT_EQ(marketSeen.events, std::vector<std::string>{notEntitled});
        for (mamaSubscription subscription : {basic, market})
        {
            mamaSubscriptionState state = MAMA_SUBSCRIPTION_UNKNOWN;
            ASSERT_TRUE(dispatchUntil(mQueue,
                                      [&]
                                      {
                                          mamaSubscription_getState(subscription, &state);
                                          return state == MAMA_SUBSCRIPTION_DEACTIVATED;
                                      }))
                << "state " << state;
            destroySubscription(subscription, mQueue);
        }
    }

    /* Waiting for the broker. */
    TarnixBridge* bridge = mClosure;
    bridge->mSubscribeAsync.store(false);
    {
        Seen basicSeen, marketSeen;
        mamaSubscription basic = parentFor(&basicSeen);
        subscriptionBridge refused = nullptr;
        EXPECT_EQ(tarnixBridgeMamaSubscription_create(&refused, "SECRET.B", nullptr, mTransport, mQueue, kCallbacks,
                                                      basic, &basicSeen),
                  MAMA_STATUS_NOT_ENTITLED);
        EXPECT_EQ(refused, nullptr);
        mamaSubscription market = subscribeMarketData("SECRET", &marketSeen);
        ASSERT_TRUE(
            dispatchUntil(mQueue, [&] { return basicSeen.count("error:") == 1 && marketSeen.count("error:") == 1; }));
        EXPECT_EQ(basicSeen.events, std::vector<std::string>{notEntitled});
        EXPECT_EQ(marketSeen.events, std::vector<std::string>{notEntitled});
        ASSERT_NE(subscriptionOf(market), nullptr);
        EXPECT_EQ(tarnixBridgeMamaSubscription_isValid(reinterpret_cast<subscriptionBridge>(subscriptionOf(market))),
                  0);
        EXPECT_NE(subscriptionOf(market)->mCacheRequestId, 0u);
        /* Kept without a topic entry: freed by its destroy event. */
        destroySubscription(market, mQueue);
        EXPECT_EQ(marketSeen.events.back(), "destroy");
        destroySubscription(basic, mQueue);
    }
    bridge->mSubscribeAsync.store(true);
}

TEST_F(Subscription, AWildcardInAPlainSubscriptionIsRefusedThroughTheQueue)
{
    for (const char* topic : {"A.*", "A.B>"})
    {
        SCOPED_TRACE(topic);
        Seen seen;
        LogCapture log;
        mamaSubscription parent = parentFor(&seen);
        subscriptionBridge refused = nullptr;
        EXPECT_EQ(tarnixBridgeMamaSubscription_create(&refused, topic, nullptr, mTransport, mQueue, kCallbacks, parent,
                                                      &seen),
                  MAMA_STATUS_INVALID_ARG);
        auto lines = log.matching("Wildcard character used in non-wildcard subscription");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_WARN);
        /* The error event still refers to the subscription: dispatch first. */
        ASSERT_TRUE(dispatchUntil(mQueue, [&] { return seen.count("error:") == 1; }));
        EXPECT_EQ(seen.events, std::vector<std::string>{"error:" + std::to_string(MAMA_STATUS_INVALID_ARG)});
        destroySubscription(parent, mQueue);
    }
}

TEST_F(Subscription, AWildcardSubscriptionGetsTheSubjectOfEachMessage)
{
    Seen seen;
    mamaSubscription subscription = nullptr;
    ASSERT_EQ(mamaSubscription_allocate(&subscription), MAMA_STATUS_OK);
    mamaWildCardMsgCallbacks callbacks{onCreate, onError, onWildcardMsg, onDestroy};
    ASSERT_EQ(mamaSubscription_createBasicWildCard(subscription, mTransport, mQueue, &callbacks, "PRICES", "*", &seen),
              MAMA_STATUS_OK);
    TarnixBridgeSubscription* bridge = subscriptionOf(subscription);
    EXPECT_STREQ(bridge->mTopic, "PRICES/*");
    EXPECT_EQ(tarnixBridgeMamaSubscription_hasWildcards(reinterpret_cast<subscriptionBridge>(bridge)), 1);

    publish(createPublisher(mTransport, "IBM", "PRICES"), "ibm");
    publish(createPublisher(mTransport, "BRK/A", "PRICES"), "brk");
    publish(createPublisher(mTransport, "X", "OTHER"), "other");
    publish(createPublisher(mTransport, "MSFT", "PRICES"), "msft");
    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return seen.count("msg:") == 3; }));
    settle(mQueue);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"msg:ibm", "msg:brk", "msg:msft"}));
    EXPECT_EQ(seen.subjects, (std::vector<std::string>{"PRICES.IBM", "PRICES.BRK/A", "PRICES.MSFT"}));
    destroySubscription(subscription, mQueue);
}

/* A destroyed subscription is done with at once, as OpenMAMA's own bridges
 * do it (an application may destroy its transport or queue next): its
 * destroy callback comes before anything still queued for it, which is then
 * dropped, and nothing reaches its message callback any more. */
TEST_F(Subscription, ADestroyedSubscriptionHearsNothingMoreAndItsQueuedMessagesAreDropped)
{
    Seen seen;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "ORDERS", kCallbacks, &seen);
    mamaPublisher publisher = createPublisher(mTransport, "ORDERS");
    for (const char* text : {"a", "b", "c"})
        publish(publisher, text);
    drainClient();
    size_t depth = 0;
    ASSERT_EQ(mamaQueue_getEventCount(mQueue, &depth), MAMA_STATUS_OK);
    ASSERT_EQ(depth, 3u);

    ASSERT_EQ(mamaSubscription_destroy(subscription), MAMA_STATUS_OK);
    EXPECT_EQ(seen.events, std::vector<std::string>{"destroy"});
    publish(publisher, "late"); /* not queued any more */
    settle(mQueue);
    EXPECT_EQ(seen.events, std::vector<std::string>{"destroy"});
    ASSERT_EQ(mamaQueue_getEventCount(mQueue, &depth), MAMA_STATUS_OK);
    EXPECT_EQ(depth, 0u);
    EXPECT_EQ(mamaSubscription_deallocate(subscription), MAMA_STATUS_OK);
}

/* A transport destroyed before its subscriptions keeps its record until the
 * last of them is gone; destroying them still ends in their callbacks. */
TEST_F(Subscription, ATransportDestroyedFirstIsReleasedByItsLastSubscription)
{
    Seen first, second;
    mamaSubscription a = subscribeBasic(mTransport, mQueue, "A", kCallbacks, &first);
    mamaSubscription b = subscribeBasic(mTransport, mQueue, "B", kCallbacks, &second);
    settle(mQueue);
    TarnixTransportBridge* transport = bridgeOf(mTransport);
    destroyTransport(mTransport);
    EXPECT_EQ(mClosure->mTransportList->count(), 1u);
    EXPECT_EQ(transport->mSession.load(), nullptr);
    const transportBridge handle = reinterpret_cast<transportBridge>(transport);
    EXPECT_EQ(tarnixBridgeMamaTransport_isValid(handle), 0);
    EXPECT_EQ(tarnixBridgeMamaTransport_destroy(handle), MAMA_STATUS_INVALID_ARG); /* destroyed once only */

    destroySubscription(a, mQueue);
    EXPECT_EQ(first.events, std::vector<std::string>{"destroy"});
    EXPECT_EQ(mClosure->mTransportList->count(), 1u);
    destroySubscription(b, mQueue);
    EXPECT_EQ(second.events, std::vector<std::string>{"destroy"});
    EXPECT_EQ(mClosure->mTransportList->count(), 0u);
    createTransport("t"); /* the name is free again */
}

TEST_F(Subscription, MutedUpdatesAreDroppedWhetherQueuedOrNot)
{
    Seen seen;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "ORDERS", kCallbacks, &seen);
    mamaPublisher publisher = createPublisher(mTransport, "ORDERS");
    publish(publisher, "queued");
    drainClient();
    LogCapture log;
    ASSERT_EQ(tarnixBridgeMamaSubscription_mute(reinterpret_cast<subscriptionBridge>(subscriptionOf(subscription))),
              MAMA_STATUS_OK);
    publish(publisher, "after");
    settle(mQueue);
    EXPECT_TRUE(seen.events.empty());
    EXPECT_EQ(log.matching("muted - not queueing update for topic ORDERS").size(), 2u);
    destroySubscription(subscription, mQueue);
}

TEST_F(Subscription, NotOfferedAndNullArguments)
{
    LogCapture log;
    void* error = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(tarnixBridgeMamaSubscription_getPlatformError(nullptr, &error), MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(error, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(tarnixBridgeMamaSubscription_setTopicClosure(nullptr, nullptr), MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(log.matching("not implemented by this bridge").size(), 2u);
    EXPECT_EQ(tarnixBridgeMamaSubscription_isTportDisconnected(nullptr), MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaSubscription_mute(nullptr), MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaSubscription_destroy(nullptr), MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaSubscription_isValid(nullptr), 0);
    subscriptionBridge result = nullptr;
    EXPECT_EQ(tarnixBridgeMamaSubscription_create(&result, "S", "Y", nullptr, mQueue, kCallbacks, nullptr, nullptr),
              MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(log.matching("Error, received null argument.").size(), 1u);
}

/* The cache's answers are told apart by these identifiers: basic
 * subscriptions (inboxes among them) get their own as well. */
TEST_F(Subscription, CacheRequestIdentifiersAreDistinctAndNeverZero)
{
    Seen a, b, c;
    mamaSubscription first = subscribeMarketData("ONE", &a);
    mamaSubscription basic = subscribeBasic(mTransport, mQueue, "TWO", kCallbacks, &b);
    mamaSubscription second = subscribeMarketData("THREE", &c);
    ASSERT_TRUE(
        dispatchUntil(mQueue, [&] { return subscriptionOf(first) != nullptr && subscriptionOf(second) != nullptr; }));
    const uint64_t ids[] = {subscriptionOf(first)->mCacheRequestId, subscriptionOf(basic)->mCacheRequestId,
                            subscriptionOf(second)->mCacheRequestId};
    for (uint64_t id : ids)
        EXPECT_NE(id, 0u);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
    EXPECT_NE(ids[0], ids[2]);
    for (mamaSubscription s : {first, basic, second})
        destroySubscription(s, mQueue);
}

} // namespace
