// Behaviour of sessions that both backends share: run once against the
// in-process broker and once against a real nats-server.
#include "harness.h"
#include "natsServer.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

using namespace trxtest;
using testsupport::NatsServer;

namespace
{

std::atomic<int> gBrokerSeq{0};

class SessionTest : public ::testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        if (GetParam() == "nats")
        {
            mServer = std::make_unique<NatsServer>();
            mHost = mServer->url();
        }
        else
        {
            // A broker of its own per test, with the same accounts and rules as the server.
            std::string name = "session-test-" + std::to_string(gBrokerSeq++);
            mHost = "inproc://" + name;
            trxClientTest_inproc_addUser(name.c_str(), "trx", "secret");
            trxClientTest_inproc_denySubscribe(name.c_str(), "secret/>");
            trxClientTest_inproc_denyPublish(name.c_str(), "denied/>");
        }
    }

    std::unique_ptr<Client> client(std::vector<std::string> extra = {}, const char* password = "secret")
    {
        std::vector<std::string> p{"SESSION_HOST", mHost, "SESSION_USERNAME", "trx", "SESSION_PASSWORD", password};
        p.insert(p.end(), extra.begin(), extra.end());
        auto c = std::make_unique<Client>(p);
        EXPECT_EQ(TRXCLIENT_OK, c->createRc);
        return c;
    }

    // The server's cache stream for these patterns (the in-process broker caches every topic).
    bool cache(const std::string& patterns)
    {
        return !mServer || std::system((std::string(TRXCACHE_BIN) + " --server " + mHost +
                                        " --user trx --password secret create " + patterns + " > /dev/null")
                                           .c_str()) == 0;
    }

    std::unique_ptr<NatsServer> mServer;
    std::string mHost;
};

TEST_P(SessionTest, PublishReachesSubscriberOfAnotherSession)
{
    auto sub = client(), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, sub->connectRc);
    ASSERT_EQ(TRXCLIENT_OK, sub->subscribe("prices/EUR USD/spot"));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(TRXCLIENT_OK, pub->publish("prices/EUR USD/spot", "tick " + std::to_string(i)))
            << trxClient_getLastErrorInfo()->errorStr;
    ASSERT_TRUE(sub->waitMsgs(100));
    auto msgs = sub->takeMsgs();
    for (int i = 0; i < 100; ++i)
    {
        EXPECT_EQ("prices/EUR USD/spot", msgs[i].topic);
        EXPECT_EQ("tick " + std::to_string(i), msgs[i].data) << "in publish order";
        EXPECT_EQ(&sub->tags[0], msgs[i].user);
    }
    EXPECT_EQ(1u, sub->countEvents(TRXCLIENT_SESSION_EVENT_UP_NOTICE));
}

