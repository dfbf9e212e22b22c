// Fault injection of the in-process broker: what the middleware's own tests
// will drive.
#include "harness.h"

#include <atomic>
#include <cstring>
#include <memory>

using namespace trxtest;

namespace
{

std::atomic<int> gSeq{0};

class InprocFaults : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mBroker = "faults-" + std::to_string(gSeq++);
        mHost = "inproc://" + mBroker;
    }
    std::unique_ptr<Client> client(std::vector<std::string> extra = {})
    {
        std::vector<std::string> p{"SESSION_HOST", mHost};
        p.insert(p.end(), extra.begin(), extra.end());
        auto c = std::make_unique<Client>(p);
        EXPECT_EQ(TRXCLIENT_OK, c->connectRc);
        return c;
    }
    trxClient_opaqueMsg_pt msg(const char* topic, const std::string& data)
    {
        trxClient_opaqueMsg_pt m;
        trxClient_msg_alloc(&m);
        trxClient_msg_setTopicPtr(m, topic);
        trxClient_msg_setBinaryAttachment(m, data.data(), static_cast<uint32_t>(data.size()));
        return m;
    }
    std::string mBroker, mHost;
};

TEST_F(InprocFaults, DroppedConnectionReportsThenRestoresWithSubscriptions)
{
    auto c = client(), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("drop/x"));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_suspend(c->session));
    ASSERT_EQ(TRXCLIENT_OK, trxClientTest_session_dropConnection(c->session));
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("drop/x", "lost while down"));
    ASSERT_EQ(TRXCLIENT_OK, trxClientTest_session_restoreConnection(c->session));
    ASSERT_TRUE(c->drain());
    // 12, then 13, then 17: the reconnect resumed the suspended session.
    std::vector<int> evs = c->eventNumbers();
    std::vector<int> tail(evs.end() - 3, evs.end());
    EXPECT_EQ((std::vector<int>{12, 13, 17}), tail);
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("drop/x", "after"));
    ASSERT_TRUE(c->waitMsgs(1));
    EXPECT_EQ("after", c->takeMsgs()[0].data) << "delivered without a resume call";
}

TEST_F(InprocFaults, FailedConnectionGoesDownAndCancelsCacheRequests)
{
    auto c = client();
    trxClientTest_inproc_setCacheSilent(mBroker.c_str(), 1);
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("pending/x", 5));
    ASSERT_EQ(TRXCLIENT_OK, trxClientTest_session_failConnection(c->session));
    ASSERT_TRUE(c->waitEvent(TRXCLIENT_SESSION_EVENT_DOWN_ERROR));
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 1; }));
    EXPECT_EQ(TRXCLIENT_FAIL, c->cacheDone[0].rc);
    EXPECT_EQ(TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED, c->cacheDone[0].subCode);
    EXPECT_EQ(TRXCLIENT_FAIL, c->publish("pending/x", "no"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, trxClient_getLastErrorInfo()->subCode);
}

TEST_F(InprocFaults, CacheOutcomes)
{
    auto c = client();
    trxClient_opaqueMsg_pt m = msg("seed/suspect", "stale");
    ASSERT_EQ(TRXCLIENT_OK, trxClientTest_inproc_seedCache(mBroker.c_str(), m, 1));
    trxClient_msg_free(&m);
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("seed/>", 0, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY));
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("seed/suspect", 1));
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 1 && c->msgs.size() == 1; }));
    EXPECT_EQ(TRXCLIENT_INCOMPLETE, c->cacheDone[0].rc);
    EXPECT_EQ(TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT, c->cacheDone[0].subCode);
    EXPECT_EQ(TRXCLIENT_CACHE_MSG_SUSPECT, c->msgs[0].cacheStatus);

    // A silent cache times out with 55 after the cache session's time-out.
    trxClient_cacheSession_destroy(&c->cache);
    c->cacheSession({"CACHESESSION_REQUEST_TIMEOUT_MS", "50"});
    trxClientTest_inproc_setCacheSilent(mBroker.c_str(), 1);
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("seed/suspect", 2));
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 2; }));
    EXPECT_EQ(TRXCLIENT_INCOMPLETE, c->cacheDone[1].rc);
    EXPECT_EQ(TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT, c->cacheDone[1].subCode);

    // Destroying the cache session cancels what is outstanding with 87.
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("seed/suspect", 3));
    trxClient_cacheSession_destroy(&c->cache);
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 3; }));
    EXPECT_EQ(TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED, c->cacheDone[2].subCode);
    EXPECT_EQ(3u, c->cacheDone[2].id);
}

TEST_F(InprocFaults, SuspendAndResumeFailuresAreInjected)
{
    auto c = client();
    trxClientTest_session_failSuspend(c->session, 1);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_suspend(c->session));
    EXPECT_EQ(TRXCLIENT_OK, trxClient_session_suspend(c->session)) << "only the next call fails";
    trxClientTest_session_failResume(c->session, 1);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_resume(c->session));
    EXPECT_EQ(TRXCLIENT_OK, trxClient_session_resume(c->session));
}

TEST_F(InprocFaults, MarkedDiscardAndOversizedMessage)
{
    auto c = client(), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("mark/x"));
    trxClientTest_session_markDiscard(c->session);
    pub->publish("mark/x", "1");
    pub->publish("mark/x", "2");
    ASSERT_TRUE(c->waitMsgs(2));
    EXPECT_TRUE(c->msgs[0].discard);
    EXPECT_FALSE(c->msgs[1].discard);
    trxClientTest_inproc_setMaxMsgSize(mBroker.c_str(), 4);
    EXPECT_EQ(TRXCLIENT_FAIL, pub->publish("mark/x", "12345"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_MSG_TOO_LARGE, trxClient_getLastErrorInfo()->subCode);
    EXPECT_NE(nullptr, std::strstr(trxClient_getLastErrorInfo()->errorStr, "Topic 'mark/x'"));
}

