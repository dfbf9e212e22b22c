#include "tarnixField.h"

#include "tarnixArena.h"
#include "tarnixLog.h"
#include "tarnixPayload.h"

#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <type_traits>

namespace
{

struct TypeInfo
{
    const char* name;
    mamaFieldType mamaType;
};

const TypeInfo kTypes[TARNIX_TYPE_COUNT] = {
    {"BOOL", MAMA_FIELD_TYPE_BOOL},
    {"UINT8", MAMA_FIELD_TYPE_U8},
    {"INT8", MAMA_FIELD_TYPE_I8},
    {"UINT16", MAMA_FIELD_TYPE_U16},
    {"INT16", MAMA_FIELD_TYPE_I16},
    {"UINT32", MAMA_FIELD_TYPE_U32},
    {"INT32", MAMA_FIELD_TYPE_I32},
    {"UINT64", MAMA_FIELD_TYPE_U64},
    {"INT64", MAMA_FIELD_TYPE_I64},
    {"WCHAR", MAMA_FIELD_TYPE_CHAR},
    {"STRING", MAMA_FIELD_TYPE_STRING},
    {"OPAQUE", MAMA_FIELD_TYPE_OPAQUE},
    {"FLOAT", MAMA_FIELD_TYPE_F32},
    {"DOUBLE", MAMA_FIELD_TYPE_F64},
    {"TXM", MAMA_FIELD_TYPE_MSG},
    {"DATETIME", MAMA_FIELD_TYPE_TIME},
    {"PRICE", MAMA_FIELD_TYPE_PRICE},
    {"VBOOL", MAMA_FIELD_TYPE_VECTOR_BOOL},
    {"VUINT8", MAMA_FIELD_TYPE_VECTOR_U8},
    {"VINT8", MAMA_FIELD_TYPE_VECTOR_I8},
    {"VUINT16", MAMA_FIELD_TYPE_VECTOR_U16},
    {"VINT16", MAMA_FIELD_TYPE_VECTOR_I16},
    {"VUINT32", MAMA_FIELD_TYPE_VECTOR_U32},
    {"VINT32", MAMA_FIELD_TYPE_VECTOR_I32},
    {"VUINT64", MAMA_FIELD_TYPE_VECTOR_U64},
    {"VINT64", MAMA_FIELD_TYPE_VECTOR_I64},
    {"VWCHAR", MAMA_FIELD_TYPE_VECTOR_CHAR},
    {"VSTRING", MAMA_FIELD_TYPE_VECTOR_STRING},
    {"UNKNOWN", MAMA_FIELD_TYPE_UNKNOWN},
    {"VFLOAT", MAMA_FIELD_TYPE_VECTOR_F32},
    {"VDOUBLE", MAMA_FIELD_TYPE_VECTOR_F64},
    {"VTXM", MAMA_FIELD_TYPE_VECTOR_MSG},
    {"VDATETIME", MAMA_FIELD_TYPE_VECTOR_TIME},
    {"VPRICE", MAMA_FIELD_TYPE_VECTOR_PRICE},
};

/* Seconds of 1601-01-01 00:00:00 relative to the epoch: OpenMAMA cannot
 * format earlier instants as calendar text. */
constexpr int64_t kEarliestFormattable = -11644473600LL;

/* Version-1 date-times carry 35 bits of seconds. */
constexpr int64_t kV1MaxSeconds = 0x7FFFFFFFFLL;

/* malloc that never answers null for an empty request. */
void* allocBlock(size_t size)
{
    return malloc(size ? size : 1);
}

bool blockSizeFits(size_t count, size_t elementSize)
{
    return count <= UINT32_MAX && (elementSize == 0 || count <= UINT32_MAX / elementSize);
}

/* Width in bytes and signedness of the integer-class types. */
bool integerInfo(int32_t type, size_t* width, bool* isSigned)
{
    switch (type)
    {
        case TARNIX_TYPE_BOOL:
        case TARNIX_TYPE_UINT8:
            *width = 1;
            *isSigned = false;
            return true;
        case TARNIX_TYPE_INT8:
        case TARNIX_TYPE_WCHAR:
            *width = 1;
            *isSigned = true;
            return true;
        case TARNIX_TYPE_UINT16:
            *width = 2;
            *isSigned = false;
            return true;
        case TARNIX_TYPE_INT16:
            *width = 2;
            *isSigned = true;
            return true;
        case TARNIX_TYPE_UINT32:
            *width = 4;
            *isSigned = false;
            return true;
        case TARNIX_TYPE_INT32:
            *width = 4;
            *isSigned = true;
            return true;
        case TARNIX_TYPE_UINT64:
            *width = 8;
            *isSigned = false;
            return true;
        case TARNIX_TYPE_INT64:
            *width = 8;
            *isSigned = true;
            return true;
        default: return false;
    }
}

/* The stored integer widened to 64 bits by its own signedness. */
uint64_t widened(const TarnixField* f)
{
    switch (f->type)
    {
        case TARNIX_TYPE_BOOL:
        case TARNIX_TYPE_UINT8: return f->value.u8;
        case TARNIX_TYPE_INT8:
        case TARNIX_TYPE_WCHAR: return static_cast<uint64_t>(static_cast<int64_t>(f->value.i8));
        case TARNIX_TYPE_UINT16: return f->value.u16;
        case TARNIX_TYPE_INT16: return static_cast<uint64_t>(static_cast<int64_t>(f->value.i16));
        case TARNIX_TYPE_UINT32: return f->value.u32;
        case TARNIX_TYPE_INT32: return static_cast<uint64_t>(static_cast<int64_t>(f->value.i32));
        default: return f->value.u64;
    }
}

template <typename T>
mama_status getInteger(const TarnixField* f, T* out)
{
    size_t width;
    bool isSigned;
    if (!integerInfo(f->type, &width, &isSigned) || width > sizeof(T))
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    *out = static_cast<T>(widened(f));
    return MAMA_STATUS_OK;
}

/* Numeric value of an integer-class field as a floating point type. */
template <typename F>
F integerAs(const TarnixField* f)
{
    size_t width;
    bool isSigned;
    integerInfo(f->type, &width, &isSigned);
    uint64_t bits = widened(f);
    return isSigned ? static_cast<F>(static_cast<int64_t>(bits)) : static_cast<F>(bits);
}

inline bool isType(const TarnixField* f, int32_t type)
{
    return f->type == type;
}

void releaseHanded(TarnixField* f)
{
    if (!f->handed)
        return;
    for (uint32_t i = 0; i < f->handedCount; ++i)
    {
        if (!f->handed[i])
            continue;
        if (f->type == TARNIX_TYPE_VPRICE)
            mamaPrice_destroy(static_cast<mamaPrice>(f->handed[i]));
        else
            mamaDateTime_destroy(static_cast<mamaDateTime>(f->handed[i]));
    }
    free(f->handed);
    f->handed = nullptr;
    f->handedCount = 0;
}

/* Whether the type keeps its value in one block at value.data. */
bool holdsBlock(int32_t type)
{
    return type == TARNIX_TYPE_STRING || type == TARNIX_TYPE_OPAQUE ||
           (tarnixField_isVectorType(type) && type != TARNIX_TYPE_VTXM);
}

/* Room for a value of size bytes: the record's own block when the value
 * fits it (a heap block only when not far too big, so that it shrinks
 * with its value), else a new block. The value must be copied with
 * memmove: it may lie in that same block. */
TarnixBlock roomFor(const TarnixField* f, size_t size, TarnixArena* arena)
{
    bool inArena = f->inArena & TARNIX_VALUE_IN_ARENA;
    if (f->value.data && size <= f->capacity && (inArena || f->capacity <= 2 * size + 64))
        return TarnixBlock{f->value.data, f->capacity, nullptr};
    return tarnixField_newBlock(f, size, arena);
}

} // namespace

