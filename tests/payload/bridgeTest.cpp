/* The payload object, initialisation and the typed accessors, directly and
 * through OpenMAMA's message API with the plug-in loaded by name. */
#include "payloadTestSupport.h"

#include <mama/integration/mama.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

TEST(BridgeInit, RuntimeVersionGate)
{
    struct Case
    {
        const char* version;
        bool accepted;
    } cases[] = {
        {"6.3.0", true},  {"6.3.1", true},  {"7.0.0", true}, {"6.2.1", true}, {"6.2.0", false}, {"6.1.0", false},
        {"5.3.0", false}, {"0.0.1", false}, {"abc", false},  {"", false},     {nullptr, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.accepted, tarnixmsgPayloadImpl_runtimeAccepted(c.version)) << (c.version ? c.version : "null");
}

TEST(BridgeInit, LoadsByNameWithIdentifierOne)
{
    mamaPayloadBridge bridge = tarnixBridge();
    ASSERT_NE(nullptr, bridge);
    EXPECT_EQ(bridge, mamaInternal_findPayload('1'));
    EXPECT_STREQ("6.3.1", mamaInternal_getMetaProperty("mama.tarnixmsg.compile_version"));
}

namespace
{

/* Runs one initialisation in a fresh process (the payload version is
 * process-wide and kept once set) and reports what it saw on stderr. */
void initInFreshProcess(const char* property, int presetVersion)
{
    qpidBridge(); /* OpenMAMA's internal state, as when it loads a payload */
    if (presetVersion)
        tarnixmsgPayload_setPayloadVersion(static_cast<unsigned long>(presetVersion), 0);
    mama_setProperty("mama.tarnix.payload.version", property);
    LogCapture log;
    char id = '?';
    mama_status status = tarnixmsgPayload_init(nullptr, &id);
    fprintf(stderr, "status=%d id=%c version=%d unreadable=%d refused=%d finer=%d\n", status, id,
            tarnixmsgPayload_getPayloadVersion(),
            log.contains("Invalid mama.tarnix.payload.version property, can not read value"),
            log.contains("Invalid mama.tarnix.payload.version property, value 3."),
            log.contains("Finer TARNIX-PL-Bridge") &&
                log.contains("tarnixmsg payload INIT payload version is set to: " +
                             std::to_string(tarnixmsgPayload_getPayloadVersion())));
    fflush(stderr);
    _exit(0);
}

} // namespace

TEST(BridgeInit, PayloadVersionProperty)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(initInFreshProcess("1", 0), testing::ExitedWithCode(0),
                "status=0 id=1 version=1 unreadable=0 refused=0 finer=1");
    EXPECT_EXIT(initInFreshProcess("abc", 0), testing::ExitedWithCode(0),
                "status=0 id=1 version=2 unreadable=1 refused=0 finer=0");
    EXPECT_EXIT(initInFreshProcess("0", 0), testing::ExitedWithCode(0),
                "status=0 id=1 version=2 unreadable=1 refused=0 finer=0");
    EXPECT_EXIT(initInFreshProcess("3", 0), testing::ExitedWithCode(0),
                "status=2 id=\\? version=2 unreadable=0 refused=1 finer=0");
    /* A version set before is kept, whatever the property says. */
    EXPECT_EXIT(initInFreshProcess("3", 1), testing::ExitedWithCode(0),
                "status=0 id=1 version=1 unreadable=0 refused=0 finer=1");
}

TEST(PayloadObject, SubMessageOutlivesItsFirstDestroy)
{
    msgPayload sub = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_create(&sub));
    auto* subImpl = static_cast<TarnixPayloadImpl*>(sub);
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addI32(sub, nullptr, 1, 11));
    {
        Payload outer;
        ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setMsg(outer.store(), nullptr, 0, 1, subImpl));
        EXPECT_EQ(2, subImpl->mRefCount.load());
        EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_destroy(sub));
        mama_i32_t v = 0;
        EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getI32(sub, nullptr, 1, &v));
        EXPECT_EQ(11, v);
    } /* the outer message frees it; LeakSanitizer checks */
}

