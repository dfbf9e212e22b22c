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
    auto* grown =
        static_cast<TarnixFieldNode**>(realloc(mFreeNodes, static_cast<size_t>(capacity) * sizeof *mFreeNodes));
    if (!grown)
        return false;
    mFreeNodes = grown;
    mFreeCapacity = capacity;
    return true;
}

/* ---- fid index ---------------------------------------------------------- */

/* Every field by fid, in pages of 64 fids with a bit per fid held and a bit
 * per page holding any: a field, and the field an absent fid would follow,
 * are each found in a few word operations. At most 8 KB plus 520 bytes per
 * page in use (530 KB when all are); pages stay allocated across clears. */
struct TarnixFidIndex
{
    static constexpr unsigned kPageBits = 6;
    static constexpr unsigned kPageFids = 1u << kPageBits;
    static constexpr unsigned kPages = 65536 / kPageFids;

    struct Page
    {
        uint64_t held; /* bit per fid */
        TarnixFieldNode* node[kPageFids];
    };

    std::unique_ptr<Page> pages[kPages];
    uint64_t pagesHeld[kPages / 64] = {};
    /* Fid-ordered fields follow the last name-only field (fid 0). */
    TarnixFieldNode* lastNameOnly = nullptr;
    bool live = false;

    TarnixFieldNode* find(mama_fid_t fid) const
    {
        const Page* page = pages[fid >> kPageBits].get();
        unsigned bit = fid & (kPageFids - 1);
        return page && (page->held >> bit & 1) ? page->node[bit] : nullptr;
    }

    /* The field an absent fid goes after: the highest lower fid, else the
     * last name-only field, else none (it goes first). */
    TarnixFieldNode* before(mama_fid_t fid) const
    {
        unsigned p = fid >> kPageBits;
        const Page* page = pages[p].get();
        uint64_t lower = page ? page->held & ((uint64_t{1} << (fid & (kPageFids - 1))) - 1) : 0;
        if (!lower)
        {
            unsigned w = p / 64;
            uint64_t bits = pagesHeld[w] & ((uint64_t{1} << (p % 64)) - 1);
            while (!bits)
            {
                if (w == 0)
                    return lastNameOnly;
                bits = pagesHeld[--w];
            }
            page = pages[w * 64 + highestBit(bits)].get();
            lower = page->held;
        }
        return page->node[highestBit(lower)];
    }

    /* False without memory for a new page. */
    bool add(mama_fid_t fid, TarnixFieldNode* node)
    {
        if (fid == 0)
        {
            lastNameOnly = node;
            return true;
        }
        unsigned p = fid >> kPageBits;
        if (!pages[p])
        {
            pages[p].reset(new (std::nothrow) Page());
            if (!pages[p])
                return false;
        }
        unsigned bit = fid & (kPageFids - 1);
        pages[p]->node[bit] = node;
        pages[p]->held |= uint64_t{1} << bit;
        pagesHeld[p / 64] |= uint64_t{1} << (p % 64);
        return true;
    }

    /* A field just linked; without memory the index is dropped rather than
     * left incomplete. Out of line: the append path only tests for a live
     * index. */
    __attribute__((noinline)) void record(mama_fid_t fid, TarnixFieldNode* node)
    {
        if (!add(fid, node))
            clear();
    }

    void remove(mama_fid_t fid)
    {
        unsigned p = fid >> kPageBits;
        pages[p]->held &= ~(uint64_t{1} << (fid & (kPageFids - 1)));
        if (!pages[p]->held)
            pagesHeld[p / 64] &= ~(uint64_t{1} << (p % 64));
    }

    void clear()
    {
        for (unsigned w = 0; w < kPages / 64; ++w)
        {
            for (uint64_t bits = pagesHeld[w]; bits; bits &= bits - 1)
                pages[w * 64 + __builtin_ctzll(bits)]->held = 0;
            pagesHeld[w] = 0;
        }
        lastNameOnly = nullptr;
        live = false;
    }

private:
    static unsigned highestBit(uint64_t bits) { return 63 - __builtin_clzll(bits); }
};

void TarnixFidIndexDelete::operator()(TarnixFidIndex* index) const
{
    delete index;
}

