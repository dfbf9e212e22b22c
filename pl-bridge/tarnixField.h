/* One field of a tarnixmsg message: its record, the type codes, typed setters
 * and getters with their conversions, copy, release and text rendering. */
#ifndef TARNIX_FIELD_H
#define TARNIX_FIELD_H

#include "tarnixKinds.h"

#include <mama/mama.h>

#include <cstddef>
#include <cstdint>

struct TarnixPayloadImpl;
class TarnixArena;

/* In-memory type codes. They differ from the wire tags of the codec. */
enum TarnixFieldType : int32_t
{
    TARNIX_TYPE_NONE = -1,
    TARNIX_TYPE_BOOL = 0,
    TARNIX_TYPE_UINT8 = 1,
    TARNIX_TYPE_INT8 = 2,
    TARNIX_TYPE_UINT16 = 3,
    TARNIX_TYPE_INT16 = 4,
    TARNIX_TYPE_UINT32 = 5,
    TARNIX_TYPE_INT32 = 6,
    TARNIX_TYPE_UINT64 = 7,
    TARNIX_TYPE_INT64 = 8,
    TARNIX_TYPE_WCHAR = 9,
    TARNIX_TYPE_STRING = 10,
    TARNIX_TYPE_OPAQUE = 11,
    TARNIX_TYPE_FLOAT = 12,
    TARNIX_TYPE_DOUBLE = 13,
    TARNIX_TYPE_TXM = 14,
    TARNIX_TYPE_DATETIME = 15,
    TARNIX_TYPE_PRICE = 16,
    TARNIX_TYPE_VBOOL = 17,
    TARNIX_TYPE_VUINT8 = 18,
    TARNIX_TYPE_VINT8 = 19,
    TARNIX_TYPE_VUINT16 = 20,
    TARNIX_TYPE_VINT16 = 21,
    TARNIX_TYPE_VUINT32 = 22,
    TARNIX_TYPE_VINT32 = 23,
    TARNIX_TYPE_VUINT64 = 24,
    TARNIX_TYPE_VINT64 = 25,
    TARNIX_TYPE_VWCHAR = 26,
    TARNIX_TYPE_VSTRING = 27,
    TARNIX_TYPE_UNUSED28 = 28, /* never held by a record */
    TARNIX_TYPE_VFLOAT = 29,
    TARNIX_TYPE_VDOUBLE = 30,
    TARNIX_TYPE_VTXM = 31,
    TARNIX_TYPE_VDATETIME = 32,
    TARNIX_TYPE_VPRICE = 33,
    TARNIX_TYPE_COUNT = 34
};

/* Longest text (terminator included) a field or a field name may hold. */
constexpr size_t TARNIX_MAX_STRING = 0x4000000;

/* Date-time and price values; vectors hold them packed back to back, which
 * the codec relies on. */
struct __attribute__((packed)) TarnixDateTime
{
    int64_t seconds;
    uint32_t nanoseconds;
    uint8_t precision;
    uint8_t hints;
};
static_assert(sizeof(TarnixDateTime) == 14, "date-time elements are 14 bytes");

struct __attribute__((packed)) TarnixPrice
{
    double value;
    uint8_t hints;
};
static_assert(sizeof(TarnixPrice) == 9, "price elements are 9 bytes");

union TarnixValue
{
    uint8_t u8;
    int8_t i8;
    char ch;
    uint16_t u16;
    int16_t i16;
    uint32_t u32;
    int32_t i32;
    uint64_t u64;
    int64_t i64;
    float f32;
    double f64;
    void* data;               /* OPAQUE and numeric vectors */
    char* str;                /* STRING */
    TarnixPayloadImpl* msg;   /* TXM: one counted reference */
    TarnixPayloadImpl** msgs; /* VTXM: one counted reference per element */
    char** strings;           /* VSTRING: count + 1 entries into one block */
    TarnixDateTime* dateTimes;
    TarnixPrice* prices;
    TarnixDateTime dateTime;
    TarnixPrice price;
    unsigned char raw[16];
};
static_assert(sizeof(TarnixValue) == 16, "field value is 16 bytes");

/* TarnixField::inArena: blocks of a record that its store's arena holds,
 * which releasing the record leaves alone, and whether the record has had
 * its one value block from the arena (its later values, even after it was
 * emptied, come from the heap). */
