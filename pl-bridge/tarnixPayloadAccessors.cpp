/* Typed add, update and get exports of the payload. */
#include "tarnixDatabase.h"
#include "tarnixLog.h"
#include "tarnixPayload.h"

#include <cstdlib>
#include <memory>

namespace
{

inline TarnixPayloadImpl* impl(msgPayload msg)
{
    return static_cast<TarnixPayloadImpl*>(msg);
}

/* fid 0 addresses a field by its name, which must then be given. */
inline mama_status checkName(const char* name, mama_fid_t fid)
{
    if (fid != 0)
        return MAMA_STATUS_OK;
    if (!name)
        return MAMA_STATUS_NULL_ARG;
    if (!*name)
        return MAMA_STATUS_INVALID_ARG;
    return MAMA_STATUS_OK;
}

/* Name rules, then a payload with its store. */
inline TarnixMsg* storeFor(msgPayload msg, const char* name, mama_fid_t fid, mama_status* status)
{
    *status = checkName(name, fid);
    if (*status != MAMA_STATUS_OK)
        return nullptr;
    TarnixPayloadImpl* payload = impl(msg);
    if (!payload || !payload->mFields)
    {
        *status = MAMA_STATUS_NULL_ARG;
        return nullptr;
    }
    return payload->mFields;
}

/* A payload with its store, then the name rules. */
inline TarnixMsg* storeToRead(msgPayload msg, const char* name, mama_fid_t fid, mama_status* status)
{
    TarnixPayloadImpl* payload = impl(msg);
    if (!payload || !payload->mFields)
    {
        *status = MAMA_STATUS_NULL_ARG;
        return nullptr;
    }
    *status = checkName(name, fid);
    return *status == MAMA_STATUS_OK ? payload->mFields : nullptr;
}

/* Payload, then name, then the out arguments. */
template <typename... Out>
mama_status getScalar(msgPayload msg, const char* name, mama_fid_t fid, TarnixFieldGetter<Out...> getter, Out... out)
{
    mama_status status;
    TarnixMsg* store = storeToRead(msg, name, fid, &status);
    if (!store)
        return status;
    bool missing = false;
    ((missing = missing || out == nullptr), ...);
    if (missing)
        return MAMA_STATUS_NULL_ARG;
    return tarnixMsg_get<Out...>(store, name, fid, getter, out...);
}

/* Payload and out arguments, then the store, then the name. */
template <typename P, typename Getter>
mama_status getVector(msgPayload msg, const char* name, mama_fid_t fid, Getter getter, P* out, mama_size_t* size)
{
    TarnixPayloadImpl* payload = impl(msg);
    if (!payload || !out || !size || !payload->mFields)
        return MAMA_STATUS_NULL_ARG;
    mama_status status = checkName(name, fid);
    if (status != MAMA_STATUS_OK)
        return status;
    TarnixFieldNode* node = tarnixMsg_find(payload->mFields, name, fid);
    if (!node)
        return MAMA_STATUS_NOT_FOUND;
    return getter(&node->field, out, size);
}

mama_status subMessagePayload(const mamaMsg msg, TarnixPayloadImpl** out)
{
    msgPayload payload = nullptr;
    char id = '\0';
    mama_status status = tarnixmsgPayloadImpl_getMamaMsgPayload(msg, &payload, &id);
    if (status != MAMA_STATUS_OK)
        return status;
    if (id != TARNIX_PAYLOAD_ID)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                      "The tarnix payload Bridge does not support trans-coding payloads of id='%c' from msg=%p", id,
                      static_cast<void*>(msg));
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }
    *out = static_cast<TarnixPayloadImpl*>(payload);
    return MAMA_STATUS_OK;
}

mama_status setSubMsg(msgPayload msg, const char* name, mama_fid_t fid, const mamaMsg value)
{
    if (!value)
        return MAMA_STATUS_NULL_ARG;
    TarnixPayloadImpl* sub = nullptr;
    mama_status status = subMessagePayload(value, &sub);
    if (status != MAMA_STATUS_OK)
        return status;
    TarnixMsg* store = storeFor(msg, name, fid, &status);
    if (!store)
        return status;
    if (!sub)
        return MAMA_STATUS_NULL_ARG;
    /* A message inside itself could never be printed, sent or freed. */
    if (sub == impl(msg))
        return MAMA_STATUS_INVALID_ARG;
    return tarnixMsg_setMsg(store, name, 0, fid, sub);
}

