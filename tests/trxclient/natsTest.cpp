// NATS-only behaviour: clusters, separate processes, hung nodes, scale.
#include "harness.h"
#include "natsServer.h"

#include <nats/nats.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

using namespace trxtest;
using testsupport::freePort;
using testsupport::NatsCluster;
using testsupport::NatsServer;
using Ms = std::chrono::milliseconds;

namespace
{

std::vector<std::string> creds(const std::string& host, std::vector<std::string> extra = {})
{
    std::vector<std::string> p{"SESSION_HOST", host, "SESSION_USERNAME", "trx", "SESSION_PASSWORD", "secret"};
    p.insert(p.end(), extra.begin(), extra.end());
    return p;
}

// Routes carry a new interest to the other nodes a moment after the local
// one has it: keep trying for a while.
template <class F>
bool retry(F f, int ms = 5000)
{
    auto until = std::chrono::steady_clock::now() + Ms(ms);
    while (std::chrono::steady_clock::now() < until)
        if (f())
            return true;
    return false;
}

TEST(NatsCluster, KillingConnectedNodeReconnectsAndTrafficFlows)
{
    NatsCluster cluster("", 3, testsupport::testUsersConfig());
    ASSERT_TRUE(cluster.start());
    Client sub(creds(cluster.urls())), pub(creds(cluster.nodes[2]->url()));
    ASSERT_EQ(TRXCLIENT_OK, sub.connectRc);
    ASSERT_EQ(TRXCLIENT_OK, pub.connectRc);
    char url[256] = {};
    trxClient_session_getProperty(sub.session, "SESSION_CONNECTED_HOST", url, sizeof url);
    ASSERT_EQ(cluster.nodes[0]->url(), std::string(url)) << "the list is tried in order";
    ASSERT_EQ(TRXCLIENT_OK, sub.subscribe("fx/>"));
    // An inbox in the middleware's form: the node level wildcarded locally,
    // the reply-to naming the node connected now.
    std::string dest = sub.replyToDefault();
    std::string replyPrefix = dest.substr(0, dest.size() - 1);
    size_t first = replyPrefix.find('/'), second = replyPrefix.find('/', first + 1);
    std::string inboxSub = replyPrefix.substr(0, first + 1) + "*" + replyPrefix.substr(second) + "box";
    ASSERT_EQ(TRXCLIENT_OK, sub.subscribe(inboxSub, 1, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY));
    // Routes need a moment to carry a new interest to the other nodes.
    ASSERT_TRUE(retry(
        [&]
        {
            pub.publish("fx/probe", "p");
            return sub.waitFor([&] { return !sub.msgs.empty(); }, 100);
        }));
    sub.takeMsgs();

    auto killed = std::chrono::steady_clock::now();
    cluster.nodes[0]->kill();
    ASSERT_TRUE(sub.waitEvent(TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE, 10000));
    auto reconnected = std::chrono::steady_clock::now();
    auto evs = sub.eventNumbers();
    auto lost = std::find(evs.begin(), evs.end(), TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE);
    auto back = std::find(evs.begin(), evs.end(), TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE);
    ASSERT_NE(evs.end(), lost);
    EXPECT_LT(lost, back) << "12 comes before 13";
    std::fprintf(stderr, "failover: node killed -> event 13 in %lld ms\n",
                 static_cast<long long>(std::chrono::duration_cast<Ms>(reconnected - killed).count()));

    // The re-applied subscription carries traffic again.
    auto gotAfter = [&]
    {
        for (auto& m : sub.msgs)
            if (m.topic == "fx/after")
                return true;
        return false;
    };
    ASSERT_TRUE(retry(
        [&]
        {
            pub.publish("fx/after", "a");
            return sub.waitFor(gotAfter, 100);
        }));
    // Replies to the reply-to handed out before the failover still arrive.
    std::string replyTo = replyPrefix + "box";
    ASSERT_TRUE(retry(
        [&]
        {
            pub.publish(replyTo, "reply");
            return sub.waitFor(
                [&]
                {
                    for (auto& m : sub.msgs)
                        if (m.user == &sub.tags[1])
                            return true;
                    return false;
                },
                100);
        }));
    std::fprintf(
        stderr, "failover: node killed -> traffic received again in %lld ms\n",
        static_cast<long long>(std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - killed).count()));
    trxClient_session_getProperty(sub.session, "SESSION_CONNECTED_HOST", url, sizeof url);
    EXPECT_NE(cluster.nodes[0]->url(), std::string(url));
}

