/* Initial values, snapshots and status messages from the broker's cache, on
 * the in-process broker, through OpenMAMA's own subscription API. */
#include "logCapture.h"
#include "subscription.h"
#include "transport.h"

#include <mama/integration/transport.h>

#include <mama/mama.h>
#include <mama/inbox.h>
#include <mama/source.h>
#include <mama/msgstatus.h>
#include <mama/reservedfields.h>
#include <mama/subscmsgtype.h>
#include <trxClientTest.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <dlfcn.h>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

/* OpenMAMA reads the tests' own mama.properties and loads the plug-ins by
 * library name: load the build tree's first. */
const bool kPluginLoaded = []
{
    setenv("WOMBAT_PATH", TARNIX_TEST_ETC, 1);
    return dlopen(TARNIX_PAYLOAD_LIBRARY, RTLD_NOW | RTLD_GLOBAL) != nullptr &&
           dlopen(TARNIX_MW_LIBRARY, RTLD_NOW | RTLD_GLOBAL) != nullptr;
}();

constexpr mama_fid_t kValueFid = 500;
constexpr auto kWait = std::chrono::seconds(20);

/* What one subscription or inbox saw, in order. */
struct Seen
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> types;      /* MdMsgType of each message */
    std::vector<int32_t> values; /* kValueFid, -1 when absent */
    std::vector<mama_status> errors;
    bool destroyed = false;

    bool waitFor(const std::function<bool()>& condition)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kWait, condition);
    }
    size_t messages()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return values.size();
    }
};

void MAMACALLTYPE onCreate(mamaSubscription, void*) {}
void MAMACALLTYPE onStopped(mama_status) {}

void MAMACALLTYPE onError(mamaSubscription, mama_status status, void*, const char*, void* closure)
{
    Seen* seen = static_cast<Seen*>(closure);
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->errors.push_back(status);
    seen->changed.notify_all();
}

void MAMACALLTYPE onMsg(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    Seen* seen = static_cast<Seen*>(closure);
    int32_t value = -1;
    mamaMsg_getI32(msg, nullptr, kValueFid, &value);
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->types.push_back(mamaMsgType_typeForMsg(msg));
    seen->values.push_back(value);
    seen->changed.notify_all();
}

void MAMACALLTYPE onDestroy(mamaSubscription, void* closure)
{
    Seen* seen = static_cast<Seen*>(closure);
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->destroyed = true;
    seen->changed.notify_all();
}