mama_status setVectorMsg(msgPayload msg, const char* name, mama_fid_t fid, const mamaMsg value[], mama_size_t size)
{
    mama_status status;
    TarnixMsg* store = storeFor(msg, name, fid, &status);
    if (!store)
        return status;
    if (!value)
        return MAMA_STATUS_NULL_ARG;
    std::unique_ptr<TarnixPayloadImpl*, decltype(&free)> subs(
        static_cast<TarnixPayloadImpl**>(malloc(size ? size * sizeof(TarnixPayloadImpl*) : 1)), &free);
    if (!subs)
        return MAMA_STATUS_NOMEM;
    for (mama_size_t i = 0; i < size; ++i)
    {
        msgPayload payload = nullptr;
        char id = '\0';
        status = tarnixmsgPayloadImpl_getMamaMsgPayload(value[i], &payload, &id);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                          "Tarnix payload bridge failed to access payload of msg=%p, status=%s, %zu of %zu",
                          static_cast<void*>(value[i]), mamaStatus_stringForStatus(status), i, size);
            return status;
        }
        if (id != TARNIX_PAYLOAD_ID)
        {
            TARNIX_PL_LOG(
                MAMA_LOG_LEVEL_WARN,
                "Tarnix payload bridge does not support trans-coding payload of id='%c' from msg=%p, %zu of %zu", id,
                static_cast<void*>(value[i]), i, size);
            return MAMA_STATUS_NOT_IMPLEMENTED;
        }
        if (payload == msg)
            return MAMA_STATUS_INVALID_ARG;
        subs.get()[i] = static_cast<TarnixPayloadImpl*>(payload);
    }
    return tarnixMsg_setVectorMsg(store, name, 0, fid, subs.get(), size, false);
}

/* Name rules and payload, then a value given, then the store's setter. */
template <typename Set>
inline mama_status setGiven(msgPayload msg, const char* name, mama_fid_t fid, const void* value, Set set)
{
    mama_status status;
    TarnixMsg* store = storeFor(msg, name, fid, &status);
    if (!store)
        return status;
    if (!value)
        return MAMA_STATUS_NULL_ARG;
    return set(store);
}

} // namespace

extern "C"
{

/* ---- add and update ----------------------------------------------------- */

/* Every update is the add of its kind: both set the field, made when missing. */
#define TARNIX_SCALAR_SET(Kind, CType, ...)                                                                            \
    mama_status tarnixmsgPayload_add##Kind(msgPayload msg, const char* name, mama_fid_t fid, CType value)              \
    {                                                                                                                  \
        mama_status status;                                                                                            \
        TarnixMsg* store = storeFor(msg, name, fid, &status);                                                          \
        return store ? tarnixMsg_set##Kind(store, name, 0, fid, value) : status;                                       \
    }                                                                                                                  \
    mama_status tarnixmsgPayload_update##Kind(msgPayload msg, const char* name, mama_fid_t fid, CType value)           \
    {                                                                                                                  \
        return tarnixmsgPayload_add##Kind(msg, name, fid, value);                                                      \
    }
    TARNIX_SCALAR_KINDS(TARNIX_SCALAR_SET)
#undef TARNIX_SCALAR_SET

#define TARNIX_VECTOR_SET(Kind, CType, Type)                                                                           \
    mama_status tarnixmsgPayload_addVector##Kind(msgPayload msg, const char* name, mama_fid_t fid,                     \
                                                 const CType value[], mama_size_t size)                                \
    {                                                                                                                  \
        return setGiven(msg, name, fid, value,                                                                         \
                        [&](TarnixMsg* store)                                                                          \
                        { return tarnixMsg_setVectorOf(store, name, 0, fid, Type, value, size, false); });             \
    }                                                                                                                  \
    mama_status tarnixmsgPayload_updateVector##Kind(msgPayload msg, const char* name, mama_fid_t fid,                  \
                                                    const CType value[], mama_size_t size)                             \
    {                                                                                                                  \
        return tarnixmsgPayload_addVector##Kind(msg, name, fid, value, size);                                          \
    }
    TARNIX_VECTOR_KINDS(TARNIX_VECTOR_SET)
