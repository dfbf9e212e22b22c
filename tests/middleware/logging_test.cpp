#include "clientLibrary.h"
#include "logCapture.h"
#include "logging.h"
#include "properties.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

/* By meaning: OpenMAMA's WARN lets the library's warnings through and no
 * notices, NORMAL its notices too. */
TEST(LogLevels, OpenMamaToClientLibrary)
{
    const int expected[] = {0, 2, 3, 4, 5, 6, 6, 7, 7, 7};
    for (int level = 0; level < 10; ++level)
        EXPECT_EQ(tarnixLog_mamaToClientLevel(level), expected[level]) << "OpenMAMA level " << level;
}

/* EMERGENCY, ALERT and CRITICAL are SEVERE, ERROR is ERROR, WARNING is WARN,
 * NOTICE is NORMAL, INFO is FINE and DEBUG is FINEST. */
TEST(LogLevels, ClientLibraryToOpenMama)
{
    const int expected[] = {1, 1, 1, 2, 3, 4, 5, 7, 7, 7};
    for (int level = 0; level < 10; ++level)
        EXPECT_EQ(tarnixLog_clientToMamaLevel(level), expected[level]) << "client level " << level;
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
    const Case cases[] = {
        {TRXCLIENT_LOG_CATEGORY_APP, TRXCLIENT_LOG_ERROR, MAMA_LOG_LEVEL_ERROR, "[APP] disk full"},
        {TRXCLIENT_LOG_CATEGORY_API, TRXCLIENT_LOG_ALERT, MAMA_LOG_LEVEL_SEVERE, "[API] disk full"},
        {TRXCLIENT_LOG_CATEGORY_API, TRXCLIENT_LOG_NOTICE, MAMA_LOG_LEVEL_NORMAL, "[API] disk full"},
        {TRXCLIENT_LOG_CATEGORY_ALL, TRXCLIENT_LOG_WARNING, MAMA_LOG_LEVEL_WARN, "disk full"},
        {9, TRXCLIENT_LOG_INFO, MAMA_LOG_LEVEL_FINE, "disk full"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.message);
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
    tarnixThrottledLog_destroy(throttled);   /* no flush pending: freed here */
}

}  // namespace
