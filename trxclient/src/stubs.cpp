// Placeholder bodies until the backends land: every call fails clearly.
#include "errors.h"
#include "trxClientTest.h"

extern "C" {
trxClient_returnCode_t trxClient_log_setCallback(trxClient_log_callbackFunc_t, void *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_log_setCallback: not implemented yet");
}

trxClient_returnCode_t trxClient_log_unsetCallback(void)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_log_unsetCallback: not implemented yet");
}

trxClient_returnCode_t trxClient_log_setFilterLevel(trxClient_log_category_t, trxClient_log_level_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_log_setFilterLevel: not implemented yet");
}

trxClient_returnCode_t trxClient_initialize(trxClient_log_level_t, trxClient_propertyArray_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_initialize: not implemented yet");
}

trxClient_returnCode_t trxClient_cleanup(void)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_cleanup: not implemented yet");
}

trxClient_returnCode_t trxClient_version_get(trxClient_version_info_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_version_get: not implemented yet");
}

trxClient_returnCode_t _trxClient_version_set(trxClient_version_info_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "_trxClient_version_set: not implemented yet");
}

trxClient_returnCode_t trxClient_generateUUIDString(char *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_generateUUIDString: not implemented yet");
}

trxClient_returnCode_t trxClient_context_create(trxClient_propertyArray_pt, trxClient_opaqueContext_pt *, trxClient_context_createFuncInfo_t *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_context_create: not implemented yet");
}

trxClient_returnCode_t trxClient_context_destroy(trxClient_opaqueContext_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_context_destroy: not implemented yet");
}

trxClient_returnCode_t trxClient_context_processEvents(trxClient_opaqueContext_pt, int)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_context_processEvents: not implemented yet");
}

trxClient_returnCode_t trxClient_context_startTimer(trxClient_opaqueContext_pt, trxClient_context_timerMode_t, uint32_t, trxClient_context_timerCallbackFunc_t, void *, trxClient_context_timerId_t *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_context_startTimer: not implemented yet");
}

trxClient_returnCode_t trxClient_context_stopTimer(trxClient_opaqueContext_pt, trxClient_context_timerId_t *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_context_stopTimer: not implemented yet");
}

trxClient_returnCode_t trxClient_session_create(trxClient_propertyArray_pt, trxClient_opaqueContext_pt, trxClient_opaqueSession_pt *, trxClient_session_createFuncInfo_t *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_create: not implemented yet");
}

trxClient_returnCode_t trxClient_session_connect(trxClient_opaqueSession_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_connect: not implemented yet");
}

trxClient_returnCode_t trxClient_session_disconnect(trxClient_opaqueSession_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_disconnect: not implemented yet");
}

trxClient_returnCode_t trxClient_session_destroy(trxClient_opaqueSession_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_destroy: not implemented yet");
}

trxClient_returnCode_t trxClient_session_suspend(trxClient_opaqueSession_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_suspend: not implemented yet");
}

trxClient_returnCode_t trxClient_session_resume(trxClient_opaqueSession_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_resume: not implemented yet");
}

trxClient_returnCode_t trxClient_session_getProperty(trxClient_opaqueSession_pt, const char *, char *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_getProperty: not implemented yet");
}

trxClient_returnCode_t trxClient_session_sendMsg(trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_sendMsg: not implemented yet");
}

trxClient_returnCode_t trxClient_session_topicSubscribeExt(trxClient_opaqueSession_pt, trxClient_subscribeFlags_t, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_topicSubscribeExt: not implemented yet");
}

trxClient_returnCode_t trxClient_session_topicUnsubscribeExt(trxClient_opaqueSession_pt, trxClient_subscribeFlags_t, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_topicUnsubscribeExt: not implemented yet");
}

trxClient_returnCode_t trxClient_session_topicSubscribeWithDispatch(trxClient_opaqueSession_pt, trxClient_subscribeFlags_t, const char *, trxClient_session_rxMsgDispatchFuncInfo_t *, void *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_topicSubscribeWithDispatch: not implemented yet");
}

