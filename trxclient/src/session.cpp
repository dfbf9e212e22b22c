#include "core.h"
#include "errors.h"
#include "inproc.h"
#include "log.h"
#include "natsBackend.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace trx {

trxClient_returnCode_t Backend::notSupported()
{
    return fail(TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION, "fault injection works on inproc sessions only");
}

Session::Session(Context *ctx, Props props) : ctx_(ctx), props_(std::move(props)) { id_ = newSessionId(); }

Session::~Session()
{
    magic = 0;
    dispatch_.forEach([](DispatchEntry *e) { delete e; });
}

trxClient_returnCode_t Session::init(const trxClient_session_createFuncInfo_t *fi)
{
    if (fi) {
        eventCb_ = fi->eventInfo.callback_p;
        eventUser_ = fi->eventInfo.user_p;
        rxCb_ = fi->rxMsgInfo.callback_p;
        rxUser_ = fi->rxMsgInfo.user_p;
    }
    std::string err;
    long long v;
    auto boolProp = [&](const char *name, bool def) {
        const std::string *s = props_.get(name);
        if (!s)
            return def;
        return !(*s == "0" || strcasecmp(s->c_str(), "false") == 0 || strcasecmp(s->c_str(), "no") == 0);
    };
    connectBlocking_ = boolProp("SESSION_CONNECT_BLOCKING", true);
    reapply_ = boolProp("SESSION_REAPPLY_SUBSCRIPTIONS", true);
    topicDispatch_ = boolProp("SESSION_TOPIC_DISPATCH", true);
    directOk_ = !boolProp("SESSION_ALWAYS_BUFFER_IN_CONTEXT", true);
    if (!props_.getInt("SESSION_BUFFER_MSG_LIMIT", 100000, 1, 1ll << 40, v, err))
        return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "trxClient_session_create: %s", err.c_str());
    bufMsgLimit_ = static_cast<uint64_t>(v);
    if (!props_.getInt("SESSION_BUFFER_BYTE_LIMIT", 64ll << 20, 1024, 1ll << 42, v, err))
        return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "trxClient_session_create: %s", err.c_str());
    bufByteLimit_ = static_cast<uint64_t>(v);
    if (!props_.getInt("SESSION_REQUEST_MSG_LIMIT", 100000, 1, 1ll << 31, v, err))
        return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "trxClient_session_create: %s", err.c_str());
    requestMsgLimit_ = static_cast<uint32_t>(v);

    host_ = props_.getStr("SESSION_HOST", "inproc://default");
    if (host_.rfind("inproc://", 0) == 0) {
        std::string name = host_.substr(9);
        if (name.empty())
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "SESSION_HOST '%s': inproc broker needs a name",
                        host_.c_str());
        backend_ = makeInprocBackend(this, name);
    } else if (host_.rfind("nats://", 0) == 0 || host_.rfind("tls://", 0) == 0) {
        backend_ = makeNatsBackend(this, host_);
    } else {
        return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE,
                    "SESSION_HOST '%s': expected inproc://NAME or nats://host:port[,...]", host_.c_str());
    }
    if (!backend_)
        return TRXCLIENT_FAIL; // the factory set the error
    return TRXCLIENT_OK;
}

// ---- connection -------------------------------------------------------------

