#include "transport.h"

#include "bridgeFunctions.h"
#include "clientLibrary.h"
#include "notImplemented.h"

mama_status tarnixBridgeMamaTransport_suspend(TarnixTransportBridge* transport)
{
    if (transport == nullptr)
    {
        TARNIX_LOG_ERROR("no transport closure");
        return MAMA_STATUS_NULL_ARG;
    }
    const char* name = transport->mName != nullptr ? transport->mName : "";
    mama_status status = MAMA_STATUS_OK;
    wlock_lock(transport->mSuspendLock);
    const uint32_t before = transport->mSuspendedQueueCount++;
    TARNIX_LOG_FINEST("incremented suspended queues for transport '%s' because queue is full; value "
                      "is now '%u'",
                      name, transport->mSuspendedQueueCount);
    if (before == 0 && transport->mSession != nullptr)
    {
        trxClient_returnCode_t rc = trxClient_session_suspend(transport->mSession);
        if (rc == TRXCLIENT_OK)
        {
            TARNIX_LOG_FINER("suspending the transport '%s'; cannot exceed maximum queue depth", name);
        }
        else
        {
            TARNIX_LOG_ERROR("could not suspend the transport '%s'", name);
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "error in trxClient_session_suspend()");
            --transport->mSuspendedQueueCount;
            TARNIX_LOG_FINEST("decremented suspended queues for transport '%s' because "
                              "trxClient_session_suspend failed; value is now '%u'",
                              name, transport->mSuspendedQueueCount);
            status = MAMA_STATUS_PLATFORM;
        }
    }
    wlock_unlock(transport->mSuspendLock);
    return status;
}

mama_status tarnixBridgeMamaTransport_resume(TarnixTransportBridge* transport)
{
    if (transport == nullptr)
    {
        TARNIX_LOG_ERROR("no transport closure");
        return MAMA_STATUS_NULL_ARG;
    }
    const char* name = transport->mName != nullptr ? transport->mName : "";
    mama_status status = MAMA_STATUS_OK;
    wlock_lock(transport->mSuspendLock);
    if (transport->mSuspendedQueueCount == 0)
    {
        TARNIX_LOG_ERROR("transport with no suspended queues being resumed. tarnixTransportBridge=%p",
                         static_cast<void*>(transport));
        wlock_unlock(transport->mSuspendLock);
        return MAMA_STATUS_PLATFORM;
    }
    --transport->mSuspendedQueueCount;
    TARNIX_LOG_FINEST("decremented suspended queues for transport '%s' because queue has enough room; "
                      "value is now '%u'",
                      name, transport->mSuspendedQueueCount);
    if (transport->mSuspendedQueueCount == 0 && transport->mSession != nullptr)
    {
        trxClient_returnCode_t rc = trxClient_session_resume(transport->mSession);
        if (rc == TRXCLIENT_OK)
        {
            TARNIX_LOG_FINER("resuming the transport '%s'; queue now has enough room to continue", name);
        }
        else
        {
            TARNIX_LOG_ERROR("could not resume the transport '%s'", name);
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "error in trxClient_session_resume()");
            ++transport->mSuspendedQueueCount;
            TARNIX_LOG_FINEST("incremented suspended queues for transport '%s' because "
                              "trxClient_session_resume failed; value is now '%u'",
                              name, transport->mSuspendedQueueCount);
            status = MAMA_STATUS_PLATFORM;
        }
    }
    wlock_unlock(transport->mSuspendLock);
    return status;
}

/* Transports are not built yet: OpenMAMA can load the bridge, and a
 * transport creation fails cleanly. */
extern "C" {

int tarnixBridgeMamaTransport_isValid(transportBridge)
{
    return 0;
}

mama_status tarnixBridgeMamaTransport_destroy(transportBridge)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_create(transportBridge*, const char*, mamaTransport)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_forceClientDisconnect(transportBridge*, int, const char*,
                                                            uint16_t)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_findConnection(transportBridge*, int, mamaConnection*,
                                                     const char*, uint16_t)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_getAllConnections(transportBridge*, int, mamaConnection**,
                                                        uint32_t*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_getAllConnectionsForTopic(transportBridge*, int, const char*,
                                                                mamaConnection**, uint32_t*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_requestConflation(transportBridge*, int)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_requestEndConflation(transportBridge*, int)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_getAllServerConnections(transportBridge*, int,
                                                              mamaServerConnection**, uint32_t*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_freeAllServerConnections(transportBridge*, int,
                                                               mamaServerConnection*, uint32_t)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_freeAllConnections(transportBridge*, int, mamaConnection*,
                                                         uint32_t)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_getNumLoadBalanceAttributes(const char*, int*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_getLoadBalanceSharedObjectName(const char*, const char**)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_getLoadBalanceScheme(const char*, tportLbScheme*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_sendMsgToConnection(transportBridge, mamaConnection, mamaMsg,
                                                          const char*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_isConnectionIntercepted(mamaConnection, uint8_t*)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_installConnectConflateMgr(transportBridge,
                                                                mamaConflationManager,
                                                                mamaConnection, conflateProcessCb,
                                                                conflateGetMsgCb)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_uninstallConnectConflateMgr(transportBridge,
                                                                  mamaConflationManager,
                                                                  mamaConnection)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_startConnectionConflation(transportBridge,
                                                                mamaConflationManager,
                                                                mamaConnection)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_getNativeTransport(transportBridge, void**)
{
    TARNIX_NOT_IMPLEMENTED();
}

mama_status tarnixBridgeMamaTransport_getNativeTransportNamingCtx(transportBridge, void**)
{
    TARNIX_NOT_IMPLEMENTED();
}

}  // extern "C"
