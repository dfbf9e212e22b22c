// The cache over NATS: a JetStream stream keeping the last message of every
// subject. Requests are served one at a time on the cache's own thread and
// asked again through leader elections until they time out.
#pragma once

#include "core.h"

#include <nats/nats.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace trx {

class NatsCache {
public:
    // lastUrl: the server last connected to (for texts); connectedUrl: the
    // one connected now, or "".
    NatsCache(Session *s, std::function<std::string()> lastUrl, std::function<std::string()> connectedUrl)
        : s_(s), lastUrl_(std::move(lastUrl)), connectedUrl_(std::move(connectedUrl))
    {
    }
    ~NatsCache() { stop(); }
    NatsCache(const NatsCache &) = delete;
    NatsCache &operator=(const NatsCache &) = delete;

    // The connection (null: none) that requests from now on go through.
    void attach(natsConnection *nc, jsCtx *js);
    void request(CacheSession *cs, std::shared_ptr<CacheRequest> req);
    // After it returns the cache no longer uses cs.
    void forget(CacheSession *cs);
    // Ends the thread; a later request starts it again.
    void stop();

private:
    // A try at a cache request either finishes it or leaves it for another
    // try, with the reason in busy.
    enum class Try { Done, Again };

    void loop();
    void serve(CacheSession *cs, CacheRequest &req);
    Try tryTopic(CacheSession *cs, CacheRequest &req, int64_t waitMs, std::string &busy);
    Try tryWildcard(CacheSession *cs, CacheRequest &req, int64_t waitMs, std::string &busy);
    bool streamUnusable(CacheSession *cs, CacheRequest &req, int64_t waitMs, std::string &busy);

    Session *s_;
    std::function<std::string()> lastUrl_, connectedUrl_;

    std::mutex mu_; // everything below but the thread's own
    std::condition_variable cv_;
    natsConnection *nc_ = nullptr;
    jsCtx *js_ = nullptr;
    std::deque<std::pair<CacheSession *, std::shared_ptr<CacheRequest>>> queue_;
    bool stop_ = false;
    CacheSession *serving_ = nullptr;
    bool forget_ = false; // the cache session served is going: stop asking for it
    std::thread thread_;

    // The thread's own.
    natsConnection *useNc_ = nullptr;
    jsCtx *useJs_ = nullptr;
    std::string verifiedStream_; // the stream last found present
};

} // namespace trx
