#include "tarnixDatabase.h"

#include "tarnixLog.h"

#include <cstdlib>
#include <cstring>
#include <new>

/* ---- node pool ---------------------------------------------------------- */

TarnixNodePool::~TarnixNodePool()
{
    for (uint32_t i = 0; i < mFreeCount; ++i)
        free(mFreeNodes[i]);
    free(mFreeNodes);
}

TarnixFieldNode* TarnixNodePool::allocate()
{
    return static_cast<TarnixFieldNode*>(calloc(1, sizeof(TarnixFieldNode)));
}

bool TarnixNodePool::grow()
{
    uint32_t capacity = mFreeCapacity ? mFreeCapacity * 2 : 16;
    auto*    grown    = static_cast<TarnixFieldNode**>(
        realloc(mFreeNodes, static_cast<size_t>(capacity) * sizeof *mFreeNodes));
    if (!grown)
        return false;
    mFreeNodes    = grown;
    mFreeCapacity = capacity;
    return true;
}

/* ---- store -------------------------------------------------------------- */

namespace {

/* Links a fresh sentinel after the current one, which becomes a field node. */
TarnixFieldNode* appendNode(TarnixMsg* store)
{
    TarnixFieldNode* fresh = store->pool.take();
    if (!fresh)
        return nullptr;
    TarnixFieldNode* node  = store->tail;
    fresh->field.fid       = node->field.fid; /* lastFid moves to the new sentinel */
    node->next             = fresh;
    store->tail            = fresh;
    tarnixField_init(&node->field);
    ++store->count;
    return node;
}

TarnixFieldNode* newNode(TarnixMsg* store, mama_fid_t fid)
{
    TarnixFieldNode* node = store->pool.take();
    if (!node)
        return nullptr;
    tarnixField_init(&node->field);
    node->field.fid = fid;
    ++store->count;
    return node;
}

} // namespace

TarnixMsg* tarnixMsg_create()
{
    auto* store = new (std::nothrow) TarnixMsg();
    if (!store)
        return nullptr;
    store->tail = store->pool.take();
    if (!store->tail) {
        delete store;
        return nullptr;
    }
    tarnixField_init(&store->tail->field);
    store->head  = store->tail;
    store->count = 0;
    return store;
}

void tarnixMsg_destroy(TarnixMsg** store)
{
    if (!store || !*store)
        return;
    TarnixMsg* s = *store;
    tarnixMsg_clear(s);
    s->pool.give(s->tail);
    delete s; /* the pool frees every node it holds */
    *store = nullptr;
}

void tarnixMsg_clear(TarnixMsg* store)
{
    if (!store)
        return;
    while (store->head != store->tail) {
        TarnixFieldNode* node = store->head;
        store->head           = node->next;
        --store->count;
        TarnixField record = node->field;
        store->pool.give(node);
        tarnixField_releaseContents(&record);
    }
    store->tail->field.fid = 0;
}

mama_status tarnixMsg_copy(const TarnixMsg* source, TarnixMsg* destination)
{
    tarnixMsg_clear(destination);
    for (TarnixFieldNode* from = source->head; from != source->tail; from = from->next) {
        TarnixFieldNode* node = appendNode(destination);
        if (!node) {
            tarnixMsg_clear(destination);
            return MAMA_STATUS_NOMEM;
        }
        mama_status status = tarnixField_copy(&from->field, &node->field);
        if (status != MAMA_STATUS_OK) {
            tarnixMsg_remove(destination, node);
            tarnixMsg_clear(destination);
            return status;
        }
    }
    destination->tail->field.fid = source->lastFid();
    return MAMA_STATUS_OK;
}

TarnixFieldNode* tarnixMsg_findByName(const TarnixMsg* store, const char* name)
{
    if (!name)
        return nullptr;
    for (TarnixFieldNode* node = store->head; node != store->tail; node = node->next)
        if (node->field.name && strcmp(node->field.name, name) == 0)
            return node;
    return nullptr;
}

TarnixFieldNode* tarnixMsg_find(const TarnixMsg* store, const char* name, mama_fid_t fid)
{
    if (fid == 0)
        return tarnixMsg_findByName(store, name);
    if (fid > store->lastFid())
        return nullptr;
    for (TarnixFieldNode* node = store->head; node != store->tail; node = node->next)
        if (node->field.fid == fid)
            return node;
    return nullptr;
}

