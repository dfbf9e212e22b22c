#include "bridgeFunctions.h"
#include "logCapture.h"
#include "openBridge.h"
#include "queue.h"
#include "transport.h"

#include <wombat/queue.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

TEST(FlowControlThresholds, ResumeThresholdFromMaximumDepth)
{
    const std::pair<uint64_t, uint64_t> cases[] = {
        {50000, 49500}, {2147483647, 2147483147},
        {2000, 1500},   {1502, 1002},
        {1501, 1001},   {1500, 1000},
        {100, 66},      {3, 2},
        {2, 0},         {1, 0},
    };
    for (const auto& [max, resume] : cases)
        EXPECT_EQ(tarnixBridgeMamaQueueImpl_resumeThreshold(max), resume) << "M = " << max;
}

/* A transport record as flow control sees it: a name and a suspend lock, no
 * session, so only the counting is exercised. */
struct FakeTransport
{
    explicit FakeTransport(const char* name) { mRecord.mName = name; }
    uint32_t suspended() const { return mRecord.mSuspendedQueueCount; }
    TarnixTransportBridge* get() { return &mRecord; }
    TarnixTransportBridge mRecord;
};

class Queue : public OpenBridge
{
protected:
    void TearDown() override
    {
        for (mamaQueue queue : mQueues)
        {
            EXPECT_EQ(mamaQueue_destroy(queue), MAMA_STATUS_OK);
        }
        OpenBridge::TearDown();
    }

    TarnixQueueBridge* newQueue(mamaQueue* parent = nullptr)
    {
        mamaQueue queue = nullptr;
        EXPECT_EQ(mamaQueue_create(&queue, mBridge), MAMA_STATUS_OK);
        mQueues.push_back(queue);
        if (parent != nullptr)
            *parent = queue;
        void* native = nullptr;
        EXPECT_EQ(mamaQueue_getNativeHandle(queue, &native), MAMA_STATUS_OK);
        return static_cast<TarnixQueueBridge*>(native);
    }

    static size_t depth(TarnixQueueBridge* queue)
    {
        size_t count = 0;
        EXPECT_EQ(tarnixBridgeMamaQueue_getEventCount(reinterpret_cast<queueBridge>(queue), &count), MAMA_STATUS_OK);
        return count;
    }

    static mama_status enqueue(TarnixQueueBridge* queue, mamaQueueEnqueueCB cb, void* closure)
    {
        return tarnixBridgeMamaQueue_enqueueEvent(reinterpret_cast<queueBridge>(queue), cb, closure);
    }

    static mama_status dispatchOne(TarnixQueueBridge* queue)
    {
        return tarnixBridgeMamaQueue_timedDispatch(reinterpret_cast<queueBridge>(queue), 100);
    }

    static void MAMACALLTYPE noop(mamaQueue, void*) {}

    std::vector<mamaQueue> mQueues;
};

struct Seen
{
    mamaQueue queue;
    int value;
};

TEST_F(Queue, NativeHandleIsTheBridgeQueueOfItsParent)
{
    mamaQueue parent = nullptr;
    TarnixQueueBridge* queue = newQueue(&parent);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->mParent, parent);
    EXPECT_EQ(queue->mBridge_p, mClosure);
}

TEST_F(Queue, EventsAreDispatchedInEnqueueOrderWithTheParentQueue)
{
    mamaQueue parent = nullptr;
    TarnixQueueBridge* queue = newQueue(&parent);
    static std::vector<Seen> seen;
    seen.clear();
    int values[5] = {0, 1, 2, 3, 4};
    auto record = [](mamaQueue q, void* closure) { seen.push_back({q, *static_cast<int*>(closure)}); };
    for (int& value : values)
        ASSERT_EQ(enqueue(queue, record, &value), MAMA_STATUS_OK);
    EXPECT_EQ(depth(queue), 5u);

    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK);
    EXPECT_EQ(dispatchOne(queue), MAMA_STATUS_TIMEOUT);
    ASSERT_EQ(seen.size(), 5u);
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(seen[i].value, i);
        EXPECT_EQ(seen[i].queue, parent);
    }
    EXPECT_EQ(depth(queue), 0u);
}

