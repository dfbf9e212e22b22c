/* The field store as its callers see it: ordering, appends, lookups, names,
 * copy, clear and removal. */
#include "payloadTestSupport.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace
{

/* A store inside a payload, read back the way callers read it: through the
 * payload's iterator, find and the field records. */
struct Store
{
    Payload p;
    TarnixMsg* s = p.store();
    std::vector<mama_fid_t> fids() const
    {
        std::vector<mama_fid_t> out;
        msgPayloadIter iter = nullptr;
        EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayloadIter_create(&iter, p.get()));
        while (auto* f = static_cast<TarnixField*>(tarnixmsgPayloadIter_next(iter, nullptr, p.get())))
            out.push_back(f->fid);
        tarnixmsgPayloadIter_destroy(iter);
        return out;
    }
    const char* firstName() const
    {
        msgPayloadIter iter = nullptr;
        EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayloadIter_create(&iter, p.get()));
        auto* f = static_cast<TarnixField*>(tarnixmsgPayloadIter_next(iter, nullptr, p.get()));
        tarnixmsgPayloadIter_destroy(iter);
        return f ? f->name : nullptr;
    }
};

} // namespace

TEST(Store, InsertKeepsFidsSortedAndReturnsExistingField)
{
    Store st;
    bool isNew = false;
    TarnixFieldNode* five = tarnixMsg_insert_sorted(st.s, nullptr, 5, &isNew);
    EXPECT_TRUE(isNew);
    tarnixMsg_insert_sorted(st.s, nullptr, 3, &isNew);
    EXPECT_TRUE(isNew);
    tarnixMsg_insert_sorted(st.s, nullptr, 9, &isNew);
    EXPECT_TRUE(isNew);
    TarnixFieldNode* three = tarnixMsg_insert_sorted(st.s, nullptr, 3, &isNew);
    EXPECT_FALSE(isNew);
    EXPECT_EQ(three, tarnixMsg_find(st.s, nullptr, 3));
    tarnixMsg_insert_sorted(st.s, nullptr, 7, &isNew);
    EXPECT_TRUE(isNew);
    EXPECT_EQ((std::vector<mama_fid_t>{3, 5, 7, 9}), st.fids());
    EXPECT_EQ(4u, st.s->count);
    EXPECT_EQ(nullptr, tarnixMsg_find(st.s, nullptr, 10));
    EXPECT_EQ(five, tarnixMsg_find(st.s, nullptr, 5));
}

TEST(Store, AscendingAppendsAndAClearedStoreStartsOver)
{
    Store st;
    LogCapture log;
    for (mama_fid_t fid = 1; fid <= 3; ++fid)
    {
        bool isNew = false;
        TarnixFieldNode* node = tarnixMsg_insert_sorted(st.s, nullptr, fid, &isNew);
        EXPECT_TRUE(isNew);
        EXPECT_EQ(node, tarnixMsg_find(st.s, nullptr, fid));
    }
    EXPECT_EQ((std::vector<mama_fid_t>{1, 2, 3}), st.fids());

    /* Cleared, nothing is found and a low fid is an ordinary append again. */
    tarnixMsg_clear(st.s);
    EXPECT_EQ(0u, st.s->count);
    EXPECT_TRUE(st.fids().empty());
    EXPECT_EQ(nullptr, tarnixMsg_find(st.s, nullptr, 3));
    bool isNew = false;
    TarnixFieldNode* one = tarnixMsg_insert_sorted(st.s, nullptr, 1, &isNew);
    EXPECT_TRUE(isNew);
    EXPECT_EQ(one, tarnixMsg_find(st.s, nullptr, 1));
    EXPECT_EQ((std::vector<mama_fid_t>{1}), st.fids());
    EXPECT_FALSE(log.contains("last element insert not caught early")) << log.all();
}

TEST(Store, FindAnswersAboveLastFidAndFidZeroByName)
{
    Store st;
    TarnixFieldNode* node = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_set(st.s, "A", 0, 0, TARNIX_TYPE_BOOL, &node));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_set(st.s, "B", 0, 4, TARNIX_TYPE_BOOL, &node));
    EXPECT_EQ(nullptr, tarnixMsg_find(st.s, "B", 5));
    EXPECT_EQ(node, tarnixMsg_find(st.s, "ignored", 4));
    EXPECT_EQ(nullptr, tarnixMsg_find(st.s, nullptr, 0));
    EXPECT_EQ(nullptr, tarnixMsg_find(st.s, "a", 0));
    ASSERT_NE(nullptr, tarnixMsg_find(st.s, "A", 0));
    EXPECT_STREQ("A", tarnixMsg_find(st.s, "A", 0)->field.name);
}