/* For conditions no callback here signals. */
bool waitUntil(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/* A responder: answers requests on a topic from their inbox, and counts them. */
struct Responder
{
    mamaPublisher publisher = nullptr;
    std::atomic<int> requests{0};
    std::atomic<int> lastMsgType{-1};
    mamaMsg answer = nullptr;
};

void MAMACALLTYPE onRequest(mamaSubscription, mamaMsg request, void* closure, void*)
{
    Responder* responder = static_cast<Responder*>(closure);
    int32_t type = -1;
    mamaMsg_getI32(request, MamaFieldSubscMsgType.mName, MamaFieldSubscMsgType.mFid, &type);
    responder->lastMsgType = type;
    if (mamaMsg_isFromInbox(request))
        mamaPublisher_sendReplyToInbox(responder->publisher, request, responder->answer);
    ++responder->requests;
}

class CacheTest : public ::testing::Test
{
protected:
    /* Every test gets its own broker, so the cache starts empty. */
    void open(bool useCache, bool sendSubReq)
    {
        ASSERT_TRUE(kPluginLoaded) << dlerror();
        static int counter = 0;
        mBroker = "cache" + std::to_string(++counter);
        const std::string host = "inproc://" + mBroker;
        for (const char* name : {"pub", "sub"})
        {
            const std::string prefix = std::string("mama.tarnix.transport.") + name + ".";
            mama_setProperty((prefix + "SESSION_HOST").c_str(), host.c_str());
            mama_setProperty((prefix + "allow_recover_gaps").c_str(), "true");
            mama_setProperty((prefix + "use_trxcache").c_str(), useCache ? "true" : "false");
            mama_setProperty((prefix + "send_subreq").c_str(), sendSubReq ? "true" : "false");
            mama_setProperty((prefix + "CACHESESSION_REQUEST_TIMEOUT_MS").c_str(), "300");
        }
        /* Requests complete within the call that sends them. */
        mama_setProperty("mama.tarnix.transport.subscribe_async", "false");
        ASSERT_EQ(mama_loadBridge(&mBridge, "tarnix"), MAMA_STATUS_OK);
        ASSERT_EQ(mama_loadPayloadBridge(&mPayload, "tarnixmsg"), MAMA_STATUS_OK);
        ASSERT_EQ(mama_open(), MAMA_STATUS_OK);
        mOpen = true;
        ASSERT_EQ(mamaTransport_allocate(&mPubTransport), MAMA_STATUS_OK);
        ASSERT_EQ(mamaTransport_create(mPubTransport, "pub", mBridge), MAMA_STATUS_OK);
        ASSERT_EQ(mamaTransport_allocate(&mSubTransport), MAMA_STATUS_OK);
        ASSERT_EQ(mamaTransport_create(mSubTransport, "sub", mBridge), MAMA_STATUS_OK);
        ASSERT_EQ(mama_getDefaultEventQueue(mBridge, &mQueue), MAMA_STATUS_OK);
        ASSERT_EQ(mama_startBackground(mBridge, onStopped), MAMA_STATUS_OK);
        mStarted = true;
    }

    void TearDown() override
    {
        for (mamaSubscription subscription : mSubscriptions)
            destroySubscription(subscription);
        mSubscriptions.clear();
        /* OpenMAMA destroys a subscription's request inbox after the
         * subscription itself: wait until the bridge has freed every one. */
        if (mSubTransport != nullptr)
        {
            EXPECT_TRUE(waitUntil([&] { return bridgeSubscriptions(mSubTransport) == 0; }));
        }
        for (Responder& each : mResponders)
        {
            if (each.answer != nullptr)
                mamaMsg_destroy(each.answer);
            each.answer = nullptr;
        }
        for (mamaPublisher publisher : mPublishers)
            mamaPublisher_destroy(publisher);
        if (mStarted)
            mama_stop(mBridge);
        if (mSubTransport != nullptr)
            mamaTransport_destroy(mSubTransport);
        if (mPubTransport != nullptr)
            mamaTransport_destroy(mPubTransport);
        if (mSource != nullptr)
            mamaSource_destroy(mSource);
        mSource = nullptr;
        if (mOpen)
        {
            EXPECT_EQ(mama_close(), MAMA_STATUS_OK);
        }
    }

    /* seqNum 0: no sequence number, as the simplest feeds send. */
    mamaMsg message(int type, int32_t value, int64_t seqNum = 0)
    {
        mamaMsg msg = nullptr;
        EXPECT_EQ(mamaMsg_createForPayloadBridge(&msg, mPayload), MAMA_STATUS_OK);
        mamaMsg_addI32(msg, MamaFieldMsgType.mName, MamaFieldMsgType.mFid, type);
        mamaMsg_addI32(msg, MamaFieldMsgStatus.mName, MamaFieldMsgStatus.mFid, MAMA_MSG_STATUS_OK);
        if (seqNum != 0)
        {
            mamaMsg_addI64(msg, MamaFieldSeqNum.mName, MamaFieldSeqNum.mFid, seqNum);
            mamaMsg_addU64(msg, MamaFieldSenderId.mName, MamaFieldSenderId.mFid, 77);
        }
        mamaMsg_addI32(msg, nullptr, kValueFid, value);
        return msg;
    }

    mamaPublisher publisher(const char* symbol, const char* root = nullptr)
    {
        mamaPublisher publisher = nullptr;
        EXPECT_EQ(mamaPublisher_create(&publisher, mPubTransport, symbol, "SRC", root), MAMA_STATUS_OK);
        mPublishers.push_back(publisher);
        return publisher;
    }

    void publish(const char* symbol, int type, int32_t value, int64_t seqNum = 0)
    {
        mamaMsg msg = message(type, value, seqNum);
        ASSERT_EQ(mamaPublisher_send(publisher(symbol), msg), MAMA_STATUS_OK);
        mamaMsg_destroy(msg);
    }

    mamaSubscription subscribe(const char* symbol, Seen* seen, mamaServiceLevel level = MAMA_SERVICE_LEVEL_REAL_TIME)
    {
        mamaMsgCallbacks callbacks{};
        callbacks.onCreate = onCreate;
        callbacks.onError = onError;
        callbacks.onMsg = onMsg;
        callbacks.onDestroy = onDestroy;
        mamaSubscription subscription = nullptr;
        EXPECT_EQ(mamaSubscription_allocate(&subscription), MAMA_STATUS_OK);
        mamaSubscription_setServiceLevel(subscription, level, 0);
        mamaSubscription_setTimeout(subscription, 30.0);
        if (mSource == nullptr)
        {
            EXPECT_EQ(mamaSource_create(&mSource), MAMA_STATUS_OK);
            mamaSource_setId(mSource, "SRC");
            mamaSource_setSymbolNamespace(mSource, "SRC");
            mamaSource_setTransport(mSource, mSubTransport);
        }
        EXPECT_EQ(mamaSubscription_create(subscription, mQueue, &callbacks, mSource, symbol, seen), MAMA_STATUS_OK);
        mSubscriptions.push_back(subscription);
        return subscription;
    }

    /* A basic subscription on a broker topic that answers requests. */
    void respond(const char* topic, Responder* responder, int32_t value)
    {
        responder->answer = message(MAMA_MSG_TYPE_INITIAL, value);
        ASSERT_EQ(mamaPublisher_create(&responder->publisher, mPubTransport, "ANY", "SRC", nullptr), MAMA_STATUS_OK);
        mPublishers.push_back(responder->publisher);
        mamaMsgCallbacks callbacks{};
        callbacks.onCreate = onCreate;
        callbacks.onError = onError;
        callbacks.onMsg = onRequest;
        mamaSubscription subscription = nullptr;
        ASSERT_EQ(mamaSubscription_allocate(&subscription), MAMA_STATUS_OK);
        ASSERT_EQ(mamaSubscription_createBasic(subscription, mPubTransport, mQueue, &callbacks, topic, responder),
                  MAMA_STATUS_OK);
        mSubscriptions.push_back(subscription);
    }

    static size_t bridgeSubscriptions(mamaTransport tport)
    {
        transportBridge handle = nullptr;
        mamaTransport_getBridgeTransport(tport, &handle);
        TarnixTransportBridge* transport = reinterpret_cast<TarnixTransportBridge*>(handle);
        const size_t count = transport->subscriptionCount();
        return count;
    }

    /* Destroys on the dispatching thread; deallocates once that is done. */
    void destroySubscription(mamaSubscription subscription)
    {
        EXPECT_EQ(mamaSubscription_destroy(subscription), MAMA_STATUS_OK);
        EXPECT_TRUE(waitUntil(
            [&]
            {
                mamaSubscriptionState state = MAMA_SUBSCRIPTION_UNKNOWN;
                mamaSubscription_getState(subscription, &state);
                return state == MAMA_SUBSCRIPTION_DESTROYED;
            }));
        EXPECT_EQ(mamaSubscription_deallocate(subscription), MAMA_STATUS_OK);
    }

    /* Callbacks may still come until mama_close: their closures live as long
     * as the fixture. */
    Seen& seen() { return mSeen.emplace_back(); }
    Responder& responder() { return mResponders.emplace_back(); }

    std::list<Seen> mSeen;
    std::list<Responder> mResponders;
    std::string mBroker;
    mamaBridge mBridge = nullptr;
    mamaPayloadBridge mPayload = nullptr;
    mamaTransport mPubTransport = nullptr;
    mamaTransport mSubTransport = nullptr;
    mamaQueue mQueue = nullptr;
    mamaSource mSource = nullptr;
    std::vector<mamaSubscription> mSubscriptions;
    std::vector<mamaPublisher> mPublishers;
    bool mOpen = false;
    bool mStarted = false;
};

TEST_F(CacheTest, InitialValueFromTheCacheReachesOnlyTheSubscriptionThatAsked)
{
    open(true, false);
    publish("SYM", MAMA_MSG_TYPE_INITIAL, 7);

    Seen& first = seen();
    Seen& second = seen();
    subscribe("SYM", &first);
    ASSERT_TRUE(first.waitFor([&] { return first.values.size() == 1; }));
    subscribe("SYM", &second);
    ASSERT_TRUE(second.waitFor([&] { return second.values.size() == 1; }));
    EXPECT_EQ(second.values[0], 7);

    /* The second request's answer travelled on the first one's topic too:
     * a live update queued after it shows whether the first took it. */
    publish("SYM", MAMA_MSG_TYPE_UPDATE, 8);
    ASSERT_TRUE(first.waitFor([&] { return first.values.size() >= 2; }));
    ASSERT_TRUE(second.waitFor([&] { return second.values.size() >= 2; }));
    EXPECT_EQ(first.values, (std::vector<int32_t>{7, 8}));
    EXPECT_EQ(second.values, (std::vector<int32_t>{7, 8}));
    EXPECT_TRUE(first.errors.empty());
    EXPECT_TRUE(second.errors.empty());
}

/* A feed that only ever publishes updates: the cache holds an update, and a
 * subscriber that joins later still gets it as its initial value. */
TEST_F(CacheTest, LateJoinerOnAFeedOfUpdatesGetsTheCachedValueAsItsInitial)
{
    open(true, false);
    publish("LATE", MAMA_MSG_TYPE_UPDATE, 7);
    Seen& got = seen();
    subscribe("LATE", &got);
    ASSERT_TRUE(got.waitFor([&] { return !got.values.empty() || !got.errors.empty(); }));
    publish("LATE", MAMA_MSG_TYPE_UPDATE, 8);
    ASSERT_TRUE(got.waitFor([&] { return got.values.size() >= 2 || !got.errors.empty(); }));
    EXPECT_EQ(got.types, (std::vector<int>{MAMA_MSG_TYPE_INITIAL, MAMA_MSG_TYPE_UPDATE}));
    EXPECT_EQ(got.values, (std::vector<int32_t>{7, 8}));
    EXPECT_TRUE(got.errors.empty());
}

/* A sequence gap makes OpenMAMA ask for a recap; the cache's last value
 * answers it as a recap, and updates go on from there. */
TEST_F(CacheTest, RecapAfterASequenceGapComesFromTheCache)
{
    open(true, false);
    publish("GAP", MAMA_MSG_TYPE_UPDATE, 1, 1);
    Seen& got = seen();
    subscribe("GAP", &got);
    ASSERT_TRUE(got.waitFor([&] { return !got.values.empty() || !got.errors.empty(); }));
    publish("GAP", MAMA_MSG_TYPE_UPDATE, 2, 2);
    publish("GAP", MAMA_MSG_TYPE_UPDATE, 5, 5); /* 3 and 4 never came */
    ASSERT_TRUE(got.waitFor(
        [&]
        {
            for (int type : got.types)
                if (type == MAMA_MSG_TYPE_RECAP)
                    return true;
            return !got.errors.empty();
        }));
    publish("GAP", MAMA_MSG_TYPE_UPDATE, 6, 6);
    ASSERT_TRUE(got.waitFor([&] { return (!got.values.empty() && got.values.back() == 6) || !got.errors.empty(); }));
    EXPECT_TRUE(got.errors.empty());
    ASSERT_GE(got.types.size(), 4u);
    EXPECT_EQ(got.types.front(), MAMA_MSG_TYPE_INITIAL);
    const auto recap = std::find(got.types.begin(), got.types.end(), MAMA_MSG_TYPE_RECAP);
    ASSERT_NE(recap, got.types.end());
    EXPECT_EQ(got.values[recap - got.types.begin()], 5);
    EXPECT_EQ(got.types.back(), MAMA_MSG_TYPE_UPDATE);
}

/* Subscriptions answered from the cache come and go, as mamachurnc makes
 * them: every one is freed, whatever the feed marked its last value. The
 * leak checker of the sanitizer build sees what is not. */
TEST_F(CacheTest, ChurnOfSubscriptionsAnsweredFromTheCacheFreesEverything)
{
    open(true, false);
    publish("CHURN_I", MAMA_MSG_TYPE_INITIAL, 1);
    publish("CHURN_U", MAMA_MSG_TYPE_UPDATE, 2);
    for (int round = 0; round < 20; ++round)
    {
        for (const char* symbol : {"CHURN_I", "CHURN_U"})
        {
            Seen& got = seen();
            mamaSubscription subscription = subscribe(symbol, &got);
            ASSERT_TRUE(got.waitFor([&] { return !got.values.empty() || !got.errors.empty(); }));
            EXPECT_EQ(got.types.front(), MAMA_MSG_TYPE_INITIAL) << symbol;
            mSubscriptions.pop_back();
            destroySubscription(subscription);
        }
    }
    EXPECT_TRUE(waitUntil([&] { return bridgeSubscriptions(mSubTransport) == 0; }));
}

TEST_F(CacheTest, SnapshotIsAnsweredFromTheCache)
{
    open(true, false);
    publish("SNAP", MAMA_MSG_TYPE_INITIAL, 42);
    Seen& snap = seen();
    subscribe("SNAP", &snap, MAMA_SERVICE_LEVEL_SNAPSHOT);
    ASSERT_TRUE(snap.waitFor([&] { return !snap.values.empty() || !snap.errors.empty(); }));
    ASSERT_EQ(snap.values, (std::vector<int32_t>{42}));
    EXPECT_TRUE(snap.errors.empty());
}

/* Statuses the bridge builds itself reach OpenMAMA, which turns them into
 * the subscription's error. */
TEST_F(CacheTest, MissingDataAndRefusedAccessBecomeStatuses)
{
    open(true, false);
    ASSERT_EQ(trxClientTest_inproc_denySubscribe(mBroker.c_str(), "SRC/DENIED"), TRXCLIENT_OK);
    const struct
    {
        const char* symbol;
        mama_status expected;
    } cases[] = {
        {"NEVER", MAMA_STATUS_NOT_FOUND},     /* message status 10 */
        {"DENIED", MAMA_STATUS_NOT_ENTITLED}, /* message status 9 */
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.symbol);
        Seen& got = seen();
        mamaSubscription subscription = subscribe(c.symbol, &got);
        ASSERT_TRUE(got.waitFor(
            [&]
            {
                for (mama_status status : got.errors)
                    if (status == c.expected)
                        return true;
                return false;
            }));
        EXPECT_TRUE(got.values.empty());
        mSubscriptions.pop_back();
        destroySubscription(subscription);
        EXPECT_TRUE(got.destroyed);
    }
}