TEST_P(SessionTest, WildcardMatching)
{
    struct Case
    {
        const char* pattern;
        const char* topic;
        bool match;
    };
    const Case cases[] = {
        {"a/*/c", "a/b/c", true},  {"a/*/c", "a/b/x/c", false}, {"a/*", "a/", true},     {"a/b*/c", "a/bee/c", true},
        {"a/b*/c", "a/b/c", true}, {"a/b*/c", "a/xb/c", false}, {"a/>", "a/b", true},    {"a/>", "a/b/c/d", true},
        {"a/>", "a", false},       {"a/b>", "a/b>", true},      {"a/b>", "a/bc", false}, {">", "x/y", true},
        {"*/*/*", "x/y/z", true},  {"*/*/*", "x/y", false},     {"a//c", "a//c", true},  {"a/*/>", "a/b", false},
        {"a/*/>", "a/b/c", true},  {"a.b/c", "a.b/c", true},
    };
    auto sub = client(), pub = client();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    {
        const Case& c = cases[i];
        std::string prefix = "wild" + std::to_string(i) + "/";
        std::string pattern = std::string(c.pattern) == ">" ? prefix + ">" : prefix + c.pattern;
        ASSERT_EQ(TRXCLIENT_OK, sub->subscribe(pattern)) << pattern;
        // A marker published after the case's message arrives after it.
        ASSERT_EQ(TRXCLIENT_OK, sub->subscribe(prefix + "end-marker", 1));
        ASSERT_EQ(TRXCLIENT_OK, pub->publish(prefix + c.topic, "m")) << c.topic;
        ASSERT_EQ(TRXCLIENT_OK, pub->publish(prefix + "end-marker", "end"));
        ASSERT_TRUE(sub->waitFor(
            [&]
            {
                for (auto& m : sub->msgs)
                    if (m.user == &sub->tags[1] && m.topic == prefix + "end-marker")
                        return true;
                return false;
            }));
        // A match may still be on its way through its own subscription's
        // delivery path when the marker lands: wait for it, not the order.
        if (c.match)
            sub->waitFor(
                [&]
                {
                    for (auto& m : sub->msgs)
                        if (m.topic == prefix + c.topic && m.user == &sub->tags[0])
                            return true;
                    return false;
                });
        auto msgs = sub->takeMsgs();
        bool got = false;
        for (auto& m : msgs)
            got = got || (m.topic == prefix + c.topic && m.user == &sub->tags[0]);
        std::string seen;
        for (auto& m : msgs)
            seen += m.topic + (m.user == &sub->tags[0] ? "(0) " : "(1) ");
        EXPECT_EQ(c.match, got) << "pattern " << c.pattern << " topic " << c.topic << "; received " << seen;
        ASSERT_EQ(TRXCLIENT_OK, sub->unsubscribe(pattern));
        ASSERT_EQ(TRXCLIENT_OK, sub->unsubscribe(prefix + "end-marker", 1));
    }
}

TEST_P(SessionTest, AttachmentReplyToAndUserMapRoundTrip)
{
    auto sub = client(), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, sub->subscribe("rt/>"));
    alignas(8) char buf[512];
    trxClient_opaqueContainer_pt map = nullptr;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_container_createMap(&map, buf, sizeof buf));
    trxClient_container_addString(map, "alice", "U");
    trxClient_container_addString(map, "semi;colon=eq %", "H");
    trxClient_container_addInt32(map, -42, "P");
    trxClient_container_addInt64(map, 1ll << 40, "L");
    trxClient_container_addBool(map, 1, "B");
    trxClient_container_addDouble(map, -0.25, "D");
    std::string inbox = pub->replyToDefault() + "inbox-1";
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("rt/empty", "", inbox.c_str(), map));
    const std::string binary("\x00\x01\xff\n\r .", 7);
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("rt/binary", binary));
    // Bytes that look like the start of an envelope arrive as they were sent.
    const std::string lookalike("\xfeTRX\x01\x00tail", 10);
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("rt/lookalike", lookalike));
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("rt/none", "", nullptr, map, TRXCLIENT_DELIVERY_MODE_NONPERSISTENT, false));
    ASSERT_TRUE(sub->waitMsgs(4));
    auto msgs = sub->takeMsgs();
    EXPECT_TRUE(msgs[0].hasData);
    EXPECT_EQ("", msgs[0].data);
    EXPECT_EQ(inbox, msgs[0].replyTo);
    const std::string mapText =
        "U=alice;H=semi;colon=eq %;P=-42;L=1099511627776;B=true;D=" + std::to_string(-0.25) + ";";
    EXPECT_EQ(mapText, msgs[0].mapText);
    EXPECT_EQ(TRXCLIENT_DELIVERY_MODE_DIRECT, msgs[0].deliveryMode);
    EXPECT_EQ(binary, msgs[1].data);
    EXPECT_EQ("", msgs[1].replyTo);
    EXPECT_EQ("", msgs[1].mapText);
    EXPECT_EQ(lookalike, msgs[2].data);
    EXPECT_EQ("", msgs[2].mapText);
    EXPECT_FALSE(msgs[3].hasData);
    EXPECT_EQ(mapText, msgs[3].mapText);
    EXPECT_EQ(TRXCLIENT_DELIVERY_MODE_NONPERSISTENT, msgs[3].deliveryMode);
}

