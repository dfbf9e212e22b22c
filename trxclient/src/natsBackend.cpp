// NATS backend over libnats. Topics map to subjects (topic.h); reply-to is the
// NATS reply subject; user map, delivery mode and "no attachment" ride in an
// envelope before the attachment (envelope.h). All subscriptions of a
// process share libnats' global delivery thread(s), never one thread each.
// This part owns the main connection and its events; sending, subscriptions
// and the cache are parts of their own (natsSender, natsSubscriptions,
// natsCache), each with its own state and locks.
#include "natsBackend.h"

#include "errors.h"
#include "log.h"
#include "natsAccess.h"
#include "natsCache.h"
#include "natsSender.h"
#include "natsSubscriptions.h"

#include <nats/nats.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <shared_mutex>
#include <strings.h>

namespace trx {
namespace {

// Server and credential settings as the session's properties name them.
const NatsAccessNames kNames{"SESSION_HOST",          "SESSION_USERNAME",       "SESSION_TOKEN",
                             "SESSION_CREDS_FILE",    "SESSION_NKEY_SEED_FILE", "SESSION_TLS_CA_FILE",
                             "SESSION_TLS_CERT_FILE", "SESSION_TLS_KEY_FILE",   "SESSION_TLS_VERIFY_HOSTNAME"};

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
};

class NatsBackend : public Backend {
public:
    NatsBackend(Session *s, std::string urls)
        : s_(s), urlText_(std::move(urls)),
          sender_([this](natsStatus err, const std::string &text) { handleError(err, text); }), subs_(s),
          cache_(s, [this] { return lastUrl(); }, [this] { return connectedUrl(); })
    {
    }

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
        NatsSender::Settings &send = sender_.settings;
        send.holdLimit = static_cast<size_t>(v);
        send.keepAliveMs = keepAliveMs_;
        send.keepAliveLimit = keepAliveLimit_;
        send.reconnectWaitMs = reconnectWaitMs_;
        std::string policy = p.getStr("SESSION_SEND_POLICY", "adaptive");
        if (strcasecmp(policy.c_str(), "adaptive") == 0)
            send.policy = NatsSender::Adaptive;
        else if (strcasecmp(policy.c_str(), "batch") == 0)
            send.policy = NatsSender::Batch;
        else if (strcasecmp(policy.c_str(), "immediate") == 0)
            send.policy = NatsSender::Immediate;
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
        natsOptions_SetSendAsap(o, sender_.settings.policy == NatsSender::Immediate);
        natsOptions_SetMaxPendingMsgs(o, 1000000);
        natsOptions_SetWriteDeadline(o, keepAliveMs_ * keepAliveLimit_);
        if (sender_.settings.holdLimit > 0)
            natsOptions_SetReconnectBufSize(o, static_cast<int>(sender_.settings.holdLimit));
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
        if (st != NATS_OK) {
            natsOptions_Destroy(o);
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
        natsConnection_JetStream(&js_, nc_, nullptr);
        cache_.attach(nc_, js_);
        subs_.start(nc_, connectTimeoutMs_);
        sender_.start(nc_, o);
        return TRXCLIENT_OK;
    }

    void disconnect() override
    {
        subs_.stopConfirming();
        cache_.stop();
        // Senders on other threads finish with the connection before it goes.
        std::unique_lock<std::shared_mutex> own(ncMu_);
        if (!nc_)
            return;
        closing_ = true;
        subs_.beginClose();
        sender_.stop();
        natsConnection_Close(nc_);
        bool closed;
        {
            std::unique_lock<std::mutex> lk(link_->mu);
            link_->be = nullptr;
            closed = link_->cv.wait_for(lk, std::chrono::seconds(5), [&] { return link_->closed; });
        }
        if (closed)
            delete link_; // else libnats may still call it: leave it
        link_ = nullptr;
        subs_.finish();
        cache_.attach(nullptr, nullptr);
        if (js_)
            jsCtx_Destroy(js_);
        js_ = nullptr;
        natsConnection_Destroy(nc_);
        nc_ = nullptr;
        sender_.finish();
        closing_ = false;
    }

    trxClient_returnCode_t subscribe(const std::string &topic, int mode) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        return subs_.subscribe(topic, mode);
    }

    void unsubscribe(const std::string &topic) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        subs_.unsubscribe(topic);
    }

    trxClient_returnCode_t publish(const Msg &m) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        if (!nc_)
            return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, "not connected (Topic '%s')", m.topic());
        return sender_.publish(m);
    }

    trxClient_returnCode_t testUnsent(int64_t &bytes) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        bytes = sender_.unsent();
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
        cache_.request(cs, std::move(req));
    }

    void cacheForget(CacheSession *cs) override { cache_.forget(cs); }

    bool drain(int timeoutMs) override
    {
        std::shared_lock<std::shared_mutex> use(ncMu_);
        return subs_.drain(timeoutMs);
    }

private:
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
        withBackend(closure, [](NatsBackend *be) {
            be->sender_.linkDown();
            be->s_->connectionLost("connection to " + be->lastUrl() + " lost");
        });
    }

    static void onReconnected(natsConnection *nc, void *closure)
    {
        withBackend(closure, [nc](NatsBackend *be) {
            {
                // Not against disconnect(), which waits for this callback's thread.
                std::shared_lock<std::shared_mutex> use(be->ncMu_, std::try_to_lock);
                if (use.owns_lock() && be->nc_)
                    be->sender_.linkUp(nc);
            }
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
        if (l->be && !l->be->closing_) {
            l->be->sender_.dropHeld("the connection to the broker is closed");
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
        const std::string text = natsCallbackErrorText(nc, err);
        withBackend(closure, [&](NatsBackend *be) { be->handleError(err, text); });
    }

    void handleError(natsStatus err, const std::string &text)
    {
        if (err == NATS_NOT_PERMITTED) {
            if (subs_.refused(text))
                return;
            if (text.rfind("Permissions Violation for Publish", 0) == 0) {
                const size_t a = text.find('"'), b = text.rfind('"');
                std::string topic;
                if (a != std::string::npos && b != a)
                    subjectToTopic(text.substr(a + 1, b - a - 1), topic);
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

    std::shared_mutex ncMu_; // shared: users of nc_; exclusive: its teardown
    natsConnection *nc_ = nullptr;
    jsCtx *js_ = nullptr;
    Link *link_ = nullptr;
    std::atomic<bool> closing_{false};

    std::mutex mu_; // node_, url_
    std::string node_, url_;

    NatsSender sender_;
    NatsSubscriptions subs_;
    NatsCache cache_;
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
