/* Text rendering of fields and whole messages. */
#include "payloadTestSupport.h"

#include <cstring>
#include <string>

namespace
{

std::string fieldText(const Payload& p, mama_fid_t fid, size_t length = 256)
{
    std::string buffer(length, '\x7f');
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getFieldAsString(p, nullptr, fid, &buffer[0], length));
    return buffer.c_str();
}

std::string handleText(const Payload& p, mama_fid_t fid, size_t length = 256)
{
    msgFieldPayload f = nullptr;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getField(p, nullptr, fid, &f));
    std::string buffer(length, '\x7f');
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgFieldPayload_getAsString(f, p, &buffer[0], length));
    return buffer.c_str();
}

} // namespace

TEST(Text, MessageTextListsFieldsWithTypePrefixes)
{
    Payload p;
    EXPECT_EQ("{}", p.text());
    tarnixmsgPayload_addBool(p, "A", 1, 1);
    tarnixmsgPayload_addString(p, nullptr, 2, "x");
    tarnixmsgPayload_addI32(p, nullptr, 7, -5);
    EXPECT_EQ("{[A:1]=BOOL:1[2]=STRING:x[7]=INT32:-5}", p.text());
}

TEST(Text, ScalarsHaveNoPrefixOutsideTheMessageText)
{
    Payload p;
    tarnixmsgPayload_addI32(p, nullptr, 7, -5);
    tarnixmsgPayload_addU64(p, nullptr, 8, 18446744073709551615ull);
    tarnixmsgPayload_addI64(p, nullptr, 9, -9000000000ll);
    tarnixmsgPayload_addChar(p, nullptr, 10, 'z');
    tarnixmsgPayload_addOpaque(p, nullptr, 11, "0123456789", 10);
    tarnixmsgPayload_addF64(p, nullptr, 12, 2.5);
    struct Case
    {
        mama_fid_t fid;
        const char* text;
    } cases[] = {{7, "-5"},       {8, "18446744073709551615"}, {9, "-9000000000"}, {10, "z"}, {11, "10 bytes"},
                 {12, "2.500000"}};
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.text, fieldText(p, c.fid)) << c.fid;
        EXPECT_EQ(c.text, handleText(p, c.fid)) << c.fid;
    }
}

TEST(Text, VectorsArePrefixedOnlyByFidLookup)
{
    Payload p;
    const mama_i16_t v[] = {1, -2};
    tarnixmsgPayload_addVectorI16(p, nullptr, 1, v, 2);
    EXPECT_EQ("VINT16:{1,-2,}", fieldText(p, 1));
    EXPECT_EQ("{1,-2,}", handleText(p, 1));

    const char* s[] = {"a", "b"};
    tarnixmsgPayload_addVectorString(p, nullptr, 2, s, 2);
    EXPECT_EQ("VSTRING:{a,b,}", fieldText(p, 2));

    TarnixPrice prices[] = {{1.5, 0}, {2.25, 0}};
    tarnixMsg_setVectorPriceRecords(p.store(), nullptr, 0, 3, prices, 2, false);
    EXPECT_EQ("{1.500000,2.250000}", handleText(p, 3));
}

TEST(Text, CutVectorsEndWithAnEllipsisAndNeverPassTheBuffer)
{
    Payload p;
    mama_i32_t many[40];
    for (int i = 0; i < 40; ++i)
        many[i] = 1000 + i;
    tarnixmsgPayload_addVectorI32(p, nullptr, 1, many, 40);
    for (size_t length : {6u, 7u, 20u, 33u})
    {
        std::string buffer(length + 8, '#');
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getFieldAsString(p, nullptr, 1, &buffer[0], length));
        std::string text = buffer.c_str();
        EXPECT_EQ(length - 1, text.size()) << length;
        EXPECT_EQ("...}", text.substr(text.size() - 4)) << text;
        EXPECT_EQ(std::string(8, '#'), buffer.substr(length)) << "wrote past " << length;
    }
}

TEST(Text, BuffersTooSmallForAnythingStayTerminated)
{
    Payload p;
    tarnixmsgPayload_addString(p, nullptr, 1, "a long enough string value");
    msgPayload sub = nullptr;
    tarnixmsgPayload_create(&sub);
    tarnixMsg_setVectorMsg(p.store(), nullptr, 0, 2, reinterpret_cast<TarnixPayloadImpl**>(&sub), 1, false);
    tarnixmsgPayload_destroy(sub);

    for (size_t length : {1u, 2u, 5u})
    {
        std::string buffer(length + 4, '#');
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getFieldAsString(p, nullptr, 1, &buffer[0], length));
        EXPECT_EQ('\0', buffer[strlen(buffer.c_str())]);
        EXPECT_LT(strlen(buffer.c_str()), length);
        EXPECT_EQ("####", buffer.substr(length));
    }
    /* A message vector needs 13 bytes before it shows anything. */
    EXPECT_EQ("", fieldText(p, 2, 12));
    EXPECT_EQ("VTXM:{{}, }", fieldText(p, 2, 64));

    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixmsgPayload_getFieldAsString(p, nullptr, 1, &std::string(4, ' ')[0], 0));
    char b[8];
    EXPECT_EQ(MAMA_STATUS_NOT_FOUND, tarnixmsgPayload_getFieldAsString(p, nullptr, 9, b, sizeof b));
    EXPECT_EQ(MAMA_STATUS_NULL_ARG, tarnixmsgPayload_getFieldAsString(p, nullptr, 0, b, sizeof b));
    EXPECT_EQ(MAMA_STATUS_INVALID_ARG, tarnixmsgPayload_getFieldAsString(p, "", 0, b, sizeof b));
}

TEST(Text, LongMessagesAreCutAfterTenThousandCharacters)
{
    Payload p;
    std::string value(400, 'v');
    for (mama_fid_t fid = 1; fid <= 40; ++fid)
        tarnixmsgPayload_addString(p, nullptr, fid, value.c_str());
    std::string text = p.text();
    EXPECT_EQ("Truncated}", text.substr(text.size() - 10));
    EXPECT_GT(text.size(), 10240u);
    EXPECT_LT(text.size(), 10240u + 512u + 32u);
    EXPECT_EQ(std::string::npos, text.find("[40]="));
}

TEST(Text, DateTimesBefore1601ShowEpochSeconds)
{
    Payload p;
    tarnixMsg_setDateTimeRecord(p.store(), nullptr, 0, 1, TarnixDateTime{-12000000000LL, 0, 0, 0});
    EXPECT_EQ("-12000000000.000000", handleText(p, 1));
    tarnixMsg_setDateTimeRecord(p.store(), nullptr, 0, 2,
                                TarnixDateTime{86400 + 3661, 0, 0, MAMA_DATE_TIME_HAS_DATE | MAMA_DATE_TIME_HAS_TIME});
    EXPECT_EQ("1970-01-02 01:01:01", handleText(p, 2));
}