// The node leading a replicated cache stream is killed: a pattern request
// (an ordered consumer, which needs the stream's leader) meets no leader
// and is asked again until one is elected, within the request's time-out;
// a topic request (a direct get, which every replica answers) goes on.
TEST(NatsCluster, CacheRequestsDuringALeaderElectionAreAskedAgain)
{
    NatsCluster cluster("", 3, testsupport::testUsersConfig());
    ASSERT_TRUE(cluster.start());
    const std::string tool =
        std::string(TRXCACHE_BIN) + " --server " + cluster.urls() + " --user trx --password secret --timeout 30 ";
    ASSERT_EQ(0, std::system((tool + "create --replicas 3 'el/>' > /dev/null").c_str()));
    Client pub(creds(cluster.urls()));
    for (const char* t : {"el/a", "el/b"})
        ASSERT_EQ(TRXCLIENT_OK, pub.publish(t, t));
    ASSERT_TRUE(pub.drain());

    // The leader, once both values are on every replica.
    natsConnection* nc = nullptr;
    natsOptions* o = nullptr;
    natsOptions_Create(&o);
    natsOptions_SetURL(o, cluster.nodes[0]->url().c_str());
    natsOptions_SetUserInfo(o, "trx", "secret");
    ASSERT_EQ(NATS_OK, natsConnection_Connect(&nc, o));
    natsOptions_Destroy(o);
    jsCtx* js = nullptr;
    ASSERT_EQ(NATS_OK, natsConnection_JetStream(&js, nc, nullptr));
    std::string leader;
    ASSERT_TRUE(retry(
        [&]
        {
            jsStreamInfo* si = nullptr;
            bool synced = false;
            if (js_GetStreamInfo(&si, js, "TRXCACHE", nullptr, nullptr) == NATS_OK && si->Cluster &&
                si->Cluster->Leader && si->State.Msgs == 2)
            {
                synced = si->Cluster->ReplicasLen == 2;
                for (int i = 0; i < si->Cluster->ReplicasLen; ++i)
                    synced = synced && si->Cluster->Replicas[i]->Current && si->Cluster->Replicas[i]->Lag == 0;
                leader = si->Cluster->Leader;
            }
            if (si)
                jsStreamInfo_Destroy(si);
            return synced;
        },
        20000));
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
    // Connected to the leader, whose loss the client sees at once.
    const size_t l = static_cast<size_t>(leader.back() - '0');
    std::string urls = cluster.nodes[l]->url();
    for (size_t i = 0; i < cluster.nodes.size(); ++i)
        if (i != l)
            urls += "," + cluster.nodes[i]->url();
    Client c(creds(urls));
    c.cacheSession({"CACHESESSION_REQUEST_TIMEOUT_MS", "10000"});
    ASSERT_EQ(TRXCLIENT_OK, c.cacheRequest("el/a", 1, 9));
    cluster.nodes[l]->kill();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TRXCLIENT_OK, c.cacheRequest("el/b", 2, 9)) << trxClient_getLastErrorInfo()->errorStr;
    std::fprintf(
        stderr, "leader killed -> topic answered in %lld ms\n",
        static_cast<long long>(std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start).count()));
    EXPECT_EQ(TRXCLIENT_OK, c.cacheRequest("el/*", 3, 9)) << trxClient_getLastErrorInfo()->errorStr;
    EXPECT_TRUE(c.waitMsgs(4)) << c.msgs.size();
}

TEST(NatsServerHealth, HungNodeIsNoticedWithinAboutASecond)
{
    NatsServer server;
    Client c(creds(server.url(), {"SESSION_RECONNECT_RETRIES", "0"}));
    ASSERT_EQ(TRXCLIENT_OK, c.connectRc);
    auto frozen = std::chrono::steady_clock::now();
    server.freeze();
    // Noticed: connection lost (12), or at once down for good (1).
    bool lost = c.waitFor(
        [&]
        {
            return c.countEvents(TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE) +
                       c.countEvents(TRXCLIENT_SESSION_EVENT_DOWN_ERROR) >
                   0;
        },
        5000);
    auto noticed = std::chrono::steady_clock::now();
    server.thaw();
    std::string evs;
    for (int e : c.eventNumbers())
        evs += std::to_string(e) + " ";
    ASSERT_TRUE(lost) << "events: " << evs;
    std::fprintf(stderr, "hung node: frozen -> noticed in %lld ms\n",
                 static_cast<long long>(std::chrono::duration_cast<Ms>(noticed - frozen).count()));
    // Keep-alive 250 ms x 3: about a second; the margin is for a loaded machine.
    EXPECT_LT(std::chrono::duration_cast<Ms>(noticed - frozen).count(), 3000);
    // No retries allowed: the session then goes down for good.
    EXPECT_TRUE(c.waitEvent(TRXCLIENT_SESSION_EVENT_DOWN_ERROR, 3000));
}

