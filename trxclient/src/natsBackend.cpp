// NATS backend over libnats. Topics map to subjects (topic.h); reply-to is the
// NATS reply subject; user map, delivery mode and "no attachment" ride in an
// envelope before the attachment (envelope.h). All subscriptions of a
// process share libnats' global delivery thread(s), never one thread each.
// This part owns the main connection and its events; sending, subscriptions
// and the cache are parts of their own (natsSender, natsSubscriptions,
// natsCache), each with its own state and locks.
#include "natsBackend.h"

#include "clock.h"
#include "errors.h"
#include "library.h"
#include "log.h"
#include "natsAccess.h"
#include "natsCache.h"
#include "natsSender.h"
#include "natsSubscriptions.h"
#include "props.h"
#include "session.h"

#include <nats/nats.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <shared_mutex>
#include <strings.h>

namespace trx
{
namespace
{

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
struct Link
{
    std::mutex mu;
    std::condition_variable cv;
    NatsBackend* be = nullptr;
    bool closed = false;
};

class NatsBackend : public Backend
{
public:
    NatsBackend(Session* s, std::string urls)
        : mSession(s), mUrlText(std::move(urls)),
          mSender([this](natsStatus err, const std::string& text) { handleError(err, text); }), mSubs(s),
          mCache(
              s, [this] { return lastUrl(); }, [this] { return connectedUrl(); })
    {
    }

    ~NatsBackend() override { disconnect(); }

    trxClient_returnCode_t configure()
    {
        const Props& p = mSession->props();
        NatsSender::Settings& send = mSender.settings;
        if (!p.readInt("SESSION_CONNECT_TIMEOUT_MS", 2000, 1, 600000, mConnectTimeoutMs) ||
            !p.readInt("SESSION_CONNECT_RETRIES", 0, 0, 1000000, mConnectRetries) ||
            !p.readInt("SESSION_RECONNECT_RETRIES", -1, -1, 1000000000, mReconnectRetries) ||
            !p.readInt("SESSION_RECONNECT_RETRY_WAIT_MS", 100, 1, 600000, mReconnectWaitMs) ||
            !p.readInt("SESSION_KEEP_ALIVE_INT_MS", 250, 10, 600000, mKeepAliveMs) ||
            !p.readInt("SESSION_KEEP_ALIVE_LIMIT", 3, 1, 1000, mKeepAliveLimit) ||
            !p.readInt("SESSION_RECONNECT_BUFFER_BYTES", 8 << 20, 0, 1ll << 30, send.holdLimit))
            return TRXCLIENT_FAIL;
        send.keepAliveMs = mKeepAliveMs;
        send.keepAliveLimit = mKeepAliveLimit;
        send.reconnectWaitMs = mReconnectWaitMs;
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
        std::string err;
        if (mAccess.parseUrls(mUrlText, kNames, err) != NatsAccess::Ok)
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        mAccess.user = p.getStr("SESSION_USERNAME", "");
        mAccess.password = p.getStr("SESSION_PASSWORD", "");
        mAccess.token = p.getStr("SESSION_TOKEN", "");
        mAccess.credsFile = p.getStr("SESSION_CREDS_FILE", "");
        mAccess.seedFile = p.getStr("SESSION_NKEY_SEED_FILE", "");
        mAccess.tlsCa = p.getStr("SESSION_TLS_CA_FILE", "");
        mAccess.tlsCert = p.getStr("SESSION_TLS_CERT_FILE", "");
        mAccess.tlsKey = p.getStr("SESSION_TLS_KEY_FILE", "");
        mAccess.verifyHostname = p.getStr("SESSION_TLS_VERIFY_HOSTNAME", "1") != "0";
        // Files are checked here, so a mistake shows at session creation with
        // the property it concerns.
        switch (mAccess.check(kNames, err))
        {
            case NatsAccess::Ok: return TRXCLIENT_OK;
            case NatsAccess::Conflict: return fail(TRXCLIENT_SUBCODE_PARAM_CONFLICT, "%s", err.c_str());
            default: return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        }
    }

