#include "natsServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>

namespace testsupport
{

#ifndef TESTSUPPORT_NATS_SERVER
#define TESTSUPPORT_NATS_SERVER "/usr/sbin/nats-server"
#endif

int freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
    {
        socklen_t len = sizeof a;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

std::string testUsersConfig()
{
    return "authorization {\n"
           "  users = [\n"
           "    {user: trx, password: secret, permissions: {subscribe: {deny: [\"secret.>\"]},"
           " publish: {deny: [\"denied.>\"]}}}\n"
           "  ]\n"
           "}\n";
}

NatsServer::NatsServer(const std::string& dir, const std::string& name) : mDir(dir), mName(name) {}

NatsServer::NatsServer(const std::string& extraConfig, int port)
    : mScratch(std::make_unique<TempDir>("nats")), mDir(mScratch->path()), mName("nats")
{
    start(port != 0 ? port : freePort(), freePort(), testUsersConfig() + extraConfig);
}

NatsServer::~NatsServer()
{
    kill();
    // Fixtures report the servers they own; a scratch server is the test's.
    if (mScratch && ::testing::Test::HasFailure())
    {
        std::fprintf(stderr, "---- %s log tail\n%s", mName.c_str(), logTail(15).c_str());
        mScratch->keep();
    }
}

bool NatsServer::start(int port, int httpPort, const std::string& extraConfig)
{
    mPort = port;
    mHttpPort = httpPort;
    const std::string conf = mDir + "/" + mName + ".conf";
    {
        std::ofstream f(conf);
        f << "listen: 127.0.0.1:" << mPort << "\n"
          << "http: 127.0.0.1:" << mHttpPort << "\n"
          << "server_name: " << mName << "\n";
        if (mJetStream)
            f << "jetstream { store_dir: \"" << mDir << "/js-" << mName << "\", max_mem: 64MB, max_file: 64MB }\n";
        f << extraConfig;
    }
    ProcessOptions o;
    o.name = mName;
    o.argv = {TESTSUPPORT_NATS_SERVER, "-c", conf};
    o.logDir = mDir;
    mProcess = std::make_unique<Process>(o);
    const bool ready = mProcess->waitForText("Server is ready", Millis(20000), Process::Err).has_value();
    if (!ready || !mProcess->running())
    {
        mProcess->kill();
        return false;
    }
    // The monitor answers a little after the ready line.
    return waitUntil([this] { return varz("connections") >= 0; }, Millis(10000));
}

void NatsServer::kill()
{
    if (mProcess)
        mProcess->kill();
}

bool NatsServer::running()
{
    return mProcess && mProcess->running();
}

void NatsServer::signal(int sig)
{
    if (mProcess)
        mProcess->signal(sig);
}

std::string NatsServer::monitor(const std::string& path) const
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(mHttpPort));
    std::string body;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
    {
        std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size()))
        {
            std::string resp;
            char buf[8192];
            pollfd p{fd, POLLIN, 0};
            while (::poll(&p, 1, 5000) > 0)
            {
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0)
                    break;
                resp.append(buf, static_cast<size_t>(n));
            }
            size_t start = resp.find("\r\n\r\n");
            if (resp.compare(0, 12, "HTTP/1.0 200") == 0 && start != std::string::npos)
                body = resp.substr(start + 4);
        }
    }
    ::close(fd);
    return body;
}

long NatsServer::varz(const std::string& key) const
{
    const std::string body = monitor("/varz");
    std::smatch m;
    const std::regex re("\"" + key + "\":\\s*(\\d+)");
    if (!std::regex_search(body, m, re))
        return -1;
    return std::atol(m[1].str().c_str());
}

bool NatsServer::hasSubscription(const std::string& text) const
{
    // Only subscription subjects are listed under "subscriptions_list".
    const std::string body = monitor("/connz?subs=1");
    size_t at = 0;
    while ((at = body.find("\"subscriptions_list\"", at)) != std::string::npos)
    {
        size_t end = body.find(']', at);
        if (body.substr(at, end - at).find(text) != std::string::npos)
            return true;
        at = end;
    }
    return false;
}

std::string NatsServer::logTail(size_t n) const
{
    return mProcess ? mProcess->tail(Process::Err, n) : "";
}

std::unique_ptr<NatsServer> startNatsServer(const std::string& dir, const std::string& name,
                                            const std::string& extraConfig, bool jetStream)
{
    for (int attempt = 0; attempt < 5; ++attempt)
    {
        auto s = std::make_unique<NatsServer>(dir, name);
        if (!jetStream)
            s->withoutJetStream();
        if (s->start(freePort(), freePort(), extraConfig))
            return s;
    }
    return nullptr;
}

NatsCluster::NatsCluster(const std::string& dir, size_t size, const std::string& extraConfig)
    : mScratch(dir.empty() ? std::make_unique<TempDir>("nats-cluster") : nullptr),
      mDir(dir.empty() ? mScratch->path() : dir), mSize(size), mExtraConfig(extraConfig)
{
}

