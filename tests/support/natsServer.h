// Real nats-server processes on free loopback ports, with their monitoring
// endpoint, so tests can ask the broker what it sees (connections,
// subscriptions, message counts) instead of guessing with sleeps. A node can
// be killed, frozen (SIGSTOP) and started again on its ports and storage;
// its log stays readable for the failure report.
#pragma once

#include "process.h"

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace testsupport
{

// A port nobody listens on right now (the kernel's pick).
int freePort();

// Accounts and rules of the scratch servers: user "trx" / "secret" may not
// subscribe to secret.> nor publish to denied.>.
std::string testUsersConfig();

class NatsServer
{
public:
    // dir: where the configuration, JetStream store and logs go. Not started.
    NatsServer(const std::string& dir, const std::string& name);
    // Started at once in a scratch directory of its own (removed with it),
    // with testUsersConfig() and then extraConfig (which may override it,
    // "jetstream: disabled" for one); on port, or a free one when 0.
    // running() tells whether it came up.
    explicit NatsServer(const std::string& extraConfig = "", int port = 0);
    ~NatsServer();
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    // A server without JetStream (before start).
    void withoutJetStream() { mJetStream = false; }

    // Writes the configuration and starts the server; false when it did not
    // come up (its port taken meanwhile, for instance).
    bool start(int port, int httpPort, const std::string& extraConfig = "");
    // SIGKILL and reap; safe to call twice.
    void kill();
    bool running();
    void signal(int sig);
    // The node stops answering but keeps its sockets, until thawed.
    void freeze() { signal(SIGSTOP); }
    void thaw() { signal(SIGCONT); }

    int port() const { return mPort; }
    int httpPort() const { return mHttpPort; }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(mPort); }
    const std::string& name() const { return mName; }
    const std::string& dir() const { return mDir; }

    // GET on the monitoring port; empty when it does not answer.
    std::string monitor(const std::string& path) const;
    // A number of /varz ("connections", "subscriptions", "in_msgs", "routes");
    // -1 when unreadable.
    long varz(const std::string& key) const;
    // True when some client holds a subscription whose subject contains text.
    bool hasSubscription(const std::string& text) const;
    std::string logTail(size_t n) const;

private:
    std::unique_ptr<TempDir> mScratch;
    std::string mDir;
    std::string mName;
    int mPort = 0;
    int mHttpPort = 0;
    bool mJetStream = true;
    std::unique_ptr<Process> mProcess;
};

// One server, started on free ports (retried if a port is snapped up);
// extraConfig is added to its configuration ("max_payload: 2MB", ...).
std::unique_ptr<NatsServer> startNatsServer(const std::string& dir, const std::string& name,
                                            const std::string& extraConfig = "", bool jetStream = true);

// Servers joined by routes, each with JetStream and a store of its own: a
// JetStream cluster (three nodes are the least that keep a replicated
// stream going when one is lost). A node killed can be started again on the
// same ports and storage.
class NatsCluster
{
public:
    // dir: where the nodes keep their files; empty, a scratch directory of
    // the cluster's own. extraConfig goes into every node's configuration.
    explicit NatsCluster(const std::string& dir = "", size_t size = 3, const std::string& extraConfig = "");
    ~NatsCluster();
    // Returns once every node sees the others and JetStream has a leader
    // that knows every peer as current.
    bool start();
    // Node i again (after kill), with its ports and storage.
    bool restart(size_t i);
    // Every running node sees the other running ones, and JetStream is ready.
    bool waitFormed();
    // Every running node's JetStream is current (healthz) and names a leader.
    bool jetStreamReady();
    // The client URLs of the nodes given (all by default), comma-separated.
    std::string urls(std::vector<size_t> which = {}) const;
    // Index of the node that leads the stream, as a running node sees it;
    // -1 while none is known.
    int streamLeader(const std::string& stream);
    // The stream's leader and its other replicas-1 replicas are current,
    // with nothing left to catch up.
    bool streamInSync(const std::string& stream, size_t replicas);
    size_t indexOf(const std::string& name) const;
    std::vector<std::unique_ptr<NatsServer>> nodes;

private:
    std::unique_ptr<TempDir> mScratch;
    std::string mDir;
    size_t mSize;
    std::string mExtraConfig;
    std::vector<int> mPorts, mHttpPorts;
    std::vector<std::string> mBlocks;
};

} // namespace testsupport