namespace
{

/* Below this many fields a walk costs no more than keeping an index. */
constexpr uint32_t kIndexFrom = 64;
/* Building the index costs about as much as walking this many nodes per
 * field. */
constexpr uint64_t kWalkPerField = 4;

TarnixFidIndex* liveIndex(const TarnixMsg* store)
{
    return store->index && store->index->live ? store->index.get() : nullptr;
}

/* The live index, built now if the walks since the last clear have cost
 * as much as building it; null while walking stays cheaper, or without
 * memory (walking then goes on, only slower). */
TarnixFidIndex* indexWhenWorthIt(const TarnixMsg* store)
{
    if (TarnixFidIndex* index = liveIndex(store))
        return index;
    if (store->count < kIndexFrom || store->walked < kWalkPerField * store->count)
        return nullptr;
    store->walked = 0; /* a failed build waits for as much walking again */
    if (!store->index)
        store->index.reset(new (std::nothrow) TarnixFidIndex());
    TarnixFidIndex* index = store->index.get();
    if (!index)
        return nullptr;
    for (TarnixFieldNode* node = store->head; node != store->tail; node = node->next)
    {
        if (!index->add(node->field.fid, node))
        {
            index->clear();
            return nullptr;
        }
    }
    index->live = true;
    return index;
}

/* Keeps a live index in step with a field just linked. */
void indexAdd(const TarnixMsg* store, mama_fid_t fid, TarnixFieldNode* node)
{
    if (TarnixFidIndex* index = liveIndex(store))
        index->record(fid, node);
}

/* Links a fresh sentinel after the current one, which becomes a field node. */
TarnixFieldNode* appendNode(TarnixMsg* store)
{
    TarnixFieldNode* fresh = store->pool.take();
    if (!fresh)
        return nullptr;
    TarnixFieldNode* node = store->tail;
    fresh->field.fid = node->field.fid; /* lastFid moves to the new sentinel */
    node->next = fresh;
    store->tail = fresh;
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
    if (!store->tail)
    {
        delete store;
        return nullptr;
    }
    tarnixField_init(&store->tail->field);
    store->head = store->tail;
    store->count = 0;
    return store;
}

namespace
{

void releaseFields(TarnixMsg* store)
{
    while (store->head != store->tail)
    {
        TarnixFieldNode* node = store->head;
        store->head = node->next;
        --store->count;
        TarnixField record = node->field;
        store->pool.give(node);
        tarnixField_releaseContents(&record);
    }
}

} // namespace

void tarnixMsg_destroy(TarnixMsg** store)
{
    if (!store || !*store)
        return;
    TarnixMsg* s = *store;
    releaseFields(s);
    s->pool.give(s->tail);
    delete s; /* the pool and the arena free what they hold */
    *store = nullptr;
}

void tarnixMsg_clear(TarnixMsg* store)
{
    if (!store)
        return;
    releaseFields(store);
    store->arena.clear();
    store->tail->field.fid = 0;
    if (TarnixFidIndex* index = liveIndex(store))
        index->clear();
    store->walked = 0;
}

mama_status tarnixMsg_copy(const TarnixMsg* source, TarnixMsg* destination)
{
    tarnixMsg_clear(destination);
    for (TarnixFieldNode* from = source->head; from != source->tail; from = from->next)
    {
        TarnixFieldNode* node = appendNode(destination);
        if (!node)
        {
            tarnixMsg_clear(destination);
            return MAMA_STATUS_NOMEM;
        }
        mama_status status = tarnixField_copy(&from->field, &node->field, &destination->arena);
        if (status != MAMA_STATUS_OK)
        {
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
    if (store->count >= kIndexFrom)
    {
        if (const TarnixFidIndex* index = indexWhenWorthIt(store))
            return index->find(fid);
    }
    /* Name-only fields (fid 0) come first; the walk stops at the fid's place. */
    uint64_t steps = 0;
    for (TarnixFieldNode* node = store->head; node != store->tail; node = node->next, ++steps)
    {
        if (node->field.fid >= fid)
        {
            store->walked += steps;
            return node->field.fid == fid ? node : nullptr;
        }
    }
    store->walked += steps;
    return nullptr;
}

namespace
{

/* A new field of the given fid at the end; fid becomes lastFid. */
inline TarnixFieldNode* appendField(TarnixMsg* store, mama_fid_t fid)
{
    TarnixFieldNode* node = appendNode(store);
    if (!node)
        return nullptr;
    node->field.fid = fid;
    store->tail->field.fid = fid;
    indexAdd(store, fid, node);
    return node;
}

/* A field above every stored fid but not above lastFid: only possible when
 * lastFid is stale (a field appended and taken out again). It still
 * belongs at the end. */
TarnixFieldNode* appendBelowLastFid(TarnixMsg* store, mama_fid_t fid)
{
    TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                  "tarnixMsg_insert_sorted: last element insert not caught early fid: %d, lastfid: %d",
                  static_cast<int>(fid), static_cast<int>(store->lastFid()));
    return appendField(store, fid);
}

/* Out of order through the index: the field, or its place, in O(1). */
TarnixFieldNode* insertIndexed(TarnixMsg* store, TarnixFidIndex& index, mama_fid_t fid, bool* isNew)
{
    if (TarnixFieldNode* found = index.find(fid))
        return found;
    TarnixFieldNode* before = index.before(fid);
    TarnixFieldNode* after = before ? before->next : store->head;
    if (after == store->tail)
    {
        TarnixFieldNode* node = appendBelowLastFid(store, fid);
        *isNew = node != nullptr;
        return node;
    }
    TarnixFieldNode* node = newNode(store, fid);
    if (!node)
        return nullptr;
    *isNew = true;
    node->next = after;
    if (before)
        before->next = node;
    else
        store->head = node;
    indexAdd(store, fid, node);
    return node;
}

/* Fields known by name only come first, one node per name. Out of line,
 * off the fid path. */
__attribute__((noinline)) TarnixFieldNode* insertNameOnly(TarnixMsg* store, const char* name, bool* isNew)
{
    if (TarnixFieldNode* found = tarnixMsg_findByName(store, name))
        return found;
    bool firstNameOnly = store->head == store->tail || store->head->field.fid != 0;
    TarnixFieldNode* node = newNode(store, 0);
    if (!node)
        return nullptr;
    node->next = store->head;
    store->head = node;
    *isNew = true;
    if (firstNameOnly) /* the fid-ordered fields now follow this one */
        indexAdd(store, 0, node);
    return node;
}

/* A fid after the first field and not above lastFid: a walk, or the index
 * once walking has cost enough. Out of line, off the append path. */
__attribute__((noinline)) TarnixFieldNode* insertAfterFirst(TarnixMsg* store, mama_fid_t fid, bool* isNew)
{
    if (TarnixFidIndex* index = indexWhenWorthIt(store))
        return insertIndexed(store, *index, fid, isNew);

    TarnixFieldNode* prev = store->head;
    uint64_t steps = 1;
    for (TarnixFieldNode* cur = prev->next; cur != store->tail; prev = cur, cur = cur->next, ++steps)
    {
        if (cur->field.fid < fid)
            continue;
        store->walked += steps;
        if (cur->field.fid == fid)
            return cur;
        TarnixFieldNode* node = newNode(store, fid);
        if (!node)
            return nullptr;
        node->next = cur;
        prev->next = node;
        *isNew = true;
        return node;
    }
    store->walked += steps;
    TarnixFieldNode* node = appendBelowLastFid(store, fid);
    *isNew = node != nullptr;
    return node;
}

} // namespace

TarnixFieldNode* tarnixMsg_insert_sorted(TarnixMsg* store, const char* name, mama_fid_t fid, bool* isNew)
{
    *isNew = false;
    if (fid == 0)
        return insertNameOnly(store, name, isNew);

    if (fid > store->lastFid())
    {
        TarnixFieldNode* node = appendField(store, fid);
        *isNew = node != nullptr;
        return node;
    }

    TarnixFieldNode* first = store->head;
    if (first == store->tail || fid < first->field.fid)
    {
        TarnixFieldNode* node = newNode(store, fid);
        if (!node)
            return nullptr;
        node->next = first;
        store->head = node;
        *isNew = true;
        indexAdd(store, fid, node);
        return node;
    }
    if (first->field.fid == fid)
        return first;
    return insertAfterFirst(store, fid, isNew);
}

int tarnixMsg_remove(TarnixMsg* store, TarnixFieldNode* node)
{
    TarnixFieldNode* prev = nullptr;
    for (TarnixFieldNode* cur = store->head; cur != store->tail; prev = cur, cur = cur->next)
    {
        if (cur != node)
            continue;
        if (prev)
            prev->next = cur->next;
        else
            store->head = cur->next;
        --store->count;
        if (TarnixFidIndex* index = liveIndex(store))
        {
            /* name-only fields sit together at the head: prev is one or none */
            if (cur->field.fid == 0 && index->lastNameOnly == cur)
                index->lastNameOnly = prev;
            else if (cur->field.fid != 0 && index->find(cur->field.fid) == cur)
                index->remove(cur->field.fid);
        }
        store->pool.give(cur);
        return 0;
    }
    return -1;
}

mama_status tarnixMsg_set(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, int32_t type,
                          TarnixFieldNode** out)
{
    bool isNew = false;
    TarnixFieldNode* node = tarnixMsg_insert_sorted(store, name, fid, &isNew);
    if (!node)
        return MAMA_STATUS_NOMEM;
    if (!isNew)
    {
        *out = node;
        return MAMA_STATUS_OK;
    }

    /* insert_sorted hands out new nodes with an unset record and the fid. */
    TarnixField* field = &node->field;

    if (name)
    {
        size_t length = nameLen ? nameLen : strnlen(name, TARNIX_MAX_STRING) + 1;
        mama_status status = MAMA_STATUS_OK;
        if (length > TARNIX_MAX_STRING)
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Fieldname too long for fid %d; length: %zu; max: %zu",
                          static_cast<int>(fid), length, TARNIX_MAX_STRING);
            status = MAMA_STATUS_INVALID_ARG;
        }
        else
        {
            /* One spare byte keeps even an unterminated name a C string. */
            field->name = static_cast<char*>(store->arena.take(length + 1));
            if (!field->name)
            {
                status = MAMA_STATUS_NOMEM;
            }
            else
            {
                field->inArena |= TARNIX_NAME_IN_ARENA;
                size_t copied = strnlen(name, length);
                memcpy(field->name, name, copied);
                memset(field->name + copied, 0, length + 1 - copied);
                field->nameLen = static_cast<uint32_t>(length);
            }
        }
        if (status != MAMA_STATUS_OK)
        {
            if (tarnixMsg_remove(store, node) != 0)
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixMsg_set cleanup element failed.");
            return status;
        }
    }

