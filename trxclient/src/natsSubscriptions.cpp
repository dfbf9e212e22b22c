#include "natsSubscriptions.h"

#include "errors.h"
#include "log.h"
#include "natsAccess.h"
#include "natsMessage.h"
#include "session.h"
#include "worker.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace trx
{
namespace
{

// Text between the first and last double quote.
std::string quoted(const std::string& text)
{
    size_t a = text.find('"'), b = text.rfind('"');
    if (a == std::string::npos || b == a)
        return "";
    return text.substr(a + 1, b - a - 1);
}

const char kSubscriptionRefused[] = "Permissions Violation for Subscription to";

} // namespace

void NatsSubscriptions::start(natsConnection* nc, int64_t flushMs)
{
    mNc = nc;
    mFlushMs = flushMs;
    mStop = false;
    mClosing = false;
    mConfirmThread = std::thread([this] { confirmLoop(); });
    // A private subject lets drain() pass a marker through the delivery path.
    mDrainSubject = "_TRX.drain." + mSession->id();
    auto* d = new Sub{this, nullptr, 0};
    if (natsConnection_Subscribe(&d->ns, mNc, mDrainSubject.c_str(), &NatsSubscriptions::onDrainMsg, this) == NATS_OK)
    {
        natsSubscription_SetOnCompleteCB(d->ns, &NatsSubscriptions::onSubComplete, d);
        mLive++;
        mDrainSub = d;
    }
    else
    {
        delete d;
    }
}

void NatsSubscriptions::stopConfirming()
{
    stopWorker(mConfirmMu, mConfirmCv, mStop, mConfirmThread);
}

void NatsSubscriptions::finish()
{
    {
        // Message callbacks may still be running until every subscription completes.
        std::unique_lock<std::mutex> lk(mLiveMu);
        mLiveCv.wait_for(lk, std::chrono::seconds(5), [&] { return mLive.load() == 0; });
    }
    std::vector<Sub*> all;
    {
        std::lock_guard<std::mutex> g(mMu);
        for (auto& p : mSubs)
            all.push_back(p.second);
        mSubs.clear();
        mTrie = TopicTrie<Sub*>('.');
        mWildSubs = 0;
        all.insert(all.end(), mRetired.begin(), mRetired.end());
        mRetired.clear();
        std::lock_guard<std::mutex> lg(mLiveMu);
        mCompleted.clear();
    }
    if (mDrainSub)
        all.push_back(mDrainSub);
    mDrainSub = nullptr;
    for (Sub* sub : all)
    {
        natsSubscription_Destroy(sub->ns);
        delete sub;
    }
    mNc = nullptr;
    mClosing = false;
}

trxClient_returnCode_t NatsSubscriptions::subscribe(const std::string& topic, int mode)
{
    std::string subject;
    topicToSubject(topic, true, subject);
    if (mode == 2)
    {
        {
            std::lock_guard<std::mutex> g(mConfirmMu);
            mConfirmQ.push_back(topic);
        }
        mConfirmCv.notify_one();
        return TRXCLIENT_OK;
    }
    if (mode == 1)
    {
        std::vector<std::string> batch{topic};
        std::vector<std::pair<std::string, std::string>> denied;
        natsStatus fst = confirm(batch, denied);
        if (!denied.empty())
            return fail(TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, "%s", denied[0].second.c_str());
        if (fst != NATS_OK)
            return fail(fst == NATS_TIMEOUT ? TRXCLIENT_SUBCODE_TIMEOUT : TRXCLIENT_SUBCODE_COMMUNICATION_ERROR,
                        "no answer from the broker for Topic '%s': %s", topic.c_str(), natsStatus_GetText(fst));
        return TRXCLIENT_OK;
    }
    std::lock_guard<std::mutex> g(mMu);
    return addSub(topic, subject);
}

void NatsSubscriptions::unsubscribe(const std::string& topic)
{
    std::lock_guard<std::mutex> g(mMu);
    removeSub(topic);
}

bool NatsSubscriptions::drain(int timeoutMs)
{
    if (!mNc || !mDrainSub)
        return true;
    // Flush: the broker has everything we sent. The marker then passes
    // through the delivery thread after whatever arrived before it.
    if (natsConnection_FlushTimeout(mNc, timeoutMs) != NATS_OK)
        return false;
    uint64_t want;
    {
        std::lock_guard<std::mutex> g(mDrainMu);
        want = ++mDrainSent;
    }
    std::string n = std::to_string(want);
    if (natsConnection_Publish(mNc, mDrainSubject.c_str(), n.data(), static_cast<int>(n.size())) != NATS_OK)
        return false;
    natsConnection_FlushTimeout(mNc, timeoutMs);
    std::unique_lock<std::mutex> lk(mDrainMu);
    return mDrainCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return mDrainSeen >= want; });
}

