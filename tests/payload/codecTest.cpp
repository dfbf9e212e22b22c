/* The wire form: worked examples, byte-level items, every decoder refusal
 * and round trips of every type in both payload versions. */
#include "payloadCompare.h"
#include "payloadTestSupport.h"

#include <cstring>
#include <functional>
#include <string>

namespace
{

using Fill = std::function<void(TarnixMsg*)>;

/* The bytes of the first field after its fid item. */
Bytes firstValueItem(const Bytes& message)
{
    return message.size() > 11 ? Bytes(message.begin() + 11, message.end()) : Bytes();
}

} // namespace

TEST(Wire, FirstWorkedExample)
{
    VersionScope version(2);
    Payload p;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addString(p, "x", 2, "hi"));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addU8(p, nullptr, 1, 5));
    const Bytes expected = hexBytes("31 02 2F 00 00 00 1A"
                                    "0C 04 00 01 0C 03 05"
                                    "0C 04 00 02 18 05 65 78 00 1C 05 68 69 00");
    EXPECT_EQ(hexText(expected), hexText(p.serialize()));

    Payload back;
    ASSERT_EQ(MAMA_STATUS_OK, back.decode(expected));
    std::string why;
    EXPECT_TRUE(samePayload(p.impl(), back.impl(), &why)) << why;
}

TEST(Wire, SecondWorkedExampleWithSubMessageAndVector)
{
    VersionScope version(2);
    Payload sub;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addBool(sub, nullptr, 1, 1));
    EXPECT_EQ("31 02 2F 00 00 00 0C 0C 04 00 01 04 03 01", hexText(sub.serialize()));

    Payload p;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setMsg(p.store(), nullptr, 0, 3, sub.impl()));
    const mama_i16_t values[] = {1, -2};
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addVectorI16(p, nullptr, 4, values, 2));
    const Bytes expected = hexBytes("31 02 2F 00 00 00 25"
                                    "0C 04 00 03 18 11 01 31 02 2F 00 00 00 0C 0C 04 00 01 04 03 01"
                                    "0C 04 00 04 18 07 24 00 01 FF FE");
    EXPECT_EQ(hexText(expected), hexText(p.serialize()));
    EXPECT_EQ(39u, expected.size());

    Payload back;
    ASSERT_EQ(MAMA_STATUS_OK, back.decode(expected));
    std::string why;
    EXPECT_TRUE(samePayload(p.impl(), back.impl(), &why)) << why;
}