TEST_P(SessionTest, RequestReplyThroughPointToPointTopic)
{
    auto requester = client(), responder = client();
    // The middleware's way: drop the trailing '/', wildcard the node level,
    // subscribe locally, and hand the node-specific form out as reply-to.
    std::string dest = requester->replyToDefault();
    ASSERT_EQ('/', dest.back());
    std::string replyPrefix = dest.substr(0, dest.size() - 1);
    size_t first = replyPrefix.find('/'), second = replyPrefix.find('/', first + 1);
    std::string subPrefix = replyPrefix.substr(0, first + 1) + "*" + replyPrefix.substr(second);
    ASSERT_EQ(TRXCLIENT_OK, requester->subscribe(subPrefix + "box1", 0, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY));
    ASSERT_EQ(TRXCLIENT_OK, responder->subscribe("service/echo"));
    std::string replyTo = replyPrefix + "box1";
    ASSERT_EQ(TRXCLIENT_OK, requester->publish("service/echo", "ping", replyTo.c_str()));
    ASSERT_TRUE(responder->waitMsgs(1));
    auto req = responder->takeMsgs()[0];
    ASSERT_EQ(replyTo, req.replyTo);
    ASSERT_EQ(TRXCLIENT_OK, responder->publish(req.replyTo, "pong"));
    ASSERT_TRUE(requester->waitMsgs(1));
    auto rep = requester->takeMsgs()[0];
    EXPECT_EQ("pong", rep.data);
    EXPECT_EQ(&requester->tags[0], rep.user);
}

TEST_P(SessionTest, ConfirmationCarriesCorrelationPointer)
{
    auto c = client();
    int tagA, tagB;
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->subscribe("conf/a", 0, TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM, &tagA));
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->subscribe("conf/b/>", 1, TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM, &tagB));
    ASSERT_TRUE(c->waitFor([&] { return c->countEvents(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK) == 2; }));
    std::set<void*> corr;
    for (auto& e : c->events)
        if (e.event == TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK)
            corr.insert(e.corr);
    EXPECT_EQ((std::set<void*>{&tagA, &tagB}), corr);
    // The subscription is live once confirmed.
    auto pub = client();
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("conf/b/x", "1"));
    EXPECT_TRUE(c->waitMsgs(1));
}

TEST_P(SessionTest, EveryConfirmationRequestIsAnsweredOnce)
{
    // The middleware waits for each request's answer before it frees the
    // subscription: an unsubscribe or a disconnect overtaking it must not
    // leave it unanswered.
    auto c = client();
    int tags[20];
    for (int i = 0; i < 10; ++i)
    {
        std::string t = "answer/" + std::to_string(i);
        EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->subscribe(t, 0, TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM, &tags[i]));
        EXPECT_EQ(TRXCLIENT_OK, c->unsubscribe(t, 0));
    }
    for (int i = 10; i < 20; ++i)
        EXPECT_EQ(TRXCLIENT_IN_PROGRESS,
                  c->subscribe("answer/" + std::to_string(i), 0, TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM, &tags[i]));
    EXPECT_EQ(TRXCLIENT_OK, trxClient_session_disconnect(c->session));
    ASSERT_TRUE(c->drain());
    for (int i = 0; i < 20; ++i)
    {
        int answers = 0;
        for (auto& e : c->events)
            answers += e.corr == &tags[i] && (e.event == TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK ||
                                              e.event == TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR);
        EXPECT_EQ(1, answers) << i;
    }
}

TEST_P(SessionTest, ReconnectAfterDisconnectKeepsSubscriptions)
{
    auto c = client(), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("again/x"));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_disconnect(c->session));
    EXPECT_EQ(TRXCLIENT_FAIL, c->publish("again/x", "not connected"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, trxClient_getLastErrorInfo()->subCode);
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_connect(c->session));
    ASSERT_TRUE(c->drain());
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("again/x", "back"));
    ASSERT_TRUE(c->waitMsgs(1));
    EXPECT_EQ("back", c->takeMsgs()[0].data);
    EXPECT_EQ(2u, c->countEvents(TRXCLIENT_SESSION_EVENT_UP_NOTICE));
    EXPECT_EQ(1u, c->countEvents(TRXCLIENT_SESSION_EVENT_DISCONNECTED_NOTICE));
}

