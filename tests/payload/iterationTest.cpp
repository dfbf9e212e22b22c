/* Walking a payload's fields and the field-handle exports. */
#include "payloadTestSupport.h"

#include <msgfieldimpl.h>

#include <vector>

namespace
{

mama_fid_t fidOf(msgFieldPayload handle)
{
    return static_cast<TarnixField*>(handle)->fid;
}

struct Walk
{
    std::vector<mama_fid_t> seen;
    msgPayload payload = nullptr;
    bool printFirst = false;
};

void MAMACALLTYPE collect(const mamaMsg, const mamaMsgField field, void* closure)
{
    auto* walk = static_cast<Walk*>(closure);
    /* The host's field object now points at our field record. */
    walk->seen.push_back(fidOf(reinterpret_cast<mamaMsgFieldImpl*>(field)->myPayload));
    if (walk->printFirst)
        tarnixmsgPayload_toString(walk->payload);
}

} // namespace

TEST(Iteration, FieldsComeInFidOrderBothWays)
{
    Payload p;
    tarnixmsgPayload_addI32(p, nullptr, 3, 3);
    tarnixmsgPayload_addI32(p, nullptr, 1, 1);
    tarnixmsgPayload_addI32(p, nullptr, 2, 2);

    msgPayloadIter iter = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayloadIter_create(&iter, p));
    std::vector<mama_fid_t> seen;
    while (msgFieldPayload f = tarnixmsgPayloadIter_next(iter, nullptr, p))
        seen.push_back(fidOf(f));
    EXPECT_EQ((std::vector<mama_fid_t>{1, 2, 3}), seen);
    EXPECT_EQ(nullptr, tarnixmsgPayloadIter_next(iter, nullptr, p));
    EXPECT_EQ(nullptr, tarnixmsgPayloadIter_end(iter, p));
    tarnixmsgPayloadIter_destroy(iter);

    mamaMsgField field = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaMsgField_create(&field));
    Walk walk;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_iterateFields(p, nullptr, field, collect, &walk));
    EXPECT_EQ((std::vector<mama_fid_t>{1, 2, 3}), walk.seen);
    mamaMsgField_destroy(field);
}

TEST(Iteration, BeginHasNextAndEmptyMessages)
{
    Payload empty;
    msgPayloadIter iter = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayloadIter_create(&iter, empty));
    EXPECT_FALSE(tarnixmsgPayloadIter_hasNext(iter, empty));
    EXPECT_EQ(nullptr, tarnixmsgPayloadIter_begin(iter, nullptr, empty));
    EXPECT_EQ(nullptr, tarnixmsgPayloadIter_next(iter, nullptr, empty));

    Payload one;
    tarnixmsgPayload_addBool(one, nullptr, 4, 1);
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayloadIter_associate(iter, one));
    EXPECT_TRUE(tarnixmsgPayloadIter_hasNext(iter, one));
    msgFieldPayload first = tarnixmsgPayloadIter_next(iter, nullptr, one);
    ASSERT_NE(nullptr, first);
    EXPECT_FALSE(tarnixmsgPayloadIter_hasNext(iter, one));

    /* begin leaves the iterator at the start: next gives the first field again */
    tarnixmsgPayload_addBool(one, nullptr, 6, 1);
    EXPECT_EQ(first, tarnixmsgPayloadIter_begin(iter, nullptr, one));
    EXPECT_EQ(first, tarnixmsgPayloadIter_next(iter, nullptr, one));
    EXPECT_EQ(6, fidOf(tarnixmsgPayloadIter_next(iter, nullptr, one)));
    tarnixmsgPayloadIter_destroy(iter);
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayloadIter_destroy(nullptr));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayloadIter_create(&iter, nullptr));
}

TEST(Iteration, PrintingFromTheCallbackEndsTheWalk)
{
    Payload p;
    for (mama_fid_t fid = 1; fid <= 3; ++fid)
        tarnixmsgPayload_addI32(p, nullptr, fid, fid);
    mamaMsgField field = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaMsgField_create(&field));
    Walk walk;
    walk.payload = p;
    walk.printFirst = true;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_iterateFields(p, nullptr, field, collect, &walk));
    EXPECT_EQ((std::vector<mama_fid_t>{1}), walk.seen);
    mamaMsgField_destroy(field);
}