enum : uint8_t
{
    TARNIX_NAME_IN_ARENA = 1,
    TARNIX_VALUE_IN_ARENA = 2,
    TARNIX_ARENA_VALUE_TAKEN = 4
};

struct TarnixField
{
    uint16_t fid;
    uint8_t inArena;   /* TARNIX_*_IN_ARENA */
    uint32_t capacity; /* bytes the value block has room for */
    char* name;
    uint32_t nameLen; /* bytes of name including its NUL; 0 without name */
    int32_t type;     /* TarnixFieldType; -1 until typed */
    uint32_t count;   /* vector elements; bytes of STRING and OPAQUE */
    uint32_t size;    /* bytes of the value in its block (VSTRING: of the texts) */
    /* STRING, OPAQUE, VSTRING and the numeric, date-time and price vectors
     * keep their value in one block at value.data (VSTRING: the table of
     * count + 1 text pointers, then the texts; the last pointer ends them). */
    TarnixValue value;
    /* OpenMAMA date-time or price objects handed out by the vector getters;
     * owned by the record, valid until the next such call or release. */
    void** handed;
    uint32_t handedCount;
};

/* A record with no fid, no name, no type and no value. */
void tarnixField_init(TarnixField* field);

/* A block for a record's next value, filled before it replaces the
 * current one (the new value may be read from the old). Setters given an
 * arena take one value block per record from it, its first; later values
 * go to the heap, so a record changed again and again does not grow its
 * message's arena. */
struct TarnixBlock
{
    void* data;
    uint32_t capacity;
    TarnixArena* arena; /* the arena it was taken from; null for the heap */
};
/* A fresh block of size bytes; data is null without memory. */
TarnixBlock tarnixField_newBlock(const TarnixField* field, size_t size, TarnixArena* arena);
/* Gives back a fresh block of size bytes that will not be used. */
void tarnixField_dropBlock(const TarnixBlock& block, size_t size);
/* Makes block (fresh, or the record's own rewritten) the record's value
 * block, freeing the one it replaces. */
void tarnixField_setBlock(TarnixField* field, const TarnixBlock& block, uint32_t count, uint32_t size);

/* Setters: MAMA_STATUS_WRONG_FIELD_TYPE when the record has another type. */
#define TARNIX_FIELD_DECLARE_SET(Kind, CType, ...) mama_status tarnixField_set##Kind(TarnixField* field, CType value);
TARNIX_SCALAR_KINDS(TARNIX_FIELD_DECLARE_SET)
#undef TARNIX_FIELD_DECLARE_SET
/* size counts the terminator; 0 measures the text. */
mama_status tarnixField_setString(TarnixField* field, const char* text, size_t size, TarnixArena* arena = nullptr);
mama_status tarnixField_setOpaque(TarnixField* field, const void* bytes, size_t size, TarnixArena* arena = nullptr);
mama_status tarnixField_setMsg(TarnixField* field, TarnixPayloadImpl* msg);
mama_status tarnixField_setDateTime(TarnixField* field, const mamaDateTime value);
mama_status tarnixField_setDateTimeRecord(TarnixField* field, const TarnixDateTime& value);
mama_status tarnixField_setPrice(TarnixField* field, const mamaPrice value);
mama_status tarnixField_setPriceRecord(TarnixField* field, const TarnixPrice& value);
/* Without adopt: texts is an array of count texts (null counts as empty).
 * With adopt: texts is a finished heap block (see TarnixField::value) and
 * totalSize the bytes of its texts. */
mama_status tarnixField_setVectorString(TarnixField* field, const char* const* texts, size_t count, size_t totalSize,
                                        bool adopt, TarnixArena* arena = nullptr);
mama_status tarnixField_setVectorMsg(TarnixField* field, TarnixPayloadImpl* const* msgs, size_t count, bool adopt);
mama_status tarnixField_setVectorDateTime(TarnixField* field, const mamaDateTime* values, size_t count,
                                          TarnixArena* arena = nullptr);
mama_status tarnixField_setVectorDateTimeRecords(TarnixField* field, TarnixDateTime* block, size_t count, bool adopt,
                                                 TarnixArena* arena = nullptr);
