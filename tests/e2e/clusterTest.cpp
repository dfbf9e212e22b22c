// The broker's cache on a JetStream cluster and across restarts: a
// replicated file-backed stream keeps answering OpenMAMA's stock mamalistenc
// when its leader is killed, when every node is restarted, and when the node
// a subscriber is connected to dies while it waits for its initial value.
#include "programsFixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <thread>

using namespace e2e;
using namespace testsupport;
using namespace std::chrono_literals;

namespace
{

class ClusterCache : public ProgramsFixture
{
protected:
    Process& listen(const MamaSetup& mama, const std::string& label, const std::string& transport,
                    const std::vector<std::string>& symbols)
    {
        // -B: no dictionary; values show without field names.
        std::vector<std::string> args{"-m", "tarnix", "-tport", transport, "-S", mSource, "-B"};
        for (auto& s : symbols)
            args.insert(args.end(), {"-s", s});
        return run(mama, label, "mamalistenc", args, true);
    }

    std::string initial(const std::string& symbol) const
    {
        return symbol + "." + mSource + "." + symbol + " Type: INITIAL";
    }

    bool startCluster() { return natsCluster() != nullptr; }

    const std::string mSource = uniqueSymbol("SRC");
};

TEST_F(ClusterCache, ReplicatedCacheAnswersAfterItsLeaderIsKilled)
{
    ASSERT_TRUE(startCluster());
    MamaSetup mama(mDir->path());
    mama.natsTransport("all", mCluster->urls()).property("mama.tarnix.transport.all.use_trxcache", "true");
    ASSERT_TRUE(runToEnd(mama, "create", "trxcache",
                         {"--server", mCluster->urls(), "create", "--replicas", "3", mSource + "/>"}));
    mama.write();
    ASSERT_TRUE(runToEnd(mama, "seed", "tarnixmdpub", {"-tport", "all", "-S", mSource, "-count", "1", "-s", "AAA"}));
    // Every copy holds the value before its leader goes.
    ASSERT_TRUE(waitUntil([&] { return mCluster->streamInSync("TRXCACHE", 3); }, scaled(20s)));
    const int leader = mCluster->streamLeader("TRXCACHE");
    ASSERT_GE(leader, 0);
    mCluster->nodes[static_cast<size_t>(leader)]->kill();

    std::vector<size_t> survivors;
    for (size_t i = 0; i < mCluster->nodes.size(); ++i)
        if (static_cast<int>(i) != leader)
            survivors.push_back(i);
    MamaSetup after(mDir->path());
    after.natsTransport("survivor", mCluster->urls(survivors))
        .property("mama.tarnix.transport.survivor.use_trxcache", "true");
    after.write();
    Process& l = listen(after, "mamalistenc", "survivor", {"AAA", "NEVER"});
    EXPECT_TRUE(l.waitForText(initial("AAA"), scaled(20s)));
    EXPECT_TRUE(l.waitForText("NEVER: STATUS_NOT_FOUND", scaled(20s)));
    // A leader comes back for the stream meanwhile: trxcache shows it.
    ASSERT_TRUE(waitUntil([&] { return mCluster->streamLeader("TRXCACHE") >= 0; }, scaled(30s)));
    // JetStream's own leader may have gone with the node too: its answers
    // can take longer than trxcache's default 10 s to come back.
    Process& show =
        run(after, "show", "trxcache", {"show", "--timeout", "30", "--server", mCluster->urls(survivors)}, false);
    ASSERT_TRUE(show.waitExit(scaled(45s)));
    EXPECT_EQ(show.exitStatus(), 0);
    const std::string name = mCluster->nodes[static_cast<size_t>(leader)]->name();
    EXPECT_TRUE(show.waitForLine(
        [&](const std::string& line)
        {
            return line.find("replica:       " + name + " offline") != std::string::npos ||
                   line.find("replica:       " + name + " not current") != std::string::npos;
        },
        scaled(1s)));
    EXPECT_TRUE(show.waitForText("storage:       file", scaled(1s)));
    EXPECT_TRUE(show.waitForText("replicas:      3 (cluster tests)", scaled(1s)));
}

// Values written to file storage are there again once the servers are:
// every node of a cluster stopped at once, or a lone server (whose stream
// trxcache makes file-backed by default).
TEST_F(ClusterCache, CachedValuesSurviveARestartOfEveryNode)
{
    ASSERT_TRUE(startCluster());
    MamaSetup mama(mDir->path());
    mama.natsTransport("all", mCluster->urls()).property("mama.tarnix.transport.all.use_trxcache", "true");
    mama.write();
    ASSERT_TRUE(runToEnd(mama, "create", "trxcache",
                         {"--server", mCluster->urls(), "--replicas", "3", "create", mSource + "/>"}));
    ASSERT_TRUE(runToEnd(mama, "seed", "tarnixmdpub",
                         {"-tport", "all", "-S", mSource, "-count", "1", "-s", "AAA", "-s", "BBB"}));
    ASSERT_TRUE(waitUntil([&] { return mCluster->streamInSync("TRXCACHE", 3); }, scaled(20s)));
    for (auto& n : mCluster->nodes)
        n->kill();
    for (size_t i = 0; i < mCluster->nodes.size(); ++i)
        ASSERT_TRUE(mCluster->restart(i)) << i;
    // The stream elects its leader a few seconds after the cluster's: the
    // requests meanwhile are asked again until it answers.
    ASSERT_TRUE(mCluster->waitFormed());
    Process& l = listen(mama, "mamalistenc", "all", {"AAA", "BBB"});
    EXPECT_TRUE(l.waitForText(initial("AAA"), scaled(30s)));
    EXPECT_TRUE(l.waitForText(initial("BBB"), scaled(30s)));
    EXPECT_EQ(l.countLines(Process::Out, "STATUS_"), 0u);
}

TEST_F(ClusterCache, CachedValuesSurviveARestartOfASingleServer)
{
    NatsServer* server = natsServer("single");
    ASSERT_TRUE(server);
    MamaSetup mama(mDir->path());
    mama.natsTransport("one", server->url()).property("mama.tarnix.transport.one.use_trxcache", "true");
    mama.write();
    ASSERT_TRUE(runToEnd(mama, "create", "trxcache", {"--server", server->url(), "create", mSource + "/>"}));
    ASSERT_TRUE(runToEnd(mama, "seed", "tarnixmdpub", {"-tport", "one", "-S", mSource, "-count", "1", "-s", "AAA"}));
    server->kill();
    ASSERT_TRUE(server->start(server->port(), server->httpPort()));
    Process& l = listen(mama, "mamalistenc", "one", {"AAA"});
    EXPECT_TRUE(l.waitForText(initial("AAA"), scaled(20s)));
}

// The node a subscriber is connected to dies while the subscriber waits for
// its initial value (the only copy's node is frozen meanwhile, so nothing
// can have answered): the library asks again on the node it reconnects to.
TEST_F(ClusterCache, SubscriberWhoseNodeDiesWhileItWaitsGetsItsInitialValue)
{
    ASSERT_TRUE(startCluster());
    MamaSetup mama(mDir->path());
    mama.natsTransport("all", mCluster->urls()).property("mama.tarnix.transport.all.use_trxcache", "true");
    ASSERT_TRUE(runToEnd(mama, "create", "trxcache", {"--server", mCluster->urls(), "create", mSource + "/>"}));
    mama.write();
    ASSERT_TRUE(runToEnd(mama, "seed", "tarnixmdpub", {"-tport", "all", "-S", mSource, "-count", "1", "-s", "AAA"}));
    const int holder = mCluster->streamLeader("TRXCACHE");
    ASSERT_GE(holder, 0);
    const size_t h = static_cast<size_t>(holder), sub = (h + 1) % 3, other = (h + 2) % 3;
    MamaSetup subscriber(mDir->path());
    subscriber.natsTransport("sub", mCluster->urls({sub, other, h}))
        .property("mama.tarnix.transport.sub.use_trxcache", "true");
    subscriber.write();

    mCluster->nodes[h]->signal(SIGSTOP);
    Process& l = listen(subscriber, "mamalistenc", "sub", {"AAA"});
    // Subscribed: its initial-value request follows at once and waits.
    ASSERT_TRUE(waitUntil([&] { return mCluster->nodes[sub]->hasSubscription(mSource + ".AAA"); }, scaled(20s)));
    std::this_thread::sleep_for(500ms);
    mCluster->nodes[sub]->kill();
    mCluster->nodes[h]->signal(SIGCONT);

    const auto answer = l.waitForLine(
        [](const std::string& line)
        { return line.find("Type: INITIAL") != std::string::npos || line.find("STATUS_") != std::string::npos; },
        scaled(30s));
    ASSERT_TRUE(answer) << "neither the value nor a status: the subscriber hangs";
    EXPECT_NE(l.lines(Process::Out)[*answer].find(initial("AAA")), std::string::npos) << l.lines(Process::Out)[*answer];
}

// A sequence gap after failover (the subscriber's node, also the stream's
// leader, is killed while updates flow) is recovered with a recap from the
// cache, as on a single server.
TEST_F(ClusterCache, GapAfterFailoverIsRecoveredWithARecap)
{
    ASSERT_TRUE(startCluster());
    MamaSetup mama(mDir->path());
    ASSERT_TRUE(runToEnd(mama, "create", "trxcache",
                         {"--server", mCluster->urls(), "create", "--replicas", "3", mSource + "/>"}));
    const int leader = mCluster->streamLeader("TRXCACHE");
    ASSERT_GE(leader, 0);
    const size_t l = static_cast<size_t>(leader), next = (l + 1) % 3, pubNode = (l + 2) % 3;
    mama.natsTransport("pub", mCluster->urls({pubNode}))
        .natsTransport("sub", mCluster->urls({l, next}))
        .property("mama.tarnix.transport.sub.use_trxcache", "true");
    mama.write();
    // Fast enough that updates go by while the subscriber reconnects.
    Process& feed = run(mama, "feed", "tarnixmdpub",
                        {"-tport", "pub", "-S", mSource, "-interval", "0.005", "-burst", "10", "-s", "GAP"}, false);
    const std::string symbol = "GAP." + mSource + ".GAP";
    Process& sub = run(mama, "mamalistenc", "mamalistenc",
                       {"-m", "tarnix", "-tport", "sub", "-S", mSource, "-B", "-q", "-s", "GAP"}, true);
    const auto first = sub.waitForText(symbol + " Type: UPDATE", scaled(20s));
    ASSERT_TRUE(first);
    mCluster->nodes[l]->kill();
    const auto recap = sub.waitForText(symbol + " Type: RECAP", scaled(30s), Process::Out, *first);
    ASSERT_TRUE(recap) << "no recap after the failover";
    EXPECT_TRUE(sub.waitForText(symbol + " Type: UPDATE", scaled(20s), Process::Out, *recap + 1));
    EXPECT_TRUE(feed.running());
}

} // namespace