TEST(Wire, ValueItemsByteForByte)
{
    struct Case
    {
        const char* what;
        uint8_t version;
        Fill fill;
        const char* item; /* hex, a prefix of the value item */
    } cases[] = {
        {"BOOL", 2, [](TarnixMsg* s) { tarnixMsg_setBool(s, nullptr, 0, 1, 1); }, "04 03 01"},
        {"UINT16", 2, [](TarnixMsg* s) { tarnixMsg_setU16(s, nullptr, 0, 1, 0x1234); }, "0C 04 12 34"},
        {"INT64 -2", 2, [](TarnixMsg* s) { tarnixMsg_setI64(s, nullptr, 0, 1, -2); }, "08 0A FF FF FF FF FF FF FF FE"},
        {"FLOAT 1", 2, [](TarnixMsg* s) { tarnixMsg_setF32(s, nullptr, 0, 1, 1.0f); }, "10 06 3F 80 00 00"},
        {"DOUBLE -2", 2, [](TarnixMsg* s) { tarnixMsg_setF64(s, nullptr, 0, 1, -2.0); },
         "10 0A C0 00 00 00 00 00 00 00"},
        {"WCHAR 0xE9 sign-extended", 2,
         [](TarnixMsg* s) { tarnixMsg_setChar(s, nullptr, 0, 1, static_cast<char>(0xE9)); }, "14 04 FF E9"},
        {"WCHAR A", 2, [](TarnixMsg* s) { tarnixMsg_setChar(s, nullptr, 0, 1, 'A'); }, "14 04 00 41"},
        {"STRING content 252: one length byte", 2,
         [](TarnixMsg* s) { tarnixMsg_setString(s, nullptr, 0, 1, std::string(251, 'a').c_str(), 0); }, "1C FE 61"},
        {"STRING content 253: one length byte", 2,
         [](TarnixMsg* s) { tarnixMsg_setString(s, nullptr, 0, 1, std::string(252, 'a').c_str(), 0); }, "1C FF 61"},
        {"STRING content 254: two length bytes", 2,
         [](TarnixMsg* s) { tarnixMsg_setString(s, nullptr, 0, 1, std::string(253, 'a').c_str(), 0); }, "1D 01 01 61"},
        {"OPAQUE", 2, [](TarnixMsg* s) { tarnixMsg_setOpaque(s, nullptr, 0, 1, "\x01\x02\x03", 3); },
         "18 06 07 01 02 03"},
        {"PRICE", 2,
         [](TarnixMsg* s) {
             tarnixMsg_setPriceRecord(s, nullptr, 0, 1, TarnixPrice{1.5, 2});
         },
         "18 0C 1B 3F F8 00 00 00 00 00 00 02"},
        {"DATETIME v1 packed", 1,
         [](TarnixMsg* s) {
             tarnixMsg_setDateTimeRecord(s, nullptr, 0, 1, TarnixDateTime{1, 500000000, 6, 0});
         },
         "18 0B 1A 00 00 00 01 60 07 A1 20"},
        {"DATETIME v1 negative", 1,
         [](TarnixMsg* s) {
             tarnixMsg_setDateTimeRecord(s, nullptr, 0, 1, TarnixDateTime{-1, 0, 0, 0});
         },
         "18 0B 1A FF FF FF FF 00 F0 00 00"},
        {"DATETIME v2", 2,
         [](TarnixMsg* s) {
             tarnixMsg_setDateTimeRecord(s, nullptr, 0, 1, TarnixDateTime{1, 500000000, 9, 1});
         },
         "18 11 1A 00 00 00 00 00 00 00 01 1D CD 65 00 09 01"},
        {"empty VSTRING", 2, [](TarnixMsg* s) { tarnixMsg_setVectorString(s, nullptr, 0, 1, nullptr, 0, 0, false); },
         "1B 00 00 00 0A 2E 00 00 00 00"},
        {"VSTRING", 2,
         [](TarnixMsg* s)
         {
             const char* v[] = {"a", "bc"};
             tarnixMsg_setVectorString(s, nullptr, 0, 1, v, 2, 0, false);
         },
         "1B 00 00 00 13 2E 00 00 00 02 1C 04 61 00 1C 05 62 63 00"},
        {"empty numeric vector", 2,
         [](TarnixMsg* s) { tarnixMsg_setVectorOf(s, nullptr, 0, 1, TARNIX_TYPE_VUINT8, "", 0, false); }, "18 03 23"},
        {"VUINT32", 2,
         [](TarnixMsg* s)
         {
             uint32_t v[] = {1};
             tarnixMsg_setVectorOf(s, nullptr, 0, 1, TARNIX_TYPE_VUINT32, v, 1, false);
         },
         "18 07 27 00 00 00 01"},
        {"VPRICE v2 two elements", 2,
         [](TarnixMsg* s)
         {
             TarnixPrice v[] = {{1.0, 0}, {2.0, 1}};
             tarnixMsg_setVectorPriceRecords(s, nullptr, 0, 1, v, 2, false);
         },
         "18 17 31 00 09 3F F0 00 00 00 00 00 00 00 40 00 00 00 00 00 00 00 01"},
        {"VPRICE v1", 1,
         [](TarnixMsg* s)
         {
             TarnixPrice v[] = {{1.0, 3}};
             tarnixMsg_setVectorPriceRecords(s, nullptr, 0, 1, v, 1, false);
         },
         "18 0C 31 3F F0 00 00 00 00 00 00 03"},
        {"VDATETIME v2", 2,
         [](TarnixMsg* s)
         {
             TarnixDateTime v[] = {{2, 3, 4, 5}};
             tarnixMsg_setVectorDateTimeRecords(s, nullptr, 0, 1, v, 1, false);
         },
         "18 13 30 00 0E 00 00 00 00 00 00 00 02 00 00 00 03 04 05"},
        {"VDATETIME v1", 1,
         [](TarnixMsg* s)
         {
             TarnixDateTime v[] = {{2, 3000, 4, 5}};
             tarnixMsg_setVectorDateTimeRecords(s, nullptr, 0, 1, v, 1, false);
         },
         "18 0B 30 00 00 00 02 45 00 00 03"},
    };
    for (const Case& c : cases)
    {
        VersionScope version(c.version);
        Payload p;
        c.fill(p.store());
        Bytes message = p.serialize();
        std::string item = hexText(firstValueItem(message));
        std::string want = hexText(hexBytes(c.item));
        EXPECT_EQ(want, item.substr(0, want.size())) << c.what;
        EXPECT_EQ(c.version, message.at(1)) << c.what;
        /* The container length always covers the whole message. */
        uint32_t L = static_cast<uint32_t>(message[3]) << 24 | message[4] << 16 | message[5] << 8 | message[6];
        EXPECT_EQ(message.size(), L + 2u) << c.what;
    }
}

