// OpenMAMA's stock example and test programs, each a separate process, talk
// through the tarnix middleware over real nats-server processes. The broker's
// monitoring endpoint tells when a subscription is really in place, so no
// test relies on a sleep.
#include "programsFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

using namespace e2e;
using namespace testsupport;
using namespace std::chrono_literals;

namespace
{

std::vector<std::string> words(const std::string& line)
{
    std::istringstream is(line);
    std::vector<std::string> w;
    std::string s;
    while (is >> s)
        w.push_back(s);
    return w;
}

// mamasubscriberc prints every named field as "name fid type value": the
// values of fid 10 (the publishers' sequence number), in arrival order, from
// line from on.
std::vector<long> sequenceNumbers(const std::vector<std::string>& lines, size_t from = 0)
{
    std::vector<long> seq;
    for (size_t i = from; i < lines.size(); ++i)
    {
        auto w = words(lines[i]);
        if (w.size() >= 4 && w[1] == "10")
            seq.push_back(std::atol(w[3].c_str()));
    }
    return seq;
}

size_t countContaining(const std::vector<std::string>& lines, const std::string& text, size_t from = 0)
{
    size_t n = 0;
    for (size_t i = from; i < lines.size(); ++i)
        n += lines[i].find(text) != std::string::npos;
    return n;
}

// mamaconsumerc_v2's statistics lines: "YYYY/MM/DD - HH:MM:SS  RATE ...".
std::optional<long> consumerRate(const std::string& line)
{
    static const std::regex re(R"(^\s*\d{4}/\d{2}/\d{2} - \d{2}:\d{2}:\d{2}\s+(\d+))");
    std::smatch m;
    if (!std::regex_search(line, m, re))
        return std::nullopt;
    return std::atol(m[1].str().c_str());
}

class StockPrograms : public ProgramsFixture
{
protected:
    void SetUp() override
    {
        ProgramsFixture::SetUp();
        mMama = std::make_unique<MamaSetup>(mDir->path());
    }

    Process& program(const std::string& label, const std::string& name, const std::vector<std::string>& args)
    {
        return run(*mMama, label, name, args, true);
    }

    // mamapublisherc on transport "pub", publishing outbound and answering
    // requests on inbound; null when the broker never saw it subscribe.
    Process* respondOn(const NatsServer& nats, const std::string& outbound, const std::string& inbound)
    {
        Process& pub = program("mamapublisherc", "mamapublisherc",
                               {"-m", "tarnix", "-tport", "pub", "-s", outbound, "-l", inbound, "-i", "5"});
        return waitUntil([&] { return nats.hasSubscription(inbound); }, 30s) ? &pub : nullptr;
    }