TarnixFieldNode* tarnixMsg_insert_sorted(TarnixMsg* store, const char* name, mama_fid_t fid,
                                         bool* isNew)
{
    *isNew = false;
    if (fid == 0) {
        /* Fields known by name only come first, one node per name. */
        if (TarnixFieldNode* found = tarnixMsg_findByName(store, name))
            return found;
        TarnixFieldNode* node = newNode(store, 0);
        if (!node)
            return nullptr;
        node->next  = store->head;
        store->head = node;
        *isNew      = true;
        return node;
    }

    if (fid > store->lastFid()) {
        TarnixFieldNode* node = appendNode(store);
        if (!node)
            return nullptr;
        node->field.fid        = fid;
        store->tail->field.fid = fid;
        *isNew                 = true;
        return node;
    }

    TarnixFieldNode* first = store->head;
    if (first == store->tail || fid < first->field.fid) {
        TarnixFieldNode* node = newNode(store, fid);
        if (!node)
            return nullptr;
        node->next  = first;
        store->head = node;
        *isNew      = true;
        return node;
    }
    if (first->field.fid == fid)
        return first;

    TarnixFieldNode* prev = first;
    for (TarnixFieldNode* cur = first->next; cur != store->tail; prev = cur, cur = cur->next) {
        if (cur->field.fid < fid)
            continue;
        if (cur->field.fid == fid)
            return cur;
        TarnixFieldNode* node = newNode(store, fid);
        if (!node)
            return nullptr;
        node->next = cur;
        prev->next = node;
        *isNew     = true;
        return node;
    }

    /* Only reachable when lastFid is stale (a field appended and taken out
     * again): the field still belongs at the end. */
    TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                  "tarnixMsg_insert_sorted: last element insert not caught early fid: %d, lastfid: %d",
                  static_cast<int>(fid), static_cast<int>(store->lastFid()));
    TarnixFieldNode* node = appendNode(store);
    if (!node)
        return nullptr;
    node->field.fid        = fid;
    store->tail->field.fid = fid;
    *isNew                 = true;
    return node;
}

int tarnixMsg_remove(TarnixMsg* store, TarnixFieldNode* node)
{
    TarnixFieldNode* prev = nullptr;
    for (TarnixFieldNode* cur = store->head; cur != store->tail; prev = cur, cur = cur->next) {
        if (cur != node)
            continue;
        if (prev)
            prev->next = cur->next;
        else
            store->head = cur->next;
        --store->count;
        store->pool.give(cur);
        return 0;
    }
    return -1;
}

mama_status tarnixMsg_set(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                          int32_t type, TarnixFieldNode** out)
{
    bool             isNew = false;
    TarnixFieldNode* node  = tarnixMsg_insert_sorted(store, name, fid, &isNew);
    if (!node)
        return MAMA_STATUS_NOMEM;
    if (!isNew) {
        *out = node;
        return MAMA_STATUS_OK;
    }

    /* insert_sorted hands out new nodes with an unset record and the fid. */
    TarnixField* field = &node->field;

    if (name) {
        size_t length = nameLen ? nameLen : strnlen(name, TARNIX_MAX_STRING) + 1;
        mama_status status = MAMA_STATUS_OK;
        if (length > TARNIX_MAX_STRING) {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Fieldname too long for fid %d; length: %zu; max: %zu",
                          static_cast<int>(fid), length, TARNIX_MAX_STRING);
            status = MAMA_STATUS_INVALID_ARG;
        } else {
            /* One spare byte keeps even an unterminated name a C string. */
            field->name = static_cast<char*>(malloc(length + 1));
            if (!field->name) {
                status = MAMA_STATUS_NOMEM;
            } else {
                size_t copied = strnlen(name, length);
                memcpy(field->name, name, copied);
                memset(field->name + copied, 0, length + 1 - copied);
                field->nameLen = static_cast<uint32_t>(length);
            }
        }
        if (status != MAMA_STATUS_OK) {
            if (tarnixMsg_remove(store, node) != 0)
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixMsg_set cleanup element failed.");
            return status;
        }
    }

    field->type = type;
    *out        = node;
    return MAMA_STATUS_OK;
}

mama_status tarnixMsg_setString(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                const char* text, size_t size)
{
    if (!text)
        return MAMA_STATUS_NULL_ARG;
    if (size == 0)
        size = strnlen(text, TARNIX_MAX_STRING) + 1;
    if (size > TARNIX_MAX_STRING) {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "tarnixMsg_setString: incoming string too big: %zu; max: %zu",
                      size, TARNIX_MAX_STRING);
        return MAMA_STATUS_INVALID_ARG;
    }
    TarnixFieldNode* node;
    mama_status      status = tarnixMsg_set(store, name, nameLen, fid, TARNIX_TYPE_STRING, &node);
    if (status != MAMA_STATUS_OK)
        return status;
    return tarnixField_setString(&node->field, text, size);
}

