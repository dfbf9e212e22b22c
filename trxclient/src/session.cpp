#include "session.h"

#include "backend.h"
#include "cacheSession.h"
#include "context.h"
#include "errors.h"
#include "inproc.h"
#include "log.h"
#include "msg.h"
#include "natsBackend.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace trx
{
namespace
{

// 32 hex digits of a random UUID: the session's name in its point-to-point topics.
std::string newSessionId()
{
    uuid_t u;
    uuid_generate_random(u);
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : u)
    {
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

} // namespace

Session::Session(Context* ctx, Props props) : mCtx(ctx), mProps(std::move(props))
{
    mId = newSessionId();
}

Session::~Session()
{
    magic = 0;
    mDispatch.forEach([](DispatchEntry* e) { delete e; });
}

trxClient_returnCode_t Session::init(const trxClient_session_createFuncInfo_t* fi)
{
    if (fi)
    {
        mEventCb = fi->eventInfo.callback_p;
        mEventUser = fi->eventInfo.user_p;
        mRxCb = fi->rxMsgInfo.callback_p;
        mRxUser = fi->rxMsgInfo.user_p;
    }
    auto boolProp = [&](const char* name, bool def)
    {
        const std::string* s = mProps.get(name);
        if (!s)
            return def;
        return !(*s == "0" || strcasecmp(s->c_str(), "false") == 0 || strcasecmp(s->c_str(), "no") == 0);
    };
    mConnectBlocking = boolProp("SESSION_CONNECT_BLOCKING", true);
    mReapply = boolProp("SESSION_REAPPLY_SUBSCRIPTIONS", true);
    mTopicDispatch = boolProp("SESSION_TOPIC_DISPATCH", true);
    mDirectOk = !boolProp("SESSION_ALWAYS_BUFFER_IN_CONTEXT", true);
    const char* fn = "trxClient_session_create";
    if (!mProps.readInt("SESSION_BUFFER_MSG_LIMIT", 100000, 1, 1ll << 40, mBufMsgLimit, fn) ||
        !mProps.readInt("SESSION_BUFFER_BYTE_LIMIT", 64ll << 20, 1024, 1ll << 42, mBufByteLimit, fn) ||
        !mProps.readInt("SESSION_REQUEST_MSG_LIMIT", 100000, 1, 1ll << 31, mRequestMsgLimit, fn))
        return TRXCLIENT_FAIL;

    mHost = mProps.getStr("SESSION_HOST", "inproc://default");
    if (mHost.rfind("inproc://", 0) == 0)
    {
        std::string name = mHost.substr(9);
        if (name.empty())
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "SESSION_HOST '%s': inproc broker needs a name",
                        mHost.c_str());
        mBackend = makeInprocBackend(this, name);
    }
    else if (mHost.rfind("nats://", 0) == 0 || mHost.rfind("tls://", 0) == 0)
    {
        mBackend = makeNatsBackend(this, mHost);
    }
    else
    {
        return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE,
                    "SESSION_HOST '%s': expected inproc://NAME or nats://host:port[,...]", mHost.c_str());
    }
    if (!mBackend)
        return TRXCLIENT_FAIL; // the factory set the error
    return TRXCLIENT_OK;
}

// ---- connection -------------------------------------------------------------

trxClient_returnCode_t Session::connect()
{
    std::lock_guard<std::mutex> op(mOpMu);
    {
        std::lock_guard<std::mutex> g(mStateMu);
        if (mState == SessionState::Up || mState == SessionState::Reconnecting)
            return TRXCLIENT_OK;
        if (mState == SessionState::Connecting)
            return TRXCLIENT_IN_PROGRESS;
        mState = SessionState::Connecting;
    }
    auto attempt = [this]() -> trxClient_returnCode_t
    {
        trxClient_returnCode_t rc = mBackend->connect();
        trxClient_errorInfo_t err = *trxClient_getLastErrorInfo();
        {
            std::lock_guard<std::mutex> g(mStateMu);
            mState = rc == TRXCLIENT_OK ? SessionState::Up : SessionState::Down;
        }
        if (rc == TRXCLIENT_OK)
        {
            // Subscriptions made before (or kept across a disconnect) go to the broker now.
            // The broker's answer on the point-to-point one is awaited: a
            // refusal must be known before the first request goes out.
            if (mBackend->subscribe(p2pPattern(), 1) != TRXCLIENT_OK &&
                trxClient_getLastErrorInfo()->subCode == TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED)
                refuseP2P();
            else
                mP2pRefused = false;
            for (const std::string& t : brokerTopics())
                mBackend->subscribe(t, 0);
            {
                std::lock_guard<std::mutex> g(mSubMu);
                for (auto& b : mBrokerSubs)
                    if (b.second.state == BrokerSub::Pending)
                        b.second.state = BrokerSub::Active;
            }
            TRX_LOG(TRXCLIENT_LOG_NOTICE, "session %s up on %s", mId.c_str(), mBackend->connectedUrl().c_str());
            raiseEvent(TRXCLIENT_SESSION_EVENT_UP_NOTICE, TRXCLIENT_SUBCODE_OK, 0, "session up");
        }
        else
        {
            TRX_LOG(TRXCLIENT_LOG_WARNING, "session %s connect failed: %s", mId.c_str(), err.errorStr);
        }
        *trxClient_getLastErrorInfo() = err;
        return rc;
    };
    if (mConnectBlocking)
        return attempt();
    if (mConnectThread.joinable())
        mConnectThread.join();
    mConnectThread = std::thread(
        [this, attempt]
        {
            if (attempt() != TRXCLIENT_OK)
            {
                trxClient_errorInfo_t* e = trxClient_getLastErrorInfo();
                raiseEvent(TRXCLIENT_SESSION_EVENT_CONNECT_FAILED_ERROR, e->subCode, e->responseCode, e->errorStr);
            }
        });
    return TRXCLIENT_IN_PROGRESS;
}

