/* The payload object: entry point, life cycle, byte buffers, message text,
 * apply and copy. */
#include "tarnixPayload.h"

#include "tarnixCodec.h"
#include "tarnixDatabase.h"
#include "tarnixLog.h"

#include <mama/integration/mama.h>
#include <mama/version.h>
#include <wombat/strutils.h>

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

std::atomic<uint8_t> gPayloadVersion{0};

constexpr size_t kTextStep = 1024;
constexpr size_t kTextCap = 10240;
constexpr size_t kFieldText = 512;
/* Spare room kept behind the text for the closing markers and NUL. */
constexpr size_t kMarkerRoom = 16;

/* Appends to the payload's text buffer, never past its capacity. */
void appendText(TarnixPayloadImpl* p, size_t* used, const char* format, ...) __attribute__((format(printf, 3, 4)));

void appendText(TarnixPayloadImpl* p, size_t* used, const char* format, ...)
{
    if (*used + 1 >= p->mTextSize)
        return;
    size_t room = p->mTextSize - *used;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(p->mText + *used, room, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    *used += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

/* OpenMAMA date-time and price objects one apply passes values through. */
struct ApplyScratch
{
    mamaDateTime mDateTime = nullptr;
    mamaPrice mPrice = nullptr;

    mama_status create()
    {
        mama_status status = mamaDateTime_create(&mDateTime);
        return status == MAMA_STATUS_OK ? mamaPrice_create(&mPrice) : status;
    }
    ~ApplyScratch()
    {
        if (mPrice)
            mamaPrice_destroy(mPrice);
        if (mDateTime)
            mamaDateTime_destroy(mDateTime);
    }
};

/* A date-time or price record onto the destination through a scratch
 * OpenMAMA object, cleared again after. */
template <typename Record, typename Object>
mama_status applyThrough(const Record& record, Object scratch, mama_status (*toMama)(const Record&, Object),
                         mama_status (*update)(msgPayload, const char*, mama_fid_t, Object),
                         mama_status (*clear)(Object), TarnixPayloadImpl* dest, const char* name, mama_fid_t fid)
{
    mama_status status = toMama(record, scratch);
    if (status == MAMA_STATUS_OK)
    {
        update(dest, name, fid, scratch);
        clear(scratch);
    }
    return status;
}

/* One source field onto the destination, through the update exports (their
 * refusals do not stop the apply) or, for sub-messages and date-time and
 * price vectors, the store. Fails only on what cannot be applied at all. */
mama_status applyField(TarnixPayloadImpl* dest, const TarnixField& f, ApplyScratch& scratch)
{
    const char* name = f.name;
    const mama_fid_t fid = f.fid;
    const TarnixValue& v = f.value;
    TarnixMsg* store = dest->mFields;
    /* Sub-message fields bypass the accessors: a fid-0 field needs a name. */
    const bool addressable = fid != 0 || (name && *name);
    mama_status status = MAMA_STATUS_OK;
    switch (f.type)
    {
#define TARNIX_APPLY_SCALAR(Kind, CType, Type, Member)                                                                 \
    case Type:                                                                                                         \
        tarnixmsgPayload_update##Kind(dest, name, fid, v.Member);                                                      \
        break;
#define TARNIX_APPLY_VECTOR(Kind, CType, Type)                                                                         \
    case Type: tarnixmsgPayload_updateVector##Kind(dest, name, fid, static_cast<const CType*>(v.data), f.count); break;
        TARNIX_SCALAR_KINDS(TARNIX_APPLY_SCALAR)
        TARNIX_VECTOR_KINDS(TARNIX_APPLY_VECTOR)
#undef TARNIX_APPLY_SCALAR
#undef TARNIX_APPLY_VECTOR
        case TARNIX_TYPE_STRING:
            if (v.str)
                tarnixmsgPayload_updateString(dest, name, fid, v.str);
            break;
        case TARNIX_TYPE_OPAQUE: tarnixmsgPayload_updateOpaque(dest, name, fid, v.data, f.count); break;
        case TARNIX_TYPE_TXM:
            if (addressable && v.msg)
                tarnixMsg_setMsg(store, name, 0, fid, v.msg);
            break;
        /* Seconds, nanoseconds, precision and hints carried unchanged. */
        case TARNIX_TYPE_DATETIME:
            status = applyThrough(v.dateTime, scratch.mDateTime, tarnixDateTime_toMama, tarnixmsgPayload_updateDateTime,
                                  mamaDateTime_clear, dest, name, fid);
            break;
        case TARNIX_TYPE_PRICE:
            status = applyThrough(v.price, scratch.mPrice, tarnixPrice_toMama, tarnixmsgPayload_updatePrice,
                                  mamaPrice_clear, dest, name, fid);
            break;
        case TARNIX_TYPE_VSTRING:
            tarnixmsgPayload_updateVectorString(dest, name, fid, const_cast<const char**>(v.strings), f.count);
            break;
        case TARNIX_TYPE_VTXM:
            if (addressable)
                tarnixMsg_setVectorMsg(store, name, 0, fid, v.msgs, f.count, false);
            break;
        case TARNIX_TYPE_VDATETIME:
            if (addressable)
                tarnixMsg_setVectorDateTimeRecords(store, name, 0, fid, v.dateTimes, f.count, false);
            break;
        case TARNIX_TYPE_VPRICE:
            if (addressable)
                tarnixMsg_setVectorPriceRecords(store, name, 0, fid, v.prices, f.count, false);
            break;
        default:
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "tarnixmsgPayload_apply(): Unknown field type: %d for fid %d, fname %s",
                          f.type, static_cast<int>(fid), name ? name : "");
            status = MAMA_STATUS_PLATFORM;
            break;
    }
    return status;
}

} // namespace