TEST(PayloadObject, SmallExportsAnswerAsDocumented)
{
    Payload p;
    mama_size_t size = 99;
    EXPECT_EQ(MAMA_STATUS_NOT_IMPLEMENTED, tarnixmsgPayload_getByteSize(p, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(MAMA_STATUS_NOT_IMPLEMENTED, tarnixmsgPayload_getByteSize(p, nullptr));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_getByteSize(nullptr, &size));

    void* native = nullptr;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getNativeMsg(p, &native));
    EXPECT_EQ(p.get(), native);

    const char* subject = nullptr;
    EXPECT_EQ(MAMA_STATUS_NOT_IMPLEMENTED, tarnixmsgPayload_getSendSubject(p, &subject));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_getSendSubject(nullptr, &subject));
    msgPayload tmpl = nullptr;
    EXPECT_EQ(MAMA_STATUS_NOT_IMPLEMENTED, tarnixmsgPayload_createForTemplate(&tmpl, nullptr, 1));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_destroyImpl(nullptr));
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_setParent(p, nullptr));
    MAMAIgnoreDeprecatedOpen EXPECT_EQ('1', static_cast<char>(tarnixmsgPayload_getType()));
    MAMAIgnoreDeprecatedClose

        tarnixmsgPayload_addI32(p, nullptr, 1, 1);
    tarnixmsgPayload_addI32(p, nullptr, 2, 2);
    EXPECT_EQ(2u, p.fields());
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_clear(p));
    EXPECT_EQ(0u, p.fields());
}

TEST(PayloadObject, CreateFromByteBuffer)
{
    msgPayload p = nullptr;
    Bytes empty = hexBytes("31 02 2F 00 00 00 05");
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixmsgPayload_createFromByteBuffer(&p, tarnixBridge(), empty.data(), 0));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_createFromByteBuffer(&p, tarnixBridge(), nullptr, 7));

    Bytes foreign = hexBytes("32 02 2F 00 00 00 05");
    EXPECT_EQ(MAMA_STATUS_PLATFORM,
              tarnixmsgPayload_createFromByteBuffer(&p, tarnixBridge(), foreign.data(), foreign.size()));
    ASSERT_NE(nullptr, p); /* handed out even though decoding failed */
    tarnixmsgPayload_destroy(p);

    p = nullptr;
    Bytes one = hexBytes("31 02 2F 00 00 00 0C 0C 04 00 01 0C 03 05");
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_createFromByteBuffer(&p, tarnixBridge(), one.data(), one.size()));
    mama_u8_t v = 0;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getU8(p, nullptr, 1, &v));
    EXPECT_EQ(5, v);
    tarnixmsgPayload_destroy(p);
}

TEST(PayloadObject, ByteBufferIsReusedBetweenSerializations)
{
    Payload p;
    tarnixmsgPayload_addString(p, nullptr, 1, "abcdef");
    const void* first = nullptr;
    const void* second = nullptr;
    mama_size_t size = 0;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getByteBuffer(p, &first, &size));
    tarnixmsgPayload_updateString(p, nullptr, 1, "ghijkl");
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getByteBuffer(p, &second, &size));
    EXPECT_EQ(first, second);
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_setByteBuffer(p, nullptr, second, size));
}

TEST(Accessors, AddAndUpdateShareOneBehaviour)
{
    Payload p;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addI32(p, nullptr, 5, 1));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_updateI32(p, nullptr, 5, 2));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_updateI32(p, nullptr, 7, 3));
    EXPECT_EQ(2u, p.fields());
    mama_i32_t v = 0;
    tarnixmsgPayload_getI32(p, nullptr, 5, &v);
    EXPECT_EQ(2, v);

    EXPECT_EQ(MAMA_STATUS_WRONG_FIELD_TYPE, tarnixmsgPayload_addString(p, nullptr, 5, "x"));
    tarnixmsgPayload_getI32(p, nullptr, 5, &v);
    EXPECT_EQ(2, v);

    mama_i64_t wide = 0;
    tarnixmsgPayload_addU16(p, nullptr, 9, 65535);
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getI64(p, nullptr, 9, &wide));
    EXPECT_EQ(65535, wide);
    tarnixmsgPayload_addI64(p, nullptr, 10, 1);
    mama_i16_t narrow = 0;
    EXPECT_EQ(MAMA_STATUS_WRONG_FIELD_TYPE, tarnixmsgPayload_getI16(p, nullptr, 10, &narrow));
}