    std::unique_ptr<MamaSetup> mMama;
};

// OpenMAMA's C programs and their C++ counterparts (on OpenMAMA's C++ API)
// work alike over tarnix.
struct PubSubPrograms
{
    const char* publisher;
    const char* subscriber;
    // mamapublishercpp -c N dies at exit over any middleware (OpenMAMA's qpid
    // too): its timer is never destroyed and still fires while mama_close
    // has already unloaded the payload. It runs until stopped instead.
    bool exitsAfterCount;
};

void PrintTo(const PubSubPrograms& p, std::ostream* os)
{
    *os << p.publisher << " to " << p.subscriber;
}

class PublisherToSubscriber : public StockPrograms, public ::testing::WithParamInterface<PubSubPrograms>
{
};

TEST_P(PublisherToSubscriber, MessagesArriveInOrder)
{
    const PubSubPrograms programs = GetParam();
    NatsServer* nats = natsServer();
    ASSERT_TRUE(nats) << "nats-server did not start";
    mMama->natsTransport("pub", nats->url()).natsTransport("sub", nats->url()).write();
    const std::string symbol = uniqueSymbol("ORDER");

    Process& sub = program(programs.subscriber, programs.subscriber, {"-m", "tarnix", "-tport", "sub", "-s", symbol});
    ASSERT_TRUE(waitUntil([&] { return nats->hasSubscription(symbol); }, 30s))
        << "the broker never saw the subscription to " << symbol;

    const size_t count = 200;
    std::vector<std::string> args{"-m", "tarnix", "-tport", "pub", "-s", symbol, "-i", "0.005", "-q"};
    if (programs.exitsAfterCount)
        args.insert(args.end(), {"-c", std::to_string(count)});
    Process& pub = program(programs.publisher, programs.publisher, args);
    if (programs.exitsAfterCount)
    {
        ASSERT_TRUE(pub.waitExit(60s)) << programs.publisher << " did not finish its " << count << " messages";
        EXPECT_EQ(pub.exitStatus(), 0);
    }

    ASSERT_TRUE(waitUntil([&] { return sequenceNumbers(sub.lines(Process::Out)).size() >= count; }, 30s))
        << "only " << sequenceNumbers(sub.lines(Process::Out)).size() << " of " << count << " messages arrived";
    pub.kill();
    std::vector<long> expected(count);
    for (size_t i = 0; i < count; ++i)
        expected[i] = long(i) + 1;
    std::vector<long> seq = sequenceNumbers(sub.lines(Process::Out));
    if (!programs.exitsAfterCount)
        seq.resize(count);
    EXPECT_EQ(seq, expected);
    if (programs.exitsAfterCount)
    {
        EXPECT_EQ(countContaining(sub.lines(Process::Out), "Recieved msg."), count);
    }
    EXPECT_TRUE(sub.running());
}

INSTANTIATE_TEST_SUITE_P(Api, PublisherToSubscriber,
                         ::testing::Values(PubSubPrograms{"mamapublisherc", "mamasubscriberc", true},
                                           PubSubPrograms{"mamapublishercpp", "mamasubscribercpp", false}),
                         [](const auto& info) { return std::string(info.param.subscriber); });

TEST_F(StockPrograms, InboxRequestIsAnsweredByPublisherInboxListener)
{
    NatsServer* nats = natsServer();
    ASSERT_TRUE(nats) << "nats-server did not start";
    mMama->natsTransport("pub", nats->url()).natsTransport("sub", nats->url()).write();
    const std::string outbound = uniqueSymbol("FEED");
    const std::string inbound = uniqueSymbol("REQ");
    Process* pub = respondOn(*nats, outbound, inbound);
    ASSERT_TRUE(pub) << "the broker never saw the publisher's inbound subscription";
    Process& inbox = program("mamainboxc", "mamainboxc", {"-m", "tarnix", "-tport", "sub", "-s", inbound});
    auto reply = inbox.waitForText("Received reply:", 30s);
    ASSERT_TRUE(reply) << "no reply reached the inbox";
    // The publisher puts its outbound topic into every message it sends.
    EXPECT_NE(inbox.lines(Process::Out)[*reply].find(outbound), std::string::npos) << inbox.lines(Process::Out)[*reply];

    auto request = pub->waitForText("Recieved inbound msg.", 10s);
    ASSERT_TRUE(request);
    EXPECT_NE(pub->lines(Process::Out)[*request].find("222"), std::string::npos)
        << "the request's field did not arrive: " << pub->lines(Process::Out)[*request];
    EXPECT_EQ(countContaining(pub->lines(Process::Out), "Inbound msg not from inbox"), 0u);
}

// A broker that refuses the requester its inbox subjects: mamainboxc's
// requests are refused with a status and the cause is logged at the default
// level, naming the subject and the permission to grant, instead of
// requests going out whose replies cannot come back.
TEST_F(StockPrograms, InboxRequestsFailLoudlyWhenTheBrokerRefusesTheInboxSubjects)
{
    NatsServer* nats =
        natsServer("nats", "authorization {\n"
                           "  users = [\n"
                           "    {user: pub, password: p}\n"
                           "    {user: req, password: r, permissions: {subscribe: {deny: [\"#P2P.>\"]}}}\n"
                           "  ]\n"
                           "}\n");
    ASSERT_TRUE(nats) << "nats-server did not start";
    mMama->natsTransport("pub", nats->url())
        .property("mama.tarnix.transport.pub.SESSION_USERNAME", "pub")
        .property("mama.tarnix.transport.pub.SESSION_PASSWORD", "p")
        .natsTransport("sub", nats->url())
        .property("mama.tarnix.transport.sub.SESSION_USERNAME", "req")
        .property("mama.tarnix.transport.sub.SESSION_PASSWORD", "r")
        .write();
    const std::string outbound = uniqueSymbol("FEED");
    const std::string inbound = uniqueSymbol("REQ");
    Process* pub = respondOn(*nats, outbound, inbound);
    ASSERT_TRUE(pub) << "the broker never saw the publisher's inbound subscription";
    Process& inbox = program("mamainboxc", "mamainboxc", {"-m", "tarnix", "-tport", "sub", "-s", inbound});
    // OpenMAMA logs to standard error.
    auto cause = inbox.waitForText("Grant the user subscribe permission on subject '#P2P.>'", 30s, Process::Err);
    ASSERT_TRUE(cause) << "the refused inbox subscription was not logged";
    const std::string line = inbox.lines(Process::Err)[*cause];
    EXPECT_NE(line.find("Error"), std::string::npos) << line;
    EXPECT_NE(line.find("refused the subscription to subject '#P2P.*."), std::string::npos) << line;
    auto refused =
        inbox.waitForText("request to '" + inbound + "' not sent (MAMA_STATUS_NOT_PERMISSIONED)", 30s, Process::Err);
    ASSERT_TRUE(refused) << "no request was refused";
    EXPECT_NE(inbox.lines(Process::Err)[*refused].find("Error"), std::string::npos);
    // A few more request periods: still no reply, and the publisher got none of them.
    EXPECT_FALSE(inbox.waitForText("Received reply:", 3s));
    EXPECT_EQ(countContaining(pub->lines(Process::Out), "Recieved inbound msg."), 0u);
}

// Publications the broker refuses reach the transport's topic callback; an
// operator at the default log level sees the first of each subject once.
TEST_F(StockPrograms, RefusedPublicationsAreLoggedOncePerSubject)
{
    NatsServer* nats =
        natsServer("nats", "authorization {\n"
                           "  users = [ {user: pub, password: p, permissions: {publish: {deny: [\"DENY.>\"]}}} ]\n"
                           "}\n");
    ASSERT_TRUE(nats) << "nats-server did not start";
    mMama->natsTransport("pub", nats->url())
        .property("mama.tarnix.transport.pub.SESSION_USERNAME", "pub")
        .property("mama.tarnix.transport.pub.SESSION_PASSWORD", "p")
        .write();
    const std::string denied = "DENY." + uniqueSymbol("S");
    const std::string allowed = uniqueSymbol("OK");
    const int count = 20;
    std::vector<Process*> pubs;
    for (const auto& symbol : {denied, allowed})
        pubs.push_back(
            &program("pub-" + symbol, "mamapublisherc",
                     {"-m", "tarnix", "-tport", "pub", "-s", symbol, "-c", std::to_string(count), "-i", "0.01", "-q"}));
    for (auto* p : pubs)
    {
        ASSERT_TRUE(p->waitExit(60s)) << p->name() << " did not finish";
        EXPECT_EQ(p->exitStatus(), 0) << p->name();
    }
    const auto deniedLog = pubs[0]->lines(Process::Err);
    EXPECT_EQ(countContaining(deniedLog, "refused by the broker on transport 'pub'"), 1u)
        << "one line for " << count << " refused publications";
    EXPECT_EQ(countContaining(deniedLog, "Publication to '" + denied + "' refused"), 1u);
    EXPECT_EQ(countContaining(pubs[1]->lines(Process::Err), "refused"), 0u);
}

// A frozen broker (SIGSTOP) must not stall the publisher: mamapublisherc
// logs each send just before it makes it, so the longest pause between
// those lines is the longest a send took. Reconnect attempts to the frozen
// node each last the connect time-out (2 s); sends must not wait on them.
// The subscriber's keep-alive outlasts the freeze, so its subscription
// survives it and shows that the held sends arrive, in order, afterwards.
TEST_F(StockPrograms, PublisherKeepsSendingWhileTheBrokerIsFrozen)
{
    NatsServer* nats = natsServer();
    ASSERT_TRUE(nats) << "nats-server did not start";
    mMama->natsTransport("pub", nats->url())
        .natsTransport("sub", nats->url())
        .property("mama.tarnix.transport.sub.SESSION_KEEP_ALIVE_INT_MS", "60000")
        .write();
    const std::string symbol = uniqueSymbol("FROZEN");
    Process& sub = program("mamasubscriberc", "mamasubscriberc", {"-m", "tarnix", "-tport", "sub", "-s", symbol});
    ASSERT_TRUE(waitUntil([&] { return nats->hasSubscription(symbol); }, 30s));
    Process& pub =
        program("mamapublisherc", "mamapublisherc", {"-m", "tarnix", "-tport", "pub", "-s", symbol, "-i", "0.01"});
    const std::string sendLine = "Publishing message";
    ASSERT_TRUE(pub.waitForText(sendLine, 30s, Process::Err));
    ASSERT_TRUE(waitUntil([&] { return !sequenceNumbers(sub.lines(Process::Out)).empty(); }, 30s));

    nats->signal(SIGSTOP);
    const size_t sentBefore = pub.countLines(Process::Err, sendLine);
    size_t seen = sentBefore;
    auto lastNew = std::chrono::steady_clock::now();
    auto longest = std::chrono::milliseconds(0);
    for (auto until = lastNew + scaled(4000ms); std::chrono::steady_clock::now() < until;)
    {
        std::this_thread::sleep_for(20ms);
        const size_t now = pub.countLines(Process::Err, sendLine);
        const auto t = std::chrono::steady_clock::now();
        if (now != seen)
        {
            seen = now;
            lastNew = t;
        }
        longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(t - lastNew));
    }
    nats->signal(SIGCONT);
    const long sentFrozen = static_cast<long>(pub.countLines(Process::Err, sendLine) - sentBefore);
    EXPECT_LT(longest.count(), 1000) << "a send took " << longest.count() << " ms";
    EXPECT_TRUE(pub.running());

