#include "bridgeFunctions.h"
#include "logCapture.h"
#include "openBridge.h"
#include "queue.h"
#include "timer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;

TEST(TimerInterval, ConvertsToWholeSecondsAndTruncatedMicroseconds)
{
    struct Case
    {
        double interval;
        long seconds;
        long micros;
    };
    const Case cases[] = {
        {1.5, 1, 500000}, {2.3, 2, 299999}, {0.001, 0, 1000}, {0.0, 0, 0}, {10.0, 10, 0}, {0.0000015, 0, 1},
    };
    for (const Case& c : cases)
    {
        struct timeval tv = tarnixTimer_toTimeval(c.interval);
        EXPECT_EQ(tv.tv_sec, c.seconds) << c.interval;
        EXPECT_EQ(tv.tv_usec, c.micros) << c.interval;
    }
}

/* Records what a timer did, in order, from whichever thread. */
struct TimerLog
{
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<std::thread::id> threads;
    std::atomic<int> ticks{0};
    std::atomic<bool> destroyed{false};
    void add(const std::string& event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        threads.push_back(std::this_thread::get_id());
    }
};

void MAMACALLTYPE onTick(mamaTimer, void* closure)
{
    auto* log = static_cast<TimerLog*>(closure);
    log->add("tick");
    ++log->ticks;
}

void MAMACALLTYPE onDestroyed(mamaTimer, void* closure)
{
    auto* log = static_cast<TimerLog*>(closure);
    log->add("destroyed");
    log->destroyed = true;
}

class Timer : public OpenBridge
{
protected:
    void SetUp() override
    {
        OpenBridge::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(mamaQueue_create(&mQueue, mBridge), MAMA_STATUS_OK);
        void* native = nullptr;
        ASSERT_EQ(mamaQueue_getNativeHandle(mQueue, &native), MAMA_STATUS_OK);
        mQueueBridge = static_cast<TarnixQueueBridge*>(native);
    }
    void TearDown() override
    {
        if (mQueue != nullptr)
        {
            EXPECT_EQ(mamaQueue_destroy(mQueue), MAMA_STATUS_OK);
        }
        OpenBridge::TearDown();
    }

    timerBridge create(double interval, TimerLog* log)
    {
        timerBridge timer = nullptr;
        /* Any non-null handle stands for the OpenMAMA timer: the bridge only
         * passes it back to the callbacks. */
        EXPECT_EQ(tarnixBridgeMamaTimer_create(&timer, mQueueBridge, onTick, onDestroyed, interval,
                                               reinterpret_cast<mamaTimer>(log), log),
                  MAMA_STATUS_OK);
        return timer;
    }

    mama_status dispatchOne(uint64_t timeoutMs)
    {
        return tarnixBridgeMamaQueue_timedDispatch(reinterpret_cast<queueBridge>(mQueueBridge), timeoutMs);
    }

    mamaQueue mQueue = nullptr;
    TarnixQueueBridge* mQueueBridge = nullptr;
};

TEST_F(Timer, FiresRepeatedlyOnTheDispatchingThreadAndDestroyCallbackComesLast)
{
    TimerLog log;
    timerBridge timer = create(0.02, &log);
    ASSERT_NE(timer, nullptr);

    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (log.ticks < 3 && std::chrono::steady_clock::now() < deadline)
        dispatchOne(100);
    ASSERT_GE(log.ticks.load(), 3);

    ASSERT_EQ(tarnixBridgeMamaTimer_destroy(timer), MAMA_STATUS_OK);
    const int ticksAtDestroy = log.ticks;
    while (!log.destroyed && std::chrono::steady_clock::now() < deadline)
        dispatchOne(100);
    ASSERT_TRUE(log.destroyed.load());
    EXPECT_EQ(log.ticks.load(), ticksAtDestroy);
    EXPECT_EQ(log.events.back(), "destroyed");
    for (std::thread::id id : log.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(Timer, NoCallbackRunsAfterDestroyEvenForEventsAlreadyQueued)
{
    TimerLog log;
    timerBridge timer = create(0.001, &log);
    ASSERT_NE(timer, nullptr);
    /* Nobody dispatches yet: expiries pile up on the queue. */
    size_t queued = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (queued < 5 && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for(5ms);
        tarnixBridgeMamaQueue_getEventCount(reinterpret_cast<queueBridge>(mQueueBridge), &queued);
    }
    ASSERT_GE(queued, 5u);

    ASSERT_EQ(tarnixBridgeMamaTimer_destroy(timer), MAMA_STATUS_OK);
    while (dispatchOne(50) == MAMA_STATUS_OK)
    {
    }
    EXPECT_EQ(log.ticks.load(), 0);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0], "destroyed");
}