// Length of the run of consecutive numbers that ends the list.
// A frozen broker (SIGSTOP) keeps its sockets: libnats notices it by its
// keep-alive and then reconnects, holding the connection's lock while it
// waits for the node's greeting (5 s here). No send may wait on that: sends
// are held for the reconnect up to SESSION_RECONNECT_BUFFER_BYTES, then
// refused with sub-code 4. A full socket holds a send for at most the
// keep-alive time (250 ms x 3), the write deadline.
TEST(NatsServerHealth, SendsToAFrozenBrokerReturnAtOnceAndArriveAfterIt)
{
    using Clock = std::chrono::steady_clock;
    const auto bound = Ms(1500); // liveness: well under one connect attempt
    for (const char* policy : {"adaptive", "batch", "immediate"})
    {
        SCOPED_TRACE(policy);
        NatsServer server;
        // The receiver's keep-alive outlasts the freezes: its subscription
        // survives them, so whatever the broker takes reaches it.
        Client sub(creds(server.url(), {"SESSION_KEEP_ALIVE_INT_MS", "60000"}));
        Client pub(creds(server.url(), {"SESSION_SEND_POLICY", policy, "SESSION_CONNECT_TIMEOUT_MS", "5000",
                                        "SESSION_RECONNECT_BUFFER_BYTES", "1048576"}));
        ASSERT_EQ(TRXCLIENT_OK, sub.connectRc);
        ASSERT_EQ(TRXCLIENT_OK, pub.connectRc);
        ASSERT_EQ(TRXCLIENT_OK, sub.subscribe("frozen/>"));
        auto timedSend = [&](const std::string& topic, const std::string& data, Ms& slowest)
        {
            auto t0 = Clock::now();
            int rc = pub.publish(topic, data);
            slowest = std::max(slowest, std::chrono::duration_cast<Ms>(Clock::now() - t0));
            return rc;
        };
        // sub.mu held (waitFor holds it while it asks).
        auto numbers = [&](const std::string& topic)
        {
            std::vector<int> out;
            for (auto& m : sub.msgs)
                if (m.topic == topic)
                    out.push_back(std::atoi(m.data.c_str()));
            return out;
        };

        // A send stuck for good would leave the broker frozen: thaw it in time.
        std::mutex wm;
        std::condition_variable wcv;
        bool done = false;
        std::thread watchdog(
            [&]
            {
                std::unique_lock<std::mutex> lk(wm);
                if (!wcv.wait_for(lk, std::chrono::seconds(30), [&] { return done; }))
                    server.thaw();
            });
        struct Join
        {
            std::function<void()> f;
            ~Join() { f(); }
        } join{[&]
               {
                   {
                       std::lock_guard<std::mutex> g(wm);
                       done = true;
                   }
                   wcv.notify_all();
                   watchdog.join();
               }};

        // 1. Flat out into the frozen broker until the reconnect buffer is full.
        server.freeze();
        Ms slowest(0);
        int n = 0, lastOk = -1, rc = TRXCLIENT_OK;
        const std::string pad(100, 'x');
        for (; n < 400000; ++n)
        {
            rc = timedSend("frozen/flat", std::to_string(n) + " " + pad, slowest);
            if (rc == TRXCLIENT_OK)
                lastOk = n;
            else if (trxClient_getLastErrorInfo()->subCode == TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE)
                break;
        }
        EXPECT_EQ(TRXCLIENT_FAIL, rc) << "400000 sends held for a frozen broker";
        EXPECT_NE(nullptr, std::strstr(trxClient_getLastErrorInfo()->errorStr, "reconnect buffer"))
            << trxClient_getLastErrorInfo()->errorStr;
        // Held or not, a message the broker cannot take is refused as such.
        EXPECT_EQ(TRXCLIENT_FAIL, pub.publish("frozen/huge", std::string(1536 * 1024, 'h')));
        EXPECT_EQ(TRXCLIENT_SUBCODE_MSG_TOO_LARGE, trxClient_getLastErrorInfo()->subCode);
        EXPECT_LT(slowest, bound) << "a send waited " << slowest.count() << " ms";
        std::fprintf(stderr, "frozen broker (%s): %d sends flat out, slowest %lld ms\n", policy, n,
                     static_cast<long long>(slowest.count()));
        server.thaw();
        ASSERT_TRUE(pub.waitEvent(TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE, 20000));
        // What went into the dead socket before the freeze was noticed may be
        // lost, or come late once the broker runs again; what was held (the
        // last megabyte's worth at least) arrives, in order, after it.
        // The dead socket's leftovers may also come in between (each
        // connection keeps its order, not the two together): the check looks
        // only at the last sends, which were held.
        const int held = 1048576 / 200;
        auto lastHeld = [&]
        {
            std::vector<int> out;
            for (int v : numbers("frozen/flat"))
                if (v > lastOk - held)
                    out.push_back(v);
            return out;
        };
        ASSERT_TRUE(sub.waitFor([&] { return lastHeld().size() >= static_cast<size_t>(held); }, 20000));
        std::vector<int> flat, paced, expectedFlat;
        {
            std::lock_guard<std::mutex> g(sub.mu);
            flat = lastHeld();
        }
        for (int v = lastOk - held + 1; v <= lastOk; ++v)
            expectedFlat.push_back(v);
        EXPECT_EQ(flat, expectedFlat) << "the held messages did not all arrive in order";

        // 2. Paced sends through a second freeze, its notice and the reconnect
        // attempts: every one is accepted at once and arrives.
        auto events = [&](int ev)
        {
            std::lock_guard<std::mutex> g(pub.mu);
            return pub.countEvents(ev);
        };
        size_t reconnects = events(TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE);
        size_t lost = events(TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE);
        server.freeze();
        slowest = Ms(0);
        int sent = 0, firstAfterNotice = -1;
        for (auto until = Clock::now() + Ms(3000); Clock::now() < until; ++sent)
        {
            ASSERT_EQ(TRXCLIENT_OK, timedSend("frozen/paced", std::to_string(sent), slowest))
                << trxClient_getLastErrorInfo()->errorStr;
            if (firstAfterNotice < 0 && events(TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE) > lost)
                firstAfterNotice = sent + 1;
            std::this_thread::sleep_for(Ms(2));
        }
        server.thaw();
        ASSERT_GE(firstAfterNotice, 0) << "the second freeze went unnoticed";
        EXPECT_LT(slowest, bound) << "a send waited " << slowest.count() << " ms";
        std::fprintf(stderr, "frozen broker (%s): %d paced sends, slowest %lld ms\n", policy, sent,
                     static_cast<long long>(slowest.count()));
        ASSERT_TRUE(pub.waitFor(
            [&] { return pub.countEvents(TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE) > reconnects; }, 20000));
        ASSERT_TRUE(sub.waitFor(
            [&] { return !numbers("frozen/paced").empty() && numbers("frozen/paced").back() == sent - 1; }, 20000));
        {
            std::lock_guard<std::mutex> g(sub.mu);
            paced = numbers("frozen/paced");
        }
        // Each connection keeps its order, not the two together: what the
        // dead socket still held may come in between, so only the sends
        // after the notice are looked at.
        std::vector<int> afterNotice, expected;
        for (int v : paced)
            if (v >= firstAfterNotice)
                afterNotice.push_back(v);
        for (int v = firstAfterNotice; v < sent; ++v)
            expected.push_back(v);
        EXPECT_EQ(afterNotice, expected) << "a send after the notice was lost or came out of order";
    }
}

TEST(NatsProcesses, MessagesCrossProcessBoundaries)
{
    NatsServer server;
    Client sub(creds(server.url()));
    ASSERT_EQ(TRXCLIENT_OK, sub.subscribe("proc/>"));
    // A separate process with its own library state publishes.
    std::string cmd = std::string(TRXCLIENT_PEER_BIN) + " " + server.url() + " proc/child 50";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    ASSERT_TRUE(sub.waitMsgs(50));
    auto msgs = sub.takeMsgs();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(std::to_string(i), msgs[i].data);
}

