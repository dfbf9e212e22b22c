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

namespace trx {

class Session;

class NatsSubscriptions {
public:
    explicit NatsSubscriptions(Session *s) : s_(s) {}
    ~NatsSubscriptions() { stopConfirming(); }
    NatsSubscriptions(const NatsSubscriptions &) = delete;
    NatsSubscriptions &operator=(const NatsSubscriptions &) = delete;

    // The connection is up: confirmations are answered from now on and the
    // drain marker has its subscription. flushMs bounds a confirmation.
    void start(natsConnection *nc, int64_t flushMs);
    // Before the connection closes.
    void stopConfirming();
    // Messages still arriving are dropped from now on.
    void beginClose() { closing_ = true; }
    // Once the connection is closed: waits (a while) for libnats to finish
    // with every subscription, then frees them all.
    void finish();

    // mode: 0 send only, 1 wait for the broker's answer, 2 answer later
    // through Session::subscribeResult.
    trxClient_returnCode_t subscribe(const std::string &topic, int mode);
    void unsubscribe(const std::string &topic);
    // Waits until what the broker sent before now has been delivered.
    bool drain(int timeoutMs);
    // A permission error from the broker: true when it concerned a
    // subscription (then handled here: reported by its confirmation, or to
    // the session as a lost subscription).
    bool refused(const std::string &text);

private:
    // Kept small: there is one per subscribed topic. Its topic is the key in
    // subs_, its subject the path in trie_.
    struct Sub {
        NatsSubscriptions *owner;
        natsSubscription *ns = nullptr;
        uint64_t order;
        std::atomic<bool> active{true};
        bool wild = false; // its subject has a wildcard, so it may overlap another
    };

    trxClient_returnCode_t addSub(const std::string &topic, const std::string &subject);
    void removeSub(const std::string &topic);
    void reap();
    natsStatus confirm(const std::vector<std::string> &topics, std::vector<std::pair<std::string, std::string>> &denied);
    void confirmLoop();
    static void onMsg(natsConnection *, natsSubscription *, natsMsg *nm, void *closure);
    static void onDrainMsg(natsConnection *, natsSubscription *, natsMsg *nm, void *closure);
    static void onSubComplete(void *closure);

    Session *s_;
    natsConnection *nc_ = nullptr; // from start() to finish()
    int64_t flushMs_ = 2000;
    std::atomic<bool> closing_{false};

    std::mutex mu_; // subs_, trie_, retired_, nextOrder_
    std::unordered_map<std::string, Sub *> subs_;
    TopicTrie<Sub *> trie_{'.'};
    std::atomic<int> wildSubs_{0}; // subscriptions in trie_ with a wildcard (changed under mu_)
    std::unordered_set<Sub *> retired_;
    uint64_t nextOrder_ = 1;

    std::mutex liveMu_; // completed_
    std::condition_variable liveCv_;
    std::vector<Sub *> completed_; // subscriptions libnats is done with
    std::atomic<int> live_{0};

    std::mutex errMu_; // errLog_, errSeq_, confirming_
    std::condition_variable errCv_;
    std::deque<std::pair<uint64_t, std::string>> errLog_;
    uint64_t errSeq_ = 0;
    std::set<std::string> confirming_;

    std::mutex confirmMu_; // confirmQ_, stop_
    std::mutex confirmSerial_; // one confirmation at a time
    std::condition_variable confirmCv_;
    std::deque<std::string> confirmQ_;
    bool stop_ = false;
    std::thread confirmThread_;

    std::string drainSubject_;
    Sub *drainSub_ = nullptr;
    std::mutex drainMu_; // drainSent_, drainSeen_
    std::condition_variable drainCv_;
    uint64_t drainSent_ = 0, drainSeen_ = 0;
};

} // namespace trx
