#include "queue.h"

#include "bridgeFunctions.h"
#include "logging.h"
#include "tarnixBridge.h"
#include "transport.h"

#include <mama/integration/msg.h>
#include <mama/integration/queue.h>

#include <new>

#include <trxClient.h>

namespace
{

constexpr uint32_t kInitialEvents = 64;
constexpr uint32_t kGrowEvents = 64;
constexpr uint64_t kDispatchWakeMs = 500;

/* The wombat queue calls (data, closure); data carries the parent queue. */
using WombatEventCb = void (*)(void*, void*);

/* Runs before every dispatch. The high report repeats only after a low one,
 * and the low report needs the depth seen at exactly the low mark. No high
 * mark yet (0) is no report: it must not latch before one is set. */
void checkWatermarks(TarnixQueueBridge* impl)
{
    size_t count = 0;
    tarnixBridgeMamaQueue_getEventCount(reinterpret_cast<queueBridge>(impl), &count);
    if (impl->mHighWatermarkFired)
    {
        if (count == impl->mLowWatermark)
        {
            impl->mHighWatermarkFired = false;
            mamaQueueImpl_lowWatermarkExceeded(impl->mParent, count);
        }
    }
    else if (impl->mHighWatermark != 0 && count >= impl->mHighWatermark)
    {
        impl->mHighWatermarkFired = true;
        mamaQueueImpl_highWatermarkExceeded(impl->mParent, count);
    }
}

/* How long a queue's destroy waits for the client library to report the
 * last entries of subscriptions destroyed just before. */
constexpr int kDestroyWaitMs = 2000;

size_t countedTransports(TarnixQueueBridge* impl)
{
    wlock_lock(impl->mFlowLock);
    const size_t transports = impl->mTransportMap.size();
    wlock_unlock(impl->mFlowLock);
    return transports;
}

void MAMACALLTYPE discardOwned(wombatQueue /*queue*/, void* data, void* closure, void* parent)
{
    /* Events OpenMAMA or the application enqueued carry the parent queue. */
    if (data != nullptr && data != parent)
        reinterpret_cast<TarnixEventDiscard>(data)(closure);
}

/* What is still queued goes with the queue; the bridge's own events let go
 * of what they hold. Under mDispatchLock. */
void discardOwnedEvents(TarnixQueueBridge* impl)
{
    int size = 0;
    wombatQueue_getSize(impl->mQueue, &size);
    /* wombatQueue_flush takes one event a call. */
    for (int i = 0; i < size; ++i)
        wombatQueue_flush(impl->mQueue, discardOwned, impl->mParent);
}

uint64_t maxQueueSize(const TarnixQueueBridge* impl)
{
    return impl->mBridge_p != nullptr ? impl->mBridge_p->mMaxQueueSize.load(std::memory_order_relaxed) : 0;
}

} // namespace

#define TARNIX_CHECK_QUEUE(impl)                                                                                       \
    do                                                                                                                 \
    {                                                                                                                  \
        if ((impl) == nullptr || (impl)->mQueue == nullptr)                                                            \
            return MAMA_STATUS_NULL_ARG;                                                                               \
    } while (0)

