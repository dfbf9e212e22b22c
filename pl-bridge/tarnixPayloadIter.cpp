/* Iteration over a payload's fields and the field-handle exports. */
#include "tarnixPayloadIter.h"

#include "tarnixDatabase.h"
#include "tarnixPayload.h"

#include <mama/integration/msgfield.h>

#include <cstdlib>
#include <new>

namespace
{

inline TarnixPayloadImpl* impl(msgPayload msg)
{
    return static_cast<TarnixPayloadImpl*>(msg);
}

inline TarnixField* fieldOf(msgFieldPayload field)
{
    return static_cast<TarnixField*>(field);
}

/* Only the end sentinel has no successor. */
inline bool isSentinel(const TarnixFieldNode* node)
{
    return node->next == nullptr;
}

void place(TarnixPayloadIter* iter, TarnixMsg* fields)
{
    iter->mFields = fields;
    iter->mCurrent = fields->head;
    iter->mAtStart = true;
}

/* A field handle that holds a typed field: NULL_ARG without a field,
 * INVALID_ARG for one never typed. */
inline TarnixField* typedField(msgFieldPayload handle, mama_status* status)
{
    TarnixField* field = fieldOf(handle);
    *status = !field                            ? MAMA_STATUS_NULL_ARG
              : field->type == TARNIX_TYPE_NONE ? MAMA_STATUS_INVALID_ARG
                                                : MAMA_STATUS_OK;
    return *status == MAMA_STATUS_OK ? field : nullptr;
}

/* Field-handle getters: a field, typed, and every out argument given. */
template <typename... Out>
mama_status getThrough(msgFieldPayload handle, TarnixFieldGetter<Out...> getter, Out... out)
{
    mama_status status;
    TarnixField* field = typedField(handle, &status);
    if (!field)
        return status;
    bool missing = false;
    ((missing = missing || out == nullptr), ...);
    if (missing)
        return MAMA_STATUS_NULL_ARG;
    return getter(field, out...);
}

} // namespace