TEST(NatsSending, AdaptivePolicyKeepsOrderAcrossPausesAndBursts)
{
    // Sends after a pause take the immediate connection, bursts the batching
    // one: the switch must never let a message overtake an earlier one.
    NatsServer server;
    Client sub(creds(server.url())), pub(creds(server.url(), {"SESSION_SEND_POLICY", "adaptive"}));
    ASSERT_EQ(TRXCLIENT_OK, sub.subscribe("order/>"));
    int seq = 0;
    for (int round = 0; round < 20; ++round)
    {
        for (int i = 0; i < 3; ++i)
        {
            ASSERT_EQ(TRXCLIENT_OK, pub.publish("order/a", std::to_string(seq++)));
            std::this_thread::sleep_for(std::chrono::microseconds(400));
        }
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(TRXCLIENT_OK, pub.publish(i % 2 ? "order/a" : "order/b", std::to_string(seq++)));
    }
    ASSERT_TRUE(sub.waitMsgs(static_cast<size_t>(seq), 10000));
    auto msgs = sub.takeMsgs();
    for (int i = 0; i < seq; ++i)
        ASSERT_EQ(std::to_string(i), msgs[i].data) << "at " << i;
}

TEST(NatsSending, AdaptivePolicyDoesNotHoldPacedSendsForTheFlusher)
{
    // A burst moves sends onto the batching connection, whose buffer waits
    // for libnats' flusher. Once the sender paces itself well below its
    // full speed, each send must be on the socket when publish returns.
    NatsServer server;
    Client sub(creds(server.url())), pub(creds(server.url(), {"SESSION_SEND_POLICY", "adaptive"}));
    ASSERT_EQ(TRXCLIENT_OK, sub.subscribe("paced/>"));
    int seq = 0;
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(TRXCLIENT_OK, pub.publish("paced/a", std::to_string(seq++)));
    // At most 12,500 msg/s: each send waits 80 µs after the one before.
    const auto gap = std::chrono::microseconds(80);
    int held = 0;
    for (int i = 0; i < 500; ++i)
    {
        const auto due = std::chrono::steady_clock::now() + gap;
        while (std::chrono::steady_clock::now() < due)
        {
        }
        ASSERT_EQ(TRXCLIENT_OK, pub.publish("paced/a", std::to_string(seq++)));
        int64_t unsent = -1;
        ASSERT_EQ(TRXCLIENT_OK, trxClientTest_session_unsentBytes(pub.session, &unsent));
        if (i >= 100 && unsent != 0) // the pace is known after some sends
            ++held;
    }
    // Held for the flusher, all 400 are; a loaded machine may make a few
    // immediate writes slow enough to look like a sender at full speed.
    EXPECT_LT(held, 40) << "paced sends left waiting for the flusher";
    ASSERT_TRUE(sub.waitMsgs(static_cast<size_t>(seq), 10000));
    auto msgs = sub.takeMsgs();
    for (int i = 0; i < seq; ++i)
        ASSERT_EQ(std::to_string(i), msgs[i].data) << "at " << i;
}

// A paced feed goes out on the send-asap connection; while the broker is
// away it is held on the batching one. Across a restart the two connections
// come back in any order: the feed must still reach the receiver in order.
TEST(NatsSending, AdaptivePolicyKeepsOrderAcrossBrokerRestarts)
{
    const int port = freePort();
    auto server = std::make_unique<NatsServer>("", port);
    Client sub(creds(server->url(), {"SESSION_RECONNECT_RETRY_WAIT_MS", "10"})),
        pub(creds(server->url(), {"SESSION_SEND_POLICY", "adaptive", "SESSION_RECONNECT_RETRY_WAIT_MS", "20"}));
    ASSERT_EQ(TRXCLIENT_OK, sub.connectRc);
    ASSERT_EQ(TRXCLIENT_OK, pub.connectRc);
    ASSERT_EQ(TRXCLIENT_OK, sub.subscribe("restart/>"));
    std::atomic<bool> stop{false};
    std::atomic<int> published{0};
    std::thread feed(
        [&]
        {
            for (int seq = 0; !stop; std::this_thread::sleep_for(std::chrono::microseconds(300)))
                if (pub.publish("restart/a", std::to_string(seq)) == TRXCLIENT_OK)
                    published = ++seq;
        });
    auto received = [&]
    {
        std::lock_guard<std::mutex> g(sub.mu);
        return sub.msgs.size();
    };
    for (int round = 0; round < 6; ++round)
    {
        const size_t before = received();
        ASSERT_TRUE(sub.waitFor([&] { return sub.msgs.size() >= before + 200; }, 10000)) << "round " << round;
        server.reset();
        std::this_thread::sleep_for(Ms(30)); // sends are held meanwhile
        server = std::make_unique<NatsServer>("", port);
    }
    const size_t before = received();
    EXPECT_TRUE(sub.waitFor([&] { return sub.msgs.size() >= before + 200; }, 10000));
    stop = true;
    feed.join();
    // Both sessions have both their connections back.
    EXPECT_TRUE(retry([&] { return server->monitor("/connz").find("\"num_connections\": 4,") != std::string::npos; }))
        << server->monitor("/connz");
    // Messages sent into a socket the broker took down with it are lost; the
    // rest keep the order they were sent in.
    auto msgs = sub.takeMsgs();
    for (size_t i = 1; i < msgs.size(); ++i)
        ASSERT_LT(std::stoi(msgs[i - 1].data), std::stoi(msgs[i].data)) << "at " << i;
}

