#include "transport.h"
#include "cacheRequest.h"

#include "bridgeFunctions.h"
#include "clientLibrary.h"
#include "compat.h"
#include "logging.h"
#include "properties.h"
#include "subscription.h"
#include "tarnixBridge.h"
#include "transportConfig.h"
#include "transportEvents.h"
#include "transportReceive.h"
#include "transportStats.h"

#include <mama/integration/mama.h>
#include <mama/integration/transport.h>
#include <property.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace
{

constexpr const char* kTransportPrefix = "mama.tarnix.transport.";
constexpr const char* kSendPublisherInfoProperty = "mama.tarnix.transport.send_publisher_info";
constexpr const char* kReplyToProperty = "SESSION_REPLY_TO_DEFAULT_DEST";
constexpr const char* kPayloadName = "tarnixmsg";
constexpr size_t kUserNameRoom = 65;         /* 64 characters */
constexpr size_t kComputerNameRoom = 260;    /* 259 characters */
constexpr size_t kSessionUserNameRoom = 190; /* 189 characters */
constexpr const char* kMaxPendingBytesProperty = "max_pending_bytes";
constexpr const char* kBufferByteLimitProperty = "SESSION_BUFFER_BYTE_LIMIT";
constexpr const char* kStatsIntervalProperty = "stats_interval";
constexpr unsigned long kDefaultStatsIntervalS = 60;
constexpr unsigned long kMaxStatsIntervalS = 86400;
/* The session's receive buffer takes half and needs at least 1024 bytes. */
constexpr uint64_t kMinPendingBytes = 2048;
constexpr uint64_t kMaxPendingBytes = 1ull << 42;

/* Sub-codes of a refused connect that mean the broker does not let us in. */
constexpr trxClient_subCode_t kNotEntitledSubCodes[] = {19, 45, 46, 47, 48, 67, 103, 104, 105, 106, 123};

bool isTrue(const char* text)
{
    return text != nullptr && properties_GetPropertyValueAsBoolean(text) != 0;
}

/* The discard topic takes answers nobody waits for; it accepts and drops. */
extern "C" trxClient_rxMsgCallback_returnCode_t onDiscardMsg(trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void*)
{
    return TRXCLIENT_CALLBACK_OK;
}

trxClient_session_rxMsgDispatchFuncInfo_t discardDispatch()
{
    return {TRXCLIENT_DISPATCH_TYPE_CALLBACK, onDiscardMsg, nullptr, nullptr};
}

bool discardTopic(const TarnixTransportBridge* transport, char* topic)
{
    const int length = std::snprintf(topic, TARNIX_TOPIC_BUFFER, "%sdiscard", transport->mInboxTarnixSubPrefix);
    if (length < 0)
    {
        TARNIX_LOG_ERROR("Could not concatenate topic for discard subscription: %d", length);
        return false;
    }
    return true;
}

/* Replaces the second level of the reply-to prefix by a wildcard level, so
 * the prefix matches this session's reply-to topics on any node. */
void wildcardSecondLevel(char* prefix)
{
    char* first = std::strchr(prefix, '/');
    if (first == nullptr)
        return;
    char* second = std::strchr(first + 1, '/');
    if (second == nullptr)
        return;
    first[1] = '*';
    std::memmove(first + 2, second, std::strlen(second) + 1);
}

void buildPublisherInfo(TarnixTransportBridge* transport, trxClient_opaqueSession_pt session)
{
    const char* setting = mama_getProperty(kSendPublisherInfoProperty);
    if (setting != nullptr && !isTrue(setting))
    {
        transport->mPubInfoMap = nullptr;
        TARNIX_LOG_FINE("pubinfo disabled.");
        return;
    }
    TARNIX_LOG_FINER("pubinfo is enabled");

    char user[kUserNameRoom];
    if (tarnixCompat_getUserName(user, sizeof(user)) != 0)
        std::snprintf(user, sizeof(user), "Unknown");
    char host[kComputerNameRoom];
    if (tarnixCompat_getComputerName(host, sizeof(host)) != 0)
        std::snprintf(host, sizeof(host), "Unknown");
    /* The session's user: the configured one, else the process's own. */
    char sessionUser[kSessionUserNameRoom];
    if (trxClient_session_getProperty(session, "SESSION_USERNAME", sessionUser, sizeof(sessionUser)) != TRXCLIENT_OK ||
        sessionUser[0] == '\0')
        std::snprintf(sessionUser, sizeof(sessionUser), "%s", user);

    trxClient_returnCode_t rc = trxClient_container_createMap(&transport->mPubInfoMap, transport->mPubInfoBuffer,
                                                              sizeof(transport->mPubInfoBuffer));
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Cannot create pubinfo map");
        transport->mPubInfoMap = nullptr;
        return;
    }
    rc = trxClient_container_addString(transport->mPubInfoMap, user, "U");
    if (rc != TRXCLIENT_OK)
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Cannot put username in pubinfo map");
    rc = trxClient_container_addString(transport->mPubInfoMap, host, "H");
    if (rc != TRXCLIENT_OK)
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Cannot put computername in pubinfo map");
    rc = trxClient_container_addInt32(transport->mPubInfoMap, static_cast<int32_t>(getpid()), "P");
    if (rc != TRXCLIENT_OK)
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Cannot put pid in pubinfo map");
    rc = trxClient_container_addString(transport->mPubInfoMap, sessionUser, "S");
    if (rc != TRXCLIENT_OK)
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Cannot put session username in pubinfo map");
}

