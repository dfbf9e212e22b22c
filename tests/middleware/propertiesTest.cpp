#include "logCapture.h"
#include "properties.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

/* Pairs of a set as (name, value), read back through the client array. */
std::vector<std::pair<std::string, std::string>> pairsOf(TarnixProperties* props)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    const char** array = tarnixProperties_getTrxClientProps(props);
    for (size_t i = 0; array[i] != nullptr; i += 2)
    {
        EXPECT_NE(array[i + 1], nullptr) << "name without value at " << i;
        pairs.emplace_back(array[i], array[i + 1] != nullptr ? array[i + 1] : "");
    }
    return pairs;
}

TEST(Properties, FreshSetIsOneNullPointer)
{
    TarnixProperties* props = tarnixProperties_allocate("mama.x.");
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(tarnixProperties_getTrxClientProps(props)[0], nullptr);
    EXPECT_EQ(tarnixProperties_get(props, "anything"), nullptr);
    tarnixProperties_destroy(&props);
    EXPECT_EQ(props, nullptr);
}

TEST(Properties, GrowthDoublesCapacityAndKeepsEveryPair)
{
    LogCapture log;
    TarnixProperties* props = tarnixProperties_allocate("p.");
    ASSERT_NE(props, nullptr);
    for (int i = 0; i < 9; ++i)
        ASSERT_TRUE(
            tarnixProperties_append(props, ("n" + std::to_string(i)).c_str(), ("v" + std::to_string(i)).c_str()));

    auto resizes = log.matching("Resizing properties array from");
    ASSERT_EQ(resizes.size(), 2u);
    EXPECT_NE(resizes[0].text.find("from 4 to 8"), std::string::npos);
    EXPECT_NE(resizes[1].text.find("from 8 to 16"), std::string::npos);

    auto pairs = pairsOf(props);
    ASSERT_EQ(pairs.size(), 9u);
    for (int i = 0; i < 9; ++i)
    {
        EXPECT_EQ(pairs[i].first, "n" + std::to_string(i));
        EXPECT_EQ(pairs[i].second, "v" + std::to_string(i));
    }
    tarnixProperties_destroy(&props);
}

TEST(Properties, LookupIgnoresCaseAndTheLastPairWins)
{
    TarnixProperties* props = tarnixProperties_allocate("p.");
    ASSERT_NE(props, nullptr);
    ASSERT_TRUE(tarnixProperties_append(props, "use_trxcache", "1"));
    ASSERT_TRUE(tarnixProperties_append(props, "other", "x"));
    ASSERT_TRUE(tarnixProperties_append(props, "USE_TRXCACHE", "0"));

    EXPECT_STREQ(tarnixProperties_get(props, "use_trxcache"), "0");
    EXPECT_STREQ(tarnixProperties_get(props, "Other"), "x");
    EXPECT_EQ(tarnixProperties_get(props, "missing"), nullptr);
    tarnixProperties_destroy(&props);
}

TEST(Properties, NullArgumentsAreRefusedWithTheirLines)
{
    LogCapture log;
    TarnixProperties* props = tarnixProperties_allocate("p.");
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(tarnixProperties_allocate(nullptr), nullptr);
    EXPECT_FALSE(tarnixProperties_append(nullptr, "n", "v"));
    EXPECT_FALSE(tarnixProperties_append(props, nullptr, "v"));
    EXPECT_FALSE(tarnixProperties_append(props, "n", nullptr));
    EXPECT_EQ(tarnixProperties_getTrxClientProps(nullptr), nullptr);
    EXPECT_EQ(tarnixProperties_get(nullptr, "n"), nullptr);
    EXPECT_EQ(tarnixProperties_get(props, "n"), nullptr);

    for (const char* line :
         {"tarnixProperties_allocate: NULL prefix", "tarnixProperties_append: NULL TarnixProperties",
          "tarnixProperties_append: NULL property name", "tarnixProperties_append: NULL property value",
          "tarnixProperties_getTrxClientProps: NULL TarnixProperties"})
        EXPECT_FALSE(log.matching(line).empty()) << line;

    tarnixProperties_destroy(&props);
    log.clear();
    tarnixProperties_destroy(&props); /* already null */
    EXPECT_EQ(log.matching("NULL pointer (trxProps_p:").size(), 1u);
}