TEST(Wire, EmptyMessageInBothVersions)
{
    for (uint8_t v : {1, 2})
    {
        VersionScope version(v);
        Payload p;
        Bytes expected = {0x31, v, 0x2F, 0, 0, 0, 5};
        EXPECT_EQ(hexText(expected), hexText(p.serialize()));
        Payload back;
        ASSERT_EQ(MAMA_STATUS_OK, back.decode(expected));
        EXPECT_EQ(0u, back.fields());
    }
}

TEST(Wire, FieldsGoOutInFidOrderWhateverTheAddOrder)
{
    Payload p;
    tarnixmsgPayload_addI32(p, nullptr, 9, 9);
    tarnixmsgPayload_addI32(p, nullptr, 2, 2);
    tarnixmsgPayload_addI32(p, nullptr, 5, 5);
    Bytes m = p.serialize();
    ASSERT_EQ(7u + 3 * 10, m.size());
    EXPECT_EQ(2, m[10]);
    EXPECT_EQ(5, m[20]);
    EXPECT_EQ(9, m[30]);
}

TEST(Wire, FidZeroCannotBeSerialized)
{
    Payload p;
    tarnixmsgPayload_addI32(p, nullptr, 3, 3);
    tarnixmsgPayload_addI32(p, "local", 0, 1);
    const void* buffer = nullptr;
    mama_size_t size = 0;
    LogCapture log;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixmsgPayload_serialize(p, &buffer, &size));
    EXPECT_TRUE(log.contains("Warn TARNIX-PL-Bridge: (tarnixCodec.cpp:"));
    EXPECT_TRUE(log.contains("tarnixmsgPayload_serialize(): Fid is 0 in message. Serialize failed.")) << log.all();

    /* Inside a sub-message it fails the outer message too. */
    Payload outer;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixMsg_setMsg(outer.store(), nullptr, 0, 1, p.impl()));
    EXPECT_EQ(MAMA_STATUS_PLATFORM, tarnixmsgPayload_serialize(outer, &buffer, &size));
    EXPECT_TRUE(log.contains("tarnixmsgPayload_serialize TXM fail")) << log.all();
}

TEST(Wire, VersionOneRefusesDateTimesItCannotCarry)
{
    VersionScope version(1);
    Payload p;
    tarnixMsg_setDateTimeRecord(p.store(), nullptr, 0, 1, TarnixDateTime{0x800000000LL, 0, 6, 0});
    const void* buffer = nullptr;
    mama_size_t size = 0;
    LogCapture log;
    EXPECT_EQ(MAMA_STATUS_PLATFORM, tarnixmsgPayload_serialize(p, &buffer, &size));
    EXPECT_TRUE(log.contains("tarnixmsgPayload_serialize DATETIME fail")) << log.all();
}