/* The session properties: defaults configuration may override, the
 * transport's configured properties, then what the bridge relies on. */
mama_status buildSessionProperties(TarnixProperties* props)
{
    /* Messages go from the receiving thread straight to the subscription's
     * queue whenever nothing of the session waits for the context thread:
     * the receive callbacks only filter and enqueue, safe on any thread. */
    if (!tarnixProperties_append(props, "SESSION_ALWAYS_BUFFER_IN_CONTEXT", "0"))
    {
        TARNIX_LOG_ERROR("unable to append property SESSION_ALWAYS_BUFFER_IN_CONTEXT");
        return MAMA_STATUS_NOMEM;
    }
    /* No credentials by default: the user and computer names sent as user
     * and password are refused by servers with accounts or no_auth_user, and
     * would tell every server the host name. Only configured ones are sent. */
    if (!tarnixProperties_append(props, "use_trxcache", "1"))
    {
        TARNIX_LOG_ERROR("Unable to append default use_trxcache value");
        return MAMA_STATUS_NOMEM;
    }
    if (!tarnixProperties_append(props, "SESSION_REQUEST_MSG_LIMIT", "100000"))
    {
        TARNIX_LOG_ERROR("Unable to append default SESSION_REQUEST_MSG_LIMIT value");
        return MAMA_STATUS_NOMEM;
    }
    mama_status status = tarnixProperties_collect(props);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("Unable to create properties: %s", mamaStatus_stringForStatus(status));
        return status;
    }
    const char* const forced[][2] = {
        {"SESSION_REAPPLY_SUBSCRIPTIONS", "1"},
        {"SESSION_TOPIC_DISPATCH", "1"},
        {"SESSION_CONNECT_BLOCKING", "1"},
    };
    for (const auto& pair : forced)
    {
        if (!tarnixProperties_append(props, pair[0], pair[1]))
        {
            TARNIX_LOG_ERROR("unable to append %s=%s", pair[0], pair[1]);
            return MAMA_STATUS_NOMEM;
        }
    }
    return MAMA_STATUS_OK;
}

/* Reads max_pending_bytes and gives the session's receive buffer its half,
 * replacing any SESSION_BUFFER_BYTE_LIMIT: together with the queued half
 * that is all a slow consumer can make this transport hold. */
mama_status applyPendingBudget(TarnixProperties* props, const char* name, uint64_t* budget)
{
    uint64_t value = TARNIX_DEFAULT_MAX_PENDING_BYTES;
    if (const char* text = tarnixProperties_get(props, kMaxPendingBytesProperty))
    {
        char* end = nullptr;
        errno = 0;
        const unsigned long long parsed =
            std::isdigit(static_cast<unsigned char>(text[0])) ? std::strtoull(text, &end, 10) : 0;
        if (end == nullptr || *end != '\0' || errno != 0 || parsed < kMinPendingBytes || parsed > kMaxPendingBytes)
        {
            TARNIX_LOG_ERROR("Invalid value '%s' for %s%s.%s: expected a number of bytes from %" PRIu64 " to %" PRIu64,
                             text, kTransportPrefix, name, kMaxPendingBytesProperty, kMinPendingBytes,
                             kMaxPendingBytes);
            return MAMA_STATUS_INVALID_ARG;
        }
        value = parsed;
    }
    if (tarnixProperties_get(props, kBufferByteLimitProperty) != nullptr)
        TARNIX_LOG_WARN("%s%s.%s is ignored: the receive buffer takes half of %s%s.%s (%" PRIu64 " bytes)",
                        kTransportPrefix, name, kBufferByteLimitProperty, kTransportPrefix, name,
                        kMaxPendingBytesProperty, value);
    char half[24];
    std::snprintf(half, sizeof(half), "%" PRIu64, value / 2);
    if (!tarnixProperties_append(props, kBufferByteLimitProperty, half))
    {
        TARNIX_LOG_ERROR("unable to append %s=%s", kBufferByteLimitProperty, half);
        return MAMA_STATUS_NOMEM;
    }
    *budget = value;
    return MAMA_STATUS_OK;
}

/* stats_interval: seconds between statistics lines, 0 = none. */
mama_status readStatsInterval(TarnixProperties* props, const char* name, uint32_t* intervalMs)
{
    unsigned long seconds = kDefaultStatsIntervalS;
    if (const char* text = tarnixProperties_get(props, kStatsIntervalProperty))
    {
        char* end = nullptr;
        errno = 0;
        seconds = std::isdigit(static_cast<unsigned char>(text[0])) ? std::strtoul(text, &end, 10) : 0;
        if (end == nullptr || *end != '\0' || errno != 0 || seconds > kMaxStatsIntervalS)
        {
            TARNIX_LOG_ERROR("Invalid value '%s' for %s%s.%s: expected seconds from 0 (no statistics lines) to %lu",
                             text, kTransportPrefix, name, kStatsIntervalProperty, kMaxStatsIntervalS);
            return MAMA_STATUS_INVALID_ARG;
        }
    }
    *intervalMs = static_cast<uint32_t>(seconds * 1000);
    return MAMA_STATUS_OK;
}

uint64_t suspendMark(const TarnixTransportBridge* transport)
{
    return transport->mMaxPendingBytes / 2;
}

uint64_t resumeMark(const TarnixTransportBridge* transport)
{
    return transport->mMaxPendingBytes / 4;
}

