/* The bridge object behind every OpenMAMA queue of a "tarnix" bridge, and
 * the queue side of flow control. */
#ifndef TARNIX_MW_QUEUE_H
#define TARNIX_MW_QUEUE_H

#include "mamaIntegration.h"
#include <wombat/queue.h>
#include <wlock.h>

#include <atomic>
#include <cstdint>
#include <unordered_map>

struct TarnixBridge;
struct TarnixTransportBridge;

struct TarnixQueueBridge
{
    mamaQueue mParent = nullptr;
    wombatQueue mQueue = nullptr;
    bool mHighWatermarkFired = false; /* dispatching threads only */
    size_t mHighWatermark = 0;
    size_t mLowWatermark = 0;
    mamaQueueEnqueueCB mEnqueueCallback = nullptr;
    void* mEnqueueClosure = nullptr;
    wLock mDispatchLock = nullptr;
    wLock mFlowLock = nullptr;
    TarnixBridge* mBridge_p = nullptr;
    /* Written under mFlowLock; read without it by the enqueue pre-test. */
    std::atomic<bool> mSuspended{false};
    /* Transport -> number of its subscriptions delivering here; guarded by
     * mFlowLock. An entry exists only while its count is at least 1. */
    std::unordered_map<TarnixTransportBridge*, int32_t> mTransportMap;
};

/* Largest depth of the wombat queue itself; the bridge's maximum queue size
 * is applied by flow control, not by the queue. */
constexpr uint32_t TARNIX_QUEUE_MAX_EVENTS = 2147483647u;

/* Lets go of what an event of the bridge's own holds (a received message, a
 * reference on a subscription) when its queue is destroyed with the event
 * still in it. */
using TarnixEventDiscard = void (*)(void* closure);

/* Enqueues an event of the bridge's own: like enqueueEvent, but the queue's
 * destroy hands whatever of it is left to discard. callback's queue argument
 * is not the mamaQueue: it must not use it. */
mama_status tarnixBridgeMamaQueueImpl_enqueueOwned(TarnixQueueBridge* queue, mamaQueueEnqueueCB callback,
                                                   TarnixEventDiscard discard, void* closure);

/* Subscription counting per transport. The subscription module passes its
 * transport (and its topic for the warning when it was never counted). */
mama_status tarnixBridgeMamaQueueImpl_addSubscription(TarnixQueueBridge* queue, TarnixTransportBridge* transport);
mama_status tarnixBridgeMamaQueueImpl_removeSubscription(TarnixQueueBridge* queue, TarnixTransportBridge* transport,
                                                         const char* topic);

/* mSubscribeAsync of the queue's bridge; false without a queue or bridge. */
bool tarnixBridgeMamaQueueImpl_isSubscribeAsync(TarnixQueueBridge* queue);

/* Flow control: the depth at which a suspended queue resumes its transports,
 * from the maximum depth M: max(M - 500, 2 * floor(M / 3)). */
uint64_t tarnixBridgeMamaQueueImpl_resumeThreshold(uint64_t maxQueueSize);
void tarnixBridgeMamaQueueImpl_checkSuspend(TarnixQueueBridge* queue);
void tarnixBridgeMamaQueueImpl_checkResume(TarnixQueueBridge* queue);

#endif
