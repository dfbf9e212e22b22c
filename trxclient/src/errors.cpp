#include "errors.h"

#include <cstdio>
#include <cstring>

namespace trx
{
namespace
{
thread_local trxClient_errorInfo_t tlsError;

void vset(trxClient_subCode_t subCode, const char* fmt, va_list ap)
{
    tlsError.subCode = subCode;
    tlsError.responseCode = 0;
    std::vsnprintf(tlsError.errorStr, sizeof tlsError.errorStr, fmt, ap);
}
} // namespace

trxClient_returnCode_t fail(trxClient_subCode_t subCode, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vset(subCode, fmt, ap);
    va_end(ap);
    return TRXCLIENT_FAIL;
}

trxClient_returnCode_t failWith(trxClient_returnCode_t rc, trxClient_subCode_t subCode, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vset(subCode, fmt, ap);
    va_end(ap);
    return rc;
}

void setLastError(trxClient_subCode_t subCode, int responseCode, const char* text)
{
    tlsError.subCode = subCode;
    tlsError.responseCode = responseCode;
    std::snprintf(tlsError.errorStr, sizeof tlsError.errorStr, "%s", text ? text : "");
}

void clearLastError()
{
    tlsError.subCode = TRXCLIENT_SUBCODE_OK;
    tlsError.responseCode = 0;
    tlsError.errorStr[0] = '\0';
}

} // namespace trx

