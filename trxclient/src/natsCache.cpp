#include "natsCache.h"

#include "cacheSession.h"
#include "clock.h"
#include "log.h"
#include "msg.h"
#include "natsAccess.h"
#include "natsMessage.h"
#include "session.h"
#include "topic.h"
#include "worker.h"

#include <algorithm>
#include <ctime>

namespace trx
{
namespace
{

// Options of a JetStream call that waits waitMs for its answer.
jsOptions waitingFor(int64_t waitMs)
{
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = waitMs;
    return jo;
}

int64_t msLeft(Clock::time_point until)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
}

// A direct get's answer says when its value was stored (to the second):
// true when that is longer ago than maxAgeMs (0: no limit).
bool storedTooLongAgo(const Msg& m, uint64_t maxAgeMs)
{
    const char* ts = nullptr;
    if (!maxAgeMs || natsMsgHeader_Get(natsMsgOf(m), "Nats-Time-Stamp", &ts) != NATS_OK || !ts)
        return false;
    std::tm tm{};
    if (!strptime(ts, "%Y-%m-%dT%H:%M:%S", &tm))
        return false;
    int64_t stored = static_cast<int64_t>(timegm(&tm)) * 1000;
    int64_t nowMs = static_cast<int64_t>(std::time(nullptr)) * 1000;
    return nowMs - stored > static_cast<int64_t>(maxAgeMs);
}

// The same for a consumer's message, stored at stampNs (0: not known).
bool storedTooLongAgo(int64_t stampNs, uint64_t maxAgeMs)
{
    if (!maxAgeMs || !stampNs)
        return false;
    int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return nowMs - stampNs / 1000000 > static_cast<int64_t>(maxAgeMs);
}

} // namespace

void NatsCache::attach(natsConnection* nc, jsCtx* js)
{
    std::lock_guard<std::mutex> g(mMu);
    mNc = nc;
    mJs = js;
}

void NatsCache::request(CacheSession* cs, std::shared_ptr<CacheRequest> req)
{
    {
        std::lock_guard<std::mutex> g(mMu);
        mQueue.emplace_back(cs, std::move(req));
        if (!mThread.joinable())
            mThread = std::thread([this] { loop(); });
    }
    mCv.notify_all(); // forget() may wait on it too
}

void NatsCache::forget(CacheSession* cs)
{
    std::unique_lock<std::mutex> lk(mMu);
    mQueue.erase(std::remove_if(mQueue.begin(), mQueue.end(), [cs](auto& item) { return item.first == cs; }),
                 mQueue.end());
    if (mServing == cs)
    {
        mForget = true; // no more tries for it
        mCv.notify_all();
    }
    mCv.wait(lk, [&] { return mServing != cs; });
}

void NatsCache::stop()
{
    stopWorker(mMu, mCv, mStop, mThread);
    std::lock_guard<std::mutex> g(mMu);
    mStop = false;
}

void NatsCache::loop()
{
    for (;;)
    {
        std::pair<CacheSession*, std::shared_ptr<CacheRequest>> item;
        {
            std::unique_lock<std::mutex> lk(mMu);
            mCv.wait(lk, [&] { return mStop || !mQueue.empty(); });
            if (mStop)
                return;
            item = mQueue.front();
            mQueue.pop_front();
            mServing = item.first;
            mUseNc = mNc;
            mUseJs = mJs;
        }
        serve(item.first, *item.second);
        {
            std::lock_guard<std::mutex> g(mMu);
            mServing = nullptr;
            mForget = false;
        }
        mCv.notify_all();
    }
}

// A cluster electing a leader, or a request lost with the node that
// carried it, answers nothing for a while: the request is asked again
// until the cache answers or its time-out (CACHESESSION_REQUEST_TIMEOUT_MS)
// ends it with the cache-timeout code.
void NatsCache::serve(CacheSession* cs, CacheRequest& req)
{
    const std::string& t = req.topic;
    const bool wild =
        t.find('*') != std::string::npos || t == ">" || (t.size() >= 2 && t.compare(t.size() - 2, 2, "/>") == 0);
    // A try waits a share of the time-out, so a request lost on the way
    // leaves time to ask again.
    const int64_t tryMs = std::clamp<int64_t>(cs->timeoutMs / 8, 200, 1000);
    int64_t pauseMs = 25;
    std::string busy;
    for (;;)
    {
        if (req.isFinished())
            return;
        const int64_t left = msLeft(req.deadline);
        if (left <= 0)
        {
            cs->complete(req.seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT, {},
                         "the cache did not answer within CACHESESSION_REQUEST_TIMEOUT_MS (" +
                             std::to_string(cs->timeoutMs) + " ms): " + busy);
            return;
        }
        const int64_t waitMs = std::min(left, tryMs);
        if ((wild ? tryWildcard(cs, req, waitMs, busy) : tryTopic(cs, req, waitMs, busy)) == Try::Done)
            return;
        TRX_LOG(TRXCLIENT_LOG_DEBUG, "cache request %llu for Topic '%s': %s; asking again",
                static_cast<unsigned long long>(req.seq), t.c_str(), busy.c_str());
        std::unique_lock<std::mutex> lk(mMu);
        if (mCv.wait_for(lk, std::chrono::milliseconds(std::min(pauseMs, std::max<int64_t>(left, 1))),
                         [&] { return mStop || mForget; }))
            return;
        pauseMs = std::min<int64_t>(pauseMs * 2, 400);
    }
}