TEST_F(Queue, DispatchEventTreatsATimeoutAsSuccess)
{
    TarnixQueueBridge* queue = newQueue();
    ASSERT_EQ(enqueue(queue, noop, nullptr), MAMA_STATUS_OK);
    EXPECT_EQ(tarnixBridgeMamaQueue_dispatchEvent(reinterpret_cast<queueBridge>(queue)), MAMA_STATUS_OK);
    EXPECT_EQ(depth(queue), 0u);
}

struct WatermarkReports
{
    std::vector<size_t> high;
    std::vector<size_t> low;
};

void MAMACALLTYPE onHigh(mamaQueue, size_t size, void* closure)
{
    static_cast<WatermarkReports*>(closure)->high.push_back(size);
}

void MAMACALLTYPE onLow(mamaQueue, size_t size, void* closure)
{
    static_cast<WatermarkReports*>(closure)->low.push_back(size);
}

TEST_F(Queue, HighWatermarkOnceAndLowOnlyAtExactlyTheLowMark)
{
    mamaQueue parent = nullptr;
    TarnixQueueBridge* queue = newQueue(&parent);
    WatermarkReports reports;
    mamaQueueMonitorCallbacks callbacks{onHigh, onLow};
    ASSERT_EQ(mamaQueue_setQueueMonitorCallbacks(parent, &callbacks, &reports), MAMA_STATUS_OK);
    ASSERT_EQ(mamaQueue_setHighWatermark(parent, 10), MAMA_STATUS_OK);
    ASSERT_EQ(mamaQueue_setLowWatermark(parent, 5), MAMA_STATUS_OK);

    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(enqueue(queue, noop, nullptr), MAMA_STATUS_OK);
    /* Dispatch 12 -> 6: high is seen at the first check, low not yet. */
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK);
    EXPECT_EQ(reports.high, std::vector<size_t>{12});
    EXPECT_TRUE(reports.low.empty());
    ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK); /* its check sees 6 */
    EXPECT_TRUE(reports.low.empty());
    ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK); /* its check sees exactly 5 */
    EXPECT_EQ(reports.low, std::vector<size_t>{5});
    while (dispatchOne(queue) == MAMA_STATUS_OK)
    {
    }
    EXPECT_EQ(reports.high.size(), 1u);
    EXPECT_EQ(reports.low.size(), 1u);

    /* After a low report the next rise reports high again. */
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(enqueue(queue, noop, nullptr), MAMA_STATUS_OK);
    ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK);
    EXPECT_EQ(reports.high, (std::vector<size_t>{12, 10}));
}

/* A queue that dispatched before it had a high watermark reports the one
 * set later like any other. */
TEST_F(Queue, AHighWatermarkSetAfterDispatchingIsReported)
{
    mamaQueue parent = nullptr;
    TarnixQueueBridge* queue = newQueue(&parent);
    ASSERT_EQ(enqueue(queue, noop, nullptr), MAMA_STATUS_OK);
    ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK);
    WatermarkReports reports;
    mamaQueueMonitorCallbacks callbacks{onHigh, onLow};
    ASSERT_EQ(mamaQueue_setQueueMonitorCallbacks(parent, &callbacks, &reports), MAMA_STATUS_OK);
    ASSERT_EQ(mamaQueue_setHighWatermark(parent, 3), MAMA_STATUS_OK);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(enqueue(queue, noop, nullptr), MAMA_STATUS_OK);
    ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK);
    EXPECT_EQ(reports.high, std::vector<size_t>{3});
}

