#include "logCapture.h"
#include "messaging.h"
#include "queue.h"
#include "tarnixBridge.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Received
{
    std::vector<std::string> mTexts;
};

void MAMACALLTYPE onMsg(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    static_cast<Received*>(closure)->mTexts.push_back(textOf(msg));
}

const mamaMsgCallbacks kCallbacks{ignoreCreate, nullptr, onMsg, nullptr, nullptr, nullptr, nullptr};

void MAMACALLTYPE noop(mamaQueue, void*) {}

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

    uint64_t buffered()
    {
        trxClient_session_stats_t stats{};
        EXPECT_EQ(trxClient_session_getStats(mSession, &stats), TRXCLIENT_OK);
        return stats.rxBufferedMsgs;
    }

    mamaTransport mTransport = nullptr;
    trxClient_opaqueSession_pt mSession = nullptr;
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
    publishAll(toA, {"a10"});   /* first queue full: the session is held */
    publishAll(toB, {"b10"});   /* held by the session */
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

}  // namespace
