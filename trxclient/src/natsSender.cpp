#include "natsSender.h"

#include "clock.h"
#include "envelope.h"
#include "errors.h"
#include "log.h"
#include "natsAccess.h"
#include "topic.h"
#include "worker.h"

#include <algorithm>
#include <cstring>

namespace trx
{
namespace
{

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

} // namespace

// Callbacks of a send-asap connection may come after the sender has let go
// of it; they reach the sender only through this link.
struct NatsSender::FastLink
{
    std::mutex mu;
    std::condition_variable cv;
    NatsSender* sender = nullptr;
    bool closed = false;
};

void NatsSender::start(natsConnection* nc, natsOptions* opts)
{
    mNc = nc;
    mMaxPayload = natsConnection_GetMaxPayload(nc);
    if (settings.policy != Adaptive)
    {
        natsOptions_Destroy(opts);
        return;
    }
    mFastOpts = opts; // kept for the connections that replace a lost one
    mFastStop = mFastLost = false;
    if (natsStatus st = connectFast(); st != NATS_OK)
    {
        TRX_LOG(TRXCLIENT_LOG_WARNING, "adaptive sending without its immediate connection: %s",
                natsErrorText(st).c_str());
        mFastLost = true;
    }
    mFastKeeper = std::thread([this] { keepFast(); });
}

void NatsSender::stop()
{
    stopWorker(mFastMu, mFastCv, mFastStop, mFastKeeper);
    if (mFast)
        releaseFast(mFast, mFastLink);
    mFastLink = nullptr;
    mFast = nullptr;
    mOnFast = false;
    mFastDown = false;
    if (mFastOpts)
        natsOptions_Destroy(mFastOpts);
    mFastOpts = nullptr;
}

void NatsSender::finish()
{
    mNc = nullptr;
    dropHeld("the session is disconnected");
    mLinkDown = false;
}

// Adaptive sending uses a second, send-asap connection for sends after a
// pause (written at once, like libnats' immediate mode) while bursts go
// through the main connection's write buffer. Ordering across the switch
// is kept by a flush round trip on the connection being left.
// That connection never reconnects: libnats would keep a send made while
// it reconnects and write it once back, after whatever the main connection
// sent meanwhile. A lost one is closed, its sends go on the main
// connection, and keepFast() makes a new one.
natsStatus NatsSender::connectFast()
{
    natsOptions* o = mFastOpts;
    natsOptions_SetSendAsap(o, true);
    natsOptions_SetAllowReconnect(o, false);
    auto* link = new FastLink;
    link->sender = this;
    natsOptions_SetDisconnectedCB(o, &NatsSender::onFastDisconnected, link);
    natsOptions_SetReconnectedCB(o, nullptr, nullptr);
    natsOptions_SetDiscoveredServersCB(o, nullptr, nullptr);
    natsOptions_SetLameDuckModeCB(o, nullptr, nullptr);
    natsOptions_SetClosedCB(o, &NatsSender::onFastClosed, link);
    natsOptions_SetErrorHandler(o, &NatsSender::onFastError, link);
    natsConnection* nc = nullptr;
    natsStatus st = natsConnection_Connect(&nc, o);
    if (st != NATS_OK)
    {
        delete link;
        return st;
    }
    natsConnection* old;
    FastLink* oldLink;
    {
        std::lock_guard<std::mutex> order(mSendMu);
        old = mFast;
        oldLink = mFastLink;
        mFast = nc;
        mFastLink = link;
        mOnFast = false; // the main connection's flush round trip comes first
        mFastDown = false;
    }
    if (old) // closed already: that is what woke the keeper
        releaseFast(old, oldLink);
    return NATS_OK;
}

// Replaces a lost send-asap connection once the main one is connected.
void NatsSender::keepFast()
{
    std::unique_lock<std::mutex> lk(mFastMu);
    for (;;)
    {
        mFastCv.wait(lk, [&] { return mFastStop || mFastLost; });
        if (mFastStop)
            return;
        if (natsConnection_Status(mNc) == NATS_CONN_STATUS_CONNECTED)
        {
            mFastLost = false; // before the connect: its own loss may follow at once
            lk.unlock();
            const natsStatus st = connectFast();
            lk.lock();
            if (st == NATS_OK)
                continue;
            mFastLost = true;
        }
        mFastCv.wait_for(lk, std::chrono::milliseconds(settings.reconnectWaitMs), [&] { return mFastStop; });
    }
}

// Closes a send-asap connection and frees it once libnats is done with it.
void NatsSender::releaseFast(natsConnection* nc, FastLink* link)
{
    {
        std::lock_guard<std::mutex> g(link->mu);
        link->sender = nullptr;
    }
    natsConnection_Close(nc);
    bool closed;
    {
        std::unique_lock<std::mutex> lk(link->mu);
        closed = link->cv.wait_for(lk, std::chrono::seconds(5), [&] { return link->closed; });
    }
    if (closed)
        delete link; // else libnats may still call it: leave it
    natsConnection_Destroy(nc);
}

void NatsSender::onFastDisconnected(natsConnection*, void* closure)
{
    auto* l = static_cast<FastLink*>(closure);
    std::lock_guard<std::mutex> g(l->mu);
    if (l->sender)
        l->sender->mFastDown = true;
}

void NatsSender::onFastClosed(natsConnection*, void* closure)
{
    auto* l = static_cast<FastLink*>(closure);
    std::lock_guard<std::mutex> g(l->mu);
    if (NatsSender* s = l->sender)
    {
        s->mFastDown = true;
        {
            std::lock_guard<std::mutex> k(s->mFastMu);
            s->mFastLost = true;
        }
        s->mFastCv.notify_all();
    }
    l->closed = true;
    l->cv.notify_all();
}

void NatsSender::onFastError(natsConnection* nc, natsSubscription*, natsStatus err, void* closure)
{
    const std::string text = natsCallbackErrorText(nc, err);
    auto* l = static_cast<FastLink*>(closure);
    std::lock_guard<std::mutex> g(l->mu);
    if (l->sender)
        l->sender->mOnError(err, text);
}

bool NatsSender::sameNode()
{
    char a[128] = {}, b[128] = {};
    return !mFastDown && natsConnection_GetConnectedServerId(mNc, a, sizeof a) == NATS_OK &&
           natsConnection_GetConnectedServerId(mFast, b, sizeof b) == NATS_OK && std::strcmp(a, b) == 0;
}

// Picks the connection for the next send (adaptive policy), mSendMu held.
// Sets flushAfter when the send must be flushed at once on the main one.
// Whatever waits in the main connection's buffer waits for libnats'
// flusher (a millisecond), so sends go on the immediate connection
// unless the rate is high: an immediate write wakes the broker and the
// receivers once per message, which flat out costs every process on the
// machine far more than the wait. The way back needs an average gap well
// above the batching one, so a rate near the boundary does not flap
// (every crossing costs a round trip); it does not wait for the main
// buffer to empty, which only the flusher does. One long gap is a pause
// only with that buffer empty: flat out, it is the sender preempted
// mid-burst. A broker that misses
// such a round trip gets none for a keep-alive period: the switch only
// saves latency, and the sender must not wait on a stalled node.
natsConnection* NatsSender::route(bool& flushAfter, int64_t now)
{
    int64_t gap = std::min<int64_t>(now - mLastSendNs, kPaceCapNs);
    mLastSendNs = now;
    // Capped: one preemption must not make a burst look calm. Over some
    // 30 sends: a paced feed's few back-to-back sends are no burst.
    mGapAvgNs += (std::min(gap, kAvgCapNs) - mGapAvgNs) / 32;
    const bool stalled = now < mNoFlushUntilNs;
    if (!mFast)
    {
        // A send after a pause would wait for libnats' flusher: push it out.
        flushAfter = !stalled && gap > kIdleNs && natsConnection_Buffered(mNc) == 0;
        return mNc;
    }
    if (mOnFast && mFastDown)
        mOnFast = false; // it lost its broker: back to the main connection
    if (mOnFast)
    {
        // Flat out: what went out on the fast connection must be in first.
        if (mGapAvgNs < kBurstNs && !stalled)
        {
            if (natsConnection_FlushTimeout(mFast, kSwitchFlushMs) == NATS_OK)
                mOnFast = false;
            else
                mNoFlushUntilNs = now + stallQuietNs();
        }
    }
    else if (!stalled && !mFastDown && (mGapAvgNs > kCalmNs || (gap > kIdleNs && natsConnection_Buffered(mNc) == 0)))
    {
        // Calm again: this one goes out on the main connection at once;
        // its flush round trip also proves the burst has reached the broker.
        flushAfter = true;
    }
    return mOnFast ? mFast : mNc;
}

trxClient_returnCode_t NatsSender::publish(const Msg& m)
{
    thread_local std::string subject, reply;
    topicToSubject(m.topic(), false, subject);
    if (m.hasReplyTo)
        topicToSubject(m.replyTo, false, reply);
    const char* rp = m.hasReplyTo ? reply.c_str() : nullptr;
    const void* data = m.attLen ? m.attPtr : nullptr;
    int len = static_cast<int>(m.attLen);
    const bool adaptive = settings.policy == Adaptive;
    std::unique_lock<std::mutex> order(mSendMu, std::defer_lock);
    if (adaptive)
        order.lock();
    thread_local std::vector<uint8_t> framed;
    framed.clear();
    if (encodeEnvelope(m, framed))
    {
        if (m.attLen)
            framed.insert(framed.end(), static_cast<const uint8_t*>(data),
                          static_cast<const uint8_t*>(data) + m.attLen);
        data = framed.data();
        len = static_cast<int>(framed.size());
    }
    // While libnats reconnects it holds the connection's lock for whole
    // connect attempts: sends then wait here for the reconnect instead.
    if (mLinkDown.load(std::memory_order_acquire))
    {
        std::lock_guard<std::mutex> g(mHoldMu);
        if (mLinkDown.load(std::memory_order_relaxed))
        {
            if (adaptive)
                mOnFast = false; // the held messages go out on the main connection
            if (len > mMaxPayload.load(std::memory_order_relaxed))
                return tooLarge(len, m.topic());
            return hold(subject, rp, data, len, m.topic());
        }
    }
    natsConnection* target = mNc;
    bool flushAfter = false;
    if (adaptive)
        target = route(flushAfter, nowNs());
    auto send = [&]
    {
        return rp ? natsConnection_PublishRequest(target, subject.c_str(), rp, data, len)
                  : natsConnection_Publish(target, subject.c_str(), data, len);
    };
    natsStatus st = send();
    if (target == mFast && st != NATS_OK && st != NATS_MAX_PAYLOAD && st != NATS_INVALID_SUBJECT)
    {
        mOnFast = false; // it is closed or closing: what it had sent is in, or lost with its socket
        target = mNc;
        st = send();
    }
    if (st == NATS_OK && flushAfter && !mLinkDown.load(std::memory_order_relaxed))
    {
        if (natsConnection_FlushTimeout(mNc, kSwitchFlushMs) != NATS_OK)
            mNoFlushUntilNs = nowNs() + stallQuietNs();
        else if (mFast && sameNode())
            mOnFast = true;
    }
    if (st == NATS_MAX_PAYLOAD)
        return tooLarge(len, m.topic());
    if (st == NATS_INVALID_SUBJECT)
        return fail(TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX, "broker client refused Topic '%s'", m.topic());
    if (st == NATS_INSUFFICIENT_BUFFER)
        return bufferFull(m.topic());
    if (st != NATS_OK)
        return fail(TRXCLIENT_SUBCODE_COMMUNICATION_ERROR, "send to Topic '%s' failed: %s", m.topic(),
                    natsErrorText(st).c_str());
    return TRXCLIENT_OK;
}

int64_t NatsSender::unsent()
{
    std::lock_guard<std::mutex> order(mSendMu);
    int64_t bytes = 0;
    for (natsConnection* c : {mNc, mFast})
        if (c)
            bytes += std::max(0, natsConnection_Buffered(c));
    return bytes;
}

trxClient_returnCode_t NatsSender::tooLarge(int len, const char* topic)
{
    return fail(TRXCLIENT_SUBCODE_MSG_TOO_LARGE,
                "message of %d bytes exceeds the broker's limit of %lld bytes for Topic '%s'", len,
                static_cast<long long>(mMaxPayload.load()), topic);
}

trxClient_returnCode_t NatsSender::bufferFull(const char* topic)
{
    return fail(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE,
                "broker unreachable and the reconnect buffer of %zu bytes is full: Topic '%s' not sent",
                settings.holdLimit, topic);
}

// Keeps a message for the reconnect; mHoldMu held.
trxClient_returnCode_t NatsSender::hold(const std::string& subject, const char* reply, const void* data, int len,
                                        const char* topic)
{
    const size_t cost = subject.size() + (reply ? std::strlen(reply) : 0) + static_cast<size_t>(len);
    if (mHeldBytes + cost > settings.holdLimit)
        return bufferFull(topic);
    const auto* bytes = static_cast<const uint8_t*>(data);
    mHeld.push_back(Held{subject, reply ? reply : "", std::vector<uint8_t>(bytes, bytes + len), reply != nullptr});
    mHeldBytes += cost;
    return TRXCLIENT_OK;
}

// Hands the held messages to libnats, in order, once it is connected
// again; what it refuses stays held for the next reconnect.
void NatsSender::linkUp(natsConnection* nc)
{
    mMaxPayload = natsConnection_GetMaxPayload(nc);
    std::lock_guard<std::mutex> g(mHoldMu);
    while (!mHeld.empty())
    {
        const Held& h = mHeld.front();
        const void* data = h.data.empty() ? nullptr : h.data.data();
        const int len = static_cast<int>(h.data.size());
        natsStatus st = h.hasReply ? natsConnection_PublishRequest(nc, h.subject.c_str(), h.reply.c_str(), data, len)
                                   : natsConnection_Publish(nc, h.subject.c_str(), data, len);
        if (st == NATS_MAX_PAYLOAD)
        {
            // The node reconnected to takes less than the one lost.
            TRX_LOG(TRXCLIENT_LOG_WARNING,
                    "message held for the reconnect dropped: %d bytes exceed the "
                    "broker's limit for subject '%s'",
                    len, h.subject.c_str());
        }
        else if (st != NATS_OK)
        {
            TRX_LOG(TRXCLIENT_LOG_WARNING, "%zu messages held for the reconnect still wait: %s", mHeld.size(),
                    natsErrorText(st).c_str());
            return;
        }
        mHeldBytes -= h.subject.size() + h.reply.size() + h.data.size();
        mHeld.pop_front();
    }
    mLinkDown.store(false, std::memory_order_release);
}

void NatsSender::dropHeld(const char* why)
{
    std::lock_guard<std::mutex> g(mHoldMu);
    if (!mHeld.empty())
        TRX_LOG(TRXCLIENT_LOG_WARNING, "%zu messages held for the reconnect dropped: %s", mHeld.size(), why);
    mHeld.clear();
    mHeldBytes = 0;
}

} // namespace trx