/* A cache request that ends without an answer reaches the subscription as a
 * status at once, not when OpenMAMA's own wait for the image runs out (30 s
 * here); its cause is logged at warning level once, not for every request. */
TEST_F(CacheTest, CacheRequestsEndingWithoutAnAnswerBecomeStatusesAtOnce)
{
    open(true, false);
    LogCapture log;
    ASSERT_EQ(trxClientTest_inproc_setCacheSilent(mBroker.c_str(), 1), TRXCLIENT_OK);
    Seen& first = seen();
    Seen& second = seen();
    subscribe("SILENT1", &first);
    subscribe("SILENT2", &second);
    for (Seen* got : {&first, &second})
    {
        ASSERT_TRUE(got->waitFor([&] { return !got->errors.empty(); }));
        EXPECT_EQ(got->errors, (std::vector<mama_status>{MAMA_STATUS_TIMEOUT}));
        EXPECT_TRUE(got->values.empty());
    }
    size_t warnings = 0;
    for (const LogLine& line : log.matching("CACHE_REQUEST_TIMEOUT"))
        warnings += line.level <= MAMA_LOG_LEVEL_WARN ? 1 : 0;
    EXPECT_EQ(warnings, 1u);
}

/* An inbox destroyed with a cache request outstanding is done with at once;
 * the request's completion comes later and finds what it needs still there
 * (the sanitizer build checks that), and the inbox hears nothing of it. */
