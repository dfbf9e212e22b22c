#include "cacheSession.h"

#include "backend.h"
#include "context.h"
#include "errors.h"
#include "log.h"
#include "msg.h"
#include "session.h"
#include "topic.h"

#include <functional>
#include <utility>

namespace trx
{

trxClient_returnCode_t CacheSession::init()
{
    // The cache session's own properties win over the session's.
    Props merged;
    for (auto& kv : session->props().all())
        merged.set(kv.first, kv.second);
    for (auto& kv : props.all())
        merged.set(kv.first, kv.second);
    const char* fn = "trxClient_session_createCacheSession";
    if (!merged.readInt("CACHESESSION_REQUEST_TIMEOUT_MS", 10000, 1, 3600000, timeoutMs, fn) ||
        !merged.readInt("CACHESESSION_MAX_AGE_MS", 0, 0, 1ll << 40, maxAgeMs, fn))
        return TRXCLIENT_FAIL;
    stream = merged.getStr("CACHESESSION_STREAM", "TRXCACHE");
    ctx = session->ctx();
    return TRXCLIENT_OK;
}

trxClient_returnCode_t CacheSession::request(const char* topic, uint64_t id,
                                             trxClient_cacheSession_rxCacheRequestCallbackFunc_t cb, void* user,
                                             uint32_t flags, uint32_t subFlags)
{
    const char* fn = "trxClient_cacheSession_sendCacheRequest";
    const uint32_t known = TRXCACHE_REQUEST_FLAGS_NO_SUBSCRIBE | TRXCACHE_REQUEST_FLAGS_TOPIC_DISPATCH |
                           TRXCACHE_REQUEST_FLAGS_NOWAIT_REPLY;
    if (!topic)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL topic", fn);
    if (flags & ~known)
        return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "%s: unknown flags 0x%x", fn, flags & ~known);
    trxClient_subCode_t sc = checkTopic(topic);
    if (sc != TRXCLIENT_SUBCODE_OK)
        return fail(sc, "%s: invalid Topic '%s'", fn, topic);
    Session* s = session;
    if (!s)
        return fail(TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION, "%s: the session is gone", fn);
    if (!(flags & TRXCACHE_REQUEST_FLAGS_NO_SUBSCRIBE))
    {
        trxClient_returnCode_t rc =
            s->subscribe(subFlags & ~TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM, topic, nullptr, nullptr, true);
        if (rc != TRXCLIENT_OK && rc != TRXCLIENT_IN_PROGRESS)
            return rc;
    }
    auto req = std::make_shared<CacheRequest>();
    req->topic = topic;
    req->id = id;
    req->cb = cb;
    req->user = user;
    req->flags = flags;
    req->deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    {
        std::lock_guard<std::mutex> g(mMu);
        req->seq = mNextSeq++;
        mPending[req->seq] = req;
    }
    uint64_t seq = req->seq;
    req->timer =
        ctx->startInternalTimer(timeoutMs,
                                [this, seq]
                                {
                                    complete(seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT, {},
                                             "the cache did not answer within CACHESESSION_REQUEST_TIMEOUT_MS (" +
                                                 std::to_string(timeoutMs) + " ms)");
                                });
    TRX_LOG(TRXCLIENT_LOG_DEBUG, "cache request %llu for Topic '%s' (id %llu)", static_cast<unsigned long long>(seq),
            topic, static_cast<unsigned long long>(id));
    s->backend()->cacheRequest(this, req);
    if (flags & TRXCACHE_REQUEST_FLAGS_NOWAIT_REPLY)
        return TRXCLIENT_IN_PROGRESS;
    std::unique_lock<std::mutex> lk(req->mu);
    if (!req->cv.wait_for(lk, std::chrono::milliseconds(timeoutMs + 100), [&] { return req->finished; }))
    {
        // The time-out timer runs on the context thread, which may be us.
        lk.unlock();
        complete(seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT, {});
        lk.lock();
        req->cv.wait(lk, [&] { return req->finished; });
    }
    if (req->rc == TRXCLIENT_OK)
        return TRXCLIENT_OK;
    return failWith(req->rc, req->sub, "%s: Topic '%s': %s", fn, topic, trxClient_subCodeToString(req->sub));
}

void CacheSession::complete(uint64_t seq, trxClient_returnCode_t rc, trxClient_subCode_t sub, std::vector<Msg*> msgs,
                            std::string why)
{
    std::shared_ptr<CacheRequest> req;
    {
        std::lock_guard<std::mutex> g(mMu);
        auto it = mPending.find(seq);
        if (it != mPending.end())
        {
            req = it->second;
            mPending.erase(it);
        }
    }
    if (!req)
    {
        for (Msg* m : msgs)
            delete m;
        return;
    }
    ctx->stopTimer(req->timer);
    for (Msg* m : msgs)
    {
        m->cacheRequestId = req->id;
        m->directToSession = !(req->flags & TRXCACHE_REQUEST_FLAGS_TOPIC_DISPATCH);
    }
    TRX_LOG(TRXCLIENT_LOG_DEBUG, "cache request %llu for Topic '%s': %s, %s, %zu messages",
            static_cast<unsigned long long>(seq), req->topic.c_str(), trxClient_returnCodeToString(rc),
            trxClient_subCodeToString(sub), msgs.size());
    void* self = this; // handed to the callback as a value only: it may be gone by then
    auto cb = req->cb;
    auto user = req->user;
    std::string topic = req->topic;
    uint64_t id = req->id;
    std::function<void()> completion;
    if (why.empty() && sub != TRXCLIENT_SUBCODE_OK)
        why = trxClient_subCodeToString(sub);
    if (cb)
    {
        completion = [self, cb, user, topic, id, rc, sub, why = std::move(why)]
        {
            setLastError(sub, 0, why.c_str());
            trxClient_cacheRequestEventCallbackInfo_t info{TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE, topic.c_str(), rc,
                                                           sub, id};
            cb(self, &info, user);
        };
    }
    {
        std::lock_guard<std::mutex> g(req->mu);
        req->finished = true;
        req->rc = rc;
        req->sub = sub;
        req->cv.notify_all();
    }
    Session* s = session;
    if (s)
    {
        s->deliverCache(std::move(msgs), std::move(completion));
    }
    else
    {
        for (Msg* m : msgs)
            delete m;
        if (completion)
            ctx->post(std::move(completion));
    }
}

void CacheSession::cancelAll()
{
    std::vector<uint64_t> seqs;
    {
        std::lock_guard<std::mutex> g(mMu);
        for (auto& p : mPending)
            seqs.push_back(p.first);
    }
    for (uint64_t s : seqs)
        complete(s, TRXCLIENT_FAIL, TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED, {},
                 "the session went down before the cache answered");
}

CacheSession* toCacheSession(trxClient_opaqueCacheSession_pt p)
{
    CacheSession* c = static_cast<CacheSession*>(p);
    return c && c->magic == CacheSession::kMagic ? c : nullptr;
}

} // namespace trx
