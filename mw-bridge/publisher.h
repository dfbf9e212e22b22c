/* The bridge object behind an OpenMAMA publisher: the broker topic its
 * messages go to. */
#ifndef TARNIX_MW_PUBLISHER_H
#define TARNIX_MW_PUBLISHER_H

#include "mamaIntegration.h"

struct TarnixTransportBridge;

#include <cstdint>

/* What the root given at creation says about the subject. */
enum TarnixPublisherRootKind : int
{
    TARNIX_ROOT_NONE = 0,       /* source and topic */
    TARNIX_ROOT_DICTIONARY = 1, /* "_MDDD...": root, source and topic */
    TARNIX_ROOT_OTHER = 2,      /* root and source; the symbol travels in the message */
};

struct TarnixPublisherBridge
{
    mamaTransport mTransport = nullptr;
    char* mTopic = nullptr;
    char* mSource = nullptr;
    char* mRoot = nullptr;
    char* mSubject = nullptr;
    uint64_t mCacheRequestId = 0;
    mamaPublisher mParent = nullptr;
    mama_publisherOnDestroyCb mOnDestroy = nullptr;
    mamaQueue mCallbackQueue = nullptr;
    void* mClosure = nullptr;
    TarnixPublisherRootKind mRootKind = TARNIX_ROOT_NONE;
};

extern "C" mama_status tarnixBridgeMamaPublisherImpl_create(publisherBridge* result, mamaTransport tport,
                                                            const char* topic, const char* source, const char* root,
                                                            mamaPublisher parent);

/* Checks common to every send, then the send itself. */
mama_status tarnixBridgeMamaPublisherImpl_sendInternal(TarnixPublisherBridge* publisher, const char* replyTo,
                                                       mamaMsg msg, bool replyMode, const char* caller);

/* MAMA_STATUS_NOT_PERMISSIONED, logged, when the broker refused the session
 * its inbox topics, so that no reply to a request on topic could arrive;
 * otherwise MAMA_STATUS_OK. */
mama_status tarnixBridgeMamaTransportImpl_checkInboxReachable(TarnixTransportBridge* transport, const char* topic,
                                                              const char* caller);

/* Sends msg as the binary attachment of a client-library message on topic;
 * replyTo (may be null) becomes its reply-to, or in reply mode its topic. */
mama_status tarnixBridgeMamaTransportImpl_sendMessage(TarnixTransportBridge* transport, const char* topic,
                                                      const char* replyTo, mamaMsg msg, bool replyMode,
                                                      const char* caller);

#endif