trxClient_returnCode_t Session::connect()
{
    std::lock_guard<std::mutex> op(opMu_);
    {
        std::lock_guard<std::mutex> g(stateMu_);
        if (state_ == SessionState::Up || state_ == SessionState::Reconnecting)
            return TRXCLIENT_OK;
        if (state_ == SessionState::Connecting)
            return TRXCLIENT_IN_PROGRESS;
        state_ = SessionState::Connecting;
    }
    auto attempt = [this]() -> trxClient_returnCode_t {
        trxClient_returnCode_t rc = backend_->connect();
        trxClient_errorInfo_t err = *trxClient_getLastErrorInfo();
        {
            std::lock_guard<std::mutex> g(stateMu_);
            state_ = rc == TRXCLIENT_OK ? SessionState::Up : SessionState::Down;
        }
        if (rc == TRXCLIENT_OK) {
            // Subscriptions made before (or kept across a disconnect) go to the broker now.
            // The broker's answer on the point-to-point one is awaited: a
            // refusal must be known before the first request goes out.
            if (backend_->subscribe(p2pPattern(), 1) != TRXCLIENT_OK &&
                trxClient_getLastErrorInfo()->subCode == TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED)
                refuseP2P();
            else
                p2pRefused_ = false;
            for (const std::string &t : brokerTopics())
                backend_->subscribe(t, 0);
            {
                std::lock_guard<std::mutex> g(subMu_);
                for (auto &b : brokerSubs_)
                    if (b.second.state == BrokerSub::Pending)
                        b.second.state = BrokerSub::Active;
            }
            TRX_LOG(TRXCLIENT_LOG_NOTICE, "session %s up on %s", id_.c_str(), backend_->connectedUrl().c_str());
            raiseEvent(TRXCLIENT_SESSION_EVENT_UP_NOTICE, TRXCLIENT_SUBCODE_OK, 0, "session up");
        } else {
            TRX_LOG(TRXCLIENT_LOG_WARNING, "session %s connect failed: %s", id_.c_str(), err.errorStr);
        }
        *trxClient_getLastErrorInfo() = err;
        return rc;
    };
    if (connectBlocking_)
        return attempt();
    if (connectThread_.joinable())
        connectThread_.join();
    connectThread_ = std::thread([this, attempt] {
        if (attempt() != TRXCLIENT_OK) {
            trxClient_errorInfo_t *e = trxClient_getLastErrorInfo();
            raiseEvent(TRXCLIENT_SESSION_EVENT_CONNECT_FAILED_ERROR, e->subCode, e->responseCode, e->errorStr);
        }
    });
    return TRXCLIENT_IN_PROGRESS;
}

trxClient_returnCode_t Session::disconnect()
{
    std::lock_guard<std::mutex> op(opMu_);
    if (connectThread_.joinable())
        connectThread_.join();
    bool wasUp;
    {
        std::lock_guard<std::mutex> g(stateMu_);
        wasUp = state_ == SessionState::Up || state_ == SessionState::Reconnecting;
        if (state_ == SessionState::Created)
            return TRXCLIENT_OK;
        state_ = SessionState::Disconnected;
    }
    cancelCacheRequests();
    backend_->disconnect();
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
    closing_ = true;
    {
        // Cache sessions outlive nothing: their requests were cancelled above.
        std::lock_guard<std::mutex> g(cacheMu_);
        for (CacheSession *c : caches_)
            c->session = nullptr;
        caches_.clear();
    }
    ctx_->runAndWait([this] { finalize(); });
    ctx_->removeSession(this);
    ctx_->deferDelete(this);
}

void Session::finalize()
{
    waitDirect(); // closing_ is set: none starts after this
    ctx_->purge(this);
    std::deque<RxItem> items;
    {
        std::lock_guard<std::mutex> g(rxMu_);
        items.swap(rxq_);
        rxMsgsQueued_ = rxBytes_ = 0;
    }
    for (RxItem &it : items) {
        if (it.msg)
            delete it.msg;
        else if (it.fn)
            it.fn(); // cache completions must reach the application even now
    }
    std::vector<DispatchEntry *> gone;
    {
        std::lock_guard<std::mutex> g(subMu_);
        dispatch_.forEach([&](DispatchEntry *e) { gone.push_back(e); });
        dispatch_.clear();
        brokerSubs_.clear();
    }
    trxClient_session_topicDispatchDestroyFunc_t cb = dispatchDestroy_.load();
    for (DispatchEntry *e : gone) {
        if (cb)
            cb(e->topic.c_str(), &e->info);
        delete e;
    }
}

void Session::cancelCacheRequests()
{
    std::vector<CacheSession *> cs;
    {
        std::lock_guard<std::mutex> g(cacheMu_);
        cs = caches_;
    }
    for (CacheSession *c : cs)
        c->cancelAll();
}

void Session::addCacheSession(CacheSession *c)
{
    std::lock_guard<std::mutex> g(cacheMu_);
    caches_.push_back(c);
}

void Session::removeCacheSession(CacheSession *c)
{
    std::lock_guard<std::mutex> g(cacheMu_);
    caches_.erase(std::remove(caches_.begin(), caches_.end(), c), caches_.end());
}

void Session::connectionLost(const std::string &why)
{
    {
        std::lock_guard<std::mutex> g(stateMu_);
        if (state_ != SessionState::Up)
            return;
        state_ = SessionState::Reconnecting;
    }
    // The event carries the same text; whoever handles it tells the operator.
    TRX_LOG(TRXCLIENT_LOG_INFO, "session %s: %s, reconnecting", id_.c_str(), why.c_str());
    raiseEvent(TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE, TRXCLIENT_SUBCODE_COMMUNICATION_ERROR, 0, why);
}