// mMu held.
trxClient_returnCode_t NatsSubscriptions::addSub(const std::string& topic, const std::string& subject)
{
    if (mSubs.count(topic))
        return TRXCLIENT_OK;
    if (!mNc)
        return fail(TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED, "not connected (Topic '%s')", topic.c_str());
    auto* sub = new Sub{this, nullptr, mNextOrder++};
    sub->wild = subject.find_first_of("*>") != std::string::npos;
    natsStatus st = natsConnection_Subscribe(&sub->ns, mNc, subject.c_str(), &NatsSubscriptions::onMsg, sub);
    if (st != NATS_OK)
    {
        delete sub;
        return fail(TRXCLIENT_SUBCODE_COMMUNICATION_ERROR, "subscribe to Topic '%s' failed: %s", topic.c_str(),
                    natsErrorText(st).c_str());
    }
    natsSubscription_SetPendingLimits(sub->ns, 1000000, 256 * 1024 * 1024);
    natsSubscription_SetOnCompleteCB(sub->ns, &NatsSubscriptions::onSubComplete, sub);
    mLive++;
    mSubs[topic] = sub;
    mTrie.insert(subject, sub);
    if (sub->wild)
        mWildSubs++;
    return TRXCLIENT_OK;
}

// mMu held.
void NatsSubscriptions::removeSub(const std::string& topic)
{
    auto it = mSubs.find(topic);
    if (it == mSubs.end())
        return;
    Sub* sub = it->second;
    std::string subject;
    topicToSubject(topic, true, subject);
    mSubs.erase(it);
    mTrie.erase(subject, sub);
    if (sub->wild)
        mWildSubs--;
    sub->active = false;
    natsSubscription_Unsubscribe(sub->ns);
    mRetired.insert(sub); // libnats may still deliver to it: freed once it completes
    reap();
}

// Frees unsubscribed subscriptions that libnats has finished with, so a
// long-lived session with churning subscriptions keeps its memory. mMu held.
void NatsSubscriptions::reap()
{
    std::vector<Sub*> done;
    {
        std::lock_guard<std::mutex> g(mLiveMu);
        done.swap(mCompleted);
    }
    for (Sub* sub : done)
        if (mRetired.erase(sub))
        {
            natsSubscription_Destroy(sub->ns);
            delete sub;
        }
}

// Subscribes the batch, flushes, and tells which subjects the broker refused.
// Returns the flush status: only NATS_OK settles the batch.
natsStatus NatsSubscriptions::confirm(const std::vector<std::string>& topics,
                                      std::vector<std::pair<std::string, std::string>>& denied)
{
    std::lock_guard<std::mutex> serial(mConfirmSerial);
    const char* t0 = nullptr;
    natsStatus st0 = mNc ? natsConnection_GetLastError(mNc, &t0) : NATS_OK;
    std::string text0 = t0 ? t0 : "";
    uint64_t seq0;
    std::set<std::string> subjects;
    std::map<std::string, std::string> subjectOf;
    for (auto& t : topics)
    {
        std::string subj;
        topicToSubject(t, true, subj);
        subjects.insert(subj);
        subjectOf[t] = subj;
    }
    {
        std::lock_guard<std::mutex> g(mErrMu);
        seq0 = mErrSeq;
        for (auto& s : subjects)
            mConfirming.insert(s);
    }
    {
        std::lock_guard<std::mutex> g(mMu);
        for (auto& t : topics)
            addSub(t, subjectOf[t]);
    }
    natsStatus fst = mNc ? natsConnection_FlushTimeout(mNc, mFlushMs) : NATS_CONNECTION_CLOSED;
    const std::set<std::string> refusedSubjects = refusedSince(seq0, st0, text0, subjects);
    if (fst != NATS_OK)
        TRX_LOG(TRXCLIENT_LOG_WARNING, "subscription flush failed: %s", natsStatus_GetText(fst));
    std::lock_guard<std::mutex> g(mMu);
    for (auto& t : topics)
    {
        if (refusedSubjects.count(subjectOf[t]))
        {
            denied.emplace_back(t, "subscription refused by the broker for Topic '" + t + "'");
            removeSub(t);
        }
    }
    return fst;
}