void tarnixField_init(TarnixField* field)
{
    memset(field, 0, sizeof *field);
    field->type = TARNIX_TYPE_NONE;
}

TarnixBlock tarnixField_newBlock(const TarnixField* field, size_t size, TarnixArena* arena)
{
    /* The arena for one value only: it frees nothing before the clear. */
    if (arena && !(field->inArena & TARNIX_ARENA_VALUE_TAKEN) && size <= UINT32_MAX - TarnixArena::kAlign)
    {
        if (void* data = arena->take(size))
            return TarnixBlock{data, static_cast<uint32_t>(TarnixArena::roundUp(size)), arena};
    }
    if (size > UINT32_MAX)
        return TarnixBlock{};
    return TarnixBlock{allocBlock(size), static_cast<uint32_t>(size), nullptr};
}

void tarnixField_dropBlock(const TarnixBlock& block, size_t size)
{
    if (block.arena)
        block.arena->giveBack(block.data, size);
    else
        free(block.data);
}

void tarnixField_setBlock(TarnixField* field, const TarnixBlock& block, uint32_t count, uint32_t size)
{
    if (field->value.data != block.data)
    { /* else the value was rewritten in place */
        if (!(field->inArena & TARNIX_VALUE_IN_ARENA))
            free(field->value.data);
        field->value.data = block.data;
        field->capacity = block.capacity;
        if (block.arena)
            field->inArena |= TARNIX_VALUE_IN_ARENA | TARNIX_ARENA_VALUE_TAKEN;
        else
            field->inArena &= static_cast<uint8_t>(~TARNIX_VALUE_IN_ARENA);
    }
    field->count = count;
    field->size = size;
}

const char* tarnixField_typeName(int32_t type)
{
    if (type < 0 || type >= TARNIX_TYPE_COUNT)
        return "UNKNOWN";
    return kTypes[type].name;
}

mamaFieldType tarnixField_mamaType(int32_t type)
{
    if (type < 0 || type >= TARNIX_TYPE_COUNT)
        return MAMA_FIELD_TYPE_UNKNOWN;
    return kTypes[type].mamaType;
}

bool tarnixField_isVectorType(int32_t type)
{
    return type >= TARNIX_TYPE_VBOOL && type <= TARNIX_TYPE_VPRICE && type != TARNIX_TYPE_UNUSED28;
}

size_t tarnixField_elementSize(int32_t type)
{
    switch (type)
    {
        case TARNIX_TYPE_VBOOL:
        case TARNIX_TYPE_VUINT8:
        case TARNIX_TYPE_VINT8:
        case TARNIX_TYPE_VWCHAR: return 1;
        case TARNIX_TYPE_VUINT16:
        case TARNIX_TYPE_VINT16: return 2;
        case TARNIX_TYPE_VUINT32:
        case TARNIX_TYPE_VINT32:
        case TARNIX_TYPE_VFLOAT: return 4;
        case TARNIX_TYPE_VUINT64:
        case TARNIX_TYPE_VINT64:
        case TARNIX_TYPE_VDOUBLE: return 8;
        case TARNIX_TYPE_VDATETIME: return sizeof(TarnixDateTime);
        case TARNIX_TYPE_VPRICE: return sizeof(TarnixPrice);
        default: return 0;
    }
}

/* ---- setters ------------------------------------------------------------ */

#define TARNIX_SCALAR_SETTER(Name, CType, Type, Member)                                                                \
    mama_status tarnixField_set##Name(TarnixField* field, CType value)                                                 \
    {                                                                                                                  \
        if (field->type != (Type))                                                                                     \
            return MAMA_STATUS_WRONG_FIELD_TYPE;                                                                       \
        field->value.Member = value;                                                                                   \
        return MAMA_STATUS_OK;                                                                                         \
    }
TARNIX_SCALAR_KINDS(TARNIX_SCALAR_SETTER)
#undef TARNIX_SCALAR_SETTER

mama_status tarnixField_setString(TarnixField* field, const char* text, size_t size, TarnixArena* arena)
{
    if (field->type != TARNIX_TYPE_STRING)
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    if (!text)
        return MAMA_STATUS_NULL_ARG;
    if (size == 0)
        size = strnlen(text, TARNIX_MAX_STRING) + 1;
    if (size > TARNIX_MAX_STRING)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "tarnixField_setString: incoming string too big: %zu; max: %zu", size,
                      TARNIX_MAX_STRING);
        return MAMA_STATUS_INVALID_ARG;
    }
    TarnixBlock block = roomFor(field, size, arena);
    if (!block.data)
        return MAMA_STATUS_NOMEM;
    char* copy = static_cast<char*>(block.data);
    memmove(copy, text, size - 1);
    copy[size - 1] = '\0'; /* the size counts the terminator: keep it one */
    tarnixField_setBlock(field, block, static_cast<uint32_t>(size), static_cast<uint32_t>(size));
    return MAMA_STATUS_OK;
}

mama_status tarnixField_setOpaque(TarnixField* field, const void* bytes, size_t size, TarnixArena* arena)
{
    if (field->type != TARNIX_TYPE_OPAQUE)
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    if (!bytes && size)
        return MAMA_STATUS_NULL_ARG;
    if (size > UINT32_MAX)
        return MAMA_STATUS_INVALID_ARG;
    TarnixBlock block = roomFor(field, size, arena);
    if (!block.data)
        return MAMA_STATUS_NOMEM;
    if (size)
        memmove(block.data, bytes, size);
    tarnixField_setBlock(field, block, static_cast<uint32_t>(size), static_cast<uint32_t>(size));
    return MAMA_STATUS_OK;
}