TEST(Store, EachNameOnlyFieldGetsItsOwnNode)
{
    Store st;
    TarnixFieldNode* a = nullptr;
    TarnixFieldNode* b = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, "first", 0, 0, 1));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, "second", 0, 0, 2));
    a = tarnixMsg_find(st.s, "first", 0);
    b = tarnixMsg_find(st.s, "second", 0);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(1, a->field.value.i32);
    EXPECT_EQ(2, b->field.value.i32);
    EXPECT_EQ(2u, st.s->count);
}

TEST(Store, ExistingFieldKeepsItsTypeAndNextSetterFails)
{
    Store st;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, "n", 0, 5, 10));
    TarnixFieldNode* node = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_set(st.s, "other", 0, 5, TARNIX_TYPE_STRING, &node));
    EXPECT_EQ(TARNIX_TYPE_INT32, node->field.type);
    EXPECT_STREQ("n", node->field.name);
    EXPECT_EQ(MAMA_STATUS_WRONG_FIELD_TYPE, tarnixMsg_setString(st.s, nullptr, 0, 5, "x", 0));
    EXPECT_EQ(10, node->field.value.i32);
}

TEST(Store, NameLengthGivenIsCopiedExactlyAndMeasuredCountsTheNul)
{
    Store st;
    TarnixFieldNode* node = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_set(st.s, "abcdef", 3, 1, TARNIX_TYPE_BOOL, &node));
    EXPECT_EQ(3u, node->field.nameLen);
    EXPECT_EQ(0, memcmp("abc", node->field.name, 3));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_set(st.s, "wBid", 0, 2, TARNIX_TYPE_BOOL, &node));
    EXPECT_EQ(5u, node->field.nameLen);
    EXPECT_STREQ("wBid", node->field.name);

    /* A name without its NUL stays a C string in copies too. */
    Store copy;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_copy(st.s, copy.s));
    EXPECT_STREQ("abc", tarnixMsg_find(copy.s, nullptr, 1)->field.name);
    EXPECT_NE(nullptr, tarnixMsg_findByName(copy.s, "abc"));
}

TEST(Store, FieldRefusedOnItsNameLeavesNothingAndLaterInsertsLandInOrder)
{
    Store st;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, 2, 1));
    std::string longName(TARNIX_MAX_STRING, 'n'); /* no NUL within the bound */
    LogCapture log;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixMsg_setI32(st.s, longName.c_str(), 0, 10, 1));
    EXPECT_TRUE(log.contains("Fieldname too long for fid 10; length: 67108865; max: 67108864")) << log.all();
    EXPECT_EQ(1u, st.s->count);
    EXPECT_EQ((std::vector<mama_fid_t>{2}), st.fids());
    EXPECT_EQ(nullptr, tarnixMsg_find(st.s, nullptr, 10));

    /* Below the refused fid the append is noticed late (its warning names
     * the refused fid); above it, an ordinary append. Either way in order. */
    log.clear();
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, 7, 2));
    EXPECT_TRUE(log.contains("tarnixMsg_insert_sorted: last element insert not caught early fid: 7, lastfid: 10"))
        << log.all();
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, 11, 3));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, 5, 4));
    EXPECT_EQ((std::vector<mama_fid_t>{2, 5, 7, 11}), st.fids());
    mama_i32_t value = 0;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_get<mama_i32_t*>(st.s, nullptr, 7, tarnixField_getI32, &value));
    EXPECT_EQ(2, value);
}

TEST(Store, StringSizeLimitIsInclusive)
{
    Store st;
    std::string text(TARNIX_MAX_STRING, 'a');
    text[TARNIX_MAX_STRING - 1] = '\0';
    EXPECT_EQ(MAMA_STATUS_OK, tarnixMsg_setString(st.s, nullptr, 0, 1, text.c_str(), TARNIX_MAX_STRING));
    text.push_back('\0');
    LogCapture log;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixMsg_setString(st.s, nullptr, 0, 2, text.c_str(), TARNIX_MAX_STRING + 1));
    EXPECT_TRUE(log.contains("tarnixMsg_setString: incoming string too big: 67108865; max: 67108864")) << log.all();
    EXPECT_EQ(1u, st.s->count);
}

