// Sessions: a connection to a broker through a backend, the subscriptions
// and dispatch entries of its topics, and its receive buffer.
#pragma once

#include "props.h"
#include "topic.h"
#include "trxClient.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace trx
{

class Backend;
class CacheSession;
class Context;
struct Msg;

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

    // A confirmation request (tag corr, or none) waits for the broker's answer.
    void await(void* corr)
    {
        if (corr)
            waiting.push_back(corr);
        else
            waitingNull = true;
    }
    // The requests waiting, the untagged one last; none wait any more.
    std::vector<void*> takeWaiting()
    {
        std::vector<void*> out;
        out.swap(waiting);
        if (waitingNull)
            out.push_back(nullptr);
        waitingNull = false;
        return out;
    }
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
    // What a subscribe call still has to do once its share is counted.
    struct Join
    {
        int mode = -1;           // ask the backend in this mode (Backend::subscribe); -1: nothing to ask
        bool confirmNow = false; // the broker confirmed the topic before
        bool refused = false;    // the broker refused it before, and the caller waits for the answer
    };
    // A subscribe call's arguments and the session's state; fn names the call in errors.
    trxClient_returnCode_t checkSubscribe(const char* fn, uint32_t flags, const char* topic,
                                          const trxClient_session_rxMsgDispatchFuncInfo_t* di, bool plain);
    // mSubMu held: counts one call's share of the topic's broker subscription.
    Join joinBrokerSub(const std::string& topic, uint32_t flags, void* corr, bool plain);
    // mSubMu held: undoes one call's share (its dispatch entry too); the broker
    // subscription is marked refused (denied) while others hold it. True when
    // no user is left.
    bool leaveBrokerSub(const std::string& topic, DispatchEntry* entry, bool plain, bool denied);
    // Asks the backend for the first user's broker subscription; a refusal or
    // failure undoes the call's share and keeps its error.
    trxClient_returnCode_t askBroker(const std::string& topic, int mode, DispatchEntry* entry, bool plain);
    // mSubMu held: the newest entry of di's callback and user pointer.
    DispatchEntry* newestEntry(const std::string& topic, const trxClient_session_rxMsgDispatchFuncInfo_t& di);
    // Tells the application each entry is gone, then frees it.
    void destroyEntries(const std::vector<DispatchEntry*>& gone);
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

} // namespace trx
