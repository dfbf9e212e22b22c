/* Fixture for the messaging tests: OpenMAMA opened over "tarnix" with a
 * private in-process broker per test, transports, queues and the waiting
 * helpers the asynchronous paths need. */
#ifndef TARNIX_TEST_MESSAGING_H
#define TARNIX_TEST_MESSAGING_H

#include "openBridge.h"
#include "subscription.h"
#include "transport.h"

#include <mama/mama.h>
#include <trxClient.h>
#include <trxClientTest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

/* Generous: the machine running the tests may be busy. */
constexpr int kWaitMs = 20000;

void setProperty(const std::string& name, const std::string& value);

class Messaging : public OpenBridge
{
protected:
    void SetUp() override;
    void TearDown() override;

    /* The broker name of this test and its SESSION_HOST. */
    const std::string& broker() const { return mBroker; }
    std::string host() const { return "inproc://" + mBroker; }

    /* Gives transport name the test's broker and allow_recover_gaps. */
    void configure(const std::string& name);
    mamaTransport createTransport(const std::string& name = "t");
    void destroyTransport(mamaTransport transport);
    static TarnixTransportBridge* bridgeOf(mamaTransport transport);

    mamaQueue createQueue();
    mamaQueue defaultQueue();

    /* Runs everything the client library has queued so far. */
    void drainClient();
    /* Dispatches queue (and what is ready on the default queue) until done()
     * holds; false on time-out. */
    bool dispatchUntil(mamaQueue queue, const std::function<bool()>& done, int timeoutMs = kWaitMs);
    /* Dispatches queue until it has been empty after a drain of the client. */
    void settle(mamaQueue queue);

    /* A basic subscription on queue with the given callbacks; mamaSubscription
     * is kept for the tear-down. */
    mamaSubscription subscribeBasic(mamaTransport transport, mamaQueue queue, const char* topic,
                                    const mamaMsgCallbacks& callbacks, void* closure);
    void destroySubscription(mamaSubscription subscription, mamaQueue queue);

    mamaPublisher createPublisher(mamaTransport transport, const char* topic, const char* source = nullptr,
                                  const char* root = nullptr);
    /* Sends a message with one string field. */
    void publish(mamaPublisher publisher, const char* text);

    std::vector<mamaQueue> mQueues;
    std::vector<mamaTransport> mTransports;
    std::vector<mamaPublisher> mPublishers;
    std::string mBroker;
};

/* Messaging with one transport "t" and one queue of its own, made before
 * each test. */
class OneTransport : public Messaging
{
protected:
    void SetUp() override;

    mamaTransport mTransport = nullptr;
    mamaQueue mQueue = nullptr;
    trxClient_opaqueSession_pt mSession = nullptr;
};

/* OpenMAMA calls a basic subscription's create callback unconditionally. */
void MAMACALLTYPE ignoreCreate(mamaSubscription subscription, void* closure);

/* The texts a basic subscription with kReceiveTexts was given, in order. */
struct ReceivedTexts
{
    std::vector<std::string> mTexts;
};
extern const mamaMsgCallbacks kReceiveTexts;

/* The events a transport callback (onTransportEvent) was given, in order,
 * and the thread of each. */
struct TransportEvents
{
    std::vector<mamaTransportEvent> mEvents;
    std::vector<std::thread::id> mThreads;
};
void MAMACALLTYPE onTransportEvent(mamaTransport transport, mamaTransportEvent event, short cause,
                                   const void* platformInfo, void* closure);

/* The value of the string field a test message carries. */
std::string textOf(mamaMsg msg);

#endif