TEST(Store, CopyReplacesDestinationWithSourceFields)
{
    Store src, dst;
    tarnixMsg_setI32(src.s, "a", 0, 2, 20);
    tarnixMsg_setString(src.s, nullptr, 0, 4, "four", 0);
    tarnixMsg_setI32(src.s, nullptr, 0, 8, 80);
    for (mama_fid_t fid = 1; fid <= 5; ++fid)
        tarnixMsg_setBool(dst.s, nullptr, 0, fid * 10, 1);
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_copy(src.s, dst.s));
    EXPECT_EQ((std::vector<mama_fid_t>{2, 4, 8}), dst.fids());
    EXPECT_EQ(nullptr, tarnixMsg_find(dst.s, nullptr, 10)); /* the destination's own fields are gone */
    TarnixFieldNode* four = tarnixMsg_find(dst.s, nullptr, 4);
    ASSERT_NE(nullptr, four);
    EXPECT_STREQ("four", four->field.value.str);
    EXPECT_NE(four->field.value.str, tarnixMsg_find(src.s, nullptr, 4)->field.value.str);
    EXPECT_STREQ("a", tarnixMsg_find(dst.s, nullptr, 2)->field.name);

    /* The copy goes on like the source: above its last fid an append,
     * below it in order, neither noticed late. */
    LogCapture log;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(dst.s, nullptr, 0, 9, 90));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(dst.s, nullptr, 0, 6, 60));
    EXPECT_EQ((std::vector<mama_fid_t>{2, 4, 6, 8, 9}), dst.fids());
    EXPECT_FALSE(log.contains("last element insert not caught early")) << log.all();
}

TEST(Store, AdoptedVectorBlockIsTakenWithoutCopy)
{
    Store st;
    auto* block = static_cast<int32_t*>(malloc(2 * sizeof(int32_t)));
    block[0] = 1;
    block[1] = -2;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setVectorOf(st.s, nullptr, 0, 3, TARNIX_TYPE_VINT32, block, 2, true));
    EXPECT_EQ(block, tarnixMsg_find(st.s, nullptr, 3)->field.value.data);
    /* A refused adopted block is freed by the store, not leaked. */
    auto* other = static_cast<int16_t*>(malloc(sizeof(int16_t)));
    EXPECT_EQ(MAMA_STATUS_WRONG_FIELD_TYPE,
              tarnixMsg_setVectorOf(st.s, nullptr, 0, 3, TARNIX_TYPE_VINT16, other, 1, true));
}

/* That the refill allocates nothing is measured in memoryTests.cpp. */
TEST(Store, ClearedStoreRefillsInAnyOrder)
{
    Store st;
    for (mama_fid_t fid = 1; fid <= 20; ++fid)
        tarnixMsg_setI32(st.s, nullptr, 0, fid, fid);
    tarnixMsg_clear(st.s);
    EXPECT_EQ(0u, st.s->count);
    EXPECT_EQ(nullptr, tarnixMsg_find(st.s, nullptr, 20));
    std::vector<mama_fid_t> want;
    for (mama_fid_t fid = 20; fid >= 1; --fid)
    {
        ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, fid, -fid));
        want.insert(want.begin(), fid);
    }
    EXPECT_EQ(want, st.fids());
    EXPECT_EQ(20u, st.s->count);
    mama_i32_t value = 0;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_get<mama_i32_t*>(st.s, nullptr, 13, tarnixField_getI32, &value));
    EXPECT_EQ(-13, value);
}

TEST(Store, RemoveUnlinksOnlyNodesOfTheStore)
{
    Store st, other;
    tarnixMsg_setI32(st.s, nullptr, 0, 1, 1);
    tarnixMsg_setI32(st.s, nullptr, 0, 2, 2);
    tarnixMsg_setI32(other.s, nullptr, 0, 1, 1);
    EXPECT_EQ(-1, tarnixMsg_remove(st.s, tarnixMsg_find(other.s, nullptr, 1)));
    EXPECT_EQ(-1, tarnixMsg_remove(st.s, nullptr));
    TarnixFieldNode* first = tarnixMsg_find(st.s, nullptr, 1);
    TarnixField kept = first->field;
    EXPECT_EQ(0, tarnixMsg_remove(st.s, first));
    tarnixField_release(&kept);
    EXPECT_EQ(-1, tarnixMsg_remove(st.s, first)); /* no longer linked */
    EXPECT_EQ((std::vector<mama_fid_t>{2}), st.fids());
    EXPECT_EQ(1u, st.s->count);
    EXPECT_EQ(nullptr, tarnixMsg_find(st.s, nullptr, 1));
    EXPECT_EQ((std::vector<mama_fid_t>{1}), other.fids());
}