// After the flush of a batch: which of its subjects the broker refused since
// seq0 (st0 and text0: the connection's last error then). The error handler
// may not have seen a refusal the connection already reports: wait for it a
// while. The batch's subjects are no longer being confirmed afterwards.
std::set<std::string> NatsSubscriptions::refusedSince(uint64_t seq0, natsStatus st0, const std::string& text0,
                                                      const std::set<std::string>& subjects)
{
    const char* t1 = nullptr;
    natsStatus st1 = mNc ? natsConnection_GetLastError(mNc, &t1) : NATS_OK;
    std::string text1 = t1 ? t1 : "";
    std::set<std::string> refusedSubjects;
    {
        std::unique_lock<std::mutex> lk(mErrMu);
        auto collect = [&]
        {
            refusedSubjects.clear();
            for (auto& e : mErrLog)
                if (e.first > seq0 && e.second.rfind(kSubscriptionRefused, 0) == 0)
                {
                    std::string subj = quoted(e.second);
                    if (subjects.count(subj))
                        refusedSubjects.insert(subj);
                }
        };
        bool changed = st1 != st0 || text1 != text0;
        if (changed && st1 == NATS_NOT_PERMITTED)
        {
            // The newest violation at flush time; once the error handler has
            // seen it, it has seen every earlier one of this batch too.
            mErrCv.wait_for(lk, std::chrono::seconds(2),
                            [&]
                            {
                                for (auto& e : mErrLog)
                                    if (e.first > seq0 && e.second == text1)
                                        return true;
                                return false;
                            });
        }
        else if (!changed && st1 == NATS_NOT_PERMITTED && subjects.count(quoted(text1)) &&
                 text1.rfind(kSubscriptionRefused, 0) == 0)
        {
            // Same text as before: an old refusal of this subject, or a new one.
            mErrCv.wait_for(lk, std::chrono::seconds(1),
                            [&]
                            {
                                collect();
                                return refusedSubjects.count(quoted(text1)) > 0;
                            });
        }
        collect();
        for (auto& s : subjects)
            mConfirming.erase(s);
    }
    return refusedSubjects;
}

void NatsSubscriptions::confirmLoop()
{
    for (;;)
    {
        std::vector<std::string> batch;
        {
            std::unique_lock<std::mutex> lk(mConfirmMu);
            mConfirmCv.wait(lk, [&] { return mStop || !mConfirmQ.empty(); });
            if (mStop)
                return;
            batch.assign(mConfirmQ.begin(), mConfirmQ.end());
            mConfirmQ.clear();
        }
        std::vector<std::pair<std::string, std::string>> denied;
        natsStatus fst = confirm(batch, denied);
        std::set<std::string> bad;
        for (auto& d : denied)
        {
            bad.insert(d.first);
            mSession->subscribeResult(d.first, false, TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED, d.second);
        }
        if (fst != NATS_OK && natsConnection_Status(mNc) == NATS_CONN_STATUS_RECONNECTING)
        {
            // libnats sends the subscriptions again once reconnected: ask then.
            std::unique_lock<std::mutex> lk(mConfirmMu);
            for (auto it = batch.rbegin(); it != batch.rend(); ++it)
                if (!bad.count(*it))
                    mConfirmQ.push_front(*it);
            mConfirmCv.wait_for(lk, std::chrono::milliseconds(100), [&] { return mStop; });
            continue;
        }
        for (auto& t : batch)
            if (!bad.count(t))
            {
                if (fst == NATS_OK)
                    mSession->subscribeResult(t, true, TRXCLIENT_SUBCODE_OK,
                                              "subscription confirmed for Topic '" + t + "'");
                else
                    mSession->subscribeResult(t, false, TRXCLIENT_SUBCODE_COMMUNICATION_ERROR,
                                              std::string("no answer from the broker for Topic '") + t +
                                                  "': " + natsStatus_GetText(fst));
            }
        // Unsubscribed while its confirmation was under way: drop it now.
        for (auto& t : batch)
            if (!bad.count(t) && !mSession->hasBrokerTopic(t))
            {
                std::lock_guard<std::mutex> g(mMu);
                removeSub(t);
            }
    }
}