trxClient_returnCode_t Session::disconnect()
{
    std::lock_guard<std::mutex> op(mOpMu);
    if (mConnectThread.joinable())
        mConnectThread.join();
    bool wasUp;
    {
        std::lock_guard<std::mutex> g(mStateMu);
        wasUp = mState == SessionState::Up || mState == SessionState::Reconnecting;
        if (mState == SessionState::Created)
            return TRXCLIENT_OK;
        mState = SessionState::Disconnected;
    }
    cancelCacheRequests();
    mBackend->disconnect();
    // Every confirmation request gets its one answer, also when the
    // connection goes before the broker gave it.
    answerPending(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR, TRXCLIENT_SUBCODE_COMMUNICATION_ERROR,
                  "session disconnected before the broker answered");
    if (wasUp)
        raiseEvent(TRXCLIENT_SESSION_EVENT_DISCONNECTED_NOTICE, TRXCLIENT_SUBCODE_OK, 0, "session disconnected");
    return TRXCLIENT_OK;
}

void Session::destroy()
{
    disconnect();
    mClosing = true;
    {
        // Cache sessions outlive nothing: their requests were cancelled above.
        std::lock_guard<std::mutex> g(mCacheMu);
        for (CacheSession* c : mCaches)
            c->session = nullptr;
        mCaches.clear();
    }
    mCtx->runAndWait([this] { finalize(); });
    mCtx->removeSession(this);
    mCtx->deferDelete(this);
}

void Session::finalize()
{
    waitDirect(); // mClosing is set: none starts after this
    mCtx->purge(this);
    std::deque<RxItem> items;
    {
        std::lock_guard<std::mutex> g(mRxMu);
        items.swap(mRxq);
        mRxMsgsQueued = mRxBytes = 0;
    }
    for (RxItem& it : items)
    {
        if (it.msg)
            delete it.msg;
        else if (it.fn)
            it.fn(); // cache completions must reach the application even now
    }
    std::vector<DispatchEntry*> gone;
    {
        std::lock_guard<std::mutex> g(mSubMu);
        mDispatch.forEach([&](DispatchEntry* e) { gone.push_back(e); });
        mDispatch.clear();
        mBrokerSubs.clear();
    }
    destroyEntries(gone);
}

void Session::cancelCacheRequests()
{
    std::vector<CacheSession*> cs;
    {
        std::lock_guard<std::mutex> g(mCacheMu);
        cs = mCaches;
    }
    for (CacheSession* c : cs)
        c->cancelAll();
}

void Session::addCacheSession(CacheSession* c)
{
    std::lock_guard<std::mutex> g(mCacheMu);
    mCaches.push_back(c);
}

void Session::removeCacheSession(CacheSession* c)
{
    std::lock_guard<std::mutex> g(mCacheMu);
    mCaches.erase(std::remove(mCaches.begin(), mCaches.end(), c), mCaches.end());
}

void Session::connectionLost(const std::string& why)
{
    {
        std::lock_guard<std::mutex> g(mStateMu);
        if (mState != SessionState::Up)
            return;
        mState = SessionState::Reconnecting;
    }
    // The event carries the same text; whoever handles it tells the operator.
    TRX_LOG(TRXCLIENT_LOG_INFO, "session %s: %s, reconnecting", mId.c_str(), why.c_str());
    raiseEvent(TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE, TRXCLIENT_SUBCODE_COMMUNICATION_ERROR, 0, why);
}