struct InboxState
{
    std::atomic<bool> destroyed{false};
    std::atomic<int> messages{0};
};

void MAMACALLTYPE onInboxMsg(mamaMsg, void* closure)
{
    ++static_cast<InboxState*>(closure)->messages;
}
void MAMACALLTYPE onInboxError(mama_status, void*) {}
void MAMACALLTYPE onInboxDestroyed(mamaInbox, void* closure)
{
    static_cast<InboxState*>(closure)->destroyed = true;
}

TEST_F(CacheTest, InboxDestroyedWithCacheRequestOutstandingOutlivesNothingItNeeds)
{
    open(true, false);
    ASSERT_EQ(trxClientTest_inproc_setCacheSilent(mBroker.c_str(), 1), TRXCLIENT_OK);
    LogCapture log;
    InboxState state;
    mamaInbox inbox = nullptr;
    ASSERT_EQ(mamaInbox_create2(&inbox, mSubTransport, mQueue, onInboxMsg, onInboxError, onInboxDestroyed, &state),
              MAMA_STATUS_OK);
    mamaPublisher requests = nullptr;
    ASSERT_EQ(mamaPublisher_create(&requests, mSubTransport, "SLOW", "SRC", "_MD"), MAMA_STATUS_OK);
    mPublishers.push_back(requests);
    mamaMsg request = message(MAMA_MSG_TYPE_INITIAL, 0);
    mamaMsg_addI32(request, MamaFieldSubscMsgType.mName, MamaFieldSubscMsgType.mFid, MAMA_SUBSC_SNAPSHOT);
    mamaMsg_addI32(request, MamaFieldSubscriptionType.mName, MamaFieldSubscriptionType.mFid, MAMA_SUBSC_TYPE_NORMAL);
    ASSERT_EQ(mamaPublisher_sendFromInbox(requests, inbox, request), MAMA_STATUS_OK);
    mamaMsg_destroy(request);
    ASSERT_TRUE(waitUntil([&] { return !log.matching("Adding topic 'SRC/SLOW' to local dispatch").empty(); }));

    ASSERT_EQ(mamaInbox_destroy(inbox), MAMA_STATUS_OK);
    EXPECT_TRUE(state.destroyed.load());
    EXPECT_TRUE(log.matching("CACHE_REQUEST_TIMEOUT, topic=SRC/SLOW").empty());
    ASSERT_TRUE(waitUntil([&] { return !log.matching("CACHE_REQUEST_TIMEOUT, topic=SRC/SLOW").empty(); }));
    EXPECT_EQ(state.messages.load(), 0);
}