/* Under mSuspendLock. */
void resumeForBytes(TarnixTransportBridge* transport)
{
    if (tarnixBridgeMamaTransportImpl_resume(transport) != MAMA_STATUS_OK)
        return; /* still counted; the next dispatch tries again */
    transport->mBytesSuspended.store(false);
    TARNIX_LOG_FINER("transport '%s' holds %" PRIu64 " bytes on queues, resumed", transport->mName.c_str(),
                     transport->mPendingBytes.load());
}

mama_status connectStatus()
{
    const trxClient_errorInfo_t* info = trxClient_getLastErrorInfo();
    if (info == nullptr)
        return MAMA_STATUS_PLATFORM;
    for (trxClient_subCode_t code : kNotEntitledSubCodes)
        if (info->subCode == code)
            return MAMA_STATUS_NOT_ENTITLED;
    return MAMA_STATUS_PLATFORM;
}

/* Under the bridge's list lock: no connected transport has the name. */
bool nameIsFreeLocked(TarnixBridge* bridge, const char* name)
{
    TarnixTransportBridge* existing = bridge->mTransportList->findByName(name);
    if (existing == nullptr)
        return true;
    TARNIX_LOG_ERROR("Cannot create transport name=%s. Already have a transport with this name (%p)", name,
                     static_cast<void*>(existing));
    return false;
}

bool nameIsFree(TarnixBridge* bridge, const char* name)
{
    std::lock_guard<std::mutex> lock(bridge->mTransportListLock);
    return nameIsFreeLocked(bridge, name);
}

/* One direction of flow control: the count of queues holding the transport
 * back goes up (suspend) or down (resume); the session follows when the
 * count leaves or reaches zero. */
struct SuspensionChange
{
    int mStep;
    trxClient_returnCode_t (*mCall)(trxClient_opaqueSession_pt);
    const char* mCallName;
    const char* mCounted; /* "incremented" or "decremented" */
    const char* mUndone;  /* the opposite, for a failed call */
    const char* mWhy;
    const char* mActing; /* "suspending" or "resuming" */
    const char* mOutcome;
    const char* mVerb; /* "suspend" or "resume" */
};

constexpr SuspensionChange kSuspend{+1,
                                    trxClient_session_suspend,
                                    "trxClient_session_suspend",
                                    "incremented",
                                    "decremented",
                                    "queue is full",
                                    "suspending",
                                    "cannot exceed maximum queue depth",
                                    "suspend"};
constexpr SuspensionChange kResume{-1,
                                   trxClient_session_resume,
                                   "trxClient_session_resume",
                                   "decremented",
                                   "incremented",
                                   "queue has enough room",
                                   "resuming",
                                   "queue now has enough room to continue",
                                   "resume"};

mama_status changeSuspension(TarnixTransportBridge* transport, const SuspensionChange& change)
{
    if (transport == nullptr)
    {
        TARNIX_LOG_ERROR("no transport closure");
        return MAMA_STATUS_NULL_ARG;
    }
    const char* name = transport->mName.c_str();
    std::lock_guard<std::recursive_mutex> lock(transport->mSuspendLock);
    if (change.mStep < 0 && transport->mSuspendedQueueCount == 0)
    {
        TARNIX_LOG_ERROR("transport with no suspended queues being resumed. tarnixTransportBridge=%p",
                         static_cast<void*>(transport));
        return MAMA_STATUS_PLATFORM;
    }
    transport->mSuspendedQueueCount += change.mStep;
    TARNIX_LOG_FINEST("%s suspended queues for transport '%s' because %s; value is now '%u'", change.mCounted, name,
                      change.mWhy, transport->mSuspendedQueueCount);
    /* The session changes only when the first queue holds it back or the
     * last one lets it go. */
    const uint32_t edge = change.mStep > 0 ? 1 : 0;
    mama_status status = MAMA_STATUS_OK;
    trxClient_opaqueSession_pt session = transport->mSession.load();
    if (transport->mSuspendedQueueCount == edge && session != nullptr)
    {
        trxClient_returnCode_t rc = change.mCall(session);
        if (rc == TRXCLIENT_OK)
        {
            TARNIX_LOG_FINER("%s the transport '%s'; %s", change.mActing, name, change.mOutcome);
        }
        else
        {
            TARNIX_LOG_ERROR("could not %s the transport '%s'", change.mVerb, name);
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "error in %s()", change.mCallName);
            transport->mSuspendedQueueCount -= change.mStep;
            TARNIX_LOG_FINEST("%s suspended queues for transport '%s' because %s failed; value is now '%u'",
                              change.mUndone, name, change.mCallName, transport->mSuspendedQueueCount);
            status = MAMA_STATUS_PLATFORM;
        }
    }
    return status;
}

/* The bridge's options of a connected transport: the cache, the payload for
 * the bridge's own messages, subscription requests, gap recovery. */
