/* The tarnixmsg payload object, its internal helpers (tarnixmsgPayloadImpl_*),
 * and the plug-in's whole exported surface: every function OpenMAMA binds by
 * name, and the process-wide payload version. */
#ifndef TARNIX_PAYLOAD_H
#define TARNIX_PAYLOAD_H

#include <mama/mama.h>
#include <mama/integration/types.h>
#include <mama/integration/mama.h>
#include <mama/integration/msg.h>

#include "tarnixKinds.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

struct TarnixMsg;
struct TarnixPayloadIter;

/* The payload identifier: first byte of every serialized message. */
constexpr char TARNIX_PAYLOAD_ID = '1';

struct TarnixPayloadImpl
{
    TarnixMsg* mFields;
    uint8_t* mBuffer;
    size_t mBufferSize; /* size of the last reservation */
    char* mText;
    size_t mTextSize;
    TarnixPayloadIter* mIterator;
    std::atomic<int32_t> mRefCount;
};

/* Takes one more reference on a payload. */
void tarnixmsgPayloadImpl_retain(TarnixPayloadImpl* payload);

/* The payload's own iterator, created on first use and placed at the start;
 * logFailure logs why it could not be. */
mama_status tarnixmsgPayloadImpl_ownIterator(TarnixPayloadImpl* payload, TarnixPayloadIter** iter,
                                             bool logFailure = false);

/* Gives the serializer a buffer of at least needed bytes. */
mama_status tarnixmsgPayloadImpl_reserveBuffer(uint8_t** buffer, size_t* recordedSize, size_t needed);

/* Reaches the payload object and identifier behind an OpenMAMA message. */
mama_status tarnixmsgPayloadImpl_getMamaMsgPayload(const mamaMsg msg, msgPayload* payload, char* id);

/* The runtime-version rule of initialisation, on a version text. */
bool tarnixmsgPayloadImpl_runtimeAccepted(const char* version);

#define TARNIX_PL_EXPORT __attribute__((visibility("default")))