extern "C"
{

    mama_status tarnixBridgeMamaQueue_create(queueBridge* queue, mamaQueue parent)
    {
        if (queue == nullptr || parent == nullptr)
            return MAMA_STATUS_NULL_ARG;

        wombatQueue native = nullptr;
        wombatQueueStatus wstatus = wombatQueue_allocate(&native);
        if (wstatus != WOMBAT_QUEUE_OK)
        {
            TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_create (): Failed to allocate queue: %d", wstatus);
            return MAMA_STATUS_NOMEM;
        }
        wstatus = wombatQueue_create(native, TARNIX_QUEUE_MAX_EVENTS, kInitialEvents, kGrowEvents);
        if (wstatus != WOMBAT_QUEUE_OK)
        {
            TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_create (): Failed to create queue: %d", wstatus);
            /* A failed create leaves only the allocation; release it. */
            wombatQueue_deallocate(native);
            return MAMA_STATUS_PLATFORM;
        }
        mama_status status = tarnixBridgeMamaQueue_create_usingNative(queue, parent, native);
        if (status != MAMA_STATUS_OK)
            wombatQueue_destroy(native);
        return status;
    }

    mama_status tarnixBridgeMamaQueue_create_usingNative(queueBridge* queue, mamaQueue parent, void* nativeQueue)
    {
        if (queue == nullptr || parent == nullptr || nativeQueue == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *queue = nullptr;

        TarnixQueueBridge* impl = new (std::nothrow) TarnixQueueBridge();
        if (impl == nullptr)
        {
            TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_create (): Failed to allocate memory for queue.");
            return MAMA_STATUS_NOMEM;
        }
        impl->mQueue = nativeQueue;

        mamaBridge bridgeImpl = mamaQueueImpl_getBridgeImpl(parent);
        void* closure = nullptr;
        if (bridgeImpl == nullptr || mamaBridgeImpl_getClosure(bridgeImpl, &closure) != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("No bridge implementation for queue.");
            delete impl;
            return MAMA_STATUS_INVALID_ARG;
        }
        impl->mBridge_p = static_cast<TarnixBridge*>(closure);

        impl->mDispatchLock = wlock_create();
        impl->mFlowLock = wlock_create();
        impl->mSuspended.store(false);
        impl->mParent = parent;
        /* The transport map is a member; it starts empty without allocating. */

        *queue = reinterpret_cast<queueBridge>(impl);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_destroy(queueBridge queue)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        TARNIX_CHECK_QUEUE(impl);

        size_t transports = countedTransports(impl);
        /* A subscription destroyed just before stays counted until the client
     * library has reported its last entry gone: give its thread the time. */
        if (transports != 0 && impl->mBridge_p != nullptr && impl->mBridge_p->mContext != nullptr)
        {
            trxClient_context_sync(impl->mBridge_p->mContext, kDestroyWaitMs);
            transports = countedTransports(impl);
        }
        if (transports != 0)
        {
            TARNIX_LOG_ERROR("Cannot destroy queue %p; it still has %u subscriptions.", static_cast<void*>(impl),
                             static_cast<unsigned>(transports));
            return MAMA_STATUS_INVALID_ARG;
        }

        /* OpenMAMA destroys the queue's reusable message after this, but not the
     * payload decoded into it, which the message does not own: hand the
     * payload to the message so that it goes too. */
        mamaMsg reusable = mamaQueueImpl_getMsg(impl->mParent);
        if (reusable != nullptr)
            mamaMsgImpl_setMessageOwner(reusable, 1);

        wlock_lock(impl->mDispatchLock);
        discardOwnedEvents(impl);
        wombatQueueStatus wstatus = wombatQueue_destroy(impl->mQueue);
        impl->mQueue = nullptr;
        wlock_unlock(impl->mDispatchLock);

        wlock_destroy(impl->mDispatchLock);
        wlock_destroy(impl->mFlowLock);
        delete impl;

        if (wstatus != WOMBAT_QUEUE_OK)
        {
            TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_destroy () failed to destroy queue: %d", wstatus);
            return MAMA_STATUS_PLATFORM;
        }
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_getEventCount(queueBridge queue, size_t* count)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        if (impl == nullptr || count == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_CHECK_QUEUE(impl);
        *count = 0;
        int size = 0;
        wombatQueue_getSize(impl->mQueue, &size);
        *count = size > 0 ? static_cast<size_t>(size) : 0;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_dispatch(queueBridge queue)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        TARNIX_CHECK_QUEUE(impl);

        wombatQueueStatus wstatus;
        wlock_lock(impl->mDispatchLock);
        do
        {
            checkWatermarks(impl);
            tarnixBridgeMamaQueueImpl_checkResume(impl);
            wstatus = wombatQueue_timedDispatch(impl->mQueue, nullptr, nullptr, kDispatchWakeMs);
        } while ((wstatus == WOMBAT_QUEUE_OK || wstatus == WOMBAT_QUEUE_TIMEOUT) &&
                 mamaQueueImpl_isDispatching(impl->mParent));
        wlock_unlock(impl->mDispatchLock);

        if (wstatus != WOMBAT_QUEUE_OK && wstatus != WOMBAT_QUEUE_TIMEOUT)
        {
            TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_dispatch () failed to dispatch: %d", wstatus);
            return MAMA_STATUS_PLATFORM;
        }
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_timedDispatch(queueBridge queue, uint64_t timeout)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        TARNIX_CHECK_QUEUE(impl);

        checkWatermarks(impl);
        tarnixBridgeMamaQueueImpl_checkResume(impl);
        wombatQueueStatus wstatus = wombatQueue_timedDispatch(impl->mQueue, nullptr, nullptr, timeout);
        if (wstatus == WOMBAT_QUEUE_OK)
            return MAMA_STATUS_OK;
        if (wstatus == WOMBAT_QUEUE_TIMEOUT)
            return MAMA_STATUS_TIMEOUT;
        TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_timedDispatch () Failed to dispatch: %d", wstatus);
        return MAMA_STATUS_PLATFORM;
    }

    mama_status tarnixBridgeMamaQueue_dispatchEvent(queueBridge queue)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        TARNIX_CHECK_QUEUE(impl);

        checkWatermarks(impl);
        tarnixBridgeMamaQueueImpl_checkResume(impl);
        wombatQueueStatus wstatus = wombatQueue_dispatch(impl->mQueue, nullptr, nullptr);
        if (wstatus == WOMBAT_QUEUE_OK || wstatus == WOMBAT_QUEUE_TIMEOUT)
            return MAMA_STATUS_OK;
        TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_dispatchEvent() failed to dispatch: %d", wstatus);
        return MAMA_STATUS_PLATFORM;
    }

} // extern "C"

namespace
{

/* One event onto the queue; data is what the callback gets first. */
mama_status enqueue(TarnixQueueBridge* queue, mamaQueueEnqueueCB callback, void* data, void* closure)
{
    /* Before the enqueue, so the depth seen does not include this event. */
    tarnixBridgeMamaQueueImpl_checkSuspend(queue);
    wombatQueueStatus wstatus =
        wombatQueue_enqueue(queue->mQueue, reinterpret_cast<WombatEventCb>(callback), data, closure);
    if (queue->mEnqueueCallback != nullptr)
        queue->mEnqueueCallback(queue->mParent, queue->mEnqueueClosure);
    if (wstatus != WOMBAT_QUEUE_OK)
    {
        TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_enqueueEvent(): failed to enqueue: %d; Callback: %p; "
                         "Closure: %p",
                         wstatus, reinterpret_cast<void*>(callback), closure);
        return MAMA_STATUS_PLATFORM;
    }
    return MAMA_STATUS_OK;
}

} // namespace