mama_status readOptions(TarnixTransportBridge& t, const char* name, const char* prefix)
{
    TarnixProperties* props = t.mProperties.get();
    t.mUseTrxCache = isTrue(tarnixProperties_get(props, "use_trxcache"));
    if (t.mUseTrxCache)
        TARNIX_LOG_NORMAL("Use of TrxCache is enabled.");
    else
        TARNIX_LOG_FINER("Use of TrxCache is disabled.");

    mama_status status = mama_loadPayloadBridge(&t.mPayloadBridge, kPayloadName);
    if (status == MAMA_STATUS_OK)
    {
        TARNIX_LOG_FINER("Loaded tarnixmsg payload bridge for tarnix transport events.");
    }
    else if (t.mUseTrxCache)
    {
        TARNIX_LOG_WARN("Unable to load tarnixmsg payload bridgewith status: %s. The tarnixmsg payload bridge is "
                        "required when use_trxcache is enabled.",
                        mamaStatus_stringForStatus(status));
        return status;
    }
    else
    {
        t.mPayloadBridge = mamaInternal_getDefaultPayload();
        if (t.mPayloadBridge != nullptr)
            TARNIX_LOG_FINER("Unable to load tarnixmsg payload bridge with status: %s. Using default payload "
                             "bridge. This may cause unexpected behaviour should the payload bridge be in "
                             "compatible with the tarnix bridge",
                             mamaStatus_stringForStatus(status));
    }

    t.mSendSubReq = t.mUseTrxCache ? isTrue(tarnixProperties_get(props, "send_subreq")) : true;
    TARNIX_LOG_FINER("SendSubReq for transport %s is %s", name, t.mSendSubReq ? "enabled" : "disabled");

    const char* recoverGaps = tarnixProperties_get(props, "allow_recover_gaps");
    if (recoverGaps == nullptr)
    {
        TARNIX_LOG_ERROR("Error in getting bridge property 'allow_recover_gaps' for transport name=%s. Property "
                         "'%sallow_recover_gaps' is mandatory but missing.",
                         name, prefix);
        return MAMA_STATUS_PLATFORM;
    }
    t.mAllowRecoverGaps = isTrue(recoverGaps);
    TARNIX_LOG_FINE("Found bridge property 'allow_recover_gaps' for transport name=%s, value=%s. Setting bridge "
                    "allow recover gaps to %d.",
                    name, recoverGaps, t.mAllowRecoverGaps ? 1 : 0);

    return MAMA_STATUS_OK;
}

/* The inbox prefixes from the session's reply-to topic, and the discard
 * topic that takes answers nobody waits for. */
mama_status prepareInboxes(TarnixTransportBridge& t, const char* name)
{
    trxClient_returnCode_t rc = trxClient_session_getProperty(
        t.mOwnedSession, kReplyToProperty, t.mInboxTarnixReplyToPrefix, sizeof(t.mInboxTarnixReplyToPrefix));
    if (rc != TRXCLIENT_OK || t.mInboxTarnixReplyToPrefix[0] == '\0')
    {
        TARNIX_LOG_ERROR("Error in getting P2P topic  for transport name=%s. trxClient_session_getProperty() "
                         "failure for P2P inbox",
                         name);
        return MAMA_STATUS_PLATFORM;
    }
    t.mInboxTarnixReplyToPrefix[std::strlen(t.mInboxTarnixReplyToPrefix) - 1] = '\0';
    std::memcpy(t.mInboxTarnixSubPrefix, t.mInboxTarnixReplyToPrefix, sizeof(t.mInboxTarnixSubPrefix));
    wildcardSecondLevel(t.mInboxTarnixSubPrefix);
    t.mInboxTarnixSubPrefixLen = static_cast<uint32_t>(std::strlen(t.mInboxTarnixSubPrefix));
    TARNIX_LOG_FINEST("Set mInboxTarnixReplyToPrefix='%s'  mInboxTarnixSubPrefix='%s' for transport name=%s. ",
                      t.mInboxTarnixReplyToPrefix, t.mInboxTarnixSubPrefix, name);

    char discard[TARNIX_TOPIC_BUFFER];
    if (!discardTopic(&t, discard))
        return MAMA_STATUS_PLATFORM;
    trxClient_session_rxMsgDispatchFuncInfo_t dispatch = discardDispatch();
    rc = trxClient_session_topicSubscribeWithDispatch(t.mOwnedSession, TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY,
                                                      discard, &dispatch, nullptr);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error creating discard subscription");
        return MAMA_STATUS_PLATFORM;
    }
    return MAMA_STATUS_OK;
}

/* The transport's name, its OpenMAMA transport and bridge, and the log of
 * its discarded messages. */
mama_status setIdentity(TarnixTransportBridge& t, TarnixBridge* bridge, const char* name, mamaTransport parent)
{
    t.mTransport.store(parent);
    t.mBridge_p = bridge;
    try
    {
        t.mName = name;
    }
    catch (const std::bad_alloc&)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for transport name; transport: %p", static_cast<void*>(&t));
        return MAMA_STATUS_NOMEM;
    }
    t.mDiscardLog = {tarnixThrottledLog_create(MAMA_LOG_LEVEL_ERROR, bridge->mContext), tarnixThrottledLog_destroy};
    if (t.mDiscardLog == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for throttled log structure");
        return MAMA_STATUS_NOMEM;
    }
    return MAMA_STATUS_OK;
}

/* The session's properties from the transport's configuration (prefix
 * "mama.tarnix.transport.NAME."), and the bridge's settings among them. */