mama_status tarnixField_setMsg(TarnixField* field, TarnixPayloadImpl* msg)
{
    if (field->type != TARNIX_TYPE_TXM)
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    if (!msg)
        return MAMA_STATUS_NULL_ARG;
    /* Take the new reference first so that setting the same message again
     * cannot free it. */
    tarnixmsgPayloadImpl_retain(msg);
    if (field->value.msg)
        tarnixmsgPayload_destroy(field->value.msg);
    field->value.msg = msg;
    return MAMA_STATUS_OK;
}

mama_status tarnixDateTime_fromMama(const mamaDateTime source, TarnixDateTime* out)
{
    struct timespec ts;
    mama_status status = mamaDateTime_getStructTimeSpec(source, &ts);
    if (status != MAMA_STATUS_OK)
        return status;
    if (ts.tv_nsec < 0 || ts.tv_nsec >= 1000000000L)
        return MAMA_STATUS_INVALID_ARG;

    int64_t seconds = ts.tv_sec;
    uint32_t nanos = static_cast<uint32_t>(ts.tv_nsec);
    uint8_t version = tarnixmsgPayload_getPayloadVersion();
    if (version == 1)
    {
        /* Version 1 carries whole microseconds and 35 bits of seconds. */
        uint32_t micros = (nanos + 500) / 1000;
        nanos = micros * 1000;
        if (nanos >= 1000000000u)
        {
            ++seconds;
            nanos = 0;
            micros = 0;
        }
        if (seconds < -kV1MaxSeconds || seconds > kV1MaxSeconds || micros > 999999)
            return MAMA_STATUS_INVALID_ARG;
    }

    mamaDateTimeHints hints = 0;
    mamaDateTimeHints gotHints;
    if (mamaDateTime_getHints(source, &gotHints) == MAMA_STATUS_OK)
        hints = gotHints;
    /* OpenMAMA (C) may hold precisions beyond the enumerators: read the raw
     * integer rather than an enum value C++ may not represent. */
    std::underlying_type_t<mamaDateTimePrecision> rawPrecision = MAMA_DATE_TIME_PREC_UNKNOWN;
    std::underlying_type_t<mamaDateTimePrecision> gotPrecision;
    if (mamaDateTime_getPrecision(source, reinterpret_cast<mamaDateTimePrecision*>(&gotPrecision)) == MAMA_STATUS_OK)
        rawPrecision = gotPrecision;

    long long precisionValue = static_cast<long long>(rawPrecision);
    if (version == 1)
    {
        if (precisionValue < 0 || precisionValue > 15 || hints > 15)
            return MAMA_STATUS_INVALID_ARG;
    }
    else if (precisionValue < 0 || precisionValue > 255)
    {
        return MAMA_STATUS_INVALID_ARG;
    }

    out->seconds = seconds;
    out->nanoseconds = nanos;
    out->precision = static_cast<uint8_t>(precisionValue);
    out->hints = hints;
    return MAMA_STATUS_OK;
}

mama_status tarnixDateTime_toMama(const TarnixDateTime& source, mamaDateTime out)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(source.seconds);
    ts.tv_nsec = static_cast<long>(source.nanoseconds);
    /* A record OpenMAMA refuses (nanoseconds out of range) is reported,
     * not silently left unconverted. */
    mama_status status = mamaDateTime_setFromStructTimeSpec(out, &ts);
    if (status != MAMA_STATUS_OK)
        return status;
    status = mamaDateTime_setPrecision(out, static_cast<mamaDateTimePrecision>(source.precision));
    if (status != MAMA_STATUS_OK)
        return status;
    return mamaDateTime_setHints(out, source.hints);
}

mama_status tarnixPrice_fromMama(const mamaPrice source, TarnixPrice* out)
{
    double value = 0;
    mamaPriceHints hints = 0;
    mama_status status = mamaPrice_getValue(source, &value);
    if (status != MAMA_STATUS_OK)
        return status;
    status = mamaPrice_getHints(source, &hints);
    if (status != MAMA_STATUS_OK)
        return status;
    out->value = value;
    out->hints = hints;
    return MAMA_STATUS_OK;
}

mama_status tarnixPrice_toMama(const TarnixPrice& source, mamaPrice out)
{
    mama_status status = mamaPrice_setValue(out, source.value);
    if (status != MAMA_STATUS_OK)
        return status;
    return mamaPrice_setHints(out, source.hints);
}

mama_status tarnixField_setVector(TarnixField* field, const void* data, size_t count, size_t elementSize,
                                  int32_t expectedType, bool adopt, TarnixArena* arena)
{
    mama_status refused = MAMA_STATUS_OK;
    if (field->type != expectedType)
        refused = MAMA_STATUS_WRONG_FIELD_TYPE;
    else if (!blockSizeFits(count, elementSize))
        refused = MAMA_STATUS_INVALID_ARG;
    if (refused != MAMA_STATUS_OK)
    {
        if (adopt)
            free(const_cast<void*>(data));
        return refused;
    }
    size_t size = count * elementSize;
    TarnixBlock block{const_cast<void*>(data), static_cast<uint32_t>(size), nullptr};
    if (!adopt)
    {
        if (!data && size)
            return MAMA_STATUS_NULL_ARG;
        block = roomFor(field, size, arena);
        if (!block.data)
            return MAMA_STATUS_NOMEM;
        if (size)
            memmove(block.data, data, size);
    }
    tarnixField_setBlock(field, block, static_cast<uint32_t>(count), static_cast<uint32_t>(size));
    return MAMA_STATUS_OK;
}