extern "C"
{

    mama_status tarnixBridgeMamaQueue_enqueueEvent(queueBridge queue, mamaQueueEnqueueCB callback, void* closure)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        if (impl == nullptr || callback == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_CHECK_QUEUE(impl);

        return enqueue(impl, callback, impl->mParent, closure);
    }

} // extern "C"

mama_status tarnixBridgeMamaQueueImpl_enqueueOwned(TarnixQueueBridge* queue, mamaQueueEnqueueCB callback,
                                                   TarnixEventDiscard discard, void* closure)
{
    if (queue == nullptr || callback == nullptr || discard == nullptr)
        return MAMA_STATUS_NULL_ARG;
    TARNIX_CHECK_QUEUE(queue);
    /* The item's data, which the callback gets as its first argument, names
     * the discard: nothing else marks an event as the bridge's own. */
    return enqueue(queue, callback, reinterpret_cast<void*>(discard), closure);
}

extern "C"
{

    mama_status tarnixBridgeMamaQueue_stopDispatch(queueBridge queue)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        TARNIX_CHECK_QUEUE(impl);
        wombatQueueStatus wstatus = wombatQueue_unblock(impl->mQueue);
        if (wstatus != WOMBAT_QUEUE_OK)
        {
            TARNIX_LOG_ERROR("tarnixBridgeMamaQueue_stopDispatch failed: %d", wstatus);
            return MAMA_STATUS_PLATFORM;
        }
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_setEnqueueCallback(queueBridge queue, mamaQueueEnqueueCB callback, void* closure)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        if (impl == nullptr || callback == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_CHECK_QUEUE(impl);
        impl->mEnqueueCallback = callback;
        impl->mEnqueueClosure = closure;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_removeEnqueueCallback(queueBridge queue)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        TARNIX_CHECK_QUEUE(impl);
        impl->mEnqueueCallback = nullptr;
        impl->mEnqueueClosure = nullptr;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_getNativeHandle(queueBridge queue, void** nativeHandle)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        if (impl == nullptr || nativeHandle == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_CHECK_QUEUE(impl);
        *nativeHandle = impl;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_setHighWatermark(queueBridge queue, size_t highWatermark)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        if (impl == nullptr || highWatermark == 0)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_CHECK_QUEUE(impl);
        impl->mHighWatermark = highWatermark;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaQueue_setLowWatermark(queueBridge queue, size_t lowWatermark)
    {
        TarnixQueueBridge* impl = reinterpret_cast<TarnixQueueBridge*>(queue);
        if (impl == nullptr || lowWatermark == 0)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_CHECK_QUEUE(impl);
        impl->mLowWatermark = lowWatermark;
        return MAMA_STATUS_OK;
    }

} // extern "C"

mama_status tarnixBridgeMamaQueueImpl_addSubscription(TarnixQueueBridge* queue, TarnixTransportBridge* transport)
{
    if (queue == nullptr || transport == nullptr)
        return MAMA_STATUS_NULL_ARG;

    mama_status status = MAMA_STATUS_OK;
    wlock_lock(queue->mFlowLock);
    try
    {
        auto inserted = queue->mTransportMap.emplace(transport, 0);
        int32_t& count = inserted.first->second;
        ++count;
        /* A transport joining a queue that is holding its feeders back is
         * held back too. */
        if (inserted.second && queue->mSuspended.load(std::memory_order_relaxed))
        {
            status = tarnixBridgeMamaTransportImpl_suspend(transport);
            if (status != MAMA_STATUS_OK)
                queue->mTransportMap.erase(inserted.first);
        }
    }
    catch (const std::bad_alloc&)
    {
        status = MAMA_STATUS_NOMEM;
    }
    wlock_unlock(queue->mFlowLock);
    return status;
}

mama_status tarnixBridgeMamaQueueImpl_removeSubscription(TarnixQueueBridge* queue, TarnixTransportBridge* transport,
                                                         const char* topic)
{
    if (queue == nullptr || transport == nullptr)
        return MAMA_STATUS_NULL_ARG;

    wlock_lock(queue->mFlowLock);
    auto it = queue->mTransportMap.find(transport);
    if (it == queue->mTransportMap.end())
    {
        wlock_unlock(queue->mFlowLock);
        TARNIX_LOG_WARN("Attempted to remove subscription '%s' not on queue %p", topic != nullptr ? topic : "",
                        static_cast<void*>(queue));
        return MAMA_STATUS_INVALID_ARG;
    }
    if (--it->second <= 0)
    {
        queue->mTransportMap.erase(it);
        if (queue->mSuspended.load(std::memory_order_relaxed))
        {
            mama_status status = tarnixBridgeMamaTransportImpl_resume(transport);
            if (status != MAMA_STATUS_OK)
                TARNIX_LOG_ERROR("unable to resume subscription: %s", mamaStatus_stringForStatus(status));
        }
    }
    wlock_unlock(queue->mFlowLock);
    return MAMA_STATUS_OK;
}

bool tarnixBridgeMamaQueueImpl_isSubscribeAsync(TarnixQueueBridge* queue)
{
    if (queue == nullptr || queue->mBridge_p == nullptr)
        return false;
    return queue->mBridge_p->mSubscribeAsync.load(std::memory_order_relaxed);
}

uint64_t tarnixBridgeMamaQueueImpl_resumeThreshold(uint64_t maxQueueSize)
{
    uint64_t twoThirds = 2 * (maxQueueSize / 3);
    if (maxQueueSize - twoThirds > 500)
        return maxQueueSize - 500;
    return twoThirds;
}

void tarnixBridgeMamaQueueImpl_checkSuspend(TarnixQueueBridge* queue)
{
    if (!tarnixBridgeMamaQueueImpl_isSubscribeAsync(queue) || queue->mSuspended.load(std::memory_order_relaxed))
        return;

    const uint64_t maxSize = maxQueueSize(queue);
    size_t count = 0;
    mama_status status = tarnixBridgeMamaQueue_getEventCount(reinterpret_cast<queueBridge>(queue), &count);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("could not get event count: %s", mamaStatus_stringForStatus(status));
        return;
    }
    /* The common case takes no lock. */
    if (count < maxSize)
        return;

    wlock_lock(queue->mFlowLock);
    if (!queue->mSuspended.load(std::memory_order_relaxed))
    {
        status = tarnixBridgeMamaQueue_getEventCount(reinterpret_cast<queueBridge>(queue), &count);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("could not get event count: %s", mamaStatus_stringForStatus(status));
        }
        else if (count >= maxSize)
        {
            TARNIX_LOG_FINEST("queue %p is too full, suspending all associated transports", static_cast<void*>(queue));
            for (auto& entry : queue->mTransportMap)
            {
                status = tarnixBridgeMamaTransportImpl_suspend(entry.first);
                if (status != MAMA_STATUS_OK)
                    TARNIX_LOG_WARN("unable to suspend a transport %p: %s", static_cast<void*>(entry.first),
                                    mamaStatus_stringForStatus(status));
                else
                    queue->mSuspended.store(true, std::memory_order_relaxed);
            }
        }
    }
    wlock_unlock(queue->mFlowLock);
}