    // Delivery resumes. What went into the dead connections before the
    // freeze was noticed (about a second) may be lost, or late: the thawed
    // server still reads those sockets, and NATS orders nothing across
    // connections, so such stragglers can land among the later messages.
    // What was held for the reconnect arrives complete and in order, and so
    // does what follows.
    const long last = static_cast<long>(pub.countLines(Process::Err, sendLine)) + 20;
    ASSERT_TRUE(waitUntil(
        [&]
        {
            auto seq = sequenceNumbers(sub.lines(Process::Out));
            return !seq.empty() && seq.back() >= last;
        },
        30s))
        << "delivery did not resume after the freeze";
    auto seq = sequenceNumbers(sub.lines(Process::Out));
    // The run of consecutive numbers that ends with the last one, passing
    // over stragglers (numbers below the run); a held message lost or out of
    // order ends the run.
    size_t tail = 1;
    long expect = seq.back() - 1;
    for (size_t i = seq.size() - 1; i-- > 0;)
    {
        if (seq[i] == expect)
        {
            ++tail;
            --expect;
        }
        else if (seq[i] > expect)
        {
            break;
        }
    }
    std::string runs; // what arrived, as runs of consecutive numbers
    for (size_t i = 0; i < seq.size(); ++i)
    {
        size_t j = i;
        while (j + 1 < seq.size() && seq[j] + 1 == seq[j + 1])
            ++j;
        runs += " " + std::to_string(seq[i]) + (j > i ? "-" + std::to_string(seq[j]) : "");
        i = j;
    }
    EXPECT_GE(static_cast<long>(tail), sentFrozen - 150)
        << "of " << sentFrozen << " sent during the freeze (from " << sentBefore
        << "), the ones held were lost or out of order; received:" << runs;
}

