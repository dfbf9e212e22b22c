// Real nats-server processes on free loopback ports, with their monitoring
// endpoint, so tests can ask the broker what it sees (connections,
// subscriptions, message counts) instead of guessing with sleeps.
#pragma once

#include "process.h"

#include <memory>
#include <string>
#include <vector>

namespace e2e {

// A port nobody listens on right now (the kernel's pick).
int freePort();

class NatsServer {
public:
    // dir: where the configuration, JetStream store and logs go.
    NatsServer(const std::string &dir, const std::string &name);
    ~NatsServer();

    // A server without JetStream (before start).
    void withoutJetStream() { jetStream_ = false; }

    // Writes the configuration and starts the server; false when it did not
    // come up (its port taken meanwhile, for instance).
    bool start(int port, int httpPort, const std::string &extraConfig = "");
    void kill();
    bool running();
    // SIGSTOP freezes the node (it keeps its sockets), SIGCONT thaws it.
    void signal(int sig);

    int port() const { return port_; }
    int httpPort() const { return httpPort_; }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
    const std::string &name() const { return name_; }

    // GET on the monitoring port; empty when it does not answer.
    std::string monitor(const std::string &path) const;
    // A number of /varz ("connections", "subscriptions", "in_msgs", "routes");
    // -1 when unreadable.
    long varz(const std::string &key) const;
    // True when some client holds a subscription whose subject contains text.
    bool hasSubscription(const std::string &text) const;
    std::string logTail(size_t n) const;

private:
    std::string dir_;
    std::string name_;
    int port_ = 0;
    int httpPort_ = 0;
    bool jetStream_ = true;
    std::unique_ptr<Process> process_;
};

// One server, started on free ports (retried if a port is snapped up);
// extraConfig is added to its configuration ("max_payload: 2MB", ...).
std::unique_ptr<NatsServer> startNatsServer(const std::string &dir, const std::string &name,
                                            const std::string &extraConfig = "", bool jetStream = true);

// Servers joined by routes, each with JetStream and a store of its own: a
// JetStream cluster (three nodes are the least that keep a replicated
// stream going when one is lost). A node killed can be started again on the
// same ports and storage.
class NatsCluster {
public:
    explicit NatsCluster(const std::string &dir, size_t size = 3);
    // Returns once every node sees the others and JetStream has a leader.
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
    int streamLeader(const std::string &stream);
    // The stream's leader and its other replicas-1 replicas are current,
    // with nothing left to catch up.
    bool streamInSync(const std::string &stream, size_t replicas);
    size_t indexOf(const std::string &name) const;
    std::vector<std::unique_ptr<NatsServer>> nodes;

private:
    std::string dir_;
    size_t size_;
    std::vector<int> ports_, httpPorts_;
    std::vector<std::string> blocks_;
};

} // namespace e2e