void Session::connectionRestored()
{
    {
        std::lock_guard<std::mutex> g(stateMu_);
        if (state_ != SessionState::Reconnecting && state_ != SessionState::Up)
            return;
        state_ = SessionState::Up;
    }
    reconnects_++;
    if (!reapply_)
        dropBrokerSubscriptions();
    bool wasSuspended;
    {
        std::lock_guard<std::mutex> g(rxMu_);
        wasSuspended = suspended_;
    }
    TRX_LOG(TRXCLIENT_LOG_INFO, "session %s reconnected to %s", id_.c_str(), backend_->connectedUrl().c_str());
    raiseEvent(TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE, TRXCLIENT_SUBCODE_OK, 0,
               "reconnected to " + backend_->connectedUrl());
    // A reconnect starts the flow again; whoever suspended may do it again.
    if (wasSuspended) {
        resume();
        raiseEvent(TRXCLIENT_SESSION_EVENT_FLOW_STATE_NOTICE, TRXCLIENT_SUBCODE_OK, 0,
                   "session resumed by reconnect");
    }
}

void Session::connectionDown(trxClient_subCode_t sub, const std::string &why)
{
    {
        std::lock_guard<std::mutex> g(stateMu_);
        if (state_ != SessionState::Up && state_ != SessionState::Reconnecting)
            return;
        state_ = SessionState::Down;
    }
    TRX_LOG(TRXCLIENT_LOG_INFO, "session %s down: %s", id_.c_str(), why.c_str());
    cancelCacheRequests();
    raiseEvent(TRXCLIENT_SESSION_EVENT_DOWN_ERROR, sub, 0, why);
}

std::vector<std::string> Session::brokerTopics()
{
    std::lock_guard<std::mutex> g(subMu_);
    std::vector<std::string> out;
    for (auto &b : brokerSubs_)
        if (b.second.state != BrokerSub::Denied)
            out.push_back(b.first);
    return out;
}

void Session::answerPending(trxClient_session_event_t ev, trxClient_subCode_t sub, const std::string &why)
{
    std::vector<std::pair<std::string, void *>> answers;
    {
        std::lock_guard<std::mutex> g(subMu_);
        for (auto &b : brokerSubs_) {
            for (void *c : b.second.waiting)
                answers.emplace_back(b.first, c);
            if (b.second.waitingNull)
                answers.emplace_back(b.first, nullptr);
            b.second.waiting.clear();
            b.second.waitingNull = false;
        }
    }
    for (auto &a : answers)
        raiseEvent(ev, sub, 0, why + " (Topic '" + a.first + "')", a.second);
}

bool Session::hasBrokerTopic(const std::string &topic)
{
    std::lock_guard<std::mutex> g(subMu_);
    return brokerSubs_.count(topic) > 0;
}

void Session::dropBrokerSubscriptions()
{
    std::vector<std::string> topics;
    std::vector<DispatchEntry *> gone;
    {
        std::lock_guard<std::mutex> g(subMu_);
        for (auto &b : brokerSubs_)
            topics.push_back(b.first);
        dispatch_.forEach([&](DispatchEntry *e) {
            if (!e->local)
                gone.push_back(e);
        });
        for (DispatchEntry *e : gone)
            dispatch_.erase(e->topic, e);
        for (auto &b : brokerSubs_)
            if (b.second.plainRefs)
                plainTrie_.erase(b.first, &b.second);
        brokerSubs_.clear();
    }
    for (const std::string &t : topics)
        backend_->unsubscribe(t);
    postInOrder(
        [this, gone] {
            trxClient_session_topicDispatchDestroyFunc_t cb = dispatchDestroy_.load();
            for (DispatchEntry *e : gone) {
                if (cb)
                    cb(e->topic.c_str(), &e->info);
                delete e;
            }
        },
        nullptr);
}

// ---- events ----------------------------------------------------------------------

void Session::raiseEvent(trxClient_session_event_t ev, trxClient_subCode_t sub, int responseCode,
                         const std::string &info, void *corr)
{
    if (!eventCb_ || closing_)
        return;
    postInOrder(
        [this, ev, sub, responseCode, info, corr] {
            if (closing_)
                return;
            setLastError(sub, responseCode, info.c_str());
            trxClient_session_eventCallbackInfo_t ei{ev, responseCode, info.c_str(), corr};
            eventCb_(this, &ei, eventUser_);
        },
        this);
}