mama_status tarnixMsg_setVector(TarnixFieldNode* node, const void* data, size_t count,
                                size_t elementSize, int32_t expectedType, bool adopt)
{
    return tarnixField_setVector(&node->field, data, count, elementSize, expectedType, adopt);
}

#define TARNIX_MSG_SCALAR_SETTER(Name, CType, Type)                                               \
    mama_status tarnixMsg_set##Name(TarnixMsg* store, const char* name, size_t nameLen,           \
                                    mama_fid_t fid, CType value)                                  \
    {                                                                                             \
        TarnixFieldNode* node;                                                                    \
        mama_status      status = tarnixMsg_set(store, name, nameLen, fid, Type, &node);          \
        if (status != MAMA_STATUS_OK)                                                             \
            return status;                                                                        \
        return tarnixField_set##Name(&node->field, value);                                        \
    }

TARNIX_MSG_SCALAR_SETTER(Bool, mama_bool_t, TARNIX_TYPE_BOOL)
TARNIX_MSG_SCALAR_SETTER(Char, char, TARNIX_TYPE_WCHAR)
TARNIX_MSG_SCALAR_SETTER(I8, mama_i8_t, TARNIX_TYPE_INT8)
TARNIX_MSG_SCALAR_SETTER(U8, mama_u8_t, TARNIX_TYPE_UINT8)
TARNIX_MSG_SCALAR_SETTER(I16, mama_i16_t, TARNIX_TYPE_INT16)
TARNIX_MSG_SCALAR_SETTER(U16, mama_u16_t, TARNIX_TYPE_UINT16)
TARNIX_MSG_SCALAR_SETTER(I32, mama_i32_t, TARNIX_TYPE_INT32)
TARNIX_MSG_SCALAR_SETTER(U32, mama_u32_t, TARNIX_TYPE_UINT32)
TARNIX_MSG_SCALAR_SETTER(I64, mama_i64_t, TARNIX_TYPE_INT64)
TARNIX_MSG_SCALAR_SETTER(U64, mama_u64_t, TARNIX_TYPE_UINT64)
TARNIX_MSG_SCALAR_SETTER(F32, mama_f32_t, TARNIX_TYPE_FLOAT)
TARNIX_MSG_SCALAR_SETTER(F64, mama_f64_t, TARNIX_TYPE_DOUBLE)
TARNIX_MSG_SCALAR_SETTER(Msg, TarnixPayloadImpl*, TARNIX_TYPE_TXM)
TARNIX_MSG_SCALAR_SETTER(DateTime, const mamaDateTime, TARNIX_TYPE_DATETIME)
TARNIX_MSG_SCALAR_SETTER(DateTimeRecord, const TarnixDateTime&, TARNIX_TYPE_DATETIME)
TARNIX_MSG_SCALAR_SETTER(Price, const mamaPrice, TARNIX_TYPE_PRICE)
TARNIX_MSG_SCALAR_SETTER(PriceRecord, const TarnixPrice&, TARNIX_TYPE_PRICE)

#undef TARNIX_MSG_SCALAR_SETTER

mama_status tarnixMsg_setOpaque(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                const void* bytes, size_t size)
{
    TarnixFieldNode* node;
    mama_status      status = tarnixMsg_set(store, name, nameLen, fid, TARNIX_TYPE_OPAQUE, &node);
    if (status != MAMA_STATUS_OK)
        return status;
    return tarnixField_setOpaque(&node->field, bytes, size);
}

size_t tarnixMsg_vectorElementSize(int32_t type)
{
    switch (type) {
    case TARNIX_TYPE_VBOOL:
    case TARNIX_TYPE_VUINT8:
    case TARNIX_TYPE_VINT8:
    case TARNIX_TYPE_VWCHAR:  return 1;
    case TARNIX_TYPE_VUINT16:
    case TARNIX_TYPE_VINT16:  return 2;
    case TARNIX_TYPE_VUINT32:
    case TARNIX_TYPE_VINT32:
    case TARNIX_TYPE_VFLOAT:  return 4;
    case TARNIX_TYPE_VUINT64:
    case TARNIX_TYPE_VINT64:
    case TARNIX_TYPE_VDOUBLE: return 8;
    default:                  return 0;
    }
}