mama_status tarnixField_setVectorString(TarnixField* field, const char* const* texts, size_t count, size_t totalSize,
                                        bool adopt, TarnixArena* arena)
{
    mama_status refused = MAMA_STATUS_OK;
    if (field->type != TARNIX_TYPE_VSTRING)
        refused = MAMA_STATUS_WRONG_FIELD_TYPE;
    else if (count >= UINT32_MAX || totalSize > UINT32_MAX)
        refused = MAMA_STATUS_INVALID_ARG;
    if (refused != MAMA_STATUS_OK)
    {
        if (adopt)
            tarnixField_discardAdopted(TARNIX_TYPE_VSTRING, const_cast<char**>(texts), count);
        return refused;
    }

    uint64_t tableSize = (static_cast<uint64_t>(count) + 1) * sizeof(char*);
    TarnixBlock block{const_cast<char**>(texts), static_cast<uint32_t>(tableSize + totalSize), nullptr};
    size_t total = totalSize;
    if (!adopt)
    {
        if (!texts && count)
            return MAMA_STATUS_NULL_ARG;
        uint64_t sum = 0;
        for (size_t i = 0; i < count; ++i)
        {
            size_t measure = texts[i] ? strnlen(texts[i], TARNIX_MAX_STRING) + 1 : 1;
            if (measure > TARNIX_MAX_STRING)
            {
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "tarnixField_setString: string too big: %zu; max: %zu", measure,
                              TARNIX_MAX_STRING);
                return MAMA_STATUS_INVALID_ARG;
            }
            sum += measure;
        }
        /* The block size is kept in 32 bits. */
        if (tableSize + sum > UINT32_MAX)
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                          "tarnixField_setVectorString: strings too big together: %" PRIu64 "; max: %u", sum,
                          UINT32_MAX);
            return MAMA_STATUS_INVALID_ARG;
        }
        /* Always a new block: the texts may lie in the current one. */
        block = tarnixField_newBlock(field, static_cast<size_t>(tableSize + sum), arena);
        if (!block.data)
            return MAMA_STATUS_NOMEM;
        char** table = static_cast<char**>(block.data);
        char* pos = reinterpret_cast<char*>(table + count + 1);
        for (size_t i = 0; i < count; ++i)
        {
            table[i] = pos;
            if (texts[i])
            {
                size_t len = strnlen(texts[i], TARNIX_MAX_STRING);
                memcpy(pos, texts[i], len);
                pos += len;
            }
            *pos++ = '\0';
        }
        table[count] = pos;
        total = static_cast<size_t>(sum);
    }
    tarnixField_setBlock(field, block, static_cast<uint32_t>(count), static_cast<uint32_t>(total));
    return MAMA_STATUS_OK;
}

mama_status tarnixField_setVectorMsg(TarnixField* field, TarnixPayloadImpl* const* msgs, size_t count, bool adopt)
{
    mama_status refused = MAMA_STATUS_OK;
    if (field->type != TARNIX_TYPE_VTXM)
        refused = MAMA_STATUS_WRONG_FIELD_TYPE;
    else if (!blockSizeFits(count, sizeof(TarnixPayloadImpl*)))
        refused = MAMA_STATUS_INVALID_ARG;
    if (refused != MAMA_STATUS_OK)
    {
        if (adopt)
            tarnixField_discardAdopted(TARNIX_TYPE_VTXM, const_cast<TarnixPayloadImpl**>(msgs), count);
        return refused;
    }

    TarnixPayloadImpl** array = const_cast<TarnixPayloadImpl**>(msgs);
    if (!adopt)
    {
        if (!msgs && count)
            return MAMA_STATUS_NULL_ARG;
        array = static_cast<TarnixPayloadImpl**>(allocBlock(count * sizeof *array));
        if (!array)
            return MAMA_STATUS_NOMEM;
        for (size_t i = 0; i < count; ++i)
        {
            array[i] = msgs[i];
            if (array[i])
                tarnixmsgPayloadImpl_retain(array[i]);
        }
    }

    tarnixField_freeMessages(field->value.msgs, field->count);
    field->value.msgs = array;
    field->count = static_cast<uint32_t>(count);
    field->size = static_cast<uint32_t>(count * sizeof *array);
    return MAMA_STATUS_OK;
}

namespace
{

/* Date-time and price vectors: a block of count records, empty without one. */
mama_status setRecords(TarnixField* field, int32_t type, void* block, size_t count, bool adopt, TarnixArena* arena)
{
    if (field->type != type)
    {
        if (adopt)
            free(block);
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    }
    if (count == 0)
    {
        if (adopt)
            free(block);
        tarnixField_setBlock(field, TarnixBlock{}, 0, 0);
        return MAMA_STATUS_OK;
    }
    return tarnixField_setVector(field, block, count, tarnixField_elementSize(type), type, adopt, arena);
}

} // namespace

namespace
{

/* A vector of records converted from OpenMAMA objects into a new block:
 * an element refused leaves the current value as it was. */
template <typename Record, typename Source, typename Convert>
mama_status setConverted(TarnixField* field, int32_t type, const Source* values, size_t count, TarnixArena* arena,
                         Convert convert)
{
    if (field->type != type)
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    if (count == 0)
        return setRecords(field, type, nullptr, 0, false, nullptr);
    if (!values)
        return MAMA_STATUS_NULL_ARG;
    if (!blockSizeFits(count, sizeof(Record)))
        return MAMA_STATUS_INVALID_ARG;
    TarnixBlock block = tarnixField_newBlock(field, count * sizeof(Record), arena);
    if (!block.data)
        return MAMA_STATUS_NOMEM;
    auto* records = static_cast<Record*>(block.data);
    for (size_t i = 0; i < count; ++i)
    {
        Record record;
        mama_status status = convert(values[i], &record);
        if (status != MAMA_STATUS_OK)
        {
            tarnixField_dropBlock(block, count * sizeof(Record));
            return status;
        }
        records[i] = record;
    }
    tarnixField_setBlock(field, block, static_cast<uint32_t>(count), static_cast<uint32_t>(count * sizeof(Record)));
    return MAMA_STATUS_OK;
}

} // namespace

void tarnixField_freeMessages(TarnixPayloadImpl** msgs, size_t count)
{
    if (!msgs)
        return;
    for (size_t i = 0; i < count; ++i)
        if (msgs[i])
            tarnixmsgPayload_destroy(msgs[i]);
    free(msgs);
}

void tarnixField_discardAdopted(int32_t type, void* data, size_t count)
{
    if (type == TARNIX_TYPE_VTXM)
        tarnixField_freeMessages(static_cast<TarnixPayloadImpl**>(data), count);
    else
        free(data);
}

/* ---- getters ------------------------------------------------------------ */

/* Integer kinds read any integer no wider than themselves; F32 and F64
 * below convert. */
#define TARNIX_INTEGER_GETTER(Kind, CType, ...)                                                                        \
    mama_status tarnixField_get##Kind(const TarnixField* f, CType* out)                                                \
    {                                                                                                                  \
        return getInteger(f, out);                                                                                     \
    }
TARNIX_INTEGER_GETTER(Bool, mama_bool_t)
TARNIX_INTEGER_GETTER(Char, char)
TARNIX_INTEGER_GETTER(I8, mama_i8_t)
TARNIX_INTEGER_GETTER(U8, mama_u8_t)
TARNIX_INTEGER_GETTER(I16, mama_i16_t)
TARNIX_INTEGER_GETTER(U16, mama_u16_t)
TARNIX_INTEGER_GETTER(I32, mama_i32_t)
TARNIX_INTEGER_GETTER(U32, mama_u32_t)
TARNIX_INTEGER_GETTER(I64, mama_i64_t)
TARNIX_INTEGER_GETTER(U64, mama_u64_t)
#undef TARNIX_INTEGER_GETTER

mama_status tarnixField_getF32(const TarnixField* f, mama_f32_t* out)
{
    size_t width;
    bool isSigned;
    if (integerInfo(f->type, &width, &isSigned))
        *out = integerAs<float>(f);
    else if (f->type == TARNIX_TYPE_FLOAT)
        *out = f->value.f32;
    else
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    return MAMA_STATUS_OK;
}