mama_status configure(TarnixTransportBridge& t, const char* name, const char* prefix, TarnixTransportConfig* config,
                      uint32_t* statsIntervalMs)
{
    TARNIX_LOG_FINE("Getting properties for transport name=%s.", name);
    *config = tarnixTransportConfig_check(name);
    if (config->mKeys == 0)
        TARNIX_LOG_ERROR("Transport '%s' is not configured: mama.properties sets no %s* property (at least "
                         "%sSESSION_HOST and %sallow_recover_gaps)",
                         name, prefix, prefix, prefix);
    t.mProperties.reset(tarnixProperties_allocate(prefix));
    if (t.mProperties == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate properties");
        return MAMA_STATUS_NOMEM;
    }
    TarnixProperties* props = t.mProperties.get();
    mama_status status = buildSessionProperties(props);
    if (status == MAMA_STATUS_OK)
        status = applyPendingBudget(props, name, &t.mMaxPendingBytes);
    if (status == MAMA_STATUS_OK)
        status = readStatsInterval(props, name, statsIntervalMs);
    return status;
}

/* The transport's own session, with its callbacks. */
mama_status createSession(TarnixTransportBridge& t, TarnixBridge* bridge)
{
    TARNIX_LOG_FINER("Creating trxClient session. Calling trxClient_session_create");
    trxClient_session_createFuncInfo_t funcInfo{};
    funcInfo.eventInfo.callback_p = tarnixBridgeMamaTransportImpl_onSessionEvent;
    funcInfo.eventInfo.user_p = &t;
    funcInfo.rxMsgInfo.callback_p = tarnixBridgeMamaTransportImpl_onSessionMsg;
    trxClient_returnCode_t rc =
        trxClient_session_create(tarnixProperties_getTrxClientProps(t.mProperties.get()), bridge->mContext,
                                 &t.mOwnedSession, &funcInfo, sizeof(funcInfo));
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error in trxClient_session_create()");
        t.mOwnedSession = nullptr;
        return MAMA_STATUS_PLATFORM;
    }
    _trxClient_session_registerForTopicDispatchDestroy(t.mOwnedSession,
                                                       tarnixBridgeMamaSubscriptionImpl_onTopicDispatchDestroy);
    return MAMA_STATUS_OK;
}

/* Blocks until the broker has answered or the connect has failed: no lock
 * is held, other transports go on meanwhile. A configured transport that
 * names no broker is told it has the in-process one. */
mama_status connectSession(TarnixTransportBridge& t, const char* name, const char* prefix,
                           const TarnixTransportConfig& config)
{
    TARNIX_LOG_FINER("Connecting trxClient session. Calling trxClient_session_connect");
    trxClient_returnCode_t rc = trxClient_session_connect(t.mOwnedSession);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_WARN, rc, "Error in trxClient_session_connect()");
        return rc == TRXCLIENT_FAIL || rc == TRXCLIENT_NOT_READY ? connectStatus() : MAMA_STATUS_PLATFORM;
    }
    t.mSession.store(t.mOwnedSession);
    if (config.mKeys != 0 && !config.mHasHost)
    {
        char host[TARNIX_TOPIC_BUFFER] = "";
        trxClient_session_getProperty(t.mOwnedSession, "SESSION_HOST", host, sizeof(host));
        TARNIX_LOG_NORMAL("Transport '%s' has no %sSESSION_HOST: it uses the in-process broker %s, which other "
                          "processes cannot reach",
                          name, prefix, host);
    }
    return MAMA_STATUS_OK;
}

/* What destroy returns: the first failure; each one is logged. */
class DestroyOutcome
{
public:
    void fail(trxClient_returnCode_t rc, const char* what)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "%s", what);
        add(MAMA_STATUS_PLATFORM);
    }
    void add(mama_status status)
    {
        if (mStatus == MAMA_STATUS_OK)
            mStatus = status;
    }
    mama_status status() const { return mStatus; }

private:
    mama_status mStatus = MAMA_STATUS_OK;
};

/* Under mSubscriptionsLock: takes the discard topic's entry out and the
 * session away from the callbacks. False when destroy has already run. */
bool detachSession(TarnixTransportBridge* transport, trxClient_opaqueSession_pt* session)
{
    std::lock_guard<std::mutex> lock(transport->mSubscriptionsLock);
    if (transport->mDestroyed)
        return false;
    *session = transport->mSession.load();
    char discard[TARNIX_TOPIC_BUFFER];
    if (*session != nullptr && discardTopic(transport, discard))
    {
        trxClient_session_rxMsgDispatchFuncInfo_t dispatch = discardDispatch();
        trxClient_returnCode_t rc =
            trxClient_session_topicUnsubscribeWithDispatch(*session, 0, discard, &dispatch, nullptr);
        if (rc != TRXCLIENT_OK)
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error destroying discard subscription");
    }
    transport->mSession.store(nullptr);
    return true;
}

void destroyCacheSession(TarnixTransportBridge* transport, DestroyOutcome* outcome)
{
    if (!transport->mUseTrxCache || transport->mCacheSession == nullptr)
        return;
    trxClient_returnCode_t rc = trxClient_cacheSession_destroy(&transport->mCacheSession);
    transport->mCacheSession = nullptr;
    if (rc == TRXCLIENT_OK)
        TARNIX_LOG_NORMAL("Destroyed trxClient cache session in transport name=%s", transport->mName.c_str());
    else
        outcome->fail(rc, "Error in trxClient_cacheSession_destroy()");
}

/* Disconnects and destroys the session, then the publisher information
 * that went with its messages. */