TEST_F(Timer, SetIntervalRearmsFromNowAndGetIntervalReportsIt)
{
    TimerLog log;
    timerBridge timer = create(100.0, &log);
    ASSERT_NE(timer, nullptr);
    ASSERT_EQ(tarnixBridgeMamaTimer_setInterval(timer, 0.01), MAMA_STATUS_OK);
    double interval = 0;
    ASSERT_EQ(tarnixBridgeMamaTimer_getInterval(timer, &interval), MAMA_STATUS_OK);
    EXPECT_EQ(interval, 0.01);

    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (log.ticks < 1 && std::chrono::steady_clock::now() < deadline)
        dispatchOne(100);
    EXPECT_GE(log.ticks.load(), 1);

    ASSERT_EQ(tarnixBridgeMamaTimer_destroy(timer), MAMA_STATUS_OK);
    while (!log.destroyed && std::chrono::steady_clock::now() < deadline)
        dispatchOne(100);
    EXPECT_TRUE(log.destroyed.load());
}

TEST_F(Timer, DestroyFromAnotherThreadWhileTheQueueIsDispatched)
{
    std::thread dispatcher([this] { EXPECT_EQ(mamaQueue_dispatch(mQueue), MAMA_STATUS_OK); });
    TimerLog log;
    timerBridge timer = create(0.001, &log);
    ASSERT_NE(timer, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (log.ticks < 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_GE(log.ticks.load(), 5);

    /* Re-armed by this thread while the heap thread re-arms it too. */
    ASSERT_EQ(tarnixBridgeMamaTimer_setInterval(timer, 0.002), MAMA_STATUS_OK);
    ASSERT_EQ(tarnixBridgeMamaTimer_destroy(timer), MAMA_STATUS_OK);
    while (!log.destroyed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(log.destroyed.load());
    const int ticks = log.ticks;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.ticks.load(), ticks);

    ASSERT_EQ(mamaQueue_stopDispatch(mQueue), MAMA_STATUS_OK);
    dispatcher.join();
    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_EQ(log.events.back(), "destroyed");
    EXPECT_EQ(std::count(log.events.begin(), log.events.end(), "destroyed"), 1);
}

TEST_F(Timer, RequiredArgumentsAreChecked)
{
    TimerLog log;
    timerBridge timer = nullptr;
    auto parent = reinterpret_cast<mamaTimer>(&log);
    EXPECT_EQ(tarnixBridgeMamaTimer_create(&timer, mQueueBridge, onTick, nullptr, 1.0, parent, &log),
              MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaTimer_create(nullptr, mQueueBridge, onTick, onDestroyed, 1.0, parent, &log),
              MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaTimer_create(&timer, nullptr, onTick, onDestroyed, 1.0, parent, &log),
              MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaTimer_create(&timer, mQueueBridge, nullptr, onDestroyed, 1.0, parent, &log),
              MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaTimer_create(&timer, mQueueBridge, onTick, onDestroyed, 1.0, nullptr, &log),
              MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(timer, nullptr);
    /* The closure may be absent; the callbacks get the parent back. */
    static mamaTimer destroyedParent = nullptr;
    static void* destroyedClosure = &log;
    auto recordDestroy = [](mamaTimer t, void* closure)
    {
        destroyedParent = t;
        destroyedClosure = closure;
    };
    ASSERT_EQ(tarnixBridgeMamaTimer_create(&timer, mQueueBridge, onTick, recordDestroy, 100.0, parent, nullptr),
              MAMA_STATUS_OK);
    ASSERT_EQ(tarnixBridgeMamaTimer_destroy(timer), MAMA_STATUS_OK);
    ASSERT_EQ(dispatchOne(1000), MAMA_STATUS_OK);
    EXPECT_EQ(destroyedParent, parent);
    EXPECT_EQ(destroyedClosure, nullptr);
}

TEST_F(Timer, IoIsNotOffered)
{
    ioBridge io = nullptr;
    uint32_t descriptor = 0;
    EXPECT_EQ(tarnixBridgeMamaIo_create(&io, mQueueBridge, 0, nullptr, MAMA_IO_READ, nullptr, nullptr),
              MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(tarnixBridgeMamaIo_getDescriptor(io, &descriptor), MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(tarnixBridgeMamaIo_destroy(io), MAMA_STATUS_NOT_IMPLEMENTED);
}

} // namespace
