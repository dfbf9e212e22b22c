// Starts real nats-server processes on free loopback ports for tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace trxtest {

inline int freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    int port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

inline bool portOpen(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// Credentials and permissions every test server uses: user "trx" / "secret"
// may not subscribe to secret.> nor publish to denied.>.
inline std::string authBlock()
{
    return "authorization {\n"
           "  users = [\n"
           "    {user: trx, password: secret, permissions: {subscribe: {deny: [\"secret.>\"]},"
           " publish: {deny: [\"denied.>\"]}}}\n"
           "  ]\n"
           "}\n";
}

class NatsServer {
public:
    // extra: more configuration text (cluster block); monitored: with an
    // HTTP monitoring port for monitor().
    explicit NatsServer(const std::string &extra = "", int port = 0, const std::string &name = "",
                        bool monitored = false)
    {
        port_ = port ? port : freePort();
        httpPort_ = monitored ? freePort() : 0;
        char tmpl[] = "/tmp/trxnats.XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        std::string conf = dir_ + "/server.conf";
        std::ofstream f(conf);
        f << "listen: 127.0.0.1:" << port_ << "\n";
        if (httpPort_)
            f << "http: 127.0.0.1:" << httpPort_ << "\n";
        if (!name.empty())
            f << "server_name: " << name << "\n";
        f << "jetstream { store_dir: \"" << dir_ << "/js\", max_mem: 64MB, max_file: 64MB }\n";
        f << authBlock() << extra;
        f.close();
        start(conf);
    }
    ~NatsServer()
    {
        stop();
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }
    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    // Freezes the process: the node stops answering but keeps its sockets.
    void pause() { ::kill(pid_, SIGSTOP); }
    void cont() { ::kill(pid_, SIGCONT); }
    int port() const { return port_; }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
    bool running() const { return pid_ > 0; }
    const std::string &dir() const { return dir_; }

    // The body of a GET on the monitoring port, or "" when it does not answer.
    std::string monitor(const std::string &path) const
    {
        if (!httpPort_)
            return "";
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(httpPort_));
        std::string reply;
        timeval tv{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            if (::write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
                char buf[4096];
                ssize_t n;
                while ((n = ::read(fd, buf, sizeof buf)) > 0)
                    reply.append(buf, static_cast<size_t>(n));
            }
        }
        ::close(fd);
        const size_t body = reply.find("\r\n\r\n");
        return body == std::string::npos ? "" : reply.substr(body + 4);
    }

private:
    void start(const std::string &conf)
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            std::string log = dir_ + "/server.log";
            std::freopen(log.c_str(), "w", stdout);
            std::freopen(log.c_str(), "a", stderr);
            ::execlp("nats-server", "nats-server", "-c", conf.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !portOpen(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int port_;
    int httpPort_;
    pid_t pid_ = -1;
    std::string dir_;
};

// Three nodes joined by routes.
class NatsCluster {
public:
    NatsCluster()
    {
        int cports[3];
        for (int &c : cports)
            c = freePort();
        for (int i = 0; i < 3; ++i) {
            std::string routes;
            for (int j = 0; j < 3; ++j)
                if (j != i)
                    routes += std::string(routes.empty() ? "" : ", ") + "\"nats-route://127.0.0.1:" +
                              std::to_string(cports[j]) + "\"";
            std::string cluster = "cluster { name: trxtest, listen: 127.0.0.1:" + std::to_string(cports[i]) +
                                  ", routes: [" + routes + " ] }\n";
            nodes.emplace_back(new NatsServer(cluster, 0, "node" + std::to_string(i), true));
        }
        waitFormed();
    }
    ~NatsCluster()
    {
        for (auto *n : nodes)
            delete n;
    }
    std::string urls() const
    {
        std::string s;
        for (auto *n : nodes)
            s += (s.empty() ? "" : ",") + n->url();
        return s;
    }
    std::vector<NatsServer *> nodes;

private:
    // JetStream places replicas only on peers its leader knows as current:
    // a replicated stream made before that is refused ("no suitable peers").
    void waitFormed() const
    {
        for (int i = 0; i < 3000; ++i) {
            for (auto *n : nodes) {
                const std::string jsz = n->monitor("/jsz");
                size_t current = 0;
                for (size_t at = jsz.find("\"replicas\""); at != std::string::npos;
                     at = jsz.find("\"current\": true", at + 1))
                    ++current;
                if (current == nodes.size()) // the key itself, then one per other peer
                    return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::fprintf(stderr, "the cluster did not form: its JetStream leader does not see every peer\n");
    }
};

} // namespace trxtest