TEST(Wire, RoundTripOfEveryTypeInBothVersions)
{
    for (uint8_t v : {1, 2})
    {
        VersionScope version(v);
        Payload p;
        mama_fid_t next = addEveryType(p.store(), 1, false);
        addEveryType(p.store(), next, true);
        Bytes bytes = p.serialize();
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(v, bytes[1]);

        Payload back;
        ASSERT_EQ(MAMA_STATUS_OK, back.decode(bytes)) << "version " << int(v);
        std::string why;
        EXPECT_TRUE(samePayload(p.impl(), back.impl(), &why)) << "version " << int(v) << ": " << why;
        /* The reader keeps nothing of the caller's bytes. */
        std::fill(bytes.begin(), bytes.end(), 0xAA);
        EXPECT_TRUE(samePayload(p.impl(), back.impl(), &why)) << why;
    }
}

TEST(Wire, ReaderFollowsTheVersionOfTheMessageNotTheLocalOne)
{
    Bytes v1;
    {
        VersionScope version(1);
        Payload p;
        tarnixMsg_setDateTimeRecord(p.store(), nullptr, 0, 1, TarnixDateTime{7, 8000, 9, 1});
        v1 = p.serialize();
    }
    VersionScope version(2);
    Payload back;
    ASSERT_EQ(MAMA_STATUS_OK, back.decode(v1));
    const TarnixDateTime& dt = tarnixMsg_find(back.store(), nullptr, 1)->field.value.dateTime;
    EXPECT_EQ(7, dt.seconds);
    EXPECT_EQ(8000u, dt.nanoseconds);
    EXPECT_EQ(9, dt.precision);
    EXPECT_EQ(1, dt.hints);
}

TEST(WireReader, AcceptsLongerBuffersAndLenientVectorLayouts)
{
    /* Bytes after the message are ignored. */
    Payload p;
    EXPECT_EQ(MAMA_STATUS_OK, p.decode(hexBytes("31 02 2F 00 00 00 05 FF FF")));

    /* Version 1 date-time vector of 17 bytes: two elements, the last byte ignored. */
    Payload v1;
    ASSERT_EQ(MAMA_STATUS_OK, v1.decode(hexBytes("31 01 2F 00 00 00 1D 0C 04 00 01 18 14 30"
                                                 "00 00 00 01 00 00 00 00 00 00 00 02 00 00 00 00 77")));
    EXPECT_EQ(2u, tarnixMsg_find(v1.store(), nullptr, 1)->field.count);

    /* Version 2 element size 16: 14 bytes read, 2 skipped per element. */
    Payload v2;
    ASSERT_EQ(MAMA_STATUS_OK, v2.decode(hexBytes("31 02 2F 00 00 00 1E 0C 04 00 01 18 15 30 00 10"
                                                 "00 00 00 00 00 00 00 05 00 00 00 06 07 08 EE EE")));
    TarnixField& f = tarnixMsg_find(v2.store(), nullptr, 1)->field;
    ASSERT_EQ(1u, f.count);
    EXPECT_EQ(5, f.value.dateTimes[0].seconds);
    EXPECT_EQ(6u, f.value.dateTimes[0].nanoseconds);
    EXPECT_EQ(7, f.value.dateTimes[0].precision);
    EXPECT_EQ(8, f.value.dateTimes[0].hints);

    /* Fields out of fid order are stored in order; a repeated fid keeps the later value. */
    Payload order;
    ASSERT_EQ(MAMA_STATUS_OK, order.decode(hexBytes("31 02 2F 00 00 00 1A 0C 04 00 09 0C 03 01"
                                                    "0C 04 00 02 0C 03 02 0C 04 00 09 0C 03 03")));
    EXPECT_EQ((std::vector<mama_fid_t>{2, 9}), order.fids());
    EXPECT_EQ(3, tarnixMsg_find(order.store(), nullptr, 9)->field.value.u8);
}