/* ---- internal helpers --------------------------------------------------- */

void tarnixmsgPayloadImpl_retain(TarnixPayloadImpl* payload)
{
    payload->mRefCount.fetch_add(1, std::memory_order_relaxed);
}

mama_status tarnixmsgPayloadImpl_ownIterator(TarnixPayloadImpl* payload, TarnixPayloadIter** iter, bool logFailure)
{
    if (!payload->mIterator)
    {
        msgPayloadIter created = nullptr;
        mama_status status = tarnixmsgPayloadIter_create(&created, payload);
        if (status != MAMA_STATUS_OK)
        {
            if (logFailure)
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "fail to create iterator: %s", mamaStatus_stringForStatus(status));
            return status;
        }
        payload->mIterator = static_cast<TarnixPayloadIter*>(created);
    }
    mama_status status = tarnixmsgPayloadIter_associate(payload->mIterator, payload);
    if (status != MAMA_STATUS_OK)
    {
        if (logFailure)
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "fail to associate iterator: %s", mamaStatus_stringForStatus(status));
        return status;
    }
    *iter = payload->mIterator;
    return MAMA_STATUS_OK;
}

mama_status tarnixmsgPayloadImpl_reserveBuffer(uint8_t** buffer, size_t* recordedSize, size_t needed)
{
    if (!buffer || !recordedSize)
        return MAMA_STATUS_NULL_ARG;
    if (*buffer && *recordedSize != 0)
    {
        if (needed <= *recordedSize)
        {
            *recordedSize = needed;
            return MAMA_STATUS_OK;
        }
        auto* grown = static_cast<uint8_t*>(malloc(needed));
        if (!grown)
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "Unable to reallocate memory for payload buffer");
            return MAMA_STATUS_NOMEM;
        }
        free(*buffer);
        *buffer = grown;
        *recordedSize = needed;
        return MAMA_STATUS_OK;
    }
    auto* fresh = static_cast<uint8_t*>(malloc(needed ? needed : 1));
    if (!fresh)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "Unable to allocate memory for payload buffer");
        return MAMA_STATUS_NOMEM;
    }
    free(*buffer);
    *buffer = fresh;
    *recordedSize = needed;
    return MAMA_STATUS_OK;
}