NatsCache::Try NatsCache::tryTopic(CacheSession* cs, CacheRequest& req, int64_t waitMs, std::string& busy)
{
    // A server with JetStream leaves a direct get of a missing stream
    // unanswered: until the stream is known to be there, its info (which
    // answers at once) goes first. Info that cannot be had (no leader)
    // does not stop the direct get: every replica answers those.
    if (mVerifiedStream != cs->stream && streamUnusable(cs, req, waitMs, busy))
        return Try::Done;
    std::string subject;
    topicToSubject(req.topic, false, subject);
    jsOptions jo = waitingFor(waitMs);
    jsDirectGetMsgOptions dg;
    jsDirectGetMsgOptions_Init(&dg);
    dg.LastBySubject = subject.c_str();
    natsMsg* nm = nullptr;
    natsStatus st =
        mUseJs && mUseNc ? js_DirectGetMsg(&nm, mUseJs, cs->stream.c_str(), &jo, &dg) : NATS_CONNECTION_CLOSED;
    if (st == NATS_NOT_FOUND)
    {
        cs->complete(req.seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_NO_CACHED_DATA, {});
        return Try::Done;
    }
    if (st != NATS_OK)
        mVerifiedStream.clear();
    if (st == NATS_NO_RESPONDERS)
    {
        // Without JetStream, without the stream, or before any replica
        // has started, nobody answers a direct get; the info tells which.
        if (streamUnusable(cs, req, waitMs, busy))
            return Try::Done;
        busy = "no server answers direct gets for cache stream " + cs->stream + " on " + mLastUrl() + " yet";
        return Try::Again;
    }
    if (jetStreamBusy(st, static_cast<jsErrCode>(0)))
    {
        busy = "no answer from cache stream " + cs->stream + " on " + mLastUrl() + " within " + std::to_string(waitMs) +
               " ms";
        return Try::Again;
    }
    if (st != NATS_OK)
    {
        std::string why = "cache stream '" + cs->stream + "' for Topic '" + req.topic + "': " + natsErrorText(st);
        TRX_LOG(TRXCLIENT_LOG_INFO, "%s", why.c_str());
        cs->complete(req.seq, TRXCLIENT_FAIL, TRXCLIENT_SUBCODE_CACHE_ERROR, {}, why);
        return Try::Done;
    }
    Msg* m = msgFromNats(nm, true);
    if (!m)
    {
        cs->complete(req.seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_NO_CACHED_DATA, {});
        return Try::Done;
    }
    const bool suspect = storedTooLongAgo(*m, cs->maxAgeMs);
    m->cacheStatus = suspect ? TRXCLIENT_CACHE_MSG_SUSPECT : TRXCLIENT_CACHE_MSG_CACHED;
    cs->complete(req.seq, suspect ? TRXCLIENT_INCOMPLETE : TRXCLIENT_OK,
                 suspect ? TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT : TRXCLIENT_SUBCODE_OK, {m});
    return Try::Done;
}

// Asks for the cache stream's info and finishes the request (true) when
// the stream cannot serve it at all, saying why and what to do about it.
// An answer that only means "not now" (no leader) sets busy.
bool NatsCache::streamUnusable(CacheSession* cs, CacheRequest& req, int64_t waitMs, std::string& busy)
{
    jsStreamInfo* si = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    jsOptions io = waitingFor(std::max<int64_t>(1, waitMs / 2)); // answered at once by any leader there is
    natsStatus st =
        mUseJs && mUseNc ? js_GetStreamInfo(&si, mUseJs, cs->stream.c_str(), &io, &jerr) : NATS_CONNECTION_CLOSED;
    const bool direct = si && si->Config && si->Config->AllowDirect;
    if (si)
        jsStreamInfo_Destroy(si);
    const std::string url = mConnectedUrl();
    std::string why;
    trxClient_subCode_t sc = TRXCLIENT_SUBCODE_CACHE_UNAVAILABLE;
    if (st == NATS_OK && direct)
    {
        mVerifiedStream = cs->stream;
        return false;
    }
    if (st == NATS_OK)
    {
        why = "cache stream '" + cs->stream + "' on " + url +
              " does not answer direct gets; make it again with: trxcache create PATTERN";
        sc = TRXCLIENT_SUBCODE_CACHE_ERROR;
    }
    else if (jetStreamBusy(st, jerr))
    {
        busy = "cache stream " + cs->stream + " on " + mLastUrl() + " has no leader yet: " + natsErrorText(st);
        return false;
    }
    else
    {
        why = cacheStreamMissing(st, cs->stream, url);
        if (why.empty())
            why = "cache stream " + cs->stream + " on " + url + ": " + natsErrorText(st);
    }
    TRX_LOG(TRXCLIENT_LOG_INFO, "%s", why.c_str());
    cs->complete(req.seq, TRXCLIENT_FAIL, sc, {}, why);
    return true;
}

