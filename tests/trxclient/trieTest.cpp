// The topic trie on its own: what matches, in which order, and what is left
// after values go.
#include "topic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using Trie = trx::TopicTrie<int>;

std::vector<int> matches(const Trie& t, const std::string& topic)
{
    std::vector<int> out;
    t.match(topic, [&](int v) { out.push_back(v); });
    return out;
}

// Per level: '>' patterns, then the exact level, '*', and prefix levels;
// values of one pattern in the order they came.
TEST(TopicTrie, MatchOrderFollowsTheLevelsAndThenInsertion)
{
    Trie t;
    const std::pair<const char*, int> patterns[] = {
        {"a/b/c", 1}, {"a/*/c", 2}, {"a/>", 3}, {"a/b*/c", 4}, {">", 5}, {"a/b/c", 6}, {"a/b/c", 7}, {"x/y", 8},
    };
    for (auto& p : patterns)
        t.insert(p.first, p.second);
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"a/b/c", {5, 3, 1, 6, 7, 2, 4}}, {"a/bee/c", {5, 3, 2, 4}}, {"a/q", {5, 3}}, {"x/y", {5, 8}}, {"a", {5}},
    };
    for (auto& c : cases)
        EXPECT_EQ(c.second, matches(t, c.first)) << c.first;
    EXPECT_EQ(8u, t.size());
}

TEST(TopicTrie, ErasingTakesOneValueAndKeepsTheOthersInOrder)
{
    Trie t;
    for (int v : {1, 2, 3, 4})
        t.insert("p/q", v);
    t.insert("p/*", 9);
    EXPECT_FALSE(t.erase("p/q", 7));
    EXPECT_FALSE(t.erase("p/none", 1));
    ASSERT_TRUE(t.erase("p/q", 2));
    EXPECT_EQ((std::vector<int>{1, 3, 4, 9}), matches(t, "p/q"));
    ASSERT_NE(nullptr, t.values("p/q"));
    EXPECT_EQ((std::vector<int>{1, 3, 4}), std::vector<int>(t.values("p/q")->begin(), t.values("p/q")->end()));
    EXPECT_EQ(nullptr, t.values("p/r"));

    for (int v : {1, 3, 4})
        ASSERT_TRUE(t.erase("p/q", v));
    EXPECT_EQ(nullptr, t.values("p/q"));
    EXPECT_EQ((std::vector<int>{9}), matches(t, "p/q"));
    ASSERT_TRUE(t.erase("p/*", 9));
    EXPECT_EQ(0u, t.size());
    EXPECT_TRUE(matches(t, "p/q").empty());

    // Emptied and cleared tries take values again.
    t.insert("p/>", 5);
    t.insert("p/q", 6);
    std::vector<int> all;
    t.forEach([&](int v) { all.push_back(v); });
    EXPECT_EQ(2u, all.size());
    t.clear();
    EXPECT_EQ(0u, t.size());
    EXPECT_TRUE(matches(t, "p/q").empty());
    t.insert("p/q", 7);
    EXPECT_EQ((std::vector<int>{7}), matches(t, "p/q"));
}

} // namespace