#undef TARNIX_VECTOR_SET

    mama_status tarnixmsgPayload_addString(msgPayload msg, const char* name, mama_fid_t fid, const char* value)
    {
        return setGiven(msg, name, fid, value,
                        [&](TarnixMsg* store) { return tarnixMsg_setString(store, name, 0, fid, value, 0); });
    }

    mama_status tarnixmsgPayload_updateString(msgPayload msg, const char* name, mama_fid_t fid, const char* value)
    {
        return tarnixmsgPayload_addString(msg, name, fid, value);
    }

    mama_status tarnixmsgPayload_addOpaque(msgPayload msg, const char* name, mama_fid_t fid, const void* value,
                                           mama_size_t size)
    {
        return setGiven(msg, name, fid, value,
                        [&](TarnixMsg* store) { return tarnixMsg_setOpaque(store, name, 0, fid, value, size); });
    }

    mama_status tarnixmsgPayload_updateOpaque(msgPayload msg, const char* name, mama_fid_t fid, const void* value,
                                              mama_size_t size)
    {
        return tarnixmsgPayload_addOpaque(msg, name, fid, value, size);
    }

    mama_status tarnixmsgPayload_addDateTime(msgPayload msg, const char* name, mama_fid_t fid, const mamaDateTime value)
    {
        return setGiven(msg, name, fid, value,
                        [&](TarnixMsg* store) { return tarnixMsg_setDateTime(store, name, 0, fid, value); });
    }

    mama_status tarnixmsgPayload_updateDateTime(msgPayload msg, const char* name, mama_fid_t fid,
                                                const mamaDateTime value)
    {
        return tarnixmsgPayload_addDateTime(msg, name, fid, value);
    }

    mama_status tarnixmsgPayload_addPrice(msgPayload msg, const char* name, mama_fid_t fid, const mamaPrice value)
    {
        return setGiven(msg, name, fid, value,
                        [&](TarnixMsg* store) { return tarnixMsg_setPrice(store, name, 0, fid, value); });
    }

    mama_status tarnixmsgPayload_updatePrice(msgPayload msg, const char* name, mama_fid_t fid, const mamaPrice value)
    {
        return tarnixmsgPayload_addPrice(msg, name, fid, value);
    }

    mama_status tarnixmsgPayload_addMsg(msgPayload msg, const char* name, mama_fid_t fid, mamaMsg value)
    {
        return setSubMsg(msg, name, fid, value);
    }

    mama_status tarnixmsgPayload_updateSubMsg(msgPayload msg, const char* fname, mama_fid_t fid, const mamaMsg subMsg)
    {
        return setSubMsg(msg, fname, fid, subMsg);
    }

    mama_status tarnixmsgPayload_addVectorMsg(msgPayload msg, const char* name, mama_fid_t fid, const mamaMsg value[],
                                              mama_size_t size)
    {
        return setVectorMsg(msg, name, fid, value, size);
    }

    mama_status tarnixmsgPayload_updateVectorMsg(msgPayload msg, const char* fname, mama_fid_t fid,
                                                 const mamaMsg value[], mama_size_t size)
    {
        return setVectorMsg(msg, fname, fid, value, size);
    }

    mama_status tarnixmsgPayload_addVectorString(msgPayload msg, const char* name, mama_fid_t fid, const char* value[],
                                                 mama_size_t size)
    {
        return setGiven(msg, name, fid, value,
                        [&](TarnixMsg* store)
                        { return tarnixMsg_setVectorString(store, name, 0, fid, value, size, 0, false); });
    }

    mama_status tarnixmsgPayload_updateVectorString(msgPayload msg, const char* fname, mama_fid_t fid,
                                                    const char* strList[], mama_size_t size)
    {
        return tarnixmsgPayload_addVectorString(msg, fname, fid, strList, size);
    }

    mama_status tarnixmsgPayload_addVectorDateTime(msgPayload msg, const char* name, mama_fid_t fid,
                                                   const mamaDateTime value[], mama_size_t size)
    {
        return setGiven(msg, name, fid, value,
                        [&](TarnixMsg* store)
                        { return tarnixMsg_setVectorDateTime(store, name, 0, fid, value, size); });
    }

    mama_status tarnixmsgPayload_updateVectorTime(msgPayload msg, const char* fname, mama_fid_t fid,
                                                  const mamaDateTime timeList[], mama_size_t size)
    {
        return tarnixmsgPayload_addVectorDateTime(msg, fname, fid, timeList, size);
    }

    mama_status tarnixmsgPayload_addVectorPrice(msgPayload msg, const char* name, mama_fid_t fid,
                                                const mamaPrice value[], mama_size_t size)
    {
        return setGiven(msg, name, fid, value,
                        [&](TarnixMsg* store) { return tarnixMsg_setVectorPrice(store, name, 0, fid, value, size); });
    }

    mama_status tarnixmsgPayload_updateVectorPrice(msgPayload msg, const char* fname, mama_fid_t fid,
                                                   const mamaPrice priceList[], mama_size_t size)
    {
        return tarnixmsgPayload_addVectorPrice(msg, fname, fid, priceList, size);
    }

    /* ---- get ---------------------------------------------------------------- */