    field->type = type;
    *out = node;
    return MAMA_STATUS_OK;
}

mama_status tarnixMsg_prepare(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, int32_t type,
                              size_t size, TarnixField** field, TarnixBlock* block)
{
    TarnixFieldNode* node;
    mama_status status = tarnixMsg_set(store, name, nameLen, fid, type, &node);
    if (status != MAMA_STATUS_OK)
        return status;
    if (node->field.type != type)
        return MAMA_STATUS_WRONG_FIELD_TYPE;
    *block = tarnixField_newBlock(&node->field, size, &store->arena);
    if (!block->data)
        return MAMA_STATUS_NOMEM;
    *field = &node->field;
    return MAMA_STATUS_OK;
}

namespace
{

/* The field of the given type (tarnixMsg_set), then its setter. A setter
 * given adopt owns adopted from the call on: it is freed when there is no
 * field to take it. */
template <typename Set>
inline mama_status setField(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, int32_t type, Set set,
                            const void* adopted = nullptr, size_t count = 0)
{
    TarnixFieldNode* node;
    mama_status status = tarnixMsg_set(store, name, nameLen, fid, type, &node);
    if (status != MAMA_STATUS_OK)
    {
        tarnixField_discardAdopted(type, const_cast<void*>(adopted), count);
        return status;
    }
    return set(&node->field);
}

} // namespace