void Session::postInOrder(std::function<void()> fn, Session *owner)
{
    {
        // Messages that arrive from now on wait until it has run.
        std::lock_guard<std::mutex> g(rxMu_);
        ++eventsRaised_;
    }
    ctx_->post(
        [this, fn = std::move(fn)] {
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
        std::lock_guard<std::mutex> g(rxMu_);
        ++eventsDone_;
        if (!scheduled_ && rxReady())
            post = scheduled_ = true;
    }
    if (post)
        ctx_->postSessionRx(this);
}

void Session::waitDirect()
{
    std::unique_lock<std::mutex> lk(rxMu_);
    directCv_.wait(lk, [this] { return !direct_; });
}

// ---- flow control -------------------------------------------------------------------

trxClient_returnCode_t Session::suspend()
{
    if (failSuspend.load() > 0 && failSuspend.fetch_sub(1) > 0)
        return fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_suspend: refused by fault injection");
    std::lock_guard<std::mutex> g(rxMu_);
    if (!suspended_)
        TRX_LOG(TRXCLIENT_LOG_INFO, "session %s suspended", id_.c_str());
    suspended_ = true;
    return TRXCLIENT_OK;
}

trxClient_returnCode_t Session::resume()
{
    if (failResume.load() > 0 && failResume.fetch_sub(1) > 0)
        return fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_resume: refused by fault injection");
    bool post = false;
    {
        std::lock_guard<std::mutex> g(rxMu_);
        if (suspended_)
            TRX_LOG(TRXCLIENT_LOG_INFO, "session %s resumed, %zu held", id_.c_str(), rxq_.size());
        suspended_ = false;
        if (!scheduled_ && rxReady()) {
            scheduled_ = true;
            post = true;
        }
    }
    if (post)
        ctx_->postSessionRx(this);
    return TRXCLIENT_OK;
}

void Session::deliver(Msg *m, bool here)
{
    rxMsgs_++;
    bool post = false, overflow = false, now = false;
    uint64_t heldMsgs = 0, heldBytes = 0;
    {
        std::lock_guard<std::mutex> g(rxMu_);
        if (closing_) {
            delete m;
            return;
        }
        if (here && directOk_ && !direct_ && !scheduled_ && !suspended_ && rxq_.empty() &&
            eventsDone_ == eventsRaised_) {
            // Nothing of this session is waiting for the context thread, so
            // dispatching here keeps the order; the rest waits meanwhile.
            direct_ = now = true;
            if (pendingDiscard_) {
                m->discard = true;
                pendingDiscard_ = false;
                discardReported_ = false;
            }
        } else if (rxMsgsQueued_ >= bufMsgLimit_ || rxBytes_ + m->attLen > bufByteLimit_) {
            delete m;
            rxDiscarded_++;
            pendingDiscard_ = true;
            overflow = !discardReported_;
            discardReported_ = true;
            heldMsgs = rxMsgsQueued_;
            heldBytes = rxBytes_;
        } else {
            if (pendingDiscard_) {
                m->discard = true;
                pendingDiscard_ = false;
                discardReported_ = false;
            }
            rxq_.push_back(RxItem{m, {}, eventsRaised_});
            rxMsgsQueued_++;
            rxBytes_ += m->attLen;
            if (!scheduled_ && rxReady()) {
                scheduled_ = true;
                post = true;
            }
        }
    }
    if (now) {
        if (markDiscard.exchange(false))
            m->discard = true;
        dispatch(m);
        {
            std::lock_guard<std::mutex> g(rxMu_);
            direct_ = false;
            if (!scheduled_ && rxReady())
                post = scheduled_ = true;
        }
        directCv_.notify_all();
    }
    if (overflow) {
        TRX_LOG(TRXCLIENT_LOG_WARNING,
                "session %s: receive buffer full (%llu messages, %llu bytes held; limits %llu, %llu), discarding",
                id_.c_str(), static_cast<unsigned long long>(heldMsgs), static_cast<unsigned long long>(heldBytes),
                static_cast<unsigned long long>(bufMsgLimit_), static_cast<unsigned long long>(bufByteLimit_));
        raiseEvent(TRXCLIENT_SESSION_EVENT_RX_MSG_DISCARD_WARNING, TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, 0,
                   "receive buffer full: messages discarded");
    }
    if (post)
        ctx_->postSessionRx(this);
}

void Session::deliverCache(std::vector<Msg *> msgs, std::function<void()> completion)
{
    bool post = false;
    {
        std::lock_guard<std::mutex> g(rxMu_);
        if (closing_) {
            for (Msg *m : msgs)
                delete m;
            if (completion)
                ctx_->post(std::move(completion), nullptr);
            return;
        }
        for (Msg *m : msgs) {
            rxq_.push_back(RxItem{m, {}, eventsRaised_});
            rxMsgsQueued_++;
            rxBytes_ += m->attLen;
        }
        if (completion)
            rxq_.push_back(RxItem{nullptr, std::move(completion), eventsRaised_});
        if (!scheduled_ && rxReady()) {
            scheduled_ = true;
            post = true;
        }
    }
    if (post)
        ctx_->postSessionRx(this);
}

void Session::runRx()
{
    // A batch per lock: the delivery thread keeps pushing while we dispatch.
    constexpr size_t kBatch = 64;
    std::vector<RxItem> &batch = rxBatch_;
    batch.clear();
    {
        std::lock_guard<std::mutex> g(rxMu_);
        if (!rxReady()) {
            scheduled_ = false;
            return;
        }
        while (batch.size() < kBatch && !rxq_.empty() && rxq_.front().after <= eventsDone_) {
            batch.push_back(std::move(rxq_.front()));
            rxq_.pop_front();
            if (batch.back().msg) {
                rxMsgsQueued_--;
                rxBytes_ -= batch.back().msg->attLen;
            }
        }
    }
    const size_t n = batch.size();
    size_t done = 0;
    while (done < n) {
        RxItem &it = batch[done++];
        if (it.msg) {
            if (markDiscard.exchange(false))
                it.msg->discard = true;
            dispatch(it.msg);
        } else if (it.fn) {
            it.fn();
        }
        if (closing_ || suspended_)
            break; // a callback suspended or closed the session: the rest waits
    }
    bool again;
    {
        std::lock_guard<std::mutex> g(rxMu_);
        for (size_t k = n; k-- > done;) {
            if (batch[k].msg) {
                rxMsgsQueued_++;
                rxBytes_ += batch[k].msg->attLen;
            }
            rxq_.push_front(std::move(batch[k]));
        }
        again = rxReady();
        scheduled_ = again;
    }
    batch.clear();
    if (again)
        ctx_->postSessionRx(this); // let other sessions of the context run in between
}

std::string Session::p2pPattern() const { return "#P2P/*/" + id_ + "/>"; }

bool Session::rxBusy()
{
    std::lock_guard<std::mutex> g(rxMu_);
    return !suspended_ && !rxq_.empty();
}

void Session::refuseP2P()
{
    if (p2pRefused_.exchange(true))
        return;
    TRX_LOG(TRXCLIENT_LOG_ERROR,
            "session %s: the broker refused the subscription to %s, this session's point-to-point "
            "topics: no reply to a request and no point-to-point message can reach it. Grant the user "
            "subscribe permission on %s",
            id_.c_str(), backend_->brokerName(p2pPattern()).c_str(), backend_->brokerName("#P2P/>").c_str());
}

bool Session::isOwnP2P(std::string_view topic) const
{
    // #P2P/<node>/<id>/...
    if (topic.substr(0, 5) != "#P2P/")
        return false;
    size_t a = topic.find('/', 5);
    if (a == std::string_view::npos)
        return false;
    return topic.substr(a + 1, id_.size()) == id_ && topic.size() > a + 1 + id_.size() &&
           topic[a + 1 + id_.size()] == '/';
}

void Session::dispatch(Msg *m)
{
    const std::string_view topic(m->topic());
    bool toSession = false;
    // Per thread: the context thread and backend threads dispatch alike.
    thread_local std::vector<trxClient_session_rxMsgDispatchFuncInfo_t> scratch;
    scratch.clear();
    {
        std::lock_guard<std::mutex> g(subMu_);
        if (!m->directToSession)
            dispatch_.match(topic, [&](DispatchEntry *e) { scratch.push_back(e->info); });
        if (scratch.empty()) {
            toSession = m->directToSession || isOwnP2P(topic) || m->cacheStatus != TRXCLIENT_CACHE_MSG_LIVE;
            if (!toSession)
                plainTrie_.match(topic, [&](BrokerSub *) { toSession = true; });
        }
    }
    if (scratch.empty()) {
        if (toSession && rxCb_) {
            trxClient_opaqueMsg_pt p = m;
            if (rxCb_(this, p, rxUser_) == TRXCLIENT_CALLBACK_TAKE_MSG)
                return;
        }
        delete m;
        return;
    }
    // Every matching entry gets the message; all but the last get a copy so
    // that any of them may keep what it got.
    std::vector<trxClient_session_rxMsgDispatchFuncInfo_t> targets;
    targets.swap(scratch);
    for (size_t i = 0; i < targets.size(); ++i) {
        Msg *mm = i + 1 < targets.size() ? copyForDelivery(*m) : m;
        if (!mm)
            continue;
        trxClient_opaqueMsg_pt p = mm;
        if (targets[i].callback_p(this, p, targets[i].user_p) != TRXCLIENT_CALLBACK_TAKE_MSG)
            delete mm;
        if (closing_) {
            if (i + 1 < targets.size())
                delete m; // the original was meant for the last entry
            break;
        }
    }
    targets.clear();
    scratch.swap(targets);
}

// ---- subscriptions --------------------------------------------------------------------

trxClient_returnCode_t Session::subscribe(uint32_t flags, const char *topic,
                                          const trxClient_session_rxMsgDispatchFuncInfo_t *di, void *corr, bool plain)
{
    const char *fn = plain ? "trxClient_session_topicSubscribeExt" : "trxClient_session_topicSubscribeWithDispatch";
    const uint32_t known = TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM | TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY |
                           TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM;
    if (!topic)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL topic", fn);
    if (flags & ~known)
        return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "%s: unknown flags 0x%x for Topic '%s'", fn, flags & ~known,
                    topic);
    if ((flags & TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM) && (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM))
        return fail(TRXCLIENT_SUBCODE_PARAM_CONFLICT, "%s: flags 2 and 16 exclude each other", fn);
    bool local = flags & TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY;
    if (plain && local)
        return fail(TRXCLIENT_SUBCODE_PARAM_CONFLICT, "%s: local dispatch needs a dispatch function", fn);
    if (!plain) {
        if (!topicDispatch_)
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
    if (closing_)
        return fail(TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION, "%s: session is being destroyed", fn);
    bool connected;
    {
        std::lock_guard<std::mutex> g(stateMu_);
        connected = state_ == SessionState::Up || state_ == SessionState::Reconnecting;
    }
    if (!local && !connected)
        return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, "%s: session not connected (Topic '%s')", fn, topic);

    std::string t(topic);
    DispatchEntry *entry = nullptr;
    int mode = 0; // what to ask of the backend; -1: nothing
    bool confirmNow = false;
    {
        std::lock_guard<std::mutex> g(subMu_);
        if (!plain) {
            entry = new DispatchEntry{t, *di, local};
            dispatch_.insert(t, entry);
        }
        if (local)
            return TRXCLIENT_OK;
        BrokerSub &bs = brokerSubs_[t];
        bs.refs++;
        if (plain && bs.plainRefs++ == 0)
            plainTrie_.insert(t, &bs);
        if (bs.refs == 1) {
            mode = (flags & TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM) ? 1
                   : (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM) ? 2
                                                                          : 0;
            if (mode == 2) {
                if (corr)
                    bs.waiting.push_back(corr);
                else
                    bs.waitingNull = true;
            }
        } else {
            mode = -1;
            if (bs.state == BrokerSub::Active) {
                confirmNow = flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM;
            } else if (bs.state == BrokerSub::Denied) {
                // Already refused by the broker: answer the same way again.
                if (flags & TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM) {
                    bs.refs--;
                    if (entry) {
                        dispatch_.erase(t, entry);
                        delete entry;
                    }
                    if (bs.refs == 0) {
                        if (bs.plainRefs)
                            plainTrie_.erase(t, &bs);
                        brokerSubs_.erase(t);
                    }
                    return fail(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED,
                                "%s: subscription refused by the broker for Topic '%s'", fn, topic);
                }
                if (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM)
                    raiseEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR, TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, 0,
                               "subscription refused by the broker for Topic '" + t + "'", corr);
            } else if (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM) {
                if (corr)
                    bs.waiting.push_back(corr);
                else
                    bs.waitingNull = true;
            }
        }
    }
    if (confirmNow) {
        raiseEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK, TRXCLIENT_SUBCODE_OK, 0,
                   "subscription confirmed for Topic '" + t + "'", corr);
        return TRXCLIENT_IN_PROGRESS;
    }
    if (mode < 0)
        return (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM) ? TRXCLIENT_IN_PROGRESS : TRXCLIENT_OK;

    trxClient_returnCode_t rc = backend_->subscribe(t, mode);
    if (mode == 2 && rc == TRXCLIENT_OK)
        rc = TRXCLIENT_IN_PROGRESS;
    if (rc == TRXCLIENT_OK || rc == TRXCLIENT_IN_PROGRESS) {
        if (mode != 2) {
            std::lock_guard<std::mutex> g(subMu_);
            auto it = brokerSubs_.find(t);
            if (it != brokerSubs_.end() && it->second.state == BrokerSub::Pending)
                it->second.state = BrokerSub::Active;
        }
        return rc;
    }
    // Refused or failed now: undo this call's share.
    trxClient_errorInfo_t err = *trxClient_getLastErrorInfo();
    bool dropAtBroker = false;
    {
        std::lock_guard<std::mutex> g(subMu_);
        if (entry) {
            dispatch_.erase(t, entry);
            delete entry;
        }
        auto it = brokerSubs_.find(t);
        if (it != brokerSubs_.end()) {
            BrokerSub &bs = it->second;
            if (plain && --bs.plainRefs == 0)
                plainTrie_.erase(t, &bs);
            if (--bs.refs == 0) {
                brokerSubs_.erase(it);
                dropAtBroker = true;
            } else if (err.subCode == TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED) {
                bs.state = BrokerSub::Denied;
            }
        }
    }
    if (dropAtBroker)
        backend_->unsubscribe(t); // a request the broker may still hold
    *trxClient_getLastErrorInfo() = err;
    return rc;
}