mama_status tarnixField_getF64(const TarnixField* f, mama_f64_t* out)
{
    size_t width;
    bool isSigned;
    if (integerInfo(f->type, &width, &isSigned))
        *out = integerAs<double>(f);
    else if (f->type == TARNIX_TYPE_FLOAT)
        *out = f->value.f32;
    else if (f->type == TARNIX_TYPE_DOUBLE)
        *out = f->value.f64;
    else if (f->type == TARNIX_TYPE_PRICE)
        *out = f->value.price.value;
    else
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    return MAMA_STATUS_OK;
}

mama_status tarnixField_getString(const TarnixField* f, const char** out)
{
    if (!isType(f, TARNIX_TYPE_STRING))
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    *out = f->value.str;
    return MAMA_STATUS_OK;
}

mama_status tarnixField_getOpaque(const TarnixField* f, const void** out, mama_size_t* size)
{
    if (!isType(f, TARNIX_TYPE_OPAQUE))
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    *out = f->value.data;
    *size = f->count;
    return MAMA_STATUS_OK;
}

mama_status tarnixField_getMsg(const TarnixField* f, TarnixPayloadImpl** out)
{
    if (!isType(f, TARNIX_TYPE_TXM))
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    *out = f->value.msg;
    return MAMA_STATUS_OK;
}

mama_status tarnixField_getDateTime(const TarnixField* f, mamaDateTime out)
{
    switch (f->type)
    {
        case TARNIX_TYPE_UINT64: return mamaDateTime_setEpochTimeMicroseconds(out, f->value.u64);
        case TARNIX_TYPE_INT64:
            return mamaDateTime_setEpochTimeMilliseconds(out, static_cast<mama_u64_t>(f->value.i64));
        case TARNIX_TYPE_STRING: return mamaDateTime_setFromString(out, f->value.str);
        case TARNIX_TYPE_DOUBLE: return mamaDateTime_setEpochTimeF64(out, f->value.f64);
        case TARNIX_TYPE_DATETIME:
        {
            mama_status status = mamaDateTime_clear(out);
            if (status != MAMA_STATUS_OK)
                return status;
            return tarnixDateTime_toMama(f->value.dateTime, out);
        }
        default: return MAMA_STATUS_WRONG_FIELD_TYPE;
    }
}

mama_status tarnixField_getPrice(const TarnixField* f, mamaPrice out)
{
    switch (f->type)
    {
        case TARNIX_TYPE_FLOAT: return mamaPrice_setValue(out, f->value.f32);
        case TARNIX_TYPE_DOUBLE: return mamaPrice_setValue(out, f->value.f64);
        case TARNIX_TYPE_PRICE: return mamaPrice_setWithHints(out, f->value.price.value, f->value.price.hints);
        default: return MAMA_STATUS_WRONG_FIELD_TYPE;
    }
}

namespace
{

template <typename T>
mama_status vectorOf(const TarnixField* f, std::initializer_list<int32_t> accepted, const T** out, mama_size_t* n)
{
    for (int32_t type : accepted)
    {
        if (f->type == type)
        {
            *out = static_cast<const T*>(f->value.data);
            *n = f->count;
            return MAMA_STATUS_OK;
        }
    }
    return MAMA_STATUS_WRONG_FIELD_TYPE;
}

} // namespace

/* A vector read as another kind of the same width: the types it accepts. */
#define TARNIX_VECTOR_GETTER(Kind, CType, ...)                                                                         \
    mama_status tarnixField_getVector##Kind(const TarnixField* f, const CType** out, mama_size_t* n)                   \
    {                                                                                                                  \
        return vectorOf(f, {__VA_ARGS__}, out, n);                                                                     \
    }
TARNIX_VECTOR_GETTER(Bool, mama_bool_t, TARNIX_TYPE_VBOOL, TARNIX_TYPE_VUINT8, TARNIX_TYPE_VINT8)
TARNIX_VECTOR_GETTER(Char, char, TARNIX_TYPE_VBOOL, TARNIX_TYPE_VUINT8, TARNIX_TYPE_VINT8, TARNIX_TYPE_VWCHAR)
TARNIX_VECTOR_GETTER(I8, mama_i8_t, TARNIX_TYPE_VBOOL, TARNIX_TYPE_VUINT8, TARNIX_TYPE_VINT8)
TARNIX_VECTOR_GETTER(U8, mama_u8_t, TARNIX_TYPE_VBOOL, TARNIX_TYPE_VUINT8, TARNIX_TYPE_VINT8)
TARNIX_VECTOR_GETTER(I16, mama_i16_t, TARNIX_TYPE_VUINT16, TARNIX_TYPE_VINT16)
TARNIX_VECTOR_GETTER(U16, mama_u16_t, TARNIX_TYPE_VUINT16, TARNIX_TYPE_VINT16)
TARNIX_VECTOR_GETTER(I32, mama_i32_t, TARNIX_TYPE_VUINT32, TARNIX_TYPE_VINT32)
TARNIX_VECTOR_GETTER(U32, mama_u32_t, TARNIX_TYPE_VUINT32, TARNIX_TYPE_VINT32)
TARNIX_VECTOR_GETTER(I64, mama_i64_t, TARNIX_TYPE_VUINT64, TARNIX_TYPE_VINT64)
TARNIX_VECTOR_GETTER(U64, mama_u64_t, TARNIX_TYPE_VUINT64, TARNIX_TYPE_VINT64)
TARNIX_VECTOR_GETTER(F32, mama_f32_t, TARNIX_TYPE_VFLOAT)
TARNIX_VECTOR_GETTER(F64, mama_f64_t, TARNIX_TYPE_VDOUBLE)
#undef TARNIX_VECTOR_GETTER

mama_status tarnixField_getVectorString(const TarnixField* f, const char*** out, mama_size_t* n)
{
    if (!isType(f, TARNIX_TYPE_VSTRING))
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    *out = const_cast<const char**>(f->value.strings);
    *n = f->count;
    return MAMA_STATUS_OK;
}

mama_status tarnixField_getVectorMsg(const TarnixField* f, TarnixPayloadImpl* const** out, mama_size_t* n)
{
    if (!isType(f, TARNIX_TYPE_VTXM))
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    *out = f->value.msgs;
    *n = f->count;
    return MAMA_STATUS_OK;
}

