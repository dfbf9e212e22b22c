/* Session events of the client library, turned into OpenMAMA transport
 * events and transport topic events for the application. */
#ifndef TARNIX_MW_TRANSPORTEVENTS_H
#define TARNIX_MW_TRANSPORTEVENTS_H

#include "mamaIntegration.h"
#include <trxClient.h>

struct TarnixTransportBridge;

/* Transport events for the application, delivered on the transport's
 * callback queue. */
void tarnixBridgeMamaTransportImpl_enqueueTransportEvent(TarnixTransportBridge* transport, mamaTransportEvent event,
                                                         short cause, const void* platformInfo);
mama_status tarnixBridgeMamaTransportImpl_getCallbackQueue(TarnixTransportBridge* transport, mamaQueue* queue);

/* The session's event callback, on the context thread. */
extern "C" void tarnixBridgeMamaTransportImpl_onSessionEvent(trxClient_opaqueSession_pt session,
                                                             trxClient_session_eventCallbackInfo_pt info, void* user);

#endif