void Session::subscribeResult(const std::string &topic, bool ok, trxClient_subCode_t sub, const std::string &text)
{
    std::vector<void *> waiting;
    bool waitingNull = false, known = false;
    {
        std::lock_guard<std::mutex> g(subMu_);
        auto it = brokerSubs_.find(topic);
        if (it != brokerSubs_.end()) {
            known = true;
            BrokerSub &bs = it->second;
            if (bs.state == BrokerSub::Pending || !ok)
                bs.state = ok ? BrokerSub::Active : BrokerSub::Denied;
            waiting.swap(bs.waiting);
            waitingNull = bs.waitingNull;
            bs.waitingNull = false;
        }
    }
    if (!known)
        return;
    if (!ok)
        TRX_LOG(TRXCLIENT_LOG_WARNING, "session %s: %s", id_.c_str(), text.c_str());
    trxClient_session_event_t ev =
        ok ? TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK : TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR;
    for (void *c : waiting)
        raiseEvent(ev, sub, 0, text, c);
    if (waitingNull || (!ok && waiting.empty()))
        raiseEvent(ev, sub, 0, text, nullptr);
}

void Session::subscriptionLost(const std::string &topic, trxClient_subCode_t sub, const std::string &text)
{
    if (topic == p2pPattern()) {
        refuseP2P();
        return;
    }
    {
        std::lock_guard<std::mutex> g(subMu_);
        auto it = brokerSubs_.find(topic);
        if (it == brokerSubs_.end() || it->second.state == BrokerSub::Denied)
            return;
        it->second.state = BrokerSub::Denied;
    }
    subscribeResult(topic, false, sub, text);
}