TEST_P(SessionTest, SubscriptionRefusedByBroker)
{
    auto c = client();
    // Waiting: the call itself fails with 68 and leaves no dispatch entry.
    EXPECT_EQ(TRXCLIENT_FAIL, c->subscribe("secret/plans"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, trxClient_getLastErrorInfo()->subCode);
    EXPECT_EQ(TRXCLIENT_FAIL, c->unsubscribe("secret/plans"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND, trxClient_getLastErrorInfo()->subCode);
    // Asynchronous: event 4 with the correlation pointer and sub-code 68.
    int tag;
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->subscribe("secret/other", 1, TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM, &tag));
    ASSERT_TRUE(c->waitEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR));
    Event e;
    for (auto& x : c->events)
        if (x.event == TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR)
            e = x;
    EXPECT_EQ(&tag, e.corr);
    EXPECT_EQ(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, e.subCode);
    // The entry stays until unsubscribed, then its removal is reported.
    EXPECT_EQ(TRXCLIENT_OK, c->unsubscribe("secret/other", 1));
    ASSERT_TRUE(c->waitFor([&] { return c->destroyed.size() == 1; }));
    // Permitted subscriptions still work afterwards.
    EXPECT_EQ(TRXCLIENT_OK, c->subscribe("open/plans"));
}

TEST_P(SessionTest, RefusedAgainForAWaitingSubscriberLeavesItNoShare)
{
    auto c = client();
    int tag;
    ASSERT_EQ(TRXCLIENT_IN_PROGRESS, c->subscribe("secret/held", 0, TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM, &tag));
    ASSERT_TRUE(c->waitEvent(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR));
    trxClient_session_stats_t st;
    trxClient_session_getStats(c->session, &st);
    const uint64_t held = st.brokerSubscriptions;
    // The broker's refusal stands for a later subscriber that waits for it.
    EXPECT_EQ(TRXCLIENT_FAIL,
              trxClient_session_topicSubscribeExt(c->session, TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM, "secret/held"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, trxClient_getLastErrorInfo()->subCode);
    // ...which therefore has nothing to unsubscribe from.
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_topicUnsubscribeExt(c->session, 0, "secret/held"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND, trxClient_getLastErrorInfo()->subCode);
    trxClient_session_getStats(c->session, &st);
    EXPECT_EQ(held, st.brokerSubscriptions) << "the first subscriber still holds the topic";
    EXPECT_EQ(TRXCLIENT_OK, c->unsubscribe("secret/held", 0));
    trxClient_session_getStats(c->session, &st);
    EXPECT_EQ(held - 1, st.brokerSubscriptions);
}

TEST_P(SessionTest, RefusalOfAnUnconfirmedSubscriptionComesAsAnEvent)
{
    auto c = client(), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("open/a", 0, 0));
    // Without a confirmation request the broker's refusals arrive later, here
    // close together: each must still be reported with its own topic. The two
    // wildcard topics share one broker subject: both are refused.
    const std::vector<std::string> refused{"secret/a", "secret/b", "secret/x*", "secret/y*"};
    for (const std::string& t : refused)
        ASSERT_EQ(TRXCLIENT_OK, c->subscribe(t, 1, 0)) << t;
    ASSERT_TRUE(
        c->waitFor([&] { return c->countEvents(TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR) >= refused.size(); }));
    std::set<std::string> reported;
    for (const Event& e : c->events)
    {
        if (e.event != TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR)
            continue;
        EXPECT_EQ(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, e.subCode);
        EXPECT_EQ(nullptr, e.corr);
        for (const std::string& t : refused)
            if (e.info.find("Topic '" + t + "'") != std::string::npos)
                reported.insert(t);
    }
    EXPECT_EQ(std::set<std::string>(refused.begin(), refused.end()), reported);
    // The permitted subscription is untouched.
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("open/a", "m"));
    ASSERT_TRUE(c->waitMsgs(1));
    EXPECT_EQ(&c->tags[0], c->takeMsgs()[0].user);
}

TEST_P(SessionTest, PublicationRefusedByBroker)
{
    auto c = client();
    EXPECT_EQ(TRXCLIENT_OK, c->publish("denied/x^y/z", "no"));
    ASSERT_TRUE(c->waitEvent(TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR));
    Event e = c->events.back();
    EXPECT_EQ(TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED, e.subCode);
    EXPECT_NE(std::string::npos, e.info.find("Topic 'denied/x^y/z'")) << e.info;
}

