// NATS backend over libnats. Topics map to subjects (topic.h); reply-to is the
// NATS reply subject; user map, delivery mode and "no attachment" ride in an
// envelope before the attachment (envelope.h). All subscriptions of a
// process share libnats' global delivery thread(s), never one thread each.
#include "core.h"
#include "envelope.h"
#include "errors.h"
#include "log.h"
#include "natsAccess.h"

#include <nats/nats.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <unordered_set>
#include <shared_mutex>
#include <strings.h>

namespace trx {
namespace {

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Server and credential settings as the session's properties name them.
const NatsAccessNames kNames{"SESSION_HOST",          "SESSION_USERNAME",       "SESSION_TOKEN",
                             "SESSION_CREDS_FILE",    "SESSION_NKEY_SEED_FILE", "SESSION_TLS_CA_FILE",
                             "SESSION_TLS_CERT_FILE", "SESSION_TLS_KEY_FILE",   "SESSION_TLS_VERIFY_HOSTNAME"};

// Text between the first and last double quote.
std::string quoted(const std::string &text)
{
    size_t a = text.find('"'), b = text.rfind('"');
    if (a == std::string::npos || b == a)
        return "";
    return text.substr(a + 1, b - a - 1);
}

void ensureDeliveryPool()
{
    static std::once_flag once;
    std::call_once(once, [] { nats_SetMessageDeliveryPoolSize(static_cast<int>(natsDeliveryThreads())); });
}

class NatsBackend;

// Connection callbacks may arrive after the backend has let go of the
// connection; they reach it only through this link.
struct Link {
    std::mutex mu;
    std::condition_variable cv;
    NatsBackend *be = nullptr;
    bool closed = false;
    bool secondary = false; // the adaptive policy's send-only connection
};

// Kept small: there is one per subscribed topic. Its topic is the key in
// subs_, its subject the path in trie_.
struct Sub {
    NatsBackend *be;
    natsSubscription *ns = nullptr;
    uint64_t order;
    std::atomic<bool> active{true};
    bool wild = false; // its subject has a wildcard, so it may overlap another
};

class NatsBackend : public Backend {
public:
    NatsBackend(Session *s, std::string urls) : s_(s), urlText_(std::move(urls)) {}

    ~NatsBackend() override { disconnect(); }

    trxClient_returnCode_t configure()
    {
        std::string err;
        long long v;
        const Props &p = s_->props();
        if (!p.getInt("SESSION_CONNECT_TIMEOUT_MS", 2000, 1, 600000, v, err))
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        connectTimeoutMs_ = v;
        if (!p.getInt("SESSION_CONNECT_RETRIES", 0, 0, 1000000, v, err))
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        connectRetries_ = static_cast<int>(v);
        if (!p.getInt("SESSION_RECONNECT_RETRIES", -1, -1, 1000000000, v, err))
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        reconnectRetries_ = static_cast<int>(v);
        if (!p.getInt("SESSION_RECONNECT_RETRY_WAIT_MS", 100, 1, 600000, v, err))
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        reconnectWaitMs_ = v;
        if (!p.getInt("SESSION_KEEP_ALIVE_INT_MS", 250, 10, 600000, v, err))
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        keepAliveMs_ = v;
        if (!p.getInt("SESSION_KEEP_ALIVE_LIMIT", 3, 1, 1000, v, err))
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        keepAliveLimit_ = static_cast<int>(v);
        if (!p.getInt("SESSION_RECONNECT_BUFFER_BYTES", 8 << 20, 0, 1ll << 30, v, err))
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        holdLimit_ = static_cast<size_t>(v);
        std::string policy = p.getStr("SESSION_SEND_POLICY", "adaptive");
        if (strcasecmp(policy.c_str(), "adaptive") == 0)
            policy_ = Adaptive;
        else if (strcasecmp(policy.c_str(), "batch") == 0)
            policy_ = Batch;
        else if (strcasecmp(policy.c_str(), "immediate") == 0)
            policy_ = Immediate;
        else
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE,
                        "SESSION_SEND_POLICY '%s': expected adaptive, batch or immediate", policy.c_str());
        if (access_.parseUrls(urlText_, kNames, err) != NatsAccess::Ok)
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        access_.user = p.getStr("SESSION_USERNAME", "");
        access_.password = p.getStr("SESSION_PASSWORD", "");
        access_.token = p.getStr("SESSION_TOKEN", "");
        access_.credsFile = p.getStr("SESSION_CREDS_FILE", "");
        access_.seedFile = p.getStr("SESSION_NKEY_SEED_FILE", "");
        access_.tlsCa = p.getStr("SESSION_TLS_CA_FILE", "");
        access_.tlsCert = p.getStr("SESSION_TLS_CERT_FILE", "");
        access_.tlsKey = p.getStr("SESSION_TLS_KEY_FILE", "");
        access_.verifyHostname = p.getStr("SESSION_TLS_VERIFY_HOSTNAME", "1") != "0";
        // Files are checked here, so a mistake shows at session creation with
        // the property it concerns.
        switch (access_.check(kNames, err)) {
        case NatsAccess::Ok:
            return TRXCLIENT_OK;
        case NatsAccess::Conflict:
            return fail(TRXCLIENT_SUBCODE_PARAM_CONFLICT, "%s", err.c_str());
        default:
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        }
    }