    trxClient_returnCode_t connect() override
    {
        ensureDeliveryPool();
        // libnats holds its connection lock through a connect attempt, its
        // reconnects' too: a send that comes meanwhile waits for the attempt to
        // time out. An attempt therefore lasts no longer than a silent broker
        // is tolerated anyway (the keep-alive bound, as the write deadline),
        // and the first connect repeats timed-out attempts for
        // SESSION_CONNECT_TIMEOUT_MS.
        const int64_t attemptMs = std::min<int64_t>(mConnectTimeoutMs, mKeepAliveMs * mKeepAliveLimit);
        natsOptions* o = nullptr;
        trxClient_returnCode_t rc = makeOptions(o, attemptMs);
        if (rc != TRXCLIENT_OK)
            return rc;
        natsStatus st = dial(o, attemptMs);
        if (st != NATS_OK)
        {
            natsOptions_Destroy(o);
            delete mLink;
            mLink = nullptr;
            mNc = nullptr;
            return connectFailed(st);
        }
        char id[128] = {};
        if (natsConnection_GetConnectedServerId(mNc, id, sizeof id) != NATS_OK || !id[0])
            std::snprintf(id, sizeof id, "nats");
        {
            std::lock_guard<std::mutex> g(mMu);
            mNode = id;
            mUrl = connectedUrl();
        }
        natsConnection_JetStream(&mJs, mNc, nullptr);
        mCache.attach(mNc, mJs);
        mSubs.start(mNc, mConnectTimeoutMs);
        mSender.start(mNc, o);
        return TRXCLIENT_OK;
    }

    void disconnect() override
    {
        mSubs.stopConfirming();
        mCache.stop();
        // Senders on other threads finish with the connection before it goes.
        std::unique_lock<std::shared_mutex> own(mNcMu);
        if (!mNc)
            return;
        mClosing = true;
        mSubs.beginClose();
        mSender.stop();
        natsConnection_Close(mNc);
        bool closed;
        {
            std::unique_lock<std::mutex> lk(mLink->mu);
            mLink->be = nullptr;
            closed = mLink->cv.wait_for(lk, std::chrono::seconds(5), [&] { return mLink->closed; });
        }
        if (closed)
            delete mLink; // else libnats may still call it: leave it
        mLink = nullptr;
        mSubs.finish();
        mCache.attach(nullptr, nullptr);
        if (mJs)
            jsCtx_Destroy(mJs);
        mJs = nullptr;
        natsConnection_Destroy(mNc);
        mNc = nullptr;
        mSender.finish();
        mClosing = false;
    }

    trxClient_returnCode_t subscribe(const std::string& topic, int mode) override
    {
        std::shared_lock<std::shared_mutex> use(mNcMu);
        return mSubs.subscribe(topic, mode);
    }

    void unsubscribe(const std::string& topic) override
    {
        std::shared_lock<std::shared_mutex> use(mNcMu);
        mSubs.unsubscribe(topic);
    }

    trxClient_returnCode_t publish(const Msg& m) override
    {
        std::shared_lock<std::shared_mutex> use(mNcMu);
        if (!mNc)
            return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, "not connected (Topic '%s')", m.topic());
        return mSender.publish(m);
    }

    trxClient_returnCode_t testUnsent(int64_t& bytes) override
    {
        std::shared_lock<std::shared_mutex> use(mNcMu);
        bytes = mSender.unsent();
        return TRXCLIENT_OK;
    }

    std::string nodeName() override
    {
        std::lock_guard<std::mutex> g(mMu);
        return mNode.empty() ? "nats" : mNode;
    }

    std::string brokerName(const std::string& topic) override
    {
        std::string subject;
        topicToSubject(topic, true, subject);
        return "subject '" + subject + "'";
    }

    // The server this session was last connected to (also while it is lost).
    std::string lastUrl()
    {
        std::lock_guard<std::mutex> g(mMu);
        return mUrl.empty() ? mUrlText : mUrl;
    }

    std::string connectedUrl() override
    {
        char buf[256] = {};
        if (mNc && natsConnection_GetConnectedUrl(mNc, buf, sizeof buf) == NATS_OK)
            return buf;
        return "";
    }

    void cacheRequest(CacheSession* cs, std::shared_ptr<CacheRequest> req) override
    {
        mCache.request(cs, std::move(req));
    }

    void cacheForget(CacheSession* cs) override { mCache.forget(cs); }

    bool drain(int timeoutMs) override
    {
        std::shared_lock<std::shared_mutex> use(mNcMu);
        return mSubs.drain(timeoutMs);
    }

private:
    // ---- connecting ------------------------------------------------------------------