// Last message of every cached subject matching a pattern: an ordered
// consumer that starts at the last message per subject.
NatsCache::Try NatsCache::tryWildcard(CacheSession* cs, CacheRequest& req, int64_t waitMs, std::string& busy)
{
    std::string subject;
    topicToSubject(req.topic, true, subject);
    jsOptions jo = waitingFor(waitMs);
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = cs->stream.c_str();
    so.Ordered = true;
    so.Config.DeliverPolicy = js_DeliverLastPerSubject;
    natsSubscription* sub = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    natsStatus st =
        mUseJs && mUseNc ? js_SubscribeSync(&sub, mUseJs, subject.c_str(), &jo, &so, &jerr) : NATS_CONNECTION_CLOSED;
    if (st != NATS_OK)
        return consumerRefused(cs, req, waitMs, st, jerr, busy);
    std::vector<Msg*> msgs;
    bool suspect = false;
    const bool inTime = collectLast(cs, req, sub, jo, msgs, suspect);
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
    const trxClient_subCode_t sc = !inTime        ? TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT
                                   : msgs.empty() ? TRXCLIENT_SUBCODE_NO_CACHED_DATA
                                   : suspect      ? TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT
                                                  : TRXCLIENT_SUBCODE_OK;
    cs->complete(req.seq, sc == TRXCLIENT_SUBCODE_OK ? TRXCLIENT_OK : TRXCLIENT_INCOMPLETE, sc, std::move(msgs));
    return Try::Done;
}

// The consumer of a wildcard request could not be made: nothing is cached
// for it, the stream has no leader yet, or the stream cannot serve at all.
NatsCache::Try NatsCache::consumerRefused(CacheSession* cs, CacheRequest& req, int64_t waitMs, natsStatus st,
                                          jsErrCode jerr, std::string& busy)
{
    std::string text = natsErrorText(st);
    TRX_LOG(TRXCLIENT_LOG_INFO, "cache stream '%s' for Topic '%s': %s (JetStream error %d)", cs->stream.c_str(),
            req.topic.c_str(), text.c_str(), static_cast<int>(jerr));
    // The stream holds no such subjects at all: nothing cached.
    if (text.find("filter subject") != std::string::npos)
    {
        cs->complete(req.seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_NO_CACHED_DATA, {});
        return Try::Done;
    }
    // A consumer needs the stream's leader.
    if (jetStreamBusy(st, jerr))
    {
        busy = "cache stream " + cs->stream + " on " + mLastUrl() + " has no leader yet: " + text;
        return Try::Again;
    }
    busy.clear();
    if (streamUnusable(cs, req, waitMs, busy))
        return Try::Done;
    if (!busy.empty())
        return Try::Again;
    cs->complete(req.seq, TRXCLIENT_FAIL, TRXCLIENT_SUBCODE_CACHE_ERROR, {},
                 "cache stream '" + cs->stream + "' for Topic '" + req.topic + "': " + text);
    return Try::Done;
}

// Reads the consumer's messages (the last of each subject) into msgs: those
// the request's topic matches exactly, up to the session's request limit.
// suspect: one is older than CACHESESSION_MAX_AGE_MS. False when the
// request's time ran out first.
bool NatsCache::collectLast(CacheSession* cs, CacheRequest& req, natsSubscription* sub, jsOptions& jo,
                            std::vector<Msg*>& msgs, bool& suspect)
{
    uint64_t pending = 0;
    jsConsumerInfo* ci = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    if (natsSubscription_GetConsumerInfo(&ci, sub, &jo, &jerr) == NATS_OK)
    {
        pending = ci->NumPending + ci->Delivered.Consumer;
        jsConsumerInfo_Destroy(ci);
    }
    for (uint64_t n = 0; n < pending; ++n)
    {
        const int64_t left = msLeft(req.deadline);
        natsMsg* nm = nullptr;
        if (left <= 0 || natsSubscription_NextMsg(&nm, sub, left) != NATS_OK)
            return false;
        jsMsgMetaData* meta = nullptr;
        uint64_t rest = 1;
        int64_t stamp = 0;
        if (natsMsg_GetMetaData(&meta, nm) == NATS_OK)
        {
            rest = meta->NumPending;
            stamp = meta->Timestamp;
            jsMsgMetaData_Destroy(meta);
        }
        Msg* m = msgFromNats(nm, true);
        // A level ending in '*' was widened for the server: test exactly here.
        if (m && topicMatches(req.topic, m->topic()) && msgs.size() < mSession->requestMsgLimit())
        {
            const bool old = storedTooLongAgo(stamp, cs->maxAgeMs);
            m->cacheStatus = old ? TRXCLIENT_CACHE_MSG_SUSPECT : TRXCLIENT_CACHE_MSG_CACHED;
            suspect = suspect || old;
            msgs.push_back(m);
        }
        else
        {
            delete m;
        }
        if (rest == 0)
            break;
    }
    return true;
}

} // namespace trx