void Session::connectionRestored()
{
    {
        std::lock_guard<std::mutex> g(mStateMu);
        if (mState != SessionState::Reconnecting && mState != SessionState::Up)
            return;
        mState = SessionState::Up;
    }
    mReconnects++;
    if (!mReapply)
        dropBrokerSubscriptions();
    bool wasSuspended;
    {
        std::lock_guard<std::mutex> g(mRxMu);
        wasSuspended = mSuspended;
    }
    TRX_LOG(TRXCLIENT_LOG_INFO, "session %s reconnected to %s", mId.c_str(), mBackend->connectedUrl().c_str());
    raiseEvent(TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE, TRXCLIENT_SUBCODE_OK, 0,
               "reconnected to " + mBackend->connectedUrl());
    // A reconnect starts the flow again; whoever suspended may do it again.
    if (wasSuspended)
    {
        resume();
        raiseEvent(TRXCLIENT_SESSION_EVENT_FLOW_STATE_NOTICE, TRXCLIENT_SUBCODE_OK, 0, "session resumed by reconnect");
    }
}

void Session::connectionDown(trxClient_subCode_t sub, const std::string& why)
{
    {
        std::lock_guard<std::mutex> g(mStateMu);
        if (mState != SessionState::Up && mState != SessionState::Reconnecting)
            return;
        mState = SessionState::Down;
    }
    TRX_LOG(TRXCLIENT_LOG_INFO, "session %s down: %s", mId.c_str(), why.c_str());
    cancelCacheRequests();
    raiseEvent(TRXCLIENT_SESSION_EVENT_DOWN_ERROR, sub, 0, why);
}

std::vector<std::string> Session::brokerTopics()
{
    std::lock_guard<std::mutex> g(mSubMu);
    std::vector<std::string> out;
    for (auto& b : mBrokerSubs)
        if (b.second.state != BrokerSub::Denied)
            out.push_back(b.first);
    return out;
}

void Session::answerPending(trxClient_session_event_t ev, trxClient_subCode_t sub, const std::string& why)
{
    std::vector<std::pair<std::string, void*>> answers;
    {
        std::lock_guard<std::mutex> g(mSubMu);
        for (auto& b : mBrokerSubs)
            for (void* c : b.second.takeWaiting())
                answers.emplace_back(b.first, c);
    }
    for (auto& a : answers)
        raiseEvent(ev, sub, 0, why + " (Topic '" + a.first + "')", a.second);
}

bool Session::hasBrokerTopic(const std::string& topic)
{
    std::lock_guard<std::mutex> g(mSubMu);
    return mBrokerSubs.count(topic) > 0;
}

void Session::dropBrokerSubscriptions()
{
    std::vector<std::string> topics;
    std::vector<DispatchEntry*> gone;
    {
        std::lock_guard<std::mutex> g(mSubMu);
        for (auto& b : mBrokerSubs)
            topics.push_back(b.first);
        mDispatch.forEach(
            [&](DispatchEntry* e)
            {
                if (!e->local)
                    gone.push_back(e);
            });
        for (DispatchEntry* e : gone)
            mDispatch.erase(e->topic, e);
        for (auto& b : mBrokerSubs)
            if (b.second.plainRefs)
                mPlainTrie.erase(b.first, &b.second);
        mBrokerSubs.clear();
    }
    for (const std::string& t : topics)
        mBackend->unsubscribe(t);
    postInOrder([this, gone] { destroyEntries(gone); }, nullptr);
}

// ---- events ----------------------------------------------------------------------

void Session::raiseEvent(trxClient_session_event_t ev, trxClient_subCode_t sub, int responseCode,
                         const std::string& info, void* corr)
{
    if (!mEventCb || mClosing)
        return;
    postInOrder(
        [this, ev, sub, responseCode, info, corr]
        {
            if (mClosing)
                return;
            setLastError(sub, responseCode, info.c_str());
            trxClient_session_eventCallbackInfo_t ei{ev, responseCode, info.c_str(), corr};
            mEventCb(this, &ei, mEventUser);
        },
        this);
}

void Session::postInOrder(std::function<void()> fn, Session* owner)
{
    {
        // Messages that arrive from now on wait until it has run.
        std::lock_guard<std::mutex> g(mRxMu);
        ++mEventsRaised;
    }
    mCtx->post(
        [this, fn = std::move(fn)]
        {
            waitDirect(); // a message that came first is through first
            fn();
            eventDone();
        },
        owner);
}

void Session::eventDone()
{
    bool post = false;
    {
        std::lock_guard<std::mutex> g(mRxMu);
        ++mEventsDone;
        if (!mScheduled && rxReady())
            post = mScheduled = true;
    }
    if (post)
        mCtx->postSessionRx(this);
}

void Session::waitDirect()
{
    std::unique_lock<std::mutex> lk(mRxMu);
    mDirectCv.wait(lk, [this] { return !mDirect; });
}

// ---- flow control -------------------------------------------------------------------

