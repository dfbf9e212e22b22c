#include "logCapture.h"
#include "tarnixBridge.h"

#include <bridge.h>
#include <gtest/gtest.h>

#include <string>

namespace
{

constexpr const char* kQueueMaxSize = "mama.tarnix.transport.queue_max_size";
constexpr const char* kTimeout = "mama.tarnix.transport.defaultqueue.timeout";

TEST(Settings, QueueMaxSizeCases)
{
    struct Case
    {
        const char* text; /* null: property absent */
        mama_status status;
        uint64_t maxQueueSize; /* checked when status is OK */
        const char* line;      /* expected log text, or null */
        MamaLogLevel level;
    };
    /* The absent case must run first: properties cannot be unset. */
    const Case cases[] = {
        {nullptr, MAMA_STATUS_OK, 50000, nullptr, MAMA_LOG_LEVEL_OFF},
        {"100", MAMA_STATUS_OK, 100, "Maximum queue size set to 100.", MAMA_LOG_LEVEL_FINER},
        {"2147483647", MAMA_STATUS_OK, 2147483647, "Maximum queue size set to 2147483647.", MAMA_LOG_LEVEL_FINER},
        {"3000000000", MAMA_STATUS_OK, 2147483647,
         "mama.tarnix.transport.queue_max_size too large or negative, truncating to 2147483647.", MAMA_LOG_LEVEL_WARN},
        {"-1", MAMA_STATUS_OK, 2147483647,
         "mama.tarnix.transport.queue_max_size too large or negative, truncating to 2147483647.", MAMA_LOG_LEVEL_WARN},
        {"99999999999999999999999", MAMA_STATUS_OK, 2147483647, "truncating to 2147483647.", MAMA_LOG_LEVEL_WARN},
        {"0", MAMA_STATUS_PLATFORM, 0, "Value (0) for mama.tarnix.transport.queue_max_size too small",
         MAMA_LOG_LEVEL_ERROR},
        {"lots", MAMA_STATUS_PLATFORM, 0, "for mama.tarnix.transport.queue_max_size too small", MAMA_LOG_LEVEL_ERROR},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(absent)");
        if (c.text != nullptr)
        {
            ASSERT_EQ(mama_setProperty(kQueueMaxSize, c.text), MAMA_STATUS_OK);
        }
        TarnixBridge bridge;
        LogCapture log;
        EXPECT_EQ(tarnixBridgeImpl_readSettings(&bridge), c.status);
        if (c.status == MAMA_STATUS_OK)
        {
            EXPECT_EQ(bridge.mMaxQueueSize.load(), c.maxQueueSize);
        }
        if (c.line != nullptr)
        {
            auto found = log.matching(c.line);
            ASSERT_EQ(found.size(), 1u);
            EXPECT_EQ(found[0].level, c.level);
        }
    }
}

TEST(Settings, SubscribeAsyncDefaultsOnAndReadsOpenMamaBooleans)
{
    ASSERT_EQ(mama_setProperty(kQueueMaxSize, "100"), MAMA_STATUS_OK);
    {
        TarnixBridge bridge;
        LogCapture log;
        ASSERT_EQ(tarnixBridgeImpl_readSettings(&bridge), MAMA_STATUS_OK);
        EXPECT_TRUE(bridge.mSubscribeAsync.load());
        EXPECT_EQ(log.matching("Asynchronous subscriptions are enabled").size(), 1u);
    }
    for (const char* text : {"false", "0", "FALSE", "no"})
    {
        SCOPED_TRACE(text);
        ASSERT_EQ(mama_setProperty("mama.tarnix.transport.subscribe_async", text), MAMA_STATUS_OK);
        TarnixBridge bridge;
        LogCapture log;
        ASSERT_EQ(tarnixBridgeImpl_readSettings(&bridge), MAMA_STATUS_OK);
        EXPECT_FALSE(bridge.mSubscribeAsync.load());
        EXPECT_EQ(log.matching("Asynchronous subscriptions are disabled").size(), 1u);
    }
}

TEST(Settings, DefaultQueueTimeoutCases)
{
    const int openMamaDefault = mamaBridgeImpl_getDefaultQueueTimeout();
    ASSERT_GT(openMamaDefault, 0);
    struct Case
    {
        const char* text;
        int expected;
        bool warns;
    };
    const Case cases[] = {
        {nullptr, openMamaDefault, false},
        {"", openMamaDefault, false},
        {"750", 750, false},
        {"0", 2000, true},
        {"-5", 2000, true},
        {"abc", 2000, true},
        {"99999999999999", 2147483647, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(absent)");
        if (c.text != nullptr)
        {
            ASSERT_EQ(mama_setProperty(kTimeout, c.text), MAMA_STATUS_OK);
        }
        LogCapture log;
        EXPECT_EQ(tarnixBridgeImpl_getDefaultQueueTimeout(), c.expected);
        auto warnings = log.matching("Tarnix bridge default event queue timeout");
        ASSERT_EQ(warnings.size(), c.warns ? 1u : 0u);
        if (c.warns)
        {
            EXPECT_NE(warnings[0].text.find("is invalid. Using default 2000 ms."), std::string::npos);
            EXPECT_EQ(warnings[0].level, MAMA_LOG_LEVEL_WARN);
        }
    }
}

} // namespace
