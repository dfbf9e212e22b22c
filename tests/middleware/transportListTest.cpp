/* The bridge's transports as an application sees them: by name, while they
 * live, and gone without a trace once released. */
#include "bridgeFunctions.h"
#include "logCapture.h"
#include "messaging.h"
#include "tarnixBridge.h"

#include <string>
#include <vector>

namespace
{

class TransportList : public Messaging
{
protected:
    /* A creation through the bridge itself, so that a refusal leaves
     * OpenMAMA nothing to free; the parent is any working transport. */
    mama_status createDirect(const char* name, mamaTransport parent)
    {
        transportBridge result = nullptr;
        const mama_status status = tarnixBridgeMamaTransport_create(&result, name, parent);
        if (status == MAMA_STATUS_OK)
            mDirect.push_back(result);
        return status;
    }
    void TearDown() override
    {
        for (transportBridge transport : mDirect)
            EXPECT_EQ(tarnixBridgeMamaTransport_destroy(transport), MAMA_STATUS_OK);
        Messaging::TearDown();
    }

    std::vector<transportBridge> mDirect;
};

TEST_F(TransportList, ANameIsMatchedExactly)
{
    for (const char* name : {"pub", "PUB", "pu", "pubx"})
        configure(name);
    mamaTransport pub = createTransport("pub");
    LogCapture log;
    EXPECT_EQ(createDirect("pub", pub), MAMA_STATUS_PLATFORM);
    EXPECT_EQ(log.matching("Cannot create transport name=pub. Already have a transport with this name").size(), 1u);
    for (const char* other : {"PUB", "pu", "pubx"})
        EXPECT_EQ(createDirect(other, pub), MAMA_STATUS_OK) << other;
    EXPECT_EQ(mClosure->mTransportList->count(), 4u);
}

/* A destroyed transport that its subscriptions still hold is listed until
 * they go, but its name is free at once. */
TEST_F(TransportList, ADestroyedTransportNeverBlocksItsName)
{
    mamaTransport first = createTransport("t");
    mamaQueue queue = createQueue();
    mamaMsgCallbacks callbacks{};
    callbacks.onCreate = ignoreCreate;
    mamaSubscription held = subscribeBasic(first, queue, "A", callbacks, nullptr);
    destroyTransport(first);

    mamaTransport second = createTransport("t");
    EXPECT_EQ(mClosure->mTransportList->count(), 2u);
    EXPECT_NE(bridgeOf(second), nullptr);
    destroySubscription(held, queue);
    EXPECT_EQ(mClosure->mTransportList->count(), 1u);
}

/* Transports come and go in any order; each release takes exactly its own,
 * and close takes the rest (the sanitizer builds check nothing leaks). */
TEST_F(TransportList, ReleasesTakeExactlyTheirOwnTransport)
{
    const int kTransports = 40;
    std::vector<mamaTransport> transports;
    for (int i = 0; i < kTransports; ++i)
    {
        const std::string name = "t" + std::to_string(i);
        configure(name);
        transports.push_back(createTransport(name));
    }
    for (int i = 0; i < kTransports; i += 2)
        destroyTransport(transports[i]);
    EXPECT_EQ(mClosure->mTransportList->count(), static_cast<size_t>(kTransports / 2));
    for (int i = 1; i < kTransports; i += 2)
        EXPECT_EQ(tarnixBridgeMamaTransport_isValid(reinterpret_cast<transportBridge>(bridgeOf(transports[i]))), 1);

    /* A name given back is taken by a new transport that starts afresh. */
    mamaTransport again = createTransport("t0");
    TarnixTransportBridge* renewed = bridgeOf(again);
    EXPECT_EQ(renewed->mSuspendedQueueCount, 0u);
    EXPECT_EQ(renewed->mPendingBytes.load(), 0u);
    EXPECT_EQ(mClosure->mTransportList->count(), static_cast<size_t>(kTransports / 2 + 1));
}

} // namespace