namespace
{

/* OpenMAMA objects made from a record vector and handed out; the record
 * keeps them (see TarnixField::handed). */
template <typename Object, typename Record, typename Fill>
mama_status handOut(TarnixField* f, const Record* records, const Object** out, mama_size_t* n,
                    mama_status (*create)(Object*), Fill fill, mama_status (*destroy)(Object))
{
    releaseHanded(f);
    if (f->count == 0)
    {
        *out = nullptr;
        *n = 0;
        return MAMA_STATUS_OK;
    }
    auto* array = static_cast<Object*>(calloc(f->count, sizeof(Object)));
    if (!array)
        return MAMA_STATUS_NOMEM;
    for (uint32_t i = 0; i < f->count; ++i)
    {
        mama_status status = create(&array[i]);
        if (status == MAMA_STATUS_OK)
            status = fill(records[i], array[i]);
        if (status != MAMA_STATUS_OK)
        {
            for (uint32_t j = 0; j <= i; ++j)
                if (array[j])
                    destroy(array[j]);
            free(array);
            return status;
        }
    }
    f->handed = reinterpret_cast<void**>(array);
    f->handedCount = f->count;
    *out = array;
    *n = f->count;
    return MAMA_STATUS_OK;
}

} // namespace

/* Date-time and price: the same setters and getters over their record forms. */
#define TARNIX_RECORD_FIELD(Kind, RecordType, Object, Type, VectorType, member)                                        \
    mama_status tarnixField_set##Kind(TarnixField* field, const Object value)                                          \
    {                                                                                                                  \
        if (field->type != (Type))                                                                                     \
            return MAMA_STATUS_WRONG_FIELD_TYPE;                                                                       \
        RecordType record;                                                                                             \
        mama_status status = tarnix##Kind##_fromMama(value, &record);                                                  \
        if (status != MAMA_STATUS_OK)                                                                                  \
            return status;                                                                                             \
        field->value.member = record;                                                                                  \
        return MAMA_STATUS_OK;                                                                                         \
    }                                                                                                                  \
    mama_status tarnixField_set##Kind##Record(TarnixField* field, const RecordType& value)                             \
    {                                                                                                                  \
        if (field->type != (Type))                                                                                     \
            return MAMA_STATUS_WRONG_FIELD_TYPE;                                                                       \
        field->value.member = value;                                                                                   \
        return MAMA_STATUS_OK;                                                                                         \
    }                                                                                                                  \
    mama_status tarnixField_setVector##Kind(TarnixField* field, const Object* values, size_t count,                    \
                                            TarnixArena* arena)                                                        \
    {                                                                                                                  \
        return setConverted<RecordType>(field, VectorType, values, count, arena, tarnix##Kind##_fromMama);             \
    }                                                                                                                  \
    mama_status tarnixField_setVector##Kind##Records(TarnixField* field, RecordType* block, size_t count, bool adopt,  \
                                                     TarnixArena* arena)                                               \
    {                                                                                                                  \
        return setRecords(field, VectorType, block, count, adopt, arena);                                              \
    }                                                                                                                  \
    mama_status tarnixField_getVector##Kind(TarnixField* f, const Object** out, mama_size_t* n)                        \
    {                                                                                                                  \
        if (!isType(f, VectorType))                                                                                    \
            return MAMA_STATUS_WRONG_FIELD_TYPE;                                                                       \
        return handOut(f, f->value.member##s, out, n, Object##_create, tarnix##Kind##_toMama, Object##_destroy);       \
    }
TARNIX_RECORD_KINDS(TARNIX_RECORD_FIELD)
#undef TARNIX_RECORD_FIELD

/* ---- copy and release --------------------------------------------------- */

namespace
{

mama_status copyMessage(const TarnixField* src, TarnixField* dst)
{
    if (!src->value.msg)
        return MAMA_STATUS_OK;
    msgPayload copy = nullptr;
    mama_status status = tarnixmsgPayload_copy(src->value.msg, &copy);
    if (status != MAMA_STATUS_OK)
        return status;
    dst->value.msg = static_cast<TarnixPayloadImpl*>(copy);
    return MAMA_STATUS_OK;
}

/* Every message of the vector copied, or (on failure) none. */
mama_status copyMessageVector(const TarnixField* src, TarnixField* dst)
{
    auto* array = static_cast<TarnixPayloadImpl**>(calloc(src->count ? src->count : 1, sizeof(TarnixPayloadImpl*)));
    if (!array)
        return MAMA_STATUS_NOMEM;
    for (uint32_t i = 0; i < src->count; ++i)
    {
        if (!src->value.msgs[i])
            continue;
        msgPayload copy = nullptr;
        mama_status status = tarnixmsgPayload_copy(src->value.msgs[i], &copy);
        if (status != MAMA_STATUS_OK)
        {
            tarnixField_freeMessages(array, i);
            return status;
        }
        array[i] = static_cast<TarnixPayloadImpl*>(copy);
    }
    dst->value.msgs = array;
    return MAMA_STATUS_OK;
}

/* The fixed-width vectors: one block of count elements (an empty date-time
 * or price vector has none). */
mama_status copyBlock(const TarnixField* src, TarnixField* dst, TarnixArena* arena)
{
    size_t width = tarnixField_elementSize(src->type);
    if (src->count == 0 && (src->type == TARNIX_TYPE_VDATETIME || src->type == TARNIX_TYPE_VPRICE))
        return MAMA_STATUS_OK; /* empty: no block */
    size_t size = static_cast<size_t>(src->count) * width;
    TarnixBlock block = tarnixField_newBlock(dst, size, arena);
    if (!block.data)
        return MAMA_STATUS_NOMEM;
    if (size)
        memcpy(block.data, src->value.data, size);
    tarnixField_setBlock(dst, block, src->count, static_cast<uint32_t>(size));
    return MAMA_STATUS_OK;
}

mama_status copyValue(const TarnixField* src, TarnixField* dst, TarnixArena* arena)
{
    switch (src->type)
    {
        case TARNIX_TYPE_BOOL:
        case TARNIX_TYPE_UINT8:
        case TARNIX_TYPE_INT8:
        case TARNIX_TYPE_UINT16:
        case TARNIX_TYPE_INT16:
        case TARNIX_TYPE_UINT32:
        case TARNIX_TYPE_INT32:
        case TARNIX_TYPE_UINT64:
        case TARNIX_TYPE_INT64:
        case TARNIX_TYPE_WCHAR:
        case TARNIX_TYPE_FLOAT:
        case TARNIX_TYPE_DOUBLE:
        case TARNIX_TYPE_DATETIME:
        case TARNIX_TYPE_PRICE: dst->value = src->value; return MAMA_STATUS_OK;
        case TARNIX_TYPE_STRING:
            if (!src->value.str)
                return MAMA_STATUS_OK;
            return tarnixField_setString(dst, src->value.str, src->size, arena);
        case TARNIX_TYPE_OPAQUE: return tarnixField_setOpaque(dst, src->value.data, src->count, arena);
        case TARNIX_TYPE_TXM: return copyMessage(src, dst);
        case TARNIX_TYPE_VSTRING:
            return tarnixField_setVectorString(dst, src->value.strings, src->count, 0, false, arena);
        case TARNIX_TYPE_VTXM: return copyMessageVector(src, dst);
        default: return copyBlock(src, dst, arena);
    }
}

} // namespace

mama_status tarnixField_copy(const TarnixField* source, TarnixField* destination, TarnixArena* arena)
{
    tarnixField_init(destination);
    destination->fid = source->fid;
    if (source->name && source->nameLen)
    {
        /* Like the store, keep a spare NUL behind the name's bytes. */
        size_t length = static_cast<size_t>(source->nameLen) + 1;
        destination->name = static_cast<char*>(arena ? arena->take(length) : nullptr);
        if (destination->name)
            destination->inArena = TARNIX_NAME_IN_ARENA;
        else
            destination->name = static_cast<char*>(malloc(length));
        if (!destination->name)
            return MAMA_STATUS_NOMEM;
        memcpy(destination->name, source->name, source->nameLen);
        destination->name[source->nameLen] = '\0';
        destination->nameLen = source->nameLen;
    }
    destination->count = source->count;
    destination->size = source->size;
    destination->type = source->type;

    if (source->type < 0 || source->type >= TARNIX_TYPE_COUNT || source->type == TARNIX_TYPE_UNUSED28)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "Unexpected field type %s", tarnixField_typeName(source->type));
        return MAMA_STATUS_OK;
    }

    mama_status status = copyValue(source, destination, arena);
    if (status != MAMA_STATUS_OK)
    {
        if (!(destination->inArena & TARNIX_NAME_IN_ARENA))
            free(destination->name);
        int32_t type = destination->type;
        tarnixField_init(destination);
        destination->fid = source->fid;
        destination->type = type;
    }
    return status;
}