namespace
{

std::string zeros(size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += " 00";
    return out;
}

/* A message holding one field, fid 1, made of the given value bytes. */
Bytes oneField(const std::string& itemHex, uint8_t version = 2)
{
    Bytes item = hexBytes(itemHex);
    Bytes m = {0x31, version, 0x2F, 0, 0, 0, 0, 0x0C, 0x04, 0x00, 0x01};
    m.insert(m.end(), item.begin(), item.end());
    uint32_t L = static_cast<uint32_t>(m.size() - 2);
    m[3] = static_cast<uint8_t>(L >> 24);
    m[4] = static_cast<uint8_t>(L >> 16);
    m[5] = static_cast<uint8_t>(L >> 8);
    m[6] = static_cast<uint8_t>(L);
    return m;
}

} // namespace

TEST(WireReader, EveryRefusalWithItsStatusAndMessage)
{
    struct Case
    {
        const char* what;
        Bytes bytes;
        mama_status status;
        const char* log; /* expected text; "" means the plug-in logs nothing */
    } cases[] = {
        {"bad marker", hexBytes("32 02 2F 00 00 00 05"), MAMA_STATUS_PLATFORM, ""},
        {"version 0", hexBytes("31 00 2F 00 00 00 05"), MAMA_STATUS_PLATFORM, ""},
        {"version 3", hexBytes("31 03 2F 00 00 00 05"), MAMA_STATUS_PLATFORM, ""},
        {"version -1", hexBytes("31 FF 2F 00 00 00 05"), MAMA_STATUS_PLATFORM, ""},
        {"marker only", hexBytes("31"), MAMA_STATUS_PLATFORM, ""},
        {"no container", hexBytes("31 02"), MAMA_STATUS_PLATFORM, "ends before its container"},
        {"container tag 10", hexBytes("31 02 2B 00 00 00 05"), MAMA_STATUS_PLATFORM, "Unexpected payload tag 10"},
        {"one byte short", hexBytes("31 02 2F 00 00 00 0C 0C 04 00 01 0C 03"), MAMA_STATUS_PLATFORM,
         "Pass in buffer length (13) smaller than what is indicated in the payload (14)"},
        {"container shorter than its header", hexBytes("31 02 2F 00 00 00 02"), MAMA_STATUS_PLATFORM,
         "shorter than its header"},
        {"fid item of another length", hexBytes("31 02 2F 00 00 00 0D 0C 05 00 01 00 0C 03 05"),
         MAMA_STATUS_INVALID_ARG, ""},
        {"fid 0", hexBytes("31 02 2F 00 00 00 0C 0C 04 00 00 0C 03 05"), MAMA_STATUS_INVALID_ARG,
         "Field with fid 0 in message"},
        {"fid item beyond the message", hexBytes("31 02 2F 00 00 00 08 0C 04 00"), MAMA_STATUS_INVALID_ARG,
         "Field beyond buffer boundary. Current msg content: {}"},
        {"no value item", hexBytes("31 02 2F 00 00 00 09 0C 04 00 01"), MAMA_STATUS_INVALID_ARG,
         "Field beyond buffer boundary"},
        {"value item beyond the message", oneField("1C 09 61 00"), MAMA_STATUS_INVALID_ARG,
         "Field beyond buffer boundary"},
        {"name without NUL", oneField("18 04 65 78 0C 03 05"), MAMA_STATUS_INVALID_ARG,
         "Fieldname string does not end with null: fid=1"},
        {"empty name", oneField("18 03 65 0C 03 05"), MAMA_STATUS_INVALID_ARG,
         "Fieldname string does not end with null: fid=1"},
        {"name but no value", oneField("18 05 65 78 00"), MAMA_STATUS_INVALID_ARG, "Field beyond buffer boundary"},
        {"empty string", oneField("1C 02"), MAMA_STATUS_INVALID_ARG,
         "String field integrity error, fid=1, string length=0"},
        {"string without NUL", oneField("1C 04 68 69"), MAMA_STATUS_INVALID_ARG,
         "String field integrity error, fid=1, string length=2"},
        {"INT32 with a two-byte length", oneField("09 00 07 00 00 00 01"), MAMA_STATUS_INVALID_ARG,
         "Unknown Tarnix Field type for fid: 1, fname:'', ftype: 2"},
        {"unsigned of three bytes", oneField("0C 05 00 00 01"), MAMA_STATUS_INVALID_ARG,
         "Unknown Tarnix Field type for fid: 1, fname:'', ftype: 3"},
        {"named unknown tag", oneField("18 05 65 6E 00 24 02"), MAMA_STATUS_INVALID_ARG,
         "Unknown Tarnix Field type for fid: 1, fname:'n', ftype: 9"},
        {"item shorter than its header", oneField("1C 01"), MAMA_STATUS_INVALID_ARG, "shorter than its own header"},
        {"byte array without subtag", oneField("18 02"), MAMA_STATUS_INVALID_ARG, "without subtag"},
        {"unknown subtag", oneField("18 03 63"), MAMA_STATUS_INVALID_ARG, "Unknown subtag: 99"},
        {"short date-time v2", oneField("18 0A 1A 00 00 00 00 00 00 00"), MAMA_STATUS_INVALID_ARG,
         "Date time field too short"},
        {"short date-time v1", oneField("18 05 1A 00 00 00", 1), MAMA_STATUS_INVALID_ARG, "Date time field too short"},
        {"short price", oneField("18 0A 1B 00 00 00 00 00 00 00"), MAMA_STATUS_INVALID_ARG, "Price field too short"},
        {"date-time vector element size 13", oneField("18 05 30 00 0D"), MAMA_STATUS_PLATFORM,
         "Mama Date Time Vector element size: 13, is too small. For field fid: 1 name: "},
        {"date-time vector without element size", oneField("18 04 30 00"), MAMA_STATUS_INVALID_ARG,
         "Mama Date Time Vector without element size"},
        {"date-time vector inconsistent", oneField("18 14 30 00 0E" + zeros(15)), MAMA_STATUS_PLATFORM,
         "Mama Date Time Vector payload size, 17 and element size: 14, not consistent. Decoded 1 elements, "
         "with 2 overhead, found 1 remaining bytes in date time Vector. For field fid: 1 name: "},
        {"price vector 2 + 9 x 3 + 1", oneField("18 21 31 00 09" + zeros(28)), MAMA_STATUS_PLATFORM,
         "Mama Price Vector payload size, 30 and element size: 9, not consistent. Decoded 3 elements, "
         "with 2 overhead, found 1 remaining bytes in price Vector. For field fid: 1 name: "},
        {"price vector element size 8", oneField("18 05 31 00 08"), MAMA_STATUS_PLATFORM,
         "Mama Price Vector element size: 8, is too small. For field fid: 1 name: "},
        {"string vector count beyond its content", oneField("1B 00 00 00 0A 2E 00 00 00 05"), MAMA_STATUS_INVALID_ARG,
         "implUnserializeStringVector end of buffer reached"},
        {"string vector huge count", oneField("1B 00 00 00 0D 2E FF FF FF FF 1C 02 00"), MAMA_STATUS_INVALID_ARG,
         "implUnserializeStringVector end of buffer reached"},
        {"string vector element beyond", oneField("1B 00 00 00 0D 2E 00 00 00 01 1C 09 61"), MAMA_STATUS_INVALID_ARG,
         "array index=0"},
        {"string vector element without NUL", oneField("1B 00 00 00 0E 2E 00 00 00 01 1C 03 61 00"),
         MAMA_STATUS_INVALID_ARG, "implUnserializeStringVector vector string integrity error: array index=0"},
        {"string vector short", oneField("1B 00 00 00 07 2E 00 00"), MAMA_STATUS_INVALID_ARG,
         "implUnserializeStringVector end of buffer reached"},
        {"message vector element beyond", oneField("1B 00 00 00 0E 2F 00 00 00 01 18 09 01 31"), MAMA_STATUS_PLATFORM,
         "implUnserializeMsgVector end of buffer"},
        {"message vector huge count", oneField("1B 00 00 00 0A 2F FF FF FF FF"), MAMA_STATUS_PLATFORM,
         "implUnserializeMsgVector end of buffer"},
        {"message vector bad element", oneField("1B 00 00 00 0E 2F 00 00 00 01 18 04 01 32"), MAMA_STATUS_PLATFORM, ""},
        {"malformed sub-message", oneField("18 04 01 32"), MAMA_STATUS_PLATFORM, ""},
        {"truncated sub-message", oneField("18 0D 01 31 02 2F 00 00 00 08 0C 04 00"), MAMA_STATUS_INVALID_ARG,
         "Field beyond buffer boundary"},
        {"INT32 then STRING on fid 7",
         hexBytes("31 02 2F 00 00 00 18 0C 04 00 07 08 06 00 00 00 01 0C 04 00 07 1C 05 68 69 00"),
         MAMA_STATUS_WRONG_FIELD_TYPE, ""},
    };
    for (const Case& c : cases)
    {
        Payload p;
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addI32(p, "before", 500, 1));
        LogCapture log;
        EXPECT_EQ(c.status, p.decode(c.bytes)) << c.what << ": " << hexText(c.bytes);
        if (*c.log)
        {
            EXPECT_TRUE(log.contains(c.log)) << c.what << " logged:\n" << log.all();
        }
        else
        {
            EXPECT_FALSE(log.contains("TARNIX-PL-Bridge")) << c.what << " logged:\n" << log.all();
        }
        bool untouched = c.status == MAMA_STATUS_PLATFORM && c.bytes.size() >= 2 &&
                         (c.bytes[0] != 0x31 || c.bytes[1] == 0 || c.bytes[1] > 2);
        if (untouched || c.bytes.size() < 2)
        {
            EXPECT_EQ(1u, p.fields()) << c.what << ": the payload keeps its fields";
        }
    }
}