TEST(Accessors, ArgumentChecks)
{
    Payload p;
    mama_bool_t b = 0;
    struct Case
    {
        const char* what;
        mama_status got;
        mama_status expected;
    } cases[] = {
        {"fid 0, empty name", tarnixmsgPayload_addBool(p, "", 0, 1), MAMA_STATUS_INVALID_ARG},
        {"fid 0, no name", tarnixmsgPayload_addBool(p, nullptr, 0, 1), MAMA_STATUS_NULL_ARG},
        {"no payload", tarnixmsgPayload_addBool(nullptr, nullptr, 1, 1), MAMA_STATUS_NULL_ARG},
        {"no text", tarnixmsgPayload_addString(p, nullptr, 1, nullptr), MAMA_STATUS_NULL_ARG},
        {"no opaque bytes", tarnixmsgPayload_addOpaque(p, nullptr, 1, nullptr, 3), MAMA_STATUS_NULL_ARG},
        {"no date-time", tarnixmsgPayload_addDateTime(p, nullptr, 1, nullptr), MAMA_STATUS_NULL_ARG},
        {"no price", tarnixmsgPayload_addPrice(p, nullptr, 1, nullptr), MAMA_STATUS_NULL_ARG},
        {"no sub-message", tarnixmsgPayload_addMsg(p, nullptr, 1, nullptr), MAMA_STATUS_NULL_ARG},
        {"no vector", tarnixmsgPayload_addVectorI32(p, nullptr, 1, nullptr, 2), MAMA_STATUS_NULL_ARG},
        {"no string vector", tarnixmsgPayload_addVectorString(p, nullptr, 1, nullptr, 2), MAMA_STATUS_NULL_ARG},
        {"get: no out", tarnixmsgPayload_getBool(p, nullptr, 1, nullptr), MAMA_STATUS_NULL_ARG},
        {"get: fid 0, empty name", tarnixmsgPayload_getBool(p, "", 0, &b), MAMA_STATUS_INVALID_ARG},
        {"get: missing", tarnixmsgPayload_getBool(p, nullptr, 1, &b), MAMA_STATUS_NOT_FOUND},
        {"get opaque: no size", tarnixmsgPayload_getOpaque(p, nullptr, 1, reinterpret_cast<const void**>(&b), nullptr),
         MAMA_STATUS_NULL_ARG},
        {"get vector: no count",
         tarnixmsgPayload_getVectorU8(p, nullptr, 1, reinterpret_cast<const mama_u8_t**>(&b), nullptr),
         MAMA_STATUS_NULL_ARG},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, c.got) << c.what;
    EXPECT_EQ(0u, p.fields());

    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addBool(p, "A", 0, 1));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getBool(p, "A", 0, &b));
    EXPECT_EQ(1, b);
}

TEST(Accessors, GetFieldAndVectorReinterpretation)
{
    Payload p;
    msgFieldPayload field = reinterpret_cast<msgFieldPayload>(0x1);
    EXPECT_EQ(MAMA_STATUS_NOT_FOUND, tarnixmsgPayload_getField(p, nullptr, 3, &field));
    EXPECT_EQ(nullptr, field);

    const mama_i8_t values[] = {-1, 2, -3};
    tarnixmsgPayload_addVectorI8(p, nullptr, 3, values, 3);
    const mama_u8_t* out = nullptr;
    mama_size_t n = 0;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getVectorU8(p, nullptr, 3, &out, &n));
    ASSERT_EQ(3u, n);
    EXPECT_EQ(0, memcmp(values, out, 3));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getField(p, nullptr, 3, &field));
    EXPECT_EQ(&tarnixMsg_find(p.store(), nullptr, 3)->field, field);
}

