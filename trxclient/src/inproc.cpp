// In-process broker: every session of the process that names the same broker
// shares it. Delivery happens on the publishing thread, in publish order, into
// each subscriber session's receive queue, so tests get a fixed order.
#include "inproc.h"

#include "cacheSession.h"
#include "clock.h"
#include "errors.h"
#include "log.h"
#include "msg.h"
#include "session.h"
#include "topic.h"
#include "trxClientTest.h"

#include <algorithm>

namespace trx
{
namespace
{

class InprocBackend;

struct Broker
{
    std::string name;
    std::mutex mu;
    struct Sub
    {
        InprocBackend* be;
        std::string pattern;
    };
    TopicTrie<Sub*> trie;
    std::map<std::string, std::string> users;
    bool refuseLogin = false;
    std::vector<std::string> denySub, denyPub;
    uint32_t maxMsgSize = 0;
    bool cacheSilent = false;
    struct Cached
    {
        std::unique_ptr<Msg> msg;
        bool suspect = false;
        Clock::time_point at;
    };
    std::map<std::string, Cached> cache;
    uint64_t seq = 0;

    static bool denied(const std::vector<std::string>& rules, const std::string& topic)
    {
        for (const std::string& r : rules)
            if (r == topic || topicMatches(r, topic))
                return true;
        return false;
    }
};

std::mutex gBrokersMu;
std::map<std::string, std::shared_ptr<Broker>> gBrokers;

std::shared_ptr<Broker> brokerNamed(const std::string& name)
{
    std::lock_guard<std::mutex> g(gBrokersMu);
    auto& b = gBrokers[name];
    if (!b)
    {
        b = std::make_shared<Broker>();
        b->name = name;
    }
    return b;
}

class InprocBackend : public Backend
{
public:
    InprocBackend(Session* s, std::shared_ptr<Broker> b) : mSession(s), mBroker(std::move(b)) {}
    ~InprocBackend() override { disconnect(); }

    trxClient_returnCode_t connect() override
    {
        std::string user = mSession->props().getStr("SESSION_USERNAME", "");
        std::string pass = mSession->props().getStr("SESSION_PASSWORD", "");
        std::lock_guard<std::mutex> g(mBroker->mu);
        if (mBroker->refuseLogin)
            return fail(TRXCLIENT_SUBCODE_LOGIN_FAILURE, "login refused by broker '%s' for user '%s'",
                        mBroker->name.c_str(), user.c_str());
        if (!mBroker->users.empty())
        {
            auto it = mBroker->users.find(user);
            if (it == mBroker->users.end() || it->second != pass)
                return fail(TRXCLIENT_SUBCODE_LOGIN_FAILURE, "login refused by broker '%s': bad credentials for '%s'",
                            mBroker->name.c_str(), user.c_str());
        }
        mAttached = true;
        return TRXCLIENT_OK;
    }

    void disconnect() override
    {
        std::lock_guard<std::mutex> g(mBroker->mu);
        for (auto& p : mSubs)
        {
            mBroker->trie.erase(p.first, p.second);
            delete p.second;
        }
        mSubs.clear();
        mAttached = false;
    }

    trxClient_returnCode_t subscribe(const std::string& topic, int mode) override
    {
        std::unique_lock<std::mutex> lk(mBroker->mu);
        if (Broker::denied(mBroker->denySub, topic))
        {
            lk.unlock();
            std::string text = "subscription refused by broker '" + mBroker->name + "' for Topic '" + topic + "'";
            if (mode == 1)
                return fail(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, "%s", text.c_str());
            mSession->subscriptionLost(topic, TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, text);
            return TRXCLIENT_OK;
        }
        if (!mSubs.count(topic))
        {
            auto* sub = new Broker::Sub{this, topic};
            mSubs.emplace(topic, sub);
            mBroker->trie.insert(topic, sub);
        }
        lk.unlock();
        if (mode == 2)
            mSession->subscribeResult(topic, true, TRXCLIENT_SUBCODE_OK,
                                      "subscription confirmed for Topic '" + topic + "'");
        return TRXCLIENT_OK;
    }

