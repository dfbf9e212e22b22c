#include "logCapture.h"
#include "messaging.h"
#include "queue.h"
#include "tarnixBridge.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Received = ReceivedTexts;
const mamaMsgCallbacks& kCallbacks = kReceiveTexts;

void MAMACALLTYPE noop(mamaQueue, void*) {}

void MAMACALLTYPE countQuality(mamaTransport, mamaTransportEvent event, short, const void*, void* closure)
{
    if (event == MAMA_TRANSPORT_QUALITY)
        ++*static_cast<int*>(closure);
}

TarnixQueueBridge* queueBridgeOf(mamaQueue queue)
{
    void* native = nullptr;
    EXPECT_EQ(mamaQueue_getNativeHandle(queue, &native), MAMA_STATUS_OK);
    return static_cast<TarnixQueueBridge*>(native);
}

size_t depthOf(mamaQueue queue)
{
    size_t depth = 0;
    EXPECT_EQ(mamaQueue_getEventCount(queue, &depth), MAMA_STATUS_OK);
    return depth;
}

std::vector<std::string> numbered(const std::string& prefix, int count)
{
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i)
        texts.push_back(prefix + std::to_string(i));
    return texts;
}

class FlowControl : public Messaging
{
protected:
    void SetUp() override
    {
        Messaging::SetUp();
        if (HasFatalFailure())
            return;
        setProperty("mama.tarnix.transport.queue_max_size", "10");
        mTransport = createTransport();
        mSession = bridgeOf(mTransport)->mSession.load();
    }

    void publishAll(mamaPublisher publisher, const std::vector<std::string>& texts)
    {
        for (const std::string& text : texts)
            publish(publisher, text.c_str());
    }

    uint32_t suspendedCount() { return bridgeOf(mTransport)->mSuspendedQueueCount; }

    uint64_t buffered() { return stats(mSession).rxBufferedMsgs; }

    static trxClient_session_stats_t stats(trxClient_opaqueSession_pt session)
    {
        trxClient_session_stats_t stats{};
        EXPECT_EQ(trxClient_session_getStats(session, &stats), TRXCLIENT_OK);
        return stats;
    }

    /* A transport with a byte budget of 16384 (and a queue depth far away),
     * counting its quality events in mQuality. */
    mamaTransport createBudgetTransport()
    {
        mClosure->mMaxQueueSize.store(50000);
        configure("bytes");
        setProperty("mama.tarnix.transport.bytes.max_pending_bytes", "16384");
        mamaTransport transport = nullptr;
        EXPECT_EQ(mamaTransport_allocate(&transport), MAMA_STATUS_OK);
        EXPECT_EQ(mamaTransport_setTransportCallback(transport, countQuality, &mQuality), MAMA_STATUS_OK);
        EXPECT_EQ(mamaTransport_create(transport, "bytes", mBridge), MAMA_STATUS_OK);
        mTransports.push_back(transport);
        return transport;
    }

    mamaTransport mTransport = nullptr;
    trxClient_opaqueSession_pt mSession = nullptr;
    int mQuality = 0; /* outlives the test body: events may come until tear-down */
};

/* With M = 10 the enqueue that finds 10 queued suspends the session (and is
 * still queued); the dispatch that finds 7 queued (6 without the one it
 * dispatches) resumes it. Nothing is lost or reordered. */
TEST_F(FlowControl, AFullQueueHoldsTheSessionBackUntilItHasDrained)
{
    mamaQueue queue = createQueue();
    Received received;
    mamaSubscription subscription = subscribeBasic(mTransport, queue, "FLOW", kCallbacks, &received);
    settle(queue);
    const std::vector<std::string> sent = numbered("m", 40);
    publishAll(createPublisher(mTransport, "FLOW"), sent);
    drainClient();
    EXPECT_EQ(depthOf(queue), 11u);
    EXPECT_TRUE(queueBridgeOf(queue)->mSuspended.load());
    EXPECT_EQ(suspendedCount(), 1u);
    EXPECT_EQ(buffered(), 29u);

    while (depthOf(queue) > 7)
    {
        ASSERT_EQ(mamaQueue_timedDispatch(queue, 100), MAMA_STATUS_OK);
        ASSERT_EQ(suspendedCount(), 1u) << "resumed early";
    }
    ASSERT_EQ(mamaQueue_timedDispatch(queue, 100), MAMA_STATUS_OK);
    EXPECT_EQ(suspendedCount(), 0u);

    ASSERT_TRUE(dispatchUntil(queue, [&] { return received.mTexts.size() == sent.size(); }));
    EXPECT_EQ(received.mTexts, sent);
    EXPECT_FALSE(queueBridgeOf(queue)->mSuspended.load());
    EXPECT_EQ(suspendedCount(), 0u);
    destroySubscription(subscription, queue);
}

