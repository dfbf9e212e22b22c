// Cache sessions: requests for the last cached message of a topic (or of
// every topic a pattern matches), answered through the session's receive path.
#pragma once

#include "clock.h"
#include "props.h"
#include "trxClient.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace trx
{

class Context;
class Session;
struct Msg;

struct CacheRequest
{
    uint64_t seq = 0;
    std::string topic;
    uint64_t id = 0;
    trxClient_cacheSession_rxCacheRequestCallbackFunc_t cb = nullptr;
    void* user = nullptr;
    uint32_t flags = 0;
    Clock::time_point deadline; // when the time-out timer ends it
    uint64_t timer = 0;
    // Blocking requests wait here.
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
    trxClient_returnCode_t rc = TRXCLIENT_OK;
    trxClient_subCode_t sub = TRXCLIENT_SUBCODE_OK;

    bool isFinished()
    {
        std::lock_guard<std::mutex> g(mu);
        return finished;
    }
};

class CacheSession
{
public:
    static constexpr uint32_t kMagic = 0x54525843 ^ 0x00000100;
    uint32_t magic = kMagic;

    CacheSession(Session* s, Props props) : session(s), props(std::move(props)) {}
    trxClient_returnCode_t init();
    trxClient_returnCode_t request(const char* topic, uint64_t id,
                                   trxClient_cacheSession_rxCacheRequestCallbackFunc_t cb, void* user, uint32_t flags,
                                   uint32_t subFlags);
    // From backends: finishes a request once; msgs are handed to the session.
    // why: what went wrong and what to do, for the application's last-error
    // text; empty gives the sub-code's own text.
    void complete(uint64_t seq, trxClient_returnCode_t rc, trxClient_subCode_t sub, std::vector<Msg*> msgs,
                  std::string why = {});
    void cancelAll();

    Session* session;
    Context* ctx = nullptr;
    Props props;
    uint32_t timeoutMs = 10000;
    uint64_t maxAgeMs = 0;
    std::string stream = "TRXCACHE";

private:
    std::mutex mMu;
    uint64_t mNextSeq = 1;
    std::map<uint64_t, std::shared_ptr<CacheRequest>> mPending;
};

CacheSession* toCacheSession(trxClient_opaqueCacheSession_pt p);

} // namespace trx
