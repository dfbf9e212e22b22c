#include "logging.h"

#include "clientLibrary.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

namespace
{

/* By meaning: the library's levels are syslog's (EMERGENCY 0 .. DEBUG 7). */
constexpr int kMamaToClient[] = {0, 2, 3, 4, 5, 6, 6, 7};
constexpr int kClientToMama[] = {1, 1, 1, 2, 3, 4, 5, 7};
constexpr uint32_t kFlushPeriodMs = 1000;

template <size_t N>
int lookup(const int (&table)[N], int index)
{
    if (index < 0)
        return 0;
    if (static_cast<size_t>(index) >= N)
        return table[N - 1];
    return table[index];
}

/* Owner reference plus one per pending flush timer; the record goes when the
 * last one is dropped, so destroy and a pending flush free it exactly once. */
struct ThrottledLogRecord : TarnixThrottledLog
{
    std::atomic<int32_t> mRefs{1};
    /* The pending flush timer, so that close can run a flush its context
     * would otherwise drop (and with it the record). */
    std::mutex mTimerMutex;
    trxClient_context_timerId_t mTimerId = nullptr;
    bool mTimerArmed = false;
};

/* Records with a flush timer pending. Taken inside a record's mTimerMutex. */
std::mutex gPendingMutex;
std::unordered_set<ThrottledLogRecord*> gPending;

void release(ThrottledLogRecord* record)
{
    if (record->mRefs.fetch_sub(1) == 1)
    {
        std::free(record->mLastText.exchange(nullptr));
        delete record;
    }
}

void setPending(ThrottledLogRecord* record, bool pending)
{
    std::lock_guard<std::mutex> lock(gPendingMutex);
    if (!pending)
        gPending.erase(record);
    else
        try
        {
            gPending.insert(record);
        }
        catch (const std::bad_alloc&)
        {
            /* Only close's final flush misses it. */
        }
}

void flush(trxClient_opaqueContext_pt context, void* user);

void startFlushTimer(ThrottledLogRecord* record)
{
    {
        std::lock_guard<std::mutex> lock(record->mTimerMutex);
        if (record->mTimerContext != nullptr &&
            trxClient_context_startTimer(record->mTimerContext, TRXCLIENT_CONTEXT_TIMER_ONE_SHOT, kFlushPeriodMs, flush,
                                         record, &record->mTimerId) == TRXCLIENT_OK)
        {
            record->mTimerArmed = true;
            setPending(record, true);
            return;
        }
    }
    /* Without a timer no period can end: write every message as it comes. */
    record->mRepeatCount.store(0);
    release(record);
}

/* Writes the repeat line of the period and gives back how many messages the
 * period had. */
int32_t report(ThrottledLogRecord* record)
{
    const int32_t count = record->mRepeatCount.load();
    char* text = record->mLastText.exchange(nullptr);
    if (count > 1 && text != nullptr)
        mama_log(record->mLevel, "%s (similar message repeated %d times)", text, count - 1);
    std::free(text);
    return count;
}

/* Context thread, one period after its first message. */
void flush(trxClient_opaqueContext_pt /*context*/, void* user)
{
    ThrottledLogRecord* record = static_cast<ThrottledLogRecord*>(user);
    {
        std::lock_guard<std::mutex> lock(record->mTimerMutex);
        record->mTimerArmed = false;
        record->mTimerId = nullptr;
        setPending(record, false);
    }
    const int32_t count = report(record);
    if (record->mRepeatCount.fetch_sub(count) - count > 0)
        startFlushTimer(record); /* keeps this timer's reference */
    else
        release(record);
}

char* formatText(const char* format, va_list args)
{
    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (length < 0)
        return nullptr;
    char* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (text != nullptr && std::vsnprintf(text, static_cast<size_t>(length) + 1, format, args) < 0)
    {
        std::free(text);
        text = nullptr;
    }
    return text;
}

} // namespace

int tarnixLog_mamaToClientLevel(int mamaLevel)
{
    return lookup(kMamaToClient, mamaLevel);
}

int tarnixLog_clientToMamaLevel(int clientLevel)
{
    return lookup(kClientToMama, clientLevel);
}

const char* tarnixLog_categoryPrefix(int category)
{
    switch (category)
    {
        case TRXCLIENT_LOG_CATEGORY_API: return "[API] ";
        case TRXCLIENT_LOG_CATEGORY_APP: return "[APP] ";
        default: return "";
    }
}

void tarnixLog_clientCallback(trxClient_log_callbackInfo_pt info, void* /*user*/)
{
    if (info == nullptr)
        return;
    const MamaLogLevel level = static_cast<MamaLogLevel>(tarnixLog_clientToMamaLevel(info->level));
    /* The record is the library's: this function's own location would only
     * mislead, so the line names none. */
    mama_log(level, "%s TARNIX-MW-Bridge: %s%s", mama_logLevelToString(level), tarnixLog_categoryPrefix(info->category),
             info->msg_p != nullptr ? info->msg_p : "");
}

TarnixThrottledLog* tarnixThrottledLog_create(MamaLogLevel level, void* context)
{
    ThrottledLogRecord* record = new (std::nothrow) ThrottledLogRecord();
    if (record == nullptr)
        return nullptr;
    record->mLevel = level;
    record->mTimerContext = context;
    record->mDestroyed.store(0);
    record->mRepeatCount.store(0);
    record->mLastText.store(nullptr);
    return record;
}

void tarnixThrottledLog_log(TarnixThrottledLog* log, const char* format, ...)
{
    ThrottledLogRecord* record = static_cast<ThrottledLogRecord*>(log);
    if (record == nullptr || format == nullptr || record->mDestroyed.load() != 0)
        return;

    va_list args;
    va_start(args, format);
    char* text = formatText(format, args);
    va_end(args);

    /* A message that cannot be formatted still counts. */
    const bool periodStarts = record->mRepeatCount.fetch_add(1) == 0;
    if (periodStarts && text != nullptr)
        mama_log2(record->mLevel, text); /* still ours: not yet visible to others */
    if (text != nullptr)
        std::free(record->mLastText.exchange(text));
    if (periodStarts)
    {
        record->mRefs.fetch_add(1);
        startFlushTimer(record);
    }
}

void tarnixThrottledLog_destroy(TarnixThrottledLog* log)
{
    ThrottledLogRecord* record = static_cast<ThrottledLogRecord*>(log);
    if (record == nullptr || record->mDestroyed.exchange(1) != 0)
        return;
    release(record);
}

void tarnixThrottledLog_flushPending(void* context)
{
    std::vector<ThrottledLogRecord*> records;
    {
        std::lock_guard<std::mutex> lock(gPendingMutex);
        for (ThrottledLogRecord* record : gPending)
        {
            if (record->mTimerContext != context)
                continue;
            /* Held while it is looked at: its flush may be running now. */
            record->mRefs.fetch_add(1);
            records.push_back(record);
        }
    }
    for (ThrottledLogRecord* record : records)
    {
        bool stopped = false;
        {
            std::lock_guard<std::mutex> lock(record->mTimerMutex);
            if (record->mTimerArmed &&
                trxClient_context_stopTimer(record->mTimerContext, &record->mTimerId) == TRXCLIENT_OK)
            {
                record->mTimerArmed = false;
                setPending(record, false);
                stopped = true;
            }
        }
        if (stopped)
        {
            /* The period ends now; nothing is left to start another. */
            record->mRepeatCount.fetch_sub(report(record));
            release(record);
        }
        release(record);
    }
}