mama_status tarnixField_setVectorPrice(TarnixField* field, const mamaPrice* values, size_t count,
                                       TarnixArena* arena = nullptr);
mama_status tarnixField_setVectorPriceRecords(TarnixField* field, TarnixPrice* block, size_t count, bool adopt,
                                              TarnixArena* arena = nullptr);
/* Setters given adopt own the data from the call on: when they refuse it
 * they free it. This frees such data by its type. */
void tarnixField_discardAdopted(int32_t type, void* data, size_t count);
/* Drops the reference on each message of a vector of count (null entries
 * skipped) and frees the array; null does nothing. */
void tarnixField_freeMessages(TarnixPayloadImpl** msgs, size_t count);
/* Numeric vectors: data of count elements of elementSize bytes. */
mama_status tarnixField_setVector(TarnixField* field, const void* data, size_t count, size_t elementSize,
                                  int32_t expectedType, bool adopt, TarnixArena* arena = nullptr);

/* Getters: MAMA_STATUS_WRONG_FIELD_TYPE when the conversion is not allowed. */
#define TARNIX_FIELD_DECLARE_GET(Kind, CType, ...)                                                                     \
    mama_status tarnixField_get##Kind(const TarnixField* field, CType* out);
TARNIX_SCALAR_KINDS(TARNIX_FIELD_DECLARE_GET)
#undef TARNIX_FIELD_DECLARE_GET
mama_status tarnixField_getString(const TarnixField* field, const char** out);
mama_status tarnixField_getOpaque(const TarnixField* field, const void** out, mama_size_t* size);
mama_status tarnixField_getMsg(const TarnixField* field, TarnixPayloadImpl** out);
mama_status tarnixField_getDateTime(const TarnixField* field, mamaDateTime out);
mama_status tarnixField_getPrice(const TarnixField* field, mamaPrice out);

#define TARNIX_FIELD_DECLARE_GET_VECTOR(Kind, CType, ...)                                                              \
    mama_status tarnixField_getVector##Kind(const TarnixField* f, const CType** out, mama_size_t* n);
TARNIX_VECTOR_KINDS(TARNIX_FIELD_DECLARE_GET_VECTOR)
#undef TARNIX_FIELD_DECLARE_GET_VECTOR
mama_status tarnixField_getVectorString(const TarnixField* f, const char*** out, mama_size_t* n);
mama_status tarnixField_getVectorMsg(const TarnixField* f, TarnixPayloadImpl* const** out, mama_size_t* n);
/* The objects stay owned by the record (see TarnixField::handed). */
mama_status tarnixField_getVectorDateTime(TarnixField* f, const mamaDateTime** out, mama_size_t* n);
mama_status tarnixField_getVectorPrice(TarnixField* f, const mamaPrice** out, mama_size_t* n);

/* Deep copy of source into a fresh destination record. */
mama_status tarnixField_copy(const TarnixField* source, TarnixField* destination, TarnixArena* arena = nullptr);
/* Frees what the record owns and unsets it. */
void tarnixField_release(TarnixField* field);
/* Frees what the record owns, leaving the record itself as it was (for a
 * copy about to be dropped). */
void tarnixField_releaseContents(TarnixField* field);

const char* tarnixField_typeName(int32_t type);
mamaFieldType tarnixField_mamaType(int32_t type);
bool tarnixField_isVectorType(int32_t type);
/* Bytes of one element of a numeric, date-time or price vector; 0 for any
 * other type. */
size_t tarnixField_elementSize(int32_t type);

/* Conversions between OpenMAMA's date-time and price and the record forms. */
mama_status tarnixDateTime_fromMama(const mamaDateTime source, TarnixDateTime* out);
mama_status tarnixDateTime_toMama(const TarnixDateTime& source, mamaDateTime out);
mama_status tarnixPrice_fromMama(const mamaPrice source, TarnixPrice* out);
mama_status tarnixPrice_toMama(const TarnixPrice& source, mamaPrice out);

/* Renders the value as text into buffer (always NUL-terminated within
 * length); prefix starts it with "<TYPE>:". */
mama_status tarnixField_toString(TarnixField* field, const char* name, mama_fid_t fid, char* buffer, size_t length,
                                 bool prefix);

#endif
