#include "tarnixCodec.h"

#include "tarnixDatabase.h"
#include "tarnixField.h"
#include "tarnixLog.h"
#include "tarnixPayload.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace tarnix
{

namespace
{

constexpr uint8_t kPreambleSize = 2;
constexpr uint8_t kMinMessageSize = 7; /* preamble and container header */

/* Two header bytes of the fixed-size scalar items, as one key. */
constexpr uint16_t key(uint8_t tagByte, uint8_t length)
{
    return static_cast<uint16_t>(tagByte << 8 | length);
}
constexpr uint16_t KEY_BOOL = key(0x04, 0x03);
constexpr uint16_t KEY_U8 = key(0x0C, 0x03);
constexpr uint16_t KEY_I8 = key(0x08, 0x03);
constexpr uint16_t KEY_U16 = key(0x0C, 0x04);
constexpr uint16_t KEY_I16 = key(0x08, 0x04);
constexpr uint16_t KEY_U32 = key(0x0C, 0x06);
constexpr uint16_t KEY_I32 = key(0x08, 0x06);
constexpr uint16_t KEY_U64 = key(0x0C, 0x0A);
constexpr uint16_t KEY_I64 = key(0x08, 0x0A);
constexpr uint16_t KEY_F32 = key(0x10, 0x06);
constexpr uint16_t KEY_F64 = key(0x10, 0x0A);
constexpr uint16_t KEY_CHAR = key(0x14, 0x04);
constexpr uint16_t KEY_FID = key(0x0C, 0x04);

/* Byte-array subtags: OpenMAMA's field type numbers. */
enum Subtag : uint8_t
{
    SUB_MSG = MAMA_FIELD_TYPE_MSG,
    SUB_OPAQUE = MAMA_FIELD_TYPE_OPAQUE,
    SUB_DATETIME = MAMA_FIELD_TYPE_TIME,
    SUB_PRICE = MAMA_FIELD_TYPE_PRICE,
    SUB_VBOOL = MAMA_FIELD_TYPE_VECTOR_BOOL,
    SUB_VCHAR = MAMA_FIELD_TYPE_VECTOR_CHAR,
    SUB_VI8 = MAMA_FIELD_TYPE_VECTOR_I8,
    SUB_VU8 = MAMA_FIELD_TYPE_VECTOR_U8,
    SUB_VI16 = MAMA_FIELD_TYPE_VECTOR_I16,
    SUB_VU16 = MAMA_FIELD_TYPE_VECTOR_U16,
    SUB_VI32 = MAMA_FIELD_TYPE_VECTOR_I32,
    SUB_VU32 = MAMA_FIELD_TYPE_VECTOR_U32,
    SUB_VI64 = MAMA_FIELD_TYPE_VECTOR_I64,
    SUB_VU64 = MAMA_FIELD_TYPE_VECTOR_U64,
    SUB_VF32 = MAMA_FIELD_TYPE_VECTOR_F32,
    SUB_VF64 = MAMA_FIELD_TYPE_VECTOR_F64,
    SUB_VSTRING = MAMA_FIELD_TYPE_VECTOR_STRING,
    SUB_VMSG = MAMA_FIELD_TYPE_VECTOR_MSG,
    SUB_VDATETIME = MAMA_FIELD_TYPE_VECTOR_TIME,
    SUB_VPRICE = MAMA_FIELD_TYPE_VECTOR_PRICE
};
static_assert(SUB_VPRICE == 49 && SUB_MSG == 1, "subtags are OpenMAMA's field type numbers");

/* ---- big-endian helpers --------------------------------------------------- */

inline void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t* p, uint32_t v)
{
    v = __builtin_bswap32(v);
    memcpy(p, &v, 4);
}
inline void put64(uint8_t* p, uint64_t v)
{
    v = __builtin_bswap64(v);
    memcpy(p, &v, 8);
}
inline uint16_t get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t get32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}
inline uint64_t get64(const uint8_t* p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
inline uint64_t doubleBits(double d)
{
    uint64_t v;
    memcpy(&v, &d, 8);
    return v;
}
inline double bitsDouble(uint64_t v)
{
    double d;
    memcpy(&d, &v, 8);
    return d;
}

inline uint16_t byteSwapped(uint16_t v)
{
    return __builtin_bswap16(v);
}
inline uint32_t byteSwapped(uint32_t v)
{
    return __builtin_bswap32(v);
}
inline uint64_t byteSwapped(uint64_t v)
{
    return __builtin_bswap64(v);
}

template <typename T>
void copySwappedAs(uint8_t* to, const uint8_t* from, size_t count)
{
    for (size_t i = 0; i < count; ++i, to += sizeof(T), from += sizeof(T))
    {
        T v;
        memcpy(&v, from, sizeof v);
        v = byteSwapped(v);
        memcpy(to, &v, sizeof v);
    }
}

/* Copies count elements of size bytes, reversing each element's bytes. */
void copySwapped(uint8_t* to, const uint8_t* from, size_t count, size_t size)
{
    switch (size)
    {
        case 1: memcpy(to, from, count); break;
        case 2: copySwappedAs<uint16_t>(to, from, count); break;
        case 4: copySwappedAs<uint32_t>(to, from, count); break;
        case 8: copySwappedAs<uint64_t>(to, from, count); break;
        default: break;
    }
}

/* Version-1 date-time: 35 bits of seconds, a sign flag and microseconds. */
constexpr int64_t kV1MaxSeconds = 0x7FFFFFFFFLL;

bool packableV1(const TarnixDateTime& dt)
{
    return dt.seconds >= -kV1MaxSeconds && dt.seconds <= kV1MaxSeconds && dt.precision <= 15 && dt.hints <= 15 &&
           dt.nanoseconds < 1000000000u;
}

uint64_t packV1(const TarnixDateTime& dt)
{
    uint64_t seconds = static_cast<uint64_t>(dt.seconds);
    uint64_t packed = (seconds & 0xFFFFFFFFu) << 32;
    packed |= static_cast<uint64_t>(dt.precision & 0x0F) << 28;
    packed |= static_cast<uint64_t>(dt.hints & 0x0F) << 24;
    if (dt.seconds < 0)
        packed |= 1u << 23;
    packed |= ((seconds >> 32) & 0x7) << 20;
    packed |= (dt.nanoseconds / 1000) & 0xFFFFF;
    return packed;
}

TarnixDateTime unpackV1(uint64_t packed)
{
    TarnixDateTime dt;
    uint64_t seconds = (packed >> 32) | (((packed >> 20) & 0x7) << 32);
    if (packed & (1u << 23))
        seconds |= ~static_cast<uint64_t>(0x7FFFFFFFFULL);
    dt.seconds = static_cast<int64_t>(seconds);
    dt.nanoseconds = static_cast<uint32_t>(packed & 0xFFFFF) * 1000;
    dt.precision = static_cast<uint8_t>((packed >> 28) & 0x0F);
    dt.hints = static_cast<uint8_t>((packed >> 24) & 0x0F);
    return dt;
}

void putDateTimeV2(uint8_t* p, const TarnixDateTime& dt)
{
    put64(p, static_cast<uint64_t>(dt.seconds));
    put32(p + 8, dt.nanoseconds);
    p[12] = dt.precision;
    p[13] = dt.hints;
}

TarnixDateTime getDateTimeV2(const uint8_t* p)
{
    TarnixDateTime dt;
    dt.seconds = static_cast<int64_t>(get64(p));
    dt.nanoseconds = get32(p + 8);
    dt.precision = p[12];
    dt.hints = p[13];
    return dt;
}

void putPrice(uint8_t* p, const TarnixPrice& price)
{
    put64(p, doubleBits(price.value));
    p[8] = price.hints;
}

TarnixPrice getPrice(const uint8_t* p)
{
    TarnixPrice price;
    price.value = bitsDouble(get64(p));
    price.hints = p[8];
    return price;
}

/* Subtag and element size of the numeric vector types. */
struct VectorWire
{
    int32_t type;
    uint8_t subtag;
    uint8_t size;
};
constexpr VectorWire kVectors[] = {
    {TARNIX_TYPE_VBOOL, SUB_VBOOL, 1},  {TARNIX_TYPE_VUINT8, SUB_VU8, 1},   {TARNIX_TYPE_VINT8, SUB_VI8, 1},
    {TARNIX_TYPE_VUINT16, SUB_VU16, 2}, {TARNIX_TYPE_VINT16, SUB_VI16, 2},  {TARNIX_TYPE_VUINT32, SUB_VU32, 4},
    {TARNIX_TYPE_VINT32, SUB_VI32, 4},  {TARNIX_TYPE_VUINT64, SUB_VU64, 8}, {TARNIX_TYPE_VINT64, SUB_VI64, 8},
    {TARNIX_TYPE_VWCHAR, SUB_VCHAR, 1}, {TARNIX_TYPE_VFLOAT, SUB_VF32, 4},  {TARNIX_TYPE_VDOUBLE, SUB_VF64, 8},
};

const VectorWire* vectorByType(int32_t type)
{
    for (const VectorWire& v : kVectors)
        if (v.type == type)
            return &v;
    return nullptr;
}

const VectorWire* vectorBySubtag(uint8_t subtag)
{
    for (const VectorWire& v : kVectors)
        if (v.subtag == subtag)
            return &v;
    return nullptr;
}

TarnixField* nextField(TarnixPayloadImpl* payload)
{
    return static_cast<TarnixField*>(tarnixmsgPayloadIter_next(payload->mIterator, nullptr, payload));
}

/* ---- writer ----------------------------------------------------------------- */

class Writer
{
public:
    Writer(uint8_t* start, uint8_t* end, uint8_t version) : mPos(start), mEnd(end), mVersion(version) {}

    uint8_t* pos() const { return mPos; }
    size_t left() const { return static_cast<size_t>(mEnd - mPos); }

    /* Item header for a content of n bytes; the content position, or null
     * when the item does not fit. */
    uint8_t* header(uint8_t tag, uint64_t n)
    {
        unsigned w = lengthWidth(n);
        uint64_t total = n + 1 + w;
        if (total > UINT32_MAX || total > left())
            return nullptr;
        *mPos++ = static_cast<uint8_t>(tag << 2 | (w - 1));
        for (unsigned i = w; i-- > 0;)
            *mPos++ = static_cast<uint8_t>(total >> (8 * i));
        uint8_t* content = mPos;
        mPos += n;
        return content;
    }

    bool fixed(uint16_t header, const void* value, size_t size)
    {
        if (left() < size + 2)
            return false;
        put16(mPos, header);
        copySwapped(mPos + 2, static_cast<const uint8_t*>(value), 1, size);
        mPos += size + 2;
        return true;
    }

    bool fid(mama_fid_t fid)
    {
        if (left() < 4)
            return false;
        put16(mPos, KEY_FID);
        put16(mPos + 2, fid);
        mPos += 4;
        return true;
    }

    bool name(const TarnixField& f)
    {
        uint8_t* c = header(TAG_BYTES, static_cast<uint64_t>(f.nameLen) + 1);
        if (!c)
            return false;
        c[0] = SUBTAG_NAME;
        memcpy(c + 1, f.name, f.nameLen);
        return true;
    }

    bool value(TarnixField& f);

private:
    bool string(const TarnixField& f);
    bool bytes(uint8_t subtag, const void* data, size_t size);
    bool dateTime(const TarnixField& f);
    bool price(const TarnixField& f);
    bool vector(const TarnixField& f, const VectorWire& wire);
    bool msgVector(const TarnixField& f);
    bool vectorDateTime(const TarnixField& f);
    bool vectorPrice(const TarnixField& f);
    bool subMessage(TarnixPayloadImpl* msg);

    uint8_t* mPos;
    uint8_t* mEnd;
    uint8_t mVersion;
};

bool Writer::string(const TarnixField& f)
{
    if (f.size == 0 || !f.value.str)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_serialize string of zero size unexpected, fid=%d",
                      static_cast<int>(f.fid));
        return false;
    }
    uint8_t* c = header(TAG_STRING, f.size);
    if (!c)
        return false;
    memcpy(c, f.value.str, f.size);
    return true;
}

