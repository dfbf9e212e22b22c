#include "logCapture.h"
#include "tarnixBridge.h"
#include "transport.h"

#include <gtest/gtest.h>

namespace {

/* Stands for a connected session: the list only tests it for null. */
trxClient_opaqueSession_pt const kSession = reinterpret_cast<trxClient_opaqueSession_pt>(0x1);

class TransportList : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mList = tarnixTransportList_create();
        ASSERT_NE(mList, nullptr);
    }
    void TearDown() override { tarnixTransportList_destroy(mList); }

    TarnixTransportBridge* add(const char* name, bool connected)
    {
        TarnixTransportBridge* transport = tarnixTransportList_allocateAtFront(mList);
        EXPECT_NE(transport, nullptr);
        transport->mName = const_cast<char*>(name);
        transport->mSession = connected ? kSession : nullptr;
        return transport;
    }

    TarnixTransportList* mList = nullptr;
};

TEST_F(TransportList, FindsConnectedTransportsByExactName)
{
    TarnixTransportBridge* pub = add("pub", true);
    TarnixTransportBridge* sub = add("sub", true);
    EXPECT_EQ(mList->mCount, 2u);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "pub"), pub);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "sub"), sub);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "PUB"), nullptr);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "pu"), nullptr);
}

TEST_F(TransportList, ATransportWithoutSessionNeverBlocksItsName)
{
    add("tport", false);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "tport"), nullptr);
    TarnixTransportBridge* connected = add("tport", true);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "tport"), connected);
}

TEST_F(TransportList, AnEntryWithoutNameIsSkippedWithAnError)
{
    TarnixTransportBridge* named = add("named", true);
    add(nullptr, true);
    LogCapture log;
    EXPECT_EQ(tarnixTransportList_findByName(mList, "named"), named);
    EXPECT_EQ(log.matching("exists with null name").size(), 1u);
}

TEST_F(TransportList, RemovedNodesAreReusedCleared)
{
    TarnixTransportBridge* first = add("first", true);
    TarnixTransportBridge* middle = add("middle", true);
    TarnixTransportBridge* head = add("head", true);
    middle->mSuspendedQueueCount = 3;

    tarnixTransportList_remove(mList, middle);
    EXPECT_EQ(mList->mCount, 2u);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "middle"), nullptr);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "first"), first);
    EXPECT_EQ(tarnixTransportList_findByName(mList, "head"), head);

    TarnixTransportBridge* reused = tarnixTransportList_allocateAtFront(mList);
    EXPECT_EQ(reused, middle);
    EXPECT_EQ(reused->mName, nullptr);
    EXPECT_EQ(reused->mSession, nullptr);
    EXPECT_EQ(reused->mSuspendedQueueCount, 0u);

    tarnixTransportList_remove(mList, head);
    tarnixTransportList_remove(mList, first);
    EXPECT_EQ(mList->mCount, 1u);
}

TEST_F(TransportList, ManyNodesGrowThePoolAndDestroyFreesThemAll)
{
    TarnixTransportBridge* nodes[40];
    for (auto& node : nodes)
        node = add("n", true);
    for (int i = 0; i < 35; ++i)
        tarnixTransportList_remove(mList, nodes[i]);
    EXPECT_EQ(mList->mCount, 5u);
    EXPECT_EQ(mList->mPool.size(), 35u);
    /* The rest is freed by destroy, listed or pooled (ASan checks). */
}

}  // namespace
