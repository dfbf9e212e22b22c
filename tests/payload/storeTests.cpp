/* The field store: ordering, the append fast path, lookups, names and the
 * node pool. */
#include "payloadTestSupport.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Store {
    Store() : s(tarnixMsg_create()) {}
    ~Store() { tarnixMsg_destroy(&s); }
    std::vector<mama_fid_t> fids() const
    {
        std::vector<mama_fid_t> out;
        for (TarnixFieldNode* n = s->head; n != s->tail; n = n->next)
            out.push_back(n->field.fid);
        return out;
    }
    TarnixMsg* s;
};

} // namespace

TEST(Store, InsertKeepsFidsSortedAndReturnsExistingField)
{
    Store            st;
    bool             isNew = false;
    TarnixFieldNode* five  = tarnixMsg_insert_sorted(st.s, nullptr, 5, &isNew);
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
    EXPECT_EQ(9, st.s->lastFid());
    EXPECT_EQ(five, tarnixMsg_find(st.s, nullptr, 5));
}

TEST(Store, AscendingAppendsUseTheSentinelAsTheNewField)
{
    Store st;
    for (mama_fid_t fid = 1; fid <= 3; ++fid) {
        TarnixFieldNode* oldTail = st.s->tail;
        bool             isNew   = false;
        /* The fast path turns the old sentinel into the field: no walk. */
        EXPECT_EQ(oldTail, tarnixMsg_insert_sorted(st.s, nullptr, fid, &isNew));
        EXPECT_TRUE(isNew);
        EXPECT_EQ(fid, st.s->lastFid());
    }
    tarnixMsg_clear(st.s);
    EXPECT_EQ(0, st.s->lastFid());
    EXPECT_EQ(0u, st.s->count);
    TarnixFieldNode* oldTail = st.s->tail;
    bool             isNew   = false;
    EXPECT_EQ(oldTail, tarnixMsg_insert_sorted(st.s, nullptr, 1, &isNew));
}

TEST(Store, FindAnswersAboveLastFidAndFidZeroByName)
{
    Store            st;
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
    Store            st;
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
    Store            st;
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

TEST(Store, OverlongNameLeavesStaleLastFidAndLaterInsertLandsInOrder)
{
    Store st;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, 2, 1));
    std::string longName(TARNIX_MAX_STRING, 'n'); /* no NUL within the bound */
    LogCapture  log;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixMsg_setI32(st.s, longName.c_str(), 0, 10, 1));
    EXPECT_TRUE(log.contains("Fieldname too long for fid 10; length: 67108865; max: 67108864")) << log.all();
    EXPECT_EQ(1u, st.s->count);
    EXPECT_EQ(10, st.s->lastFid()); /* the failed append raised it */

    log.clear();
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setI32(st.s, nullptr, 0, 7, 2));
    EXPECT_TRUE(log.contains("tarnixMsg_insert_sorted: last element insert not caught early fid: 7, lastfid: 10"))
        << log.all();
    EXPECT_EQ((std::vector<mama_fid_t>{2, 7}), st.fids());
    ASSERT_NE(nullptr, tarnixMsg_find(st.s, nullptr, 7));
}

TEST(Store, StringSizeLimitIsInclusive)
{
    Store       st;
    std::string text(TARNIX_MAX_STRING, 'a');
    text[TARNIX_MAX_STRING - 1] = '\0';
    EXPECT_EQ(MAMA_STATUS_OK, tarnixMsg_setString(st.s, nullptr, 0, 1, text.c_str(), TARNIX_MAX_STRING));
    text.push_back('\0');
    LogCapture log;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG,
              tarnixMsg_setString(st.s, nullptr, 0, 2, text.c_str(), TARNIX_MAX_STRING + 1));
    EXPECT_TRUE(log.contains("tarnixMsg_setString: incoming string too big: 67108865; max: 67108864")) << log.all();
    EXPECT_EQ(1u, st.s->count);
}

TEST(Store, CopyReplacesDestinationWithSourceFieldsAndLastFid)
{
    Store src, dst;
    tarnixMsg_setI32(src.s, "a", 0, 2, 20);
    tarnixMsg_setString(src.s, nullptr, 0, 4, "four", 0);
    tarnixMsg_setI32(src.s, nullptr, 0, 8, 80);
    for (mama_fid_t fid = 1; fid <= 5; ++fid)
        tarnixMsg_setBool(dst.s, nullptr, 0, fid * 10, 1);
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_copy(src.s, dst.s));
    EXPECT_EQ((std::vector<mama_fid_t>{2, 4, 8}), dst.fids());
    EXPECT_EQ(8, dst.s->lastFid());
    TarnixFieldNode* four = tarnixMsg_find(dst.s, nullptr, 4);
    ASSERT_NE(nullptr, four);
    EXPECT_STREQ("four", four->field.value.str);
    EXPECT_NE(four->field.value.str, tarnixMsg_find(src.s, nullptr, 4)->field.value.str);
    EXPECT_STREQ("a", tarnixMsg_find(dst.s, nullptr, 2)->field.name);
}

TEST(Store, AdoptedVectorBlockIsTakenWithoutCopy)
{
    Store st;
    auto* block = static_cast<int32_t*>(malloc(2 * sizeof(int32_t)));
    block[0]    = 1;
    block[1]    = -2;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setVectorOf(st.s, nullptr, 0, 3, TARNIX_TYPE_VINT32, block, 2, true));
    EXPECT_EQ(block, tarnixMsg_find(st.s, nullptr, 3)->field.value.data);
    /* A refused adopted block is freed by the store, not leaked. */
    auto* other = static_cast<int16_t*>(malloc(sizeof(int16_t)));
    EXPECT_EQ(MAMA_STATUS_WRONG_FIELD_TYPE,
              tarnixMsg_setVectorOf(st.s, nullptr, 0, 3, TARNIX_TYPE_VINT16, other, 1, true));
}

TEST(Store, ClearParksNodesForReuse)
{
    Store st;
    for (mama_fid_t fid = 1; fid <= 20; ++fid)
        tarnixMsg_setI32(st.s, nullptr, 0, fid, fid);
    tarnixMsg_clear(st.s);
    EXPECT_EQ(20u, st.s->pool.freeCount());
    for (mama_fid_t fid = 1; fid <= 20; ++fid)
        tarnixMsg_setI32(st.s, nullptr, 0, fid, fid);
    EXPECT_EQ(0u, st.s->pool.freeCount());
    EXPECT_EQ(20u, st.s->count);
}

TEST(Store, RemoveUnlinksOnlyNodesOfTheStore)
{
    Store st, other;
    tarnixMsg_setI32(st.s, nullptr, 0, 1, 1);
    tarnixMsg_setI32(st.s, nullptr, 0, 2, 2);
    tarnixMsg_setI32(other.s, nullptr, 0, 1, 1);
    EXPECT_EQ(-1, tarnixMsg_remove(st.s, tarnixMsg_find(other.s, nullptr, 1)));
    EXPECT_EQ(-1, tarnixMsg_remove(st.s, st.s->tail));
    TarnixFieldNode* first = tarnixMsg_find(st.s, nullptr, 1);
    TarnixField      kept  = first->field;
    EXPECT_EQ(0, tarnixMsg_remove(st.s, first));
    tarnixField_release(&kept);
    EXPECT_EQ((std::vector<mama_fid_t>{2}), st.fids());
}