/* A transport feeding two full queues is suspended once, counted twice, and
 * runs again only when both have drained. */
TEST_F(FlowControl, TwoFullQueuesOnOneTransport)
{
    mamaQueue first = createQueue();
    mamaQueue second = createQueue();
    Received a, b;
    mamaSubscription sa = subscribeBasic(mTransport, first, "A", kCallbacks, &a);
    mamaSubscription sb = subscribeBasic(mTransport, second, "B", kCallbacks, &b);
    settle(first);
    settle(second);
    mamaPublisher toA = createPublisher(mTransport, "A");
    mamaPublisher toB = createPublisher(mTransport, "B");
    publishAll(toA, numbered("a", 10));
    publishAll(toB, numbered("b", 10));
    publishAll(toA, {"a10"}); /* first queue full: the session is held */
    publishAll(toB, {"b10"}); /* held by the session */
    drainClient();
    EXPECT_EQ(suspendedCount(), 1u);
    /* Anything enqueued on the second, full, queue holds its feeders too. */
    ASSERT_EQ(mamaQueue_enqueueEvent(second, noop, nullptr), MAMA_STATUS_OK);
    EXPECT_EQ(suspendedCount(), 2u);

    ASSERT_TRUE(dispatchUntil(first, [&] { return a.mTexts.size() == 11; }));
    EXPECT_EQ(suspendedCount(), 1u);
    EXPECT_EQ(buffered(), 1u);
    ASSERT_TRUE(dispatchUntil(second, [&] { return b.mTexts.size() == 11; }));
    EXPECT_EQ(suspendedCount(), 0u);
    EXPECT_EQ(a.mTexts, numbered("a", 11));
    EXPECT_EQ(b.mTexts, numbered("b", 11));
    destroySubscription(sa, first);
    destroySubscription(sb, second);
}

/* Large messages reach the transport's byte budget long before the queue's
 * depth (here 50000): with max_pending_bytes 16384 the session is suspended
 * once 8192 bytes wait on the queue, its receive buffer keeps at most 8192
 * more, the rest is discarded and reported, and the transport recovers
 * once the application has caught up. */
TEST_F(FlowControl, LargeMessagesAreHeldWithinTheTransportsByteBudget)
{
    mamaTransport transport = createBudgetTransport();
    trxClient_opaqueSession_pt session = bridgeOf(transport)->mSession.load();

    mamaQueue queue = createQueue();
    Received received;
    mamaSubscription subscription = subscribeBasic(transport, queue, "BIG", kCallbacks, &received);
    settle(queue);
    mamaPublisher publisher = createPublisher(transport, "BIG");
    const std::string padding(1000, 'x'); /* every message carries over 1000 bytes */
    const std::vector<std::string> sent = numbered(padding, 45);
    /* In fours, which the receive buffer takes whole, so that the queue
     * reaches its half of the budget whatever the threads' timing. */
    for (size_t i = 0; i < 40; i += 4)
    {
        publishAll(publisher, std::vector<std::string>(sent.begin() + i, sent.begin() + i + 4));
        drainClient();
    }

    EXPECT_EQ(bridgeOf(transport)->mSuspendedQueueCount, 1u) << "the byte budget did not suspend the session";
    EXPECT_FALSE(queueBridgeOf(queue)->mSuspended.load()) << "the queue's depth is far from its maximum";
    EXPECT_GE(depthOf(queue), 1u);
    EXPECT_LE(depthOf(queue), 9u) << "more than half the budget waits on the queue";
    const trxClient_session_stats_t held = stats(session);
    EXPECT_LE(held.rxBufferedBytes, 8192u);
    EXPECT_GT(held.rxDiscardedMsgs, 0u);
    EXPECT_EQ(depthOf(queue) + held.rxBufferedMsgs + held.rxDiscardedMsgs, 40u);

    ASSERT_TRUE(dispatchUntil(queue, [&] { return received.mTexts.size() + held.rxDiscardedMsgs == 40; }));
    EXPECT_EQ(bridgeOf(transport)->mSuspendedQueueCount, 0u);

    /* Caught up: the next messages all arrive, the first of them telling of
     * the gap before it. */
    publishAll(publisher, std::vector<std::string>(sent.begin() + 40, sent.end()));
    ASSERT_TRUE(dispatchUntil(queue, [&] { return received.mTexts.size() + held.rxDiscardedMsgs == 45; }));
    EXPECT_EQ(stats(session).rxDiscardedMsgs, held.rxDiscardedMsgs);
    /* In order, each stretch of discarded messages one quality event. */
    std::vector<size_t> order;
    size_t gaps = 0;
    for (const std::string& text : received.mTexts)
    {
        const size_t index = std::find(sent.begin(), sent.end(), text) - sent.begin();
        gaps += index != (order.empty() ? 0 : order.back() + 1);
        order.push_back(index);
    }
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(order.back(), 44u);
    ASSERT_TRUE(dispatchUntil(queue, [&] { return mQuality >= static_cast<int>(gaps); }));
    EXPECT_EQ(mQuality, static_cast<int>(gaps));
    EXPECT_GE(gaps, 1u);
    destroySubscription(subscription, queue);
}