TEST_F(StockPrograms, WildcardSubscriberReceivesEachSymbolWithItsSubject)
{
    NatsServer* nats = natsServer();
    ASSERT_TRUE(nats) << "nats-server did not start";
    mMama->natsTransport("pub", nats->url()).natsTransport("sub", nats->url()).write();
    const std::string root = uniqueSymbol("WC");
    const std::string other = uniqueSymbol("XW");

    Process& sub =
        program("mamasubscriberc", "mamasubscriberc", {"-m", "tarnix", "-tport", "sub", "-w", "-s", root + ".*"});
    ASSERT_TRUE(waitUntil([&] { return nats->hasSubscription(root); }, 30s))
        << "the broker never saw the wildcard subscription";

    const int count = 5;
    const std::vector<std::string> symbols = {root + ".AAA", root + ".BBB", root + ".CCC", other + ".AAA"};
    std::vector<Process*> pubs;
    for (const auto& s : symbols)
        pubs.push_back(
            &program("pub-" + s, "mamapublisherc",
                     {"-m", "tarnix", "-tport", "pub", "-s", s, "-c", std::to_string(count), "-i", "0.01", "-q"}));
    for (auto* p : pubs)
    {
        ASSERT_TRUE(p->waitExit(60s)) << p->name() << " did not finish";
        EXPECT_EQ(p->exitStatus(), 0) << p->name();
    }

    static const std::regex re(R"(Received Wild Card Message with topic (\S+) closure)");
    auto subjects = [&]
    {
        std::map<std::string, int> seen;
        for (const auto& l : sub.lines(Process::Out))
        {
            std::smatch m;
            if (std::regex_search(l, m, re))
                ++seen[m[1]];
        }
        return seen;
    };
    ASSERT_TRUE(waitUntil(
        [&]
        {
            auto seen = subjects();
            return seen[symbols[0]] >= count && seen[symbols[1]] >= count && seen[symbols[2]] >= count;
        },
        30s));
    const std::map<std::string, int> expected = {{symbols[0], count}, {symbols[1], count}, {symbols[2], count}};
    EXPECT_EQ(subjects(), expected) << "each matching symbol exactly " << count << " times, nothing else";
}