bool Writer::bytes(uint8_t subtag, const void* data, size_t size)
{
    uint8_t* c = header(TAG_BYTES, static_cast<uint64_t>(size) + 1);
    if (!c)
        return false;
    c[0] = subtag;
    if (size)
        memcpy(c + 1, data, size);
    return true;
}

bool Writer::dateTime(const TarnixField& f)
{
    const TarnixDateTime dt = f.value.dateTime;
    if (mVersion == 1)
    {
        /* Refuse what version 1 cannot carry rather than send it altered. */
        if (!packableV1(dt))
            return false;
        uint8_t* c = header(TAG_BYTES, 9);
        if (!c)
            return false;
        c[0] = SUB_DATETIME;
        put64(c + 1, packV1(dt));
        return true;
    }
    uint8_t* c = header(TAG_BYTES, 15);
    if (!c)
        return false;
    c[0] = SUB_DATETIME;
    putDateTimeV2(c + 1, dt);
    return true;
}

bool Writer::price(const TarnixField& f)
{
    if (left() < 12)
        return false;
    mPos[0] = 0x18;
    mPos[1] = 0x0C;
    mPos[2] = SUB_PRICE;
    putPrice(mPos + 3, f.value.price);
    mPos += 12;
    return true;
}

bool Writer::vector(const TarnixField& f, const VectorWire& wire)
{
    uint64_t n = static_cast<uint64_t>(wire.size) * f.count + 1;
    uint8_t* c = header(TAG_BYTES, n);
    if (!c)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "implSerializeVector fail");
        return false;
    }
    c[0] = wire.subtag;
    copySwapped(c + 1, static_cast<const uint8_t*>(f.value.data), f.count, wire.size);
    return true;
}