    // The main connection's options, its event callbacks (through a new
    // mLink) included.
    trxClient_returnCode_t makeOptions(natsOptions*& o, int64_t attemptMs)
    {
        if (natsOptions_Create(&o) != NATS_OK)
            return fail(TRXCLIENT_SUBCODE_OUT_OF_MEMORY, "cannot create libnats options");
        std::string err;
        if (!mAccess.apply(o, kNames, err))
        {
            natsOptions_Destroy(o);
            return fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
        }
        natsOptions_SetNoRandomize(o, true);
        natsOptions_SetTimeout(o, attemptMs);
        natsOptions_SetPingInterval(o, mKeepAliveMs);
        natsOptions_SetMaxPingsOut(o, mKeepAliveLimit);
        natsOptions_SetMaxReconnect(o, mReconnectRetries);
        natsOptions_SetReconnectWait(o, mReconnectWaitMs);
        natsOptions_SetReconnectJitter(o, 0, 0);
        natsOptions_UseGlobalMessageDelivery(o, true);
        natsOptions_SetSendAsap(o, mSender.settings.policy == NatsSender::Immediate);
        natsOptions_SetMaxPendingMsgs(o, 1000000);
        natsOptions_SetWriteDeadline(o, mKeepAliveMs * mKeepAliveLimit);
        if (mSender.settings.holdLimit > 0)
            natsOptions_SetReconnectBufSize(o, static_cast<int>(mSender.settings.holdLimit));
        mLink = new Link;
        mLink->be = this;
        natsOptions_SetDisconnectedCB(o, &NatsBackend::onDisconnected, mLink);
        natsOptions_SetReconnectedCB(o, &NatsBackend::onReconnected, mLink);
        natsOptions_SetClosedCB(o, &NatsBackend::onClosed, mLink);
        natsOptions_SetErrorHandler(o, &NatsBackend::onError, mLink);
        natsOptions_SetDiscoveredServersCB(o, &NatsBackend::onDiscovered, mLink);
        natsOptions_SetLameDuckModeCB(o, &NatsBackend::onLameDuck, mLink);
        return TRXCLIENT_OK;
    }

    // Connects mNc, SESSION_CONNECT_RETRIES times more after a failure.
    natsStatus dial(natsOptions* o, int64_t attemptMs)
    {
        natsStatus st = NATS_OK;
        for (int attempt = 0; attempt <= mConnectRetries; ++attempt)
        {
            const auto until = Clock::now() + std::chrono::milliseconds(mConnectTimeoutMs);
            do
                st = natsConnection_Connect(&mNc, o);
            while (st == NATS_TIMEOUT && Clock::now() + std::chrono::milliseconds(attemptMs) <= until);
            if (st == NATS_OK || st == NATS_CONNECTION_AUTH_FAILED)
                break;
            if (attempt < mConnectRetries)
                std::this_thread::sleep_for(std::chrono::milliseconds(mReconnectWaitMs));
        }
        return st;
    }

    trxClient_returnCode_t connectFailed(natsStatus st)
    {
        std::string text = natsErrorText(st);
        if (st == NATS_CONNECTION_AUTH_FAILED)
            return fail(TRXCLIENT_SUBCODE_LOGIN_FAILURE, "login refused by %s: %s", mUrlText.c_str(), text.c_str());
        if (st == NATS_NO_SERVER)
            return fail(TRXCLIENT_SUBCODE_BROKER_UNREACHABLE, "no broker reachable at %s: %s", mUrlText.c_str(),
                        text.c_str());
        if (st == NATS_TIMEOUT)
            return fail(TRXCLIENT_SUBCODE_TIMEOUT, "connect to %s timed out: %s", mUrlText.c_str(), text.c_str());
        return fail(TRXCLIENT_SUBCODE_COMMUNICATION_ERROR, "connect to %s failed: %s", mUrlText.c_str(), text.c_str());
    }

    // ---- connection events ---------------------------------------------------------

    template <class F>
    static void withBackend(void* closure, F f)
    {
        Link* l = static_cast<Link*>(closure);
        std::lock_guard<std::mutex> g(l->mu);
        if (l->be && !l->be->mClosing)
            f(l->be);
    }

    static void onDisconnected(natsConnection*, void* closure)
    {
        withBackend(closure,
                    [](NatsBackend* be)
                    {
                        be->mSender.linkDown();
                        be->mSession->connectionLost("connection to " + be->lastUrl() + " lost");
                    });
    }

    static void onReconnected(natsConnection* nc, void* closure)
    {
        withBackend(closure,
                    [nc](NatsBackend* be)
                    {
                        {
                            // Not against disconnect(), which waits for this callback's thread.
                            std::shared_lock<std::shared_mutex> use(be->mNcMu, std::try_to_lock);
                            if (use.owns_lock() && be->mNc)
                                be->mSender.linkUp(nc);
                        }
                        char id[128] = {}, url[256] = {};
                        natsConnection_GetConnectedUrl(nc, url, sizeof url);
                        {
                            std::lock_guard<std::mutex> g(be->mMu);
                            if (natsConnection_GetConnectedServerId(nc, id, sizeof id) == NATS_OK && id[0])
                                be->mNode = id;
                            if (url[0])
                                be->mUrl = url;
                        }
                        be->mSession->connectionRestored();
                    });
    }