extern "C"
{

    /* ---- iterator ----------------------------------------------------------- */

    mama_status tarnixmsgPayloadIter_create(msgPayloadIter* iter, msgPayload msg)
    {
        TarnixPayloadImpl* payload = impl(msg);
        if (!payload || !iter)
            return MAMA_STATUS_NULL_ARG;
        if (!payload->mFields)
            return MAMA_STATUS_NULL_ARG;
        auto* created = new (std::nothrow) TarnixPayloadIter();
        if (!created)
            return MAMA_STATUS_NOMEM;
        place(created, payload->mFields);
        *iter = created;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgPayloadIter_associate(msgPayloadIter iter, msgPayload msg)
    {
        TarnixPayloadImpl* payload = impl(msg);
        if (!payload || !payload->mFields || !iter)
            return MAMA_STATUS_NULL_ARG;
        place(static_cast<TarnixPayloadIter*>(iter), payload->mFields);
        return MAMA_STATUS_OK;
    }

    msgFieldPayload tarnixmsgPayloadIter_next(msgPayloadIter iter, msgFieldPayload, msgPayload msg)
    {
        auto* it = static_cast<TarnixPayloadIter*>(iter);
        TarnixPayloadImpl* payload = impl(msg);
        if (!it || !payload || !payload->mFields)
            return nullptr;
        if (!it->mCurrent)
            it->mCurrent = payload->mFields->head;
        if (it->mAtStart)
        {
            if (isSentinel(it->mCurrent))
                return nullptr;
            it->mAtStart = false;
            return &it->mCurrent->field;
        }
        if (isSentinel(it->mCurrent) || isSentinel(it->mCurrent->next))
            return nullptr;
        it->mCurrent = it->mCurrent->next;
        return &it->mCurrent->field;
    }

    mama_bool_t tarnixmsgPayloadIter_hasNext(msgPayloadIter iter, msgPayload msg)
    {
        auto* it = static_cast<TarnixPayloadIter*>(iter);
        if (!it || !it->mCurrent || !msg)
            return 0;
        if (it->mAtStart)
            return !isSentinel(it->mCurrent);
        return !isSentinel(it->mCurrent) && !isSentinel(it->mCurrent->next);
    }

    msgFieldPayload tarnixmsgPayloadIter_begin(msgPayloadIter iter, msgFieldPayload, msgPayload msg)
    {
        auto* it = static_cast<TarnixPayloadIter*>(iter);
        TarnixPayloadImpl* payload = impl(msg);
        if (!it || !payload || !payload->mFields)
            return nullptr;
        place(it, payload->mFields);
        return isSentinel(it->mCurrent) ? nullptr : &it->mCurrent->field;
    }

    msgFieldPayload tarnixmsgPayloadIter_end(msgPayloadIter, msgPayload)
    {
        return nullptr;
    }

    mama_status tarnixmsgPayloadIter_destroy(msgPayloadIter iter)
    {
        if (!iter)
            return MAMA_STATUS_NULL_ARG;
        delete static_cast<TarnixPayloadIter*>(iter);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgPayload_iterateFields(const msgPayload msg, const mamaMsg parent, mamaMsgField field,
                                               mamaMsgIteratorCb cb, void* closure)
    {
        TarnixPayloadImpl* payload = impl(msg);
        if (!payload || !cb)
            return MAMA_STATUS_NULL_ARG;
        TarnixPayloadIter* iter = nullptr;
        mama_status status = tarnixmsgPayloadImpl_ownIterator(payload, &iter);
        if (status != MAMA_STATUS_OK)
            return status;
        while (msgFieldPayload handle = tarnixmsgPayloadIter_next(iter, nullptr, payload))
        {
            mamaMsgFieldImpl_setPayload(field, handle);
            cb(parent, field, closure);
        }
        return MAMA_STATUS_OK;
    }

    /* ---- field handles ------------------------------------------------------ */

    mama_status tarnixmsgFieldPayload_create(msgFieldPayload* field)
    {
        if (!field)
            return MAMA_STATUS_NULL_ARG;
        auto* record = static_cast<TarnixField*>(malloc(sizeof(TarnixField)));
        if (!record)
            return MAMA_STATUS_NOMEM;
        tarnixField_init(record);
        *field = record;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgFieldPayload_destroy(msgFieldPayload field)
    {
        if (!field)
            return MAMA_STATUS_NULL_ARG;
        free(field);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgFieldPayload_getType(const msgFieldPayload field, mamaFieldType* result)
    {
        /* Read for every field of an iteration: checked in line. */
        TarnixField* f = fieldOf(field);
        if (!f)
            return MAMA_STATUS_NULL_ARG;
        if (f->type == TARNIX_TYPE_NONE)
            return MAMA_STATUS_INVALID_ARG;
        if (!result)
            return MAMA_STATUS_NULL_ARG;
        *result = tarnixField_mamaType(f->type);
        return *result == MAMA_FIELD_TYPE_UNKNOWN ? MAMA_STATUS_INVALID_ARG : MAMA_STATUS_OK;
    }

    mama_status tarnixmsgFieldPayload_getName(msgFieldPayload field, mamaDictionary dict, mamaFieldDescriptor desc,
                                              const char** result)
    {
        TarnixField* f = fieldOf(field);
        if (!f || !result)
            return MAMA_STATUS_NULL_ARG;
        // The dictionary names a fid; a fid it does not hold (or lies beyond it)
        // keeps the field's own name, and a field known only by its fid has none.
        // Neither is an error: OpenMAMA's C++ API throws on one.
        const char* name = nullptr;
        if (f->fid != 0 && !desc && dict &&
            mamaDictionary_getFieldDescriptorByFid(dict, &desc, f->fid) != MAMA_STATUS_OK)
            desc = nullptr;
        if (f->fid != 0 && desc)
            name = mamaFieldDescriptor_getName(desc);
        if (!name && f->nameLen)
            name = f->name;
        *result = name ? name : "";
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgFieldPayload_getFid(const msgFieldPayload field, mamaDictionary dict, mamaFieldDescriptor desc,
                                             uint16_t* result)
    {
        TarnixField* f = fieldOf(field);
        if (!f || !result)
            return MAMA_STATUS_NULL_ARG;
        if (f->fid != 0)
        {
            *result = f->fid;
        }
        else if (desc)
        {
            *result = mamaFieldDescriptor_getFid(desc);
        }
        else if (dict)
        {
            mamaFieldDescriptor found = nullptr;
            mama_status status = mamaDictionary_getFieldDescriptorByName(dict, &found, f->name);
            if (status != MAMA_STATUS_OK)
                return status;
            *result = found ? mamaFieldDescriptor_getFid(found) : 0;
        }
        else
        {
            *result = 0;
        }
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgFieldPayload_getDescriptor(const msgFieldPayload field, mamaDictionary dict,
                                                    mamaFieldDescriptor* result)
    {
        TarnixField* f = fieldOf(field);
        if (!f || !result)
            return MAMA_STATUS_NULL_ARG;
        if (f->fid != 0)
            return mamaDictionary_getFieldDescriptorByFid(dict, result, f->fid);
        if (f->nameLen == 0)
            return MAMA_STATUS_INVALID_ARG;
        return mamaDictionary_getFieldDescriptorByName(dict, result, f->name);
    }

#define TARNIX_FIELD_UPDATE(Kind, CType, ...)                                                                          \
    mama_status tarnixmsgFieldPayload_update##Kind(msgFieldPayload field, msgPayload, CType value)                     \
    {                                                                                                                  \
        TarnixField* f = fieldOf(field);                                                                               \
        if (!f || f->type == TARNIX_TYPE_NONE)                                                                         \
            return MAMA_STATUS_NULL_ARG;                                                                               \
        return tarnixField_set##Kind(f, value);                                                                        \
    }
    TARNIX_SCALAR_KINDS(TARNIX_FIELD_UPDATE)
    TARNIX_FIELD_UPDATE(Price, const mamaPrice)
#undef TARNIX_FIELD_UPDATE

    mama_status tarnixmsgFieldPayload_updateString(msgFieldPayload field, msgPayload, const char* value)
    {
        TarnixField* f = fieldOf(field);
        if (!f || f->type == TARNIX_TYPE_NONE)
            return MAMA_STATUS_NULL_ARG;
        return tarnixField_setString(f, value, 0);
    }

    mama_status tarnixmsgFieldPayload_updateDateTime(msgFieldPayload field, msgPayload, const mamaDateTime value)
    {
        TarnixField* f = fieldOf(field);
        if (!f || f->type == TARNIX_TYPE_NONE || !value)
            return MAMA_STATUS_NULL_ARG;
        return tarnixField_setDateTime(f, value);
    }

#define TARNIX_FIELD_GET(Kind, CType, ...)                                                                             \
    mama_status tarnixmsgFieldPayload_get##Kind(const msgFieldPayload field, CType* result)                            \
    {                                                                                                                  \
        return getThrough<CType*>(field, tarnixField_get##Kind, result);                                               \
    }
    TARNIX_SCALAR_KINDS(TARNIX_FIELD_GET)
    TARNIX_FIELD_GET(String, const char*)
#undef TARNIX_FIELD_GET

    mama_status tarnixmsgFieldPayload_getOpaque(const msgFieldPayload field, const void** result, mama_size_t* size)
    {
        return getThrough<const void**, mama_size_t*>(field, tarnixField_getOpaque, result, size);
    }

    mama_status tarnixmsgFieldPayload_getDateTime(const msgFieldPayload field, mamaDateTime result)
    {
        return getThrough<mamaDateTime>(field, tarnixField_getDateTime, result);
    }

    mama_status tarnixmsgFieldPayload_getPrice(const msgFieldPayload field, mamaPrice result)
    {
        return getThrough<mamaPrice>(field, tarnixField_getPrice, result);
    }

    mama_status tarnixmsgFieldPayload_getMsg(const msgFieldPayload field, msgPayload* result)
    {
        return getThrough<TarnixPayloadImpl**>(field, tarnixField_getMsg,
                                               reinterpret_cast<TarnixPayloadImpl**>(result));
    }

#define TARNIX_FIELD_VECTOR_GET(Kind, CType, ...)                                                                      \
    mama_status tarnixmsgFieldPayload_getVector##Kind(const msgFieldPayload field, const CType** result,               \
                                                      mama_size_t* size)                                               \
    {                                                                                                                  \
        return getThrough<const CType**, mama_size_t*>(field, tarnixField_getVector##Kind, result, size);              \
    }
    TARNIX_VECTOR_KINDS(TARNIX_FIELD_VECTOR_GET)
#undef TARNIX_FIELD_VECTOR_GET

    mama_status tarnixmsgFieldPayload_getVectorString(const msgFieldPayload field, const char*** result,
                                                      mama_size_t* size)
    {
        return getThrough<const char***, mama_size_t*>(field, tarnixField_getVectorString, result, size);
    }

    mama_status tarnixmsgFieldPayload_getVectorMsg(const msgFieldPayload field, const msgPayload** result,
                                                   mama_size_t* size)
    {
        return getThrough<const msgPayload**, mama_size_t*>(
            field,
            +[](const TarnixField* f, const msgPayload** out, mama_size_t* n)
            {
                TarnixPayloadImpl* const* msgs = nullptr;
                mama_status status = tarnixField_getVectorMsg(f, &msgs, n);
                if (status == MAMA_STATUS_OK)
                    *out = reinterpret_cast<const msgPayload*>(msgs);
                return status;
            },
            result, size);
    }

    /* OpenMAMA passes the address of its array pointer through this parameter. */
    mama_status tarnixmsgFieldPayload_getVectorDateTime(const msgFieldPayload field, const mamaDateTime* result,
                                                        mama_size_t* size)
    {
        return getThrough<const mamaDateTime**, mama_size_t*>(
            field,
            +[](const TarnixField* f, const mamaDateTime** out, mama_size_t* n)
            { return tarnixField_getVectorDateTime(const_cast<TarnixField*>(f), out, n); },
            (const mamaDateTime**)result, size);
    }

    mama_status tarnixmsgFieldPayload_getVectorPrice(const msgFieldPayload field, const mamaPrice* result,
                                                     mama_size_t* size)
    {
        return getThrough<const mamaPrice**, mama_size_t*>(
            field,
            +[](const TarnixField* f, const mamaPrice** out, mama_size_t* n)
            { return tarnixField_getVectorPrice(const_cast<TarnixField*>(f), out, n); },
            (const mamaPrice**)result, size);
    }

    mama_status tarnixmsgFieldPayload_getAsString(const msgFieldPayload field, const msgPayload, char* buffer,
                                                  mama_size_t len)
    {
        mama_status status;
        TarnixField* f = typedField(field, &status);
        if (!f)
            return status;
        if (!buffer)
            return MAMA_STATUS_NULL_ARG;
        if (len == 0)
            return MAMA_STATUS_INVALID_ARG;
        return tarnixField_toString(f, f->nameLen ? f->name : nullptr, f->fid, buffer, len, false);
    }

} // extern "C"