bool Writer::subMessage(TarnixPayloadImpl* msg)
{
    const void* bytes = nullptr;
    mama_size_t size = 0;
    mama_status status = msg ? tarnixmsgPayload_serialize(msg, &bytes, &size) : MAMA_STATUS_NULL_ARG;
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_serialize msg encoding failed: %s",
                      mamaStatus_stringForStatus(status));
        return false;
    }
    uint8_t* c = header(TAG_BYTES, static_cast<uint64_t>(size) + 1);
    if (!c)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_serialize sub-message fail");
        return false;
    }
    c[0] = SUB_MSG;
    memcpy(c + 1, bytes, size);
    return true;
}

bool Writer::msgVector(const TarnixField& f)
{
    constexpr unsigned kHeader = 10;
    if (left() < kHeader)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "Insufficient space to write header; buf: %p; end: %p; headerSz: %u",
                      static_cast<void*>(mPos), static_cast<void*>(mEnd), kHeader);
        return false;
    }
    uint8_t* start = mPos;
    uint8_t subtag;
    if (f.type == TARNIX_TYPE_VSTRING)
    {
        subtag = SUB_VSTRING;
    }
    else if (f.type == TARNIX_TYPE_VTXM)
    {
        subtag = SUB_VMSG;
    }
    else
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "unexpected field type %d", f.type);
        return false;
    }
    start[0] = static_cast<uint8_t>(TAG_BYTES << 2 | 3);
    start[5] = subtag;
    put32(start + 6, f.count);
    mPos += kHeader;

    for (uint32_t i = 0; i < f.count; ++i)
    {
        if (f.type == TARNIX_TYPE_VSTRING)
        {
            const char* s = f.value.strings[i];
            size_t len = static_cast<size_t>(f.value.strings[i + 1] - s);
            uint8_t* c = header(TAG_STRING, len);
            if (!c)
            {
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "implSerializeMsgVector fail");
                return false;
            }
            memcpy(c, s, len);
        }
        else if (!subMessage(f.value.msgs[i]))
        {
            return false;
        }
    }
    uint64_t total = static_cast<uint64_t>(mPos - start);
    if (total > UINT32_MAX)
        return false;
    put32(start + 1, static_cast<uint32_t>(total));
    return true;
}

bool Writer::vectorDateTime(const TarnixField& f)
{
    size_t element = mVersion == 1 ? 8 : sizeof(TarnixDateTime);
    uint64_t n = static_cast<uint64_t>(element) * f.count + (mVersion == 1 ? 1 : 3);
    if (mVersion == 1)
    {
        for (uint32_t i = 0; i < f.count; ++i)
            if (!packableV1(f.value.dateTimes[i]))
                return false;
    }
    uint8_t* c = header(TAG_BYTES, n);
    if (!c)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "implSerializeVectorDateTime fail");
        return false;
    }
    *c++ = SUB_VDATETIME;
    if (mVersion != 1)
    {
        put16(c, static_cast<uint16_t>(element));
        c += 2;
    }
    for (uint32_t i = 0; i < f.count; ++i, c += element)
    {
        const TarnixDateTime dt = f.value.dateTimes[i];
        if (mVersion == 1)
            put64(c, packV1(dt));
        else
            putDateTimeV2(c, dt);
    }
    return true;
}

bool Writer::vectorPrice(const TarnixField& f)
{
    uint64_t n = static_cast<uint64_t>(sizeof(TarnixPrice)) * f.count + 1 + (mVersion >= 2 ? 2 : 0);
    uint8_t* c = header(TAG_BYTES, n);
    if (!c)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "implSerializeVectorPrice fail");
        return false;
    }
    *c++ = SUB_VPRICE;
    if (mVersion >= 2)
    {
        put16(c, sizeof(TarnixPrice));
        c += 2;
    }
    for (uint32_t i = 0; i < f.count; ++i, c += sizeof(TarnixPrice))
        putPrice(c, f.value.prices[i]);
    return true;
}