    trxClient_returnCode_t connect() override
    {
        ensureDeliveryPool();
        natsOptions *o = nullptr;
        if (natsOptions_Create(&o) != NATS_OK)
            return fail(TRXCLIENT_SUBCODE_OUT_OF_MEMORY, "cannot create libnats options");
        std::string err;
        if (!access_.apply(o, kNames, err)) {
            natsOptions_Destroy(o);
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        }
        natsOptions_SetNoRandomize(o, true);
        // libnats holds its connection lock through a connect attempt, its
        // reconnects' too: a send that comes meanwhile waits for the attempt to
        // time out. An attempt therefore lasts no longer than a silent broker
        // is tolerated anyway (the keep-alive bound, as the write deadline),
        // and the first connect repeats timed-out attempts for
        // SESSION_CONNECT_TIMEOUT_MS.
        const int64_t attemptMs = std::min<int64_t>(connectTimeoutMs_, keepAliveMs_ * keepAliveLimit_);
        natsOptions_SetTimeout(o, attemptMs);
        natsOptions_SetPingInterval(o, keepAliveMs_);
        natsOptions_SetMaxPingsOut(o, keepAliveLimit_);
        natsOptions_SetMaxReconnect(o, reconnectRetries_);
        natsOptions_SetReconnectWait(o, reconnectWaitMs_);
        natsOptions_SetReconnectJitter(o, 0, 0);
        natsOptions_UseGlobalMessageDelivery(o, true);
        natsOptions_SetSendAsap(o, policy_ == Immediate);
        natsOptions_SetMaxPendingMsgs(o, 1000000);
        natsOptions_SetWriteDeadline(o, keepAliveMs_ * keepAliveLimit_);
        if (holdLimit_ > 0)
            natsOptions_SetReconnectBufSize(o, static_cast<int>(holdLimit_));
        link_ = new Link;
        link_->be = this;
        natsOptions_SetDisconnectedCB(o, &NatsBackend::onDisconnected, link_);
        natsOptions_SetReconnectedCB(o, &NatsBackend::onReconnected, link_);
        natsOptions_SetClosedCB(o, &NatsBackend::onClosed, link_);
        natsOptions_SetErrorHandler(o, &NatsBackend::onError, link_);
        natsOptions_SetDiscoveredServersCB(o, &NatsBackend::onDiscovered, link_);
        natsOptions_SetLameDuckModeCB(o, &NatsBackend::onLameDuck, link_);

        natsStatus st = NATS_OK;
        for (int attempt = 0; attempt <= connectRetries_; ++attempt) {
            const auto until = Clock::now() + std::chrono::milliseconds(connectTimeoutMs_);
            do
                st = natsConnection_Connect(&nc_, o);
            while (st == NATS_TIMEOUT && Clock::now() + std::chrono::milliseconds(attemptMs) <= until);
            if (st == NATS_OK || st == NATS_CONNECTION_AUTH_FAILED)
                break;
            if (attempt < connectRetries_)
                std::this_thread::sleep_for(std::chrono::milliseconds(reconnectWaitMs_));
        }
        if (st == NATS_OK && policy_ == Adaptive) {
            fastOpts_ = o; // kept for the connections that replace a lost one
            fastStop_ = fastLost_ = false;
            if (natsStatus fst = connectFast(); fst != NATS_OK) {
                TRX_LOG(TRXCLIENT_LOG_WARNING, "adaptive sending without its immediate connection: %s",
                        natsErrorText(fst).c_str());
                fastLost_ = true;
            }
            fastKeeper_ = std::thread([this] { keepFast(); });
        } else {
            natsOptions_Destroy(o);
        }
        if (st != NATS_OK) {
            std::string text = natsErrorText(st);
            delete link_;
            link_ = nullptr;
            nc_ = nullptr;
            if (st == NATS_CONNECTION_AUTH_FAILED)
                return fail(TRXCLIENT_SUBCODE_LOGIN_FAILURE, "login refused by %s: %s", urlText_.c_str(), text.c_str());
            if (st == NATS_NO_SERVER)
                return fail(TRXCLIENT_SUBCODE_BROKER_UNREACHABLE, "no broker reachable at %s: %s", urlText_.c_str(),
                            text.c_str());
            if (st == NATS_TIMEOUT)
                return fail(TRXCLIENT_SUBCODE_TIMEOUT, "connect to %s timed out: %s", urlText_.c_str(), text.c_str());
            return fail(TRXCLIENT_SUBCODE_COMMUNICATION_ERROR, "connect to %s failed: %s", urlText_.c_str(),
                        text.c_str());
        }
        char id[128] = {};
        if (natsConnection_GetConnectedServerId(nc_, id, sizeof id) != NATS_OK || !id[0])
            std::snprintf(id, sizeof id, "nats");
        {
            std::lock_guard<std::mutex> g(mu_);
            node_ = id;
            url_ = connectedUrl();
        }
        maxPayload_ = natsConnection_GetMaxPayload(nc_);
        natsConnection_JetStream(&js_, nc_, nullptr);
        stop_ = false;
        confirmThread_ = std::thread([this] { confirmLoop(); });
        // A private subject lets drain() pass a marker through the delivery path.
        drainSubject_ = "_TRX.drain." + s_->id();
        auto *d = new Sub{this, nullptr, 0};
        if (natsConnection_Subscribe(&d->ns, nc_, drainSubject_.c_str(), &NatsBackend::onDrainMsg, this) == NATS_OK) {
            natsSubscription_SetOnCompleteCB(d->ns, &NatsBackend::onSubComplete, d);
            live_++;
            drainSub_ = d;
        } else {
            delete d;
        }
        return TRXCLIENT_OK;
    }

    void disconnect() override
    {
        {
            std::lock_guard<std::mutex> g(confirmMu_);
            stop_ = true;
        }
        confirmCv_.notify_all();
        if (confirmThread_.joinable())
            confirmThread_.join();
        {
            std::lock_guard<std::mutex> g(fastMu_);
            fastStop_ = true;
        }
        fastCv_.notify_all();
        if (fastKeeper_.joinable())
            fastKeeper_.join();
        {
            std::lock_guard<std::mutex> g(cacheQMu_);
            cacheStop_ = true;
        }
        cacheCv_.notify_all();
        if (cacheThread_.joinable())
            cacheThread_.join();
        cacheStop_ = false;
        // Senders on other threads finish with the connection before it goes.
        std::unique_lock<std::shared_mutex> own(ncMu_);
        if (!nc_)
            return;
        closing_ = true;
        closeFast();
        natsConnection_Close(nc_);
        {
            // Message callbacks may still be running until every subscription completes.
            std::unique_lock<std::mutex> lk(liveMu_);
            liveCv_.wait_for(lk, std::chrono::seconds(5), [&] { return live_.load() == 0; });
        }
        bool closed;
        {
            std::unique_lock<std::mutex> lk(link_->mu);
            link_->be = nullptr;
            closed = link_->cv.wait_for(lk, std::chrono::seconds(5), [&] { return link_->closed; });
        }
        if (closed)
            delete link_; // else libnats may still call it: leave it
        link_ = nullptr;
        std::vector<Sub *> all;
        {
            std::lock_guard<std::mutex> g(mu_);
            for (auto &p : subs_)
                all.push_back(p.second);
            subs_.clear();
            trie_ = TopicTrie<Sub *>('.');
            wildSubs_ = 0;
            all.insert(all.end(), retired_.begin(), retired_.end());
            retired_.clear();
            std::lock_guard<std::mutex> lg(liveMu_);
            completed_.clear();
        }
        if (drainSub_)
            all.push_back(drainSub_);
        drainSub_ = nullptr;
        for (Sub *sub : all) {
            natsSubscription_Destroy(sub->ns);
            delete sub;
        }
        if (js_)
            jsCtx_Destroy(js_);
        js_ = nullptr;
        natsConnection_Destroy(nc_);
        nc_ = nullptr;
        if (fastOpts_)
            natsOptions_Destroy(fastOpts_);
        fastOpts_ = nullptr;
        dropHeld("the session is disconnected");
        linkDown_ = false;
        closing_ = false;
    }

    // Adaptive sending uses a second, send-asap connection for sends after a
    // pause (written at once, like libnats' immediate mode) while bursts go
    // through the main connection's write buffer. Ordering across the switch
    // is kept by a flush round trip on the connection being left.
    // That connection never reconnects: libnats would keep a send made while
    // it reconnects and write it once back, after whatever the main connection
    // sent meanwhile. A lost one is closed, its sends go on the main
    // connection, and keepFast() makes a new one.
    natsStatus connectFast()
    {
        natsOptions *o = fastOpts_;
        natsOptions_SetSendAsap(o, true);
        natsOptions_SetAllowReconnect(o, false);
        auto *link = new Link;
        link->be = this;
        link->secondary = true;
        natsOptions_SetDisconnectedCB(o, &NatsBackend::onDisconnected, link);
        natsOptions_SetReconnectedCB(o, nullptr, nullptr);
        natsOptions_SetDiscoveredServersCB(o, nullptr, nullptr);
        natsOptions_SetLameDuckModeCB(o, nullptr, nullptr);
        natsOptions_SetClosedCB(o, &NatsBackend::onClosed, link);
        natsOptions_SetErrorHandler(o, &NatsBackend::onError, link);
        natsConnection *nc = nullptr;
        natsStatus st = natsConnection_Connect(&nc, o);
        if (st != NATS_OK) {
            delete link;
            return st;
        }
        natsConnection *old;
        Link *oldLink;
        {
            std::lock_guard<std::mutex> order(sendMu_);
            old = fast_;
            oldLink = fastLink_;
            fast_ = nc;
            fastLink_ = link;
            onFast_ = false; // the main connection's flush round trip comes first
            fastDown_ = false;
        }
        if (old) // closed already: that is what woke the keeper
            releaseFast(old, oldLink);
        return NATS_OK;
    }