TEST_P(SessionTest, WrongPasswordIsRefusedWithLoginFailure)
{
    auto c = client({}, "wrong");
    EXPECT_EQ(TRXCLIENT_FAIL, c->connectRc);
    // The error is the connecting thread's: read it right after connect.
    auto again = std::make_unique<Client>(
        std::vector<std::string>{"SESSION_HOST", mHost, "SESSION_USERNAME", "trx", "SESSION_PASSWORD", "nope"}, false);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_connect(again->session));
    EXPECT_EQ(TRXCLIENT_SUBCODE_LOGIN_FAILURE, trxClient_getLastErrorInfo()->subCode);
}

TEST_P(SessionTest, LocalDispatchEntriesMakeNoBrokerSubscription)
{
    auto c = client(), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("local/>", 0, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY));
    trxClient_session_stats_t st;
    trxClient_session_getStats(c->session, &st);
    EXPECT_EQ(1u, st.dispatchEntries);
    size_t brokerBefore = st.brokerSubscriptions;
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("local/a", "not subscribed at the broker"));
    // A broker subscription of another entry brings the message; both matching entries get it.
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("local/b", 1));
    trxClient_session_getStats(c->session, &st);
    EXPECT_EQ(brokerBefore + 1, st.brokerSubscriptions);
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("local/b", "both"));
    ASSERT_TRUE(c->waitMsgs(2));
    ASSERT_TRUE(c->drain());
    auto msgs = c->takeMsgs();
    ASSERT_EQ(2u, msgs.size()) << "local/a must not arrive";
    std::set<void*> users{msgs[0].user, msgs[1].user};
    EXPECT_EQ((std::set<void*>{&c->tags[0], &c->tags[1]}), users);
    EXPECT_EQ("local/b", msgs[0].topic);
}

TEST_P(SessionTest, DispatchDestroyReportedForUnsubscribeAndSessionEnd)
{
    auto c = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("dd/a", 0));
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("dd/a", 1));
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("dd/local", 2, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY));
    ASSERT_EQ(TRXCLIENT_OK, c->unsubscribe("dd/a", 0));
    ASSERT_TRUE(c->waitFor([&] { return c->destroyed.size() == 1; }));
    EXPECT_EQ("dd/a", c->destroyed[0].first);
    EXPECT_EQ(&c->tags[0], c->destroyed[0].second);
    // The other entry on the same topic keeps the broker subscription alive.
    auto pub = client();
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("dd/a", "still"));
    ASSERT_TRUE(c->waitMsgs(1));
    EXPECT_EQ(&c->tags[1], c->takeMsgs()[0].user);
    // Destroying the session reports what is left.
    trxClient_session_destroy(&c->session);
    std::set<std::pair<std::string, Tag*>> left(c->destroyed.begin() + 1, c->destroyed.end());
    EXPECT_EQ((std::set<std::pair<std::string, Tag*>>{{"dd/a", &c->tags[1]}, {"dd/local", &c->tags[2]}}), left);
}

TEST_P(SessionTest, SuspendHoldsBoundedBufferAndMarksDiscard)
{
    auto c = client({"SESSION_BUFFER_MSG_LIMIT", "5"}), pub = client();
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("flow/x"));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_suspend(c->session));
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(TRXCLIENT_OK, pub->publish("flow/x", std::to_string(i)));
    // Wait until the session has seen all eight (held or dropped).
    ASSERT_TRUE(c->waitFor(
        [&]
        {
            trxClient_session_stats_t st;
            trxClient_session_getStats(c->session, &st);
            return st.rxMsgs == 8;
        }));
    ASSERT_TRUE(c->drain());
    EXPECT_EQ(0u, c->msgs.size()) << "no callbacks while suspended";
    trxClient_session_stats_t st;
    trxClient_session_getStats(c->session, &st);
    EXPECT_EQ(5u, st.rxBufferedMsgs);
    EXPECT_EQ(3u, st.rxDiscardedMsgs);
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_resume(c->session));
    ASSERT_TRUE(c->waitMsgs(5));
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("flow/x", "after"));
    ASSERT_TRUE(c->waitMsgs(6));
    auto msgs = c->takeMsgs();
    std::vector<std::string> data;
    for (auto& m : msgs)
        data.push_back(m.data);
    EXPECT_EQ((std::vector<std::string>{"0", "1", "2", "3", "4", "after"}), data);
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(msgs[i].discard) << i;
    EXPECT_TRUE(msgs[5].discard) << "the first message after the loss says so";
    EXPECT_TRUE(c->waitEvent(TRXCLIENT_SESSION_EVENT_RX_MSG_DISCARD_WARNING));
}

