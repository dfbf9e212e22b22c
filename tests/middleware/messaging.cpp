#include "messaging.h"

#include "tarnixBridge.h"

#include <mama/integration/transport.h>
#include <mama/publisher.h>
#include <mama/subscription.h>

#include <atomic>
#include <cctype>
#include <thread>

namespace
{

constexpr const char* kTextField = "text";
constexpr mama_fid_t kTextFid = 101;

std::atomic<int> gBrokerCount{0};

} // namespace

void setProperty(const std::string& name, const std::string& value)
{
    ASSERT_EQ(mama_setProperty(name.c_str(), value.c_str()), MAMA_STATUS_OK) << name;
}

void MAMACALLTYPE ignoreCreate(mamaSubscription, void*) {}

namespace
{

void MAMACALLTYPE receiveText(mamaSubscription, mamaMsg msg, void* closure, void*)
{
    static_cast<ReceivedTexts*>(closure)->mTexts.push_back(textOf(msg));
}

} // namespace

const mamaMsgCallbacks kReceiveTexts{ignoreCreate, nullptr, receiveText, nullptr, nullptr, nullptr, nullptr};

void MAMACALLTYPE onTransportEvent(mamaTransport, mamaTransportEvent event, short, const void*, void* closure)
{
    auto* seen = static_cast<TransportEvents*>(closure);
    seen->mEvents.push_back(event);
    seen->mThreads.push_back(std::this_thread::get_id());
}

std::string textOf(mamaMsg msg)
{
    const char* text = nullptr;
    if (mamaMsg_getString(msg, kTextField, kTextFid, &text) != MAMA_STATUS_OK || text == nullptr)
        return "";
    return text;
}

void Messaging::SetUp()
{
    OpenBridge::SetUp();
    if (HasFatalFailure())
        return;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    mBroker = std::string(info->test_suite_name()) + "-" + info->name() + "-" + std::to_string(++gBrokerCount);
    for (char& c : mBroker)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
            c = '-';
    /* Properties outlive a test: every test states the bridge-wide ones. */
    setProperty("mama.tarnix.transport.queue_max_size", "50000");
    setProperty("mama.tarnix.transport.subscribe_async", "true");
    setProperty("mama.tarnix.transport.send_publisher_info", "true");
    configure("t");
}

void Messaging::TearDown()
{
    for (mamaPublisher publisher : mPublishers)
        mamaPublisher_destroy(publisher);
    for (mamaQueue queue : mQueues)
    {
        mama_status status = MAMA_STATUS_QUEUE_OPEN_OBJECTS;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (status == MAMA_STATUS_QUEUE_OPEN_OBJECTS && std::chrono::steady_clock::now() < deadline)
        {
            settle(queue);
            status = mamaQueue_destroy(queue);
        }
        EXPECT_EQ(status, MAMA_STATUS_OK) << "a queue still holds objects";
    }
    for (mamaTransport transport : mTransports)
        EXPECT_EQ(mamaTransport_destroy(transport), MAMA_STATUS_OK);
    if (mOpen)
        settle(defaultQueue());
    OpenBridge::TearDown();
}

void OneTransport::SetUp()
{
    Messaging::SetUp();
    if (HasFatalFailure())
        return;
    mTransport = createTransport();
    mQueue = createQueue();
    mSession = bridgeOf(mTransport)->mSession.load();
}

void Messaging::configure(const std::string& name)
{
    const std::string prefix = "mama.tarnix.transport." + name + ".";
    setProperty(prefix + "SESSION_HOST", host());
    setProperty(prefix + "allow_recover_gaps", "true");
}

mamaTransport Messaging::createTransport(const std::string& name)
{
    mamaTransport transport = nullptr;
    EXPECT_EQ(mamaTransport_allocate(&transport), MAMA_STATUS_OK);
    EXPECT_EQ(mamaTransport_create(transport, name.c_str(), mBridge), MAMA_STATUS_OK) << name;
    mTransports.push_back(transport);
    return transport;
}

