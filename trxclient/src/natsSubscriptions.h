// Subscriptions over NATS: one libnats subscription per subscribed topic,
// delivery into the session (a message reaches only the oldest of
// overlapping subscriptions), the broker's confirmations and refusals, and
// the marker that drains the delivery path. Its own state and locks.
#pragma once

#include "topic.h"
#include "trxClient.h"

#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace trx
{

class Session;

class NatsSubscriptions
{
public:
    explicit NatsSubscriptions(Session* s) : mSession(s) {}
    ~NatsSubscriptions() { stopConfirming(); }
    NatsSubscriptions(const NatsSubscriptions&) = delete;
    NatsSubscriptions& operator=(const NatsSubscriptions&) = delete;

    // The connection is up: confirmations are answered from now on and the
    // drain marker has its subscription. flushMs bounds a confirmation.
    void start(natsConnection* nc, int64_t flushMs);
    // Before the connection closes.
    void stopConfirming();
    // Messages still arriving are dropped from now on.
    void beginClose() { mClosing = true; }
    // Once the connection is closed: waits (a while) for libnats to finish
    // with every subscription, then frees them all.
    void finish();

    // mode: 0 send only, 1 wait for the broker's answer, 2 answer later
    // through Session::subscribeResult.
    trxClient_returnCode_t subscribe(const std::string& topic, int mode);
    void unsubscribe(const std::string& topic);
    // Waits until what the broker sent before now has been delivered.
    bool drain(int timeoutMs);
    // A permission error from the broker: true when it concerned a
    // subscription (then handled here: reported by its confirmation, or to
    // the session as a lost subscription).
    bool refused(const std::string& text);

private:
    // Kept small: there is one per subscribed topic. Its topic is the key in
    // mSubs, its subject the path in mTrie.
    struct Sub
    {
        NatsSubscriptions* owner;
        natsSubscription* ns = nullptr;
        uint64_t order;
        std::atomic<bool> active{true};
        bool wild = false; // its subject has a wildcard, so it may overlap another
    };

    trxClient_returnCode_t addSub(const std::string& topic, const std::string& subject);
    void removeSub(const std::string& topic);
    void reap();
    natsStatus confirm(const std::vector<std::string>& topics,
                       std::vector<std::pair<std::string, std::string>>& denied);
    std::set<std::string> refusedSince(uint64_t seq0, natsStatus st0, const std::string& text0,
                                       const std::set<std::string>& subjects);
    void confirmLoop();
    static void onMsg(natsConnection*, natsSubscription*, natsMsg* nm, void* closure);
    static void onDrainMsg(natsConnection*, natsSubscription*, natsMsg* nm, void* closure);
    static void onSubComplete(void* closure);

    Session* mSession;
    natsConnection* mNc = nullptr; // from start() to finish()
    int64_t mFlushMs = 2000;
    std::atomic<bool> mClosing{false};

    std::mutex mMu; // mSubs, mTrie, mRetired, mNextOrder
    std::unordered_map<std::string, Sub*> mSubs;
    TopicTrie<Sub*> mTrie{'.'};
    std::atomic<int> mWildSubs{0}; // subscriptions in mTrie with a wildcard (changed under mMu)
    std::unordered_set<Sub*> mRetired;
    uint64_t mNextOrder = 1;

    std::mutex mLiveMu; // mCompleted
    std::condition_variable mLiveCv;
    std::vector<Sub*> mCompleted; // subscriptions libnats is done with
    std::atomic<int> mLive{0};

    std::mutex mErrMu; // mErrLog, mErrSeq, mConfirming
    std::condition_variable mErrCv;
    std::deque<std::pair<uint64_t, std::string>> mErrLog;
    uint64_t mErrSeq = 0;
    std::set<std::string> mConfirming;

    std::mutex mConfirmMu;     // mConfirmQ, mStop
    std::mutex mConfirmSerial; // one confirmation at a time
    std::condition_variable mConfirmCv;
    std::deque<std::string> mConfirmQ;
    bool mStop = false;
    std::thread mConfirmThread;

    std::string mDrainSubject;
    Sub* mDrainSub = nullptr;
    std::mutex mDrainMu; // mDrainSent, mDrainSeen
    std::condition_variable mDrainCv;
    uint64_t mDrainSent = 0, mDrainSeen = 0;
};

} // namespace trx