void closeSession(TarnixTransportBridge* transport, trxClient_opaqueSession_pt session, DestroyOutcome* outcome)
{
    bool suspended = false;
    {
        std::lock_guard<std::recursive_mutex> lock(transport->mSuspendLock);
        suspended = transport->mSuspendedQueueCount != 0;
    }
    /* A session must not be left suspended when it is disconnected. */
    trxClient_returnCode_t rc = TRXCLIENT_OK;
    if (suspended && (rc = trxClient_session_resume(session)) != TRXCLIENT_OK)
        outcome->fail(rc, "Error resuming session before disconnect");
    rc = trxClient_session_disconnect(session);
    if (rc != TRXCLIENT_OK)
        outcome->fail(rc, "Error in trxClient_session_disconnect()");
    rc = trxClient_session_destroy(&transport->mOwnedSession);
    transport->mOwnedSession = nullptr;
    if (rc == TRXCLIENT_OK)
        TARNIX_LOG_NORMAL("Destroyed trxClient session in transport name=%s", transport->mName.c_str());
    else
        outcome->fail(rc, "Error in trxClient_session_destroy()");
    if (transport->mPubInfoMap == nullptr)
        return;
    rc = trxClient_container_closeMapStream(&transport->mPubInfoMap);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error in trxClient_container_closeMapStream()");
        return;
    }
    transport->mPubInfoMap = nullptr;
    TARNIX_LOG_FINE("Destroyed pub info map.");
}

/* Destroy has finished; true when no subscription is left to release the
 * transport, so destroy does. */
bool markDestroyed(TarnixTransportBridge* transport)
{
    std::lock_guard<std::mutex> lock(transport->mSubscriptionsLock);
    transport->mDestroyed = true;
    return transport->mSubscriptions.empty();
}

} // namespace

mama_status tarnixBridgeMamaTransportImpl_suspend(TarnixTransportBridge* transport)
{
    return changeSuspension(transport, kSuspend);
}

mama_status tarnixBridgeMamaTransportImpl_resume(TarnixTransportBridge* transport)
{
    return changeSuspension(transport, kResume);
}

void tarnixBridgeMamaTransportImpl_addPendingBytes(TarnixTransportBridge* transport, uint32_t bytes)
{
    const uint64_t pending = transport->mPendingBytes.fetch_add(bytes) + bytes;
    if (pending < suspendMark(transport) || transport->mBytesSuspended.load(std::memory_order_relaxed) ||
        !transport->mBridge_p->mSubscribeAsync.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::recursive_mutex> lock(transport->mSuspendLock);
    if (!transport->mBytesSuspended.load() && transport->mPendingBytes.load() >= suspendMark(transport))
    {
        TARNIX_LOG_FINER("transport '%s' holds %" PRIu64 " bytes on queues, half of max_pending_bytes %" PRIu64
                         ": suspending",
                         transport->mName.c_str(), pending, transport->mMaxPendingBytes);
        if (tarnixBridgeMamaTransportImpl_suspend(transport) == MAMA_STATUS_OK)
        {
            transport->mBytesSuspended.store(true);
            /* A dispatch that drained the queues meanwhile saw no flag. */
            if (transport->mPendingBytes.load() <= resumeMark(transport))
                resumeForBytes(transport);
        }
    }
}

void tarnixBridgeMamaTransportImpl_removePendingBytes(TarnixTransportBridge* transport, uint32_t bytes)
{
    const uint64_t pending = transport->mPendingBytes.fetch_sub(bytes) - bytes;
    if (pending > resumeMark(transport) || !transport->mBytesSuspended.load())
        return;
    std::lock_guard<std::recursive_mutex> lock(transport->mSuspendLock);
    if (transport->mBytesSuspended.load() && transport->mPendingBytes.load() <= resumeMark(transport))
        resumeForBytes(transport);
}

bool tarnixBridgeMamaTransportImpl_pendingBytesFull(const TarnixTransportBridge* transport)
{
    return transport->mPendingBytes.load(std::memory_order_relaxed) >= suspendMark(transport);
}

mama_status tarnixBridgeMamaTransportImpl_release(TarnixTransportBridge* transport)
{
    if (transport == nullptr)
        return MAMA_STATUS_NULL_ARG;
    TarnixBridge* bridge = transport->mBridge_p;
    if (bridge == nullptr || bridge->mTransportList == nullptr)
    {
        TARNIX_LOG_ERROR("Unexpected NULL pointer (mBridge_p or mBridge_p->mTransportList); mBridge_p: %p",
                         static_cast<void*>(bridge));
        return MAMA_STATUS_PLATFORM;
    }
    std::unique_ptr<TarnixTransportBridge> released;
    {
        std::lock_guard<std::mutex> lock(bridge->mTransportListLock);
        released = bridge->mTransportList->remove(transport);
    }
    return MAMA_STATUS_OK;
}

mama_status tarnixBridgeMamaTransportImpl_getCacheSession(TarnixTransportBridge* transport)
{
    if (transport == nullptr)
        return MAMA_STATUS_NULL_ARG;
    std::lock_guard<std::mutex> lock(transport->mCacheSessionLock);
    if (transport->mCacheSession != nullptr)
        return MAMA_STATUS_OK;
    TARNIX_LOG_FINER("Calling trxClient_session_createCacheSession");
    trxClient_returnCode_t rc =
        trxClient_session_createCacheSession(tarnixProperties_getTrxClientProps(transport->mProperties.get()),
                                             transport->mSession.load(), &transport->mCacheSession);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_WARN, rc, "Error in trxClient_session_createCacheSession()");
        transport->mCacheSession = nullptr;
        return MAMA_STATUS_PLATFORM;
    }
    TARNIX_LOG_FINE("Created trxClient cache session.");
    return MAMA_STATUS_OK;
}

