#include "timer.h"

#include "bridgeFunctions.h"
#include "logging.h"
#include "queue.h"
#include "tarnixBridge.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace
{

void MAMACALLTYPE onTimerEvent(mamaQueue /*queue*/, void* closure)
{
    TarnixTimerBridge* timer = static_cast<TarnixTimerBridge*>(closure);
    mamaTimerCb action = timer->mAction.load();
    if (action != nullptr)
        action(timer->mParent, timer->mClosure);
}

void MAMACALLTYPE onTimerDestroyEvent(mamaQueue /*queue*/, void* closure)
{
    TarnixTimerBridge* timer = static_cast<TarnixTimerBridge*>(closure);
    timer->mOnDestroyed(timer->mParent, timer->mClosure);
    delete timer;
}

int rearm(TarnixTimerBridge* timer)
{
    struct timeval tv = tarnixTimer_toTimeval(timer->mInterval.load());
    return resetTimer(tarnixBridgeImpl_getTimerHeap(), timer->mTimerElement, &tv);
}

/* Heap thread, under the heap's lock: destroyTimer takes the same lock, so an
 * expiry either finishes its enqueue before destroy queues the destroy event
 * or never starts. That keeps the destroy event last on the queue. */
void onTimerExpiry(timerElement /*element*/, void* closure)
{
    TarnixTimerBridge* timer = static_cast<TarnixTimerBridge*>(closure);
    if (timer == nullptr || timer->mDestroyed.load())
        return;
    rearm(timer);
    tarnixBridgeMamaQueue_enqueueEvent(reinterpret_cast<queueBridge>(timer->mQueueBridge), onTimerEvent, timer);
}

} // namespace

struct timeval tarnixTimer_toTimeval(double interval)
{
    /* Keep the conversion defined for intervals no timer can mean. */
    constexpr double kLimit = 1e15;
    if (std::isnan(interval))
        interval = 0.0;
    interval = std::clamp(interval, -kLimit, kLimit);

    struct timeval tv;
    const double whole = std::trunc(interval);
    tv.tv_sec = static_cast<time_t>(whole);
    tv.tv_usec = static_cast<suseconds_t>((interval - whole) * 1000000);
    return tv;
}

extern "C"
{

    mama_status tarnixBridgeMamaTimer_create(timerBridge* result, void* nativeQueueHandle, mamaTimerCb action,
                                             mamaTimerCb onTimerDestroyed, mama_f64_t interval, mamaTimer parent,
                                             void* closure)
    {
        if (result == nullptr || nativeQueueHandle == nullptr || action == nullptr || onTimerDestroyed == nullptr ||
            parent == nullptr)
            return MAMA_STATUS_NULL_ARG;

        *result = nullptr;
        TarnixTimerBridge* timer = new (std::nothrow) TarnixTimerBridge();
        if (timer == nullptr)
            return MAMA_STATUS_NOMEM;
        *result = reinterpret_cast<timerBridge>(timer);

        timer->mInterval.store(interval);
        timer->mClosure = closure;
        timer->mParent = parent;
        timer->mQueueBridge = static_cast<TarnixQueueBridge*>(nativeQueueHandle);
        timer->mOnDestroyed = onTimerDestroyed;
        timer->mAction.store(action);
        timer->mDestroyed.store(false);

        struct timeval tv = tarnixTimer_toTimeval(interval);
        int heapStatus = createTimer(&timer->mTimerElement, tarnixBridgeImpl_getTimerHeap(), onTimerExpiry, &tv, timer);
        if (heapStatus != 0)
        {
            TARNIX_LOG_ERROR("Failed to create Tarnix underlying timer [%d].", heapStatus);
            delete timer;
            *result = nullptr;
            return MAMA_STATUS_PLATFORM;
        }
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaTimer_destroy(timerBridge timerBridgeHandle)
    {
        TarnixTimerBridge* timer = reinterpret_cast<TarnixTimerBridge*>(timerBridgeHandle);
        if (timer == nullptr)
            return MAMA_STATUS_NULL_ARG;

        /* Timer events already queued find no action and do nothing. */
        timer->mDestroyed.store(true);
        timer->mAction.store(nullptr);

        mama_status status = MAMA_STATUS_OK;
        int heapStatus = destroyTimer(tarnixBridgeImpl_getTimerHeap(), timer->mTimerElement);
        if (heapStatus != 0)
        {
            TARNIX_LOG_ERROR("Failed to destroy Tarnix underlying timer [%d].", heapStatus);
            status = MAMA_STATUS_PLATFORM;
        }
        timer->mTimerElement = nullptr;

        /* Queued even after a heap failure, so the destroy callback runs and the
     * timer is freed after every event queued before it. */
        tarnixBridgeMamaQueue_enqueueEvent(reinterpret_cast<queueBridge>(timer->mQueueBridge), onTimerDestroyEvent,
                                           timer);
        return status;
    }

    mama_status tarnixBridgeMamaTimer_reset(timerBridge timerBridgeHandle)
    {
        TarnixTimerBridge* timer = reinterpret_cast<TarnixTimerBridge*>(timerBridgeHandle);
        if (timer == nullptr)
            return MAMA_STATUS_NULL_ARG;
        int heapStatus = rearm(timer);
        if (heapStatus != 0)
        {
            TARNIX_LOG_ERROR("Failed to reset Tarnix underlying timer [%d].", heapStatus);
            return MAMA_STATUS_PLATFORM;
        }
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaTimer_setInterval(timerBridge timerBridgeHandle, mama_f64_t interval)
    {
        TarnixTimerBridge* timer = reinterpret_cast<TarnixTimerBridge*>(timerBridgeHandle);
        if (timer == nullptr)
            return MAMA_STATUS_NULL_ARG;
        timer->mInterval.store(interval);
        return tarnixBridgeMamaTimer_reset(timerBridgeHandle);
    }

    mama_status tarnixBridgeMamaTimer_getInterval(timerBridge timerBridgeHandle, mama_f64_t* interval)
    {
        TarnixTimerBridge* timer = reinterpret_cast<TarnixTimerBridge*>(timerBridgeHandle);
        if (timer == nullptr || interval == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *interval = timer->mInterval.load();
        return MAMA_STATUS_OK;
    }

} // extern "C"
