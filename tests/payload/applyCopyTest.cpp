/* Merging one payload into another, deep copies and who holds sub-messages. */
#include "payloadCompare.h"
#include "payloadTestSupport.h"

TEST(Apply, LeavesTheUnionWithTheSourceWinningSameTypedFids)
{
    Payload src, dst;
    tarnixmsgPayload_addI32(src, nullptr, 1, 10);
    tarnixmsgPayload_addString(src, "two", 2, "source");
    tarnixmsgPayload_addString(dst, nullptr, 2, "destination");
    tarnixmsgPayload_addBool(dst, nullptr, 3, 1);
    tarnixmsgPayload_addString(src, nullptr, 5, "text");
    tarnixmsgPayload_addI32(dst, nullptr, 5, 55);

    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_apply(dst, src));
    EXPECT_EQ((std::vector<mama_fid_t>{1, 2, 3, 5}), dst.fids());
    const char* s = nullptr;
    tarnixmsgPayload_getString(dst, nullptr, 2, &s);
    EXPECT_STREQ("source", s);
    mama_i32_t v = 0;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getI32(dst, nullptr, 5, &v));
    EXPECT_EQ(55, v); /* a fid of another type is left as it was */
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_apply(nullptr, src));
}

TEST(Apply, EveryTypeArrivesWithTheSameValue)
{
    Payload src, dst;
    addEveryType(src.store(), 1, true);
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_apply(dst, src));
    std::string why;
    EXPECT_TRUE(samePayload(src.impl(), dst.impl(), &why)) << why;
}

TEST(Apply, DateTimeKeepsPrecisionAndHints)
{
    Payload src, dst;
    tarnixMsg_setDateTimeRecord(src.store(), nullptr, 0, 1, TarnixDateTime{1000, 123456000, 3, 7});
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_apply(dst, src));
    const TarnixDateTime& dt = tarnixMsg_find(dst.store(), nullptr, 1)->field.value.dateTime;
    EXPECT_EQ(1000, dt.seconds);
    EXPECT_EQ(123456000u, dt.nanoseconds);
    EXPECT_EQ(3, dt.precision);
    EXPECT_EQ(7, dt.hints);
}

TEST(Apply, SubMessagesAreSharedWithTheSource)
{
    Payload src, dst, sub;
    tarnixMsg_setMsg(src.store(), nullptr, 0, 1, sub.impl());
    TarnixPayloadImpl* subs[] = {sub.impl()};
    tarnixMsg_setVectorMsg(src.store(), nullptr, 0, 2, subs, 1, false);
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_apply(dst, src));

    msgPayload held = nullptr;
    tarnixmsgPayload_getMsg(dst, nullptr, 1, &held);
    EXPECT_EQ(sub.get(), held);
    tarnixmsgPayload_addI32(sub, nullptr, 9, 99);
    mama_i32_t v = 0;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getI32(held, nullptr, 9, &v));
    EXPECT_EQ(99, v);
    EXPECT_EQ(5, sub.impl()->mRefCount.load()); /* itself, two fields in each message */
}

TEST(Copy, DuplicatesSubMessagesAndReplacesTheDestination)
{
    Payload src, sub;
    tarnixmsgPayload_addI32(sub, nullptr, 1, 1);
    tarnixMsg_setMsg(src.store(), nullptr, 0, 3, sub.impl());
    tarnixmsgPayload_addString(src, "n", 4, "four");

    Payload dst;
    for (mama_fid_t fid = 1; fid <= 5; ++fid)
        tarnixmsgPayload_addBool(dst, nullptr, fid * 10, 1);
    msgPayload out = dst.get();
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_copy(src, &out));
    EXPECT_EQ(dst.get(), out);
    std::string why;
    EXPECT_TRUE(samePayload(src.impl(), dst.impl(), &why)) << why;

    msgPayload copied = nullptr;
    tarnixmsgPayload_getMsg(dst, nullptr, 3, &copied);
    EXPECT_NE(sub.get(), copied);
    tarnixmsgPayload_updateI32(copied, nullptr, 1, 2);
    mama_i32_t v = 0;
    tarnixmsgPayload_getI32(sub, nullptr, 1, &v);
    EXPECT_EQ(1, v);
}

TEST(Copy, CreatesADestinationAndKeepsTheCountOfAnExistingOne)
{
    Payload src;
    addEveryType(src.store(), 1, false);
    msgPayload created = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_copy(src, &created));
    std::string why;
    EXPECT_TRUE(samePayload(src.impl(), static_cast<TarnixPayloadImpl*>(created), &why)) << why;
    EXPECT_EQ(1, static_cast<TarnixPayloadImpl*>(created)->mRefCount.load());

    /* A destination shared as a sub-message keeps both references. */
    Payload holder;
    tarnixMsg_setMsg(holder.store(), nullptr, 0, 1, static_cast<TarnixPayloadImpl*>(created));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_copy(src, &created));
    EXPECT_EQ(2, static_cast<TarnixPayloadImpl*>(created)->mRefCount.load());
    tarnixmsgPayload_destroy(created);

    /* Onto itself: nothing to do, nothing lost. */
    msgPayload self = src.get();
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_copy(src, &self));
    EXPECT_EQ(33u, src.fields());
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_copy(nullptr, &self));
}