void tarnixField_releaseContents(TarnixField* field)
{
    if (field->handed)
        releaseHanded(field);
    switch (field->type)
    {
        case TARNIX_TYPE_TXM:
            if (field->value.msg)
                tarnixmsgPayload_destroy(field->value.msg);
            break;
        case TARNIX_TYPE_VTXM: tarnixField_freeMessages(field->value.msgs, field->count); break;
        default:
            if (holdsBlock(field->type) && !(field->inArena & TARNIX_VALUE_IN_ARENA))
                free(field->value.data);
            break;
    }
    if (field->name && !(field->inArena & TARNIX_NAME_IN_ARENA))
        free(field->name);
}

void tarnixField_release(TarnixField* field)
{
    tarnixField_releaseContents(field);
    tarnixField_init(field);
}

/* ---- text --------------------------------------------------------------- */

namespace
{

/* Bounded text writer: never passes length, always NUL-terminated. */
class TextOut
{
public:
    TextOut(char* buffer, size_t length) : mBuf(buffer), mLen(length)
    {
        if (mLen)
            mBuf[0] = '\0';
    }

    /* Bytes left including the terminator's. */
    size_t room() const { return mLen - mPos; }
    size_t written() const { return mPos; }
    bool full() const { return mLen == 0 || mPos + 1 >= mLen; }

    /* Appends; answers whether the piece fitted whole. */
    bool put(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (mLen == 0)
            return false;
        va_list ap;
        va_start(ap, format);
        int n = vsnprintf(mBuf + mPos, room(), format, ap);
        va_end(ap);
        if (n < 0)
        {
            mBuf[mPos] = '\0';
            return false;
        }
        size_t fitted = room() - 1;
        if (static_cast<size_t>(n) <= fitted)
        {
            mPos += static_cast<size_t>(n);
            return true;
        }
        mPos += fitted;
        return false;
    }

    /* Ends a vector: "}" when it fits, else the last four characters
     * become "...}" to show the cut. */
    void closeVector(bool complete)
    {
        if (complete && room() > 1)
        {
            put("}");
            return;
        }
        if (mLen <= 5)
            return;
        size_t start = mPos >= 4 ? mPos - 4 : 0;
        if (start + 4 > mLen - 1)
            start = mLen - 1 - 4;
        memcpy(mBuf + start, "...}", 4);
        mPos = start + 4;
        mBuf[mPos] = '\0';
    }

    void clear()
    {
        mPos = 0;
        if (mLen)
            mBuf[0] = '\0';
    }

private:
    char* mBuf;
    size_t mLen;
    size_t mPos = 0;
};

/* Text of one date-time as OpenMAMA formats it, with epoch seconds for
 * instants before 1601. */
mama_status dateTimeText(const TarnixDateTime& dt, mamaDateTime scratch, char* out, size_t outLen)
{
    mama_status status = tarnixDateTime_toMama(dt, scratch);
    if (status != MAMA_STATUS_OK)
        return status;
    status = mamaDateTime_getAsString(scratch, out, outLen);
    if (status == MAMA_STATUS_INVALID_ARG && dt.seconds < kEarliestFormattable)
    {
        mama_f64_t seconds = 0;
        status = mamaDateTime_getEpochTimeSeconds(scratch, &seconds);
        if (status == MAMA_STATUS_OK)
            snprintf(out, outLen, "%.6f", seconds);
    }
    return status;
}

mama_status priceText(const TarnixPrice& price, mamaPrice scratch, char* out, size_t outLen)
{
    mama_status status = mamaPrice_setWithHints(scratch, price.value, price.hints);
    if (status != MAMA_STATUS_OK)
        return status;
    return mamaPrice_getAsString(scratch, out, outLen);
}

template <typename T, typename Fn>
void simpleVector(TextOut& out, const TarnixField* f, Fn element)
{
    const T* values = static_cast<const T*>(f->value.data);
    for (uint32_t i = 0; i < f->count && !out.full(); ++i)
        element(out, values[i]);
    out.closeVector(!out.full());
}

/* Text of a value through a scratch OpenMAMA object made for it. */
template <typename Object, typename Text>
mama_status scratchText(mama_status (*create)(Object*), mama_status (*destroy)(Object), Text text)
{
    Object scratch = nullptr;
    mama_status status = create(&scratch);
    if (status != MAMA_STATUS_OK)
        return status;
    status = text(scratch);
    destroy(scratch);
    return status;
}

/* Elements of a date-time or price vector, comma separated, while more
 * than minRoom bytes are left; an element that cannot be rendered ends the
 * text there, unclosed. */
template <typename Record, typename Object>
void recordVectorText(TextOut& out, const Record* records, uint32_t count, size_t minRoom,
                      mama_status (*create)(Object*), mama_status (*destroy)(Object),
                      mama_status (*text)(const Record&, Object, char*, size_t))
{
    bool complete = true;
    bool rendered = true;
    mama_status status = scratchText(create, destroy,
                                     [&](Object scratch)
                                     {
                                         for (uint32_t i = 0; i < count; ++i)
                                         {
                                             if (out.room() <= minRoom)
                                             {
                                                 complete = false;
                                                 break;
                                             }
                                             char element[512] = "";
                                             if (text(records[i], scratch, element, sizeof element) != MAMA_STATUS_OK)
                                             {
                                                 rendered = false;
                                                 break;
                                             }
                                             if (!out.put(i ? ",%s" : "%s", element))
                                             {
                                                 complete = false;
                                                 break;
                                             }
                                         }
                                         return MAMA_STATUS_OK;
                                     });
    if (status == MAMA_STATUS_OK && rendered)
        out.closeVector(complete);
}

/* Numeric and text vectors: "{" then each element and a comma. */
void simpleVectorText(TextOut& out, const TarnixField* field)
{
    switch (field->type)
    {
#define TARNIX_VECTOR_TEXT(Type, T, format, ...)                                                                       \
    case Type: simpleVector<T>(out, field, [](TextOut& o, T e) { o.put(format, __VA_ARGS__); }); break;
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VBOOL, int8_t, "%u,", static_cast<unsigned>(static_cast<int>(e)))
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VUINT8, uint8_t, "%u,", static_cast<unsigned>(e))
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VINT8, int8_t, "%i,", static_cast<int>(e))
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VUINT16, uint16_t, "%u,", static_cast<unsigned>(e))
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VINT16, int16_t, "%i,", static_cast<int>(e))
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VUINT32, uint32_t, "%u,", e)
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VINT32, int32_t, "%i,", e)
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VUINT64, uint64_t, "%" PRIu64 ",", e)
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VINT64, int64_t, "%" PRId64 ",", e)
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VWCHAR, char, "%c,", e)
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VFLOAT, float, "%f,", static_cast<double>(e))
        TARNIX_VECTOR_TEXT(TARNIX_TYPE_VDOUBLE, double, "%f,", e)