bool Writer::value(TarnixField& f)
{
    const TarnixValue& v = f.value;
    switch (f.type)
    {
        case TARNIX_TYPE_BOOL: return fixed(KEY_BOOL, &v.u8, 1);
        case TARNIX_TYPE_UINT8: return fixed(KEY_U8, &v.u8, 1);
        case TARNIX_TYPE_INT8: return fixed(KEY_I8, &v.u8, 1);
        case TARNIX_TYPE_UINT16: return fixed(KEY_U16, &v.u16, 2);
        case TARNIX_TYPE_INT16: return fixed(KEY_I16, &v.u16, 2);
        case TARNIX_TYPE_UINT32: return fixed(KEY_U32, &v.u32, 4);
        case TARNIX_TYPE_INT32: return fixed(KEY_I32, &v.u32, 4);
        case TARNIX_TYPE_UINT64: return fixed(KEY_U64, &v.u64, 8);
        case TARNIX_TYPE_INT64: return fixed(KEY_I64, &v.u64, 8);
        case TARNIX_TYPE_FLOAT: return fixed(KEY_F32, &v.u32, 4);
        case TARNIX_TYPE_DOUBLE: return fixed(KEY_F64, &v.u64, 8);
        case TARNIX_TYPE_WCHAR:
        {
            /* The character travels sign-extended to 16 bits. */
            uint16_t wide = static_cast<uint16_t>(static_cast<int16_t>(v.i8));
            return fixed(KEY_CHAR, &wide, 2);
        }
        case TARNIX_TYPE_STRING: return string(f);
        case TARNIX_TYPE_OPAQUE: return bytes(SUB_OPAQUE, v.data, f.count);
        case TARNIX_TYPE_TXM: return subMessage(v.msg);
        case TARNIX_TYPE_DATETIME: return dateTime(f);
        case TARNIX_TYPE_PRICE: return price(f);
        case TARNIX_TYPE_VSTRING:
        case TARNIX_TYPE_VTXM: return msgVector(f);
        case TARNIX_TYPE_VDATETIME: return vectorDateTime(f);
        case TARNIX_TYPE_VPRICE: return vectorPrice(f);
        default:
        {
            const VectorWire* wire = vectorByType(f.type);
            return wire && vector(f, *wire);
        }
    }
}

uint64_t itemEstimate(uint64_t n)
{
    return n + 1 + lengthWidth(n);
}

uint64_t valueEstimate(const TarnixField& f, uint8_t version)
{
    switch (f.type)
    {
        case TARNIX_TYPE_BOOL:
        case TARNIX_TYPE_UINT8:
        case TARNIX_TYPE_INT8: return 3;
        case TARNIX_TYPE_UINT16:
        case TARNIX_TYPE_INT16:
        case TARNIX_TYPE_WCHAR: return 4;
        case TARNIX_TYPE_UINT32:
        case TARNIX_TYPE_INT32:
        case TARNIX_TYPE_FLOAT: return 6;
        case TARNIX_TYPE_UINT64:
        case TARNIX_TYPE_INT64:
        case TARNIX_TYPE_DOUBLE: return 10;
        case TARNIX_TYPE_STRING: return itemEstimate(f.size);
        case TARNIX_TYPE_OPAQUE: return static_cast<uint64_t>(f.size) + 6;
        case TARNIX_TYPE_TXM: return (f.value.msg ? estimate(f.value.msg) : 0) + 6;
        case TARNIX_TYPE_DATETIME: return version == 1 ? 11 : 17;
        case TARNIX_TYPE_PRICE: return 12;
        case TARNIX_TYPE_VDATETIME:
            return itemEstimate(static_cast<uint64_t>(version == 1 ? 8 : 14) * f.count + 1 + (version > 1 ? 2 : 0));
        case TARNIX_TYPE_VPRICE: return itemEstimate(static_cast<uint64_t>(9) * f.count + 1 + (version > 1 ? 2 : 0));
        case TARNIX_TYPE_VSTRING: return 5 * (static_cast<uint64_t>(f.count) + 2) + f.size;
        case TARNIX_TYPE_VTXM:
        {
            uint64_t total = 10;
            for (uint32_t i = 0; i < f.count; ++i)
                total += 6 + (f.value.msgs[i] ? estimate(f.value.msgs[i]) : 0);
            return total;
        }
        default:
        {
            if (const VectorWire* wire = vectorByType(f.type))
                return itemEstimate(static_cast<uint64_t>(wire->size) * f.count + 1);
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "Unexpected field type %d", f.type);
            return 0;
        }
    }
}

/* One field: fid, name if it has one, then its value. */
mama_status writeField(Writer& out, TarnixField& f, const uint8_t* end)
{
    if (f.fid == 0)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "tarnixmsgPayload_serialize(): Fid is 0 in message. Serialize failed.");
        return MAMA_STATUS_INVALID_ARG;
    }
    if (!out.fid(f.fid))
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_serialize fail, current buffer %p, end %p",
                      static_cast<void*>(out.pos()), static_cast<const void*>(end));
        return MAMA_STATUS_PLATFORM;
    }
    if (f.name && f.nameLen && !out.name(f))
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_serialize fail to encode fieldname.");
        return MAMA_STATUS_PLATFORM;
    }
    if (f.type < 0 || f.type >= TARNIX_TYPE_COUNT || f.type == TARNIX_TYPE_UNUSED28)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_serialize(): Unknown field type: %d for fid %d, fname %s",
                      f.type, static_cast<int>(f.fid), f.name ? f.name : "");
        return MAMA_STATUS_PLATFORM;
    }
    if (!out.value(f))
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_serialize %s fail", tarnixField_typeName(f.type));
        return MAMA_STATUS_PLATFORM;
    }
    return MAMA_STATUS_OK;
}

} // namespace

unsigned lengthWidth(uint64_t n)
{
    if (n <= 253)
        return 1;
    if (n <= 65532)
        return 2;
    if (n <= 0xFFFFFB)
        return 3;
    return 4;
}