mama_status tarnixBridgeMamaTransportImpl_addSubscription(TarnixTransportBridge* transport,
                                                          TarnixBridgeSubscription* subscription)
{
    if (transport == nullptr || subscription == nullptr)
        return MAMA_STATUS_NULL_ARG;
    std::lock_guard<std::mutex> lock(transport->mSubscriptionsLock);
    if (transport->mSession.load() == nullptr)
    {
        TARNIX_LOG_ERROR("Transport has been destroyed");
        return MAMA_STATUS_PLATFORM;
    }
    try
    {
        if (!transport->mSubscriptions.insert(subscription).second)
            TARNIX_LOG_ERROR("Adding same subscription to transport twice");
    }
    catch (const std::bad_alloc&)
    {
        TARNIX_LOG_ERROR("Couldn't append subscription to transports subscription list");
        return MAMA_STATUS_NOMEM;
    }
    return MAMA_STATUS_OK;
}

mama_status tarnixBridgeMamaTransportImpl_removeSubscription(TarnixTransportBridge* transport,
                                                             TarnixBridgeSubscription* subscription)
{
    if (transport == nullptr || subscription == nullptr)
        return MAMA_STATUS_NULL_ARG;
    bool release = false;
    {
        std::lock_guard<std::mutex> lock(transport->mSubscriptionsLock);
        if (transport->mSubscriptions.erase(subscription) == 0)
        {
            TARNIX_LOG_ERROR("subscription not registered on transport");
            return MAMA_STATUS_INVALID_ARG;
        }
        release = transport->mDestroyed && transport->mSubscriptions.empty();
    }
    return release ? tarnixBridgeMamaTransportImpl_release(transport) : MAMA_STATUS_OK;
}

TarnixTransportBridge::~TarnixTransportBridge()
{
    /* What destroy has not taken down yet: a creation that failed, or a
     * transport the bridge closes with. */
    mStats.reset();
    if (mCacheSession != nullptr)
        trxClient_cacheSession_destroy(&mCacheSession);
    if (mPubInfoMap != nullptr)
        trxClient_container_closeMapStream(&mPubInfoMap);
    mSession.store(nullptr);
    if (mOwnedSession != nullptr)
        trxClient_session_destroy(&mOwnedSession);
}

void TarnixTransportBridge::forgetClientHandles()
{
    mSession.store(nullptr);
    mOwnedSession = nullptr;
    mCacheSession = nullptr;
}

size_t TarnixTransportBridge::subscriptionCount()
{
    std::lock_guard<std::mutex> lock(mSubscriptionsLock);
    return mSubscriptions.size();
}

std::unique_ptr<TarnixTransportBridge> TarnixTransportBridge::create(TarnixBridge* bridge, const char* name,
                                                                     mamaTransport parent, mama_status* status)
{
    std::unique_ptr<TarnixTransportBridge> transport(new (std::nothrow) TarnixTransportBridge());
    if (transport == nullptr)
    {
        *status = MAMA_STATUS_NOMEM;
        return nullptr;
    }
    /* A step that fails leaves what was made to the destructor. */
    TarnixTransportBridge& t = *transport;
    char prefix[TARNIX_TOPIC_BUFFER];
    std::snprintf(prefix, sizeof(prefix), "%s%s.", kTransportPrefix, name);
    TarnixTransportConfig config;
    uint32_t statsIntervalMs = 0;
    *status = setIdentity(t, bridge, name, parent);
    if (*status == MAMA_STATUS_OK)
        *status = configure(t, name, prefix, &config, &statsIntervalMs);
    if (*status == MAMA_STATUS_OK)
        *status = createSession(t, bridge);
    if (*status == MAMA_STATUS_OK)
        *status = connectSession(t, name, prefix, config);
    if (*status != MAMA_STATUS_OK)
        return nullptr;

    buildPublisherInfo(&t, t.mOwnedSession);
    t.mCacheEventCallback = tarnixCacheRequest_onCacheEvent;
    *status = readOptions(t, name, prefix);
    if (*status == MAMA_STATUS_OK)
        *status = prepareInboxes(t, name);
    if (*status != MAMA_STATUS_OK)
        return nullptr;
    t.mStats = {tarnixTransportStats_start(name, t.mOwnedSession, bridge->mContext, statsIntervalMs),
                tarnixTransportStats_stop};
    return transport;
}