trxClient_returnCode_t Session::suspend()
{
    if (failSuspend.load() > 0 && failSuspend.fetch_sub(1) > 0)
        return fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_suspend: refused by fault injection");
    std::lock_guard<std::mutex> g(mRxMu);
    if (!mSuspended)
        TRX_LOG(TRXCLIENT_LOG_INFO, "session %s suspended", mId.c_str());
    mSuspended = true;
    return TRXCLIENT_OK;
}

trxClient_returnCode_t Session::resume()
{
    if (failResume.load() > 0 && failResume.fetch_sub(1) > 0)
        return fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_resume: refused by fault injection");
    bool post = false;
    {
        std::lock_guard<std::mutex> g(mRxMu);
        if (mSuspended)
            TRX_LOG(TRXCLIENT_LOG_INFO, "session %s resumed, %zu held", mId.c_str(), mRxq.size());
        mSuspended = false;
        if (!mScheduled && rxReady())
        {
            mScheduled = true;
            post = true;
        }
    }
    if (post)
        mCtx->postSessionRx(this);
    return TRXCLIENT_OK;
}

void Session::deliver(Msg* m, bool here)
{
    mRxMsgs++;
    bool post = false, overflow = false, now = false;
    uint64_t heldMsgs = 0, heldBytes = 0;
    {
        std::lock_guard<std::mutex> g(mRxMu);
        if (mClosing)
        {
            delete m;
            return;
        }
        if (here && mDirectOk && !mDirect && !mScheduled && !mSuspended && mRxq.empty() && mEventsDone == mEventsRaised)
        {
            // Nothing of this session is waiting for the context thread, so
            // dispatching here keeps the order; the rest waits meanwhile.
            mDirect = now = true;
            if (mPendingDiscard)
            {
                m->discard = true;
                mPendingDiscard = false;
                mDiscardReported = false;
            }
        }
        else if (mRxMsgsQueued >= mBufMsgLimit || mRxBytes + m->attLen > mBufByteLimit)
        {
            delete m;
            mRxDiscarded++;
            mPendingDiscard = true;
            overflow = !mDiscardReported;
            mDiscardReported = true;
            heldMsgs = mRxMsgsQueued;
            heldBytes = mRxBytes;
        }
        else
        {
            if (mPendingDiscard)
            {
                m->discard = true;
                mPendingDiscard = false;
                mDiscardReported = false;
            }
            mRxq.push_back(RxItem{m, {}, mEventsRaised});
            mRxMsgsQueued++;
            mRxBytes += m->attLen;
            if (!mScheduled && rxReady())
            {
                mScheduled = true;
                post = true;
            }
        }
    }
    if (now)
    {
        if (markDiscard.exchange(false))
            m->discard = true;
        dispatch(m);
        {
            std::lock_guard<std::mutex> g(mRxMu);
            mDirect = false;
            if (!mScheduled && rxReady())
                post = mScheduled = true;
        }
        mDirectCv.notify_all();
    }
    if (overflow)
    {
        TRX_LOG(TRXCLIENT_LOG_WARNING,
                "session %s: receive buffer full (%llu messages, %llu bytes held; limits %llu, %llu), discarding",
                mId.c_str(), static_cast<unsigned long long>(heldMsgs), static_cast<unsigned long long>(heldBytes),
                static_cast<unsigned long long>(mBufMsgLimit), static_cast<unsigned long long>(mBufByteLimit));
        raiseEvent(TRXCLIENT_SESSION_EVENT_RX_MSG_DISCARD_WARNING, TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, 0,
                   "receive buffer full: messages discarded");
    }
    if (post)
        mCtx->postSessionRx(this);
}

void Session::deliverCache(std::vector<Msg*> msgs, std::function<void()> completion)
{
    bool post = false;
    {
        std::lock_guard<std::mutex> g(mRxMu);
        if (mClosing)
        {
            for (Msg* m : msgs)
                delete m;
            if (completion)
                mCtx->post(std::move(completion), nullptr);
            return;
        }
        for (Msg* m : msgs)
        {
            mRxq.push_back(RxItem{m, {}, mEventsRaised});
            mRxMsgsQueued++;
            mRxBytes += m->attLen;
        }
        if (completion)
            mRxq.push_back(RxItem{nullptr, std::move(completion), mEventsRaised});
        if (!mScheduled && rxReady())
        {
            mScheduled = true;
            post = true;
        }
    }
    if (post)
        mCtx->postSessionRx(this);
}

