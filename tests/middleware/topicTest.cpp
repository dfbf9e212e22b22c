#include "topic.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

/* A transport as the topic rules see it: only its inbox prefix counts. */
struct InboxTransport : TarnixTransportBridge
{
    InboxTransport() : TarnixTransportBridge{}
    {
        std::strcpy(mInboxTarnixSubPrefix, "#P2P/*/sid/");
        mInboxTarnixSubPrefixLen = static_cast<uint32_t>(std::strlen(mInboxTarnixSubPrefix));
    }
};

TEST(TopicBuild, JoinsEscapesAndChecksNames)
{
    const std::string longSymbol(300, 'x');
    struct Case
    {
        const char* root;
        const char* source;
        const char* symbol;
        bool wildcard;
        mama_status status;
        std::string topic;
    };
    const Case cases[] = {
        {nullptr, "A.B", "C/D", false, MAMA_STATUS_OK, "A/B/C^D"},
        {nullptr, nullptr, "x^y", false, MAMA_STATUS_OK, "x\\^y"},
        {nullptr, nullptr, "a\\b", false, MAMA_STATUS_OK, "a\\\\b"},
        {nullptr, "", "SYM", false, MAMA_STATUS_OK, "SYM"},
        {"_MD", "SRC", nullptr, false, MAMA_STATUS_OK, "_MD/SRC"},
        {"_MD", "", "", false, MAMA_STATUS_OK, "_MD"},
        {nullptr, "#P2P/*/sid/uuid.x", nullptr, true, MAMA_STATUS_OK, "#P2P/*/sid/uuid.x"},
        {nullptr, "#P2P/*/other/u", nullptr, true, MAMA_STATUS_OK, "#P2P^*^other^u"},
        {nullptr, "#P2P.other", nullptr, true, MAMA_STATUS_OK, "#P2P/other"},
        {nullptr, "SRC", "*", false, MAMA_STATUS_INVALID_ARG, ""},
        {nullptr, "SRC", "A>", false, MAMA_STATUS_INVALID_ARG, ""},
        {nullptr, "SRC", "A>", true, MAMA_STATUS_OK, "SRC/A>"},
        {nullptr, "SRC.*", nullptr, true, MAMA_STATUS_OK, "SRC/*"},
        {nullptr, "A>B", nullptr, false, MAMA_STATUS_OK, "A>B"},
        {"_MDDD", "WOMBAT", "DATA_DICT", false, MAMA_STATUS_OK, "_MDDD/WOMBAT/DATA_DICT"},
        {"_MD", "WOMBAT", "DATA_DICT", false, MAMA_STATUS_OK, "#MDDD/_MD/WOMBAT/DATA_DICT"},
        {nullptr, nullptr, "/DATA_DICT", false, MAMA_STATUS_OK, "^DATA_DICT"},
        {nullptr, nullptr, "WOMBAT.DATA_DICT", false, MAMA_STATUS_OK, "#MDDD/WOMBAT/DATA_DICT"},
        {nullptr, nullptr, longSymbol.c_str(), false, MAMA_STATUS_OK, std::string(259, 'x')},
    };
    InboxTransport transport;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.root ? c.root : "-") + " | " + (c.source ? c.source : "-") + " | " +
                     (c.symbol ? c.symbol : "-"));
        char* topic = nullptr;
        ASSERT_EQ(tarnixTopic_build(c.root, c.source, c.symbol, c.wildcard, &transport, &topic), c.status);
        if (c.status == MAMA_STATUS_OK)
        {
            ASSERT_NE(topic, nullptr);
            EXPECT_EQ(topic, c.topic);
        }
        std::free(topic);
    }
}

TEST(TopicBuild, AnEscapePairIsNeverSplitAtTheEndOfTheRoom)
{
    InboxTransport transport;
    /* 258 characters, then '^' needs two of the one left. */
    const std::string symbol = std::string(258, 'a') + "^b";
    char* topic = nullptr;
    ASSERT_EQ(tarnixTopic_build(nullptr, nullptr, symbol.c_str(), false, &transport, &topic), MAMA_STATUS_OK);
    EXPECT_EQ(std::string(topic), std::string(258, 'a'));
    std::free(topic);
}

TEST(TopicBuild, ASourceNeedsATransport)
{
    char* topic = nullptr;
    EXPECT_EQ(tarnixTopic_build(nullptr, "SRC", "SYM", false, nullptr, &topic), MAMA_STATUS_NULL_ARG);
    ASSERT_EQ(tarnixTopic_build("_MD", nullptr, "SYM", false, nullptr, &topic), MAMA_STATUS_OK);
    EXPECT_STREQ(topic, "_MD/SYM");
    std::free(topic);
}

TEST(TopicToSubject, UnescapesLevelsAndLiterals)
{
    struct Case
    {
        const char* topic;
        size_t room;
        const char* subject;
    };
    const Case cases[] = {
        {"A/B/C^D", 260, "A.B.C/D"}, {"a\\/b", 260, "a/b"}, {"x\\^y", 260, "x^y"}, {"a\\\\b", 260, "a\\b"},
        {"ends\\", 260, "ends"},     {"A/B/C", 4, "A.B"},   {"", 260, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.topic);
        char out[260];
        const size_t written = tarnixTopic_toSubject(c.topic, out, c.room);
        EXPECT_STREQ(out, c.subject);
        EXPECT_EQ(written, std::strlen(c.subject) + 1);
    }
}

TEST(TopicWildcards, StarAnywhereOrTrailingGreaterThan)
{
    const std::pair<const char*, bool> cases[] = {
        {nullptr, false}, {"", false},  {"A/B", false}, {"A/*", true},  {"*A", true},
        {"A/>", true},    {"A>", true}, {">A", false},  {"A>B", false},
    };
    for (const auto& [text, wildcard] : cases)
        EXPECT_EQ(tarnixTopic_hasWildcard(text), wildcard) << (text ? text : "(null)");
}

} // namespace