TEST(NatsReceiving, AMessageOnTheReceivingThreadNeverOvertakesAnEvent)
{
    // Dispatched on libnats' thread (SESSION_ALWAYS_BUFFER_IN_CONTEXT=0),
    // messages must still wait for an event the context thread has not
    // finished: here the reconnect notice, whose handler takes its time
    // while the feed goes on. Run alone, as the context thread would.
    const int port = freePort();
    auto server = std::make_unique<NatsServer>("", port);
    // Declared before the clients: the hooks may still run while they close.
    std::atomic<bool> inEvent{false}, stop{false};
    std::atomic<int> overlapped{0}, published{0}, publishedDuring{0};
    // One sending connection: the order checked is the receiver's alone.
    Client sub(creds(server->url(), {"SESSION_ALWAYS_BUFFER_IN_CONTEXT", "0"})),
        pub(creds(server->url(), {"SESSION_SEND_POLICY", "immediate"}));
    ASSERT_EQ(TRXCLIENT_OK, sub.subscribe("order/>"));
    sub.onMsgHook = [&](const Received&)
    {
        if (inEvent)
            ++overlapped;
    };
    sub.onEventHook = [&](const Event& e)
    {
        if (e.event != TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE)
            return;
        const int before = published;
        inEvent = true;
        std::this_thread::sleep_for(Ms(300));
        inEvent = false;
        publishedDuring = published - before;
    };
    std::thread feed(
        [&]
        {
            for (int seq = 0; !stop; std::this_thread::sleep_for(Ms(1)))
                if (pub.publish("order/x", std::to_string(seq)) == TRXCLIENT_OK)
                    published = ++seq;
        });
    EXPECT_TRUE(sub.waitMsgs(50));
    server.reset();
    server = std::make_unique<NatsServer>("", port);
    EXPECT_TRUE(sub.waitEvent(TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE, 10000));
    const size_t after = static_cast<size_t>(published.load()) + 50;
    EXPECT_TRUE(sub.waitFor([&] { return sub.msgs.size() >= 100 && published >= static_cast<int>(after); }, 10000));
    stop = true;
    feed.join();
    EXPECT_GT(publishedDuring.load(), 10) << "the feed did not run during the event";
    EXPECT_EQ(0, overlapped.load()) << "messages dispatched while the event was being handled";
    auto msgs = sub.takeMsgs();
    for (size_t i = 1; i < msgs.size(); ++i)
        ASSERT_LT(std::stoi(msgs[i - 1].data), std::stoi(msgs[i].data)) << "at " << i;
}

// A plain NATS client next to our sessions: bare payloads pass both ways
// unchanged, and the envelope is exactly its documented bytes.
TEST(NatsWire, PlainClientsAndTheEnvelope)
{
    NatsServer server;
    natsOptions* o = nullptr;
    natsConnection* nc = nullptr;
    natsSubscription* plainSub = nullptr;
    ASSERT_EQ(NATS_OK, natsOptions_Create(&o));
    natsOptions_SetURL(o, server.url().c_str());
    natsOptions_SetUserInfo(o, "trx", "secret");
    ASSERT_EQ(NATS_OK, natsConnection_Connect(&nc, o));
    natsOptions_Destroy(o);
    ASSERT_EQ(NATS_OK, natsConnection_SubscribeSync(&plainSub, nc, "wire.out"));
    ASSERT_EQ(NATS_OK, natsConnection_Flush(nc));

    Client sess(creds(server.url()));
    ASSERT_EQ(TRXCLIENT_OK, sess.subscribe("wire/in"));
    const std::string mapBytes("\x02\x01P\x00\x00\x00\x04\xff\xff\xff\xd6"
                               "\x01\x01S\x00\x00\x00\x03hi\x00",
                               21);
    struct Case
    {
        std::string sent, data, mapText;
    } cases[] = {
        {"plain bytes", "plain bytes", ""},
        // Looks like an envelope but is none: handed on whole.
        {std::string("\xfeTRX\x01\x40rest", 10), std::string("\xfeTRX\x01\x40rest", 10), ""},
        {std::string("\xfeTRX\x01\x01\x00\x00\x00\x07", 10) + "short",
         std::string("\xfeTRX\x01\x01\x00\x00\x00\x07", 10) + "short", ""},
        {std::string("\xfeTRX\x01\x01\x00\x00\x00\x15", 10) + mapBytes + "payload", "payload", "P=-42;S=hi;"},
    };
    for (auto& c : cases)
        ASSERT_EQ(NATS_OK, natsConnection_Publish(nc, "wire.in", c.sent.data(), static_cast<int>(c.sent.size())));
    ASSERT_TRUE(sess.waitMsgs(std::size(cases)));
    auto msgs = sess.takeMsgs();
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        EXPECT_EQ(cases[i].data, msgs[i].data) << "case " << i;
        EXPECT_EQ(cases[i].mapText, msgs[i].mapText) << "case " << i;
    }

    alignas(8) char buf[256];
    trxClient_opaqueContainer_pt map = nullptr;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_container_createMap(&map, buf, sizeof buf));
    trxClient_container_addInt32(map, -42, "P");
    trxClient_container_addString(map, "hi", "S");
    ASSERT_EQ(TRXCLIENT_OK, sess.publish("wire/out", "bare"));
    ASSERT_EQ(TRXCLIENT_OK, sess.publish("wire/out", "payload", nullptr, map));
    ASSERT_EQ(TRXCLIENT_OK,
              sess.publish("wire/out", "", nullptr, nullptr, TRXCLIENT_DELIVERY_MODE_NONPERSISTENT, false));
    const std::string expected[] = {
        "bare", std::string("\xfeTRX\x01\x01\x00\x00\x00\x15", 10) + mapBytes + "payload",
        std::string("\xfeTRX\x01\x06\x00\x00\x00\x10", 10), // no attachment, mode 16
    };
    for (auto& e : expected)
    {
        natsMsg* m = nullptr;
        ASSERT_EQ(NATS_OK, natsSubscription_NextMsg(&m, plainSub, 5000));
        EXPECT_EQ(e, std::string(natsMsg_GetData(m), natsMsg_GetDataLength(m)));
        natsMsg_Destroy(m);
    }
    natsSubscription_Destroy(plainSub);
    natsConnection_Destroy(nc);
}