TEST(Properties, CollectTakesPrefixedNamesWithoutFurtherDots)
{
    ASSERT_EQ(mama_setProperty("mama.proptest.transport.alpha", "1"), MAMA_STATUS_OK);
    ASSERT_EQ(mama_setProperty("mama.proptest.transport.beta", ""), MAMA_STATUS_OK);
    ASSERT_EQ(mama_setProperty("mama.proptest.transport.", "bare"), MAMA_STATUS_OK);
    ASSERT_EQ(mama_setProperty("mama.proptest.transport.tport.SESSION_HOST", "inproc://x"), MAMA_STATUS_OK);
    ASSERT_EQ(mama_setProperty("mama.proptest.other.gamma", "no"), MAMA_STATUS_OK);
    ASSERT_EQ(mama_setProperty("Mama.proptest.transport.case", "no"), MAMA_STATUS_OK);

    LogCapture log;
    TarnixProperties* props = nullptr;
    ASSERT_EQ(tarnixProperties_create(&props, "mama.proptest.transport."), MAMA_STATUS_OK);
    ASSERT_NE(props, nullptr);

    EXPECT_STREQ(tarnixProperties_get(props, "alpha"), "1");
    EXPECT_STREQ(tarnixProperties_get(props, "beta"), ""); /* an empty text is a value */
    EXPECT_STREQ(tarnixProperties_get(props, ""), "bare"); /* the prefix alone: empty name */
    EXPECT_EQ(tarnixProperties_get(props, "tport.SESSION_HOST"), nullptr);
    EXPECT_EQ(tarnixProperties_get(props, "gamma"), nullptr);
    EXPECT_EQ(tarnixProperties_get(props, "case"), nullptr);
    EXPECT_EQ(pairsOf(props).size(), 3u);
    EXPECT_EQ(log.matching("propertyStoreCallback: skipping name suffix with '.': "
                           "(mama.proptest.transport.)tport.SESSION_HOST=inproc://x")
                  .size(),
              1u);
    tarnixProperties_destroy(&props);
}

TEST(Properties, DefaultsBeforeAndForcedAfterCollectionOrderTheLookup)
{
    ASSERT_EQ(mama_setProperty("mama.ordertest.SESSION_CONNECT_BLOCKING", "0"), MAMA_STATUS_OK);
    ASSERT_EQ(mama_setProperty("mama.ordertest.use_trxcache", "false"), MAMA_STATUS_OK);

    TarnixProperties* props = tarnixProperties_allocate("mama.ordertest.");
    ASSERT_NE(props, nullptr);
    ASSERT_TRUE(tarnixProperties_append(props, "use_trxcache", "1"));
    ASSERT_EQ(tarnixProperties_collect(props), MAMA_STATUS_OK);
    ASSERT_TRUE(tarnixProperties_append(props, "SESSION_CONNECT_BLOCKING", "1"));

    EXPECT_STREQ(tarnixProperties_get(props, "use_trxcache"), "false");
    EXPECT_STREQ(tarnixProperties_get(props, "SESSION_CONNECT_BLOCKING"), "1");
    tarnixProperties_destroy(&props);
}

TEST(Properties, APropertyWithoutValueFailsTheCollectionButIsNotStored)
{
    LogCapture log;
    TarnixProperties* props = tarnixProperties_allocate("mama.cb.");
    ASSERT_NE(props, nullptr);
    props->mError = false;
    propertyStoreCallback("mama.cb.good", "1", props);
    propertyStoreCallback("mama.cb.bad", nullptr, props);
    propertyStoreCallback("mama.cb.later", "2", props);

    EXPECT_TRUE(props->mError);
    EXPECT_EQ(log.matching("Empty value is not allowed for property mama.cb.bad").size(), 1u);
    /* The iteration goes on after the refused one. */
    EXPECT_STREQ(tarnixProperties_get(props, "later"), "2");
    EXPECT_EQ(tarnixProperties_get(props, "bad"), nullptr);
    EXPECT_EQ(pairsOf(props).size(), 2u);
    tarnixProperties_destroy(&props);
}

TEST(Properties, CreateRejectsNullOut)
{
    EXPECT_EQ(tarnixProperties_create(nullptr, "p."), MAMA_STATUS_NULL_ARG);
    TarnixProperties* props = reinterpret_cast<TarnixProperties*>(0x1);
    EXPECT_EQ(tarnixProperties_create(&props, nullptr), MAMA_STATUS_PLATFORM);
    EXPECT_EQ(props, nullptr);
}

} // namespace