bool tarnixmsgPayloadImpl_runtimeAccepted(const char* version)
{
    versionInfo info;
    if (!version || strToVersionInfo(version, &info) != 1)
        return false;
    /* Any runtime newer than 6.2.0. */
    if (info.mMajor != 6)
        return info.mMajor > 6;
    if (info.mMinor != 2)
        return info.mMinor > 2;
    return info.mRelease != 0;
}

mama_status tarnixmsgPayloadImpl_getMamaMsgPayload(const mamaMsg msg, msgPayload* payload, char* id)
{
    mama_status status = mamaMsgImpl_getPayloadId(msg, id);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Failed to get mamaMsg payload Id for msg_p=%p", static_cast<void*>(msg));
        return status;
    }
    status = mamaMsgImpl_getPayload(msg, payload);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Failed to get mamaMsg payload for msg_p=%p with id='%c'",
                      static_cast<void*>(msg), *id);
        return status;
    }
    return MAMA_STATUS_OK;
}

/* ---- exports ------------------------------------------------------------ */

extern "C"
{

    uint8_t tarnixmsgPayload_getPayloadVersion(void)
    {
        uint8_t version = gPayloadVersion.load(std::memory_order_relaxed);
        return version ? version : 2;
    }

    int tarnixmsgPayload_setPayloadVersion(unsigned long version, int force)
    {
        if (gPayloadVersion.load(std::memory_order_relaxed) != 0 && !force)
            return 0;
        if (version != 1 && version != 2)
            return -1;
        gPayloadVersion.store(static_cast<uint8_t>(version), std::memory_order_relaxed);
        return 0;
    }

    mama_status tarnixmsgPayload_init(mamaPayloadBridge, char* identifier)
    {
        MAMA_SET_BRIDGE_COMPILE_TIME_VERSION("tarnixmsg");

        const char* runtime = mamaInternal_getMetaProperty(MAMA_PROP_MAMA_RUNTIME_VER);
        if (!tarnixmsgPayloadImpl_runtimeAccepted(runtime))
        {
            TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                          "tarnixmsgPayload_init(): This version of the payload bridge cannot be used with MAMA %s.",
                          runtime ? runtime : "");
            return MAMA_STATUS_NOT_IMPLEMENTED;
        }

        if (const char* text = mama_getProperty("mama.tarnix.payload.version"))
        {
            unsigned long value = strtoul(text, nullptr, 10);
            if (value == 0)
            {
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN,
                              "Invalid mama.tarnix.payload.version property, can not read value %s.", text);
            }
            else if (tarnixmsgPayload_setPayloadVersion(value, 0) != 0)
            {
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_WARN, "Invalid mama.tarnix.payload.version property, value %llu.",
                              static_cast<unsigned long long>(value));
                return MAMA_STATUS_PLATFORM;
            }
            else
            {
                TARNIX_PL_LOG(MAMA_LOG_LEVEL_FINER, "tarnixmsg payload INIT payload version is set to: %d",
                              static_cast<int>(tarnixmsgPayload_getPayloadVersion()));
            }
        }

        if (!identifier)
            return MAMA_STATUS_NULL_ARG;
        *identifier = TARNIX_PAYLOAD_ID;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgPayload_destroyImpl(mamaPayloadBridge bridge)
    {
        return bridge ? MAMA_STATUS_OK : MAMA_STATUS_NULL_ARG;
    }

    MAMAIgnoreDeprecatedOpen mamaPayloadType tarnixmsgPayload_getType(void)
    {
        return static_cast<mamaPayloadType>(TARNIX_PAYLOAD_ID);
    }
    MAMAIgnoreDeprecatedClose

        mama_status
        tarnixmsgPayload_create(msgPayload* msg)
    {
        if (!msg)
            return MAMA_STATUS_NULL_ARG;
        auto* payload = new (std::nothrow) TarnixPayloadImpl();
        if (!payload)
            return MAMA_STATUS_NOMEM;
        payload->mFields = tarnixMsg_create();
        if (!payload->mFields)
        {
            delete payload;
            return MAMA_STATUS_NOMEM;
        }
        payload->mRefCount.store(1, std::memory_order_relaxed);
        *msg = payload;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgPayload_createForTemplate(msgPayload*, mamaPayloadBridge, mama_u32_t)
    {
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

    mama_status tarnixmsgPayload_destroy(msgPayload msg)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload)
            return MAMA_STATUS_NULL_ARG;
        /* The last holder frees; release ordering makes every holder's writes
     * visible to it. */
        if (payload->mRefCount.fetch_sub(1, std::memory_order_acq_rel) != 1)
            return MAMA_STATUS_OK;
        tarnixMsg_destroy(&payload->mFields);
        if (payload->mIterator)
            tarnixmsgPayloadIter_destroy(payload->mIterator);
        free(payload->mText);
        free(payload->mBuffer);
        delete payload;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgPayload_clear(msgPayload msg)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload)
            return MAMA_STATUS_NULL_ARG;
        tarnixMsg_clear(payload->mFields);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgPayload_setParent(msgPayload msg, const mamaMsg)
    {
        return msg ? MAMA_STATUS_OK : MAMA_STATUS_NULL_ARG;
    }

    mama_status tarnixmsgPayload_getByteSize(msgPayload msg, mama_size_t* size)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload || !payload->mFields)
            return MAMA_STATUS_NULL_ARG;
        if (size)
            *size = 0;
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

    mama_status tarnixmsgPayload_getNumFields(const msgPayload msg, mama_size_t* numFields)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload || !payload->mFields || !numFields)
            return MAMA_STATUS_NULL_ARG;
        *numFields = payload->mFields->count;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgPayload_getSendSubject(const msgPayload msg, const char**)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload || !payload->mFields)
            return MAMA_STATUS_NULL_ARG;
        return MAMA_STATUS_NOT_IMPLEMENTED;
    }

    mama_status tarnixmsgPayload_getNativeMsg(const msgPayload msg, void** nativeMsg)
    {
        if (!msg || !nativeMsg)
            return MAMA_STATUS_NULL_ARG;
        *nativeMsg = msg;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixmsgPayload_getByteBuffer(const msgPayload msg, const void** buffer, mama_size_t* bufferLength)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload || !payload->mFields || !buffer || !bufferLength)
            return MAMA_STATUS_NULL_ARG;
        return tarnixmsgPayload_serialize(msg, buffer, bufferLength);
    }

    mama_status tarnixmsgPayload_setByteBuffer(const msgPayload msg, mamaPayloadBridge bridge, const void* buffer,
                                               mama_size_t bufferLength)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload || !payload->mFields || !bridge)
            return MAMA_STATUS_NULL_ARG;
        return tarnixmsgPayload_unSerialize(msg, buffer, bufferLength);
    }

    mama_status tarnixmsgPayload_createFromByteBuffer(msgPayload* msg, mamaPayloadBridge, const void* buffer,
                                                      mama_size_t bufferLength)
    {
        if (!msg || !buffer)
            return MAMA_STATUS_NULL_ARG;
        if (bufferLength == 0)
            return MAMA_STATUS_INVALID_ARG;
        mama_status status = tarnixmsgPayload_create(msg);
        if (status != MAMA_STATUS_OK)
            return status;
        return tarnixmsgPayload_unSerialize(*msg, buffer, bufferLength);
    }

    const char* tarnixmsgPayload_toString(const msgPayload msg)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload || !payload->mFields)
            return nullptr;
        TarnixPayloadIter* iter = nullptr;
        if (tarnixmsgPayloadImpl_ownIterator(payload, &iter) != MAMA_STATUS_OK)
            return nullptr;
        if (!payload->mText)
        {
            payload->mText = static_cast<char*>(malloc(kTextStep));
            if (!payload->mText)
                return nullptr;
            payload->mTextSize = kTextStep;
        }

        size_t used = 0;
        payload->mText[0] = '\0';
        appendText(payload, &used, "{");

        while (auto* field = static_cast<TarnixField*>(tarnixmsgPayloadIter_next(iter, nullptr, payload)))
        {
            char scratch[kFieldText];
            if (tarnixField_toString(field, nullptr, field->fid, scratch, sizeof scratch, true) != MAMA_STATUS_OK)
                scratch[0] = '\0'; /* a value that cannot be rendered shows empty */
            size_t textLen = strlen(scratch);

            size_t needed = used + field->nameLen + 12 + textLen + kMarkerRoom;
            if (needed > payload->mTextSize)
            {
                size_t size = payload->mTextSize;
                while (size < needed)
                    size += kTextStep;
                char* grown = static_cast<char*>(realloc(payload->mText, size));
                if (!grown)
                {
                    TARNIX_PL_LOG(MAMA_LOG_LEVEL_ERROR, "Out of Memory.Requested buffer=%p realloc size=%zu",
                                  static_cast<void*>(payload->mText), size);
                    appendText(payload, &used, "...TRUNCATED");
                    return payload->mText;
                }
                payload->mText = grown;
                payload->mTextSize = size;
            }

            if (field->name && field->nameLen)
                appendText(payload, &used, "[%s:%d]=%s", field->name, static_cast<int>(field->fid), scratch);
            else
                appendText(payload, &used, "[%d]=%s", static_cast<int>(field->fid), scratch);

            if (used > kTextCap)
            {
                appendText(payload, &used, "Truncated");
                break;
            }
        }
        appendText(payload, &used, "}");
        return payload->mText;
    }

    mama_status tarnixmsgPayload_getFieldAsString(const msgPayload msg, const char* name, mama_fid_t fid, char* buffer,
                                                  mama_size_t len)
    {
        auto* payload = static_cast<TarnixPayloadImpl*>(msg);
        if (!payload || !payload->mFields || !buffer)
            return MAMA_STATUS_NULL_ARG;
        if (fid == 0)
        {
            if (!name)
                return MAMA_STATUS_NULL_ARG;
            if (!*name)
                return MAMA_STATUS_INVALID_ARG;
        }
        if (len == 0)
            return MAMA_STATUS_INVALID_ARG;
        return tarnixMsg_getFieldAsString(payload->mFields, name, fid, buffer, len);
    }

    mama_status tarnixmsgPayload_copy(const msgPayload msg, msgPayload* copy)
    {
        auto* source = static_cast<TarnixPayloadImpl*>(msg);
        if (!source || !source->mFields || !copy)
            return MAMA_STATUS_NULL_ARG;
        if (!*copy)
        {
            mama_status status = tarnixmsgPayload_create(copy);
            if (status != MAMA_STATUS_OK)
                return status;
        }
        auto* destination = static_cast<TarnixPayloadImpl*>(*copy);
        /* Copying a payload onto itself would clear the source first. */
        if (destination == source)
            return MAMA_STATUS_OK;
        /* An existing destination keeps its reference count: other holders
     * still refer to it. */
        return tarnixMsg_copy(source->mFields, destination->mFields);
    }

    mama_status tarnixmsgPayload_apply(msgPayload dest, const msgPayload src)
    {
        auto* destination = static_cast<TarnixPayloadImpl*>(dest);
        auto* source = static_cast<TarnixPayloadImpl*>(src);
        if (!destination || !source || !destination->mFields || !source->mFields)
            return MAMA_STATUS_NULL_ARG;

        TarnixPayloadIter* iter = nullptr;
        mama_status status = tarnixmsgPayloadImpl_ownIterator(source, &iter);
        if (status != MAMA_STATUS_OK)
            return status;

        ApplyScratch scratch;
        status = scratch.create();
        while (status == MAMA_STATUS_OK)
        {
            auto* field = static_cast<TarnixField*>(tarnixmsgPayloadIter_next(iter, nullptr, source));
            if (!field)
                break;
            status = applyField(destination, *field, scratch);
        }
        return status;
    }

} // extern "C"