void Session::runRx()
{
    // A batch per lock: the delivery thread keeps pushing while we dispatch.
    constexpr size_t kBatch = 64;
    std::vector<RxItem>& batch = mRxBatch;
    batch.clear();
    {
        std::lock_guard<std::mutex> g(mRxMu);
        if (!rxReady())
        {
            mScheduled = false;
            return;
        }
        while (batch.size() < kBatch && !mRxq.empty() && mRxq.front().after <= mEventsDone)
        {
            batch.push_back(std::move(mRxq.front()));
            mRxq.pop_front();
            if (batch.back().msg)
            {
                mRxMsgsQueued--;
                mRxBytes -= batch.back().msg->attLen;
            }
        }
    }
    const size_t n = batch.size();
    size_t done = 0;
    while (done < n)
    {
        RxItem& it = batch[done++];
        if (it.msg)
        {
            if (markDiscard.exchange(false))
                it.msg->discard = true;
            dispatch(it.msg);
        }
        else if (it.fn)
        {
            it.fn();
        }
        if (mClosing || mSuspended)
            break; // a callback suspended or closed the session: the rest waits
    }
    bool again;
    {
        std::lock_guard<std::mutex> g(mRxMu);
        for (size_t k = n; k-- > done;)
        {
            if (batch[k].msg)
            {
                mRxMsgsQueued++;
                mRxBytes += batch[k].msg->attLen;
            }
            mRxq.push_front(std::move(batch[k]));
        }
        again = rxReady();
        mScheduled = again;
    }
    batch.clear();
    if (again)
        mCtx->postSessionRx(this); // let other sessions of the context run in between
}

std::string Session::p2pPattern() const
{
    return "#P2P/*/" + mId + "/>";
}

bool Session::rxBusy()
{
    std::lock_guard<std::mutex> g(mRxMu);
    return !mSuspended && !mRxq.empty();
}

void Session::refuseP2P()
{
    if (mP2pRefused.exchange(true))
        return;
    TRX_LOG(TRXCLIENT_LOG_ERROR,
            "session %s: the broker refused the subscription to %s, this session's point-to-point "
            "topics: no reply to a request and no point-to-point message can reach it. Grant the user "
            "subscribe permission on %s",
            mId.c_str(), mBackend->brokerName(p2pPattern()).c_str(), mBackend->brokerName("#P2P/>").c_str());
}

bool Session::isOwnP2P(std::string_view topic) const
{
    // #P2P/<node>/<id>/...
    if (topic.substr(0, 5) != "#P2P/")
        return false;
    size_t a = topic.find('/', 5);
    if (a == std::string_view::npos)
        return false;
    return topic.substr(a + 1, mId.size()) == mId && topic.size() > a + 1 + mId.size() &&
           topic[a + 1 + mId.size()] == '/';
}

void Session::dispatch(Msg* m)
{
    const std::string_view topic(m->topic());
    bool toSession = false;
    // Per thread: the context thread and backend threads dispatch alike.
    thread_local std::vector<trxClient_session_rxMsgDispatchFuncInfo_t> scratch;
    scratch.clear();
    {
        std::lock_guard<std::mutex> g(mSubMu);
        if (!m->directToSession)
            mDispatch.match(topic, [&](DispatchEntry* e) { scratch.push_back(e->info); });
        if (scratch.empty())
        {
            toSession = m->directToSession || isOwnP2P(topic) || m->cacheStatus != TRXCLIENT_CACHE_MSG_LIVE;
            if (!toSession)
                mPlainTrie.match(topic, [&](BrokerSub*) { toSession = true; });
        }
    }
    if (scratch.empty())
    {
        if (toSession && mRxCb)
        {
            trxClient_opaqueMsg_pt p = m;
            if (mRxCb(this, p, mRxUser) == TRXCLIENT_CALLBACK_TAKE_MSG)
                return;
        }
        delete m;
        return;
    }
    // Every matching entry gets the message; all but the last get a copy so
    // that any of them may keep what it got.
    std::vector<trxClient_session_rxMsgDispatchFuncInfo_t> targets;
    targets.swap(scratch);
    for (size_t i = 0; i < targets.size(); ++i)
    {
        Msg* mm = i + 1 < targets.size() ? copyForDelivery(*m) : m;
        if (!mm)
            continue;
        trxClient_opaqueMsg_pt p = mm;
        if (targets[i].callback_p(this, p, targets[i].user_p) != TRXCLIENT_CALLBACK_TAKE_MSG)
            delete mm;
        if (mClosing)
        {
            if (i + 1 < targets.size())
                delete m; // the original was meant for the last entry
            break;
        }
    }
    targets.clear();
    scratch.swap(targets);
}

// ---- subscriptions --------------------------------------------------------------------