TEST_F(StockPrograms, SlowSubscriberMemoryStaysBoundedWhilePublisherRunsOn)
{
    NatsServer* nats = natsServer();
    ASSERT_TRUE(nats) << "nats-server did not start";
    // A small queue and a small hold-back buffer in the client library: what
    // the subscriber may keep is a few thousand messages whatever the backlog.
    mMama->natsTransport("pub", nats->url())
        .natsTransport("sub", nats->url())
        .property("mama.tarnix.transport.queue_max_size", "500")
        .property("mama.tarnix.transport.sub.SESSION_BUFFER_MSG_LIMIT", "1000")
        .write();
    const std::string symbol = uniqueSymbol("SLOW");

    // The subscriber prints every message; its standard output is read at
    // 400 messages a second, so its dispatching blocks on the pipe. -v -v
    // shows the bridge's suspensions.
    ProcessOptions so = mMama->program("mamasubscriberc", "mamasubscriberc",
                                       {"-m", "tarnix", "-tport", "sub", "-s", symbol, "-v", "-v"});
    so.pacedMarker = "mamasubscriberc: Recieved msg.";
    so.pacedPerSecond = 400;
    Process& sub = start(so);
    ASSERT_TRUE(waitUntil([&] { return nats->hasSubscription(symbol); }, 30s));
    const long rssStart = sub.rssKb();
    ASSERT_GT(rssStart, 0);
    const long inStart = nats->varz("in_msgs");

    // Flat market-data updates (named fields, so the subscriber prints the
    // sequence number) at up to 20,000 a second. Held in the queue, each
    // costs the subscriber about 1 KB: a backlog of 60,000 would be 60 MB.
    Process& pub = program("mamaproducerc_v2", "mamaproducerc_v2",
                           {"-m", "tarnix", "-tport", "pub", "-s", symbol, "-target", "20000", "-flat"});
    const long backlogWanted = 60000;
    long rssMax = rssStart;
    size_t scanned = 0;
    long consumedSoFar = 0;
    auto consumed = [&]
    {
        consumedSoFar += static_cast<long>(sub.countLines(Process::Out, so.pacedMarker, scanned, &scanned));
        return consumedSoFar;
    };
    auto published = [&] { return nats->varz("in_msgs") - inStart; };
    auto sample = [&]
    {
        rssMax = std::max(rssMax, sub.rssKb());
        return true;
    };
    const bool backlogReached = waitUntil(
        [&]
        {
            sample();
            return published() - consumed() >= backlogWanted || !pub.running() || !sub.running();
        },
        120s);
    ASSERT_TRUE(backlogReached && pub.running() && sub.running())
        << "published " << published() << ", consumed " << consumed();
    const long consumedMid = consumed(), publishedMid = published(), rssMid = sub.rssKb();

    // The publisher runs on; memory must not follow the backlog.
    waitUntil([&] { return !sample() || !pub.running() || !sub.running(); }, 5s);
    ASSERT_TRUE(pub.running() && sub.running());
    const long consumedEnd = consumed(), publishedEnd = published(), rssEnd = sub.rssKb();

    EXPECT_GT(publishedEnd, publishedMid) << "the publisher stopped";
    EXPECT_GT(consumedEnd, consumedMid) << "the subscriber stopped consuming";
    EXPECT_GE(countContaining(sub.lines(Process::Err), "suspending the transport"), 1u)
        << "flow control never suspended the subscriber's transport";
    EXPECT_LT(rssMax - rssStart, 24 * 1024) << "RSS grew from " << rssStart << " KiB to " << rssMax
                                            << " KiB with a backlog of " << publishedEnd - consumedEnd << " messages";
    EXPECT_LT(rssEnd - rssMid, 8 * 1024) << "RSS still growing: " << rssMid << " -> " << rssEnd << " KiB";

    // What is delivered stays in publication order; gaps are the discards.
    auto seq = sequenceNumbers(sub.lines(Process::Out));
    ASSERT_FALSE(seq.empty());
    EXPECT_TRUE(std::is_sorted(seq.begin(), seq.end(), std::less_equal<long>()) &&
                std::adjacent_find(seq.begin(), seq.end()) == seq.end())
        << "messages delivered out of order";
}

