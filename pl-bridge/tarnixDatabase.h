/* The field store of a tarnixmsg message: fields kept sorted by fid in a
 * linked list ending in a sentinel node, with a per-store node pool, an
 * arena for the fields' names and variable-length values and, for large
 * stores filled or read out of order, an index by fid. */
#ifndef TARNIX_DATABASE_H
#define TARNIX_DATABASE_H

#include "tarnixArena.h"
#include "tarnixField.h"

#include <mama/mama.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct TarnixFieldNode
{
    TarnixField field; /* first member: a field handle is the node */
    TarnixFieldNode* next;
};

/* Nodes that left a store, handed out again before anything is allocated;
 * beyond kKeep of them the rest are freed, so a message that once held a
 * great many fields does not keep their nodes. */
class TarnixNodePool
{
public:
    static constexpr uint32_t kKeep = 2048;

    TarnixNodePool() = default;
    ~TarnixNodePool();
    TarnixNodePool(const TarnixNodePool&) = delete;
    TarnixNodePool& operator=(const TarnixNodePool&) = delete;

    /* A node without successor, or null without memory. Its record is
     * left as it was: the caller sets it. */
    TarnixFieldNode* take()
    {
        TarnixFieldNode* node = mFreeCount ? mFreeNodes[--mFreeCount] : allocate();
        if (node)
            node->next = nullptr;
        return node;
    }
    void give(TarnixFieldNode* node)
    {
        if (mFreeCount == kKeep || (mFreeCount == mFreeCapacity && !grow()))
        {
            free(node);
            return;
        }
        mFreeNodes[mFreeCount++] = node;
    }
    uint32_t freeCount() const { return mFreeCount; }

private:
    static TarnixFieldNode* allocate();
    bool grow();

    TarnixFieldNode** mFreeNodes = nullptr;
    uint32_t mFreeCount = 0;
    uint32_t mFreeCapacity = 0;
};

/* Defined with the store's code; see TarnixMsg::index. */
struct TarnixFidIndex;
struct TarnixFidIndexDelete
{
    void operator()(TarnixFidIndex* index) const;
};

struct TarnixMsg
{
    TarnixFieldNode* head;
    TarnixFieldNode* tail; /* end sentinel; its fid slot is lastFid */
    TarnixNodePool pool;
    /* Names and first values of the fields since the last clear: a string
     * got from the message stays where it is until its field changes or
     * the message is cleared. */
    TarnixArena arena;
    uint32_t count;
    /* Out-of-order inserts and lookups below lastFid walk the list until
     * the walking since the last clear has cost about what building this
     * index would; from then on they go through it in constant time, and
     * every change keeps it in step until the next clear. Lookups build it
     * too, hence mutable. */
    mutable std::unique_ptr<TarnixFidIndex, TarnixFidIndexDelete> index;
    mutable uint64_t walked = 0; /* nodes walked since the last clear */

    mama_fid_t lastFid() const { return tail->field.fid; }
};

TarnixMsg* tarnixMsg_create();
/* Frees the store and every node; *store becomes null. */
void tarnixMsg_destroy(TarnixMsg** store);
void tarnixMsg_clear(TarnixMsg* store);
mama_status tarnixMsg_copy(const TarnixMsg* source, TarnixMsg* destination);

TarnixFieldNode* tarnixMsg_find(const TarnixMsg* store, const char* name, mama_fid_t fid);
TarnixFieldNode* tarnixMsg_findByName(const TarnixMsg* store, const char* name);
TarnixFieldNode* tarnixMsg_insert_sorted(TarnixMsg* store, const char* name, mama_fid_t fid, bool* isNew);
/* nameLen counts the terminator; 0 measures the name. */
mama_status tarnixMsg_set(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, int32_t type,
                          TarnixFieldNode** node);
mama_status tarnixMsg_setString(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, const char* text,
                                size_t size);