trxClient_returnCode_t Session::subscribe(uint32_t flags, const char* topic,
                                          const trxClient_session_rxMsgDispatchFuncInfo_t* di, void* corr, bool plain)
{
    const char* fn = plain ? "trxClient_session_topicSubscribeExt" : "trxClient_session_topicSubscribeWithDispatch";
    trxClient_returnCode_t rc = checkSubscribe(fn, flags, topic, di, plain);
    if (rc != TRXCLIENT_OK)
        return rc;
    std::string t(topic);
    DispatchEntry* entry = nullptr;
    Join join;
    {
        std::lock_guard<std::mutex> g(mSubMu);
        const bool local = flags & TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY;
        if (!plain)
        {
            entry = new DispatchEntry{t, *di, local};
            mDispatch.insert(t, entry);
        }
        if (local)
            return TRXCLIENT_OK;
        join = joinBrokerSub(t, flags, corr, plain);
        if (join.refused)
        {
            leaveBrokerSub(t, entry, plain, false);
            return fail(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, "%s: subscription refused by the broker for Topic '%s'",
                        fn, topic);
        }
    }
    if (join.confirmNow)
    {
        raiseEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK, TRXCLIENT_SUBCODE_OK, 0,
                   "subscription confirmed for Topic '" + t + "'", corr);
        return TRXCLIENT_IN_PROGRESS;
    }
    if (join.mode < 0)
        return (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM) ? TRXCLIENT_IN_PROGRESS : TRXCLIENT_OK;
    return askBroker(t, join.mode, entry, plain);
}

trxClient_returnCode_t Session::checkSubscribe(const char* fn, uint32_t flags, const char* topic,
                                               const trxClient_session_rxMsgDispatchFuncInfo_t* di, bool plain)
{
    const uint32_t known = TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM | TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY |
                           TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM;
    if (!topic)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL topic", fn);
    if (flags & ~known)
        return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "%s: unknown flags 0x%x for Topic '%s'", fn, flags & ~known,
                    topic);
    if ((flags & TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM) && (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM))
        return fail(TRXCLIENT_SUBCODE_PARAM_CONFLICT, "%s: flags 2 and 16 exclude each other", fn);
    const bool local = flags & TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY;
    if (plain && local)
        return fail(TRXCLIENT_SUBCODE_PARAM_CONFLICT, "%s: local dispatch needs a dispatch function", fn);
    if (!plain)
    {
        if (!mTopicDispatch)
            return fail(TRXCLIENT_SUBCODE_TOPIC_DISPATCH_DISABLED, "%s: SESSION_TOPIC_DISPATCH is off", fn);
        if (!di || !di->callback_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL dispatch %s", fn, di ? "callback" : "info");
        if (di->dispatchType != TRXCLIENT_DISPATCH_TYPE_CALLBACK)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "%s: dispatch type %d", fn, di->dispatchType);
    }
    trxClient_subCode_t sc = checkTopic(topic);
    if (sc != TRXCLIENT_SUBCODE_OK)
        return fail(sc, "%s: %s Topic '%s'", fn,
                    sc == TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE ? "topic longer than 250 bytes," : "invalid", topic);
    if (mClosing)
        return fail(TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION, "%s: session is being destroyed", fn);
    bool connected;
    {
        std::lock_guard<std::mutex> g(mStateMu);
        connected = mState == SessionState::Up || mState == SessionState::Reconnecting;
    }
    if (!local && !connected)
        return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, "%s: session not connected (Topic '%s')", fn, topic);
    return TRXCLIENT_OK;
}

Session::Join Session::joinBrokerSub(const std::string& t, uint32_t flags, void* corr, bool plain)
{
    const bool waitConfirm = flags & TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM;
    const bool requestConfirm = flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM;
    BrokerSub& bs = mBrokerSubs[t];
    bs.refs++;
    if (plain && bs.plainRefs++ == 0)
        mPlainTrie.insert(t, &bs);
    Join join;
    if (bs.refs == 1)
    {
        // The first user asks the broker.
        join.mode = waitConfirm ? 1 : requestConfirm ? 2 : 0;
        if (requestConfirm)
            bs.await(corr);
        return join;
    }
    switch (bs.state)
    {
        case BrokerSub::Active: join.confirmNow = requestConfirm; break;
        case BrokerSub::Denied:
            // Already refused by the broker: answer the same way again.
            join.refused = waitConfirm;
            if (requestConfirm)
                raiseEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR, TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, 0,
                           "subscription refused by the broker for Topic '" + t + "'", corr);
            break;
        case BrokerSub::Pending:
            if (requestConfirm)
                bs.await(corr);
            break;
    }
    return join;
}

bool Session::leaveBrokerSub(const std::string& t, DispatchEntry* entry, bool plain, bool denied)
{
    if (entry)
    {
        mDispatch.erase(t, entry);
        delete entry;
    }
    auto it = mBrokerSubs.find(t);
    if (it == mBrokerSubs.end())
        return false;
    BrokerSub& bs = it->second;
    if (plain && --bs.plainRefs == 0)
        mPlainTrie.erase(t, &bs);
    if (--bs.refs == 0)
    {
        mBrokerSubs.erase(it);
        return true;
    }
    if (denied)
        bs.state = BrokerSub::Denied;
    return false;
}

