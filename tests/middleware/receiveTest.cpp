#include "logCapture.h"
#include "messaging.h"
#include "natsServer.h"
#include "tarnixBridge.h"

#include <mama/integration/subscription.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Received = ReceivedTexts;
const mamaMsgCallbacks& kCallbacks = kReceiveTexts;

TarnixBridgeSubscription* subscriptionOf(mamaSubscription subscription)
{
    return reinterpret_cast<TarnixBridgeSubscription*>(mamaSubscription_getSubscriptionBridge(subscription));
}

/* The serialized form of a message with one text field. */
std::vector<unsigned char> encoded(const char* text)
{
    mamaMsg msg = nullptr;
    EXPECT_EQ(mamaMsg_create(&msg), MAMA_STATUS_OK);
    mamaMsg_addString(msg, "text", 101, text);
    const void* buffer = nullptr;
    mama_size_t length = 0;
    EXPECT_EQ(mamaMsg_getByteBuffer(msg, &buffer, &length), MAMA_STATUS_OK);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::vector<unsigned char> copy(bytes, bytes + length);
    mamaMsg_destroy(msg);
    return copy;
}

class Receive : public OneTransport
{
protected:
    /* Sends raw bytes on topic through the transport's own session. */
    void sendRaw(const char* topic, const std::vector<unsigned char>& bytes)
    {
        trxClient_opaqueMsg_pt msg = nullptr;
        ASSERT_EQ(trxClient_msg_alloc(&msg), TRXCLIENT_OK);
        ASSERT_EQ(trxClient_msg_setTopicPtr(msg, topic), TRXCLIENT_OK);
        ASSERT_EQ(trxClient_msg_setBinaryAttachment(msg, bytes.data(), static_cast<uint32_t>(bytes.size())),
                  TRXCLIENT_OK);
        EXPECT_EQ(trxClient_session_sendMsg(mSession, msg), TRXCLIENT_OK);
        trxClient_msg_free(&msg);
    }
};

/* Bytes that cannot be decoded are dropped with a warning; the next good
 * message still arrives. An empty attachment has no payload identifier to
 * decode with. */
TEST_F(Receive, UndecodableMessagesAreDroppedWithAWarning)
{
    Received received;
    mamaSubscription subscription = subscribeBasic(mTransport, mQueue, "RAW", kCallbacks, &received);
    settle(mQueue);
    struct Case
    {
        std::vector<unsigned char> bytes;
        const char* line;
    };
    const Case cases[] = {
        {{}, "Dropped a message with an empty binary attachment for topic RAW"},
        {{'Z', 1, 2, 3},
         "The bridge required to decode received message was not loaded. The message has been "
         "dropped, payload ID is 'Z' [0x5A]"},
        {{'1', 0xff, 0xff, 0xff, 0xff}, "Cannot decode message received: error from calling mamaMsg_setMsgBuffer"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.line);
        LogCapture log;
        sendRaw("RAW", c.bytes);
        sendRaw("RAW", encoded("good"));
        ASSERT_TRUE(dispatchUntil(mQueue, [&] { return received.mTexts.size() == 1; }));
        EXPECT_EQ(received.mTexts[0], "good");
        auto lines = log.matching(c.line);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_WARN);
        received.mTexts.clear();
    }
    destroySubscription(subscription, mQueue);
}

/* Messages reaching the session without a subscription of ours are dropped:
 * point-to-point ones quietly, others with an error line. */
TEST_F(Receive, MessagesNoSubscriptionWantsAreDropped)
{
    ASSERT_EQ(trxClient_session_topicSubscribeExt(mSession, TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM, "PLAIN"),
              TRXCLIENT_OK);
    const std::string p2p = std::string(bridgeOf(mTransport)->mInboxTarnixReplyToPrefix) + "nobody";
    struct Case
    {
        std::string topic;
        MamaLogLevel level;
    };
    const Case cases[] = {{"PLAIN", MAMA_LOG_LEVEL_ERROR}, {p2p, MAMA_LOG_LEVEL_FINEST}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.topic);
        LogCapture log;
        sendRaw(c.topic.c_str(), encoded("stray"));
        drainClient();
        auto lines = log.matching("topic=" + c.topic);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].level, c.level);
    }
    settle(mQueue);
}

/* Answers of the cache service carry the identifier of their request: a
 * subscription takes its own answers and those meant for anyone (0). */
