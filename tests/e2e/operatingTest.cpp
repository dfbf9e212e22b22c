// What an operator meets: NATS authentication in each of its forms against a
// nats-server configured for it, the shipped configuration, everyday
// mistakes with a clear message, connection events logged once, and stock
// programs and our tools ending cleanly, at once, on a signal.
#include "natsAuth.h"
#include "programsFixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

using namespace e2e;
using namespace testsupport;
using namespace std::chrono_literals;

namespace
{

class Operating : public ProgramsFixture
{
protected:
    NatsServer* server(const std::string& name, const std::string& config = "", bool jetStream = false)
    {
        return natsServer(name, config, jetStream);
    }

    // Everything a process wrote, both streams.
    static std::string output(const Process& p)
    {
        std::string all;
        for (auto s : {Process::Out, Process::Err})
            for (auto& l : p.lines(s))
                all += l + "\n";
        return all;
    }
};

// mamasubscriberc prints "mamasubscriberc: Recieved msg." for each message.
size_t received(const Process& sub)
{
    return sub.countLines(Process::Out, "mamasubscriberc: Recieved msg.");
}

TEST_F(Operating, EachNatsAuthenticationFormReachesAServerConfiguredForIt)
{
    const NKeyPair nkey = makeUserNKey();
    writeFile(mDir->file("user.nk"), nkey.seed + "\n");
    const JwtChain chain = makeJwtChain(mDir->path());
    ASSERT_TRUE(makeTlsFiles(mDir->path())) << "openssl could not make the test certificates";
    const std::string d = mDir->path();

    struct Case
    {
        std::string name;
        std::string serverConfig;
        std::vector<std::pair<std::string, std::string>> properties; // key suffix, value
        std::string secret;                                          // must never be logged
        bool refusedWithout;                                         // a bare client is turned away
    };
    const std::vector<Case> cases = {
        // Today's OS user and host name as credentials: refused by such a server.
        {"noauthuser",
         "accounts { APP: { users: [ {user: app, password: \"app-pw-1\"} ] } }\nno_auth_user: app\n",
         {},
         "",
         false},
        {"password",
         "authorization { user: alice, password: \"pw-alice-77\" }\n",
         {{"SESSION_USERNAME", "alice"}, {"SESSION_PASSWORD", "pw-alice-77"}},
         "pw-alice-77",
         true},
        {"token",
         "authorization { token: \"tok-5e3cret\" }\n",
         {{"SESSION_TOKEN", "tok-5e3cret"}},
         "tok-5e3cret",
         true},
        {"nkey",
         "authorization { users: [ { nkey: " + nkey.pub + " } ] }\n",
         {{"SESSION_NKEY_SEED_FILE", d + "/user.nk"}},
         nkey.seed,
         true},
        {"creds", chain.serverConfig, {{"SESSION_CREDS_FILE", chain.credsFile}}, "", true},
        {"mtls",
         "tls { cert_file: \"" + d + "/server.pem\", key_file: \"" + d + "/server.key\", ca_file: \"" + d +
             "/ca.pem\", verify: true }\n",
         {{"SESSION_TLS_CA_FILE", d + "/ca.pem"},
          {"SESSION_TLS_CERT_FILE", d + "/client.pem"},
          {"SESSION_TLS_KEY_FILE", d + "/client.key"}},
         "",
         true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        NatsServer* nats = server(c.name, c.serverConfig);
        ASSERT_TRUE(nats) << "nats-server did not start with its " << c.name << " configuration";
        MamaSetup mama(d);
        mama.natsTransport("pub", nats->url()).natsTransport("sub", nats->url()).natsTransport("bare", nats->url());
        for (auto& p : c.properties)
        {
            mama.property("mama.tarnix.transport.pub." + p.first, p.second);
            mama.property("mama.tarnix.transport.sub." + p.first, p.second);
        }
        mama.write();
        const std::string symbol = uniqueSymbol("AUTH");
        // Every log level: no secret may show.
        Process& sub = run(mama, "sub-" + c.name, "mamasubscriberc",
                           {"-m", "tarnix", "-tport", "sub", "-s", symbol, "-v", "-v", "-v", "-v"}, true);
        ASSERT_TRUE(waitUntil([&] { return nats->hasSubscription(symbol); }, scaled(20s)));
        Process& pub = run(mama, "pub-" + c.name, "mamapublisherc",
                           {"-m", "tarnix", "-tport", "pub", "-s", symbol, "-c", "5", "-i", "0.01", "-q"}, true);
        EXPECT_TRUE(pub.waitExit(scaled(20s)));
        EXPECT_EQ(pub.exitStatus(), 0);
        EXPECT_TRUE(waitUntil([&] { return received(sub) >= 5; }, scaled(20s))) << received(sub) << " of 5";
        if (!c.secret.empty())
        {
            EXPECT_EQ(output(sub).find(c.secret), std::string::npos) << "the secret reached the log";
        }
        if (c.refusedWithout)
        {
            Process& bare =
                run(mama, "bare-" + c.name, "mamasubscriberc", {"-m", "tarnix", "-tport", "bare", "-s", symbol}, true);
            EXPECT_TRUE(bare.waitExit(scaled(10s)));
            EXPECT_NE(bare.exitStatus(), 0);
        }
        // trxcache logs in the same way, with options named after the
        // properties; this server has no JetStream, which only a client
        // that got in is told.
        static const std::map<std::string, std::string> option{{"SESSION_USERNAME", "--user"},
                                                               {"SESSION_PASSWORD", "--password"},
                                                               {"SESSION_TOKEN", "--token"},
                                                               {"SESSION_NKEY_SEED_FILE", "--nkey"},
                                                               {"SESSION_CREDS_FILE", "--creds"},
                                                               {"SESSION_TLS_CA_FILE", "--tls-ca"},
                                                               {"SESSION_TLS_CERT_FILE", "--tls-cert"},
                                                               {"SESSION_TLS_KEY_FILE", "--tls-key"}};
        std::vector<std::string> args{"show", "--server", nats->url()};
        for (auto& p : c.properties)
            args.insert(args.end(), {option.at(p.first), p.second});
        Process& cache = run(mama, "trxcache-" + c.name, "trxcache", args, false);
        EXPECT_TRUE(cache.waitExit(scaled(10s)));
        EXPECT_NE(output(cache).find("JetStream is not enabled on nats://127.0.0.1:" + std::to_string(nats->port())),
                  std::string::npos)
            << output(cache);
        if (!c.secret.empty())
        {
            EXPECT_EQ(output(cache).find(c.secret), std::string::npos) << "the secret reached the output";
        }
        if (c.refusedWithout)
        {
            Process& bare = run(mama, "trxcache-bare-" + c.name, "trxcache", {"show", "--server", nats->url()}, false);
            EXPECT_TRUE(bare.waitExit(scaled(10s)));
            EXPECT_EQ(bare.exitStatus(), 1);
            EXPECT_EQ(output(bare).find("JetStream is not enabled"), std::string::npos) << output(bare);
        }
        mProcesses.clear();
        mServers.clear();
    }
}

// The shipped file sends the stock programs' transports to a NATS server on
// this machine; without one they stop at once instead of talking to an
// in-process broker nobody else can reach.
TEST_F(Operating, ShippedConfigurationUsesNatsAndFailsFastWithoutAServer)
{
    std::ifstream in(E2E_SHIPPED_PROPERTIES);
    std::stringstream text;
    text << in.rdbuf();
    std::string shipped = text.str();
    for (const char* name : {"pub", "sub", "default", "nats"})
        EXPECT_NE(shipped.find(std::string("mama.tarnix.transport.") + name + ".SESSION_HOST=nats://127.0.0.1:4222\n"),
                  std::string::npos)
            << name;
    EXPECT_NE(shipped.find("mama.tarnix.transport.inproc.SESSION_HOST=inproc://"), std::string::npos);
    EXPECT_EQ(shipped.find("trxClient_log_level"), std::string::npos) << "the mapped level is the default";

    // The same file with a port nobody listens on (4222 may be in use here).
    const std::string dead = "nats://127.0.0.1:" + std::to_string(freePort());
    shipped = std::regex_replace(shipped, std::regex("nats://127\\.0\\.0\\.1:4222"), dead);
    writeFile(mDir->file("mama.properties"), shipped);
    MamaSetup mama(mDir->path());
    struct Tool
    {
        const char* program;
        std::vector<std::string> args;
        bool stock;
    };
    const Tool tools[] = {
        {"mamasubscriberc", {"-m", "tarnix", "-tport", "sub", "-s", "X"}, true},
        {"mamapublisherc", {"-m", "tarnix", "-tport", "pub", "-s", "X"}, true},
        {"mamalistenc", {"-m", "tarnix", "-s", "X"}, true},
        {"tarnixmdpub", {"-s", "X", "-count", "1"}, false},
    };
    for (const Tool& t : tools)
    {
        SCOPED_TRACE(t.program);
        Process& p = run(mama, t.program, t.program, t.args, t.stock);
        EXPECT_TRUE(p.waitExit(scaled(5s))) << "still running without a broker";
        EXPECT_NE(output(p).find("no broker reachable at " + dead), std::string::npos);
    }
}

// Each mistake gets a message naming what is wrong, and nothing hangs.
TEST_F(Operating, MistakesAreNamedAtTheDefaultLogLevel)
{
    NatsServer* nats = server("nats");
    ASSERT_TRUE(nats);
    MamaSetup mama(mDir->path());
    mama.natsTransport("nats", nats->url())
        .property("mama.tarnix.transport.local.allow_recover_gaps", "true")
        .property("mama.tarnix.transport.typo.SESION_HOST", nats->url())
        .property("mama.tarnix.transport.typo.allow_recover_gaps", "true")
        .property("mama.tarnix.transport.mem.SESSION_HOST", "inproc://mem")
        .property("mama.tarnix.transport.mem.allow_recover_gaps", "true");
    mama.write();
    writeFile(mDir->file("dict.txt"), "1|MdMsgType|7\n");
    struct Mistake
    {
        const char* label;
        const char* program;
        std::vector<std::string> args;
        bool stock;
        std::string message;
    };
    const Mistake mistakes[] = {
        {"unconfigured",
         "mamasubscriberc",
         {"-m", "tarnix", "-tport", "nosuch", "-s", "X"},
         true,
         "Transport 'nosuch' is not configured: mama.properties sets no mama.tarnix.transport.nosuch.* property"},
        {"typo",
         "mamasubscriberc",
         {"-m", "tarnix", "-tport", "typo", "-s", "X"},
         true,
         "Unknown property mama.tarnix.transport.typo.SESION_HOST is ignored; did you mean "
         "mama.tarnix.transport.typo.SESSION_HOST?"},
        {"nohost",
         "mamasubscriberc",
         {"-m", "tarnix", "-tport", "local", "-s", "X", "-v"},
         true,
         "Transport 'local' has no mama.tarnix.transport.local.SESSION_HOST: it uses the in-process broker "
         "inproc://default, which other processes cannot reach"},
        {"dict-inproc",
         "tarnixdict",
         {"-tport", "mem", "-f", mDir->file("dict.txt")},
         false,
         "tarnixdict: transport 'mem' uses the in-process broker inproc://mem: a dictionary published there dies "
         "with this process"},
        {"dict-payload",
         "tarnixdict",
         {"-p", "qpidmsg", "-f", mDir->file("dict.txt")},
         false,
         "tarnixdict: payload 'qpidmsg' is not supported"},
        {"mdpub-inproc",
         "tarnixmdpub",
         {"-tport", "local", "-s", "X", "-count", "1"},
         false,
         "tarnixmdpub: transport 'local' uses the in-process broker inproc://default"},
    };
    for (const Mistake& m : mistakes)
    {
        SCOPED_TRACE(m.label);
        Process& p = run(mama, m.label, m.program, m.args, m.stock);
        EXPECT_TRUE(waitUntil([&] { return output(p).find(m.message) != std::string::npos; }, scaled(5s))) << output(p);
        if (m.stock)
        {
            if (p.running())
                p.signal(SIGTERM);
            EXPECT_TRUE(p.waitExit(scaled(5s)));
        }
        else
        {
            // Our tools refuse before publishing anything, and say so in their status.
            EXPECT_TRUE(p.waitExit(scaled(5s)));
            EXPECT_EQ(p.exitStatus(), 2);
        }
    }
}

// At the programs' own log level: the loss names the server, the reconnect
// where it went, the end of retrying says so; each once.
TEST_F(Operating, ConnectionLostReconnectedAndGivenUpAreEachLoggedOnce)
{
    NatsServer* nats = server("nats");
    ASSERT_TRUE(nats);
    const int port = nats->port();
    MamaSetup mama(mDir->path());
    mama.natsTransport("sub", nats->url())
        .property("mama.tarnix.transport.sub.SESSION_RECONNECT_RETRIES", "30")
        .property("mama.tarnix.transport.sub.SESSION_RECONNECT_RETRY_WAIT_MS", "100");
    mama.write();
    Process& sub = run(mama, "sub", "mamasubscriberc", {"-m", "tarnix", "-tport", "sub", "-s", "X"}, true);
    ASSERT_TRUE(waitUntil([&] { return nats->hasSubscription("X"); }, scaled(20s)));

    auto count = [&](const std::string& text)
    { return sub.countLines(Process::Out, text) + sub.countLines(Process::Err, text); };
    auto shows = [&](const std::string& text, size_t n)
    { return waitUntil([&] { return count(text) >= n; }, scaled(30s)); };
    const std::string server = "nats://127.0.0.1:" + std::to_string(port);
    const std::string lost = "Warn TARNIX-MW-Bridge: (transportEvents.cpp:";
    const std::string lostText = "): transport 'sub': connection to " + server + " lost; reconnecting";
    nats->kill();
    ASSERT_TRUE(shows(lostText, 1));
    ASSERT_TRUE(nats->start(port, freePort()));
    const std::string back = "): transport 'sub': reconnected to " + server;
    ASSERT_TRUE(shows(back, 1));

    nats->kill();
    const std::string givenUp = "): transport 'sub': connection to " + server +
                                " given up: reconnect attempts exhausted (SESSION_RECONNECT_RETRIES=30)";
    ASSERT_TRUE(shows(givenUp, 1));
    EXPECT_EQ(count(lostText), 2u); // once per loss
    EXPECT_EQ(count(back), 1u);
    EXPECT_EQ(count(givenUp), 1u);
    for (auto s : {Process::Out, Process::Err})
        for (auto& line : sub.lines(s))
        {
            if (line.find(lostText) != std::string::npos || line.find(back) != std::string::npos)
            {
                EXPECT_NE(line.find(lost), std::string::npos) << line;
            }
            if (line.find(givenUp) != std::string::npos)
            {
                EXPECT_NE(line.find("Error TARNIX-MW-Bridge"), std::string::npos) << line;
            }
        }
}

// mamapublisherc used to end with a warning that the default queue still had
// open objects; no stock program's end may warn.
TEST_F(Operating, StockProgramsEndWithoutAWarning)
{
    NatsServer* nats = server("nats");
    ASSERT_TRUE(nats);
    MamaSetup mama(mDir->path());
    mama.natsTransport("pub", nats->url());
    mama.write();
    Process& pub =
        run(mama, "pub", "mamapublisherc", {"-m", "tarnix", "-tport", "pub", "-s", "X", "-c", "3", "-i", "0.01"}, true);
    ASSERT_TRUE(pub.waitExit(scaled(10s)));
    EXPECT_EQ(pub.exitStatus(), 0);
    EXPECT_EQ(output(pub).find("Could not destroy DefaultEventQueue"), std::string::npos) << output(pub);
    EXPECT_EQ(output(pub).find("Warn"), std::string::npos) << output(pub);
}

// SIGINT or SIGTERM while traffic flows: out within a second, no crash.
TEST_F(Operating, SignalsWhileTrafficFlowsEndProgramsAtOnce)
{
    NatsServer* nats = server("nats");
    ASSERT_TRUE(nats);
    MamaSetup mama(mDir->path());
    mama.natsTransport("pub", nats->url()).natsTransport("sub", nats->url()).natsTransport("nats", nats->url());
    // No cache here: mamalistenc gets no initial values, only the updates.
    mama.property("mama.tarnix.transport.sub.use_trxcache", "false");
    mama.write();
    writeFile(mDir->file("dict.txt"), "1|MdMsgType|7\n");
    struct Target
    {
        const char* program;
        std::vector<std::string> args;
        bool stock;
    };
    const Target targets[] = {
        {"mamasubscriberc", {"-m", "tarnix", "-tport", "sub", "-s", "SIG"}, true},
        {"mamalistenc", {"-m", "tarnix", "-tport", "sub", "-S", "DEMO", "-B", "-s", "SIG"}, true},
        {"mamapublisherc", {"-m", "tarnix", "-tport", "pub", "-s", "SIG", "-i", "0.001", "-q"}, true},
        {"tarnixmdpub", {"-S", "DEMO", "-s", "SIG", "-interval", "0.001"}, false},
        {"tarnixdict", {"-f", std::string(E2E_OPENMAMA_ROOT) + "/share/openmama/dictionary1.txt", "-serve"}, false},
    };
    Process& feed = run(mama, "feed", "tarnixmdpub", {"-S", "DEMO", "-s", "SIG", "-interval", "0.001"}, false);
    Process& feed2 =
        run(mama, "feed2", "mamapublisherc", {"-m", "tarnix", "-tport", "pub", "-s", "SIG", "-i", "0.001", "-q"}, true);
    // The feeds' connections alone; each program adds to them while it runs.
    long feeds = -1;
    int steady = 0;
    ASSERT_TRUE(waitUntil(
        [&]
        {
            const long now = nats->varz("connections");
            steady = now >= 2 && now == feeds ? steady + 1 : 0;
            feeds = now;
            std::this_thread::sleep_for(100ms);
            return steady >= 5;
        },
        scaled(10s)));
    for (int sig : {SIGINT, SIGTERM})
    {
        for (const Target& t : targets)
        {
            const std::string label = std::string(t.program) + (sig == SIGINT ? "-int" : "-term");
            SCOPED_TRACE(label);
            // The server may still count the connections of the one before.
            ASSERT_TRUE(waitUntil([&] { return nats->varz("connections") == feeds; }, scaled(10s)));
            const long before = feeds;
            Process& p = run(mama, label, t.program, t.args, t.stock);
            // Up and moving: it has connected (and the feed flows to the subscribers).
            ASSERT_TRUE(waitUntil([&] { return nats->varz("connections") > before; }, scaled(10s)));
            std::this_thread::sleep_for(300ms);
            ASSERT_TRUE(p.running()) << output(p);
            p.signal(sig);
            EXPECT_TRUE(p.waitExit(scaled(1s))) << "still running a second after the signal";
            const int status = p.exitStatus().value_or(-1);
            EXPECT_TRUE(status == 0 || status == 128 + sig) << "exit status " << status;
            EXPECT_EQ(output(p).find("Could not destroy"), std::string::npos);
        }
    }
    EXPECT_TRUE(feed.running());
    EXPECT_TRUE(feed2.running());
}

} // namespace