uint64_t estimate(TarnixPayloadImpl* payload)
{
    TarnixPayloadIter* iter = nullptr;
    if (tarnixmsgPayloadImpl_ownIterator(payload, &iter, true) != MAMA_STATUS_OK)
        return 0;
    uint8_t version = tarnixmsgPayload_getPayloadVersion();
    uint64_t total = kMinMessageSize;
    while (TarnixField* f = nextField(payload))
    {
        total += 4;
        if (f->name && f->nameLen)
            total += static_cast<uint64_t>(f->nameLen) + 6;
        total += valueEstimate(*f, version);
    }
    return total;
}

} // namespace tarnix

using namespace tarnix;

extern "C" mama_status tarnixmsgPayload_serialize(const msgPayload msg, const void** buffer, mama_size_t* bufferLength)
{
    auto* payload = static_cast<TarnixPayloadImpl*>(msg);
    if (!payload || !payload->mFields || !buffer || !bufferLength)
        return MAMA_STATUS_NULL_ARG;

    uint64_t needed = estimate(payload);
    TarnixPayloadIter* iter = nullptr;
    mama_status status = tarnixmsgPayloadImpl_ownIterator(payload, &iter);
    if (status != MAMA_STATUS_OK)
        return status;
    /* The container length is four bytes. */
    if (needed > static_cast<uint64_t>(UINT32_MAX) + kPreambleSize)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_serialize(): message too large: %" PRIu64 " bytes",
                      needed);
        return MAMA_STATUS_PLATFORM;
    }
    status = tarnixmsgPayloadImpl_reserveBuffer(&payload->mBuffer, &payload->mBufferSize, static_cast<size_t>(needed));
    if (status != MAMA_STATUS_OK)
        return status;

    uint8_t* start = payload->mBuffer;
    uint8_t* end = start + payload->mBufferSize;
    if (payload->mBufferSize < kMinMessageSize)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "Unable to header; buf_p: %p; endBuf_p: %p; size: %u",
                      static_cast<void*>(start), static_cast<void*>(end), kMinMessageSize);
        return MAMA_STATUS_PLATFORM;
    }

    uint8_t version = tarnixmsgPayload_getPayloadVersion();
    start[0] = static_cast<uint8_t>(TARNIX_PAYLOAD_ID);
    start[1] = version;
    Writer out(start + kMinMessageSize, end, version);

    while (TarnixField* f = nextField(payload))
    {
        status = writeField(out, *f, end);
        if (status != MAMA_STATUS_OK)
            return status;
    }

    uint64_t length = static_cast<uint64_t>(out.pos() - start) - kPreambleSize;
    start[2] = static_cast<uint8_t>(TAG_CONTAINER << 2 | 3);
    put32(start + 3, static_cast<uint32_t>(length));
    *buffer = start;
    *bufferLength = static_cast<mama_size_t>(length + kPreambleSize);
    return MAMA_STATUS_OK;
}

/* ---- reader ------------------------------------------------------------------ */

namespace tarnix
{
namespace
{

struct Item
{
    const uint8_t* start;
    const uint8_t* content;
    const uint8_t* end;
    size_t contentLength;
    unsigned tag;
    unsigned width;
};

enum class Parse
{
    Ok,
    Beyond,
    Short
};

/* Reads the item header at p; the item must lie before limit. */
inline __attribute__((always_inline)) Parse parseItem(const uint8_t* p, const uint8_t* limit, Item* item)
{
    if (p >= limit)
        return Parse::Beyond;
    item->start = p;
    item->tag = p[0] >> 2;
    item->width = (p[0] & 3u) + 1;
    size_t available = static_cast<size_t>(limit - p);
    if (available < 1 + item->width)
        return Parse::Beyond;
    uint32_t length = 0;
    for (unsigned i = 1; i <= item->width; ++i)
        length = length << 8 | p[i];
    if (length > available)
        return Parse::Beyond;
    if (length < 1 + item->width)
        return Parse::Short;
    item->content = p + 1 + item->width;
    item->end = p + length;
    item->contentLength = length - 1 - item->width;
    return Parse::Ok;
}

class Reader
{
public:
    Reader(TarnixPayloadImpl* payload, uint8_t version, int depth)
        : mPayload(payload), mStore(payload->mFields), mVersion(version), mDepth(depth)
    {
    }

    mama_status fields(const uint8_t* pos, const uint8_t* end);

private:
    mama_status boundary();
    mama_status shortItem(const Item& item);
    mama_status value(const Item& item);
    mama_status byteArray(const Item& item);
    mama_status subMessage(const uint8_t* data, size_t length);
    mama_status stringVector(const uint8_t* data, size_t length);
    mama_status msgVector(const uint8_t* data, size_t length);
    template <typename Record>
    using RecordSetter = mama_status (*)(TarnixMsg*, const char*, size_t, mama_fid_t, Record*, size_t, bool);
    template <typename Record, typename Decode>
    mama_status recordVector(int32_t type, RecordSetter<Record> setRecords, const char* what, const char* lowerWhat,
                             size_t v1Element, const uint8_t* data, size_t length, Decode decode);
    const char* nameText() const { return mName ? mName : ""; }

    TarnixPayloadImpl* mPayload;
    TarnixMsg* mStore;
    uint8_t mVersion;
    int mDepth;
    /* The field being read. */
    mama_fid_t mFid = 0;
    const char* mName = nullptr;
    size_t mNameLen = 0;
};

mama_status Reader::boundary()
{
    TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Field beyond buffer boundary. Current msg content: %s",
                  tarnixmsgPayload_toString(mPayload));
    return MAMA_STATUS_INVALID_ARG;
}

mama_status Reader::shortItem(const Item& item)
{
    TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Item shorter than its own header, fid=%u, tag=%u", static_cast<unsigned>(mFid),
                  item.tag);
    return MAMA_STATUS_INVALID_ARG;
}

