// The broker's cache over a real nats-server with JetStream: values published
// before a subscriber starts reach OpenMAMA's stock mamalistenc first, from
// the cache, then live updates follow; field names come from a dictionary the
// cache also holds; a symbol never published is reported not found.
#include "mamaSetup.h"
#include "natsServer.h"
#include "process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

using namespace e2e;
using namespace std::chrono_literals;

namespace {

std::string tool(const std::string &name)
{
    return std::string(E2E_TOOL_DIR) + "/" + name;
}

class CacheOverNats : public ::testing::Test {
protected:
    void SetUp() override { dir_ = std::make_unique<TempDir>("e2e-cache"); }

    void TearDown() override
    {
        if (HasFailure()) {
            for (auto &p : processes_)
                std::fprintf(stderr, "---- %s stdout tail\n%s---- %s stderr tail\n%s", p->name().c_str(),
                             p->tail(Process::Out, 40).c_str(), p->name().c_str(),
                             p->tail(Process::Err, 15).c_str());
            if (server_)
                std::fprintf(stderr, "---- nats log tail\n%s", server_->logTail(15).c_str());
            dir_->keep();
        }
        processes_.clear();
        server_.reset();
    }

    // One of our tools (or a stock OpenMAMA program when stock is set).
    Process &run(const MamaSetup &mama, const std::string &label, const std::string &program,
                 const std::vector<std::string> &args, bool stock = false)
    {
        ProcessOptions o = mama.program(label, program, args);
        if (!stock)
            o.argv[0] = tool(program);
        processes_.push_back(std::make_unique<Process>(o));
        return *processes_.back();
    }

    // Runs a tool to its end; false (with its output shown) when it fails.
    bool runToEnd(const MamaSetup &mama, const std::string &label, const std::string &program,
                  const std::vector<std::string> &args)
    {
        Process &p = run(mama, label, program, args);
        return p.waitExit(scaled(30s)) && p.exitStatus() == 0;
    }

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<NatsServer> server_;
    std::vector<std::unique_ptr<Process>> processes_;
};

TEST_F(CacheOverNats, ListenerGetsCachedValuesFirstThenLiveUpdatesWithFieldNames)
{
    server_ = startNatsServer(dir_->path(), "nats");
    ASSERT_TRUE(server_);
    MamaSetup mama(dir_->path());
    mama.natsTransport("demo", server_->url()).property("mama.tarnix.transport.demo.use_trxcache", "true");
    mama.write();

    const std::string source = uniqueSymbol("SRC");
    ASSERT_TRUE(runToEnd(mama, "trxcache", "trxcache", {"--server", server_->url(), "create", source + "/>", "#MDDD/>"}));
    // The dictionary: OpenMAMA's own file plus the market data fields.
    {
        std::ifstream base(std::string(E2E_OPENMAMA_ROOT) + "/share/openmama/dictionary1.txt");
        std::ofstream out(dir_->file("dictionary.txt"));
        out << base.rdbuf() << "237|wBidPrice|25\n109|wAskPrice|25\n305|wIssueSymbol|8\n";
    }
    ASSERT_TRUE(runToEnd(mama, "tarnixdict", "tarnixdict", {"-tport", "demo", "-f", dir_->file("dictionary.txt")}));
    ASSERT_TRUE(runToEnd(mama, "seed", "tarnixmdpub",
                         {"-tport", "demo", "-S", source, "-count", "1", "-initial", "-s", "AAA", "-s", "BBB"}));

    // Seeded and the seeding publisher gone: only the cache has the values.
    Process &listen = run(mama, "mamalistenc", "mamalistenc",
                          {"-m", "tarnix", "-tport", "demo", "-S", source, "-s", "AAA", "-s", "BBB", "-s", "NEVER"},
                          true);
    const auto initialA = listen.waitForText("AAA." + source + ".AAA Type: INITIAL", scaled(30s));
    const auto initialB = listen.waitForText("BBB." + source + ".BBB Type: INITIAL", scaled(30s));
    ASSERT_TRUE(initialA && initialB);
    // The values' fields carry names only the cached dictionary can give.
    EXPECT_TRUE(listen.waitForText("wBidPrice", scaled(10s), Process::Out, *initialA));
    EXPECT_TRUE(listen.waitForText("NEVER: STATUS_NOT_FOUND", scaled(30s), Process::Out));

    Process &live = run(mama, "live", "tarnixmdpub",
                        {"-tport", "demo", "-S", source, "-interval", "0.2", "-seq", "2", "-s", "AAA", "-s", "BBB"});
    const auto updateA = listen.waitForText("AAA." + source + ".AAA Type: UPDATE", scaled(30s));
    ASSERT_TRUE(updateA);
    EXPECT_LT(*initialA, *updateA);
    EXPECT_EQ(listen.countLines(Process::Out, "AAA." + source + ".AAA Type: INITIAL"), 1u);
    EXPECT_TRUE(live.running());
}

} // namespace