    // Replaces a lost immediate connection once the main one is connected.
    void keepFast()
    {
        std::unique_lock<std::mutex> lk(fastMu_);
        for (;;) {
            fastCv_.wait(lk, [&] { return fastStop_ || fastLost_; });
            if (fastStop_)
                return;
            if (natsConnection_Status(nc_) == NATS_CONN_STATUS_CONNECTED) {
                fastLost_ = false; // before the connect: its own loss may follow at once
                lk.unlock();
                const natsStatus st = connectFast();
                lk.lock();
                if (st == NATS_OK)
                    continue;
                fastLost_ = true;
            }
            fastCv_.wait_for(lk, std::chrono::milliseconds(reconnectWaitMs_), [&] { return fastStop_; });
        }
    }

    // Closes an immediate connection and frees it once libnats is done with it.
    static void releaseFast(natsConnection *nc, Link *link)
    {
        natsConnection_Close(nc);
        bool closed;
        {
            std::unique_lock<std::mutex> lk(link->mu);
            link->be = nullptr;
            closed = link->cv.wait_for(lk, std::chrono::seconds(5), [&] { return link->closed; });
        }
        if (closed)
            delete link; // else libnats may still call it: leave it
        natsConnection_Destroy(nc);
    }

    void closeFast()
    {
        if (!fast_)
            return;
        releaseFast(fast_, fastLink_);
        fastLink_ = nullptr;
        fast_ = nullptr;
        onFast_ = false;
        fastDown_ = false;
    }

    bool sameNode()
    {
        char a[128] = {}, b[128] = {};
        return !fastDown_ && natsConnection_GetConnectedServerId(nc_, a, sizeof a) == NATS_OK &&
               natsConnection_GetConnectedServerId(fast_, b, sizeof b) == NATS_OK && std::strcmp(a, b) == 0;
    }

    // Picks the connection for the next send (adaptive policy), sendMu_ held.
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
    natsConnection *route(bool &flushAfter, int64_t now)
    {
        int64_t gap = std::min<int64_t>(now - lastSendNs_, kPaceCapNs);
        lastSendNs_ = now;
        // Capped: one preemption must not make a burst look calm. Over some
        // 30 sends: a paced feed's few back-to-back sends are no burst.
        gapAvgNs_ += (std::min(gap, kAvgCapNs) - gapAvgNs_) / 32;
        const bool stalled = now < noFlushUntilNs_;
        if (!fast_) {
            // A send after a pause would wait for libnats' flusher: push it out.
            flushAfter = !stalled && gap > kIdleNs && natsConnection_Buffered(nc_) == 0;
            return nc_;
        }
        if (onFast_ && fastDown_)
            onFast_ = false; // it lost its broker: back to the main connection
        if (onFast_) {
            // Flat out: what went out on the fast connection must be in first.
            if (gapAvgNs_ < kBurstNs && !stalled) {
                if (natsConnection_FlushTimeout(fast_, kSwitchFlushMs) == NATS_OK)
                    onFast_ = false;
                else
                    noFlushUntilNs_ = now + stallQuietNs();
            }
        } else if (!stalled && !fastDown_ &&
                   (gapAvgNs_ > kCalmNs || (gap > kIdleNs && natsConnection_Buffered(nc_) == 0))) {
            // Calm again: this one goes out on the main connection at once;
            // its flush round trip also proves the burst has reached the broker.
            flushAfter = true;
        }
        return onFast_ ? fast_ : nc_;
    }

    trxClient_returnCode_t subscribe(const std::string &topic, int mode) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        std::string subject;
        topicToSubject(topic, true, subject);
        if (mode == 2) {
            {
                std::lock_guard<std::mutex> g(confirmMu_);
                confirmQ_.push_back(topic);
            }
            confirmCv_.notify_one();
            return TRXCLIENT_OK;
        }
        if (mode == 1) {
            std::vector<std::string> batch{topic};
            std::vector<std::pair<std::string, std::string>> denied;
            natsStatus fst = confirm(batch, denied);
            if (!denied.empty())
                return fail(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, "%s", denied[0].second.c_str());
            if (fst != NATS_OK)
                return fail(fst == NATS_TIMEOUT ? TRXCLIENT_SUBCODE_TIMEOUT : TRXCLIENT_SUBCODE_COMMUNICATION_ERROR,
                            "no answer from the broker for Topic '%s': %s",
                            topic.c_str(), natsStatus_GetText(fst));
            return TRXCLIENT_OK;
        }
        std::lock_guard<std::mutex> g(mu_);
        return addSub(topic, subject);
    }

    void unsubscribe(const std::string &topic) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        std::lock_guard<std::mutex> g(mu_);
        removeSub(topic);
    }

    trxClient_returnCode_t publish(const Msg &m) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        if (!nc_)
            return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, "not connected (Topic '%s')", m.topic());
        thread_local std::string subject, reply;
        topicToSubject(m.topic(), false, subject);
        if (m.hasReplyTo)
            topicToSubject(m.replyTo, false, reply);
        const char *rp = m.hasReplyTo ? reply.c_str() : nullptr;
        const void *data = m.attLen ? m.attPtr : nullptr;
        int len = static_cast<int>(m.attLen);
        std::unique_lock<std::mutex> order(sendMu_, std::defer_lock);
        if (policy_ == Adaptive)
            order.lock();
        thread_local std::vector<uint8_t> framed;
        framed.clear();
        if (encodeEnvelope(m, framed)) {
            if (m.attLen)
                framed.insert(framed.end(), static_cast<const uint8_t *>(data),
                              static_cast<const uint8_t *>(data) + m.attLen);
            data = framed.data();
            len = static_cast<int>(framed.size());
        }
        // While libnats reconnects it holds the connection's lock for whole
        // connect attempts: sends then wait here for the reconnect instead.
        if (linkDown_.load(std::memory_order_acquire)) {
            std::lock_guard<std::mutex> g(holdMu_);
            if (linkDown_.load(std::memory_order_relaxed)) {
                if (policy_ == Adaptive)
                    onFast_ = false; // the held messages go out on the main connection
                if (len > maxPayload_.load(std::memory_order_relaxed))
                    return tooLarge(len, m.topic());
                return hold(subject, rp, data, len, m.topic());
            }
        }
        natsConnection *target = nc_;
        bool flushAfter = false;
        if (policy_ == Adaptive)
            target = route(flushAfter, nowNs());
        natsStatus st = rp ? natsConnection_PublishRequest(target, subject.c_str(), rp, data, len)
                           : natsConnection_Publish(target, subject.c_str(), data, len);
        if (target == fast_ && st != NATS_OK && st != NATS_MAX_PAYLOAD && st != NATS_INVALID_SUBJECT) {
            onFast_ = false; // it is closed or closing: what it had sent is in, or lost with its socket
            target = nc_;
            st = rp ? natsConnection_PublishRequest(target, subject.c_str(), rp, data, len)
                    : natsConnection_Publish(target, subject.c_str(), data, len);
        }
        if (st == NATS_OK && flushAfter && !linkDown_.load(std::memory_order_relaxed)) {
            if (natsConnection_FlushTimeout(nc_, kSwitchFlushMs) != NATS_OK)
                noFlushUntilNs_ = nowNs() + stallQuietNs();
            else if (fast_ && sameNode())
                onFast_ = true;
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

    trxClient_returnCode_t testUnsent(int64_t &bytes) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        std::lock_guard<std::mutex> order(sendMu_);
        bytes = 0;
        for (natsConnection *c : {nc_, fast_})
            if (c)
                bytes += std::max(0, natsConnection_Buffered(c));
        return TRXCLIENT_OK;
    }

    std::string nodeName() override
    {
        std::lock_guard<std::mutex> g(mu_);
        return node_.empty() ? "nats" : node_;
    }

    std::string brokerName(const std::string &topic) override
    {
        std::string subject;
        topicToSubject(topic, true, subject);
        return "subject '" + subject + "'";
    }

    // The server this session was last connected to (also while it is lost).
    std::string lastUrl()
    {
        std::lock_guard<std::mutex> g(mu_);
        return url_.empty() ? urlText_ : url_;
    }

    std::string connectedUrl() override
    {
        char buf[256] = {};
        if (nc_ && natsConnection_GetConnectedUrl(nc_, buf, sizeof buf) == NATS_OK)
            return buf;
        return "";
    }

    void cacheRequest(CacheSession *cs, std::shared_ptr<CacheRequest> req) override
    {
        {
            std::lock_guard<std::mutex> g(cacheQMu_);
            cacheQ_.emplace_back(cs, std::move(req));
            if (!cacheThread_.joinable())
                cacheThread_ = std::thread([this] { cacheLoop(); });
        }
        cacheCv_.notify_all(); // cacheForget may wait on it too
    }

    void cacheForget(CacheSession *cs) override
    {
        std::unique_lock<std::mutex> lk(cacheQMu_);
        cacheQ_.erase(std::remove_if(cacheQ_.begin(), cacheQ_.end(), [cs](auto &item) { return item.first == cs; }),
                      cacheQ_.end());
        if (serving_ == cs) {
            forget_ = true; // no more tries for it
            cacheCv_.notify_all();
        }
        cacheCv_.wait(lk, [&] { return serving_ != cs; });
    }

    bool drain(int timeoutMs) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        if (!nc_ || !drainSub_)
            return true;
        // Flush: the broker has everything we sent. The marker then passes
        // through the delivery thread after whatever arrived before it.
        if (natsConnection_FlushTimeout(nc_, timeoutMs) != NATS_OK)
            return false;
        uint64_t want;
        {
            std::lock_guard<std::mutex> g(drainMu_);
            want = ++drainSent_;
        }
        std::string n = std::to_string(want);
        if (natsConnection_Publish(nc_, drainSubject_.c_str(), n.data(), static_cast<int>(n.size())) != NATS_OK)
            return false;
        natsConnection_FlushTimeout(nc_, timeoutMs);
        std::unique_lock<std::mutex> lk(drainMu_);
        return drainCv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return drainSeen_ >= want; });
    }

