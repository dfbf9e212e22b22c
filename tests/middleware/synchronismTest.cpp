#include "logCapture.h"
#include "synchronism.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace
{

struct Completion
{
    bool asynchronous;
    bool cancelled;
    int returnCode;
    int data;
};

std::vector<Completion> gCompletions;

mama_status record(bool asynchronous, TarnixSynchronismContext* context)
{
    gCompletions.push_back({asynchronous, tarnixSynchronismContext_isCancelled(context),
                            tarnixSynchronismContext_getReturnCode(context),
                            *static_cast<int*>(tarnixSynchronismContext_getTagData(context))});
    return tarnixSynchronismContext_getReturnCode(context) == 0 ? MAMA_STATUS_OK : MAMA_STATUS_PLATFORM;
}

class Synchronism : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gCompletions.clear();
        ASSERT_TRUE(tarnixSynchronismManager_init(&mManager));
    }
    void TearDown() override { tarnixSynchronismManager_destroy(&mManager); }

    TarnixCorrelationTag* tag(int data)
    {
        TarnixCorrelationTag* created = tarnixSynchronismManager_createCorrelationTag(&mManager, record);
        EXPECT_NE(created, nullptr);
        if (created != nullptr)
            *static_cast<int*>(tarnixSynchronismManager_getTagData(created)) = data;
        return created;
    }

    TarnixSynchronismManager mManager;
};

TEST_F(Synchronism, ARequestAnsweredAtOnceCompletesOnceAndItsTagIsGone)
{
    for (int code : {0, -1})
    {
        SCOPED_TRACE(code);
        gCompletions.clear();
        TarnixCorrelationTag* t = tag(7);
        void* correlation = tarnixSynchronismManager_getCorrelation(t);
        const mama_status expected = code == 0 ? MAMA_STATUS_OK : MAMA_STATUS_PLATFORM;
        EXPECT_EQ(tarnixSynchronismManager_processSyncResult(&mManager, t, code), expected);
        ASSERT_EQ(gCompletions.size(), 1u);
        EXPECT_FALSE(gCompletions[0].asynchronous);
        EXPECT_EQ(gCompletions[0].returnCode, code);
        EXPECT_EQ(gCompletions[0].data, 7);
        EXPECT_EQ(mManager.mHead, nullptr);
        /* A late session event for it finds nothing. */
        EXPECT_EQ(tarnixSynchronismManager_processAsyncResult(correlation, 0), MAMA_STATUS_NOT_FOUND);
        EXPECT_EQ(gCompletions.size(), 1u);
    }
}

TEST_F(Synchronism, ARequestInProgressIsCompletedByItsSessionEventOnly)
{
    for (int code : {0, -1})
    {
        SCOPED_TRACE(code);
        gCompletions.clear();
        TarnixCorrelationTag* first = tag(1);
        TarnixCorrelationTag* second = tag(2);
        ASSERT_EQ(tarnixSynchronismManager_processSyncResult(&mManager, first, 2), MAMA_STATUS_OK);
        ASSERT_EQ(tarnixSynchronismManager_processSyncResult(&mManager, second, 2), MAMA_STATUS_OK);
        EXPECT_TRUE(gCompletions.empty());

        void* correlation = tarnixSynchronismManager_getCorrelation(second);
        ASSERT_NE(correlation, nullptr);
        tarnixSynchronismManager_processAsyncResult(correlation, code);
        ASSERT_EQ(gCompletions.size(), 1u);
        EXPECT_TRUE(gCompletions[0].asynchronous);
        EXPECT_EQ(gCompletions[0].returnCode, code);
        EXPECT_EQ(gCompletions[0].data, 2);
        EXPECT_EQ(tarnixSynchronismManager_processAsyncResult(correlation, code), MAMA_STATUS_NOT_FOUND);
        EXPECT_EQ(gCompletions.size(), 1u);

        tarnixSynchronismManager_processAsyncResult(tarnixSynchronismManager_getCorrelation(first), 0);
        EXPECT_EQ(mManager.mHead, nullptr);
    }
}