// "%00" in a subject or reply from a foreign client would decode to a NUL
// that cuts the topic short for every C caller: such messages are refused
// and logged (once a second at most); clean neighbours pass.
std::mutex gLogMu;
std::vector<std::string> gLog;
void captureLog(trxClient_log_callbackInfo_pt info, void*)
{
    std::lock_guard<std::mutex> g(gLogMu);
    gLog.emplace_back(info->msg_p);
}

TEST(NatsWire, AnEscapedNulInASubjectOrReplyIsRefused)
{
    NatsServer server;
    natsOptions* o = nullptr;
    natsConnection* nc = nullptr;
    ASSERT_EQ(NATS_OK, natsOptions_Create(&o));
    natsOptions_SetURL(o, server.url().c_str());
    natsOptions_SetUserInfo(o, "trx", "secret");
    ASSERT_EQ(NATS_OK, natsConnection_Connect(&nc, o));
    natsOptions_Destroy(o);
    Client sess(creds(server.url()));
    ASSERT_EQ(TRXCLIENT_OK, sess.subscribe("nul/>"));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_log_setCallback(&captureLog, nullptr));
    struct Case
    {
        const char *subject, *reply;
        bool passes;
    } cases[] = {
        {"nul.a%00b", nullptr, false}, {"nul.ok", "in.%00x", false},
        {"nul.%00", nullptr, false},   {"nul.a%01b", nullptr, true}, // a control byte: no truncation, handed on
        {"nul.a%0", nullptr, true},                                  // not an escape
        {"nul.last", "in.box", true},
    };
    for (auto& c : cases)
        ASSERT_EQ(NATS_OK, c.reply ? natsConnection_PublishRequestString(nc, c.subject, c.reply, "x")
                                   : natsConnection_PublishString(nc, c.subject, "x"));
    ASSERT_TRUE(sess.waitFor([&] { return !sess.msgs.empty() && sess.msgs.back().topic == "nul/last"; }));
    auto msgs = sess.takeMsgs();
    trxClient_log_unsetCallback();
    ASSERT_EQ(3u, msgs.size());
    EXPECT_EQ(std::string("nul/a\x01"
                          "b"),
              msgs[0].topic);
    EXPECT_EQ("nul/a%0", msgs[1].topic);
    EXPECT_EQ("in/box", msgs[2].replyTo);
    std::lock_guard<std::mutex> g(gLogMu);
    size_t refusals = 0;
    for (auto& l : gLog)
        refusals += l.find("message refused: subject 'nul.a%00b' (reply '') holds %00") != std::string::npos;
    EXPECT_EQ(1u, refusals) << "the first refusal is logged";
    natsConnection_Destroy(nc);
}

TEST(NatsTls, SessionsTalkOverTlsAndRefuseAnUntrustedServer)
{
    char tmpl[] = "/tmp/trxtls.XXXXXX";
    std::string dir = ::mkdtemp(tmpl);
    std::string cmd = "cd '" + dir +
                      "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 1"
                      " -subj /CN=trx-test-ca && openssl req -newkey rsa:2048 -nodes -keyout server.key"
                      " -out server.csr -subj /CN=127.0.0.1 && printf 'subjectAltName=IP:127.0.0.1' > san.ext"
                      " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
                      " -out server.pem -days 1 -extfile san.ext) > /dev/null 2>&1";
    cmd = "(" + cmd;
    ASSERT_EQ(0, std::system(cmd.c_str())) << "openssl could not make test certificates";
    {
        NatsServer server("tls { cert_file: \"" + dir + "/server.pem\", key_file: \"" + dir + "/server.key\" }\n");
        std::string url = "tls://127.0.0.1:" + std::to_string(server.port());
        Client sub(creds(url, {"SESSION_TLS_CA_FILE", dir + "/ca.pem"}));
        Client pub(creds(url, {"SESSION_TLS_CA_FILE", dir + "/ca.pem"}));
        ASSERT_EQ(TRXCLIENT_OK, sub.connectRc);
        ASSERT_EQ(TRXCLIENT_OK, sub.subscribe("tls/x"));
        ASSERT_EQ(TRXCLIENT_OK, pub.publish("tls/x", "secret"));
        ASSERT_TRUE(sub.waitMsgs(1));
        EXPECT_EQ("secret", sub.takeMsgs()[0].data);
        // Without the CA the server's certificate is not trusted.
        Client stranger(creds(url), false);
        EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_connect(stranger.session));
    }
    ASSERT_EQ(0, std::system(("rm -rf '" + dir + "'").c_str()));
}

// trxcache run to its end: exit status and what it printed.
struct ToolRun
{
    int status = -1;
    std::string out, err;
};

ToolRun trxcache(const std::string& dir, const std::string& args, const std::string& env = "")
{
    const std::string out = dir + "/tool.out", err = dir + "/tool.err";
    int st = std::system((env + " " + TRXCACHE_BIN + " " + args + " > " + out + " 2> " + err).c_str());
    auto read = [](const std::string& path)
    {
        std::ifstream f(path);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, read(out), read(err)};
}

class NatsCacheTool : public ::testing::Test
{
protected:
    ToolRun run(const std::string& args) { return trxcache(server.dir(), login + args); }
    NatsServer server;
    const std::string login = "--server " + server.url() + " --user trx --password secret ";
};