TEST(WireReader, NullArgumentsAndFieldsKeptUpToTheFailure)
{
    Payload p;
    Bytes ok = hexBytes("31 02 2F 00 00 00 05");
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_unSerialize(nullptr, ok.data(), ok.size()));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_unSerialize(p, nullptr, 7));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_unSerialize(p, ok.data(), 0));

    /* fid 3 decodes, fid 7 is refused as a STRING after its INT32. */
    Bytes bad = hexBytes("31 02 2F 00 00 00 1F 0C 04 00 03 0C 03 09 0C 04 00 07 08 06 00 00 00 01"
                         "0C 04 00 07 1C 05 68 69 00");
    EXPECT_EQ(MAMA_STATUS_WRONG_FIELD_TYPE, p.decode(bad));
    EXPECT_EQ((std::vector<mama_fid_t>{3, 7}), p.fids());
    EXPECT_EQ(TARNIX_TYPE_INT32, tarnixMsg_find(p.store(), nullptr, 7)->field.type);
}

TEST(WireReader, RefusesNestingDeeperThanTheLimit)
{
    auto nested = [](int depth)
    {
        Bytes m = hexBytes("31 02 2F 00 00 00 05");
        for (int i = 0; i < depth; ++i)
        {
            Bytes outer = {0x31, 0x02, 0x2F, 0, 0, 0, 0, 0x0C, 0x04, 0x00, 0x01};
            size_t content = m.size() + 1;
            if (content <= 253)
            {
                outer.push_back(0x18);
                outer.push_back(static_cast<uint8_t>(content + 2));
            }
            else
            {
                outer.push_back(0x19);
                outer.push_back(static_cast<uint8_t>((content + 3) >> 8));
                outer.push_back(static_cast<uint8_t>(content + 3));
            }
            outer.push_back(0x01);
            outer.insert(outer.end(), m.begin(), m.end());
            uint32_t L = static_cast<uint32_t>(outer.size() - 2);
            outer[5] = static_cast<uint8_t>(L >> 8);
            outer[6] = static_cast<uint8_t>(L);
            m = outer;
        }
        return m;
    };
    Payload p;
    EXPECT_EQ(MAMA_STATUS_OK, p.decode(nested(tarnix::MAX_NESTING)));
    LogCapture log;
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, p.decode(nested(tarnix::MAX_NESTING + 1)));
    EXPECT_TRUE(log.contains("Sub-messages nested deeper than 64 levels")) << log.all();
}