    static void onClosed(natsConnection*, void* closure)
    {
        Link* l = static_cast<Link*>(closure);
        std::lock_guard<std::mutex> g(l->mu);
        if (l->be && !l->be->mClosing)
        {
            l->be->mSender.dropHeld("the connection to the broker is closed");
            l->be->mSession->connectionDown(TRXCLIENT_SUBCODE_COMMUNICATION_ERROR,
                                            "connection to " + l->be->lastUrl() +
                                                " given up: reconnect attempts exhausted (SESSION_RECONNECT_RETRIES=" +
                                                std::to_string(l->be->mReconnectRetries) + ")");
        }
        l->closed = true;
        l->cv.notify_all();
    }

    static void onDiscovered(natsConnection* nc, void* closure)
    {
        withBackend(closure,
                    [nc](NatsBackend* be)
                    {
                        char** servers = nullptr;
                        int n = 0;
                        std::string list;
                        if (natsConnection_GetDiscoveredServers(nc, &servers, &n) == NATS_OK)
                        {
                            for (int i = 0; i < n; ++i)
                            {
                                list += (i ? "," : "") + std::string(servers[i]);
                                free(servers[i]);
                            }
                            free(servers);
                        }
                        be->mSession->raiseEvent(TRXCLIENT_SESSION_EVENT_NODE_DISCOVERED_NOTICE, TRXCLIENT_SUBCODE_OK,
                                                 0, "cluster nodes: " + list);
                    });
    }

    static void onLameDuck(natsConnection*, void* closure)
    {
        withBackend(closure,
                    [](NatsBackend* be)
                    {
                        be->mSession->raiseEvent(TRXCLIENT_SESSION_EVENT_ASYNC_ERROR_WARNING,
                                                 TRXCLIENT_SUBCODE_SERVER_ERROR, 0,
                                                 "broker node is shutting down (lame duck mode)");
                    });
    }

    static void onError(natsConnection* nc, natsSubscription*, natsStatus err, void* closure)
    {
        const std::string text = natsCallbackErrorText(nc, err);
        withBackend(closure, [&](NatsBackend* be) { be->handleError(err, text); });
    }

    void handleError(natsStatus err, const std::string& text)
    {
        if (err == NATS_NOT_PERMITTED)
        {
            if (mSubs.refused(text))
                return;
            if (text.rfind("Permissions Violation for Publish", 0) == 0)
            {
                const size_t a = text.find('"'), b = text.rfind('"');
                std::string topic;
                if (a != std::string::npos && b != a)
                    subjectToTopic(text.substr(a + 1, b - a - 1), topic);
                mSession->raiseEvent(TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR, TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED,
                                     0, "publication refused by the broker for Topic '" + topic + "'");
                return;
            }
        }
        if (err == NATS_SLOW_CONSUMER)
        {
            mSession->raiseEvent(TRXCLIENT_SESSION_EVENT_RX_MSG_DISCARD_WARNING, TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE,
                                 0, "messages dropped before delivery (slow consumer)");
            return;
        }
        mSession->raiseEvent(TRXCLIENT_SESSION_EVENT_ASYNC_ERROR_WARNING, TRXCLIENT_SUBCODE_SERVER_ERROR, 0,
                             "broker error: " + text);
    }

    Session* mSession;
    std::string mUrlText;
    NatsAccess mAccess;
    int64_t mConnectTimeoutMs = 2000, mReconnectWaitMs = 100, mKeepAliveMs = 250;
    int mConnectRetries = 0, mReconnectRetries = -1, mKeepAliveLimit = 3;

    std::shared_mutex mNcMu; // shared: users of mNc; exclusive: its teardown
    natsConnection* mNc = nullptr;
    jsCtx* mJs = nullptr;
    Link* mLink = nullptr;
    std::atomic<bool> mClosing{false};

    std::mutex mMu; // mNode, mUrl
    std::string mNode, mUrl;

    NatsSender mSender;
    NatsSubscriptions mSubs;
    NatsCache mCache;
};

} // namespace

std::unique_ptr<Backend> makeNatsBackend(Session* s, const std::string& urls)
{
    auto be = std::make_unique<NatsBackend>(s, urls);
    if (be->configure() != TRXCLIENT_OK)
        return nullptr;
    return be;
}

} // namespace trx