TEST_F(Queue, ZeroWatermarksAreRefusedAndKeepTheOldValue)
{
    TarnixQueueBridge* queue = newQueue();
    auto handle = reinterpret_cast<queueBridge>(queue);
    ASSERT_EQ(tarnixBridgeMamaQueue_setHighWatermark(handle, 7), MAMA_STATUS_OK);
    ASSERT_EQ(tarnixBridgeMamaQueue_setLowWatermark(handle, 3), MAMA_STATUS_OK);
    EXPECT_EQ(tarnixBridgeMamaQueue_setHighWatermark(handle, 0), MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaQueue_setLowWatermark(handle, 0), MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(queue->mHighWatermark, 7u);
    EXPECT_EQ(queue->mLowWatermark, 3u);
}

TEST_F(Queue, EnqueueCallbackRunsEvenWhenTheEnqueueFails)
{
    mamaQueue parent = nullptr;
    newQueue(&parent);
    /* A wombat queue with room for one event makes the second enqueue fail. */
    wombatQueue native = nullptr;
    ASSERT_EQ(wombatQueue_allocate(&native), WOMBAT_QUEUE_OK);
    ASSERT_EQ(wombatQueue_create(native, 1, 1, 1), WOMBAT_QUEUE_OK);
    queueBridge handle = nullptr;
    ASSERT_EQ(tarnixBridgeMamaQueue_create_usingNative(&handle, parent, native), MAMA_STATUS_OK);

    int calls = 0;
    auto counter = [](mamaQueue, void* closure) { ++*static_cast<int*>(closure); };
    ASSERT_EQ(tarnixBridgeMamaQueue_setEnqueueCallback(handle, counter, &calls), MAMA_STATUS_OK);

    LogCapture log;
    EXPECT_EQ(tarnixBridgeMamaQueue_enqueueEvent(handle, noop, nullptr), MAMA_STATUS_OK);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(tarnixBridgeMamaQueue_enqueueEvent(handle, noop, nullptr), MAMA_STATUS_PLATFORM);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(log.matching("tarnixBridgeMamaQueue_enqueueEvent(): failed to enqueue: 2;").size(), 1u);

    ASSERT_EQ(tarnixBridgeMamaQueue_removeEnqueueCallback(handle), MAMA_STATUS_OK);
    ASSERT_EQ(tarnixBridgeMamaQueue_timedDispatch(handle, 100), MAMA_STATUS_OK);
    EXPECT_EQ(tarnixBridgeMamaQueue_enqueueEvent(handle, noop, nullptr), MAMA_STATUS_OK);
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(tarnixBridgeMamaQueue_destroy(handle), MAMA_STATUS_OK);
}

TEST_F(Queue, DestroyIsRefusedWhileSubscriptionsAreCounted)
{
    mamaQueue parent = nullptr;
    newQueue(&parent);
    queueBridge handle = nullptr;
    ASSERT_EQ(tarnixBridgeMamaQueue_create(&handle, parent), MAMA_STATUS_OK);
    auto* queue = reinterpret_cast<TarnixQueueBridge*>(handle);
    FakeTransport a("a"), b("b");
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, a.get()), MAMA_STATUS_OK);
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, b.get()), MAMA_STATUS_OK);

    LogCapture log;
    EXPECT_EQ(tarnixBridgeMamaQueue_destroy(handle), MAMA_STATUS_INVALID_ARG);
    EXPECT_EQ(log.matching("it still has 2 subscriptions.").size(), 1u);

    ASSERT_EQ(tarnixBridgeMamaQueueImpl_removeSubscription(queue, a.get(), "A"), MAMA_STATUS_OK);
    EXPECT_EQ(tarnixBridgeMamaQueue_destroy(handle), MAMA_STATUS_INVALID_ARG);
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_removeSubscription(queue, b.get(), "B"), MAMA_STATUS_OK);
    EXPECT_EQ(tarnixBridgeMamaQueue_destroy(handle), MAMA_STATUS_OK);
}