mama_status Reader::fields(const uint8_t* pos, const uint8_t* end)
{
    while (pos < end)
    {
        Item fidItem{};
        Parse r = parseItem(pos, end, &fidItem);
        if (r == Parse::Beyond)
            return boundary();
        if (r != Parse::Ok || get16(pos) != KEY_FID)
            return MAMA_STATUS_INVALID_ARG;
        mFid = get16(pos + 2);
        mName = nullptr;
        mNameLen = 0;
        /* Writers never send fid 0: such a field could be neither found
         * by fid nor sent on. */
        if (mFid == 0)
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Field with fid 0 in message");
            return MAMA_STATUS_INVALID_ARG;
        }

        Item item{};
        r = parseItem(fidItem.end, end, &item);
        if (r == Parse::Beyond)
            return boundary();
        if (r == Parse::Short)
            return shortItem(item);

        if (item.tag == TAG_BYTES && item.contentLength >= 1 && item.content[0] == SUBTAG_NAME)
        {
            size_t nameLen = item.contentLength - 1;
            if (nameLen == 0 || item.content[item.contentLength - 1] != '\0')
            {
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Fieldname string does not end with null: fid=%d",
                              static_cast<int>(mFid));
                return MAMA_STATUS_INVALID_ARG;
            }
            mName = reinterpret_cast<const char*>(item.content + 1);
            mNameLen = nameLen;
            r = parseItem(item.end, end, &item);
            if (r == Parse::Beyond)
                return boundary();
            if (r == Parse::Short)
                return shortItem(item);
        }

        mama_status status = value(item);
        if (status != MAMA_STATUS_OK)
            return status;
        pos = item.end;
    }
    return MAMA_STATUS_OK;
}

mama_status Reader::value(const Item& item)
{
    const uint8_t* c = item.content;
    switch (get16(item.start))
    {
        case KEY_BOOL: return tarnixMsg_setBool(mStore, mName, mNameLen, mFid, static_cast<mama_bool_t>(c[0]));
        case KEY_U8: return tarnixMsg_setU8(mStore, mName, mNameLen, mFid, c[0]);
        case KEY_I8: return tarnixMsg_setI8(mStore, mName, mNameLen, mFid, static_cast<mama_i8_t>(c[0]));
        case KEY_U16: return tarnixMsg_setU16(mStore, mName, mNameLen, mFid, get16(c));
        case KEY_I16: return tarnixMsg_setI16(mStore, mName, mNameLen, mFid, static_cast<mama_i16_t>(get16(c)));
        case KEY_U32: return tarnixMsg_setU32(mStore, mName, mNameLen, mFid, get32(c));
        case KEY_I32: return tarnixMsg_setI32(mStore, mName, mNameLen, mFid, static_cast<mama_i32_t>(get32(c)));
        case KEY_U64: return tarnixMsg_setU64(mStore, mName, mNameLen, mFid, get64(c));
        case KEY_I64: return tarnixMsg_setI64(mStore, mName, mNameLen, mFid, static_cast<mama_i64_t>(get64(c)));
        case KEY_F32:
        {
            uint32_t bits = get32(c);
            float f;
            memcpy(&f, &bits, 4);
            return tarnixMsg_setF32(mStore, mName, mNameLen, mFid, f);
        }
        case KEY_F64: return tarnixMsg_setF64(mStore, mName, mNameLen, mFid, bitsDouble(get64(c)));
        case KEY_CHAR: return tarnixMsg_setChar(mStore, mName, mNameLen, mFid, static_cast<char>(c[1]));
        default: break;
    }

    if (item.tag == TAG_STRING)
    {
        size_t n = item.contentLength;
        if (n < 1 || c[n - 1] != '\0')
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "String field integrity error, fid=%d, string length=%zu",
                          static_cast<int>(mFid), n);
            return MAMA_STATUS_INVALID_ARG;
        }
        return tarnixMsg_setString(mStore, mName, mNameLen, mFid, reinterpret_cast<const char*>(c), n);
    }
    if (item.tag == TAG_BYTES)
        return byteArray(item);

    TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Unknown Tarnix Field type for fid: %u, fname:'%s', ftype: %d",
                  static_cast<unsigned>(mFid), nameText(), static_cast<int>(item.tag));
    return MAMA_STATUS_INVALID_ARG;
}

mama_status Reader::byteArray(const Item& item)
{
    if (item.contentLength < 1)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Byte array field without subtag, fid=%u", static_cast<unsigned>(mFid));
        return MAMA_STATUS_INVALID_ARG;
    }
    uint8_t subtag = item.content[0];
    const uint8_t* data = item.content + 1;
    size_t length = item.contentLength - 1;

    switch (subtag)
    {
        case SUB_MSG: return subMessage(data, length);
        case SUB_OPAQUE: return tarnixMsg_setOpaque(mStore, mName, mNameLen, mFid, data, length);
        case SUB_DATETIME:
        {
            size_t needed = mVersion == 1 ? 8 : sizeof(TarnixDateTime);
            if (length < needed)
            {
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Date time field too short: %zu bytes, fid=%u", length,
                              static_cast<unsigned>(mFid));
                return MAMA_STATUS_INVALID_ARG;
            }
            TarnixDateTime dt = mVersion == 1 ? unpackV1(get64(data)) : getDateTimeV2(data);
            return tarnixMsg_setDateTimeRecord(mStore, mName, mNameLen, mFid, dt);
        }
        case SUB_PRICE:
            if (length < sizeof(TarnixPrice))
            {
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Price field too short: %zu bytes, fid=%u", length,
                              static_cast<unsigned>(mFid));
                return MAMA_STATUS_INVALID_ARG;
            }
            return tarnixMsg_setPriceRecord(mStore, mName, mNameLen, mFid, getPrice(data));
        case SUB_VSTRING: return stringVector(data, length);
        case SUB_VMSG: return msgVector(data, length);
        case SUB_VDATETIME:
            return recordVector<TarnixDateTime>(
                TARNIX_TYPE_VDATETIME, tarnixMsg_setVectorDateTimeRecords, "Date Time", "date time", 8, data, length,
                [this](const uint8_t* p) { return mVersion == 1 ? unpackV1(get64(p)) : getDateTimeV2(p); });
        case SUB_VPRICE:
            return recordVector<TarnixPrice>(TARNIX_TYPE_VPRICE, tarnixMsg_setVectorPriceRecords, "Price", "price",
                                             sizeof(TarnixPrice), data, length, getPrice);
        default: break;
    }

    const VectorWire* wire = vectorBySubtag(subtag);
    if (!wire)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Unknown subtag: %d", static_cast<int>(subtag));
        return MAMA_STATUS_INVALID_ARG;
    }
    size_t count = length / wire->size;
    size_t bytes = count * wire->size;
    TarnixField* field = nullptr;
    TarnixBlock block{};
    mama_status status = tarnixMsg_prepare(mStore, mName, mNameLen, mFid, wire->type, bytes, &field, &block);
    if (status != MAMA_STATUS_OK)
        return status;
    copySwapped(static_cast<uint8_t*>(block.data), data, count, wire->size);
    tarnixField_setBlock(field, block, static_cast<uint32_t>(count), static_cast<uint32_t>(bytes));
    return MAMA_STATUS_OK;
}