TEST(Store, LargeStoreFilledInAnyOrderMatchesASortedModel)
{
    Store st;
    std::map<mama_fid_t, TarnixFieldNode*> model;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, "first", 0, 0, -1));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, "second", 0, 0, -2));

    /* 3000 fids from 2 to 60000 in scrambled order; every fifth insert
     * repeats the lowest so far and every third looks its fid up again. */
    const unsigned kFids = 3000;
    for (unsigned i = 0; i < kFids; ++i)
    {
        auto fid = static_cast<mama_fid_t>((i * 7919u) % 59999u + 2);
        bool isNew = false;
        TarnixFieldNode* node = tarnixMsg_insert_sorted(st.s, nullptr, fid, &isNew);
        ASSERT_TRUE(isNew) << fid;
        model[fid] = node;
        if (i % 5 == 4)
        {
            mama_fid_t again = model.begin()->first;
            EXPECT_EQ(model.begin()->second, tarnixMsg_insert_sorted(st.s, nullptr, again, &isNew));
            EXPECT_FALSE(isNew);
        }
        if (i % 3 == 2)
        {
            EXPECT_EQ(node, tarnixMsg_find(st.s, nullptr, fid));
        }
    }
    /* That this stays linear in any order is measured in scaleTests.cpp. */

    size_t nameOnly = 2;
    auto expectModel = [&]
    {
        std::vector<mama_fid_t> want;
        for (size_t i = 0; i < nameOnly; ++i)
            want.push_back(0);
        for (const auto& entry : model)
            want.push_back(entry.first);
        EXPECT_EQ(want, st.fids());
        EXPECT_EQ(want.size(), st.s->count);
        for (unsigned fid = 1; fid <= 60001; ++fid)
        {
            auto found = model.find(static_cast<mama_fid_t>(fid));
            ASSERT_EQ(found == model.end() ? nullptr : found->second,
                      tarnixMsg_find(st.s, nullptr, static_cast<mama_fid_t>(fid)))
                << fid;
        }
    };
    expectModel();

    /* A field refused on its name leaves nothing behind, in the middle and
     * at the end; the end one's fid still counts as the highest, so the
     * next field above the others is appended with the warning. */
    std::string longName(TARNIX_MAX_STRING, 'n');
    mama_fid_t gap = 0;
    for (mama_fid_t fid = 2; !gap; ++fid)
        if (!model.count(fid))
            gap = fid;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixMsg_setI32(st.s, longName.c_str(), 0, gap, 1));
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixMsg_setI32(st.s, longName.c_str(), 0, 60100, 1));
    expectModel();
    LogCapture log;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, 60050, 1));
    EXPECT_TRUE(log.contains("last element insert not caught early fid: 60050, lastfid: 60100")) << log.all();
    model[60050] = tarnixMsg_find(st.s, nullptr, 60050);
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, gap, 1));
    model[gap] = tarnixMsg_find(st.s, nullptr, gap);
    expectModel();

    /* The fid-ordered fields follow whichever name-only field is last. */
    TarnixFieldNode* lastNameOnly = tarnixMsg_find(st.s, "first", 0); /* name-only fields go first */
    ASSERT_NE(nullptr, lastNameOnly);
    TarnixField taken = lastNameOnly->field;
    ASSERT_EQ(0, tarnixMsg_remove(st.s, lastNameOnly));
    tarnixField_release(&taken);
    nameOnly = 1;
    ASSERT_FALSE(model.count(1));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, 1, 1));
    model[1] = tarnixMsg_find(st.s, nullptr, 1);
    expectModel();
    EXPECT_STREQ("second", st.firstName());

    /* Cleared, the store starts over. */
    tarnixMsg_clear(st.s);
    model.clear();
    nameOnly = 0;
    for (mama_fid_t fid : {mama_fid_t(9), mama_fid_t(3), mama_fid_t(5)})
        model[fid] = (tarnixMsg_setI32(st.s, nullptr, 0, fid, 1), tarnixMsg_find(st.s, nullptr, fid));
    expectModel();
}
