#include "clientLibrary.h"
#include "logCapture.h"
#include "logging.h"
#include "properties.h"

#include <gtest/gtest.h>

#include <mama/mama.h>

#include <regex>
#include <string>

namespace
{

/* The client library logs by the OpenMAMA level in force when the bridge
 * starts it: by meaning, WARN lets its warnings through and no notices,
 * NORMAL its notices too, FINE its informational records. A transport's
 * session writes one of each: "created" (info) and "up on" (notice). */
TEST(ClientLogLevel, FollowsOpenMamasLevelWhenTheBridgeStartsIt)
{
    struct Case
    {
        MamaLogLevel level;
        bool notices;
        bool info;
    };
    const Case cases[] = {
        {MAMA_LOG_LEVEL_WARN, false, false},
        {MAMA_LOG_LEVEL_NORMAL, true, false},
        {MAMA_LOG_LEVEL_FINE, true, true},
        {MAMA_LOG_LEVEL_FINEST, true, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(mama_logLevelToString(c.level));
        LogCapture log(c.level);
        mamaBridge bridge = nullptr;
        ASSERT_EQ(mama_loadBridge(&bridge, "tarnix"), MAMA_STATUS_OK);
        ASSERT_EQ(mama_open(), MAMA_STATUS_OK);
        const std::string host = std::string("inproc://log-level-") + mama_logLevelToString(c.level);
        ASSERT_EQ(mama_setProperty("mama.tarnix.transport.levels.SESSION_HOST", host.c_str()), MAMA_STATUS_OK);
        ASSERT_EQ(mama_setProperty("mama.tarnix.transport.levels.allow_recover_gaps", "true"), MAMA_STATUS_OK);
        mamaTransport transport = nullptr;
        ASSERT_EQ(mamaTransport_allocate(&transport), MAMA_STATUS_OK);
        EXPECT_EQ(mamaTransport_create(transport, "levels", bridge), MAMA_STATUS_OK) << log.all();
        EXPECT_EQ(mamaTransport_destroy(transport), MAMA_STATUS_OK);
        EXPECT_EQ(mama_close(), MAMA_STATUS_OK);

        EXPECT_EQ(log.contains("TARNIX-MW-Bridge: [API] session ") && log.contains(" up on " + host), c.notices)
            << log.all();
        EXPECT_EQ(log.contains(" created for "), c.info) << log.all();
    }
}

TEST(BridgeLogLine, CarriesLevelTagFileLineAndMessage)
{
    LogCapture log;
    EXPECT_EQ(tarnixProperties_allocate(nullptr), nullptr);
    auto lines = log.matching("NULL prefix");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_ERROR);
    EXPECT_TRUE(std::regex_match(
        lines[0].text,
        std::regex(R"(Error TARNIX-MW-Bridge: \(properties\.cpp:[0-9]+\): tarnixProperties_allocate: NULL prefix)")))
        << lines[0].text;
}

TEST(ClientLogRecords, TranslateLevelAndPrefixCategory)
{
    struct Case
    {
        int category;
        int level;
        MamaLogLevel mamaLevel;
        const char* message;
    };
    /* By meaning: EMERGENCY, ALERT and CRITICAL are SEVERE, ERROR is ERROR,
     * WARNING is WARN, NOTICE is NORMAL, INFO is FINE and DEBUG (or above)
     * is FINEST. */
    const Case cases[] = {
        {TRXCLIENT_LOG_CATEGORY_API, TRXCLIENT_LOG_EMERGENCY, MAMA_LOG_LEVEL_SEVERE, "[API] disk full"},
        {TRXCLIENT_LOG_CATEGORY_API, TRXCLIENT_LOG_ALERT, MAMA_LOG_LEVEL_SEVERE, "[API] disk full"},
        {TRXCLIENT_LOG_CATEGORY_API, TRXCLIENT_LOG_CRITICAL, MAMA_LOG_LEVEL_SEVERE, "[API] disk full"},
        {TRXCLIENT_LOG_CATEGORY_APP, TRXCLIENT_LOG_ERROR, MAMA_LOG_LEVEL_ERROR, "[APP] disk full"},
        {TRXCLIENT_LOG_CATEGORY_ALL, TRXCLIENT_LOG_WARNING, MAMA_LOG_LEVEL_WARN, "disk full"},
        {TRXCLIENT_LOG_CATEGORY_API, TRXCLIENT_LOG_NOTICE, MAMA_LOG_LEVEL_NORMAL, "[API] disk full"},
        {9, TRXCLIENT_LOG_INFO, MAMA_LOG_LEVEL_FINE, "disk full"},
        {TRXCLIENT_LOG_CATEGORY_API, TRXCLIENT_LOG_DEBUG, MAMA_LOG_LEVEL_FINEST, "[API] disk full"},
        {TRXCLIENT_LOG_CATEGORY_API, TRXCLIENT_LOG_DEBUG + 2, MAMA_LOG_LEVEL_FINEST, "[API] disk full"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.message) + " at client level " + std::to_string(c.level));
        LogCapture log;
        trxClient_log_callbackInfo_t record{c.category, c.level, "disk full"};
        tarnixLog_clientCallback(&record, nullptr);
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, c.mamaLevel);
        const std::string text = lines[0].text;
        /* The record comes from the library, not from the line that forwards
         * it: no source location of ours. */
        EXPECT_EQ(text, std::string(mama_logLevelToString(c.mamaLevel)) + " TARNIX-MW-Bridge: " + c.message);
    }
}

TEST(ThrottledLogWithoutTimer, EveryMessageIsWrittenAndDestroyFreesAtOnce)
{
    LogCapture log;
    TarnixThrottledLog* throttled = tarnixThrottledLog_create(MAMA_LOG_LEVEL_ERROR, nullptr);
    ASSERT_NE(throttled, nullptr);
    tarnixThrottledLog_log(throttled, "one");
    tarnixThrottledLog_log(throttled, "two");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "one");
    EXPECT_EQ(lines[1].text, "two");
    tarnixThrottledLog_destroy(throttled); /* no flush pending: freed here */
}

} // namespace