TEST_P(SessionTest, CacheHitAndMissThroughTopicDispatch)
{
    auto c = client(), pub = client();
    ASSERT_TRUE(cache("'cached/>'"));
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("cached/EUR", "old"));
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("cached/EUR", "last"));
    ASSERT_TRUE(pub->drain());
    // The data subscription's entry receives the answer (local dispatch, no broker subscription).
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("cached/EUR", 0, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY));
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("cached/EUR", 77));
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 1; }));
    ASSERT_EQ(1u, c->msgs.size()) << "the cached message comes before the completion";
    Received m = c->takeMsgs()[0];
    EXPECT_EQ("last", m.data);
    EXPECT_EQ(TRXCLIENT_CACHE_MSG_CACHED, m.cacheStatus);
    EXPECT_EQ(77u, m.cacheRequestId);
    EXPECT_EQ(&c->tags[0], m.user);
    CacheDone d = c->cacheDone[0];
    EXPECT_EQ(TRXCLIENT_OK, d.rc);
    EXPECT_EQ(77u, d.id);
    EXPECT_EQ("cached/EUR", d.topic);
    // Nothing cached for this topic: INCOMPLETE with sub-code 51, no message.
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("cached/GBP", 78));
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 2; }));
    EXPECT_EQ(TRXCLIENT_INCOMPLETE, c->cacheDone[1].rc);
    EXPECT_EQ(TRXCLIENT_SUBCODE_NO_CACHED_DATA, c->cacheDone[1].subCode);
    EXPECT_EQ(78u, c->cacheDone[1].id);
    EXPECT_EQ(0u, c->msgs.size());
    // Blocking form returns the outcome itself.
    EXPECT_EQ(TRXCLIENT_INCOMPLETE, c->cacheRequest("cached/JPY", 79, 9));
    EXPECT_EQ(TRXCLIENT_SUBCODE_NO_CACHED_DATA, trxClient_getLastErrorInfo()->subCode);
}

TEST_P(SessionTest, CachedValuesOlderThanTheMaxAgeAreSuspect)
{
    auto c = client(), pub = client();
    ASSERT_TRUE(cache("'aged/>'"));
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("aged/EUR", "e"));
    ASSERT_EQ(TRXCLIENT_OK, pub->publish("aged/GBP", "g"));
    ASSERT_TRUE(pub->drain());
    // Some stamps count whole seconds: the values are two of them old.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    ASSERT_EQ(TRXCLIENT_OK, c->subscribe("aged/>", 0, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY));
    struct Case
    {
        const char* topic;
        const char* maxAgeMs;
        size_t values;
        trxClient_returnCode_t rc;
        trxClient_subCode_t sub;
        int status;
    } cases[] = {
        {"aged/EUR", "1000", 1, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT,
         TRXCLIENT_CACHE_MSG_SUSPECT},
        {"aged/>", "1000", 2, TRXCLIENT_INCOMPLETE, TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT, TRXCLIENT_CACHE_MSG_SUSPECT},
        {"aged/EUR", "3600000", 1, TRXCLIENT_OK, TRXCLIENT_SUBCODE_OK, TRXCLIENT_CACHE_MSG_CACHED},
        {"aged/>", "3600000", 2, TRXCLIENT_OK, TRXCLIENT_SUBCODE_OK, TRXCLIENT_CACHE_MSG_CACHED},
    };
    for (const Case& k : cases)
    {
        const std::string what = std::string(k.topic) + " at most " + k.maxAgeMs + " ms old";
        trxClient_cacheSession_destroy(&c->cache);
        c->cacheSession({"CACHESESSION_MAX_AGE_MS", k.maxAgeMs});
        const size_t done = c->cacheDone.size();
        ASSERT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest(k.topic, 1)) << what;
        ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == done + 1; })) << what;
        EXPECT_EQ(k.rc, c->cacheDone[done].rc) << what;
        EXPECT_EQ(k.sub, c->cacheDone[done].subCode) << what;
        auto msgs = c->takeMsgs();
        ASSERT_EQ(k.values, msgs.size()) << what;
        for (const Received& m : msgs)
            EXPECT_EQ(k.status, m.cacheStatus) << what << ": " << m.topic;
    }
}

