/* Fixture: the "tarnix" bridge loaded and OpenMAMA opened for one test. */
#ifndef TARNIX_TEST_OPENBRIDGE_H
#define TARNIX_TEST_OPENBRIDGE_H

#include "tarnixBridge.h"

#include <bridge.h>
#include <gtest/gtest.h>

class OpenBridge : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(mama_loadBridge(&mBridge, "tarnix"), MAMA_STATUS_OK);
        ASSERT_EQ(mama_open(), MAMA_STATUS_OK);
        mOpen = true;
        mClosure = tarnixBridgeImpl_getClosure(mBridge);
        ASSERT_NE(mClosure, nullptr);
    }
    void TearDown() override
    {
        if (mOpen)
        {
            EXPECT_EQ(mama_close(), MAMA_STATUS_OK);
        }
    }

    mamaBridge mBridge = nullptr;
    TarnixBridge* mClosure = nullptr;
    bool mOpen = false;
};

#endif