mama_status tarnixMsg_setString(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, const char* text,
                                size_t size)
{
    if (!text)
        return MAMA_STATUS_NULL_ARG;
    if (size == 0)
        size = strnlen(text, TARNIX_MAX_STRING) + 1;
    if (size > TARNIX_MAX_STRING)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "tarnixMsg_setString: incoming string too big: %zu; max: %zu", size,
                      TARNIX_MAX_STRING);
        return MAMA_STATUS_INVALID_ARG;
    }
    return setField(store, name, nameLen, fid, TARNIX_TYPE_STRING,
                    [&](TarnixField* f) { return tarnixField_setString(f, text, size, &store->arena); });
}

#define TARNIX_MSG_SCALAR_SETTER(Name, CType, Type, ...)                                                               \
    mama_status tarnixMsg_set##Name(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, CType value)   \
    {                                                                                                                  \
        return setField(store, name, nameLen, fid, Type,                                                               \
                        [&](TarnixField* f) { return tarnixField_set##Name(f, value); });                              \
    }

TARNIX_SCALAR_KINDS(TARNIX_MSG_SCALAR_SETTER)
TARNIX_MSG_SCALAR_SETTER(Msg, TarnixPayloadImpl*, TARNIX_TYPE_TXM)
TARNIX_MSG_SCALAR_SETTER(DateTime, const mamaDateTime, TARNIX_TYPE_DATETIME)
TARNIX_MSG_SCALAR_SETTER(DateTimeRecord, const TarnixDateTime&, TARNIX_TYPE_DATETIME)
TARNIX_MSG_SCALAR_SETTER(Price, const mamaPrice, TARNIX_TYPE_PRICE)
TARNIX_MSG_SCALAR_SETTER(PriceRecord, const TarnixPrice&, TARNIX_TYPE_PRICE)
#undef TARNIX_MSG_SCALAR_SETTER

mama_status tarnixMsg_setOpaque(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, const void* bytes,
                                size_t size)
{
    return setField(store, name, nameLen, fid, TARNIX_TYPE_OPAQUE,
                    [&](TarnixField* f) { return tarnixField_setOpaque(f, bytes, size, &store->arena); });
}

mama_status tarnixMsg_setVectorOf(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, int32_t type,
                                  const void* data, size_t count, bool adopt)
{
    /* Numeric vectors only: date-times and prices have setters of their own. */
    bool numeric = type != TARNIX_TYPE_VDATETIME && type != TARNIX_TYPE_VPRICE;
    size_t elementSize = numeric ? tarnixField_elementSize(type) : 0;
    if (elementSize == 0)
    {
        if (adopt)
            free(const_cast<void*>(data));
        return MAMA_STATUS_INVALID_ARG;
    }
    return setField(
        store, name, nameLen, fid, type,
        [&](TarnixField* f) { return tarnixField_setVector(f, data, count, elementSize, type, adopt, &store->arena); },
        adopt ? data : nullptr, count);
}

mama_status tarnixMsg_setVectorString(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                      const char* const* texts, size_t count, size_t totalSize, bool adopt)
{
    return setField(
        store, name, nameLen, fid, TARNIX_TYPE_VSTRING,
        [&](TarnixField* f) { return tarnixField_setVectorString(f, texts, count, totalSize, adopt, &store->arena); },
        adopt ? texts : nullptr, count);
}

mama_status tarnixMsg_setVectorMsg(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,
                                   TarnixPayloadImpl* const* msgs, size_t count, bool adopt)
{
    return setField(
        store, name, nameLen, fid, TARNIX_TYPE_VTXM,
        [&](TarnixField* f) { return tarnixField_setVectorMsg(f, msgs, count, adopt); }, adopt ? msgs : nullptr, count);
}

#define TARNIX_MSG_RECORD_VECTOR(Kind, Record, Object, Type, VectorType, ...)                                          \
    mama_status tarnixMsg_setVector##Kind(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid,          \
                                          const Object* values, size_t count)                                          \
    {                                                                                                                  \
        return setField(store, name, nameLen, fid, VectorType,                                                         \
                        [&](TarnixField* f) { return tarnixField_setVector##Kind(f, values, count, &store->arena); }); \
    }                                                                                                                  \
    mama_status tarnixMsg_setVector##Kind##Records(TarnixMsg* store, const char* name, size_t nameLen, mama_fid_t fid, \
                                                   Record* block, size_t count, bool adopt)                            \
    {                                                                                                                  \
        auto set = [&](TarnixField* f)                                                                                 \
        { return tarnixField_setVector##Kind##Records(f, block, count, adopt, &store->arena); };                       \
        return setField(store, name, nameLen, fid, VectorType, set, adopt ? block : nullptr, count);                   \
    }
TARNIX_RECORD_KINDS(TARNIX_MSG_RECORD_VECTOR)
#undef TARNIX_MSG_RECORD_VECTOR

mama_status tarnixMsg_getFieldAsString(const TarnixMsg* store, const char* name, mama_fid_t fid, char* buffer,
                                       size_t length)
{
    TarnixFieldNode* node = tarnixMsg_find(store, name, fid);
    if (!node)
        return MAMA_STATUS_NOT_FOUND;
    bool composite = node->field.type == TARNIX_TYPE_TXM || tarnixField_isVectorType(node->field.type);
    return tarnixField_toString(&node->field, name, fid, buffer, length, composite);
}