// With large messages the byte budget, not the queue's depth, bounds what a
// consumer that stopped reading makes the subscriber hold. Once it reads
// again it catches up with the live stream, and what was discarded meanwhile
// shows as gaps in the sequence numbers and in the client library's report.
TEST_F(StockPrograms, BlockedConsumerOfLargeMessagesStaysWithinItsByteBudgetAndRecovers)
{
    NatsServer* nats = natsServer("nats", "max_payload: 2MB\n");
    ASSERT_TRUE(nats) << "nats-server did not start";
    const long budget = 32l << 20;
    mMama->natsTransport("pub", nats->url())
        .natsTransport("sub", nats->url())
        .property("mama.tarnix.transport.sub.max_pending_bytes", std::to_string(budget))
        .write();

    struct Case
    {
        const char* label;
        const char* padding;
        const char* interval; // seconds between bursts
        const char* burst;
    };
    // 2000 updates of 20 KB a second, or 50 of 1 MiB: eight budgets within a
    // few seconds. Held by message count alone (50,000) all of it would stay
    // in the subscriber.
    const Case cases[] = {{"20KB", "20000", "0.01", "20"}, {"1MiB", "1048576", "0.02", "1"}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        const std::string symbol = uniqueSymbol("BIG");
        Process& sub = program(std::string("sub-") + c.label, "mamasubscriberc",
                               {"-m", "tarnix", "-tport", "sub", "-s", "SRC." + symbol, "-v", "-v"});
        sub.holdOutput(true);
        ASSERT_TRUE(waitUntil([&] { return nats->hasSubscription(symbol); }, 30s));
        const long rssStart = sub.rssKb();
        ASSERT_GT(rssStart, 0);
        const long bytesStart = nats->varz("in_bytes"), msgsStart = nats->varz("in_msgs");

        ProcessOptions po = mMama->program(std::string("pub-") + c.label, "tarnixmdpub",
                                           {"-tport", "pub", "-S", "SRC", "-s", symbol, "-pad", c.padding, "-interval",
                                            c.interval, "-burst", c.burst});
        po.argv[0] = std::string(E2E_TOOL_DIR) + "/tarnixmdpub";
        Process& pub = start(po);
        long rssMax = rssStart;
        const bool sent = waitUntil(
            [&]
            {
                rssMax = std::max(rssMax, sub.rssKb());
                return nats->varz("in_bytes") - bytesStart >= 8 * budget || !pub.running() || !sub.running();
            },
            120s);
        ASSERT_TRUE(sent && pub.running() && sub.running())
            << "published " << (nats->varz("in_bytes") - bytesStart) / 1024 << " KiB";
        EXPECT_LT(rssMax - rssStart, 2 * budget / 1024) << "RSS grew from " << rssStart << " KiB to " << rssMax
                                                        << " KiB with a budget of " << budget / 1024 << " KiB";
        EXPECT_GE(countContaining(sub.lines(Process::Err), "suspending the transport"), 1u)
            << "the byte budget never suspended the subscriber's transport";

        // Reading again, it gets to messages published after that.
        const long publishedAtRelease = nats->varz("in_msgs") - msgsStart;
        const size_t linesAtRelease = sub.lineCount(Process::Out);
        sub.holdOutput(false);
        const bool caughtUp = waitUntil(
            [&]
            {
                auto seq = sequenceNumbers(sub.lines(Process::Out), linesAtRelease);
                return (!seq.empty() && seq.back() > publishedAtRelease) || !pub.running() || !sub.running();
            },
            60s);
        EXPECT_TRUE(caughtUp && pub.running() && sub.running())
            << "no message published after the consumer read again reached it";

        // In order; the discarded stretches are gaps, which the client
        // library reported.
        const auto seq = sequenceNumbers(sub.lines(Process::Out));
        ASSERT_FALSE(seq.empty());
        EXPECT_TRUE(std::is_sorted(seq.begin(), seq.end()) && std::adjacent_find(seq.begin(), seq.end()) == seq.end())
            << "messages delivered out of order";
        size_t gaps = 0;
        for (size_t i = 1; i < seq.size(); ++i)
            gaps += seq[i] != seq[i - 1] + 1;
        EXPECT_GE(gaps, 1u) << "nothing was discarded";
        EXPECT_GE(countContaining(sub.lines(Process::Err), "receive buffer full"), 1u)
            << "the discards were not reported";
        pub.kill();
        sub.kill();
    }
}