extern "C"
{

    /* Process-wide payload version (1 or 2; 2 until set). */
    TARNIX_PL_EXPORT uint8_t tarnixmsgPayload_getPayloadVersion(void);
    /* 0 when set or kept, -1 for a value other than 1 and 2. */
    TARNIX_PL_EXPORT int tarnixmsgPayload_setPayloadVersion(unsigned long version, int force);

    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_destroyImpl(mamaPayloadBridge bridge);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_init(mamaPayloadBridge bridge, char* identifier);
    MAMAIgnoreDeprecatedOpen TARNIX_PL_EXPORT mamaPayloadType tarnixmsgPayload_getType(void);
    MAMAIgnoreDeprecatedClose TARNIX_PL_EXPORT mama_status tarnixmsgPayload_create(msgPayload* msg);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_createForTemplate(msgPayload* msg, mamaPayloadBridge bridge,
                                                                    mama_u32_t templateId);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_copy(const msgPayload msg, msgPayload* copy);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_clear(msgPayload msg);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_destroy(msgPayload msg);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_setParent(msgPayload msg, const mamaMsg parent);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getByteSize(msgPayload msg, mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getNumFields(const msgPayload msg, mama_size_t* numFields);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getSendSubject(const msgPayload msg, const char** subject);
    TARNIX_PL_EXPORT const char* tarnixmsgPayload_toString(const msgPayload msg);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_iterateFields(const msgPayload msg, const mamaMsg parent,
                                                                mamaMsgField field, mamaMsgIteratorCb cb,
                                                                void* closure);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_serialize(const msgPayload msg, const void** buffer,
                                                            mama_size_t* bufferLength);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_deserialize(mamaPayloadBridge payloadBridge, const msgPayload msg,
                                                              const void* buffer, mama_size_t bufferLength);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_unSerialize(const msgPayload msg, const void* buffer,
                                                              mama_size_t bufferLength);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getByteBuffer(const msgPayload msg, const void** buffer,
                                                                mama_size_t* bufferLength);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_setByteBuffer(const msgPayload msg, mamaPayloadBridge bridge,
                                                                const void* buffer, mama_size_t bufferLength);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_createFromByteBuffer(msgPayload* msg, mamaPayloadBridge bridge,
                                                                       const void* buffer, mama_size_t bufferLength);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_apply(msgPayload dest, const msgPayload src);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getNativeMsg(const msgPayload msg, void** nativeMsg);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getFieldAsString(const msgPayload msg, const char* name,
                                                                   mama_fid_t fid, char* buffer, mama_size_t len);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addString(msgPayload msg, const char* name, mama_fid_t fid,
                                                            const char* value);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addOpaque(msgPayload msg, const char* name, mama_fid_t fid,
                                                            const void* value, mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addDateTime(msgPayload msg, const char* name, mama_fid_t fid,
                                                              const mamaDateTime value);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addPrice(msgPayload msg, const char* name, mama_fid_t fid,
                                                           const mamaPrice value);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addMsg(msgPayload msg, const char* name, mama_fid_t fid,
                                                         mamaMsg value);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addVectorString(msgPayload msg, const char* name, mama_fid_t fid,
                                                                  const char* value[], mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addVectorMsg(msgPayload msg, const char* name, mama_fid_t fid,
                                                               const mamaMsg value[], mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addVectorDateTime(msgPayload msg, const char* name, mama_fid_t fid,
                                                                    const mamaDateTime value[], mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addVectorPrice(msgPayload msg, const char* name, mama_fid_t fid,
                                                                 const mamaPrice value[], mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateString(msgPayload msg, const char* name, mama_fid_t fid,
                                                               const char* value);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateOpaque(msgPayload msg, const char* name, mama_fid_t fid,
                                                               const void* value, mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateDateTime(msgPayload msg, const char* name, mama_fid_t fid,
                                                                 const mamaDateTime value);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updatePrice(msgPayload msg, const char* name, mama_fid_t fid,
                                                              const mamaPrice value);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateSubMsg(msgPayload msg, const char* fname, mama_fid_t fid,
                                                               const mamaMsg subMsg);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateVectorMsg(msgPayload msg, const char* fname, mama_fid_t fid,
                                                                  const mamaMsg value[], mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateVectorString(msgPayload msg, const char* fname, mama_fid_t fid,
                                                                     const char* strList[], mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateVectorPrice(msgPayload msg, const char* fname, mama_fid_t fid,
                                                                    const mamaPrice priceList[], mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateVectorTime(msgPayload msg, const char* fname, mama_fid_t fid,
                                                                   const mamaDateTime timeList[], mama_size_t size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getString(const msgPayload msg, const char* name, mama_fid_t fid,
                                                            const char** result);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getOpaque(const msgPayload msg, const char* name, mama_fid_t fid,
                                                            const void** result, mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getField(const msgPayload msg, const char* name, mama_fid_t fid,
                                                           msgFieldPayload* result);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getDateTime(const msgPayload msg, const char* name, mama_fid_t fid,
                                                              mamaDateTime result);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getPrice(const msgPayload msg, const char* name, mama_fid_t fid,
                                                           mamaPrice result);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getMsg(const msgPayload msg, const char* name, mama_fid_t fid,
                                                         msgPayload* result);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getVectorString(const msgPayload msg, const char* name,
                                                                  mama_fid_t fid, const char*** result,
                                                                  mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getVectorDateTime(const msgPayload msg, const char* name,
                                                                    mama_fid_t fid, const mamaDateTime** result,
                                                                    mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getVectorPrice(const msgPayload msg, const char* name, mama_fid_t fid,
                                                                 const mamaPrice** result, mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getVectorMsg(const msgPayload msg, const char* name, mama_fid_t fid,
                                                               const msgPayload** result, mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_create(msgFieldPayload* field);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_destroy(msgFieldPayload field);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getType(const msgFieldPayload field, mamaFieldType* result);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getName(msgFieldPayload field, mamaDictionary dict,
                                                               mamaFieldDescriptor desc, const char** result);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getFid(const msgFieldPayload field, mamaDictionary dict,
                                                              mamaFieldDescriptor desc, uint16_t* result);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getDescriptor(const msgFieldPayload field, mamaDictionary dict,
                                                                     mamaFieldDescriptor* result);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_updateString(msgFieldPayload field, msgPayload msg,
                                                                    const char* value);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_updateDateTime(msgFieldPayload field, msgPayload msg,
                                                                      const mamaDateTime value);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_updatePrice(msgFieldPayload field, msgPayload msg,
                                                                   const mamaPrice value);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getString(const msgFieldPayload field, const char** result);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getOpaque(const msgFieldPayload field, const void** result,
                                                                 mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getDateTime(const msgFieldPayload field, mamaDateTime result);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getPrice(const msgFieldPayload field, mamaPrice result);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getMsg(const msgFieldPayload field, msgPayload* result);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getVectorString(const msgFieldPayload field,
                                                                       const char*** result, mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getVectorDateTime(const msgFieldPayload field,
                                                                         const mamaDateTime* result, mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getVectorPrice(const msgFieldPayload field,
                                                                      const mamaPrice* result, mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getVectorMsg(const msgFieldPayload field,
                                                                    const msgPayload** result, mama_size_t* size);
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getAsString(const msgFieldPayload field, const msgPayload msg,
                                                                   char* buffer, mama_size_t len);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayloadIter_create(msgPayloadIter* iter, msgPayload msg);
    TARNIX_PL_EXPORT msgFieldPayload tarnixmsgPayloadIter_next(msgPayloadIter iter, msgFieldPayload field,
                                                               msgPayload msg);
    TARNIX_PL_EXPORT mama_bool_t tarnixmsgPayloadIter_hasNext(msgPayloadIter iter, msgPayload msg);
    TARNIX_PL_EXPORT msgFieldPayload tarnixmsgPayloadIter_begin(msgPayloadIter iter, msgFieldPayload field,
                                                                msgPayload msg);
    TARNIX_PL_EXPORT msgFieldPayload tarnixmsgPayloadIter_end(msgPayloadIter iter, msgPayload msg);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayloadIter_associate(msgPayloadIter iter, msgPayload msg);
    TARNIX_PL_EXPORT mama_status tarnixmsgPayloadIter_destroy(msgPayloadIter iter);

/* The typed families, one declaration per kind of tarnixKinds.h:
 * tarnixmsgPayload_add<Kind>, _update<Kind>, _get<Kind>, _addVector<Kind>,
 * _updateVector<Kind>, _getVector<Kind>, and tarnixmsgFieldPayload_update<Kind>,
 * _get<Kind>, _getVector<Kind>. */
#define TARNIX_PL_DECLARE_SCALAR(Kind, CType, ...)                                                                     \
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_add##Kind(msgPayload msg, const char* name, mama_fid_t fid,          \
                                                            CType value);                                              \
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_update##Kind(msgPayload msg, const char* name, mama_fid_t fid,       \
                                                               CType value);                                           \
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_get##Kind(const msgPayload msg, const char* name, mama_fid_t fid,    \
                                                            CType* result);                                            \
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_update##Kind(msgFieldPayload field, msgPayload msg,             \
                                                                    CType value);                                      \
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_get##Kind(const msgFieldPayload field, CType* result);
#define TARNIX_PL_DECLARE_VECTOR(Kind, CType, ...)                                                                     \
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_addVector##Kind(msgPayload msg, const char* name, mama_fid_t fid,    \
                                                                  const CType value[], mama_size_t size);              \
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_updateVector##Kind(msgPayload msg, const char* name, mama_fid_t fid, \
                                                                     const CType value[], mama_size_t size);           \
    TARNIX_PL_EXPORT mama_status tarnixmsgPayload_getVector##Kind(                                                     \
        const msgPayload msg, const char* name, mama_fid_t fid, const CType** result, mama_size_t* size);              \
    TARNIX_PL_EXPORT mama_status tarnixmsgFieldPayload_getVector##Kind(const msgFieldPayload field,                    \
                                                                       const CType** result, mama_size_t* size);
    TARNIX_SCALAR_KINDS(TARNIX_PL_DECLARE_SCALAR)
    TARNIX_VECTOR_KINDS(TARNIX_PL_DECLARE_VECTOR)
#undef TARNIX_PL_DECLARE_SCALAR
#undef TARNIX_PL_DECLARE_VECTOR

} /* extern "C" */

#endif