TEST_P(SessionTest, WildcardCacheRequestWithoutTopicDispatchReachesSessionCallback)
{
    auto c = client(), pub = client();
    ASSERT_TRUE(cache("'w/>' 'other/>'"));
    for (const char* t : {"w/a", "w/b", "w/bb/deeper", "other/c"})
        ASSERT_EQ(TRXCLIENT_OK, pub->publish(t, t));
    ASSERT_TRUE(pub->drain());
    // Flags 16 + 1: no topic dispatch, so the session callback gets them.
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("w/*", 9, 17));
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 1; }));
    ASSERT_EQ(2u, c->msgs.size());
    std::set<std::string> topics{c->msgs[0].topic, c->msgs[1].topic};
    EXPECT_EQ((std::set<std::string>{"w/a", "w/b"}), topics);
    EXPECT_EQ(nullptr, c->msgs[0].user);
    EXPECT_EQ(9u, c->msgs[1].cacheRequestId);
    EXPECT_EQ(TRXCLIENT_OK, c->cacheDone[0].rc);
    // A level ending in '*' matches exactly, though the server sees a wider pattern.
    c->takeMsgs();
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("w/bb*/>", 10, 17));
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 2; }));
    ASSERT_EQ(1u, c->msgs.size());
    EXPECT_EQ("w/bb/deeper", c->msgs[0].topic);
    EXPECT_EQ(TRXCLIENT_IN_PROGRESS, c->cacheRequest("none/*", 11, 17));
    ASSERT_TRUE(c->waitFor([&] { return c->cacheDone.size() == 3; }));
    EXPECT_EQ(TRXCLIENT_INCOMPLETE, c->cacheDone[2].rc);
    EXPECT_EQ(TRXCLIENT_SUBCODE_NO_CACHED_DATA, c->cacheDone[2].subCode);
}

TEST_P(SessionTest, BadArgumentsFailClearly)
{
    auto c = client();
    struct Case
    {
        const char* topic;
        int subCode;
    };
    std::string tooLong(251, 'x');
    const Case cases[] = {{nullptr, TRXCLIENT_SUBCODE_PARAM_NULL_PTR},
                          {"", TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX},
                          {"a/b\nc", TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX},
                          {tooLong.c_str(), TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE}};
    for (const Case& k : cases)
    {
        auto d = Client::dispatchInfo(&c->tags[0]);
        EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_topicSubscribeWithDispatch(c->session, 2, k.topic, &d, nullptr));
        EXPECT_EQ(k.subCode, trxClient_getLastErrorInfo()->subCode) << (k.topic ? k.topic : "NULL");
        if (!k.topic)
            continue;
        trxClient_opaqueMsg_pt m;
        trxClient_msg_alloc(&m);
        trxClient_msg_setTopicPtr(m, k.topic);
        EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_sendMsg(c->session, m));
        EXPECT_EQ(k.subCode, trxClient_getLastErrorInfo()->subCode);
        EXPECT_NE(nullptr, std::strstr(trxClient_getLastErrorInfo()->errorStr, "Topic '"));
        trxClient_msg_free(&m);
    }
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_sendMsg(nullptr, nullptr));
    EXPECT_EQ(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, trxClient_getLastErrorInfo()->subCode);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_topicSubscribeWithDispatch(c->session, 2, "a", nullptr, nullptr));
    EXPECT_EQ(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, trxClient_getLastErrorInfo()->subCode);
}

INSTANTIATE_TEST_SUITE_P(Backends, SessionTest, ::testing::Values("inproc", "nats"),
                         [](const auto& info) { return info.param; });

} // namespace
