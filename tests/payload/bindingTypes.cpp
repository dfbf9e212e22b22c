/* Every export of the payload plug-in has exactly the type OpenMAMA binds it
 * as. The function types live in OpenMAMA's private payloadbridge.h, which
 * the plug-in itself does without, so the check is compiled here. */
#include "tarnixPayload.h"

#include <payloadbridge.h>

#include <type_traits>

/* Every export must have exactly the type OpenMAMA binds it as. */
#define TARNIX_CHECK_BINDING(Name) static_assert(std::is_same<decltype(&tarnixmsg##Name), msg##Name>::value, #Name);
MAMAIgnoreDeprecatedOpen
TARNIX_CHECK_BINDING(Payload_init) TARNIX_CHECK_BINDING(Payload_getType) MAMAIgnoreDeprecatedClose TARNIX_CHECK_BINDING(
    Payload_create) TARNIX_CHECK_BINDING(Payload_createForTemplate) TARNIX_CHECK_BINDING(Payload_copy)
    TARNIX_CHECK_BINDING(Payload_clear) TARNIX_CHECK_BINDING(Payload_destroy) TARNIX_CHECK_BINDING(Payload_setParent) TARNIX_CHECK_BINDING(
        Payload_getByteSize) TARNIX_CHECK_BINDING(Payload_getNumFields) TARNIX_CHECK_BINDING(Payload_getSendSubject)
        TARNIX_CHECK_BINDING(Payload_toString) TARNIX_CHECK_BINDING(Payload_iterateFields) TARNIX_CHECK_BINDING(
            Payload_serialize) TARNIX_CHECK_BINDING(Payload_deserialize) TARNIX_CHECK_BINDING(Payload_unSerialize)
            TARNIX_CHECK_BINDING(Payload_getByteBuffer) TARNIX_CHECK_BINDING(Payload_setByteBuffer) TARNIX_CHECK_BINDING(
                Payload_createFromByteBuffer) TARNIX_CHECK_BINDING(Payload_apply) TARNIX_CHECK_BINDING(Payload_getNativeMsg)
                TARNIX_CHECK_BINDING(Payload_getFieldAsString) TARNIX_CHECK_BINDING(Payload_addBool) TARNIX_CHECK_BINDING(
                    Payload_addChar) TARNIX_CHECK_BINDING(Payload_addI8) TARNIX_CHECK_BINDING(Payload_addU8)
                    TARNIX_CHECK_BINDING(Payload_addI16) TARNIX_CHECK_BINDING(Payload_addU16) TARNIX_CHECK_BINDING(
                        Payload_addI32) TARNIX_CHECK_BINDING(Payload_addU32) TARNIX_CHECK_BINDING(Payload_addI64)
                        TARNIX_CHECK_BINDING(Payload_addU64) TARNIX_CHECK_BINDING(Payload_addF32) TARNIX_CHECK_BINDING(
                            Payload_addF64) TARNIX_CHECK_BINDING(Payload_addString) TARNIX_CHECK_BINDING(Payload_addOpaque)
                            TARNIX_CHECK_BINDING(Payload_addDateTime) TARNIX_CHECK_BINDING(Payload_addPrice) TARNIX_CHECK_BINDING(
                                Payload_addMsg) TARNIX_CHECK_BINDING(Payload_addVectorBool) TARNIX_CHECK_BINDING(Payload_addVectorChar)
                                TARNIX_CHECK_BINDING(Payload_addVectorI8) TARNIX_CHECK_BINDING(Payload_addVectorU8) TARNIX_CHECK_BINDING(
                                    Payload_addVectorI16) TARNIX_CHECK_BINDING(Payload_addVectorU16) TARNIX_CHECK_BINDING(Payload_addVectorI32)
                                    TARNIX_CHECK_BINDING(Payload_addVectorU32) TARNIX_CHECK_BINDING(Payload_addVectorI64) TARNIX_CHECK_BINDING(
                                        Payload_addVectorU64) TARNIX_CHECK_BINDING(Payload_addVectorF32) TARNIX_CHECK_BINDING(Payload_addVectorF64)
                                        TARNIX_CHECK_BINDING(Payload_addVectorString) TARNIX_CHECK_BINDING(Payload_addVectorMsg) TARNIX_CHECK_BINDING(
                                            Payload_addVectorDateTime) TARNIX_CHECK_BINDING(Payload_addVectorPrice)
                                            TARNIX_CHECK_BINDING(Payload_updateBool) TARNIX_CHECK_BINDING(Payload_updateChar) TARNIX_CHECK_BINDING(
                                                Payload_updateU8) TARNIX_CHECK_BINDING(Payload_updateI8)
                                                TARNIX_CHECK_BINDING(Payload_updateI16) TARNIX_CHECK_BINDING(
                                                    Payload_updateU16) TARNIX_CHECK_BINDING(Payload_updateI32)
                                                    TARNIX_CHECK_BINDING(Payload_updateU32) TARNIX_CHECK_BINDING(
                                                        Payload_updateI64) TARNIX_CHECK_BINDING(Payload_updateU64)
                                                        TARNIX_CHECK_BINDING(Payload_updateF32) TARNIX_CHECK_BINDING(
                                                            Payload_updateF64) TARNIX_CHECK_BINDING(Payload_updateString)
                                                            TARNIX_CHECK_BINDING(Payload_updateOpaque) TARNIX_CHECK_BINDING(
                                                                Payload_updateDateTime) TARNIX_CHECK_BINDING(Payload_updatePrice)
                                                                TARNIX_CHECK_BINDING(Payload_updateSubMsg) TARNIX_CHECK_BINDING(Payload_updateVectorMsg) TARNIX_CHECK_BINDING(Payload_updateVectorString) TARNIX_CHECK_BINDING(Payload_updateVectorBool) TARNIX_CHECK_BINDING(Payload_updateVectorChar) TARNIX_CHECK_BINDING(Payload_updateVectorI8) TARNIX_CHECK_BINDING(Payload_updateVectorU8) TARNIX_CHECK_BINDING(Payload_updateVectorI16) TARNIX_CHECK_BINDING(Payload_updateVectorU16) TARNIX_CHECK_BINDING(Payload_updateVectorI32) TARNIX_CHECK_BINDING(Payload_updateVectorU32) TARNIX_CHECK_BINDING(Payload_updateVectorI64) TARNIX_CHECK_BINDING(Payload_updateVectorU64) TARNIX_CHECK_BINDING(Payload_updateVectorF32) TARNIX_CHECK_BINDING(Payload_updateVectorF64) TARNIX_CHECK_BINDING(Payload_updateVectorPrice) TARNIX_CHECK_BINDING(Payload_updateVectorTime) TARNIX_CHECK_BINDING(Payload_getBool) TARNIX_CHECK_BINDING(Payload_getChar) TARNIX_CHECK_BINDING(Payload_getI8) TARNIX_CHECK_BINDING(Payload_getU8) TARNIX_CHECK_BINDING(
                                                                    Payload_getI16) TARNIX_CHECK_BINDING(Payload_getU16) TARNIX_CHECK_BINDING(Payload_getI32)
                                                                    TARNIX_CHECK_BINDING(Payload_getU32) TARNIX_CHECK_BINDING(Payload_getI64) TARNIX_CHECK_BINDING(
                                                                        Payload_getU64) TARNIX_CHECK_BINDING(Payload_getF32)
                                                                        TARNIX_CHECK_BINDING(Payload_getF64) TARNIX_CHECK_BINDING(
                                                                            Payload_getString) TARNIX_CHECK_BINDING(Payload_getOpaque)
                                                                            TARNIX_CHECK_BINDING(Payload_getField) TARNIX_CHECK_BINDING(
                                                                                Payload_getDateTime) TARNIX_CHECK_BINDING(Payload_getPrice)
                                                                                TARNIX_CHECK_BINDING(Payload_getMsg) TARNIX_CHECK_BINDING(
                                                                                    Payload_getVectorBool) TARNIX_CHECK_BINDING(Payload_getVectorChar)
                                                                                    TARNIX_CHECK_BINDING(Payload_getVectorI8) TARNIX_CHECK_BINDING(
                                                                                        Payload_getVectorU8) TARNIX_CHECK_BINDING(Payload_getVectorI16)
                                                                                        TARNIX_CHECK_BINDING(Payload_getVectorU16) TARNIX_CHECK_BINDING(
                                                                                            Payload_getVectorI32) TARNIX_CHECK_BINDING(Payload_getVectorU32)
                                                                                            TARNIX_CHECK_BINDING(Payload_getVectorI64) TARNIX_CHECK_BINDING(
                                                                                                Payload_getVectorU64)
                                                                                                TARNIX_CHECK_BINDING(Payload_getVectorF32) TARNIX_CHECK_BINDING(
                                                                                                    Payload_getVectorF64)
                                                                                                    TARNIX_CHECK_BINDING(
                                                                                                        Payload_getVectorString)
                                                                                                        TARNIX_CHECK_BINDING(
                                                                                                            Payload_getVectorDateTime)
                                                                                                            TARNIX_CHECK_BINDING(
                                                                                                                Payload_getVectorPrice)
                                                                                                                TARNIX_CHECK_BINDING(
                                                                                                                    Payload_getVectorMsg)
                                                                                                                    TARNIX_CHECK_BINDING(
                                                                                                                        FieldPayload_create)
                                                                                                                        TARNIX_CHECK_BINDING(
                                                                                                                            FieldPayload_destroy)
                                                                                                                            TARNIX_CHECK_BINDING(
                                                                                                                                FieldPayload_getType)
                                                                                                                                TARNIX_CHECK_BINDING(
                                                                                                                                    FieldPayload_getName)
                                                                                                                                    TARNIX_CHECK_BINDING(
                                                                                                                                        FieldPayload_getFid)
                                                                                                                                        TARNIX_CHECK_BINDING(
                                                                                                                                            FieldPayload_getDescriptor)
                                                                                                                                            TARNIX_CHECK_BINDING(
                                                                                                                                                FieldPayload_updateBool) TARNIX_CHECK_BINDING(FieldPayload_updateChar) TARNIX_CHECK_BINDING(FieldPayload_updateU8) TARNIX_CHECK_BINDING(FieldPayload_updateI8) TARNIX_CHECK_BINDING(FieldPayload_updateI16) TARNIX_CHECK_BINDING(FieldPayload_updateU16) TARNIX_CHECK_BINDING(FieldPayload_updateI32) TARNIX_CHECK_BINDING(FieldPayload_updateU32) TARNIX_CHECK_BINDING(FieldPayload_updateI64) TARNIX_CHECK_BINDING(FieldPayload_updateU64) TARNIX_CHECK_BINDING(FieldPayload_updateF32) TARNIX_CHECK_BINDING(FieldPayload_updateF64) TARNIX_CHECK_BINDING(FieldPayload_updateString) TARNIX_CHECK_BINDING(FieldPayload_updateDateTime) TARNIX_CHECK_BINDING(FieldPayload_updatePrice) TARNIX_CHECK_BINDING(FieldPayload_getBool)
                                                                                                                                                TARNIX_CHECK_BINDING(FieldPayload_getChar) TARNIX_CHECK_BINDING(FieldPayload_getI8) TARNIX_CHECK_BINDING(FieldPayload_getU8) TARNIX_CHECK_BINDING(FieldPayload_getI16) TARNIX_CHECK_BINDING(FieldPayload_getU16) TARNIX_CHECK_BINDING(FieldPayload_getI32) TARNIX_CHECK_BINDING(
                                                                                                                                                    FieldPayload_getU32)
                                                                                                                                                    TARNIX_CHECK_BINDING(
                                                                                                                                                        FieldPayload_getI64) TARNIX_CHECK_BINDING(FieldPayload_getU64) TARNIX_CHECK_BINDING(FieldPayload_getF32) TARNIX_CHECK_BINDING(FieldPayload_getF64) TARNIX_CHECK_BINDING(FieldPayload_getString) TARNIX_CHECK_BINDING(FieldPayload_getOpaque) TARNIX_CHECK_BINDING(FieldPayload_getDateTime) TARNIX_CHECK_BINDING(FieldPayload_getPrice) TARNIX_CHECK_BINDING(FieldPayload_getMsg) TARNIX_CHECK_BINDING(FieldPayload_getVectorBool) TARNIX_CHECK_BINDING(FieldPayload_getVectorChar) TARNIX_CHECK_BINDING(FieldPayload_getVectorI8) TARNIX_CHECK_BINDING(FieldPayload_getVectorU8) TARNIX_CHECK_BINDING(FieldPayload_getVectorI16) TARNIX_CHECK_BINDING(FieldPayload_getVectorU16)
                                                                                                                                                        TARNIX_CHECK_BINDING(FieldPayload_getVectorI32) TARNIX_CHECK_BINDING(FieldPayload_getVectorU32) TARNIX_CHECK_BINDING(FieldPayload_getVectorI64) TARNIX_CHECK_BINDING(
                                                                                                                                                            FieldPayload_getVectorU64)
                                                                                                                                                            TARNIX_CHECK_BINDING(
                                                                                                                                                                FieldPayload_getVectorF32)
                                                                                                                                                                TARNIX_CHECK_BINDING(FieldPayload_getVectorF64) TARNIX_CHECK_BINDING(FieldPayload_getVectorString) TARNIX_CHECK_BINDING(FieldPayload_getVectorDateTime) TARNIX_CHECK_BINDING(FieldPayload_getVectorPrice) TARNIX_CHECK_BINDING(FieldPayload_getVectorMsg)
                                                                                                                                                                    TARNIX_CHECK_BINDING(
                                                                                                                                                                        FieldPayload_getAsString)
                                                                                                                                                                        TARNIX_CHECK_BINDING(
                                                                                                                                                                            PayloadIter_create)
                                                                                                                                                                            TARNIX_CHECK_BINDING(
                                                                                                                                                                                PayloadIter_next)
                                                                                                                                                                                TARNIX_CHECK_BINDING(
                                                                                                                                                                                    PayloadIter_hasNext)
                                                                                                                                                                                    TARNIX_CHECK_BINDING(
                                                                                                                                                                                        PayloadIter_begin)
                                                                                                                                                                                        TARNIX_CHECK_BINDING(
                                                                                                                                                                                            PayloadIter_end)
                                                                                                                                                                                            TARNIX_CHECK_BINDING(
                                                                                                                                                                                                PayloadIter_associate)
                                                                                                                                                                                                TARNIX_CHECK_BINDING(
                                                                                                                                                                                                    PayloadIter_destroy)