TEST_F(NatsCacheTool, CreateShowEmptyDelete)
{
    ToolRun r = run("create 'px/>' 'py/>' 'pz/>'");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("file storage, 1 replica")) << r.out;
    EXPECT_NE(0, run("create 'bad/pre*'").status) << "cannot be captured exactly";
    Client c(creds(server.url()));
    c.cacheSession({"CACHESESSION_REQUEST_TIMEOUT_MS", "1000"});
    for (const char* t : {"px/a b", "py/a", "pz/a"})
        ASSERT_EQ(TRXCLIENT_OK, c.publish(t, "v1"));
    ASSERT_TRUE(c.drain());
    r = run("show");
    ASSERT_EQ(0, r.status) << r.err;
    for (const char* line : {"  storage:       file", "  replicas:      1 (a single server, no cluster)",
                             "  cached topics: 3", "    px/>", "    py/>", "    pz/>"})
        EXPECT_NE(std::string::npos, r.out.find(line)) << line << " in\n" << r.out;
    EXPECT_EQ(TRXCLIENT_OK, c.cacheRequest("px/a b", 1, 9));
    // Every pattern given to empty is used; the others keep their values.
    r = run("empty 'px/>' 'py/>'");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(TRXCLIENT_INCOMPLETE, c.cacheRequest("px/a b", 2, 9));
    EXPECT_EQ(TRXCLIENT_SUBCODE_NO_CACHED_DATA, trxClient_getLastErrorInfo()->subCode);
    EXPECT_EQ(TRXCLIENT_INCOMPLETE, c.cacheRequest("py/a", 3, 9));
    EXPECT_EQ(TRXCLIENT_OK, c.cacheRequest("pz/a", 4, 9));
    ASSERT_EQ(0, run("empty").status);
    EXPECT_EQ(TRXCLIENT_INCOMPLETE, c.cacheRequest("pz/a", 5, 9));
    ASSERT_EQ(0, run("delete").status);
    EXPECT_EQ(TRXCLIENT_FAIL, c.cacheRequest("px/a b", 6, 9));
    EXPECT_EQ(TRXCLIENT_SUBCODE_CACHE_UNAVAILABLE, trxClient_getLastErrorInfo()->subCode);
}

// Options go before or after the command, as with NATS's own tools; an
// option's value is never taken for a pattern.
TEST_F(NatsCacheTool, OptionsMayFollowTheCommand)
{
    ToolRun r = run("create --storage memory 'x/>' --stream OTHER --replicas=1");
    ASSERT_EQ(0, r.status) << r.err;
    r = run("show --stream=OTHER");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stream OTHER on")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("storage:       memory")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  patterns:\n    x/>\n")) << "one pattern only:\n" << r.out;
    // The server from NATS_URL when --server is absent.
    r = trxcache(server.dir(), "--user trx --password secret show --stream OTHER", "NATS_URL=" + server.url());
    EXPECT_EQ(0, r.status) << r.err;
}

// create on an existing stream: the same configuration is fine, another one
// is reported and nothing changes; update changes patterns and keeps values.
TEST_F(NatsCacheTool, CreateReportsADifferentStreamAndUpdateKeepsCachedValues)
{
    ASSERT_EQ(0, run("create 'px/>'").status);
    Client c(creds(server.url()));
    c.cacheSession({"CACHESESSION_REQUEST_TIMEOUT_MS", "1000"});
    ASSERT_EQ(TRXCLIENT_OK, c.publish("px/a", "kept"));
    ASSERT_TRUE(c.drain());

    ToolRun r = run("create 'px/>'");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("already exists")) << r.out;
    r = run("create 'px/>' 'py/>' --storage memory");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("already exists on " + server.url() + " with another configuration"))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("patterns px/> (asked: px/>, py/>)")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("storage file (asked: memory)")) << r.err;
    EXPECT_NE(std::string::npos, run("show").out.find("  patterns:\n    px/>\n")) << "nothing changed";

    r = run("update 'py/>' 'pz/>'");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("1 cached topics kept")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("no longer captured: px/>")) << r.out;
    ASSERT_EQ(TRXCLIENT_OK, c.publish("pz/b", "new"));
    ASSERT_TRUE(c.drain());
    EXPECT_EQ(TRXCLIENT_OK, c.cacheRequest("px/a", 1, 9)) << "the value cached before the update stays";
    EXPECT_EQ(TRXCLIENT_OK, c.cacheRequest("pz/b", 2, 9)) << "the new pattern captures";
    r = run("add 'pw/>'");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, run("show").out.find("    pw/>\n    py/>\n    pz/>\n"));
    r = run("update --storage memory");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("storage cannot change on a live stream")) << r.err;
}

// A single server cannot hold copies: refused with the reason, nothing made
// or changed (the server itself would take an update's count silently).
TEST_F(NatsCacheTool, ReplicasOnASingleServerAreRefusedAndNothingIsMade)
{
    ToolRun r = run("create --replicas 3 'px/>'");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("--replicas 3: " + server.url() + " is a single nats-server, not a JetStream cluster"))
        << r.err;
    r = run("show");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no cache stream TRXCACHE on")) << r.err;

    ASSERT_EQ(0, run("create 'px/>'").status);
    r = run("update --replicas 5");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("is a single nats-server")) << r.err;
    EXPECT_NE(std::string::npos, run("show").out.find("replicas:      1 ")) << "unchanged";
}