// A fid the dictionary does not name (or beyond its size) keeps the field's
// own name, and a field known only by its fid has an empty name: neither is
// an error, or OpenMAMA's C++ API throws while iterating an ordinary message.
TEST(FieldHandles, NameOfAFidTheDictionaryLacks)
{
    mamaDictionary dict = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaDictionary_create(&dict));
    mamaFieldDescriptor d10 = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaDictionary_createFieldDescriptor(dict, 10, "DictName", MAMA_FIELD_TYPE_I32, &d10));

    Payload p;
    tarnixmsgPayload_addI32(p, "Own12", 12, 1);
    tarnixmsgPayload_addI32(p, nullptr, 13, 2);
    tarnixmsgPayload_addI32(p, "Far", 5000, 3);
    struct Case
    {
        mama_fid_t fid;
        mamaDictionary dict;
        const char* expected;
    } cases[] = {
        {12, dict, "Own12"}, {12, nullptr, "Own12"}, {13, dict, ""}, {13, nullptr, ""}, {5000, dict, "Far"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.fid);
        msgFieldPayload field = nullptr;
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getField(p, nullptr, c.fid, &field));
        const char* name = nullptr;
        EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getName(field, c.dict, nullptr, &name));
        EXPECT_STREQ(c.expected, name);
    }
    mamaDictionary_destroy(dict);
}

TEST(FieldHandles, NameAndFidPreferTheDictionaryForFids)
{
    mamaDictionary dict = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaDictionary_create(&dict));
    mamaFieldDescriptor d10 = nullptr;
    mamaFieldDescriptor d11 = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaDictionary_createFieldDescriptor(dict, 10, "DictName", MAMA_FIELD_TYPE_I32, &d10));
    ASSERT_EQ(MAMA_STATUS_OK, mamaDictionary_createFieldDescriptor(dict, 11, "Local", MAMA_FIELD_TYPE_I32, &d11));

    Payload p;
    tarnixmsgPayload_addI32(p, "Own", 10, 1);
    tarnixmsgPayload_addI32(p, "Local", 0, 2);
    msgFieldPayload withFid = nullptr;
    msgFieldPayload byName = nullptr;
    tarnixmsgPayload_getField(p, nullptr, 10, &withFid);
    tarnixmsgPayload_getField(p, "Local", 0, &byName);

    const char* name = nullptr;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getName(withFid, dict, nullptr, &name));
    EXPECT_STREQ("DictName", name);
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getName(withFid, nullptr, nullptr, &name));
    EXPECT_STREQ("Own", name);
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getName(byName, dict, nullptr, &name));
    EXPECT_STREQ("Local", name);

    uint16_t fid = 99;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getFid(byName, nullptr, nullptr, &fid));
    EXPECT_EQ(0, fid);
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getFid(byName, dict, nullptr, &fid));
    EXPECT_EQ(11, fid);
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getFid(withFid, dict, nullptr, &fid));
    EXPECT_EQ(10, fid);

    mamaFieldDescriptor found = nullptr;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getDescriptor(byName, dict, &found));
    EXPECT_EQ(d11, found);
    mamaDictionary_destroy(dict);
}

TEST(FieldHandles, StandaloneRecordHasNoTypeAndRefusesUpdates)
{
    msgFieldPayload record = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_create(&record));
    mamaFieldType type;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixmsgFieldPayload_getType(record, &type));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgFieldPayload_updateI32(record, nullptr, 1));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgFieldPayload_updateString(record, nullptr, "x"));
    mama_i32_t v;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixmsgFieldPayload_getI32(record, &v));
    mamaFieldDescriptor d = nullptr;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixmsgFieldPayload_getDescriptor(record, nullptr, &d));
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_destroy(record));
}

TEST(FieldHandles, UpdatesChangeTheValueButNeverTheType)
{
    Payload p;
    tarnixmsgPayload_addI16(p, nullptr, 1, 5);
    msgFieldPayload f = nullptr;
    tarnixmsgPayload_getField(p, nullptr, 1, &f);
    EXPECT_EQ(MAMA_STATUS_WRONG_FIELD_TYPE, tarnixmsgFieldPayload_updateI32(f, p, 7));
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_updateI16(f, p, -7));
    mama_i32_t widened = 0;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getI32(f, &widened));
    EXPECT_EQ(-7, widened);
    mamaFieldType type;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getType(f, &type));
    EXPECT_EQ(MAMA_FIELD_TYPE_I16, type);
}
