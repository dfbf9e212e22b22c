#include "transportStats.h"

#include "logging.h"

#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <new>

struct TarnixTransportStats
{
    std::string mName;
    trxClient_opaqueContext_pt mContext = nullptr;
    uint32_t mIntervalMs = 0;
    std::array<std::atomic<uint64_t>, 4> mCounts{};
    /* The owner's reference and one for an armed timer. */
    std::atomic<int> mRefs{1};
    /* Guards the session (cleared by stop), the timer and the last report. */
    std::mutex mMutex;
    trxClient_opaqueSession_pt mSession = nullptr;
    trxClient_context_timerId_t mTimer = nullptr;
    bool mArmed = false;
    std::string mLast;
};

namespace
{

void release(TarnixTransportStats* stats)
{
    if (stats->mRefs.fetch_sub(1) == 1)
        delete stats;
}

/* mMutex held. */
std::string render(TarnixTransportStats* stats)
{
    trxClient_session_stats_t s{};
    if (stats->mSession == nullptr || trxClient_session_getStats(stats->mSession, &s) != TRXCLIENT_OK)
        return "";
    char line[512];
    std::snprintf(line, sizeof(line),
                  "Transport '%s': received %" PRIu64 ", sent %" PRIu64 ", buffered %" PRIu64 " (%" PRIu64
                  " bytes), discarded %" PRIu64 ", reconnects %" PRIu64 ", slow-consumer events %" PRIu64
                  ", cache requests %" PRIu64 " (misses %" PRIu64 ", unanswered %" PRIu64 ")",
                  stats->mName.c_str(), s.rxMsgs, s.txMsgs, s.rxBufferedMsgs, s.rxBufferedBytes, s.rxDiscardedMsgs,
                  s.reconnects, stats->mCounts[static_cast<int>(TarnixStat::SlowConsumer)].load(),
                  stats->mCounts[static_cast<int>(TarnixStat::CacheRequest)].load(),
                  stats->mCounts[static_cast<int>(TarnixStat::CacheMiss)].load(),
                  stats->mCounts[static_cast<int>(TarnixStat::CacheUnanswered)].load());
    return line;
}

void onTimer(trxClient_opaqueContext_pt, void* user);

/* mMutex held; takes the timer's reference with it. */
bool arm(TarnixTransportStats* stats)
{
    stats->mArmed = trxClient_context_startTimer(stats->mContext, TRXCLIENT_CONTEXT_TIMER_ONE_SHOT, stats->mIntervalMs,
                                                 onTimer, stats, &stats->mTimer) == TRXCLIENT_OK;
    if (!stats->mArmed)
        TARNIX_LOG_WARN("Transport '%s': cannot start the statistics timer; no statistics lines", stats->mName.c_str());
    return stats->mArmed;
}

/* Context thread. */
void onTimer(trxClient_opaqueContext_pt, void* user)
{
    TarnixTransportStats* stats = static_cast<TarnixTransportStats*>(user);
    bool again = false;
    {
        std::lock_guard<std::mutex> lock(stats->mMutex);
        stats->mArmed = false;
        if (stats->mSession != nullptr)
        {
            const std::string line = render(stats);
            /* Quiet while nothing changes. */
            if (!line.empty() && line != stats->mLast)
            {
                TARNIX_LOG_NORMAL("%s", line.c_str());
                stats->mLast = line;
            }
            again = arm(stats);
        }
    }
    if (!again)
        release(stats);
}

} // namespace

TarnixTransportStats* tarnixTransportStats_start(const char* name, trxClient_opaqueSession_pt session,
                                                 trxClient_opaqueContext_pt context, uint32_t intervalMs)
{
    if (intervalMs == 0 || context == nullptr)
        return nullptr;
    TarnixTransportStats* stats = new (std::nothrow) TarnixTransportStats();
    if (stats == nullptr)
        return nullptr;
    try
    {
        stats->mName = name;
    }
    catch (const std::bad_alloc&)
    {
        delete stats;
        return nullptr;
    }
    stats->mContext = context;
    stats->mIntervalMs = intervalMs;
    stats->mSession = session;
    std::lock_guard<std::mutex> lock(stats->mMutex);
    stats->mRefs.fetch_add(1);
    if (!arm(stats))
        stats->mRefs.fetch_sub(1);
    return stats;
}

void tarnixTransportStats_count(TarnixTransportStats* stats, TarnixStat which)
{
    if (stats != nullptr)
        stats->mCounts[static_cast<int>(which)].fetch_add(1, std::memory_order_relaxed);
}

std::string tarnixTransportStats_line(TarnixTransportStats* stats)
{
    if (stats == nullptr)
        return "";
    std::lock_guard<std::mutex> lock(stats->mMutex);
    return render(stats);
}

void tarnixTransportStats_detach(TarnixTransportStats* stats)
{
    if (stats == nullptr)
        return;
    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(stats->mMutex);
        stats->mSession = nullptr;
        /* A timer that has fired meanwhile finds no session and lets go. */
        if (stats->mArmed && trxClient_context_stopTimer(stats->mContext, &stats->mTimer) == TRXCLIENT_OK)
        {
            stats->mArmed = false;
            stopped = true;
        }
    }
    if (stopped)
        release(stats);
}

void tarnixTransportStats_stop(TarnixTransportStats* stats)
{
    if (stats == nullptr)
        return;
    tarnixTransportStats_detach(stats);
    release(stats);
}