TEST_F(CacheTest, WithoutTheCacheThePublisherAnswersTheInbox)
{
    open(false, false);
    Responder& answerer = responder();
    respond("_MD.SRC", &answerer, 11);
    Seen& got = seen();
    subscribe("SYM", &got);
    ASSERT_TRUE(got.waitFor([&] { return !got.values.empty(); }));
    EXPECT_EQ(got.values[0], 11);
    EXPECT_EQ(answerer.requests.load(), 1);
    EXPECT_EQ(answerer.lastMsgType.load(), MAMA_SUBSC_SUBSCRIBE);
}

/* With send_subreq the request is published as well, but the cache answers:
 * the publisher's reply goes to the discard topic. */
TEST_F(CacheTest, SendSubReqPublishesTheRequestAndDiscardsItsAnswer)
{
    for (bool sendSubReq : {false, true})
    {
        SCOPED_TRACE(sendSubReq ? "send_subreq" : "no send_subreq");
        TearDown();
        mSubscriptions.clear();
        mPublishers.clear();
        mOpen = mStarted = false;
        mPubTransport = mSubTransport = nullptr;
        open(true, sendSubReq);
        publish("SYM", MAMA_MSG_TYPE_INITIAL, 5);
        Responder& answerer = responder();
        respond("_MD.SRC", &answerer, 99);
        Seen& got = seen();
        subscribe("SYM", &got);
        ASSERT_TRUE(got.waitFor([&] { return !got.values.empty(); }));
        if (sendSubReq)
        {
            ASSERT_TRUE(waitUntil([&] { return answerer.requests.load() == 1; }));
        }
        publish("SYM", MAMA_MSG_TYPE_UPDATE, 6);
        ASSERT_TRUE(got.waitFor([&] { return got.values.size() >= 2; }));
        EXPECT_EQ(got.values, (std::vector<int32_t>{5, 6}));
        EXPECT_EQ(answerer.requests.load(), sendSubReq ? 1 : 0);
    }
}

} // namespace

/* OpenMAMA closes the payload bridge before it destroys its queues' reusable
 * messages ("Could not clean up MAMA message as payload bridge has already
 * been closed"): the last payload decoded into each is never freed. */
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:mamaMsgImpl_setMsgBuffer\n";
}