#undef TARNIX_VECTOR_TEXT
        case TARNIX_TYPE_VSTRING:
            for (uint32_t i = 0; i < field->count && !out.full(); ++i)
                out.put("%s,", field->value.strings[i]);
            out.closeVector(!out.full());
            break;
        default: break;
    }
}

/* Scalars: the value alone, after the prefix. */
mama_status scalarText(TextOut& out, TarnixField* field, const char* p)
{
    const TarnixValue& v = field->value;
    switch (field->type)
    {
        case TARNIX_TYPE_BOOL:
        case TARNIX_TYPE_UINT8: out.put("%s%u", p, static_cast<unsigned>(v.u8)); break;
        case TARNIX_TYPE_INT8: out.put("%s%d", p, static_cast<int>(v.i8)); break;
        case TARNIX_TYPE_UINT16: out.put("%s%u", p, static_cast<unsigned>(v.u16)); break;
        case TARNIX_TYPE_INT16: out.put("%s%d", p, static_cast<int>(v.i16)); break;
        case TARNIX_TYPE_UINT32: out.put("%s%u", p, v.u32); break;
        case TARNIX_TYPE_INT32: out.put("%s%d", p, v.i32); break;
        case TARNIX_TYPE_UINT64: out.put("%s%" PRIu64, p, v.u64); break;
        case TARNIX_TYPE_INT64: out.put("%s%" PRId64, p, v.i64); break;
        case TARNIX_TYPE_WCHAR: out.put("%s%c", p, v.ch); break;
        case TARNIX_TYPE_STRING: out.put("%s%s", p, v.str ? v.str : ""); break;
        case TARNIX_TYPE_OPAQUE: out.put("%s%u bytes", p, field->count); break;
        case TARNIX_TYPE_TXM:
        {
            const char* text = v.msg ? tarnixmsgPayload_toString(v.msg) : nullptr;
            out.put("%s%s", p, text ? text : "");
            break;
        }
        case TARNIX_TYPE_FLOAT:
        case TARNIX_TYPE_DOUBLE:
        case TARNIX_TYPE_PRICE:
        {
            char text[256] = "";
            mama_status status =
                scratchText(mamaPrice_create, mamaPrice_destroy,
                            [&](mamaPrice price)
                            {
                                mama_status got = tarnixField_getPrice(field, price);
                                return got == MAMA_STATUS_OK ? mamaPrice_getAsString(price, text, sizeof text) : got;
                            });
            if (status != MAMA_STATUS_OK)
                return status;
            out.put("%s%s", p, text);
            break;
        }
        case TARNIX_TYPE_DATETIME:
        {
            char text[256] = "";
            mama_status status = scratchText(mamaDateTime_create, mamaDateTime_destroy,
                                             [&](mamaDateTime dateTime)
                                             { return dateTimeText(v.dateTime, dateTime, text, sizeof text); });
            if (status != MAMA_STATUS_OK)
                return status;
            out.put("%s%s", p, text);
            break;
        }
        default: break;
    }
    return MAMA_STATUS_OK;
}

} // namespace

mama_status tarnixField_toString(TarnixField* field, const char* name, mama_fid_t fid, char* buffer, size_t length,
                                 bool prefix)
{
    if (length == 0)
        return MAMA_STATUS_OK;

    TextOut out(buffer, length);
    char p[100] = "";
    if (prefix)
        snprintf(p, sizeof p, "%s:", tarnixField_typeName(field->type));

    const TarnixValue& v = field->value;
    switch (field->type)
    {
        case TARNIX_TYPE_VTXM:
            if (length < 13)
                break;
            out.put("%s{", p);
            for (uint32_t i = 0; i < field->count && !out.full(); ++i)
            {
                const char* text = v.msgs[i] ? tarnixmsgPayload_toString(v.msgs[i]) : nullptr;
                out.put("%s, ", text ? text : "");
            }
            out.closeVector(!out.full());
            break;
        case TARNIX_TYPE_VDATETIME:
            out.put("%s{", p);
            recordVectorText(out, v.dateTimes, field->count, 1, mamaDateTime_create, mamaDateTime_destroy,
                             dateTimeText);
            break;
        case TARNIX_TYPE_VPRICE:
            out.put("%s{", p);
            recordVectorText(out, v.prices, field->count, 11, mamaPrice_create, mamaPrice_destroy, priceText);
            break;
        default:
            if (tarnixField_isVectorType(field->type))
            {
                out.put("%s{", p);
                simpleVectorText(out, field);
            }
            else if (field->type >= 0 && field->type <= TARNIX_TYPE_PRICE)
            {
                return scalarText(out, field, p);
            }
            else
            {
                out.put("unknown type: %d fid:%d name:%s", field->type, static_cast<int>(fid), name ? name : "");
            }
            break;
    }
    return MAMA_STATUS_OK;
}
