/* Initial values, snapshots, recaps and dictionaries from the broker's cache:
 * the requests OpenMAMA sends from an inbox, the cache's completion events,
 * and the status messages the bridge builds itself (not found, not
 * entitled). */
#ifndef TARNIX_MW_CACHEREQUEST_H
#define TARNIX_MW_CACHEREQUEST_H

#include "transport.h"

#include "mamaIntegration.h"
#include <trxClient.h>

#include <cstdint>

struct TarnixPublisherBridge;
struct TarnixBridgeSubscription;

/* One request; lives in its correlation tag's data. */
struct TarnixCacheRequest
{
    int32_t mSubscriptionType;
    int32_t mMsgType;
    TarnixBridgeSubscription* mSubscription;
    mamaMsg mRequest;
    char mCacheTopic[TARNIX_TOPIC_BUFFER];
    char mSubject[TARNIX_TOPIC_BUFFER];
    char mReplyTopic[TARNIX_TOPIC_BUFFER];
    uint64_t mCacheRequestId;
};

/* The request message types that take this path. */
bool tarnixCacheRequest_handles(mamaMsg request, int32_t* msgType);

/* From sendFromInboxByIndex: access check, then the cache request and/or the
 * request itself. */
mama_status tarnixCacheRequest_send(TarnixPublisherBridge* publisher, mamaInbox inbox, mamaMsg request,
                                    int32_t msgType);

/* The broker topic the cache is asked for. out holds TARNIX_TOPIC_BUFFER. */
mama_status tarnixCacheRequest_buildTopic(TarnixPublisherBridge* publisher, int32_t subscriptionType, char* out);

/* mCacheEventCallback of every transport. */
extern "C" void tarnixCacheRequest_onCacheEvent(trxClient_opaqueCacheSession_pt cacheSession,
                                                trxClient_cacheRequestEventCallbackInfo_pt info, void* user);

/* Queues a bridge-built status message for a subscription. copyMode: the
 * fields are copied into the queue's reusable message; otherwise it is
 * rebuilt from the serialized bytes. */
mama_status tarnixCacheRequest_deliverStatus(TarnixTransportBridge* transport, TarnixBridgeSubscription* subscription,
                                             mamaMsgStatus status, bool copyMode);

#endif