int tarnixMsg_remove(TarnixMsg* store, TarnixFieldNode* node);
/* The field of the given type, made when missing, and a fresh block of
 * size bytes for its next value (see tarnixField_newBlock), which the
 * caller fills and sets with tarnixField_setBlock. */
mama_status tarnixMsg_prepare(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, int32_t type,
                              size_t size, TarnixField** field, TarnixBlock* block);

/* Setter family: tarnixMsg_set with the type, then the field setter. */
#define TARNIX_MSG_SCALAR_SETTER(Name, CType)                                                                          \
    mama_status tarnixMsg_set##Name(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, CType value);
TARNIX_MSG_SCALAR_SETTER(Bool, mama_bool_t)
TARNIX_MSG_SCALAR_SETTER(Char, char)
TARNIX_MSG_SCALAR_SETTER(I8, mama_i8_t)
TARNIX_MSG_SCALAR_SETTER(U8, mama_u8_t)
TARNIX_MSG_SCALAR_SETTER(I16, mama_i16_t)
TARNIX_MSG_SCALAR_SETTER(U16, mama_u16_t)
TARNIX_MSG_SCALAR_SETTER(I32, mama_i32_t)
TARNIX_MSG_SCALAR_SETTER(U32, mama_u32_t)
TARNIX_MSG_SCALAR_SETTER(I64, mama_i64_t)
TARNIX_MSG_SCALAR_SETTER(U64, mama_u64_t)
TARNIX_MSG_SCALAR_SETTER(F32, mama_f32_t)
TARNIX_MSG_SCALAR_SETTER(F64, mama_f64_t)
TARNIX_MSG_SCALAR_SETTER(Msg, TarnixPayloadImpl*)
TARNIX_MSG_SCALAR_SETTER(DateTime, const mamaDateTime)
TARNIX_MSG_SCALAR_SETTER(DateTimeRecord, const TarnixDateTime&)
TARNIX_MSG_SCALAR_SETTER(Price, const mamaPrice)
TARNIX_MSG_SCALAR_SETTER(PriceRecord, const TarnixPrice&)
#undef TARNIX_MSG_SCALAR_SETTER

mama_status tarnixMsg_setOpaque(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, const void* bytes,
                                size_t size);
/* Numeric vectors (type codes 17-26, 29, 30). */
mama_status tarnixMsg_setVectorOf(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, int32_t type,
                                  const void* data, size_t count, bool adopt);
mama_status tarnixMsg_setVectorString(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                      const char* const* texts, size_t count, size_t totalSize, bool adopt);
mama_status tarnixMsg_setVectorMsg(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                   TarnixPayloadImpl* const* msgs, size_t count, bool adopt);
mama_status tarnixMsg_setVectorDateTime(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                        const mamaDateTime* values, size_t count);
mama_status tarnixMsg_setVectorDateTimeRecords(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                               TarnixDateTime* block, size_t count, bool adopt);
mama_status tarnixMsg_setVectorPrice(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                     const mamaPrice* values, size_t count);
mama_status tarnixMsg_setVectorPriceRecords(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                            TarnixPrice* block, size_t count, bool adopt);

/* Getter family: MAMA_STATUS_NOT_FOUND without such field, else the field
 * getter's status. */
template <typename... Out>
using TarnixFieldGetter = mama_status (*)(const TarnixField*, Out...);

template <typename... Out>
mama_status tarnixMsg_get(const TarnixMsg* store, const char* name, mama_fid_t fid, TarnixFieldGetter<Out...> getter,
                          Out... out)
{
    TarnixFieldNode* node = tarnixMsg_find(store, name, fid);
    if (!node)
        return MAMA_STATUS_NOT_FOUND;
    return getter(&node->field, out...);
}

mama_status tarnixMsg_getFieldAsString(const TarnixMsg* store, const char* name, mama_fid_t fid, char* buffer,
                                       size_t length);

#endif
