// Test harness: a session with its context thread, recording what arrives.
#pragma once

#include "trxClient.h"
#include "trxClientTest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace trxtest
{

struct Received
{
    std::string topic;
    std::string data;
    bool hasData = false;
    std::string replyTo;
    bool discard = false;
    int cacheStatus = 0;
    uint64_t cacheRequestId = 0;
    std::string mapText; // "key=value;..." in insertion order
    trxClient_deliveryMode_t deliveryMode = TRXCLIENT_DELIVERY_MODE_DIRECT;
    void* user = nullptr; // dispatch user pointer, or null for the session callback
};

struct Event
{
    int event;
    int subCode;
    std::string info;
    void* corr;
};

struct CacheDone
{
    int rc;
    int subCode;
    std::string topic;
    uint64_t id;
    void* user;
};

inline void initLibrary()
{
    static bool done = []
    {
        EXPECT_EQ(TRXCLIENT_OK, trxClient_initialize(TRXCLIENT_LOG_WARNING, nullptr));
        return true;
    }();
    (void)done;
}

class Client;

// Dispatch user pointers: they lead callbacks without a session back to their client.
struct Tag
{
    Client* owner;
    int id;
};

class Client
{
public:
    // props: extra session properties (name, value, ...).
    explicit Client(std::vector<std::string> props, bool connect = true)
    {
        initLibrary();
        const char* ctxProps[] = {"CONTEXT_CREATE_THREAD", "1", nullptr};
        EXPECT_EQ(TRXCLIENT_OK, trxClient_context_create(ctxProps, &ctx, nullptr, 0));
        mProps = std::move(props);
        std::vector<const char*> p;
        for (auto& s : mProps)
            p.push_back(s.c_str());
        p.push_back(nullptr);
        trxClient_session_createFuncInfo_t fi{};
        fi.eventInfo.callback_p = &Client::onEvent;
        fi.eventInfo.user_p = this;
        fi.rxMsgInfo.callback_p = &Client::onSessionMsg;
        fi.rxMsgInfo.user_p = this;
        createRc = trxClient_session_create(p.data(), ctx, &session, &fi, sizeof fi);
        if (createRc == TRXCLIENT_OK)
        {
            _trxClient_session_registerForTopicDispatchDestroy(session, &Client::onDispatchDestroy);
            if (connect)
                connectRc = trxClient_session_connect(session);
        }
        for (int i = 0; i < 8; ++i)
            tags[i] = Tag{this, i};
    }
    ~Client()
    {
        if (cache)
            trxClient_cacheSession_destroy(&cache);
        if (session)
            trxClient_session_destroy(&session);
        trxClient_context_destroy(&ctx);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    static trxClient_session_rxMsgDispatchFuncInfo_t dispatchInfo(Tag* tag)
    {
        return trxClient_session_rxMsgDispatchFuncInfo_t{TRXCLIENT_DISPATCH_TYPE_CALLBACK, &Client::onDispatchMsg, tag,
                                                         nullptr};
    }

    int subscribe(const std::string& topic, int tag = 0, uint32_t flags = TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM,
                  void* corr = nullptr)
    {
        auto d = dispatchInfo(&tags[tag]);
        return trxClient_session_topicSubscribeWithDispatch(session, flags, topic.c_str(), &d, corr);
    }
    int unsubscribe(const std::string& topic, int tag = 0, uint32_t flags = 0)
    {
        auto d = dispatchInfo(&tags[tag]);
        return trxClient_session_topicUnsubscribeWithDispatch(session, flags, topic.c_str(), &d, nullptr);
    }

    // A null data pointer sends no attachment at all.
    int publish(const std::string& topic, const std::string& data, const char* replyTo = nullptr,
                trxClient_opaqueContainer_pt map = nullptr,
                trxClient_deliveryMode_t mode = TRXCLIENT_DELIVERY_MODE_DIRECT, bool withData = true)
    {
        trxClient_opaqueMsg_pt m = nullptr;
        trxClient_msg_alloc(&m);
        trxClient_msg_setTopicPtr(m, topic.c_str());
        if (withData)
            trxClient_msg_setBinaryAttachmentPtr(m, data.data(), static_cast<uint32_t>(data.size()));
        trxClient_msg_setDeliveryMode(m, mode);
        if (replyTo)
        {
            trxClient_destination_t d{TRXCLIENT_TOPIC_DESTINATION, replyTo};
            trxClient_msg_setReplyTo(m, &d, sizeof d);
        }
        if (map)
            trxClient_msg_setUserPropertyMap(m, map);
        int rc = trxClient_session_sendMsg(session, m);
        trxClient_msg_free(&m);
        return rc;
    }

    bool drain(int ms = 5000) { return trxClientTest_context_drain(ctx, ms) == TRXCLIENT_OK; }

    template <class Pred>
    bool waitFor(Pred pred, int ms = 5000)
    {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return pred(); });
    }
    bool waitMsgs(size_t n, int ms = 5000)
    {
        return waitFor([&] { return msgs.size() >= n; }, ms);
    }
    bool waitEvent(int ev, int ms = 5000)
    {
        return waitFor([&] { return countEvents(ev) > 0; }, ms);
    }
    size_t countEvents(int ev) const
    {
        size_t n = 0;
        for (auto& e : events)
            n += e.event == ev;
        return n;
    }
    std::vector<int> eventNumbers()
    {
        std::lock_guard<std::mutex> g(mu);
        std::vector<int> out;
        for (auto& e : events)
            out.push_back(e.event);
        return out;
    }
    std::vector<Received> takeMsgs()
    {
        std::lock_guard<std::mutex> g(mu);
        std::vector<Received> out;
        out.swap(msgs);
        return out;
    }

    std::string replyToDefault()
    {
        char buf[300] = {};
        EXPECT_EQ(TRXCLIENT_OK,
                  trxClient_session_getProperty(session, "SESSION_REPLY_TO_DEFAULT_DEST", buf, sizeof buf));
        return buf;
    }

    trxClient_opaqueCacheSession_pt cacheSession(std::vector<const char*> props = {})
    {
        if (!cache)
        {
            props.push_back(nullptr);
            EXPECT_EQ(TRXCLIENT_OK, trxClient_session_createCacheSession(props.data(), session, &cache));
        }
        return cache;
    }
    int cacheRequest(const std::string& topic, uint64_t id, uint32_t flags = 25, int tag = 7)
    {
        return trxClient_cacheSession_sendCacheRequest(cacheSession(), topic.c_str(), id, &Client::onCacheDone,
                                                       &tags[tag], flags, 0);
    }

    trxClient_opaqueContext_pt ctx = nullptr;
    trxClient_opaqueSession_pt session = nullptr;
    trxClient_opaqueCacheSession_pt cache = nullptr;
    int createRc = -100, connectRc = -100;
    Tag tags[8];

    std::mutex mu;
    std::condition_variable cv;
    std::vector<Received> msgs;
    std::vector<Event> events;
    std::vector<std::pair<std::string, Tag*>> destroyed;
    std::vector<CacheDone> cacheDone;
    // Run for each message (event) before it is recorded, on the thread
    // that delivers it.
    std::function<void(const Received&)> onMsgHook;
    std::function<void(const Event&)> onEventHook;

private:
    static Received record(trxClient_opaqueMsg_pt msg, void* user)
    {
        Received r;
        trxClient_destination_t d{};
        if (trxClient_msg_getDestination(msg, &d, sizeof d) == TRXCLIENT_OK)
            r.topic = d.dest;
        const void* p = nullptr;
        uint32_t n = 0;
        if (trxClient_msg_getBinaryAttachmentPtr(msg, &p, &n) == TRXCLIENT_OK)
        {
            r.hasData = true;
            r.data.assign(static_cast<const char*>(p), n);
        }
        if (trxClient_msg_getReplyTo(msg, &d, sizeof d) == TRXCLIENT_OK)
            r.replyTo = d.dest;
        trxClient_msg_getDeliveryMode(msg, &r.deliveryMode);
        r.discard = trxClient_msg_isDiscardIndication(msg);
        r.cacheStatus = trxClient_msg_isCacheMsg(msg);
        if (r.cacheStatus)
            trxClient_msg_getCacheRequestId(msg, &r.cacheRequestId);
        trxClient_opaqueContainer_pt map = nullptr;
        if (trxClient_msg_getUserPropertyMap(msg, &map) == TRXCLIENT_OK)
        {
            trxClient_field_t f;
            const char* key;
            while (trxClient_container_getNextField(map, &f, &key) == TRXCLIENT_OK)
            {
                r.mapText += key;
                r.mapText += '=';
                switch (f.type)
                {
                    case TRXCLIENT_FIELD_STRING: r.mapText += f.value.string; break;
                    case TRXCLIENT_FIELD_INT32: r.mapText += std::to_string(f.value.int32); break;
                    case TRXCLIENT_FIELD_INT64: r.mapText += std::to_string(f.value.int64); break;
                    case TRXCLIENT_FIELD_BOOL: r.mapText += f.value.boolean ? "true" : "false"; break;
                    case TRXCLIENT_FIELD_DOUBLE: r.mapText += std::to_string(f.value.dbl); break;
                }
                r.mapText += ';';
            }
        }
        r.user = user;
        return r;
    }
    void add(Received r)
    {
        if (onMsgHook)
            onMsgHook(r);
        std::lock_guard<std::mutex> g(mu);
        msgs.push_back(std::move(r));
        cv.notify_all();
    }
    static trxClient_rxMsgCallback_returnCode_t onSessionMsg(trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt msg,
                                                             void* user)
    {
        static_cast<Client*>(user)->add(record(msg, nullptr));
        return TRXCLIENT_CALLBACK_OK;
    }
    static trxClient_rxMsgCallback_returnCode_t onDispatchMsg(trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt msg,
                                                              void* user)
    {
        static_cast<Tag*>(user)->owner->add(record(msg, user));
        return TRXCLIENT_CALLBACK_OK;
    }
    static void onEvent(trxClient_opaqueSession_pt, trxClient_session_eventCallbackInfo_pt info, void* user)
    {
        Client* c = static_cast<Client*>(user);
        trxClient_errorInfo_pt e = trxClient_getLastErrorInfo();
        Event ev{info->sessionEvent, e->subCode, info->info_p, info->correlation_p};
        if (c->onEventHook)
            c->onEventHook(ev);
        std::lock_guard<std::mutex> g(c->mu);
        c->events.push_back(std::move(ev));
        c->cv.notify_all();
    }
    static void onDispatchDestroy(const char* topic, trxClient_session_rxMsgDispatchFuncInfo_t* d)
    {
        Tag* t = static_cast<Tag*>(d->user_p);
        std::lock_guard<std::mutex> g(t->owner->mu);
        t->owner->destroyed.emplace_back(topic, t);
        t->owner->cv.notify_all();
    }
    static void onCacheDone(trxClient_opaqueCacheSession_pt, trxClient_cacheRequestEventCallbackInfo_pt info,
                            void* user)
    {
        Tag* t = static_cast<Tag*>(user);
        std::lock_guard<std::mutex> g(t->owner->mu);
        t->owner->cacheDone.push_back(CacheDone{info->rc, info->subCode, info->topic, info->cacheRequestId, user});
        t->owner->cv.notify_all();
    }
    std::vector<std::string> mProps;
};

} // namespace trxtest