TEST_F(Receive, CacheAnswersGoToTheSubscriptionThatAskedForThem)
{
    Received mine, other;
    mamaSubscription a = subscribeBasic(mTransport, mQueue, "CACHED", kCallbacks, &mine);
    mamaSubscription b = subscribeBasic(mTransport, mQueue, "CACHED", kCallbacks, &other);
    settle(mQueue);
    subscriptionOf(a)->mCacheRequestId = 42;
    subscriptionOf(b)->mCacheRequestId = 7;

    const std::vector<unsigned char> bytes = encoded("cached");
    trxClient_opaqueMsg_pt seed = nullptr;
    ASSERT_EQ(trxClient_msg_alloc(&seed), TRXCLIENT_OK);
    trxClient_msg_setTopicPtr(seed, "CACHED");
    trxClient_msg_setBinaryAttachment(seed, bytes.data(), static_cast<uint32_t>(bytes.size()));
    ASSERT_EQ(trxClientTest_inproc_seedCache(broker().c_str(), seed, 0), TRXCLIENT_OK);
    trxClient_msg_free(&seed);

    TarnixTransportBridge* transport = bridgeOf(mTransport);
    ASSERT_EQ(tarnixBridgeMamaTransportImpl_getCacheSession(transport), MAMA_STATUS_OK);
    LogCapture log;
    for (uint64_t id : {42u, 0u})
    {
        ASSERT_EQ(trxClient_cacheSession_sendCacheRequest(
                      transport->mCacheSession, "CACHED", id,
                      [](trxClient_opaqueCacheSession_pt, trxClient_cacheRequestEventCallbackInfo_pt, void*) {},
                      nullptr,
                      TRXCACHE_REQUEST_FLAGS_NO_SUBSCRIBE | TRXCACHE_REQUEST_FLAGS_TOPIC_DISPATCH |
                          TRXCACHE_REQUEST_FLAGS_NOWAIT_REPLY,
                      0),
                  TRXCLIENT_IN_PROGRESS);
        drainClient();
    }
    settle(mQueue);
    EXPECT_EQ(mine.mTexts, (std::vector<std::string>{"cached", "cached"}));
    EXPECT_EQ(other.mTexts, std::vector<std::string>{"cached"});
    EXPECT_EQ(log.matching("Discarding cache response not requested by this subscription").size(), 1u);
    EXPECT_EQ(log.matching("ReceivedCacheRequestId=42 subscCacheRequestId=7").size(), 1u);
    destroySubscription(a, mQueue);
    destroySubscription(b, mQueue);
}

/* Over NATS, messages go from libnats' delivery thread straight onto the
 * subscription's queue. What the application sees of its queue stays the
 * same: every message counted while nobody dispatches, the watermarks
 * reported at dispatch (high once, low at exactly its mark), and messages
 * to two subscriptions of one queue in the order they were sent. */
using testsupport::NatsServer;

class ReceiveOverNats : public Messaging
{
protected:
    void SetUp() override
    {
        Messaging::SetUp();
        if (HasFatalFailure())
            return;
        mServer = std::make_unique<NatsServer>();
        const std::string prefix = "mama.tarnix.transport.nats.";
        setProperty(prefix + "SESSION_HOST", mServer->url());
        setProperty(prefix + "SESSION_USERNAME", "trx");
        setProperty(prefix + "SESSION_PASSWORD", "secret");
        setProperty(prefix + "allow_recover_gaps", "true");
        mTransport = createTransport("nats");
        mQueue = createQueue();
    }
    void TearDown() override
    {
        Messaging::TearDown();
        mServer.reset();
    }

    std::unique_ptr<NatsServer> mServer;
    mamaTransport mTransport = nullptr;
    mamaQueue mQueue = nullptr;
};

struct Tagged
{
    std::vector<std::string>* seen;
    const char* tag;
};

void MAMACALLTYPE onTaggedMsg(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    auto* t = static_cast<Tagged*>(closure);
    t->seen->push_back(std::string(t->tag) + textOf(msg));
}

struct Watermarks
{
    std::vector<size_t> high, low;
};

void MAMACALLTYPE onHighMark(mamaQueue, size_t size, void* closure)
{
    static_cast<Watermarks*>(closure)->high.push_back(size);
}

void MAMACALLTYPE onLowMark(mamaQueue, size_t size, void* closure)
{
    static_cast<Watermarks*>(closure)->low.push_back(size);
}

TEST_F(ReceiveOverNats, TheQueueCountsOrdersAndReportsWatermarksAsEver)
{
    std::vector<std::string> seen;
    Tagged a{&seen, "A"}, b{&seen, "B"};
    const mamaMsgCallbacks callbacks{ignoreCreate, nullptr, onTaggedMsg, nullptr, nullptr, nullptr, nullptr};
    mamaSubscription subA = subscribeBasic(mTransport, mQueue, "TWO.A", callbacks, &a);
    mamaSubscription subB = subscribeBasic(mTransport, mQueue, "TWO.B", callbacks, &b);
    settle(mQueue);
    Watermarks marks;
    mamaQueueMonitorCallbacks monitor{onHighMark, onLowMark};
    ASSERT_EQ(mamaQueue_setQueueMonitorCallbacks(mQueue, &monitor, &marks), MAMA_STATUS_OK);
    ASSERT_EQ(mamaQueue_setHighWatermark(mQueue, 100), MAMA_STATUS_OK);
    ASSERT_EQ(mamaQueue_setLowWatermark(mQueue, 10), MAMA_STATUS_OK);

    constexpr size_t kCount = 200;
    mamaPublisher toA = createPublisher(mTransport, "TWO.A");
    mamaPublisher toB = createPublisher(mTransport, "TWO.B");
    std::vector<std::string> sent;
    for (size_t i = 0; i < kCount; ++i)
    {
        const std::string text = std::to_string(i);
        publish(i % 3 ? toA : toB, text.c_str());
        sent.push_back((i % 3 ? "A" : "B") + text);
    }
    /* Nobody dispatches: all of them wait on the queue, counted. */
    size_t count = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (count < kCount && std::chrono::steady_clock::now() < until)
    {
        ASSERT_EQ(mamaQueue_getEventCount(mQueue, &count), MAMA_STATUS_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(count, kCount);
    EXPECT_TRUE(seen.empty());

    ASSERT_TRUE(dispatchUntil(mQueue, [&] { return seen.size() == kCount; }));
    EXPECT_EQ(seen, sent);
    EXPECT_EQ(marks.high, std::vector<size_t>{kCount});
    EXPECT_EQ(marks.low, std::vector<size_t>{10});
    destroySubscription(subA, mQueue);
    destroySubscription(subB, mQueue);
}

} // namespace
