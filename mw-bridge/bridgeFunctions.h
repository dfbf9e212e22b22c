/* Every middleware entry point OpenMAMA binds by name for the "tarnix"
 * bridge. */
#ifndef TARNIX_MW_BRIDGEFUNCTIONS_H
#define TARNIX_MW_BRIDGEFUNCTIONS_H

#include "mamaIntegration.h"

extern "C"
{

    /* Bridge */
    mama_status tarnixBridge_init(mamaBridge bridgeImpl);
    mama_status tarnixBridge_open(mamaBridge bridgeImpl);
    mama_status tarnixBridge_close(mamaBridge bridgeImpl);
    mama_status tarnixBridge_start(mamaQueue defaultEventQueue);
    mama_status tarnixBridge_stop(mamaQueue defaultEventQueue);
    const char* tarnixBridge_getVersion(void);
    const char* tarnixBridge_getName(void);
    mama_status tarnixBridge_getDefaultPayloadId(char*** name, char** id);

    /* Queue */
    mama_status tarnixBridgeMamaQueue_create(queueBridge* queue, mamaQueue parent);
    mama_status tarnixBridgeMamaQueue_create_usingNative(queueBridge* queue, mamaQueue parent, void* nativeQueue);
    mama_status tarnixBridgeMamaQueue_destroy(queueBridge queue);
    mama_status tarnixBridgeMamaQueue_getEventCount(queueBridge queue, size_t* count);
    mama_status tarnixBridgeMamaQueue_dispatch(queueBridge queue);
    mama_status tarnixBridgeMamaQueue_timedDispatch(queueBridge queue, uint64_t timeout);
    mama_status tarnixBridgeMamaQueue_dispatchEvent(queueBridge queue);
    mama_status tarnixBridgeMamaQueue_enqueueEvent(queueBridge queue, mamaQueueEnqueueCB callback, void* closure);
    mama_status tarnixBridgeMamaQueue_stopDispatch(queueBridge queue);
    mama_status tarnixBridgeMamaQueue_setEnqueueCallback(queueBridge queue, mamaQueueEnqueueCB callback, void* closure);
    mama_status tarnixBridgeMamaQueue_removeEnqueueCallback(queueBridge queue);
    mama_status tarnixBridgeMamaQueue_getNativeHandle(queueBridge queue, void** nativeHandle);
    mama_status tarnixBridgeMamaQueue_setHighWatermark(queueBridge queue, size_t highWatermark);
    mama_status tarnixBridgeMamaQueue_setLowWatermark(queueBridge queue, size_t lowWatermark);

    /* Transport */
    int tarnixBridgeMamaTransport_isValid(transportBridge transport);
    mama_status tarnixBridgeMamaTransport_destroy(transportBridge transport);
    mama_status tarnixBridgeMamaTransport_create(transportBridge* result, const char* name, mamaTransport parent);
    mama_status tarnixBridgeMamaTransport_forceClientDisconnect(transportBridge* transports, int numTransports,
                                                                const char* ipAddress, uint16_t port);
    mama_status tarnixBridgeMamaTransport_findConnection(transportBridge* transports, int numTransports,
                                                         mamaConnection* result, const char* ipAddress, uint16_t port);
    mama_status tarnixBridgeMamaTransport_getAllConnections(transportBridge* transports, int numTransports,
                                                            mamaConnection** result, uint32_t* len);
    mama_status tarnixBridgeMamaTransport_getAllConnectionsForTopic(transportBridge* transports, int numTransports,
                                                                    const char* topic, mamaConnection** result,
                                                                    uint32_t* len);
    mama_status tarnixBridgeMamaTransport_requestConflation(transportBridge* transports, int numTransports);
    mama_status tarnixBridgeMamaTransport_requestEndConflation(transportBridge* transports, int numTransports);
    mama_status tarnixBridgeMamaTransport_getAllServerConnections(transportBridge* transports, int numTransports,
                                                                  mamaServerConnection** result, uint32_t* len);
    mama_status tarnixBridgeMamaTransport_freeAllServerConnections(transportBridge* transports, int numTransports,
                                                                   mamaServerConnection* connections, uint32_t len);
    mama_status tarnixBridgeMamaTransport_freeAllConnections(transportBridge* transports, int numTransports,
                                                             mamaConnection* connections, uint32_t len);
    mama_status tarnixBridgeMamaTransport_getNumLoadBalanceAttributes(const char* name, int* numLoadBalanceAttributes);
    mama_status tarnixBridgeMamaTransport_getLoadBalanceSharedObjectName(const char* name,
                                                                         const char** loadBalanceSharedObjectName);
    mama_status tarnixBridgeMamaTransport_getLoadBalanceScheme(const char* name, tportLbScheme* scheme);
    mama_status tarnixBridgeMamaTransport_sendMsgToConnection(transportBridge transport, mamaConnection connection,
                                                              mamaMsg msg, const char* topic);
    mama_status tarnixBridgeMamaTransport_isConnectionIntercepted(mamaConnection connection, uint8_t* result);
    mama_status tarnixBridgeMamaTransport_installConnectConflateMgr(transportBridge handle, mamaConflationManager mgr,
                                                                    mamaConnection connection,
                                                                    conflateProcessCb processCb,
                                                                    conflateGetMsgCb msgCb);
    mama_status tarnixBridgeMamaTransport_uninstallConnectConflateMgr(transportBridge handle, mamaConflationManager mgr,
                                                                      mamaConnection connection);
    mama_status tarnixBridgeMamaTransport_startConnectionConflation(transportBridge handle, mamaConflationManager mgr,
                                                                    mamaConnection connection);
    mama_status tarnixBridgeMamaTransport_getNativeTransport(transportBridge transport, void** nativeTport);
    mama_status tarnixBridgeMamaTransport_getNativeTransportNamingCtx(transportBridge transport,
                                                                      void** nativeTportNamingCtx);

    /* Subscription */
    mama_status tarnixBridgeMamaSubscription_create(subscriptionBridge* subscriber, const char* source,
                                                    const char* symbol, mamaTransport transport, mamaQueue queue,
                                                    mamaMsgCallbacks callback, mamaSubscription subscription,
                                                    void* closure);
    mama_status tarnixBridgeMamaSubscription_createWildCard(subscriptionBridge* subscriber, const char* source,
                                                            const char* symbol, mamaTransport transport,
                                                            mamaQueue queue, mamaMsgCallbacks callback,
                                                            mamaSubscription subscription, void* closure);
    mama_status tarnixBridgeMamaSubscription_mute(subscriptionBridge subscriber);
    mama_status tarnixBridgeMamaSubscription_destroy(subscriptionBridge subscriber);
    int tarnixBridgeMamaSubscription_isValid(subscriptionBridge subscriber);
    int tarnixBridgeMamaSubscription_hasWildcards(subscriptionBridge subscriber);
    mama_status tarnixBridgeMamaSubscription_getPlatformError(subscriptionBridge subscriber, void** error);
    int tarnixBridgeMamaSubscription_isTportDisconnected(subscriptionBridge subscriber);
    mama_status tarnixBridgeMamaSubscription_setTopicClosure(subscriptionBridge subscriber, void* closure);
    mama_status tarnixBridgeMamaSubscription_muteCurrentTopic(subscriptionBridge subscriber);

    /* Timer */
    mama_status tarnixBridgeMamaTimer_create(timerBridge* timer, void* nativeQueueHandle, mamaTimerCb action,
                                             mamaTimerCb onTimerDestroyed, mama_f64_t interval, mamaTimer parent,
                                             void* closure);
    mama_status tarnixBridgeMamaTimer_destroy(timerBridge timer);
    mama_status tarnixBridgeMamaTimer_reset(timerBridge timer);
    mama_status tarnixBridgeMamaTimer_setInterval(timerBridge timer, mama_f64_t interval);
    mama_status tarnixBridgeMamaTimer_getInterval(timerBridge timer, mama_f64_t* interval);

    /* Io */
    mama_status tarnixBridgeMamaIo_create(ioBridge* result, void* nativeQueueHandle, uint32_t descriptor,
                                          mamaIoCb action, mamaIoType ioType, mamaIo parent, void* closure);
    mama_status tarnixBridgeMamaIo_getDescriptor(ioBridge io, uint32_t* descriptor);
    mama_status tarnixBridgeMamaIo_destroy(ioBridge io);

    /* Publisher */
    mama_status tarnixBridgeMamaPublisher_createByIndex(publisherBridge* result, mamaTransport tport, int tportIndex,
                                                        const char* topic, const char* source, const char* root,
                                                        mamaPublisher parent);
    mama_status tarnixBridgeMamaPublisher_destroy(publisherBridge publisher);
    mama_status tarnixBridgeMamaPublisher_send(publisherBridge publisher, mamaMsg msg);
    mama_status tarnixBridgeMamaPublisher_sendReplyToInbox(publisherBridge publisher, mamaMsg request, mamaMsg reply);
    mama_status tarnixBridgeMamaPublisher_sendReplyToInboxHandle(publisherBridge publisher, void* request,
                                                                 mamaMsg reply);
    mama_status tarnixBridgeMamaPublisher_sendFromInboxByIndex(publisherBridge publisher, int tportIndex,
                                                               mamaInbox inbox, mamaMsg msg);
    mama_status tarnixBridgeMamaPublisher_sendFromInbox(publisherBridge publisher, mamaInbox inbox, mamaMsg msg);
    mama_status tarnixBridgeMamaPublisher_setUserCallbacks(publisherBridge publisher, mamaQueue queue,
                                                           mamaPublisherCallbacks* cb, void* closure);

    /* Inbox */
    mama_status tarnixBridgeMamaInbox_create(inboxBridge* bridge, mamaTransport tport, mamaQueue queue,
                                             mamaInboxMsgCallback msgCB, mamaInboxErrorCallback errorCB,
                                             mamaInboxDestroyCallback onInboxDestroyed, void* closure,
                                             mamaInbox parent);
    mama_status tarnixBridgeMamaInbox_createByIndex(inboxBridge* bridge, mamaTransport tport, int tportIndex,
                                                    mamaQueue queue, mamaInboxMsgCallback msgCB,
                                                    mamaInboxErrorCallback errorCB,
                                                    mamaInboxDestroyCallback onInboxDestroyed, void* closure,
                                                    mamaInbox parent);
    mama_status tarnixBridgeMamaInbox_destroy(inboxBridge inbox);

    /* Msg */
    mama_status tarnixBridgeMamaMsg_create(msgBridge* msg, mamaMsg parent);
    int tarnixBridgeMamaMsg_isFromInbox(msgBridge msg);
    mama_status tarnixBridgeMamaMsg_destroy(msgBridge msg, int destroyMsg);
    mama_status tarnixBridgeMamaMsg_destroyMiddlewareMsg(msgBridge msg);
    mama_status tarnixBridgeMamaMsg_detach(msgBridge msg);
    mama_status tarnixBridgeMamaMsg_getPlatformError(msgBridge msg, void** error);
    mama_status tarnixBridgeMamaMsg_setSendSubject(msgBridge msg, const char* symbol, const char* subject);
    mama_status tarnixBridgeMamaMsg_getNativeHandle(msgBridge msg, void** result);
    mama_status tarnixBridgeMamaMsg_duplicateReplyHandle(msgBridge msg, void** result);
    mama_status tarnixBridgeMamaMsg_copyReplyHandle(void* src, void** dest);
    mama_status tarnixBridgeMamaMsgImpl_setReplyHandle(msgBridge msg, void* result);
    mama_status tarnixBridgeMamaMsgImpl_setReplyHandleAndIncrement(msgBridge msg, void* result);
    mama_status tarnixBridgeMamaMsg_destroyReplyHandle(void* result);

} // extern "C"

#endif
