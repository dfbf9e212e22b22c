// The cache over NATS: a JetStream stream keeping the last message of every
// subject. Requests are served one at a time on the cache's own thread and
// asked again through leader elections until they time out.
#pragma once

#include <nats/nats.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace trx
{

class CacheSession;
struct CacheRequest;
class Session;
struct Msg;

class NatsCache
{
public:
    // lastUrl: the server last connected to (for texts); connectedUrl: the
    // one connected now, or "".
    NatsCache(Session* s, std::function<std::string()> lastUrl, std::function<std::string()> connectedUrl)
        : mSession(s), mLastUrl(std::move(lastUrl)), mConnectedUrl(std::move(connectedUrl))
    {
    }
    ~NatsCache() { stop(); }
    NatsCache(const NatsCache&) = delete;
    NatsCache& operator=(const NatsCache&) = delete;

    // The connection (null: none) that requests from now on go through.
    void attach(natsConnection* nc, jsCtx* js);
    void request(CacheSession* cs, std::shared_ptr<CacheRequest> req);
    // After it returns the cache no longer uses cs.
    void forget(CacheSession* cs);
    // Ends the thread; a later request starts it again.
    void stop();

private:
    // A try at a cache request either finishes it or leaves it for another
    // try, with the reason in busy.
    enum class Try
    {
        Done,
        Again
    };

    void loop();
    void serve(CacheSession* cs, CacheRequest& req);
    Try tryTopic(CacheSession* cs, CacheRequest& req, int64_t waitMs, std::string& busy);
    Try tryWildcard(CacheSession* cs, CacheRequest& req, int64_t waitMs, std::string& busy);
    Try consumerRefused(CacheSession* cs, CacheRequest& req, int64_t waitMs, natsStatus st, jsErrCode jerr,
                        std::string& busy);
    bool collectLast(CacheSession* cs, CacheRequest& req, natsSubscription* sub, jsOptions& jo, std::vector<Msg*>& msgs,
                     bool& suspect);
    bool streamUnusable(CacheSession* cs, CacheRequest& req, int64_t waitMs, std::string& busy);

    Session* mSession;
    std::function<std::string()> mLastUrl, mConnectedUrl;

    std::mutex mMu; // everything below but the thread's own
    std::condition_variable mCv;
    natsConnection* mNc = nullptr;
    jsCtx* mJs = nullptr;
    std::deque<std::pair<CacheSession*, std::shared_ptr<CacheRequest>>> mQueue;
    bool mStop = false;
    CacheSession* mServing = nullptr;
    bool mForget = false; // the cache session served is going: stop asking for it
    std::thread mThread;

    // The thread's own.
    natsConnection* mUseNc = nullptr;
    jsCtx* mUseJs = nullptr;
    std::string mVerifiedStream; // the stream last found present
};

} // namespace trx