TEST_F(StockPrograms, ClusterNodeLossGivesDisconnectThenReconnectAndMessagesResume)
{
    NatsCluster* cluster = natsCluster();
    ASSERT_TRUE(cluster) << "the 3-node cluster did not form";
    auto& nodes = cluster->nodes;
    // The publisher sits on the last node only; the subscriber lists all
    // three and connects to the first.
    mMama->natsTransport("pub", nodes[2]->url())
        .natsTransport("sub", nodes[0]->url() + "," + nodes[1]->url() + "," + nodes[2]->url())
        .write();
    const std::string symbol = uniqueSymbol("FAIL");

    Process& sub = program("mamaconsumerc_v2", "mamaconsumerc_v2",
                           {"-m", "tarnix", "-tport", "sub", "-s", symbol, "-tc", "-t", "1"});
    ASSERT_TRUE(waitUntil([&] { return nodes[0]->hasSubscription(symbol); }, 30s))
        << "the subscriber is not on the first node";

    Process& pub = program("mamaproducerc_v2", "mamaproducerc_v2",
                           {"-m", "tarnix", "-tport", "pub", "-s", symbol, "-target", "200"});
    auto flowing = [&](size_t from)
    {
        return sub.waitForLine([](const std::string& l) { return consumerRate(l).value_or(0) > 0; }, 30s, Process::Out,
                               from);
    };
    ASSERT_TRUE(flowing(0)) << "no messages crossed the cluster before the failure";

    nodes[0]->kill();
    auto down = sub.waitForText(": DISCONNECT", 30s);
    ASSERT_TRUE(down) << "no DISCONNECT after the subscriber's node died";
    auto up = sub.waitForText(": RECONNECT", 60s, Process::Out, *down + 1);
    ASSERT_TRUE(up) << "no RECONNECT after the DISCONNECT";
    EXPECT_EQ(countContaining(sub.lines(Process::Out), ": RECONNECT"),
              countContaining(sub.lines(Process::Out), ": RECONNECT", *down + 1))
        << "RECONNECT came before DISCONNECT";
    EXPECT_TRUE(waitUntil([&] { return nodes[1]->hasSubscription(symbol) || nodes[2]->hasSubscription(symbol); }, 30s))
        << "the subscription was not re-established on a surviving node";
    EXPECT_TRUE(flowing(*up + 1)) << "messages did not resume after RECONNECT";
    EXPECT_TRUE(pub.running());
}

} // namespace