trxClient_returnCode_t Session::askBroker(const std::string& t, int mode, DispatchEntry* entry, bool plain)
{
    trxClient_returnCode_t rc = mBackend->subscribe(t, mode);
    if (mode == 2 && rc == TRXCLIENT_OK)
        rc = TRXCLIENT_IN_PROGRESS;
    if (rc == TRXCLIENT_OK || rc == TRXCLIENT_IN_PROGRESS)
    {
        if (mode != 2)
        {
            std::lock_guard<std::mutex> g(mSubMu);
            auto it = mBrokerSubs.find(t);
            if (it != mBrokerSubs.end() && it->second.state == BrokerSub::Pending)
                it->second.state = BrokerSub::Active;
        }
        return rc;
    }
    // Refused or failed now: undo this call's share.
    trxClient_errorInfo_t err = *trxClient_getLastErrorInfo();
    bool dropAtBroker;
    {
        std::lock_guard<std::mutex> g(mSubMu);
        dropAtBroker = leaveBrokerSub(t, entry, plain, err.subCode == TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED);
    }
    if (dropAtBroker)
        mBackend->unsubscribe(t); // a request the broker may still hold
    *trxClient_getLastErrorInfo() = err;
    return rc;
}

void Session::subscribeResult(const std::string& topic, bool ok, trxClient_subCode_t sub, const std::string& text)
{
    std::vector<void*> waiting;
    bool known = false;
    {
        std::lock_guard<std::mutex> g(mSubMu);
        auto it = mBrokerSubs.find(topic);
        if (it != mBrokerSubs.end())
        {
            known = true;
            BrokerSub& bs = it->second;
            if (bs.state == BrokerSub::Pending || !ok)
                bs.state = ok ? BrokerSub::Active : BrokerSub::Denied;
            waiting = bs.takeWaiting();
        }
    }
    if (!known)
        return;
    if (!ok)
        TRX_LOG(TRXCLIENT_LOG_WARNING, "session %s: %s", mId.c_str(), text.c_str());
    trxClient_session_event_t ev =
        ok ? TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK : TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR;
    for (void* c : waiting)
        raiseEvent(ev, sub, 0, text, c);
    // A refusal nobody asked about is still told.
    if (!ok && waiting.empty())
        raiseEvent(ev, sub, 0, text, nullptr);
}

void Session::subscriptionLost(const std::string& topic, trxClient_subCode_t sub, const std::string& text)
{
    if (topic == p2pPattern())
    {
        refuseP2P();
        return;
    }
    {
        std::lock_guard<std::mutex> g(mSubMu);
        auto it = mBrokerSubs.find(topic);
        if (it == mBrokerSubs.end() || it->second.state == BrokerSub::Denied)
            return;
        it->second.state = BrokerSub::Denied;
    }
    subscribeResult(topic, false, sub, text);
}

trxClient_returnCode_t Session::unsubscribe(uint32_t flags, const char* topic,
                                            const trxClient_session_rxMsgDispatchFuncInfo_t* di, void* corr, bool plain)
{
    const char* fn = plain ? "trxClient_session_topicUnsubscribeExt" : "trxClient_session_topicUnsubscribeWithDispatch";
    if (!topic)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL topic", fn);
    if (!plain && (!di || !di->callback_p))
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL dispatch %s", fn, di ? "callback" : "info");
    trxClient_subCode_t sc = checkTopic(topic);
    if (sc != TRXCLIENT_SUBCODE_OK)
        return fail(sc, "%s: invalid Topic '%s'", fn, topic);
    std::string t(topic);
    DispatchEntry* entry = nullptr;
    bool brokerGone = false, wasDenied = false;
    std::vector<void*> overtaken; // confirmation requests still unanswered
    {
        std::lock_guard<std::mutex> g(mSubMu);
        if (!plain)
        {
            entry = newestEntry(t, *di);
            if (!entry)
                return fail(TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND, "%s: no dispatch entry for Topic '%s'", fn,
                            topic);
            mDispatch.erase(t, entry);
        }
        auto it = entry && entry->local ? mBrokerSubs.end() : mBrokerSubs.find(t);
        if (it != mBrokerSubs.end() && (!plain || it->second.plainRefs > 0))
        {
            if (it->second.refs == 1)
            {
                // The last user: what still waits for the broker is answered now.
                wasDenied = it->second.state == BrokerSub::Denied;
                overtaken = it->second.takeWaiting();
            }
            brokerGone = leaveBrokerSub(t, nullptr, plain, false);
        }
        else if (plain)
        {
            return fail(TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND, "%s: not subscribed to Topic '%s'", fn, topic);
        }
    }
    if (brokerGone && !wasDenied)
        mBackend->unsubscribe(t);
    for (void* c : overtaken)
        raiseEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK, TRXCLIENT_SUBCODE_OK, 0,
                   "subscription request for Topic '" + t + "' ended by an unsubscribe", c);
    if (entry)
    {
        // Reported from the context thread, after any dispatch to it still running.
        postInOrder([this, entry] { destroyEntries({entry}); }, nullptr);
    }
    if (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM)
    {
        raiseEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK, TRXCLIENT_SUBCODE_OK, 0,
                   "unsubscribed from Topic '" + t + "'", corr);
        return TRXCLIENT_IN_PROGRESS;
    }
    return TRXCLIENT_OK;
}