trxClient_returnCode_t Session::unsubscribe(uint32_t flags, const char *topic,
                                            const trxClient_session_rxMsgDispatchFuncInfo_t *di, void *corr, bool plain)
{
    const char *fn =
        plain ? "trxClient_session_topicUnsubscribeExt" : "trxClient_session_topicUnsubscribeWithDispatch";
    if (!topic)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL topic", fn);
    if (!plain && (!di || !di->callback_p))
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL dispatch %s", fn, di ? "callback" : "info");
    trxClient_subCode_t sc = checkTopic(topic);
    if (sc != TRXCLIENT_SUBCODE_OK)
        return fail(sc, "%s: invalid Topic '%s'", fn, topic);
    std::string t(topic);
    DispatchEntry *entry = nullptr;
    bool brokerGone = false, wasLocal = false, wasDenied = false;
    std::vector<void *> overtaken; // confirmation requests still unanswered
    {
        std::lock_guard<std::mutex> g(subMu_);
        if (!plain) {
            // The newest entry of this callback and user pointer goes first.
            if (const auto *list = dispatch_.values(t))
                for (auto it = list->end(); it != list->begin() && !entry;) {
                    --it;
                    if ((*it)->info.callback_p == di->callback_p && (*it)->info.user_p == di->user_p)
                        entry = *it;
                }
            if (!entry)
                return fail(TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND, "%s: no dispatch entry for Topic '%s'", fn,
                            topic);
            dispatch_.erase(t, entry);
            wasLocal = entry->local;
        }
        if (!wasLocal) {
            auto it = brokerSubs_.find(t);
            if (it == brokerSubs_.end() || (plain && it->second.plainRefs == 0)) {
                if (plain)
                    return fail(TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND, "%s: not subscribed to Topic '%s'", fn,
                                topic);
            } else {
                BrokerSub &bs = it->second;
                if (plain && --bs.plainRefs == 0)
                    plainTrie_.erase(t, &bs);
                if (--bs.refs == 0) {
                    wasDenied = bs.state == BrokerSub::Denied;
                    overtaken.swap(bs.waiting);
                    if (bs.waitingNull)
                        overtaken.push_back(nullptr);
                    brokerSubs_.erase(it);
                    brokerGone = true;
                }
            }
        }
    }
    if (brokerGone && !wasDenied)
        backend_->unsubscribe(t);
    for (void *c : overtaken)
        raiseEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK, TRXCLIENT_SUBCODE_OK, 0,
                   "subscription request for Topic '" + t + "' ended by an unsubscribe", c);
    if (entry) {
        // Reported from the context thread, after any dispatch to it still running.
        postInOrder(
            [this, entry] {
                trxClient_session_topicDispatchDestroyFunc_t cb = dispatchDestroy_.load();
                if (cb)
                    cb(entry->topic.c_str(), &entry->info);
                delete entry;
            },
            nullptr);
    }
    if (flags & TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM) {
        raiseEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK, TRXCLIENT_SUBCODE_OK, 0,
                   "unsubscribed from Topic '" + t + "'", corr);
        return TRXCLIENT_IN_PROGRESS;
    }
    return TRXCLIENT_OK;
}