mama_status tarnixMsg_setVectorOf(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                  int32_t type, const void* data, size_t count, bool adopt)
{
    size_t elementSize = tarnixMsg_vectorElementSize(type);
    if (elementSize == 0) {
        if (adopt)
            free(const_cast<void*>(data));
        return MAMA_STATUS_INVALID_ARG;
    }
    TarnixFieldNode* node;
    mama_status      status = tarnixMsg_set(store, name, nameLen, fid, type, &node);
    if (status != MAMA_STATUS_OK) {
        if (adopt)
            tarnixField_discardAdopted(type, const_cast<void*>(data), count);
        return status;
    }
    return tarnixMsg_setVector(node, data, count, elementSize, type, adopt);
}

mama_status tarnixMsg_setVectorString(TarnixMsg* store, const char* name, size_t nameLen,
                                      mama_fid_t fid, const char* const* texts, size_t count,
                                      size_t totalSize, bool adopt)
{
    TarnixFieldNode* node;
    mama_status      status = tarnixMsg_set(store, name, nameLen, fid, TARNIX_TYPE_VSTRING, &node);
    if (status != MAMA_STATUS_OK) {
        if (adopt)
            tarnixField_discardAdopted(TARNIX_TYPE_VSTRING, const_cast<char**>(texts), count);
        return status;
    }
    return tarnixField_setVectorString(&node->field, texts, count, totalSize, adopt);
}

mama_status tarnixMsg_setVectorMsg(TarnixMsg* store, const char* name, size_t nameLen,
                                   mama_fid_t fid, TarnixPayloadImpl* const* msgs, size_t count,
                                   bool adopt)
{
    TarnixFieldNode* node;
    mama_status      status = tarnixMsg_set(store, name, nameLen, fid, TARNIX_TYPE_VTXM, &node);
    if (status != MAMA_STATUS_OK) {
        if (adopt)
            tarnixField_discardAdopted(TARNIX_TYPE_VTXM, const_cast<TarnixPayloadImpl**>(msgs), count);
        return status;
    }
    return tarnixField_setVectorMsg(&node->field, msgs, count, adopt);
}

mama_status tarnixMsg_setVectorDateTime(TarnixMsg* store, const char* name, size_t nameLen,
                                        mama_fid_t fid, const mamaDateTime* values, size_t count)
{
    TarnixFieldNode* node;
    mama_status status = tarnixMsg_set(store, name, nameLen, fid, TARNIX_TYPE_VDATETIME, &node);
    if (status != MAMA_STATUS_OK)
        return status;
    return tarnixField_setVectorDateTime(&node->field, values, count);
}

mama_status tarnixMsg_setVectorDateTimeRecords(TarnixMsg* store, const char* name, size_t nameLen,
                                               mama_fid_t fid, TarnixDateTime* block, size_t count,
                                               bool adopt)
{
    TarnixFieldNode* node;
    mama_status status = tarnixMsg_set(store, name, nameLen, fid, TARNIX_TYPE_VDATETIME, &node);
    if (status != MAMA_STATUS_OK) {
        if (adopt)
            tarnixField_discardAdopted(TARNIX_TYPE_VDATETIME, block, count);
        return status;
    }
    return tarnixField_setVectorDateTimeRecords(&node->field, block, count, adopt);
}

mama_status tarnixMsg_setVectorPrice(TarnixMsg* store, const char* name, size_t nameLen,
                                     mama_fid_t fid, const mamaPrice* values, size_t count)
{
    TarnixFieldNode* node;
    mama_status      status = tarnixMsg_set(store, name, nameLen, fid, TARNIX_TYPE_VPRICE, &node);
    if (status != MAMA_STATUS_OK)
        return status;
    return tarnixField_setVectorPrice(&node->field, values, count);
}

mama_status tarnixMsg_setVectorPriceRecords(TarnixMsg* store, const char* name, size_t nameLen,
                                            mama_fid_t fid, TarnixPrice* block, size_t count,
                                            bool adopt)
{
    TarnixFieldNode* node;
    mama_status      status = tarnixMsg_set(store, name, nameLen, fid, TARNIX_TYPE_VPRICE, &node);
    if (status != MAMA_STATUS_OK) {
        if (adopt)
            tarnixField_discardAdopted(TARNIX_TYPE_VPRICE, block, count);
        return status;
    }
    return tarnixField_setVectorPriceRecords(&node->field, block, count, adopt);
}

mama_status tarnixMsg_getFieldAsString(const TarnixMsg* store, const char* name, mama_fid_t fid,
                                       char* buffer, size_t length)
{
    TarnixFieldNode* node = tarnixMsg_find(store, name, fid);
    if (!node)
        return MAMA_STATUS_NOT_FOUND;
    bool composite = node->field.type == TARNIX_TYPE_TXM || tarnixField_isVectorType(node->field.type);
    return tarnixField_toString(&node->field, name, fid, buffer, length, composite);
}