TEST_F(InprocFaults, UnsubscribeFromInsideItsOwnCallbackIsSafe)
{
    auto c = client(), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("self/x"));
    c->onMsgHook = [&](const Received&) { c->unsubscribe("self/x"); };
    pub->publish("self/x", "1");
    pub->publish("self/x", "2");
    ASSERT_TRUE(c->waitFor([&] { return c->destroyed.size() == 1; }));
    ASSERT_TRUE(c->drain());
    EXPECT_EQ(1u, c->msgs.size()) << "nothing reaches an entry after its removal";
}

TEST_F(InprocFaults, SubscribingPatternDeniedAfterTheFactIsReported)
{
    auto c = client();
    trxClientTest_inproc_denySubscribe(mBroker.c_str(), "late/>");
    // Without flags the refusal comes later as event 4 without correlation.
    EXPECT_EQ(TRXCLIENT_OK, c->subscribe("late/x", 0, 0));
    ASSERT_TRUE(c->waitEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR));
    EXPECT_EQ(nullptr, c->events.back().corr);
    EXPECT_EQ(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, c->events.back().subCode);
}

} // namespace

namespace
{

TEST_F(InprocFaults, WithoutReapplyAReconnectDropsBrokerSubscriptions)
{
    auto c = client({"SESSION_REAPPLY_SUBSCRIPTIONS", "0"}), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("re/broker", 0));
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("re/local", 1, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY));
    trxClientTest_session_dropConnection(c->session);
    trxClientTest_session_restoreConnection(c->session);
    ASSERT_TRUE(c->waitFor([&] { return c->destroyed.size() == 1; }));
    EXPECT_EQ("re/broker", c->destroyed[0].first) << "local entries stay";
    pub->publish("re/broker", "gone");
    ASSERT_TRUE(c->drain());
    EXPECT_EQ(0u, c->msgs.size());
}

TEST_F(InprocFaults, NonBlockingConnectReportsByEvent)
{
    Client ok({"SESSION_HOST", mHost, "SESSION_CONNECT_BLOCKING", "0"}, false);
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, trxClient_session_connect(ok.session));
    EXPECT_TRUE(ok.waitEvent(TRXCLIENT_SESSION_EVENT_UP_NOTICE));
    trxClientTest_inproc_refuseLogin(mBroker.c_str(), 1);
    Client refused({"SESSION_HOST", mHost, "SESSION_CONNECT_BLOCKING", "0"}, false);
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, trxClient_session_connect(refused.session));
    ASSERT_TRUE(refused.waitEvent(TRXCLIENT_SESSION_EVENT_CONNECT_FAILED_ERROR));
    EXPECT_EQ(TRXCLIENT_SUBCODE_LOGIN_FAILURE, refused.events.back().subCode);
}

struct Polled
{
    int got = 0;
};

TEST_F(InprocFaults, ContextWithoutThreadRunsCallbacksInProcessEvents)
{
    initLibrary();
    trxClient_opaqueContext_pt ctx;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_context_create(nullptr, &ctx, nullptr, 0));
    Polled polled;
    std::string host = mHost;
    const char* props[] = {"SESSION_HOST", host.c_str(), nullptr};
    trxClient_session_createFuncInfo_t fi{};
    fi.rxMsgInfo.callback_p = [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void* u)
    {
        static_cast<Polled*>(u)->got++;
        return 0;
    };
    fi.rxMsgInfo.user_p = &polled;
    trxClient_opaqueSession_pt s;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_create(props, ctx, &s, &fi, sizeof fi));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_connect(s));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_topicSubscribeExt(s, TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM, "poll/x"));
    auto pub = client();
    pub->publish("poll/x", "1");
    EXPECT_EQ(0, polled.got) << "nothing runs until the application polls";
    ASSERT_EQ(TRXCLIENT_OK, trxClient_context_processEvents(ctx, 100));
    EXPECT_EQ(1, polled.got);
    trxClient_session_destroy(&s);
    trxClient_context_destroy(&ctx);
}

TEST_F(InprocFaults, ContextDestroyedFromItsOwnCallback)
{
    initLibrary();
    trxClient_opaqueContext_pt ctx;
    const char* cp[] = {"CONTEXT_CREATE_THREAD", "1", nullptr};
    ASSERT_EQ(TRXCLIENT_OK, trxClient_context_create(cp, &ctx, nullptr, 0));
    struct Box
    {
        trxClient_opaqueContext_pt ctx;
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
    } box;
    box.ctx = ctx;
    std::string host = mHost;
    const char* props[] = {"SESSION_HOST", host.c_str(), nullptr};
    trxClient_session_createFuncInfo_t fi{};
    fi.rxMsgInfo.callback_p = [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void* u)
    {
        Box* b = static_cast<Box*>(u);
        trxClient_context_destroy(&b->ctx); // takes the session with it
        std::lock_guard<std::mutex> g(b->mu);
        b->done = true;
        b->cv.notify_all();
        return 0;
    };
    fi.rxMsgInfo.user_p = &box;
    trxClient_opaqueSession_pt s;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_create(props, ctx, &s, &fi, sizeof fi));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_connect(s));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_topicSubscribeExt(s, TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM, "boom/x"));
    auto pub = client();
    pub->publish("boom/x", "1");
    std::unique_lock<std::mutex> lk(box.mu);
    ASSERT_TRUE(box.cv.wait_for(lk, std::chrono::seconds(5), [&] { return box.done; }));
    EXPECT_EQ(nullptr, box.ctx);
}

} // namespace