void tarnixBridgeMamaQueueImpl_checkResume(TarnixQueueBridge* queue)
{
    if (!tarnixBridgeMamaQueueImpl_isSubscribeAsync(queue))
        return;

    wlock_lock(queue->mFlowLock);
    if (!queue->mSuspended.load(std::memory_order_relaxed))
    {
        wlock_unlock(queue->mFlowLock);
        return;
    }
    const uint64_t resumeAt = tarnixBridgeMamaQueueImpl_resumeThreshold(maxQueueSize(queue));
    int size = 0;
    wombatQueueStatus wstatus = wombatQueue_getSize(queue->mQueue, &size);
    if (wstatus != WOMBAT_QUEUE_OK || size < 0)
    {
        TARNIX_LOG_ERROR("could not get event count: %d; eventCount: %d", wstatus, size);
        wlock_unlock(queue->mFlowLock);
        return;
    }
    /* The event about to be dispatched no longer counts. */
    if (size > 0)
        --size;
    if (static_cast<uint64_t>(size) <= resumeAt)
    {
        mama_status failed = MAMA_STATUS_OK;
        for (auto& entry : queue->mTransportMap)
        {
            mama_status status = tarnixBridgeMamaTransportImpl_resume(entry.first);
            if (status != MAMA_STATUS_OK)
                failed = status;
        }
        queue->mSuspended.store(false, std::memory_order_relaxed);
        if (failed != MAMA_STATUS_OK)
            TARNIX_LOG_ERROR("resuming a transport failed, marking queue as resumed anyway: %s",
                             mamaStatus_stringForStatus(failed));
    }
    wlock_unlock(queue->mFlowLock);
}