mama_status Reader::subMessage(const uint8_t* data, size_t length)
{
    if (mDepth + 1 > MAX_NESTING)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Sub-messages nested deeper than %d levels, fid=%u", MAX_NESTING,
                      static_cast<unsigned>(mFid));
        return MAMA_STATUS_INVALID_ARG;
    }
    msgPayload sub = nullptr;
    mama_status status = tarnixmsgPayload_create(&sub);
    if (status != MAMA_STATUS_OK)
        return status;
    auto* subPayload = static_cast<TarnixPayloadImpl*>(sub);
    status = unSerialize(subPayload, data, length, mDepth + 1);
    if (status == MAMA_STATUS_OK)
        status = tarnixMsg_setMsg(mStore, mName, mNameLen, mFid, subPayload);
    /* The field holds its own reference; drop the temporary one. */
    tarnixmsgPayload_destroy(sub);
    return status;
}

mama_status Reader::stringVector(const uint8_t* data, size_t length)
{
    const uint8_t* end = data + length;
    if (length < 4)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                      "implUnserializeStringVector end of buffer reached: currBuf_p=%p, endBuf_p=%p, array index=%u",
                      static_cast<const void*>(data), static_cast<const void*>(end), 0u);
        return MAMA_STATUS_INVALID_ARG;
    }
    uint32_t count = get32(data);
    const uint8_t* first = data + 4;
    /* Every element takes at least a tag, a length and a NUL: refuse counts
     * the content cannot hold before sizing anything by them. */
    if (count > static_cast<size_t>(end - first) / 3)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                      "implUnserializeStringVector end of buffer reached: currBuf_p=%p, endBuf_p=%p, array index=%u",
                      static_cast<const void*>(first), static_cast<const void*>(end), 0u);
        return MAMA_STATUS_INVALID_ARG;
    }
    /* Checked and measured first, then copied into a block of its size. */
    size_t texts = 0;
    const uint8_t* cur = first;
    for (uint32_t i = 0; i < count; ++i)
    {
        Item item{};
        Parse r = parseItem(cur, end, &item);
        if (r != Parse::Ok)
        {
            TARNIX_PL_LOG(
                MAMA_LOG_LEVEL_WARN,
                "implUnserializeStringVector end of buffer reached: currBuf_p=%p, endBuf_p=%p, array index=%u",
                static_cast<const void*>(cur), static_cast<const void*>(end), i);
            return MAMA_STATUS_INVALID_ARG;
        }
        if (item.contentLength < 1 || item.content[item.contentLength - 1] != '\0')
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                          "implUnserializeStringVector vector string integrity error: array index=%u", i);
            return MAMA_STATUS_INVALID_ARG;
        }
        texts += item.contentLength;
        cur = item.end;
    }
    size_t tableSize = (static_cast<size_t>(count) + 1) * sizeof(char*);
    TarnixField* field = nullptr;
    TarnixBlock block{};
    mama_status status =
        tarnixMsg_prepare(mStore, mName, mNameLen, mFid, TARNIX_TYPE_VSTRING, tableSize + texts, &field, &block);
    if (status != MAMA_STATUS_OK)
        return status;
    char** table = static_cast<char**>(block.data);
    char* bp = reinterpret_cast<char*>(table + count + 1);
    cur = first;
    for (uint32_t i = 0; i < count; ++i)
    {
        Item item{};
        parseItem(cur, end, &item);
        table[i] = bp;
        memcpy(bp, item.content, item.contentLength);
        bp += item.contentLength;
        cur = item.end;
    }
    table[count] = bp;
    tarnixField_setBlock(field, block, count, static_cast<uint32_t>(texts));
    return MAMA_STATUS_OK;
}

mama_status Reader::msgVector(const uint8_t* data, size_t length)
{
    const uint8_t* end = data + length;
    auto endOfBuffer = [&](const uint8_t* cur, const uint8_t* next, size_t itemLength, uint32_t index, uint32_t count)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR,
                      "implUnserializeMsgVector end of buffer: currBuf_p=%p, nextFieldBuf_p=%p, "
                      "currFieldLength=%zu, endBuf_p=%p, array index=%u, array size=%u",
                      static_cast<const void*>(cur), static_cast<const void*>(next), itemLength,
                      static_cast<const void*>(end), index, count);
        return MAMA_STATUS_PLATFORM;
    };
    if (length < 4)
        return endOfBuffer(data, data, 0, 0, 0);
    uint32_t count = get32(data);
    const uint8_t* cur = data + 4;
    if (count > static_cast<size_t>(end - cur) / 3)
        return endOfBuffer(cur, cur, 0, 0, count);

    auto* array = static_cast<TarnixPayloadImpl**>(calloc(count ? count : 1, sizeof(TarnixPayloadImpl*)));
    if (!array)
        return MAMA_STATUS_NOMEM;

    for (uint32_t i = 0; i < count; ++i)
    {
        Item item{};
        Parse r = parseItem(cur, end, &item);
        if (r != Parse::Ok || item.contentLength < 1)
        {
            size_t itemLength = r == Parse::Ok ? static_cast<size_t>(item.end - cur) : 0;
            tarnixField_freeMessages(array, i);
            return endOfBuffer(cur, r == Parse::Ok ? item.end : cur, itemLength, i, count);
        }
        if (mDepth + 1 > MAX_NESTING)
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Sub-messages nested deeper than %d levels, fid=%u", MAX_NESTING,
                          static_cast<unsigned>(mFid));
            tarnixField_freeMessages(array, i);
            return MAMA_STATUS_INVALID_ARG;
        }
        msgPayload sub = nullptr;
        mama_status status = tarnixmsgPayload_create(&sub);
        if (status == MAMA_STATUS_OK)
        {
            array[i] = static_cast<TarnixPayloadImpl*>(sub);
            status = unSerialize(array[i], item.content + 1, item.contentLength - 1, mDepth + 1);
        }
        if (status != MAMA_STATUS_OK)
        {
            tarnixField_freeMessages(array, i + 1);
            return status;
        }
        cur = item.end;
    }
    return tarnixMsg_setVectorMsg(mStore, mName, mNameLen, mFid, array, count, true);
}