bool NatsSubscriptions::refused(const std::string& text)
{
    bool confirming;
    std::string subj = quoted(text);
    {
        std::lock_guard<std::mutex> g(mErrMu);
        mErrLog.emplace_back(++mErrSeq, text);
        if (mErrLog.size() > 4096)
            mErrLog.pop_front();
        confirming = mConfirming.count(subj) > 0;
        mErrCv.notify_all();
    }
    if (text.rfind(kSubscriptionRefused, 0) != 0)
        return false;
    if (confirming)
        return true; // the confirmation reports it
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> g(mMu);
        if (const auto* refusedSubs = mTrie.values(subj))
            for (auto& p : mSubs)
                if (std::find(refusedSubs->begin(), refusedSubs->end(), p.second) != refusedSubs->end())
                    topics.push_back(p.first);
        for (auto& tp : topics)
            removeSub(tp);
    }
    for (auto& tp : topics)
        mSession->subscriptionLost(tp, TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED,
                                   "subscription refused by the broker for Topic '" + tp + "'");
    return true;
}

void NatsSubscriptions::onMsg(natsConnection*, natsSubscription*, natsMsg* nm, void* closure)
{
    Sub* sub = static_cast<Sub*>(closure);
    NatsSubscriptions* self = sub->owner;
    if (self->mClosing)
    {
        natsMsg_Destroy(nm);
        return;
    }
    if (self->mWildSubs.load(std::memory_order_acquire) == 0)
    {
        // Distinct subjects without wildcards never overlap: the session's
        // own match is the only one this message needs.
        if (!sub->active.load(std::memory_order_acquire))
        {
            natsMsg_Destroy(nm);
            return;
        }
    }
    else
    {
        // Overlapping subscriptions each get a copy from the server: only
        // the oldest matching one passes it on.
        std::lock_guard<std::mutex> g(self->mMu);
        if (!sub->active)
        {
            natsMsg_Destroy(nm);
            return;
        }
        uint64_t min = UINT64_MAX;
        self->mTrie.match(natsMsg_GetSubject(nm), [&](Sub* s) { min = std::min(min, s->order); });
        if (min != sub->order)
        {
            natsMsg_Destroy(nm);
            return;
        }
    }
    if (Msg* m = msgFromNats(nm, false))
        self->mSession->deliver(m, true);
}

void NatsSubscriptions::onDrainMsg(natsConnection*, natsSubscription*, natsMsg* nm, void* closure)
{
    auto* self = static_cast<NatsSubscriptions*>(closure);
    uint64_t n = std::strtoull(natsMsg_GetData(nm), nullptr, 10);
    natsMsg_Destroy(nm);
    std::lock_guard<std::mutex> g(self->mDrainMu);
    self->mDrainSeen = std::max(self->mDrainSeen, n);
    self->mDrainCv.notify_all();
}

void NatsSubscriptions::onSubComplete(void* closure)
{
    Sub* sub = static_cast<Sub*>(closure);
    NatsSubscriptions* self = sub->owner;
    std::lock_guard<std::mutex> g(self->mLiveMu);
    self->mCompleted.push_back(sub);
    self->mLive--;
    self->mLiveCv.notify_all();
}

} // namespace trx