    void unsubscribe(const std::string& topic) override
    {
        std::lock_guard<std::mutex> g(mBroker->mu);
        auto it = mSubs.find(topic);
        if (it == mSubs.end())
            return;
        mBroker->trie.erase(topic, it->second);
        delete it->second;
        mSubs.erase(it);
    }

    trxClient_returnCode_t publish(const Msg& m) override
    {
        std::string topic = m.topic();
        std::vector<InprocBackend*> targets;
        std::unique_lock<std::mutex> lk(mBroker->mu);
        if (mBroker->maxMsgSize && m.attLen > mBroker->maxMsgSize)
            return fail(TRXCLIENT_SUBCODE_MSG_TOO_LARGE,
                        "message of %u bytes exceeds the broker's limit of %u bytes for Topic '%s'", m.attLen,
                        mBroker->maxMsgSize, topic.c_str());
        if (!mAttached)
            return TRXCLIENT_OK; // lost like on a broken connection
        if (Broker::denied(mBroker->denyPub, topic))
        {
            lk.unlock();
            mSession->raiseEvent(TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR, TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED, 0,
                                 "publication refused by broker '" + mBroker->name + "' for Topic '" + topic + "'");
            return TRXCLIENT_OK;
        }
        Broker::Cached& c = mBroker->cache[topic];
        c.msg.reset(copyForDelivery(m));
        c.suspect = false;
        c.at = Clock::now();
        uint64_t seq = ++mBroker->seq;
        mBroker->trie.match(topic,
                            [&](Broker::Sub* sub)
                            {
                                InprocBackend* be = sub->be;
                                if (be->mAttached && be->mLastSeq != seq)
                                {
                                    be->mLastSeq = seq; // one copy per session however many patterns match
                                    targets.push_back(be);
                                }
                            });
        for (InprocBackend* be : targets)
        {
            Msg* copy = copyForDelivery(m);
            if (copy)
            {
                copy->discard = false;
                be->mSession->deliver(copy);
            }
        }
        return TRXCLIENT_OK;
    }

    std::string nodeName() override
    {
        std::string n = "inproc-" + mBroker->name;
        std::replace(n.begin(), n.end(), '/', '_');
        return n;
    }
    std::string connectedUrl() override { return "inproc://" + mBroker->name; }

    void cacheRequest(CacheSession* cs, std::shared_ptr<CacheRequest> req) override
    {
        std::vector<Msg*> msgs;
        bool suspect = false;
        {
            std::lock_guard<std::mutex> g(mBroker->mu);
            if (mBroker->cacheSilent)
                return; // the request's timer answers
            auto now = Clock::now();
            auto take = [&](const Broker::Cached& c)
            {
                if (msgs.size() >= mSession->requestMsgLimit() || !c.msg)
                    return;
                Msg* m = copyForDelivery(*c.msg);
                bool old = cs->maxAgeMs && std::chrono::duration_cast<std::chrono::milliseconds>(now - c.at).count() >
                                               static_cast<long long>(cs->maxAgeMs);
                m->cacheStatus = (c.suspect || old) ? TRXCLIENT_CACHE_MSG_SUSPECT : TRXCLIENT_CACHE_MSG_CACHED;
                suspect = suspect || c.suspect || old;
                msgs.push_back(m);
            };
            bool wild = req->topic.find('*') != std::string::npos ||
                        (req->topic.size() >= 2 && req->topic.compare(req->topic.size() - 2, 2, "/>") == 0) ||
                        req->topic == ">";
            if (wild)
            {
                for (auto& e : mBroker->cache)
                    if (topicMatches(req->topic, e.first))
                        take(e.second);
            }
            else
            {
                auto it = mBroker->cache.find(req->topic);
                if (it != mBroker->cache.end())
                    take(it->second);
            }
        }
        trxClient_returnCode_t rc = TRXCLIENT_OK;
        trxClient_subCode_t sub = TRXCLIENT_SUBCODE_OK;
        if (msgs.empty())
        {
            rc = TRXCLIENT_INCOMPLETE;
            sub = TRXCLIENT_SUBCODE_NO_CACHED_DATA;
        }
        else if (suspect)
        {
            rc = TRXCLIENT_INCOMPLETE;
            sub = TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT;
        }
        cs->complete(req->seq, rc, sub, std::move(msgs));
    }