TEST_F(Synchronism, DestroyingATagTwiceLogsTheSecondTime)
{
    TarnixCorrelationTag* t = tag(3);
    LogCapture log;
    tarnixSynchronismManager_destroyCorrelationTag(&mManager, t);
    EXPECT_TRUE(log.matching("Cannot find correlation tag").empty());
    tarnixSynchronismManager_destroyCorrelationTag(&mManager, t);
    auto lines = log.matching("tarnixSynchronismManager_destroyCorrelationTag: Cannot find correlation tag");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_ERROR);
}

TEST_F(Synchronism, DestroyCancelsWhatIsStillWaitingAndRefusesNewTags)
{
    TarnixCorrelationTag* waiting = tag(5);
    ASSERT_EQ(tarnixSynchronismManager_processSyncResult(&mManager, waiting, 2), MAMA_STATUS_OK);
    void* correlation = tarnixSynchronismManager_getCorrelation(waiting);

    tarnixSynchronismManager_destroy(&mManager);
    ASSERT_EQ(gCompletions.size(), 1u);
    EXPECT_TRUE(gCompletions[0].cancelled);
    EXPECT_EQ(gCompletions[0].data, 5);
    /* The answer the client library may still send reaches nothing. */
    EXPECT_EQ(tarnixSynchronismManager_processAsyncResult(correlation, 0), MAMA_STATUS_NOT_FOUND);
    EXPECT_EQ(gCompletions.size(), 1u);

    ASSERT_TRUE(tarnixSynchronismManager_init(&mManager));
    mManager.mDestroying = true;
    EXPECT_EQ(tarnixSynchronismManager_createCorrelationTag(&mManager, record), nullptr);
    mManager.mDestroying = false;
}

/* The record lives in the tag's own allocation, with the room its creator
 * asked for (the sanitizer build checks the bounds). */
TEST_F(Synchronism, ATagHoldsARecordOfTheSizeItsCreatorAskedFor)
{
    for (size_t size : {sizeof(int), size_t{24}, TARNIX_TAG_DATA_SIZE, size_t{4096}})
    {
        SCOPED_TRACE(size);
        gCompletions.clear();
        TarnixCorrelationTag* t = tarnixSynchronismManager_createCorrelationTag(&mManager, record, size);
        ASSERT_NE(t, nullptr);
        auto* data = static_cast<unsigned char*>(tarnixSynchronismManager_getTagData(t));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % alignof(std::max_align_t), 0u);
        std::memset(data, 0xA5, size);
        *reinterpret_cast<int*>(data) = static_cast<int>(size);
        ASSERT_EQ(tarnixSynchronismManager_processSyncResult(&mManager, t, 0), MAMA_STATUS_OK);
        ASSERT_EQ(gCompletions.size(), 1u);
        EXPECT_EQ(gCompletions[0].data, static_cast<int>(size));
    }
    EXPECT_EQ(mManager.mHead, nullptr);
}

/* A completion already running when the owner goes is waited for: its
 * callback may still use the owner. */
TEST_F(Synchronism, DestroyWaitsForACompletionInFlight)
{
    static std::promise<void> entered;
    static std::promise<void> release;
    entered = std::promise<void>();
    release = std::promise<void>();
    auto blocking = [](bool, TarnixSynchronismContext*) -> mama_status
    {
        entered.set_value();
        release.get_future().wait();
        return MAMA_STATUS_OK;
    };
    TarnixCorrelationTag* t = tarnixSynchronismManager_createCorrelationTag(&mManager, blocking);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(tarnixSynchronismManager_processSyncResult(&mManager, t, 2), MAMA_STATUS_OK);
    void* correlation = tarnixSynchronismManager_getCorrelation(t);

    std::thread completer([correlation] { tarnixSynchronismManager_processAsyncResult(correlation, 0); });
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    std::atomic<bool> destroyed{false};
    std::thread destroyer(
        [&]
        {
            tarnixSynchronismManager_destroy(&mManager);
            destroyed = true;
        });
    /* However long the callback takes, destroy cannot finish before it. */
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(destroyed.load());
    release.set_value();
    completer.join();
    destroyer.join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(mManager.mHead, nullptr);
}

} // namespace
