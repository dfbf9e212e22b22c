/* OpenMAMA timers on the bridge's timer heap. The heap thread re-arms the
 * timer and queues an event; the callback runs on the queue's dispatcher. */
#ifndef TARNIX_MW_TIMER_H
#define TARNIX_MW_TIMER_H

#include "mamaIntegration.h"
#include <timers.h>

#include <atomic>
#include <sys/time.h>

struct TarnixQueueBridge;

struct TarnixTimerBridge
{
    timerElement mTimerElement = nullptr;
    /* Seconds; setInterval writes it on an application thread while the
     * heap thread re-arms with it. */
    std::atomic<double> mInterval{0.0};
    void* mClosure = nullptr;
    mamaTimer mParent = nullptr;
    TarnixQueueBridge* mQueueBridge = nullptr;
    /* Both change once, from live to destroyed, and are read by the heap and
     * dispatching threads without a lock. */
    std::atomic<bool> mDestroyed{false};
    mamaTimerCb mOnDestroyed = nullptr;
    std::atomic<mamaTimerCb> mAction{nullptr};
};

/* Whole seconds and microseconds, each truncated toward zero. */
struct timeval tarnixTimer_toTimeval(double interval);

#endif
