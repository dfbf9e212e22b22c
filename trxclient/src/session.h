// Context, session and backend internals shared by the library's modules.
#pragma once

#include "msg.h"
#include "topic.h"
#include "trxClient.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace trx
{

using Clock = std::chrono::steady_clock;

// Ends a worker thread that waits on cv for stop (set under mu).
inline void stopWorker(std::mutex& mu, std::condition_variable& cv, bool& stop, std::thread& worker)
{
    {
        std::lock_guard<std::mutex> g(mu);
        stop = true;
    }
    cv.notify_all();
    if (worker.joinable())
        worker.join();
}

// ---- properties -------------------------------------------------------------

class Props
{
public:
    // False (with the reason in err) for a dangling name without value.
    bool parse(trxClient_propertyArray_pt props, std::string& err);
    const std::string* get(const char* name) const; // case-insensitive, last wins
    std::string getStr(const char* name, const char* def) const;
    // Integer property; false (and err) when present but not a number in range.
    bool getInt(const char* name, long long def, long long lo, long long hi, long long& out, std::string& err) const;
    void set(const std::string& name, const std::string& value);
    const std::vector<std::pair<std::string, std::string>>& all() const { return mKv; }

private:
    std::vector<std::pair<std::string, std::string>> mKv;
};

bool libraryInitialized();
uint32_t natsDeliveryThreads();

class Session;

// ---- context ------------------------------------------------------------------

class Context
{
public:
    static constexpr uint32_t kMagic = 0x54525843; // "TRXC"
    uint32_t magic = kMagic;

    Context(bool ownThread);
    ~Context();

    // Queue work for the context thread. owner lets a session purge its items.
    void post(std::function<void()> fn, Session* owner = nullptr);
    void postSessionRx(Session* s);
    bool onContextThread() const;
    bool hasOwnThread() const { return mOwnThread; }
    // Runs fn on the context thread and waits for it (inline when already there).
    void runAndWait(const std::function<void()>& fn);
    // Drops queued work owned by s.
    void purge(Session* s);
    // Delete s after the work item now running has finished (or at once).
    void deferDelete(Session* s);

    int processEvents(int timeoutMs);
    bool drain(int timeoutMs);

    trxClient_returnCode_t startTimer(int mode, uint32_t ms, trxClient_context_timerCallbackFunc_t cb, void* user,
                                      uint64_t& id);
    bool stopTimer(uint64_t id);
    // Internal timers (cache request time-outs); the callback runs on the context thread.
    uint64_t startInternalTimer(uint32_t ms, std::function<void()> fn);

    void addSession(Session* s);
    void removeSession(Session* s);
    std::vector<Session*> sessions();
    void shutdown(); // stops and joins the thread
    // Destroy from inside one of its own callbacks: the loop frees the
    // context once the callback has returned.
    void destroyFromOwnThread();

private:
    struct Item
    {
        Session* session = nullptr; // SessionRx when fn is empty
        std::function<void()> fn;
        Session* owner = nullptr;
    };
    struct Timer
    {
        Clock::time_point due;
        uint32_t periodMs = 0;
        trxClient_context_timerCallbackFunc_t cb = nullptr;
        void* user = nullptr;
        std::function<void()> fn;
    };
    void loop();
    // Runs at most one queued item or due timer; lock held on entry and exit.
    bool runOne(std::unique_lock<std::mutex>& lk);

    mutable std::mutex mMu;
    std::condition_variable mCv;
    std::deque<Item> mQueue;
    std::map<uint64_t, Timer> mTimers;
    std::multimap<Clock::time_point, uint64_t> mSchedule;
    uint64_t mNextTimer = 1;
    bool mStop = false;
    bool mOwnThread;
    std::thread mThread;
    std::atomic<std::thread::id> mRunner{};
    std::vector<Session*> mSessions;
    std::vector<Session*> mDeferred;
    bool mRunning = false;
    bool mSelfDelete = false;
};

Context* toContext(trxClient_opaqueContext_pt p);

// ---- session ------------------------------------------------------------------

struct DispatchEntry
{
    std::string topic;
    trxClient_session_rxMsgDispatchFuncInfo_t info;
    bool local;
};

// One broker-level subscription of a session (counted over its users).
struct BrokerSub
{
    int refs = 0;
    int plainRefs = 0;
    enum State
    {
        Pending,
        Active,
        Denied
    } state = Pending;
    bool waitingNull = false;   // a request without correlation tag awaits an answer
    std::vector<void*> waiting; // correlation tags awaiting event 16 / 4
};

class CacheSession;
struct CacheRequest;

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

enum class SessionState
{
    Created,
    Connecting,
    Up,
    Reconnecting,
    Down,
    Disconnected
};

class Session
{
public:
    static constexpr uint32_t kMagic = 0x54525853; // "TRXS"
    uint32_t magic = kMagic;

    Session(Context* ctx, Props props);
    ~Session();
    trxClient_returnCode_t init(const trxClient_session_createFuncInfo_t* fi);

    // API
    trxClient_returnCode_t connect();
    trxClient_returnCode_t disconnect();
    void destroy();
    trxClient_returnCode_t suspend();
    trxClient_returnCode_t resume();
    trxClient_returnCode_t getProperty(const char* name, char* buf, size_t size);
    trxClient_returnCode_t send(Msg* m);
    trxClient_returnCode_t subscribe(uint32_t flags, const char* topic,
                                     const trxClient_session_rxMsgDispatchFuncInfo_t* di, void* corr, bool plain);
    trxClient_returnCode_t unsubscribe(uint32_t flags, const char* topic,
                                       const trxClient_session_rxMsgDispatchFuncInfo_t* di, void* corr, bool plain);
    void setDispatchDestroy(trxClient_session_topicDispatchDestroyFunc_t cb) { mDispatchDestroy = cb; }
    void stats(trxClient_session_stats_t& out);

    // From backends (any thread). here: the caller is a thread of the
    // backend's own that holds no lock, so the message may be dispatched on it.
    void deliver(Msg* m, bool here = false);
    void deliverCache(std::vector<Msg*> msgs, std::function<void()> completion);
    void raiseEvent(trxClient_session_event_t ev, trxClient_subCode_t sub, int responseCode, const std::string& info,
                    void* corr = nullptr);
    void subscribeResult(const std::string& topic, bool ok, trxClient_subCode_t sub, const std::string& text);
    // Broker reported a refused subscription it had accepted before (or an unknown one).
    void subscriptionLost(const std::string& topic, trxClient_subCode_t sub, const std::string& text);
    void connectionLost(const std::string& why);                          // -> event 12
    void connectionRestored();                                            // -> event 13 (+17)
    void connectionDown(trxClient_subCode_t sub, const std::string& why); // -> event 1
    std::vector<std::string> brokerTopics();                              // for re-applying
    bool hasBrokerTopic(const std::string& topic);
    // Answers every confirmation request still waiting (with ev).
    void answerPending(trxClient_session_event_t ev, trxClient_subCode_t sub, const std::string& why);
    void dropBrokerSubscriptions(); // SESSION_REAPPLY_SUBSCRIPTIONS=0

    // Context thread.
    void runRx();

    Context* ctx() const { return mCtx; }
    const Props& props() const { return mProps; }
    const std::string& id() const { return mId; }
    bool closing() const { return mClosing.load(); }
    void addCacheSession(CacheSession* c);
    void removeCacheSession(CacheSession* c);
    Backend* backend() { return mBackend.get(); }
    uint32_t requestMsgLimit() const { return mRequestMsgLimit; }
    // Messages waiting that the context will still dispatch (not held by a suspend).
    bool rxBusy();
    // Broker subscription that brings this session's point-to-point messages.
    std::string p2pPattern() const;
    // The broker refused it: nothing sent to this session's reply-to arrives.
    bool p2pRefused() const { return mP2pRefused.load(std::memory_order_relaxed); }

    // Fault injection.
    std::atomic<int> failSuspend{0}, failResume{0};
    std::atomic<bool> markDiscard{false};

private:
    struct RxItem
    {
        Msg* msg = nullptr;
        std::function<void()> fn;
        uint64_t after = 0; // events raised before it: it waits for them
    };
    void dispatch(Msg* m);
    // mRxMu held: the oldest held item may go now.
    bool rxReady() const
    {
        return !mClosing && !mSuspended && !mDirect && !mRxq.empty() && mRxq.front().after <= mEventsDone;
    }
    // Runs fn on the context thread once every message before it is through;
    // messages that arrive after it wait until it has run.
    void postInOrder(std::function<void()> fn, Session* owner);
    void eventDone();
    // Waits until no message is being dispatched on a backend thread.
    void waitDirect();
    bool isOwnP2P(std::string_view topic) const;
    void refuseP2P();
    void finalize();
    void cancelCacheRequests();

    Context* mCtx;
    Props mProps;
    std::unique_ptr<Backend> mBackend;
    trxClient_session_eventCallbackFunc_t mEventCb = nullptr;
    void* mEventUser = nullptr;
    trxClient_session_rxMsgCallbackFunc_t mRxCb = nullptr;
    void* mRxUser = nullptr;
    std::atomic<trxClient_session_topicDispatchDestroyFunc_t> mDispatchDestroy{nullptr};

    std::string mId, mHost;
    bool mConnectBlocking = true, mReapply = true, mTopicDispatch = true;
    bool mDirectOk = false; // SESSION_ALWAYS_BUFFER_IN_CONTEXT=0: dispatch on the backend's thread when order allows
    uint64_t mBufMsgLimit = 100000, mBufByteLimit = 64ull << 20;
    uint32_t mRequestMsgLimit = 100000;

    std::mutex mStateMu;
    SessionState mState = SessionState::Created;
    std::thread mConnectThread;
    std::atomic<bool> mClosing{false};
    std::atomic<bool> mP2pRefused{false};
    std::mutex mOpMu; // serializes connect / disconnect / destroy

    // Subscriptions.
    std::mutex mSubMu;
    TopicTrie<DispatchEntry*> mDispatch; // also the index of the entries by topic
    std::unordered_map<std::string, BrokerSub> mBrokerSubs;
    TopicTrie<BrokerSub*> mPlainTrie;
    std::vector<RxItem> mRxBatch; // context thread only

    // Receive buffer.
    std::mutex mRxMu;
    std::deque<RxItem> mRxq;
    uint64_t mRxMsgsQueued = 0, mRxBytes = 0;
    std::atomic<bool> mSuspended{false}; // written under mRxMu; read without it between dispatches
    bool mScheduled = false, mPendingDiscard = false, mDiscardReported = false;
    bool mDirect = false;                        // a message is being dispatched on a backend thread
    uint64_t mEventsRaised = 0, mEventsDone = 0; // events handed to the context, and run there
    std::condition_variable mDirectCv;           // mDirect went false
    std::atomic<uint64_t> mRxMsgs{0}, mRxDiscarded{0}, mTxMsgs{0}, mReconnects{0};

    std::mutex mCacheMu;
    std::vector<CacheSession*> mCaches;
};

Session* toSession(trxClient_opaqueSession_pt p);

// ---- cache --------------------------------------------------------------------

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

// Unique ids.
std::string newSessionId();

} // namespace trx