/* A date-time or price vector: version 1 packs elements of a fixed size;
 * version 2 leads with the element size, and a larger element's bytes past
 * the record are skipped. what names the kind in the log lines. */
template <typename Record, typename Decode>
mama_status Reader::recordVector(int32_t type, RecordSetter<Record> setRecords, const char* what, const char* lowerWhat,
                                 size_t v1Element, const uint8_t* data, size_t length, Decode decode)
{
    size_t element = v1Element;
    size_t count;
    if (mVersion == 1)
    {
        count = length / element;
    }
    else
    {
        if (length < 2)
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Mama %s Vector without element size. For field fid: %u name: %s", what,
                          static_cast<unsigned>(mFid), nameText());
            return MAMA_STATUS_INVALID_ARG;
        }
        element = get16(data);
        if (element < sizeof(Record))
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                          "Mama %s Vector element size: %zu, is too small. For field fid: %u name: %s", what, element,
                          static_cast<unsigned>(mFid), nameText());
            return MAMA_STATUS_PLATFORM;
        }
        count = (length - 2) / element;
        size_t remainder = (length - 2) - count * element;
        if (remainder)
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                          "Mama %s Vector payload size, %zu and element size: %zu, not consistent. "
                          "Decoded %zu elements, with %u overhead, found %zu remaining bytes in %s "
                          "Vector. For field fid: %u name: %s",
                          what, length, element, count, 2u, remainder, lowerWhat, static_cast<unsigned>(mFid),
                          nameText());
            return MAMA_STATUS_PLATFORM;
        }
        data += 2;
    }
    if (count == 0)
        return setRecords(mStore, mName, mNameLen, mFid, nullptr, 0, false);
    TarnixField* field = nullptr;
    TarnixBlock block{};
    mama_status status = tarnixMsg_prepare(mStore, mName, mNameLen, mFid, type, count * sizeof(Record), &field, &block);
    if (status != MAMA_STATUS_OK)
        return status;
    auto* records = static_cast<Record*>(block.data);
    for (size_t i = 0; i < count; ++i, data += element)
        records[i] = decode(data);
    tarnixField_setBlock(field, block, static_cast<uint32_t>(count), static_cast<uint32_t>(count * sizeof(Record)));
    return MAMA_STATUS_OK;
}

} // namespace

mama_status unSerialize(TarnixPayloadImpl* payload, const uint8_t* bytes, size_t length, int depth)
{
    if (!payload || !payload->mFields || !bytes || length == 0)
        return MAMA_STATUS_NULL_ARG;
    if (length < kPreambleSize || bytes[0] != static_cast<uint8_t>(TARNIX_PAYLOAD_ID))
        return MAMA_STATUS_PLATFORM;
    int8_t version = static_cast<int8_t>(bytes[1]);
    if (version < 1 || version > 2)
        return MAMA_STATUS_PLATFORM;

    tarnixMsg_clear(payload->mFields);

    if (length < kPreambleSize + 1)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_FINE, "Payload of %zu bytes ends before its container", length);
        return MAMA_STATUS_PLATFORM;
    }
    unsigned tag = bytes[2] >> 2;
    if (tag != TAG_CONTAINER)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_FINE, "Unexpected payload tag %d", static_cast<int>(tag));
        return MAMA_STATUS_PLATFORM;
    }
    unsigned width = (bytes[2] & 3u) + 1;
    if (length < kPreambleSize + 1 + width)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_FINE, "Payload of %zu bytes ends before its container", length);
        return MAMA_STATUS_PLATFORM;
    }
    uint64_t containerLength = 0;
    for (unsigned i = 0; i < width; ++i)
        containerLength = containerLength << 8 | bytes[3 + i];
    if (length < containerLength + kPreambleSize)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_FINE,
                      "Pass in buffer length (%zu) smaller than what is indicated in the payload (%" PRIu64 ")", length,
                      containerLength + kPreambleSize);
        return MAMA_STATUS_PLATFORM;
    }
    if (containerLength < 1 + width)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_FINE, "Payload container length %" PRIu64 " shorter than its header",
                      containerLength);
        return MAMA_STATUS_PLATFORM;
    }

    Reader reader(payload, static_cast<uint8_t>(version), depth);
    return reader.fields(bytes + kPreambleSize + 1 + width, bytes + kPreambleSize + containerLength);
}

} // namespace tarnix

extern "C" mama_status tarnixmsgPayload_unSerialize(const msgPayload msg, const void* buffer, mama_size_t bufferLength)
{
    return tarnix::unSerialize(static_cast<TarnixPayloadImpl*>(msg), static_cast<const uint8_t*>(buffer), bufferLength,
                               0);
}

extern "C" mama_status tarnixmsgPayload_deserialize(mamaPayloadBridge, const msgPayload msg, const void* buffer,
                                                    mama_size_t bufferLength)
{
    return tarnixmsgPayload_unSerialize(msg, buffer, bufferLength);
}