// ---- send / properties --------------------------------------------------------------

trxClient_returnCode_t Session::send(Msg *m)
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
        std::lock_guard<std::mutex> g(stateMu_);
        if (state_ != SessionState::Up && state_ != SessionState::Reconnecting)
            return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED,
                        "trxClient_session_sendMsg: session not connected (Topic '%s')", m->topic());
    }
    trxClient_returnCode_t rc = backend_->publish(*m);
    if (rc == TRXCLIENT_OK)
        txMsgs_++;
    return rc;
}

trxClient_returnCode_t Session::getProperty(const char *name, char *buf, size_t size)
{
    if (!name || !buf)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_getProperty: NULL %s",
                    name ? "buffer" : "name");
    std::string value;
    if (strcasecmp(name, "SESSION_REPLY_TO_DEFAULT_DEST") == 0) {
        value = "#P2P/" + backend_->nodeName() + "/" + id_ + "//";
    } else if (strcasecmp(name, "SESSION_REPLY_TO_REFUSED") == 0) {
        value = p2pRefused() ? "1" : "0";
    } else if (strcasecmp(name, "SESSION_CLIENT_NAME") == 0) {
        value = id_;
    } else if (strcasecmp(name, "SESSION_CONNECTED_HOST") == 0) {
        value = backend_->connectedUrl();
    } else if (strcasecmp(name, "SESSION_HOST") == 0) {
        value = host_;
    } else if (const std::string *v = props_.get(name)) {
        value = *v;
    } else {
        return fail(TRXCLIENT_SUBCODE_PROPERTY_NOT_FOUND, "trxClient_session_getProperty: no property '%s'", name);
    }
    if (value.size() + 1 > size)
        return fail(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, "trxClient_session_getProperty: '%s' needs %zu bytes", name,
                    value.size() + 1);
    std::memcpy(buf, value.c_str(), value.size() + 1);
    return TRXCLIENT_OK;
}

void Session::stats(trxClient_session_stats_t &out)
{
    out = trxClient_session_stats_t{};
    out.rxMsgs = rxMsgs_;
    out.rxDiscardedMsgs = rxDiscarded_;
    out.txMsgs = txMsgs_;
    out.reconnects = reconnects_;
    {
        std::lock_guard<std::mutex> g(rxMu_);
        out.rxBufferedMsgs = rxMsgsQueued_;
        out.rxBufferedBytes = rxBytes_;
    }
    std::lock_guard<std::mutex> g(subMu_);
    out.brokerSubscriptions = brokerSubs_.size();
    out.dispatchEntries = dispatch_.size();
}

Session *toSession(trxClient_opaqueSession_pt p)
{
    Session *s = static_cast<Session *>(p);
    return s && s->magic == Session::kMagic ? s : nullptr;
}

} // namespace trx