trxClient_returnCode_t trxClient_session_topicUnsubscribeWithDispatch(trxClient_opaqueSession_pt, trxClient_subscribeFlags_t, const char *, trxClient_session_rxMsgDispatchFuncInfo_t *, void *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_topicUnsubscribeWithDispatch: not implemented yet");
}

trxClient_returnCode_t _trxClient_session_registerForTopicDispatchDestroy(trxClient_opaqueSession_pt, trxClient_session_topicDispatchDestroyFunc_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "_trxClient_session_registerForTopicDispatchDestroy: not implemented yet");
}

trxClient_returnCode_t trxClient_session_getStats(trxClient_opaqueSession_pt, trxClient_session_stats_t *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_getStats: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_alloc(trxClient_opaqueMsg_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_alloc: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_free(trxClient_opaqueMsg_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_free: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_reset(trxClient_opaqueMsg_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_reset: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_dup(trxClient_opaqueMsg_pt, trxClient_opaqueMsg_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_dup: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_setTopicPtr(trxClient_opaqueMsg_pt, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_setTopicPtr: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_setDestination(trxClient_opaqueMsg_pt, trxClient_destination_t *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_setDestination: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_getDestination(trxClient_opaqueMsg_pt, trxClient_destination_t *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_getDestination: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_setReplyTo(trxClient_opaqueMsg_pt, const trxClient_destination_t *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_setReplyTo: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_getReplyTo(trxClient_opaqueMsg_pt, trxClient_destination_t *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_getReplyTo: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_deleteReplyTo(trxClient_opaqueMsg_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_deleteReplyTo: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_setBinaryAttachmentPtr(trxClient_opaqueMsg_pt, const void *, uint32_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_setBinaryAttachmentPtr: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_setBinaryAttachment(trxClient_opaqueMsg_pt, const void *, uint32_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_setBinaryAttachment: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_getBinaryAttachmentPtr(trxClient_opaqueMsg_pt, const void **, uint32_t *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_getBinaryAttachmentPtr: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_setDeliveryMode(trxClient_opaqueMsg_pt, trxClient_deliveryMode_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_setDeliveryMode: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_getDeliveryMode(trxClient_opaqueMsg_pt, trxClient_deliveryMode_t *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_getDeliveryMode: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_setUserPropertyMap(trxClient_opaqueMsg_pt, trxClient_opaqueContainer_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_setUserPropertyMap: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_getUserPropertyMap(trxClient_opaqueMsg_pt, trxClient_opaqueContainer_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_getUserPropertyMap: not implemented yet");
}

trxClient_bool_t trxClient_msg_isDiscardIndication(trxClient_opaqueMsg_pt)
{
    trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_isDiscardIndication: not implemented yet"); return 0;
}

trxClient_returnCode_t trxClient_msg_setDiscardIndication(trxClient_opaqueMsg_pt, trxClient_bool_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_setDiscardIndication: not implemented yet");
}

trxClient_cacheStatus_t trxClient_msg_isCacheMsg(trxClient_opaqueMsg_pt)
{
    trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_isCacheMsg: not implemented yet"); return -1;
}

trxClient_returnCode_t trxClient_msg_getCacheRequestId(trxClient_opaqueMsg_pt, uint64_t *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_getCacheRequestId: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_dump(trxClient_opaqueMsg_pt, char *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_dump: not implemented yet");
}

trxClient_returnCode_t trxClient_msg_dumpExt(trxClient_opaqueMsg_pt, char *, size_t, uint32_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_msg_dumpExt: not implemented yet");
}

trxClient_returnCode_t trxClient_container_createMap(trxClient_opaqueContainer_pt *, void *, size_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_createMap: not implemented yet");
}

trxClient_returnCode_t trxClient_container_closeMapStream(trxClient_opaqueContainer_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_closeMapStream: not implemented yet");
}

trxClient_returnCode_t trxClient_container_addString(trxClient_opaqueContainer_pt, const char *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_addString: not implemented yet");
}

trxClient_returnCode_t trxClient_container_addInt32(trxClient_opaqueContainer_pt, int32_t, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_addInt32: not implemented yet");
}

trxClient_returnCode_t trxClient_container_addInt64(trxClient_opaqueContainer_pt, int64_t, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_addInt64: not implemented yet");
}

trxClient_returnCode_t trxClient_container_addBool(trxClient_opaqueContainer_pt, trxClient_bool_t, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_addBool: not implemented yet");
}

trxClient_returnCode_t trxClient_container_addDouble(trxClient_opaqueContainer_pt, double, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_addDouble: not implemented yet");
}

trxClient_returnCode_t trxClient_container_getString(trxClient_opaqueContainer_pt, char *, size_t, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_getString: not implemented yet");
}

trxClient_returnCode_t trxClient_container_getInt32(trxClient_opaqueContainer_pt, int32_t *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_getInt32: not implemented yet");
}

trxClient_returnCode_t trxClient_container_getInt64(trxClient_opaqueContainer_pt, int64_t *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_getInt64: not implemented yet");
}

trxClient_returnCode_t trxClient_container_getBool(trxClient_opaqueContainer_pt, trxClient_bool_t *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_getBool: not implemented yet");
}

trxClient_returnCode_t trxClient_container_getDouble(trxClient_opaqueContainer_pt, double *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_getDouble: not implemented yet");
}

trxClient_returnCode_t trxClient_container_rewind(trxClient_opaqueContainer_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_rewind: not implemented yet");
}

trxClient_returnCode_t trxClient_container_getNextField(trxClient_opaqueContainer_pt, trxClient_field_t *, const char **)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_getNextField: not implemented yet");
}

int trxClient_container_getSize(trxClient_opaqueContainer_pt)
{
    trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_container_getSize: not implemented yet"); return -1;
}

trxClient_returnCode_t trxClient_session_createCacheSession(trxClient_propertyArray_pt, trxClient_opaqueSession_pt, trxClient_opaqueCacheSession_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_session_createCacheSession: not implemented yet");
}

trxClient_returnCode_t trxClient_cacheSession_destroy(trxClient_opaqueCacheSession_pt *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_cacheSession_destroy: not implemented yet");
}

trxClient_returnCode_t trxClient_cacheSession_sendCacheRequest(trxClient_opaqueCacheSession_pt, const char *, uint64_t, trxClient_cacheSession_rxCacheRequestCallbackFunc_t, void *, trxClient_cacheRequestFlags_t, trxClient_subscribeFlags_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClient_cacheSession_sendCacheRequest: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_addUser(const char *, const char *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_addUser: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_refuseLogin(const char *, int)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_refuseLogin: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_denySubscribe(const char *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_denySubscribe: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_denyPublish(const char *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_denyPublish: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_clearRules(const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_clearRules: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_setMaxMsgSize(const char *, uint32_t)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_setMaxMsgSize: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_seedCache(const char *, trxClient_opaqueMsg_pt, int)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_seedCache: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_clearCache(const char *, const char *)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_clearCache: not implemented yet");
}

trxClient_returnCode_t trxClientTest_inproc_setCacheSilent(const char *, int)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_inproc_setCacheSilent: not implemented yet");
}

trxClient_returnCode_t trxClientTest_session_dropConnection(trxClient_opaqueSession_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_session_dropConnection: not implemented yet");
}

trxClient_returnCode_t trxClientTest_session_restoreConnection(trxClient_opaqueSession_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_session_restoreConnection: not implemented yet");
}

trxClient_returnCode_t trxClientTest_session_failConnection(trxClient_opaqueSession_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_session_failConnection: not implemented yet");
}

trxClient_returnCode_t trxClientTest_session_failSuspend(trxClient_opaqueSession_pt, int)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_session_failSuspend: not implemented yet");
}

trxClient_returnCode_t trxClientTest_session_failResume(trxClient_opaqueSession_pt, int)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_session_failResume: not implemented yet");
}

trxClient_returnCode_t trxClientTest_session_markDiscard(trxClient_opaqueSession_pt)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_session_markDiscard: not implemented yet");
}

trxClient_returnCode_t trxClientTest_context_drain(trxClient_opaqueContext_pt, int)
{
    return trx::fail(TRXCLIENT_SUBCODE_INTERNAL_ERROR, "trxClientTest_context_drain: not implemented yet");
}

} // extern "C"