extern "C"
{

    trxClient_errorInfo_pt trxClient_getLastErrorInfo(void)
    {
        return &trx::tlsError;
    }

    void trxClient_resetLastErrorInfo(void)
    {
        trx::clearLastError();
    }

    const char* trxClient_returnCodeToString(trxClient_returnCode_t rc)
    {
        switch (rc)
        {
            case TRXCLIENT_OK: return "TRXCLIENT_OK";
            case TRXCLIENT_WOULD_BLOCK: return "TRXCLIENT_WOULD_BLOCK";
            case TRXCLIENT_IN_PROGRESS: return "TRXCLIENT_IN_PROGRESS";
            case TRXCLIENT_NOT_READY: return "TRXCLIENT_NOT_READY";
            case TRXCLIENT_EOS: return "TRXCLIENT_EOS";
            case TRXCLIENT_NOT_FOUND: return "TRXCLIENT_NOT_FOUND";
            case TRXCLIENT_INCOMPLETE: return "TRXCLIENT_INCOMPLETE";
            case TRXCLIENT_FAIL: return "TRXCLIENT_FAIL";
            default: return "Unknown return code";
        }
    }

    const char* trxClient_subCodeToString(trxClient_subCode_t subCode)
    {
        switch (subCode)
        {
            case TRXCLIENT_SUBCODE_OK: return "TRXCLIENT_SUBCODE_OK";
            case TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE: return "TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE";
            case TRXCLIENT_SUBCODE_PARAM_NULL_PTR: return "TRXCLIENT_SUBCODE_PARAM_NULL_PTR";
            case TRXCLIENT_SUBCODE_PARAM_CONFLICT: return "TRXCLIENT_SUBCODE_PARAM_CONFLICT";
            case TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE: return "TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE";
            case TRXCLIENT_SUBCODE_OUT_OF_MEMORY: return "TRXCLIENT_SUBCODE_OUT_OF_MEMORY";
            case TRXCLIENT_SUBCODE_INTERNAL_ERROR: return "TRXCLIENT_SUBCODE_INTERNAL_ERROR";
            case TRXCLIENT_SUBCODE_INIT_NOT_CALLED: return "TRXCLIENT_SUBCODE_INIT_NOT_CALLED";
            case TRXCLIENT_SUBCODE_TIMEOUT: return "TRXCLIENT_SUBCODE_TIMEOUT";
            case TRXCLIENT_SUBCODE_KEEP_ALIVE_FAILURE: return "TRXCLIENT_SUBCODE_KEEP_ALIVE_FAILURE";
            case TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED: return "TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED";
            case TRXCLIENT_SUBCODE_COMMUNICATION_ERROR: return "TRXCLIENT_SUBCODE_COMMUNICATION_ERROR";
            case TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION: return "TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION";
            case TRXCLIENT_SUBCODE_BROKER_UNREACHABLE: return "TRXCLIENT_SUBCODE_BROKER_UNREACHABLE";
            case TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE: return "TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE";
            case TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX: return "TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX";
            case TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE: return "TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE";
            case TRXCLIENT_SUBCODE_LOGIN_FAILURE: return "TRXCLIENT_SUBCODE_LOGIN_FAILURE";
            case TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND: return "TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND";
            case TRXCLIENT_SUBCODE_TOPIC_DISPATCH_DISABLED: return "TRXCLIENT_SUBCODE_TOPIC_DISPATCH_DISABLED";
            case TRXCLIENT_SUBCODE_PROPERTY_NOT_FOUND: return "TRXCLIENT_SUBCODE_PROPERTY_NOT_FOUND";
            case TRXCLIENT_SUBCODE_CONTAINER_FIELD_NOT_FOUND: return "TRXCLIENT_SUBCODE_CONTAINER_FIELD_NOT_FOUND";
            case TRXCLIENT_SUBCODE_CONTAINER_TYPE_MISMATCH: return "TRXCLIENT_SUBCODE_CONTAINER_TYPE_MISMATCH";
            case TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT: return "TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT";
            case TRXCLIENT_SUBCODE_CACHE_UNAVAILABLE: return "TRXCLIENT_SUBCODE_CACHE_UNAVAILABLE";
            case TRXCLIENT_SUBCODE_CACHE_ERROR: return "TRXCLIENT_SUBCODE_CACHE_ERROR";
            case TRXCLIENT_SUBCODE_SERVER_ERROR: return "TRXCLIENT_SUBCODE_SERVER_ERROR";
            case TRXCLIENT_SUBCODE_MSG_TOO_LARGE: return "TRXCLIENT_SUBCODE_MSG_TOO_LARGE";
            case TRXCLIENT_SUBCODE_NO_CACHED_DATA: return "TRXCLIENT_SUBCODE_NO_CACHED_DATA";
            case TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT: return "TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT";
            case TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT: return "TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT";
            case TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED: return "TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED";
            case TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED: return "TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED";
            case TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED: return "TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED";
            default: return "Unknown sub code";
        }
    }

    const char* trxClient_session_eventToString(trxClient_session_event_t event)
    {
        switch (event)
        {
            case TRXCLIENT_SESSION_EVENT_UP_NOTICE: return "Session up";
            case TRXCLIENT_SESSION_EVENT_DOWN_ERROR: return "Session down";
            case TRXCLIENT_SESSION_EVENT_CONNECT_FAILED_ERROR: return "Session connect failed";
            case TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR: return "Rejected message";
            case TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR: return "Subscription error";
            case TRXCLIENT_SESSION_EVENT_RX_MSG_DISCARD_WARNING: return "Received messages discarded";
            case TRXCLIENT_SESSION_EVENT_ACKNOWLEDGEMENT: return "Acknowledgement";
            case TRXCLIENT_SESSION_EVENT_RESERVED_7: return "Reserved event 7";
            case TRXCLIENT_SESSION_EVENT_RESERVED_8: return "Reserved event 8";
            case TRXCLIENT_SESSION_EVENT_UNSUBSCRIBE_ERROR_WARNING: return "Unsubscribe error";
            case TRXCLIENT_SESSION_EVENT_CAN_SEND: return "Can send";
            case TRXCLIENT_SESSION_EVENT_DISCONNECTED_NOTICE: return "Session disconnected";
            case TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE: return "Reconnecting";
            case TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE: return "Reconnected";
            case TRXCLIENT_SESSION_EVENT_ASYNC_ERROR_WARNING: return "Broker error";
            case TRXCLIENT_SESSION_EVENT_NODE_DISCOVERED_NOTICE: return "Cluster node discovered";
            case TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK: return "Subscription ok";
            case TRXCLIENT_SESSION_EVENT_FLOW_STATE_NOTICE: return "Flow state changed";
            default: return "Unknown session event";
        }
    }

    const char* trxClient_cacheSession_eventToString(trxClient_cacheRequestEvent_t event)
    {
        switch (event)
        {
            case TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE: return "TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE";
            default: return "Unknown cache event";
        }
    }

} // extern "C"
