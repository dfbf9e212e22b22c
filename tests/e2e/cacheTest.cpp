// The broker's cache over a real nats-server with JetStream: values published
// before a subscriber starts reach OpenMAMA's stock mamalistenc first, from
// the cache, then live updates follow; field names come from a dictionary the
// cache also holds; a symbol never published is reported not found.
#include "programsFixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

using namespace e2e;
using namespace testsupport;
using namespace std::chrono_literals;

namespace
{

class CacheOverNats : public ProgramsFixture
{
protected:
    // A server of its own and a mama.properties whose transport "demo" on
    // it uses the cache; mServer is null when the server did not start.
    MamaSetup demoOnCache(const std::string& name = "nats", bool jetStream = true)
    {
        MamaSetup mama(mDir->path());
        mServer = natsServer(name, "", jetStream);
        if (mServer)
        {
            mama.natsTransport("demo", mServer->url()).property("mama.tarnix.transport.demo.use_trxcache", "true");
            mama.write();
        }
        return mama;
    }

    NatsServer* mServer = nullptr;
};

// OpenMAMA's C listener and its C++ counterpart (on OpenMAMA's C++ API).
struct Listener
{
    const char* program;
    const char* notFound; // how it reports a symbol the cache does not hold
    Process::Stream notFoundOn;
};

void PrintTo(const Listener& l, std::ostream* os)
{
    *os << l.program;
}

class ListenerOverCache : public CacheOverNats, public ::testing::WithParamInterface<Listener>
{
};

TEST_P(ListenerOverCache, GetsCachedValuesFirstThenLiveUpdatesWithFieldNames)
{
    const Listener listener = GetParam();
    const MamaSetup mama = demoOnCache();
    ASSERT_TRUE(mServer);

    const std::string source = uniqueSymbol("SRC");
    ASSERT_TRUE(
        runToEnd(mama, "trxcache", "trxcache", {"--server", mServer->url(), "create", source + "/>", "#MDDD/>"}));
    // The dictionary: OpenMAMA's own file plus the market data fields.
    {
        std::ifstream base(std::string(E2E_OPENMAMA_ROOT) + "/share/openmama/dictionary1.txt");
        std::ofstream out(mDir->file("dictionary.txt"));
        out << base.rdbuf() << "237|wBidPrice|25\n109|wAskPrice|25\n305|wIssueSymbol|8\n";
    }
    ASSERT_TRUE(runToEnd(mama, "tarnixdict", "tarnixdict", {"-tport", "demo", "-f", mDir->file("dictionary.txt")}));
    ASSERT_TRUE(runToEnd(mama, "seed", "tarnixmdpub",
                         {"-tport", "demo", "-S", source, "-count", "1", "-initial", "-s", "AAA", "-s", "BBB"}));

    // Seeded and the seeding publisher gone: only the cache has the values.
    Process& listen =
        run(mama, listener.program, listener.program,
            {"-m", "tarnix", "-tport", "demo", "-S", source, "-s", "AAA", "-s", "BBB", "-s", "NEVER"}, true);
    // mamalistenc starts the line with the symbol, mamalistencpp with the source.
    const auto initialA = listen.waitForText(source + ".AAA Type: INITIAL", scaled(30s));
    const auto initialB = listen.waitForText(source + ".BBB Type: INITIAL", scaled(30s));
    ASSERT_TRUE(initialA && initialB);
    // The values' fields carry names only the cached dictionary can give.
    EXPECT_TRUE(listen.waitForText("wBidPrice", scaled(10s), Process::Out, *initialA));
    EXPECT_TRUE(listen.waitForText(listener.notFound, scaled(30s), listener.notFoundOn));

    Process& live =
        run(mama, "live", "tarnixmdpub",
            {"-tport", "demo", "-S", source, "-interval", "0.2", "-seq", "2", "-s", "AAA", "-s", "BBB"}, false);
    const auto updateA = listen.waitForText(source + ".AAA Type: UPDATE", scaled(30s));
    ASSERT_TRUE(updateA);
    EXPECT_LT(*initialA, *updateA);
    EXPECT_EQ(listen.countLines(Process::Out, source + ".AAA Type: INITIAL"), 1u);
    EXPECT_TRUE(live.running());
}

INSTANTIATE_TEST_SUITE_P(Api, ListenerOverCache,
                         ::testing::Values(Listener{"mamalistenc", "NEVER: STATUS_NOT_FOUND", Process::Out},
                                           Listener{"mamalistencpp",
                                                    "An error occurred creating subscription: STATUS_NOT_FOUND",
                                                    Process::Err}),
                         [](const auto& info) { return std::string(info.param.program); });

// A feed that publishes updates only, as most do: the cache holds an update,
// and a listener that joins later still starts from it as its initial value.
TEST_F(CacheOverNats, LateJoinerOnAFeedOfUpdatesGetsItsInitialValueFromTheCache)
{
    const MamaSetup mama = demoOnCache();
    ASSERT_TRUE(mServer);
    const std::string source = uniqueSymbol("SRC");
    ASSERT_TRUE(runToEnd(mama, "trxcache", "trxcache", {"--server", mServer->url(), "create", source + "/>"}));
    ASSERT_TRUE(runToEnd(mama, "seed", "tarnixmdpub", {"-tport", "demo", "-S", source, "-count", "1", "-s", "LATE"}));
    Process& live = run(mama, "live", "tarnixmdpub",
                        {"-tport", "demo", "-S", source, "-interval", "0.2", "-seq", "2", "-s", "LATE"}, false);

    Process& listen = run(mama, "mamalistenc", "mamalistenc",
                          {"-m", "tarnix", "-tport", "demo", "-S", source, "-B", "-s", "LATE"}, true);
    const std::string symbol = "LATE." + source + ".LATE";
    const auto initial = listen.waitForText(symbol + " Type: INITIAL", scaled(20s));
    ASSERT_TRUE(initial);
    const auto update = listen.waitForText(symbol + " Type: UPDATE", scaled(20s), Process::Out, *initial);
    ASSERT_TRUE(update);
    EXPECT_EQ(listen.countLines(Process::Out, symbol + " Type: INITIAL"), 1u);
    EXPECT_EQ(listen.countLines(Process::Out, "STATUS_TIMEOUT"), 0u);
    EXPECT_TRUE(live.running());
}

// OpenMAMA's mamachurnc destroys and recreates subscriptions every second:
// each new one gets its initial value from the cache, none times out.
TEST_F(CacheOverNats, ChurningSubscriptionsEachGetTheirInitialValue)
{
    const MamaSetup mama = demoOnCache();
    ASSERT_TRUE(mServer);
    const std::string source = uniqueSymbol("SRC");
    ASSERT_TRUE(runToEnd(mama, "trxcache", "trxcache", {"--server", mServer->url(), "create", source + "/>"}));
    std::vector<std::string> seed{"-tport", "demo", "-S", source, "-count", "1"};
    {
        std::ofstream symbols(mDir->file("symbols.txt"));
        for (int i = 0; i < 20; ++i)
        {
            symbols << "C" << i << "\n";
            seed.insert(seed.end(), {"-s", "C" + std::to_string(i)});
        }
    }
    ASSERT_TRUE(runToEnd(mama, "seed", "tarnixmdpub", seed));

    Process& churn = run(mama, "mamachurnc", "mamachurnc",
                         {"-m", "tarnix", "-tport", "demo", "-S", source, "-f", mDir->file("symbols.txt"), "-c", "5",
                          "-t", "1", "-k", "6", "-stats", "2"},
                         true);
    // Its counters end before "Cleaning up"; its last word is "Finished".
    ASSERT_TRUE(churn.waitForText("Cleaning up", scaled(30s)));
    ASSERT_TRUE(churn.waitExit(scaled(10s)));
    if (churn.countLines(Process::Out, "Finished") == 0)
    {
        // The tool's own race, not ours: it leaves its recreate timers
        // running, and mama_close dispatches what is still queued on the
        // default queue (as OpenMAMA's own bridges do), so a recreate that
        // fired after the stop destroys a subscription its clean-up has
        // already destroyed and the tool exits. Any other ending fails.
        EXPECT_EQ(churn.countLines(Process::Out, "Fatal Error: mamaSubscription_destroy : status 5"), 1u)
            << churn.tail(Process::Out, 20);
    }
    // "... Churned 5 Initials 25 Creates 25 Recaps 0 OtherMsg 0 Error 0 Gaps 0"
    long initials = 0, creates = 0, errors = 0, lines = 0;
    std::istringstream out(churn.tail(Process::Out, 1000));
    for (std::string line; std::getline(out, line);)
    {
        std::istringstream words(line);
        std::string word;
        while (words >> word)
        {
            long value = 0;
            if ((word == "Initials" || word == "Creates" || word == "Error") && (words >> value))
                (word == "Initials" ? initials : word == "Creates" ? creates : errors) += value;
            lines += word == "Churned";
        }
    }
    ASSERT_GE(lines, 2);
    EXPECT_GE(creates, 25);
    EXPECT_EQ(errors, 0);
    EXPECT_GE(initials, creates - 5); // the last churn's initials may fall after the last line
    EXPECT_LE(initials, creates);
}

// A cache that cannot answer: the listener hears a status at once, not after
// OpenMAMA's 30 s wait for the image, and one warning says why and what to do.
TEST_F(CacheOverNats, UnavailableCacheIsReportedAtOnceWithTheCauseAndTheFix)
{
    const struct
    {
        const char* name;
        bool jetStream;
        const char* cause;
        const char* fix;
    } cases[] = {
        {"no-jetstream", false,
         "JetStream is not enabled on nats://127.0.0.1:", "started with -js, then: trxcache create PATTERN"},
        {"no-stream", true, "no cache stream TRXCACHE on nats://127.0.0.1:", "create it with: trxcache create PATTERN"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const MamaSetup mama = demoOnCache(c.name, c.jetStream);
        ASSERT_TRUE(mServer);
        Process& listen = run(mama, std::string("mamalistenc-") + c.name, "mamalistenc",
                              {"-m", "tarnix", "-tport", "demo", "-S", "SRC", "-B", "-s", "A", "-s", "B"}, true);
        ASSERT_TRUE(listen.waitForText("An error occurred creating subscription for A: STATUS_TIMEOUT", scaled(15s)));
        ASSERT_TRUE(listen.waitForText("An error occurred creating subscription for B: STATUS_TIMEOUT", scaled(15s)));
        EXPECT_TRUE(listen.waitForText(std::string(c.cause), scaled(5s), Process::Err));
        EXPECT_TRUE(listen.waitForText(c.fix, scaled(5s), Process::Err));
        EXPECT_EQ(listen.countLines(Process::Err, c.cause), 1u);
        mProcesses.clear();
        mServers.clear();
    }
}

} // namespace
