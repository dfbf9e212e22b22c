#include "logCapture.h"
#include "logging.h"

#include <gtest/gtest.h>
#include <trxClient.h>
#include <trxClientTest.h>

#include <chrono>
#include <thread>

namespace
{

using namespace std::chrono_literals;

/* A client-library context with its own thread, for the flush timer. */
class ThrottledLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* props[] = {"CONTEXT_CREATE_THREAD", "1", nullptr};
        ASSERT_EQ(trxClient_initialize(TRXCLIENT_LOG_ERROR, props), TRXCLIENT_OK);
        ASSERT_EQ(trxClient_context_create(props, &mContext, &mFuncInfo, sizeof(mFuncInfo)), TRXCLIENT_OK);
    }
    void TearDown() override
    {
        if (mContext != nullptr)
            trxClient_context_destroy(&mContext);
        trxClient_cleanup();
    }

    /* Waits up to a deadline for the number of captured lines to reach n. */
    static bool waitForLines(const LogCapture& log, size_t n, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (log.lines().size() < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return log.lines().size() >= n;
    }

    trxClient_opaqueContext_pt mContext = nullptr;
    trxClient_context_createFuncInfo_t mFuncInfo{nullptr, nullptr, nullptr};
};

TEST_F(ThrottledLog, BurstGivesFirstLineAtOnceAndOneRepeatLineLater)
{
    LogCapture log;
    TarnixThrottledLog* throttled = tarnixThrottledLog_create(MAMA_LOG_LEVEL_ERROR, mContext);
    ASSERT_NE(throttled, nullptr);

    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 3; ++i)
        tarnixThrottledLog_log(throttled, "Discarding message with topic '%s' #%d", "a/b", i);

    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Discarding message with topic 'a/b' #1"); /* no bridge prefix */
    EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_ERROR);

    ASSERT_TRUE(waitForLines(log, 2, 5000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    lines = log.lines();
    EXPECT_EQ(lines[1].text, "Discarding message with topic 'a/b' #3 (similar message repeated 2 times)");
    EXPECT_EQ(lines[1].level, MAMA_LOG_LEVEL_ERROR);

    /* The period is over: the next message is written at once again. */
    tarnixThrottledLog_log(throttled, "again");
    EXPECT_EQ(log.lines().size(), 3u);
    tarnixThrottledLog_log(throttled, "again");
    EXPECT_EQ(log.lines().size(), 3u);

    /* Let that period end before the context goes with its timer. */
    ASSERT_TRUE(waitForLines(log, 4, 5000ms));
    EXPECT_EQ(log.lines()[3].text, "again (similar message repeated 1 times)");
    tarnixThrottledLog_destroy(throttled);
}

TEST_F(ThrottledLog, SingleMessageIsOneLineAndTheFlushWritesNothing)
{
    LogCapture log;
    TarnixThrottledLog* throttled = tarnixThrottledLog_create(MAMA_LOG_LEVEL_WARN, mContext);
    ASSERT_NE(throttled, nullptr);
    tarnixThrottledLog_log(throttled, "only %s", "once");
    EXPECT_FALSE(waitForLines(log, 2, 1600ms));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "only once");
    EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_WARN);
    tarnixThrottledLog_destroy(throttled);
}

TEST_F(ThrottledLog, DestroyDuringAPendingFlushLeavesTheFreeToTheFlush)
{
    LogCapture log;
    TarnixThrottledLog* throttled = tarnixThrottledLog_create(MAMA_LOG_LEVEL_ERROR, mContext);
    ASSERT_NE(throttled, nullptr);
    tarnixThrottledLog_log(throttled, "first");
    tarnixThrottledLog_log(throttled, "second");
    tarnixThrottledLog_destroy(throttled);
    tarnixThrottledLog_destroy(throttled); /* a second destroy does nothing */

    /* The pending flush still reports, then frees the record (ASan checks
     * that it is freed exactly once). */
    ASSERT_TRUE(waitForLines(log, 2, 5000ms));
    EXPECT_EQ(log.lines()[1].text, "second (similar message repeated 1 times)");
    ASSERT_EQ(trxClientTest_context_drain(mContext, 2000), TRXCLIENT_OK);
}

} // namespace