TEST_F(Queue, TransportMapCountsSubscriptionsPerTransport)
{
    TarnixQueueBridge* queue = newQueue();
    FakeTransport a("a");
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, a.get()), MAMA_STATUS_OK);
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, a.get()), MAMA_STATUS_OK);
    ASSERT_EQ(queue->mTransportMap.size(), 1u);
    EXPECT_EQ(queue->mTransportMap.at(a.get()), 2);

    ASSERT_EQ(tarnixBridgeMamaQueueImpl_removeSubscription(queue, a.get(), "A.1"), MAMA_STATUS_OK);
    EXPECT_EQ(queue->mTransportMap.at(a.get()), 1);
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_removeSubscription(queue, a.get(), "A.2"), MAMA_STATUS_OK);
    EXPECT_TRUE(queue->mTransportMap.empty());

    LogCapture log;
    EXPECT_EQ(tarnixBridgeMamaQueueImpl_removeSubscription(queue, a.get(), "SRC/SYM"), MAMA_STATUS_INVALID_ARG);
    auto warnings = log.matching("Attempted to remove subscription 'SRC/SYM' not on queue");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].level, MAMA_LOG_LEVEL_WARN);
}

class FlowControl : public Queue
{
protected:
    void SetUp() override
    {
        Queue::SetUp();
        if (HasFatalFailure())
            return;
        mClosure->mMaxQueueSize.store(10);
        mClosure->mSubscribeAsync.store(true);
    }

    static void fill(TarnixQueueBridge* queue, int events)
    {
        for (int i = 0; i < events; ++i)
            ASSERT_EQ(enqueue(queue, noop, nullptr), MAMA_STATUS_OK);
    }

    /* Removes the subscriptions the test counted so the queues can go. */
    static void leave(TarnixQueueBridge* queue, TarnixTransportBridge* transport)
    {
        while (queue->mTransportMap.count(transport) != 0)
            ASSERT_EQ(tarnixBridgeMamaQueueImpl_removeSubscription(queue, transport, ""), MAMA_STATUS_OK);
    }
};

TEST_F(FlowControl, AFullQueueSuspendsEveryFeedingTransportOnceAndResumesAtTheThreshold)
{
    TarnixQueueBridge* queue = newQueue();
    FakeTransport a("a"), b("b");
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, a.get()), MAMA_STATUS_OK);
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, b.get()), MAMA_STATUS_OK);

    fill(queue, 10); /* each enqueue saw fewer than 10 queued */
    EXPECT_FALSE(queue->mSuspended.load());
    EXPECT_EQ(a.suspended(), 0u);
    fill(queue, 1); /* saw 10 */
    EXPECT_TRUE(queue->mSuspended.load());
    EXPECT_EQ(a.suspended(), 1u);
    EXPECT_EQ(b.suspended(), 1u);
    fill(queue, 3); /* nothing is refused, nobody is suspended twice */
    EXPECT_EQ(depth(queue), 14u);
    EXPECT_EQ(a.suspended(), 1u);

    /* M = 10 resumes at R = 6: at the dispatch that finds 7 queued. */
    while (depth(queue) > 7)
    {
        ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK);
        ASSERT_EQ(a.suspended(), 1u) << "resumed early at depth " << depth(queue);
    }
    ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_OK);
    EXPECT_FALSE(queue->mSuspended.load());
    EXPECT_EQ(a.suspended(), 0u);
    EXPECT_EQ(b.suspended(), 0u);

    leave(queue, a.get());
    leave(queue, b.get());
}

TEST_F(FlowControl, ATransportFeedingTwoFullQueuesRunsAgainOnlyWhenBothDrained)
{
    TarnixQueueBridge* first = newQueue();
    TarnixQueueBridge* second = newQueue();
    FakeTransport a("a");
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(first, a.get()), MAMA_STATUS_OK);
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(second, a.get()), MAMA_STATUS_OK);

    fill(first, 11);
    fill(second, 11);
    EXPECT_EQ(a.suspended(), 2u);

    while (dispatchOne(first) == MAMA_STATUS_OK)
    {
    }
    EXPECT_FALSE(first->mSuspended.load());
    EXPECT_EQ(a.suspended(), 1u);
    while (dispatchOne(second) == MAMA_STATUS_OK)
    {
    }
    EXPECT_EQ(a.suspended(), 0u);

    leave(first, a.get());
    leave(second, a.get());
}