DispatchEntry* Session::newestEntry(const std::string& t, const trxClient_session_rxMsgDispatchFuncInfo_t& di)
{
    if (const auto* list = mDispatch.values(t))
        for (auto it = list->end(); it != list->begin();)
        {
            --it;
            if ((*it)->info.callback_p == di.callback_p && (*it)->info.user_p == di.user_p)
                return *it;
        }
    return nullptr;
}

void Session::destroyEntries(const std::vector<DispatchEntry*>& gone)
{
    trxClient_session_topicDispatchDestroyFunc_t cb = mDispatchDestroy.load();
    for (DispatchEntry* e : gone)
    {
        if (cb)
            cb(e->topic.c_str(), &e->info);
        delete e;
    }
}

// ---- send / properties --------------------------------------------------------------

trxClient_returnCode_t Session::send(Msg* m)
{
    if (!m->hasTopic)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_sendMsg: message has no topic");
    trxClient_subCode_t sc = checkTopic(m->topic());
    if (sc != TRXCLIENT_SUBCODE_OK)
        return fail(sc, "trxClient_session_sendMsg: %s Topic '%s'",
                    sc == TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE ? "topic longer than 250 bytes," : "invalid", m->topic());
    if (m->hasReplyTo && (sc = checkTopic(m->replyTo.c_str())) != TRXCLIENT_SUBCODE_OK)
        return fail(sc, "trxClient_session_sendMsg: invalid reply-to '%s' for Topic '%s'", m->replyTo.c_str(),
                    m->topic());
    {
        std::lock_guard<std::mutex> g(mStateMu);
        if (mState != SessionState::Up && mState != SessionState::Reconnecting)
            return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED,
                        "trxClient_session_sendMsg: session not connected (Topic '%s')", m->topic());
    }
    trxClient_returnCode_t rc = mBackend->publish(*m);
    if (rc == TRXCLIENT_OK)
        mTxMsgs++;
    return rc;
}

trxClient_returnCode_t Session::getProperty(const char* name, char* buf, size_t size)
{
    if (!name || !buf)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_getProperty: NULL %s",
                    name ? "buffer" : "name");
    std::string value;
    if (strcasecmp(name, "SESSION_REPLY_TO_DEFAULT_DEST") == 0)
    {
        value = "#P2P/" + mBackend->nodeName() + "/" + mId + "//";
    }
    else if (strcasecmp(name, "SESSION_REPLY_TO_REFUSED") == 0)
    {
        value = p2pRefused() ? "1" : "0";
    }
    else if (strcasecmp(name, "SESSION_CLIENT_NAME") == 0)
    {
        value = mId;
    }
    else if (strcasecmp(name, "SESSION_CONNECTED_HOST") == 0)
    {
        value = mBackend->connectedUrl();
    }
    else if (strcasecmp(name, "SESSION_HOST") == 0)
    {
        value = mHost;
    }
    else if (const std::string* v = mProps.get(name))
    {
        value = *v;
    }
    else
    {
        return fail(TRXCLIENT_SUBCODE_PROPERTY_NOT_FOUND, "trxClient_session_getProperty: no property '%s'", name);
    }
    if (value.size() + 1 > size)
        return fail(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, "trxClient_session_getProperty: '%s' needs %zu bytes", name,
                    value.size() + 1);
    std::memcpy(buf, value.c_str(), value.size() + 1);
    return TRXCLIENT_OK;
}

void Session::stats(trxClient_session_stats_t& out)
{
    out = trxClient_session_stats_t{};
    out.rxMsgs = mRxMsgs;
    out.rxDiscardedMsgs = mRxDiscarded;
    out.txMsgs = mTxMsgs;
    out.reconnects = mReconnects;
    {
        std::lock_guard<std::mutex> g(mRxMu);
        out.rxBufferedMsgs = mRxMsgsQueued;
        out.rxBufferedBytes = mRxBytes;
    }
    std::lock_guard<std::mutex> g(mSubMu);
    out.brokerSubscriptions = mBrokerSubs.size();
    out.dispatchEntries = mDispatch.size();
}

Session* toSession(trxClient_opaqueSession_pt p)
{
    Session* s = static_cast<Session*>(p);
    return s && s->magic == Session::kMagic ? s : nullptr;
}

} // namespace trx