private:
    enum Policy { Adaptive, Batch, Immediate };
    static constexpr int64_t kIdleNs = 200000;    // a pause: the next send leaves at once
    static constexpr int64_t kBurstNs = 25000;    // average gap below which sends are batched
    static constexpr int64_t kCalmNs = 40000;     // average gap above which they leave at once again
    static constexpr int64_t kPaceCapNs = 10000000;
    static constexpr int64_t kAvgCapNs = 100000;  // largest gap an average takes in
    static constexpr int64_t kSwitchFlushMs = 100; // a healthy broker answers in well under a millisecond

    int64_t stallQuietNs() const { return keepAliveMs_ * keepAliveLimit_ * 1000000; }

    trxClient_returnCode_t tooLarge(int len, const char *topic)
    {
        return fail(TRXCLIENT_SUBCODE_MSG_TOO_LARGE,
                    "message of %d bytes exceeds the broker's limit of %lld bytes for Topic '%s'", len,
                    static_cast<long long>(maxPayload_.load()), topic);
    }

    trxClient_returnCode_t bufferFull(const char *topic)
    {
        return fail(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE,
                    "broker unreachable and the reconnect buffer of %zu bytes is full: Topic '%s' not sent",
                    holdLimit_, topic);
    }

    // Keeps a message for the reconnect; holdMu_ held.
    trxClient_returnCode_t hold(const std::string &subject, const char *reply, const void *data, int len,
                                const char *topic)
    {
        const size_t cost = subject.size() + (reply ? std::strlen(reply) : 0) + static_cast<size_t>(len);
        if (heldBytes_ + cost > holdLimit_)
            return bufferFull(topic);
        const auto *bytes = static_cast<const uint8_t *>(data);
        held_.push_back(Held{subject, reply ? reply : "", std::vector<uint8_t>(bytes, bytes + len), reply != nullptr});
        heldBytes_ += cost;
        return TRXCLIENT_OK;
    }

    // Hands the held messages to libnats, in order, once it is connected
    // again; what it refuses stays held for the next reconnect.
    void releaseHeld()
    {
        std::lock_guard<std::mutex> g(holdMu_);
        // Not against disconnect(), which waits for this callback's thread.
        std::shared_lock<std::shared_mutex> use(ncMu_, std::try_to_lock);
        if (!use.owns_lock() || !nc_)
            return;
        while (!held_.empty()) {
            const Held &h = held_.front();
            const void *data = h.data.empty() ? nullptr : h.data.data();
            const int len = static_cast<int>(h.data.size());
            natsStatus st = h.hasReply ? natsConnection_PublishRequest(nc_, h.subject.c_str(), h.reply.c_str(), data, len)
                                       : natsConnection_Publish(nc_, h.subject.c_str(), data, len);
            if (st == NATS_MAX_PAYLOAD) {
                // The node reconnected to takes less than the one lost.
                TRX_LOG(TRXCLIENT_LOG_WARNING, "message held for the reconnect dropped: %d bytes exceed the "
                        "broker's limit for subject '%s'", len, h.subject.c_str());
            } else if (st != NATS_OK) {
                TRX_LOG(TRXCLIENT_LOG_WARNING, "%zu messages held for the reconnect still wait: %s", held_.size(),
                        natsErrorText(st).c_str());
                return;
            }
            heldBytes_ -= h.subject.size() + h.reply.size() + h.data.size();
            held_.pop_front();
        }
        linkDown_.store(false, std::memory_order_release);
    }

    // The connection is gone for good (or closed): what is held can never go.
    void dropHeld(const char *why)
    {
        std::lock_guard<std::mutex> g(holdMu_);
        if (!held_.empty())
            TRX_LOG(TRXCLIENT_LOG_WARNING, "%zu messages held for the reconnect dropped: %s", held_.size(), why);
        held_.clear();
        heldBytes_ = 0;
    }

    // mu_ held.
    trxClient_returnCode_t addSub(const std::string &topic, const std::string &subject)
    {
        if (subs_.count(topic))
            return TRXCLIENT_OK;
        if (!nc_)
            return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, "not connected (Topic '%s')", topic.c_str());
        auto *sub = new Sub{this, nullptr, nextOrder_++};
        sub->wild = subject.find_first_of("*>") != std::string::npos;
        natsStatus st = natsConnection_Subscribe(&sub->ns, nc_, subject.c_str(), &NatsBackend::onMsg, sub);
        if (st != NATS_OK) {
            delete sub;
            return fail(TRXCLIENT_SUBCODE_COMMUNICATION_ERROR, "subscribe to Topic '%s' failed: %s", topic.c_str(),
                        natsErrorText(st).c_str());
        }
        natsSubscription_SetPendingLimits(sub->ns, 1000000, 256 * 1024 * 1024);
        natsSubscription_SetOnCompleteCB(sub->ns, &NatsBackend::onSubComplete, sub);
        live_++;
        subs_[topic] = sub;
        trie_.insert(subject, sub);
        if (sub->wild)
            wildSubs_++;
        return TRXCLIENT_OK;
    }

    // mu_ held.
    void removeSub(const std::string &topic)
    {
        auto it = subs_.find(topic);
        if (it == subs_.end())
            return;
        Sub *sub = it->second;
        std::string subject;
        topicToSubject(topic, true, subject);
        subs_.erase(it);
        trie_.erase(subject, sub);
        if (sub->wild)
            wildSubs_--;
        sub->active = false;
        natsSubscription_Unsubscribe(sub->ns);
        retired_.insert(sub); // libnats may still deliver to it: freed once it completes
        reap();
    }

    // Subscribes the batch, flushes, and tells which subjects the broker refused.
    // Returns the flush status: only NATS_OK settles the batch.
    natsStatus confirm(const std::vector<std::string> &topics, std::vector<std::pair<std::string, std::string>> &denied)
    {
        std::lock_guard<std::mutex> serial(confirmSerial_);
        const char *t0 = nullptr;
        natsStatus st0 = nc_ ? natsConnection_GetLastError(nc_, &t0) : NATS_OK;
        std::string text0 = t0 ? t0 : "";
        uint64_t seq0;
        std::set<std::string> subjects;
        std::map<std::string, std::string> subjectOf;
        for (auto &t : topics) {
            std::string subj;
            topicToSubject(t, true, subj);
            subjects.insert(subj);
            subjectOf[t] = subj;
        }
        {
            std::lock_guard<std::mutex> g(errMu_);
            seq0 = errSeq_;
            for (auto &s : subjects)
                confirming_.insert(s);
        }
        {
            std::lock_guard<std::mutex> g(mu_);
            for (auto &t : topics)
                addSub(t, subjectOf[t]);
        }
        natsStatus fst = nc_ ? natsConnection_FlushTimeout(nc_, connectTimeoutMs_) : NATS_CONNECTION_CLOSED;
        const char *t1 = nullptr;
        natsStatus st1 = nc_ ? natsConnection_GetLastError(nc_, &t1) : NATS_OK;
        std::string text1 = t1 ? t1 : "";
        std::set<std::string> refused;
        {
            std::unique_lock<std::mutex> lk(errMu_);
            auto refusedSince = [&] {
                refused.clear();
                for (auto &e : errLog_)
                    if (e.first > seq0 && e.second.rfind("Permissions Violation for Subscription to", 0) == 0) {
                        std::string subj = quoted(e.second);
                        if (subjects.count(subj))
                            refused.insert(subj);
                    }
            };
            bool changed = st1 != st0 || text1 != text0;
            if (changed && st1 == NATS_NOT_PERMITTED) {
                // The newest violation at flush time; once the error handler has
                // seen it, it has seen every earlier one of this batch too.
                errCv_.wait_for(lk, std::chrono::seconds(2), [&] {
                    for (auto &e : errLog_)
                        if (e.first > seq0 && e.second == text1)
                            return true;
                    return false;
                });
            } else if (!changed && st1 == NATS_NOT_PERMITTED && subjects.count(quoted(text1)) &&
                       text1.rfind("Permissions Violation for Subscription to", 0) == 0) {
                // Same text as before: an old refusal of this subject, or a new one.
                errCv_.wait_for(lk, std::chrono::seconds(1), [&] {
                    refusedSince();
                    return refused.count(quoted(text1)) > 0;
                });
            }
            refusedSince();
            for (auto &s : subjects)
                confirming_.erase(s);
        }
        if (fst != NATS_OK)
            TRX_LOG(TRXCLIENT_LOG_WARNING, "subscription flush failed: %s", natsStatus_GetText(fst));
        std::lock_guard<std::mutex> g(mu_);
        for (auto &t : topics) {
            if (refused.count(subjectOf[t])) {
                denied.emplace_back(t, "subscription refused by the broker for Topic '" + t + "'");
                removeSub(t);
            }
        }
        return fst;
    }

    void confirmLoop()
    {
        for (;;) {
            std::vector<std::string> batch;
            {
                std::unique_lock<std::mutex> lk(confirmMu_);
                confirmCv_.wait(lk, [&] { return stop_ || !confirmQ_.empty(); });
                if (stop_)
                    return;
                batch.assign(confirmQ_.begin(), confirmQ_.end());
                confirmQ_.clear();
            }
            std::vector<std::pair<std::string, std::string>> denied;
            natsStatus fst = confirm(batch, denied);
            std::set<std::string> bad;
            for (auto &d : denied) {
                bad.insert(d.first);
                s_->subscribeResult(d.first, false, TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, d.second);
            }
            if (fst != NATS_OK && natsConnection_Status(nc_) == NATS_CONN_STATUS_RECONNECTING) {
                // libnats sends the subscriptions again once reconnected: ask then.
                std::unique_lock<std::mutex> lk(confirmMu_);
                for (auto it = batch.rbegin(); it != batch.rend(); ++it)
                    if (!bad.count(*it))
                        confirmQ_.push_front(*it);
                confirmCv_.wait_for(lk, std::chrono::milliseconds(100), [&] { return stop_; });
                continue;
            }
            for (auto &t : batch)
                if (!bad.count(t)) {
                    if (fst == NATS_OK)
                        s_->subscribeResult(t, true, TRXCLIENT_SUBCODE_OK,
                                            "subscription confirmed for Topic '" + t + "'");
                    else
                        s_->subscribeResult(t, false, TRXCLIENT_SUBCODE_COMMUNICATION_ERROR,
                                            std::string("no answer from the broker for Topic '") + t +
                                                "': " + natsStatus_GetText(fst));
                }
            // Unsubscribed while its confirmation was under way: drop it now.
            for (auto &t : batch)
                if (!bad.count(t) && !s_->hasBrokerTopic(t)) {
                    std::lock_guard<std::mutex> g(mu_);
                    removeSub(t);
                }
        }
    }

    // ---- cache -------------------------------------------------------------------

    void cacheLoop()
    {
        for (;;) {
            std::pair<CacheSession *, std::shared_ptr<CacheRequest>> item;
            {
                std::unique_lock<std::mutex> lk(cacheQMu_);
                cacheCv_.wait(lk, [&] { return cacheStop_ || !cacheQ_.empty(); });
                if (cacheStop_)
                    return;
                item = cacheQ_.front();
                cacheQ_.pop_front();
                serving_ = item.first;
            }
            serveCache(item.first, *item.second);
            {
                std::lock_guard<std::mutex> g(cacheQMu_);
                serving_ = nullptr;
                forget_ = false;
            }
            cacheCv_.notify_all();
        }
    }

    static int64_t msLeft(Clock::time_point until)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    }

    // A try at a cache request either finishes it or leaves it for another
    // try, with the reason in busy.
    enum class Try { Done, Again };

    // A cluster electing a leader, or a request lost with the node that
    // carried it, answers nothing for a while: the request is asked again
    // until the cache answers or its time-out (CACHESESSION_REQUEST_TIMEOUT_MS)
    // ends it with the cache-timeout code.
    void serveCache(CacheSession *cs, CacheRequest &req)
    {
        const std::string &t = req.topic;
        const bool wild = t.find('*') != std::string::npos || t == ">" ||
                          (t.size() >= 2 && t.compare(t.size() - 2, 2, "/>") == 0);
        // A try waits a share of the time-out, so a request lost on the way
        // leaves time to ask again.
        const int64_t tryMs = std::clamp<int64_t>(cs->timeoutMs / 8, 200, 1000);
        int64_t pauseMs = 25;
        std::string busy;
        for (;;) {
            if (req.isFinished())
                return;
            const int64_t left = msLeft(req.deadline);
            if (left <= 0) {
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
            std::unique_lock<std::mutex> lk(cacheQMu_);
            if (cacheCv_.wait_for(lk, std::chrono::milliseconds(std::min(pauseMs, std::max<int64_t>(left, 1))),
                                  [&] { return cacheStop_ || forget_; }))
                return;
            pauseMs = std::min<int64_t>(pauseMs * 2, 400);
        }
    }

    Try tryTopic(CacheSession *cs, CacheRequest &req, int64_t waitMs, std::string &busy)
    {
        // A server with JetStream leaves a direct get of a missing stream
        // unanswered: until the stream is known to be there, its info (which
        // answers at once) goes first. Info that cannot be had (no leader)
        // does not stop the direct get: every replica answers those.
        if (verifiedStream_ != cs->stream && streamUnusable(cs, req, waitMs, busy))
            return Try::Done;
        std::string subject;
        topicToSubject(req.topic, false, subject);
        jsOptions jo;
        jsOptions_Init(&jo);
        jo.Wait = waitMs;
        jsDirectGetMsgOptions dg;
        jsDirectGetMsgOptions_Init(&dg);
        dg.LastBySubject = subject.c_str();
        natsMsg *nm = nullptr;
        natsStatus st = js_ && nc_ ? js_DirectGetMsg(&nm, js_, cs->stream.c_str(), &jo, &dg) : NATS_CONNECTION_CLOSED;
        if (st == NATS_NOT_FOUND) {
            cs->complete(req.seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_NO_CACHED_DATA, {});
            return Try::Done;
        }
        if (st != NATS_OK)
            verifiedStream_.clear();
        if (st == NATS_NO_RESPONDERS) {
            // Without JetStream, without the stream, or before any replica
            // has started, nobody answers a direct get; the info tells which.
            if (streamUnusable(cs, req, waitMs, busy))
                return Try::Done;
            busy = "no server answers direct gets for cache stream " + cs->stream + " on " + lastUrl() + " yet";
            return Try::Again;
        }
        if (jetStreamBusy(st, static_cast<jsErrCode>(0))) {
            busy = "no answer from cache stream " + cs->stream + " on " + lastUrl() + " within " +
                   std::to_string(waitMs) + " ms";
            return Try::Again;
        }
        if (st != NATS_OK) {
            std::string why = "cache stream '" + cs->stream + "' for Topic '" + req.topic + "': " + natsErrorText(st);
            TRX_LOG(TRXCLIENT_LOG_INFO, "%s", why.c_str());
            cs->complete(req.seq, TRXCLIENT_FAIL, TRXCLIENT_SUBCODE_CACHE_ERROR, {}, why);
            return Try::Done;
        }
        Msg *m = fromNats(nm, true);
        if (!m) {
            cs->complete(req.seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_NO_CACHED_DATA, {});
            return Try::Done;
        }
        bool suspect = false;
        const char *ts = nullptr;
        if (cs->maxAgeMs && natsMsgHeader_Get(static_cast<natsMsg *>(m->natsMsg), "Nats-Time-Stamp", &ts) == NATS_OK &&
            ts) {
            std::tm tm{};
            const char *rest = strptime(ts, "%Y-%m-%dT%H:%M:%S", &tm);
            if (rest) {
                int64_t stored = static_cast<int64_t>(timegm(&tm)) * 1000;
                int64_t nowMs = static_cast<int64_t>(std::time(nullptr)) * 1000;
                suspect = nowMs - stored > static_cast<int64_t>(cs->maxAgeMs);
            }
        }
        m->cacheStatus = suspect ? TRXCLIENT_CACHE_MSG_SUSPECT : TRXCLIENT_CACHE_MSG_CACHED;
        cs->complete(req.seq, suspect ? TRXCLIENT_INCOMPLETE : TRXCLIENT_OK,
                     suspect ? TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT : TRXCLIENT_SUBCODE_OK, {m});
        return Try::Done;
    }

    // Asks for the cache stream's info and finishes the request (true) when
    // the stream cannot serve it at all, saying why and what to do about it.
    // An answer that only means "not now" (no leader) sets busy.
    bool streamUnusable(CacheSession *cs, CacheRequest &req, int64_t waitMs, std::string &busy)
    {
        jsStreamInfo *si = nullptr;
        jsErrCode jerr = static_cast<jsErrCode>(0);
        jsOptions io;
        jsOptions_Init(&io);
        io.Wait = std::max<int64_t>(1, waitMs / 2); // answered at once by any leader there is
        natsStatus st = js_ && nc_ ? js_GetStreamInfo(&si, js_, cs->stream.c_str(), &io, &jerr)
                                   : NATS_CONNECTION_CLOSED;
        const bool direct = si && si->Config && si->Config->AllowDirect;
        if (si)
            jsStreamInfo_Destroy(si);
        const std::string url = connectedUrl();
        std::string why;
        trxClient_subCode_t sc = TRXCLIENT_SUBCODE_CACHE_UNAVAILABLE;
        if (st == NATS_OK && direct) {
            verifiedStream_ = cs->stream;
            return false;
        }
        if (st == NATS_OK) {
            why = "cache stream '" + cs->stream + "' on " + url +
                  " does not answer direct gets; make it again with: trxcache create PATTERN";
            sc = TRXCLIENT_SUBCODE_CACHE_ERROR;
        } else if (jetStreamBusy(st, jerr)) {
            busy = "cache stream " + cs->stream + " on " + lastUrl() + " has no leader yet: " + natsErrorText(st);
            return false;
        } else {
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
    Try tryWildcard(CacheSession *cs, CacheRequest &req, int64_t waitMs, std::string &busy)
    {
        std::string subject;
        topicToSubject(req.topic, true, subject);
        jsOptions jo;
        jsOptions_Init(&jo);
        jo.Wait = waitMs;
        jsSubOptions so;
        jsSubOptions_Init(&so);
        so.Stream = cs->stream.c_str();
        so.Ordered = true;
        so.Config.DeliverPolicy = js_DeliverLastPerSubject;
        natsSubscription *sub = nullptr;
        jsErrCode jerr = static_cast<jsErrCode>(0);
        natsStatus st = js_ && nc_ ? js_SubscribeSync(&sub, js_, subject.c_str(), &jo, &so, &jerr)
                                   : NATS_CONNECTION_CLOSED;
        if (st != NATS_OK) {
            std::string text = natsErrorText(st);
            TRX_LOG(TRXCLIENT_LOG_INFO, "cache stream '%s' for Topic '%s': %s (JetStream error %d)",
                    cs->stream.c_str(), req.topic.c_str(), text.c_str(), static_cast<int>(jerr));
            // The stream holds no such subjects at all: nothing cached.
            if (text.find("filter subject") != std::string::npos) {
                cs->complete(req.seq, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_NO_CACHED_DATA, {});
                return Try::Done;
            }
            // A consumer needs the stream's leader.
            if (jetStreamBusy(st, jerr)) {
                busy = "cache stream " + cs->stream + " on " + lastUrl() + " has no leader yet: " + text;
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
        uint64_t pending = 0;
        jsConsumerInfo *ci = nullptr;
        if (natsSubscription_GetConsumerInfo(&ci, sub, &jo, &jerr) == NATS_OK) {
            pending = ci->NumPending + ci->Delivered.Consumer;
            jsConsumerInfo_Destroy(ci);
        }
        std::vector<Msg *> msgs;
        bool suspect = false, timedOut = false;
        for (uint64_t n = 0; n < pending; ++n) {
            const int64_t left = msLeft(req.deadline);
            natsMsg *nm = nullptr;
            if (left <= 0 || natsSubscription_NextMsg(&nm, sub, left) != NATS_OK) {
                timedOut = true;
                break;
            }
            jsMsgMetaData *meta = nullptr;
            uint64_t rest = 1;
            int64_t stamp = 0;
            if (natsMsg_GetMetaData(&meta, nm) == NATS_OK) {
                rest = meta->NumPending;
                stamp = meta->Timestamp;
                jsMsgMetaData_Destroy(meta);
            }
            Msg *m = fromNats(nm, true);
            // A level ending in '*' was widened for the server: test exactly here.
            if (m && topicMatches(req.topic, m->topic()) && msgs.size() < s_->requestMsgLimit()) {
                bool old = cs->maxAgeMs && stamp &&
                           std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                                       .count() -
                                   stamp / 1000000 >
                               static_cast<int64_t>(cs->maxAgeMs);
                m->cacheStatus = old ? TRXCLIENT_CACHE_MSG_SUSPECT : TRXCLIENT_CACHE_MSG_CACHED;
                suspect = suspect || old;
                msgs.push_back(m);
            } else {
                delete m;
            }
            if (rest == 0)
                break;
        }
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
        trxClient_returnCode_t rc = TRXCLIENT_OK;
        trxClient_subCode_t sc = TRXCLIENT_SUBCODE_OK;
        if (timedOut) {
            rc = TRXCLIENT_INCOMPLETE;
            sc = TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT;
        } else if (msgs.empty()) {
            rc = TRXCLIENT_INCOMPLETE;
            sc = TRXCLIENT_SUBCODE_NO_CACHED_DATA;
        } else if (suspect) {
            rc = TRXCLIENT_INCOMPLETE;
            sc = TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT;
        }
        cs->complete(req.seq, rc, sc, std::move(msgs));
        return Try::Done;
    }

    // ---- receive -----------------------------------------------------------------

    // Builds our message around a libnats one (kept for its data); null,
    // with the libnats one freed, for a subject or reply that no topic can
    // stand for.
    static Msg *fromNats(natsMsg *nm, bool fromCache)
    {
        Msg *m = new Msg;
        m->natsMsg = nm;
        const char *subj = natsMsg_GetSubject(nm);
        const char *orig = nullptr;
        if (fromCache && natsMsgHeader_Get(nm, "Nats-Subject", &orig) == NATS_OK && orig)
            subj = orig;
        bool clean = subjectToTopic(subj, m->topicOwned);
        m->hasTopic = true;
        const char *r = natsMsg_GetReply(nm);
        if (r && *r && !fromCache) {
            clean = subjectToTopic(r, m->replyTo) && clean;
            m->hasReplyTo = true;
        }
        if (!clean) {
            refusedNul(subj, m->hasReplyTo ? r : "");
            delete m;
            return nullptr;
        }
        if (decodeEnvelope(reinterpret_cast<const uint8_t *>(natsMsg_GetData(nm)),
                           static_cast<size_t>(natsMsg_GetDataLength(nm)), *m) == EnvelopeResult::Malformed)
            TRX_LOG(TRXCLIENT_LOG_WARNING, "malformed envelope on subject %s: delivered as a plain attachment",
                    natsMsg_GetSubject(nm));
        return m;
    }

    // Peers may send any number of these: the log says so once a second.
    static void refusedNul(const char *subject, const char *reply)
    {
        static std::atomic<int64_t> lastNs{0};
        static std::atomic<uint64_t> unlogged{0};
        int64_t now = nowNs(), last = lastNs.load();
        if (now - last < 1000000000 || !lastNs.compare_exchange_strong(last, now)) {
            unlogged++;
            return;
        }
        TRX_LOG(TRXCLIENT_LOG_WARNING,
                "message refused: subject '%s' (reply '%s') holds %%00, a NUL byte no topic may hold "
                "(%llu more such messages refused since the last report)",
                subject, reply, static_cast<unsigned long long>(unlogged.exchange(0)));
    }

    static void onMsg(natsConnection *, natsSubscription *, natsMsg *nm, void *closure)
    {
        Sub *sub = static_cast<Sub *>(closure);
        NatsBackend *be = sub->be;
        if (be->closing_) {
            natsMsg_Destroy(nm);
            return;
        }
        if (be->wildSubs_.load(std::memory_order_acquire) == 0) {
            // Distinct subjects without wildcards never overlap: the session's
            // own match is the only one this message needs.
            if (!sub->active.load(std::memory_order_acquire)) {
                natsMsg_Destroy(nm);
                return;
            }
        } else {
            // Overlapping subscriptions each get a copy from the server: only
            // the oldest matching one passes it on.
            std::lock_guard<std::mutex> g(be->mu_);
            if (!sub->active) {
                natsMsg_Destroy(nm);
                return;
            }
            uint64_t min = UINT64_MAX;
            be->trie_.match(natsMsg_GetSubject(nm), [&](Sub *s) { min = std::min(min, s->order); });
            if (min != sub->order) {
                natsMsg_Destroy(nm);
                return;
            }
        }
        if (Msg *m = fromNats(nm, false))
            be->s_->deliver(m, true);
    }

    static void onDrainMsg(natsConnection *, natsSubscription *, natsMsg *nm, void *closure)
    {
        NatsBackend *be = static_cast<NatsBackend *>(closure);
        uint64_t n = std::strtoull(natsMsg_GetData(nm), nullptr, 10);
        natsMsg_Destroy(nm);
        std::lock_guard<std::mutex> g(be->drainMu_);
        be->drainSeen_ = std::max(be->drainSeen_, n);
        be->drainCv_.notify_all();
    }

    static void onSubComplete(void *closure)
    {
        Sub *sub = static_cast<Sub *>(closure);
        NatsBackend *be = sub->be;
        std::lock_guard<std::mutex> g(be->liveMu_);
        be->completed_.push_back(sub);
        be->live_--;
        be->liveCv_.notify_all();
    }

    // Frees unsubscribed subscriptions that libnats has finished with, so a
    // long-lived session with churning subscriptions keeps its memory. mu_ held.
    void reap()
    {
        std::vector<Sub *> done;
        {
            std::lock_guard<std::mutex> g(liveMu_);
            done.swap(completed_);
        }
        for (Sub *sub : done)
            if (retired_.erase(sub)) {
                natsSubscription_Destroy(sub->ns);
                delete sub;
            }
    }

    // ---- connection events ---------------------------------------------------------

    template <class F>
    static void withBackend(void *closure, F f)
    {
        Link *l = static_cast<Link *>(closure);
        std::lock_guard<std::mutex> g(l->mu);
        if (l->be && !l->be->closing_)
            f(l->be);
    }

    static void onDisconnected(natsConnection *, void *closure)
    {
        const bool secondary = static_cast<Link *>(closure)->secondary;
        withBackend(closure, [secondary](NatsBackend *be) {
            if (secondary) {
                be->fastDown_ = true;
                return;
            }
            be->linkDown_.store(true, std::memory_order_release);
            be->s_->connectionLost("connection to " + be->lastUrl() + " lost");
        });
    }

    static void onReconnected(natsConnection *nc, void *closure)
    {
        withBackend(closure, [nc](NatsBackend *be) {
            be->maxPayload_ = natsConnection_GetMaxPayload(nc);
            be->releaseHeld();
            char id[128] = {}, url[256] = {};
            natsConnection_GetConnectedUrl(nc, url, sizeof url);
            {
                std::lock_guard<std::mutex> g(be->mu_);
                if (natsConnection_GetConnectedServerId(nc, id, sizeof id) == NATS_OK && id[0])
                    be->node_ = id;
                if (url[0])
                    be->url_ = url;
            }
            be->s_->connectionRestored();
        });
    }

    static void onClosed(natsConnection *, void *closure)
    {
        Link *l = static_cast<Link *>(closure);
        std::lock_guard<std::mutex> g(l->mu);
        if (l->be && !l->be->closing_ && l->secondary) {
            l->be->fastDown_ = true;
            {
                std::lock_guard<std::mutex> g(l->be->fastMu_);
                l->be->fastLost_ = true;
            }
            l->be->fastCv_.notify_all();
        } else if (l->be && !l->be->closing_) {
            l->be->dropHeld("the connection to the broker is closed");
            l->be->s_->connectionDown(TRXCLIENT_SUBCODE_COMMUNICATION_ERROR,
                                      "connection to " + l->be->lastUrl() +
                                          " given up: reconnect attempts exhausted (SESSION_RECONNECT_RETRIES=" +
                                          std::to_string(l->be->reconnectRetries_) + ")");
        }
        l->closed = true;
        l->cv.notify_all();
    }

    static void onDiscovered(natsConnection *nc, void *closure)
    {
        withBackend(closure, [nc](NatsBackend *be) {
            char **servers = nullptr;
            int n = 0;
            std::string list;
            if (natsConnection_GetDiscoveredServers(nc, &servers, &n) == NATS_OK) {
                for (int i = 0; i < n; ++i) {
                    list += (i ? "," : "") + std::string(servers[i]);
                    free(servers[i]);
                }
                free(servers);
            }
            be->s_->raiseEvent(TRXCLIENT_SESSION_EVENT_NODE_DISCOVERED_NOTICE, TRXCLIENT_SUBCODE_OK, 0,
                               "cluster nodes: " + list);
        });
    }

    static void onLameDuck(natsConnection *, void *closure)
    {
        withBackend(closure, [](NatsBackend *be) {
            be->s_->raiseEvent(TRXCLIENT_SESSION_EVENT_ASYNC_ERROR_WARNING, TRXCLIENT_SUBCODE_SERVER_ERROR, 0,
                               "broker node is shutting down (lame duck mode)");
        });
    }

    static void onError(natsConnection *nc, natsSubscription *, natsStatus err, void *closure)
    {
        // libnats hands each error callback its own text as this thread's last
        // error; the connection's holds only the newest, so refusals arriving
        // together would all read the last one.
        const char *t = nats_GetLastError(nullptr);
        if (!t || !*t)
            natsConnection_GetLastError(nc, &t);
        std::string text = t && *t ? t : natsStatus_GetText(err);
        withBackend(closure, [&](NatsBackend *be) { be->handleError(err, text); });
    }

    void handleError(natsStatus err, const std::string &text)
    {
        if (err == NATS_NOT_PERMITTED) {
            bool confirming;
            std::string subj = quoted(text);
            {
                std::lock_guard<std::mutex> g(errMu_);
                errLog_.emplace_back(++errSeq_, text);
                if (errLog_.size() > 4096)
                    errLog_.pop_front();
                confirming = confirming_.count(subj) > 0;
                errCv_.notify_all();
            }
            if (text.rfind("Permissions Violation for Subscription to", 0) == 0) {
                if (confirming)
                    return; // the confirmation reports it
                std::vector<std::string> topics;
                {
                    std::lock_guard<std::mutex> g(mu_);
                    if (const auto *refused = trie_.values(subj))
                        for (auto &p : subs_)
                            if (std::find(refused->begin(), refused->end(), p.second) != refused->end())
                                topics.push_back(p.first);
                    for (auto &tp : topics)
                        removeSub(tp);
                }
                for (auto &tp : topics)
                    s_->subscriptionLost(tp, TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED,
                                         "subscription refused by the broker for Topic '" + tp + "'");
                return;
            }
            if (text.rfind("Permissions Violation for Publish", 0) == 0) {
                std::string topic;
                subjectToTopic(subj, topic);
                s_->raiseEvent(TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR, TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED, 0,
                               "publication refused by the broker for Topic '" + topic + "'");
                return;
            }
        }
        if (err == NATS_SLOW_CONSUMER) {
            s_->raiseEvent(TRXCLIENT_SESSION_EVENT_RX_MSG_DISCARD_WARNING, TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, 0,
                           "messages dropped before delivery (slow consumer)");
            return;
        }
        s_->raiseEvent(TRXCLIENT_SESSION_EVENT_ASYNC_ERROR_WARNING, TRXCLIENT_SUBCODE_SERVER_ERROR, 0,
                       "broker error: " + text);
    }

    Session *s_;
    std::string urlText_;
    NatsAccess access_;
    int64_t connectTimeoutMs_ = 2000, reconnectWaitMs_ = 100, keepAliveMs_ = 250;
    int connectRetries_ = 0, reconnectRetries_ = -1, keepAliveLimit_ = 3;
    Policy policy_ = Adaptive;
    std::mutex sendMu_; // adaptive: order of sends and the connection they use
    int64_t lastSendNs_ = 0;
    int64_t gapAvgNs_ = kAvgCapNs;
    bool onFast_ = false;
    int64_t noFlushUntilNs_ = 0; // no switch round trips before this (a broker missed one)
    natsConnection *fast_ = nullptr; // replaced by keepFast(), sendMu_ held
    Link *fastLink_ = nullptr;
    std::atomic<bool> fastDown_{false};
    natsOptions *fastOpts_ = nullptr;
    std::mutex fastMu_; // the keeper's: fastLost_, fastStop_
    std::condition_variable fastCv_;
    bool fastLost_ = false, fastStop_ = false;
    std::thread fastKeeper_;

    // Sends while the main connection is lost, for the reconnect.
    struct Held {
        std::string subject, reply;
        std::vector<uint8_t> data;
        bool hasReply;
    };
    std::atomic<bool> linkDown_{false}; // set by the disconnect callback, cleared once held_ is out
    std::atomic<int64_t> maxPayload_{1 << 20}; // of the node last connected
    std::mutex holdMu_;
    std::deque<Held> held_;
    size_t heldBytes_ = 0, holdLimit_ = 8 << 20;

    std::shared_mutex ncMu_; // shared: users of nc_; exclusive: its teardown
    natsConnection *nc_ = nullptr;
    jsCtx *js_ = nullptr;
    Link *link_ = nullptr;
    std::atomic<bool> closing_{false};

    std::mutex mu_; // subs_, trie_, retired_, node_
    std::unordered_map<std::string, Sub *> subs_;
    TopicTrie<Sub *> trie_{'.'};
    std::atomic<int> wildSubs_{0}; // subscriptions in trie_ with a wildcard (changed under mu_)
    std::unordered_set<Sub *> retired_;
    std::vector<Sub *> completed_; // subscriptions libnats is done with (liveMu_)
    uint64_t nextOrder_ = 1;
    std::string node_, url_;

    std::mutex liveMu_;
    std::condition_variable liveCv_;
    std::atomic<int> live_{0};

    std::mutex errMu_;
    std::condition_variable errCv_;
    std::deque<std::pair<uint64_t, std::string>> errLog_;
    uint64_t errSeq_ = 0;
    std::set<std::string> confirming_;

    std::mutex confirmMu_, confirmSerial_;
    std::condition_variable confirmCv_;
    std::deque<std::string> confirmQ_;
    bool stop_ = false;
    std::thread confirmThread_;

    std::mutex cacheQMu_;
    std::condition_variable cacheCv_;
    std::deque<std::pair<CacheSession *, std::shared_ptr<CacheRequest>>> cacheQ_;
    bool cacheStop_ = false;
    CacheSession *serving_ = nullptr;
    bool forget_ = false; // the cache session served is going: stop asking for it
    std::string verifiedStream_; // the cache thread's: the stream last found present
    std::thread cacheThread_;

    std::string drainSubject_;
    Sub *drainSub_ = nullptr;
    std::mutex drainMu_;
    std::condition_variable drainCv_;
    uint64_t drainSent_ = 0, drainSeen_ = 0;
};

} // namespace

std::unique_ptr<Backend> makeNatsBackend(Session *s, const std::string &urls)
{
    auto be = std::make_unique<NatsBackend>(s, urls);
    if (be->configure() != TRXCLIENT_OK)
        return nullptr;
    return be;
}

} // namespace trx