TEST_F(FlowControl, ATransportJoiningASuspendedQueueIsHeldUntilItLeaves)
{
    TarnixQueueBridge* queue = newQueue();
    FakeTransport a("a"), late("late");
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, a.get()), MAMA_STATUS_OK);
    fill(queue, 11);
    ASSERT_TRUE(queue->mSuspended.load());

    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, late.get()), MAMA_STATUS_OK);
    EXPECT_EQ(late.suspended(), 1u);
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, late.get()), MAMA_STATUS_OK);
    EXPECT_EQ(late.suspended(), 1u); /* counted per transport, not per subscription */
    leave(queue, late.get());
    EXPECT_EQ(late.suspended(), 0u);
    EXPECT_EQ(a.suspended(), 1u);

    while (dispatchOne(queue) == MAMA_STATUS_OK)
    {
    }
    leave(queue, a.get());
}

TEST_F(FlowControl, NothingIsSuspendedWithoutAsynchronousSubscriptions)
{
    mClosure->mSubscribeAsync.store(false);
    TarnixQueueBridge* queue = newQueue();
    FakeTransport a("a");
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, a.get()), MAMA_STATUS_OK);
    fill(queue, 30);
    EXPECT_FALSE(queue->mSuspended.load());
    EXPECT_EQ(a.suspended(), 0u);
    while (dispatchOne(queue) == MAMA_STATUS_OK)
    {
    }
    leave(queue, a.get());
}

TEST_F(FlowControl, ConcurrentEnqueueAndDispatchEndResumed)
{
    mamaQueue parent = nullptr;
    TarnixQueueBridge* queue = newQueue(&parent);
    FakeTransport a("a");
    ASSERT_EQ(tarnixBridgeMamaQueueImpl_addSubscription(queue, a.get()), MAMA_STATUS_OK);

    constexpr int kEvents = 20000;
    static std::atomic<int> dispatched{0};
    dispatched = 0;
    auto count = [](mamaQueue, void*) { ++dispatched; };
    std::thread dispatcher([parent] { EXPECT_EQ(mamaQueue_dispatch(parent), MAMA_STATUS_OK); });
    std::thread producer(
        [&]
        {
            for (int i = 0; i < kEvents; ++i)
                ASSERT_EQ(enqueue(queue, count, nullptr), MAMA_STATUS_OK);
        });
    producer.join();
    for (int i = 0; i < 1000 && dispatched < kEvents; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(mamaQueue_stopDispatch(parent), MAMA_STATUS_OK);
    dispatcher.join();

    EXPECT_EQ(dispatched.load(), kEvents);
    /* A drained queue holds nobody back. */
    if (queue->mSuspended.load())
    {
        ASSERT_EQ(dispatchOne(queue), MAMA_STATUS_TIMEOUT);
    }
    EXPECT_FALSE(queue->mSuspended.load());
    EXPECT_EQ(a.suspended(), 0u);
    leave(queue, a.get());
}

TEST_F(FlowControl, ResumingATransportNoQueueSuspendedIsRefused)
{
    FakeTransport a("a");
    LogCapture log;
    EXPECT_EQ(tarnixBridgeMamaTransportImpl_resume(a.get()), MAMA_STATUS_PLATFORM);
    EXPECT_EQ(log.matching("transport with no suspended queues being resumed.").size(), 1u);
    EXPECT_EQ(tarnixBridgeMamaTransportImpl_suspend(nullptr), MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaTransportImpl_resume(nullptr), MAMA_STATUS_NULL_ARG);
}

} // namespace