    trxClient_returnCode_t testDrop() override
    {
        {
            std::lock_guard<std::mutex> g(mBroker->mu);
            mAttached = false;
        }
        mSession->connectionLost("connection dropped (fault injection)");
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t testRestore() override
    {
        {
            std::lock_guard<std::mutex> g(mBroker->mu);
            mAttached = true;
        }
        mSession->connectionRestored();
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t testFail() override
    {
        {
            std::lock_guard<std::mutex> g(mBroker->mu);
            mAttached = false;
        }
        mSession->connectionDown(TRXCLIENT_SUBCODE_COMMUNICATION_ERROR, "connection failed (fault injection)");
        return TRXCLIENT_OK;
    }

    bool drain(int) override { return true; }

private:
    Session* mSession;
    std::shared_ptr<Broker> mBroker;
    bool mAttached = false; // guarded by the broker's lock
    uint64_t mLastSeq = 0;  // likewise
    std::unordered_map<std::string, Broker::Sub*> mSubs;
};

trxClient_returnCode_t badName(const char* fn)
{
    return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL broker name", fn);
}

} // namespace

std::unique_ptr<Backend> makeInprocBackend(Session* s, const std::string& name)
{
    return std::make_unique<InprocBackend>(s, brokerNamed(name));
}

} // namespace trx

using namespace trx;

extern "C"
{

    trxClient_returnCode_t trxClientTest_inproc_addUser(const char* broker, const char* username, const char* password)
    {
        if (!broker || !username || !password)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClientTest_inproc_addUser: NULL argument");
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        b->users[username] = password;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_inproc_refuseLogin(const char* broker, int refuse)
    {
        if (!broker)
            return badName(__func__);
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        b->refuseLogin = refuse != 0;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_inproc_denySubscribe(const char* broker, const char* pattern)
    {
        if (!broker || !pattern)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL argument", __func__);
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        b->denySub.emplace_back(pattern);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_inproc_denyPublish(const char* broker, const char* pattern)
    {
        if (!broker || !pattern)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL argument", __func__);
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        b->denyPub.emplace_back(pattern);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_inproc_clearRules(const char* broker)
    {
        if (!broker)
            return badName(__func__);
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        b->denySub.clear();
        b->denyPub.clear();
        b->users.clear();
        b->refuseLogin = false;
        b->maxMsgSize = 0;
        b->cacheSilent = false;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_inproc_setMaxMsgSize(const char* broker, uint32_t bytes)
    {
        if (!broker)
            return badName(__func__);
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        b->maxMsgSize = bytes;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_inproc_seedCache(const char* broker, trxClient_opaqueMsg_pt msg, int suspect)
    {
        Msg* m = toMsg(msg);
        if (!broker || !m)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL argument", __func__);
        trxClient_subCode_t sc = m->hasTopic ? checkTopic(m->topic()) : TRXCLIENT_SUBCODE_PARAM_NULL_PTR;
        if (sc != TRXCLIENT_SUBCODE_OK)
            return fail(sc, "%s: message needs a valid topic", __func__);
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        Broker::Cached& c = b->cache[m->topic()];
        c.msg.reset(copyForDelivery(*m));
        c.suspect = suspect != 0;
        c.at = Clock::now();
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_inproc_clearCache(const char* broker, const char* pattern)
    {
        if (!broker)
            return badName(__func__);
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        for (auto it = b->cache.begin(); it != b->cache.end();)
        {
            if (!pattern || it->first == pattern || topicMatches(pattern, it->first))
                it = b->cache.erase(it);
            else
                ++it;
        }
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_inproc_setCacheSilent(const char* broker, int silent)
    {
        if (!broker)
            return badName(__func__);
        auto b = brokerNamed(broker);
        std::lock_guard<std::mutex> g(b->mu);
        b->cacheSilent = silent != 0;
        return TRXCLIENT_OK;
    }

} // extern "C"