void Messaging::destroyTransport(mamaTransport transport)
{
    for (auto it = mTransports.begin(); it != mTransports.end(); ++it)
    {
        if (*it == transport)
        {
            mTransports.erase(it);
            break;
        }
    }
    EXPECT_EQ(mamaTransport_destroy(transport), MAMA_STATUS_OK);
}

TarnixTransportBridge* Messaging::bridgeOf(mamaTransport transport)
{
    transportBridge handle = nullptr;
    EXPECT_EQ(mamaTransport_getBridgeTransport(transport, &handle), MAMA_STATUS_OK);
    return reinterpret_cast<TarnixTransportBridge*>(handle);
}

mamaQueue Messaging::createQueue()
{
    mamaQueue queue = nullptr;
    EXPECT_EQ(mamaQueue_create(&queue, mBridge), MAMA_STATUS_OK);
    mQueues.push_back(queue);
    return queue;
}

mamaQueue Messaging::defaultQueue()
{
    mamaQueue queue = nullptr;
    EXPECT_EQ(mama_getDefaultEventQueue(mBridge, &queue), MAMA_STATUS_OK);
    return queue;
}

void Messaging::drainClient()
{
    if (mClosure != nullptr && mClosure->mContext != nullptr)
    {
        ASSERT_EQ(trxClientTest_context_drain(mClosure->mContext, kWaitMs), TRXCLIENT_OK);
    }
}

bool Messaging::dispatchUntil(mamaQueue queue, const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    mamaQueue throttles = defaultQueue();
    while (!done())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        mamaQueue_timedDispatch(queue, 10);
        /* OpenMAMA activates market-data subscriptions from a throttle that
         * runs on the default queue. */
        if (queue != throttles)
            mamaQueue_timedDispatch(throttles, 0);
    }
    return true;
}

void Messaging::settle(mamaQueue queue)
{
    for (int round = 0; round < 3; ++round)
    {
        drainClient();
        while (mamaQueue_timedDispatch(queue, 0) == MAMA_STATUS_OK)
        {
        }
    }
}

mamaSubscription Messaging::subscribeBasic(mamaTransport transport, mamaQueue queue, const char* topic,
                                           const mamaMsgCallbacks& callbacks, void* closure)
{
    mamaSubscription subscription = nullptr;
    EXPECT_EQ(mamaSubscription_allocate(&subscription), MAMA_STATUS_OK);
    EXPECT_EQ(mamaSubscription_createBasic(subscription, transport, queue, &callbacks, topic, closure), MAMA_STATUS_OK)
        << topic;
    return subscription;
}

void Messaging::destroySubscription(mamaSubscription subscription, mamaQueue queue)
{
    EXPECT_EQ(mamaSubscription_destroy(subscription), MAMA_STATUS_OK);
    EXPECT_TRUE(dispatchUntil(queue,
                              [&]
                              {
                                  mamaSubscriptionState state = MAMA_SUBSCRIPTION_UNKNOWN;
                                  mamaSubscription_getState(subscription, &state);
                                  return state == MAMA_SUBSCRIPTION_DESTROYED;
                              }))
        << "the destroy callback never came";
    EXPECT_EQ(mamaSubscription_deallocate(subscription), MAMA_STATUS_OK);
}

mamaPublisher Messaging::createPublisher(mamaTransport transport, const char* topic, const char* source,
                                         const char* root)
{
    mamaPublisher publisher = nullptr;
    EXPECT_EQ(mamaPublisher_create(&publisher, transport, topic, source, root), MAMA_STATUS_OK);
    mPublishers.push_back(publisher);
    return publisher;
}

void Messaging::publish(mamaPublisher publisher, const char* text)
{
    mamaMsg msg = nullptr;
    ASSERT_EQ(mamaMsg_create(&msg), MAMA_STATUS_OK);
    ASSERT_EQ(mamaMsg_addString(msg, kTextField, kTextFid, text), MAMA_STATUS_OK);
    EXPECT_EQ(mamaPublisher_send(publisher, msg), MAMA_STATUS_OK);
    mamaMsg_destroy(msg);
}