NatsCluster::~NatsCluster()
{
    if (mScratch && ::testing::Test::HasFailure())
    {
        for (auto& n : nodes)
            std::fprintf(stderr, "---- %s log tail\n%s", n->name().c_str(), n->logTail(15).c_str());
        mScratch->keep();
    }
    nodes.clear(); // before their directory goes
}

bool NatsCluster::start()
{
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        nodes.clear();
        mPorts.clear();
        mHttpPorts.clear();
        mBlocks.clear();
        std::vector<int> routePorts(mSize);
        for (int& p : routePorts)
            p = freePort();
        bool up = true;
        for (size_t i = 0; i < mSize && up; ++i)
        {
            std::string routes;
            for (size_t j = 0; j < mSize; ++j)
                if (j != i)
                    routes += std::string(routes.empty() ? "" : ", ") +
                              "\"nats-route://127.0.0.1:" + std::to_string(routePorts[j]) + "\"";
            mBlocks.push_back("cluster { name: tests, listen: 127.0.0.1:" + std::to_string(routePorts[i]) +
                              ", routes: [" + routes + "] }\n" + mExtraConfig);
            mPorts.push_back(freePort());
            mHttpPorts.push_back(freePort());
            nodes.push_back(std::make_unique<NatsServer>(mDir, "node" + std::to_string(i)));
            up = nodes.back()->start(mPorts[i], mHttpPorts[i], mBlocks[i]);
        }
        if (up && waitFormed())
            return true;
    }
    return false;
}

bool NatsCluster::restart(size_t i)
{
    nodes[i]->kill();
    return nodes[i]->start(mPorts[i], mHttpPorts[i], mBlocks[i]);
}

bool NatsCluster::waitFormed()
{
    return waitUntil(
               [this]
               {
                   long running = 0;
                   for (auto& n : nodes)
                       running += n->running();
                   for (auto& n : nodes)
                       if (n->running() && n->varz("routes") < running - 1)
                           return false;
                   return true;
               },
               Millis(30000)) &&
           waitUntil([this] { return jetStreamReady(); }, Millis(30000));
}

bool NatsCluster::jetStreamReady()
{
    static const std::regex leader("\"meta_cluster\":\\s*\\{[^}]*\"leader\":\\s*\"[^\"]+\"");
    size_t running = 0;
    size_t currentPeers = 0;
    for (auto& n : nodes)
    {
        if (!n->running())
            continue;
        ++running;
        // healthz answers 200 only once the node's JetStream is current.
        if (n->monitor("/healthz").find("ok") == std::string::npos)
            return false;
        const std::string jsz = n->monitor("/jsz");
        if (!std::regex_search(jsz, leader))
            return false;
        // The leader lists its peers; JetStream places replicas only on
        // those it knows as current ("no suitable peers" otherwise).
        size_t current = 0;
        for (size_t at = jsz.find("\"replicas\""); at != std::string::npos; at = jsz.find("\"current\": true", at + 1))
            ++current;
        currentPeers = std::max(currentPeers, current > 0 ? current - 1 : 0);
    }
    return currentPeers + 1 >= running;
}

std::string NatsCluster::urls(std::vector<size_t> which) const
{
    if (which.empty())
        for (size_t i = 0; i < nodes.size(); ++i)
            which.push_back(i);
    std::string out;
    for (size_t i : which)
        out += (out.empty() ? "" : ",") + nodes[i]->url();
    return out;
}

size_t NatsCluster::indexOf(const std::string& name) const
{
    for (size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i]->name() == name)
            return i;
    return nodes.size();
}

namespace
{

// The "cluster" object of a stream in a node's /jsz?streams=true, or empty.
std::string streamCluster(const NatsServer& n, const std::string& stream)
{
    const std::string body = n.monitor("/jsz?streams=true");
    const size_t at = body.find("\"name\": \"" + stream + "\"");
    if (at == std::string::npos)
        return "";
    const size_t from = body.find("\"cluster\":", at);
    const size_t to = body.find("\"state\":", at);
    if (from == std::string::npos || to == std::string::npos || to < from)
        return "";
    return body.substr(from, to - from);
}

} // namespace

int NatsCluster::streamLeader(const std::string& stream)
{
    static const std::regex leader("\"leader\":\\s*\"([^\"]+)\"");
    for (auto& n : nodes)
    {
        if (!n->running())
            continue;
        std::smatch m;
        const std::string cluster = streamCluster(*n, stream);
        if (std::regex_search(cluster, m, leader))
        {
            size_t i = indexOf(m[1].str());
            return i < nodes.size() ? static_cast<int>(i) : -1;
        }
    }
    return -1;
}

bool NatsCluster::streamInSync(const std::string& stream, size_t replicas)
{
    int l = streamLeader(stream);
    if (l < 0)
        return false;
    const std::string cluster = streamCluster(*nodes[static_cast<size_t>(l)], stream);
    size_t current = 0;
    for (size_t at = cluster.find("\"current\": true"); at != std::string::npos;
         at = cluster.find("\"current\": true", at + 1))
        ++current;
    return current + 1 >= replicas && cluster.find("\"lag\"") == std::string::npos;
}

} // namespace testsupport