TEST(Accessors, SubMessagesAreSharedNotCopied)
{
    MamaMsg outer(tarnixBridge());
    MamaMsg inner(tarnixBridge());
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addMsg(outer.payload(), nullptr, 1, inner.get()));
    ASSERT_EQ(MAMA_STATUS_OK, mamaMsg_addI32(inner.get(), nullptr, 2, 22));
    msgPayload held = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getMsg(outer.payload(), nullptr, 1, &held));
    EXPECT_EQ(inner.payload(), held);
    mama_i32_t v = 0;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getI32(held, nullptr, 2, &v));
    EXPECT_EQ(22, v);
    /* A message placed inside itself could never be printed or freed. */
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixmsgPayload_addMsg(outer.payload(), nullptr, 3, outer.get()));
}

TEST(Accessors, ForeignPayloadsAreRefused)
{
    MamaMsg outer(tarnixBridge());
    MamaMsg mine(tarnixBridge());
    MamaMsg foreign(qpidBridge());
    LogCapture log;
    EXPECT_EQ(MAMA_STATUS_NOT_IMPLEMENTED, tarnixmsgPayload_addMsg(outer.payload(), nullptr, 1, foreign.get()));
    EXPECT_TRUE(log.contains("The tarnix payload Bridge does not support trans-coding payloads of id='Q'"))
        << log.all();

    log.clear();
    mamaMsg three[] = {mine.get(), foreign.get(), mine.get()};
    EXPECT_EQ(MAMA_STATUS_NOT_IMPLEMENTED, tarnixmsgPayload_addVectorMsg(outer.payload(), nullptr, 2, three, 3));
    EXPECT_TRUE(log.contains("Tarnix payload bridge does not support trans-coding payload of id='Q'")) << log.all();
    EXPECT_TRUE(log.contains(", 1 of 3")) << log.all();
    mama_size_t count = 9;
    tarnixmsgPayload_getNumFields(outer.payload(), &count);
    EXPECT_EQ(0u, count);

    mamaMsg two[] = {mine.get(), mine.get()};
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addVectorMsg(outer.payload(), nullptr, 2, two, 2));
    EXPECT_EQ(3, static_cast<TarnixPayloadImpl*>(mine.payload())->mRefCount.load());
}

TEST(OpenMamaApi, MessageRoundTripThroughThePluginLoadedByName)
{
    MamaMsg msg(tarnixBridge());
    ASSERT_EQ(MAMA_STATUS_OK, mamaMsg_addI32(msg.get(), "Bid", 10, -5));
    ASSERT_EQ(MAMA_STATUS_OK, mamaMsg_addString(msg.get(), "Sym", 3, "ABC"));
    mamaPrice price = nullptr;
    mamaPrice_create(&price);
    mamaPrice_setValue(price, 12.5);
    ASSERT_EQ(MAMA_STATUS_OK, mamaMsg_addPrice(msg.get(), nullptr, 20, price));
    mamaPrice_destroy(price);

    const void* buffer = nullptr;
    mama_size_t size = 0;
    ASSERT_EQ(MAMA_STATUS_OK, mamaMsg_getByteBuffer(msg.get(), &buffer, &size));
    EXPECT_EQ('1', static_cast<const char*>(buffer)[0]);

    mamaMsg copy = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaMsg_createFromByteBuffer(&copy, buffer, size));
    mama_i32_t bid = 0;
    const char* sym = nullptr;
    EXPECT_EQ(MAMA_STATUS_OK, mamaMsg_getI32(copy, "Bid", 10, &bid));
    EXPECT_EQ(MAMA_STATUS_OK, mamaMsg_getString(copy, nullptr, 3, &sym));
    EXPECT_EQ(-5, bid);
    EXPECT_STREQ("ABC", sym);
    EXPECT_STREQ("{[Sym:3]=STRING:ABC[Bid:10]=INT32:-5[20]=PRICE:12.500000}", mamaMsg_toString(copy));
    mamaMsg_destroy(copy);
}
