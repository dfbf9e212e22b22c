// What a session needs of a broker: the interface the in-process and NATS
// backends implement.
#pragma once

#include "trxClient.h"

#include <cstdint>
#include <memory>
#include <string>

namespace trx
{

class CacheSession;
struct CacheRequest;
struct Msg;

class Backend
{
public:
    virtual ~Backend() = default;
    // Blocking; FAIL with last error set.
    virtual trxClient_returnCode_t connect() = 0;
    // After it returns no further delivery reaches the session.
    virtual void disconnect() = 0;
    // mode: 0 send only, 1 wait for the broker's answer, 2 answer later through
    // Session::subscribeResult. Called without the session's locks.
    virtual trxClient_returnCode_t subscribe(const std::string& topic, int mode) = 0;
    virtual void unsubscribe(const std::string& topic) = 0;
    virtual trxClient_returnCode_t publish(const Msg& m) = 0;
    virtual std::string nodeName() = 0;
    virtual std::string connectedUrl() = 0;
    // How the broker names a subscription topic (for operators' messages).
    virtual std::string brokerName(const std::string& topic) { return "Topic '" + topic + "'"; }
    // Asks the cache; the answer comes through CacheSession::complete.
    virtual void cacheRequest(CacheSession* cs, std::shared_ptr<CacheRequest> req) = 0;
    // The cache session goes: after this returns the backend no longer uses it.
    virtual void cacheForget(CacheSession*) {}
    // Test hooks (inproc only).
    virtual trxClient_returnCode_t testDrop() { return notSupported(); }
    virtual trxClient_returnCode_t testRestore() { return notSupported(); }
    virtual trxClient_returnCode_t testFail() { return notSupported(); }
    // Bytes sent but still in the client's write buffers (nats only).
    virtual trxClient_returnCode_t testUnsent(int64_t&) { return notSupported(); }
    // Waits until traffic sent so far has been handled by the broker.
    virtual bool drain(int timeoutMs) = 0;

protected:
    static trxClient_returnCode_t notSupported();
};

} // namespace trx