extern "C"
{

    mama_status tarnixBridgeMamaTransport_create(transportBridge* result, const char* name, mamaTransport parent)
    {
        if (result == nullptr || name == nullptr || parent == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_LOG_FINEST("Args: name=%s mamaTPort=%p", name, static_cast<void*>(parent));
        if (*name == '\0')
        {
            TARNIX_LOG_ERROR("Called with empty transport name");
            return MAMA_STATUS_INVALID_ARG;
        }

        mamaBridge bridgeImpl = mamaTransportImpl_getBridgeImpl(parent);
        if (bridgeImpl == nullptr)
        {
            TARNIX_LOG_ERROR("Could not get bridge from passed in MAMA Transport");
            return MAMA_STATUS_PLATFORM;
        }
        TarnixBridge* bridge = nullptr;
        mama_status status = tarnixBridgeImpl_closureOf(bridgeImpl, "Could not get Tarnix bridge object", &bridge);
        if (status != MAMA_STATUS_OK)
            return status;

        status = tarnixBridgeImpl_initClientLibrary(bridge);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Unable to initialize TRXC before creating transport '%s': %s", name,
                             mamaStatus_stringForStatus(status));
            return status;
        }

        /* The list lock is taken only to look at and change the list: the
     * connect in between may take as long as the broker makes it. The name
     * is checked again when the connected transport is listed, in case a
     * creation of the same name finished meanwhile. */
        if (!nameIsFree(bridge, name))
            return MAMA_STATUS_PLATFORM;
        std::unique_ptr<TarnixTransportBridge> transport = TarnixTransportBridge::create(bridge, name, parent, &status);
        if (transport == nullptr)
            return status;
        TarnixTransportBridge* listed = nullptr;
        {
            std::lock_guard<std::mutex> lock(bridge->mTransportListLock);
            if (!nameIsFreeLocked(bridge, name))
                status = MAMA_STATUS_PLATFORM;
            else if ((listed = bridge->mTransportList->add(transport)) == nullptr)
                status = MAMA_STATUS_NOMEM;
        }
        if (listed == nullptr)
            return status; /* the transport goes here, outside the lock */

        /* OpenMAMA's refresh messages keep interest alive at feed handlers this
     * broker does not have; their timer would also hold the default queue
     * open until close, for every transport the application never destroys. */
        mamaTransport_disableRefresh(parent, 1);
        *result = reinterpret_cast<transportBridge>(listed);
        mamaTransportImpl_invokeTransportCallback(parent, MAMA_TRANSPORT_CONNECT, 0, nullptr);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaTransport_destroy(transportBridge handle)
    {
        TarnixTransportBridge* transport = reinterpret_cast<TarnixTransportBridge*>(handle);
        if (transport == nullptr)
            return MAMA_STATUS_NULL_ARG;
        trxClient_opaqueSession_pt session = nullptr;
        if (!detachSession(transport, &session))
            return MAMA_STATUS_INVALID_ARG;
        /* Its session goes below; cache events may still count until release. */
        tarnixTransportStats_detach(transport->mStats.get());

        DestroyOutcome outcome;
        destroyCacheSession(transport, &outcome);
        if (session != nullptr)
            closeSession(transport, session, &outcome);
        transport->mTransport.store(nullptr);
        /* Subscriptions still registered are freed on their queues' threads;
         * the last of them releases the transport, but not before this point. */
        if (markDestroyed(transport))
            outcome.add(tarnixBridgeMamaTransportImpl_release(transport));
        return outcome.status();
    }

    int tarnixBridgeMamaTransport_isValid(transportBridge handle)
    {
        TarnixTransportBridge* transport = reinterpret_cast<TarnixTransportBridge*>(handle);
        return transport != nullptr && transport->mSession.load() != nullptr ? 1 : 0;
    }

} // extern "C"

/* Connection management, conflation and load balancing are not offered. */
#define TARNIX_NOT_SUPPORTED()                                                                                         \
    do                                                                                                                 \
    {                                                                                                                  \
        TARNIX_LOG_FINEST("conflation and load balancing are not supported by this bridge.");                          \
        return MAMA_STATUS_NOT_IMPLEMENTED;                                                                            \
    } while (0)

extern "C"
{

    mama_status tarnixBridgeMamaTransport_getNativeTransport(transportBridge transport, void** result)
    {
        if (transport == nullptr || result == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *result = transport;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaTransport_getLoadBalanceScheme(const char* name, tportLbScheme* scheme)
    {
        if (name == nullptr || scheme == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *scheme = static_cast<tportLbScheme>(0);
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaTransport_getLoadBalanceSharedObjectName(const char* name, const char** result)
    {
        if (name == nullptr || result == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *result = nullptr;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaTransport_getNumLoadBalanceAttributes(const char* name, int* count)
    {
        if (name == nullptr || count == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *count = 0;
        return MAMA_STATUS_OK;
    }

    mama_status tarnixBridgeMamaTransport_isConnectionIntercepted(mamaConnection, uint8_t* result)
    {
        if (result == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *result = 0;
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_findConnection(transportBridge*, int, mamaConnection*, const char*, uint16_t)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_forceClientDisconnect(transportBridge*, int, const char*, uint16_t)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_freeAllConnections(transportBridge*, int, mamaConnection*, uint32_t)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_freeAllServerConnections(transportBridge*, int, mamaServerConnection*,
                                                                   uint32_t)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_getAllConnections(transportBridge*, int, mamaConnection**, uint32_t*)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_getAllConnectionsForTopic(transportBridge*, int, const char*,
                                                                    mamaConnection**, uint32_t*)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_getAllServerConnections(transportBridge*, int, mamaServerConnection**,
                                                                  uint32_t*)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_getNativeTransportNamingCtx(transportBridge, void**)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_installConnectConflateMgr(transportBridge, mamaConflationManager,
                                                                    mamaConnection, conflateProcessCb, conflateGetMsgCb)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_uninstallConnectConflateMgr(transportBridge, mamaConflationManager,
                                                                      mamaConnection)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_requestConflation(transportBridge*, int)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_requestEndConflation(transportBridge*, int)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_sendMsgToConnection(transportBridge, mamaConnection, mamaMsg, const char*)
    {
        TARNIX_NOT_SUPPORTED();
    }

    mama_status tarnixBridgeMamaTransport_startConnectionConflation(transportBridge, mamaConflationManager,
                                                                    mamaConnection)
    {
        TARNIX_NOT_SUPPORTED();
    }

} // extern "C"