// Scaled up to three copies, the stream has no leader for a moment, so a
// delete right after is asked again; the first try may have done it, which
// the next one hears as "no such stream": that is the delete done, not a
// failure.
TEST(NatsClusterCacheTool, DeleteRightAfterAScaleUpIsReportedDone)
{
    NatsCluster cluster("", 3, testsupport::testUsersConfig());
    ASSERT_TRUE(cluster.start());
    const std::string login = "--server " + cluster.urls() + " --user trx --password secret ";
    const std::string dir = cluster.nodes[0]->dir();
    ASSERT_EQ(0, trxcache(dir, login + "create 'up/>'").status);
    ToolRun r = trxcache(dir, login + "update --replicas 3");
    ASSERT_EQ(0, r.status) << r.err;
    r = trxcache(dir, login + "delete");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stream TRXCACHE deleted")) << r.out;
    r = trxcache(dir, login + "show");
    EXPECT_NE(std::string::npos, r.err.find("no cache stream TRXCACHE")) << r.out;
}

// What is wrong, in words: not libnats' "No responders" or "Not Found".
TEST_F(NatsCacheTool, BrokerErrorsSayWhatIsWrong)
{
    ToolRun r = run("show");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("no cache stream TRXCACHE on " + server.url() + "; create it with: trxcache create PATTERN"))
        << r.err;
    for (const char* cmd : {"empty", "delete", "update --replicas 1", "add 'a/>'"})
        EXPECT_NE(std::string::npos, run(cmd).err.find("no cache stream TRXCACHE")) << cmd;
    NatsServer plain("jetstream: disabled\n");
    r = trxcache(server.dir(), "--server " + plain.url() + " --user trx --password secret create 'a/>'");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("JetStream is not enabled on " + plain.url())) << r.err;
    r = trxcache(server.dir(), "--server " + server.url() + " --user trx --password wrong show");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("login refused by " + server.url())) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("wrong")) << "no secret in the message";
}

// Bad arguments are refused before any broker is asked (this one does not
// exist), with the reason.
TEST(NatsCacheToolArguments, BadArgumentsAreRefusedAtOnceWithTheReason)
{
    char tmpl[] = "/tmp/trxcache.XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    struct Case
    {
        const char *args, *reason;
    } cases[] = {
        {"--replicas abc create 'px/>'", "--replicas 'abc': expected 1, 3 or 5"},
        {"--replicas 2 create 'px/>'", "--replicas '2'"},
        {"--replicas 6 create 'px/>'", "--replicas '6'"},
        {"create 'px/>' --replicas", "--replicas needs a value"},
        {"--storage disk create 'px/>'", "--storage 'disk': expected file or memory"},
        {"--timeout 0 show", "--timeout '0'"},
        {"--stream a.b show", "--stream 'a.b': a stream name is"},
        {"--stream 'a b' show", "--stream 'a b'"},
        {"--stream '' show", "--stream ''"},
        {"create 'px/>' -weird", "unknown option '-weird' (a topic pattern cannot start with '-')"},
        {"create --bogus 'px/>'", "unknown option '--bogus'"},
        {"lsit", "unknown command 'lsit'"},
        {"", "no command given"},
        {"create", "create needs at least one topic pattern"},
        {"update", "update needs topic patterns, --replicas or both"},
        {"show 'px/>'", "show takes no topic pattern"},
        {"create 'a/b*'", "cannot be captured exactly"},
        {"--server http://127.0.0.1:1 show", "--server: 'http://127.0.0.1:1' is not a nats://"},
        {"--nkey /nonexistent show", "--nkey '/nonexistent': No such file"},
        {"--tls-cert /etc/hostname show", "--tls-cert and --tls-key: a client certificate needs both"},
        {"--password pw show", "--password needs --user"},
    };
    for (auto& c : cases)
    {
        ToolRun r = trxcache(dir, std::string("--server nats://127.0.0.1:1 ") + c.args);
        EXPECT_EQ(2, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find(c.reason)) << c.args << ": " << r.err;
    }
    ToolRun help = trxcache(dir, "--help");
    EXPECT_EQ(0, help.status);
    for (const char* text :
         {"$NATS_URL, else nats://127.0.0.1:4222", "(TRXCACHE)", "file: they survive", "(1)", "(10)"})
        EXPECT_NE(std::string::npos, help.out.find(text)) << text << " in --help";
    ToolRun version = trxcache(dir, "--version");
    EXPECT_EQ(0, version.status);
    EXPECT_EQ(0u, version.out.rfind("trxcache ", 0)) << version.out;
    ASSERT_EQ(0, std::system(("rm -rf '" + dir + "'").c_str()));
}

TEST(NatsScale, TensOfThousandsOfSubscriptionsShareTheDeliveryThreads)
{
    NatsServer server;
    Client c(creds(server.url())), pub(creds(server.url()));
    auto threads = []
    {
        int n = 0;
        if (FILE* f = std::fopen("/proc/self/status", "r"))
        {
            char line[256];
            while (std::fgets(line, sizeof line, f))
                if (std::sscanf(line, "Threads: %d", &n) == 1)
                    break;
            std::fclose(f);
        }
        return n;
    };
    int before = threads();
    const int n = 20000;
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(TRXCLIENT_OK, c.subscribe("scale/" + std::to_string(i % 100) + "/" + std::to_string(i), 0, 0));
    EXPECT_LT(threads(), before + 5) << "no thread per subscription";
    ASSERT_TRUE(c.drain(20000));
    for (int i = 0; i < n; i += 997)
        ASSERT_EQ(TRXCLIENT_OK, pub.publish("scale/" + std::to_string(i % 100) + "/" + std::to_string(i), "x"));
    ASSERT_TRUE(c.waitMsgs(static_cast<size_t>((n + 996) / 997), 10000));
    trxClient_session_stats_t st;
    trxClient_session_getStats(c.session, &st);
    EXPECT_EQ(static_cast<uint64_t>(n), st.dispatchEntries);
}

} // namespace