/* Without asynchronous subscriptions nothing is suspended: messages beyond
 * the maximum depth are discarded, reported by the throttled logger as one
 * line and a repeat count. */
TEST_F(FlowControl, WithoutAsynchronousSubscriptionsAFullQueueDiscards)
{
    mClosure->mSubscribeAsync.store(false);
    mClosure->mMaxQueueSize.store(5);
    mamaQueue queue = createQueue();
    Received received;
    mamaSubscription subscription = subscribeBasic(mTransport, queue, "FLOW", kCallbacks, &received);
    settle(queue);

    LogCapture log;
    publishAll(createPublisher(mTransport, "FLOW"), numbered("m", 12));
    drainClient();
    EXPECT_EQ(depthOf(queue), 5u);
    EXPECT_EQ(suspendedCount(), 0u);
    const std::string line = "Discarding message with topic 'FLOW'; cannot exceed maximum queue depth of 5";
    auto first = log.matching(line);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].level, MAMA_LOG_LEVEL_ERROR);
    /* The repeat count follows once the logger's period ends. */
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (log.matching("(similar message repeated 6 times)").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(log.matching("(similar message repeated 6 times)").size(), 1u);

    ASSERT_TRUE(dispatchUntil(queue, [&] { return received.mTexts.size() == 5; }));
    EXPECT_EQ(received.mTexts, numbered("m", 5));
    destroySubscription(subscription, queue);
    mClosure->mSubscribeAsync.store(true);
}

/* Without asynchronous subscriptions the byte budget discards instead. */
TEST_F(FlowControl, WithoutAsynchronousSubscriptionsTheByteBudgetDiscards)
{
    mClosure->mSubscribeAsync.store(false);
    mamaTransport transport = createBudgetTransport();
    mamaQueue queue = createQueue();
    Received received;
    mamaSubscription subscription = subscribeBasic(transport, queue, "BIG", kCallbacks, &received);
    settle(queue);

    LogCapture log;
    const std::vector<std::string> sent = numbered(std::string(1000, 'x'), 40);
    mamaPublisher publisher = createPublisher(transport, "BIG");
    for (const std::string& text : sent)
    {
        publish(publisher, text.c_str());
        drainClient(); /* each reaches the queue, none waits in the session */
    }
    EXPECT_EQ(bridgeOf(transport)->mSuspendedQueueCount, 0u);
    EXPECT_GE(depthOf(queue), 1u);
    EXPECT_LE(depthOf(queue), 9u);
    EXPECT_EQ(log.matching("Discarding message with topic 'BIG'; its transport holds half of max_pending_bytes "
                           "(16384) on queues")
                  .size(),
              1u);
    const size_t kept = depthOf(queue);
    ASSERT_TRUE(dispatchUntil(queue, [&] { return received.mTexts.size() == kept; }));
    EXPECT_EQ(received.mTexts, std::vector<std::string>(sent.begin(), sent.begin() + kept));
    destroySubscription(subscription, queue);
    mClosure->mSubscribeAsync.store(true);
}

} // namespace