#define TARNIX_SCALAR_GET(Kind, CType, ...)                                                                            \
    mama_status tarnixmsgPayload_get##Kind(const msgPayload msg, const char* name, mama_fid_t fid, CType* result)      \
    {                                                                                                                  \
        return getScalar<CType*>(msg, name, fid, tarnixField_get##Kind, result);                                       \
    }
    TARNIX_SCALAR_KINDS(TARNIX_SCALAR_GET)
    TARNIX_SCALAR_GET(String, const char*)
#undef TARNIX_SCALAR_GET

    mama_status tarnixmsgPayload_getOpaque(const msgPayload msg, const char* name, mama_fid_t fid, const void** result,
                                           mama_size_t* size)
    {
        return getScalar<const void**, mama_size_t*>(msg, name, fid, tarnixField_getOpaque, result, size);
    }

    mama_status tarnixmsgPayload_getDateTime(const msgPayload msg, const char* name, mama_fid_t fid,
                                             mamaDateTime result)
    {
        return getScalar<mamaDateTime>(msg, name, fid, tarnixField_getDateTime, result);
    }

    mama_status tarnixmsgPayload_getPrice(const msgPayload msg, const char* name, mama_fid_t fid, mamaPrice result)
    {
        return getScalar<mamaPrice>(msg, name, fid, tarnixField_getPrice, result);
    }

    mama_status tarnixmsgPayload_getMsg(const msgPayload msg, const char* name, mama_fid_t fid, msgPayload* result)
    {
        return getScalar<TarnixPayloadImpl**>(msg, name, fid, tarnixField_getMsg,
                                              reinterpret_cast<TarnixPayloadImpl**>(result));
    }

    mama_status tarnixmsgPayload_getField(const msgPayload msg, const char* name, mama_fid_t fid,
                                          msgFieldPayload* result)
    {
        mama_status status;
        TarnixMsg* store = storeToRead(msg, name, fid, &status);
        if (!store)
            return status;
        if (!result)
            return MAMA_STATUS_NULL_ARG;
        TarnixFieldNode* node = tarnixMsg_find(store, name, fid);
        *result = node ? &node->field : nullptr;
        return node ? MAMA_STATUS_OK : MAMA_STATUS_NOT_FOUND;
    }

#define TARNIX_VECTOR_GET(Kind, CType, ...)                                                                            \
    mama_status tarnixmsgPayload_getVector##Kind(const msgPayload msg, const char* name, mama_fid_t fid,               \
                                                 const CType** result, mama_size_t* size)                              \
    {                                                                                                                  \
        return getVector<const CType*>(msg, name, fid, tarnixField_getVector##Kind, result, size);                     \
    }
    TARNIX_VECTOR_KINDS(TARNIX_VECTOR_GET)
#undef TARNIX_VECTOR_GET

    mama_status tarnixmsgPayload_getVectorString(const msgPayload msg, const char* name, mama_fid_t fid,
                                                 const char*** result, mama_size_t* size)
    {
        return getVector<const char**>(msg, name, fid, tarnixField_getVectorString, result, size);
    }

    mama_status tarnixmsgPayload_getVectorMsg(const msgPayload msg, const char* name, mama_fid_t fid,
                                              const msgPayload** result, mama_size_t* size)
    {
        return getVector<const msgPayload*>(
            msg, name, fid,
            [](const TarnixField* f, const msgPayload** out, mama_size_t* n)
            {
                TarnixPayloadImpl* const* msgs = nullptr;
                mama_status status = tarnixField_getVectorMsg(f, &msgs, n);
                if (status == MAMA_STATUS_OK)
                    *out = reinterpret_cast<const msgPayload*>(msgs);
                return status;
            },
            result, size);
    }

    mama_status tarnixmsgPayload_getVectorDateTime(const msgPayload msg, const char* name, mama_fid_t fid,
                                                   const mamaDateTime** result, mama_size_t* size)
    {
        return getVector<const mamaDateTime*>(msg, name, fid, tarnixField_getVectorDateTime, result, size);
    }

    mama_status tarnixmsgPayload_getVectorPrice(const msgPayload msg, const char* name, mama_fid_t fid,
                                                const mamaPrice** result, mama_size_t* size)
    {
        return getVector<const mamaPrice*>(msg, name, fid, tarnixField_getVectorPrice, result, size);
    }

} // extern "C"
