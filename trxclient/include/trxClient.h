/*
 * trxClient.h - Tarnix messaging client library (libtrxclient), C API.
 *
 * Usable from C and C++. Every function returns a trxClient_returnCode_t
 * unless stated otherwise; after TRXCLIENT_FAIL (-1) or TRXCLIENT_NOT_READY (3)
 * trxClient_getLastErrorInfo() describes the failure for the calling thread.
 *
 * Backends are chosen per session by the SESSION_HOST property:
 *   inproc://NAME                 in-process broker shared by every session of
 *                                 the process that names it (the default,
 *                                 "inproc://default", when SESSION_HOST is absent)
 *   nats://host:port[,nats://...] a NATS server or the server list of a cluster
 *
 * Threads: a context owns one thread (context property
 * "CONTEXT_CREATE_THREAD" = "1") on which every callback of its sessions and
 * every timer runs. Without it the application drives the context with
 * trxClient_context_processEvents(). API calls may be made from any thread,
 * including from inside callbacks, except where noted.
 *
 * Property arrays are NULL-terminated lists of texts: name, value, name,
 * value, ..., NULL. Unknown names are ignored; when a name appears more than
 * once the last occurrence wins. Names are compared without regard to case.
 */
#ifndef TRXCLIENT_H
#define TRXCLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#if defined(__GNUC__)
#define TRXCLIENT_EXPORT __attribute__((visibility("default")))
#else
#define TRXCLIENT_EXPORT
#endif

    /* ------------------------------------------------------------------------ */
    /* Basic types                                                              */
    /* ------------------------------------------------------------------------ */

    typedef int trxClient_returnCode_t;
#define TRXCLIENT_OK 0          /* success */
#define TRXCLIENT_WOULD_BLOCK 1 /* soft failure: try again later */
#define TRXCLIENT_IN_PROGRESS 2 /* accepted; completion is reported later */
#define TRXCLIENT_NOT_READY 3   /* the object is not in a state to do this */
#define TRXCLIENT_EOS 4         /* end of stream (iteration finished) */
#define TRXCLIENT_NOT_FOUND 5   /* looked-up item does not exist */
#define TRXCLIENT_INCOMPLETE 7  /* finished, but not everything was obtained */
#define TRXCLIENT_FAIL -1       /* failure; see trxClient_getLastErrorInfo() */

    typedef int trxClient_subCode_t;
#define TRXCLIENT_SUBCODE_OK 0
#define TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE 1 /* an argument or property value is out of range */
#define TRXCLIENT_SUBCODE_PARAM_NULL_PTR 2     /* a required pointer argument is NULL */
#define TRXCLIENT_SUBCODE_PARAM_CONFLICT 3     /* arguments or flags that cannot go together */
#define TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE 4 /* caller buffer or container too small */
#define TRXCLIENT_SUBCODE_OUT_OF_MEMORY 5
#define TRXCLIENT_SUBCODE_INTERNAL_ERROR 6
#define TRXCLIENT_SUBCODE_INIT_NOT_CALLED 7            /* trxClient_initialize() was not called */
#define TRXCLIENT_SUBCODE_TIMEOUT 8                    /* a blocking operation timed out */
#define TRXCLIENT_SUBCODE_KEEP_ALIVE_FAILURE 9         /* the broker stopped answering keep-alives */
#define TRXCLIENT_SUBCODE_SESSION_NOT_ESTABLISHED 10   /* session is not connected */
#define TRXCLIENT_SUBCODE_COMMUNICATION_ERROR 11       /* connection to the broker failed or was lost */
#define TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION 12 /* operation not allowed in the session's state */
#define TRXCLIENT_SUBCODE_BROKER_UNREACHABLE 13        /* no broker of the host list could be reached */
#define TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE 14    /* a property has an unusable value (e.g. SESSION_HOST) */
#define TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX 16      /* topic empty or holds a control character */
#define TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE 17           /* topic longer than TRXCLIENT_MAX_TOPIC_LEN */
#define TRXCLIENT_SUBCODE_LOGIN_FAILURE 19             /* the broker refused the credentials */
#define TRXCLIENT_SUBCODE_SUBSCRIPTION_NOT_FOUND 20    /* unsubscribe of an entry that does not exist */
#define TRXCLIENT_SUBCODE_TOPIC_DISPATCH_DISABLED 21   /* dispatch call while SESSION_TOPIC_DISPATCH is 0 */
#define TRXCLIENT_SUBCODE_PROPERTY_NOT_FOUND 22        /* trxClient_session_getProperty: unknown name */
#define TRXCLIENT_SUBCODE_CONTAINER_FIELD_NOT_FOUND 23 /* map has no field of that name */
#define TRXCLIENT_SUBCODE_CONTAINER_TYPE_MISMATCH 24   /* map field exists with another type */
#define TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT 25     /* message has no such field (reply-to, map, id) */
#define TRXCLIENT_SUBCODE_CACHE_UNAVAILABLE 26         /* the broker offers no cache service */
#define TRXCLIENT_SUBCODE_CACHE_ERROR 27               /* the cache service answered with an error */
#define TRXCLIENT_SUBCODE_SERVER_ERROR 28              /* the broker reported an error we cannot place */
#define TRXCLIENT_SUBCODE_MSG_TOO_LARGE 33             /* message larger than the broker accepts */
#define TRXCLIENT_SUBCODE_NO_CACHED_DATA 51            /* cache holds no message for the topic */
#define TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT 52       /* cached message returned but may be stale */
#define TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT 55     /* cache did not answer in time */
#define TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED 68      /* broker refused the subscription */
#define TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED 69        /* broker refused the publication */
#define TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED 87   /* session or cache session went down */

    typedef int trxClient_session_responseCode_t;

    typedef unsigned char trxClient_bool_t;

/* Longest topic accepted, in bytes (without the terminator). */
#define TRXCLIENT_MAX_TOPIC_LEN 250
/* Room for a UUID text: 36 characters and the terminator. */
#define TRXCLIENT_UUID_STRING_SIZE 37

    typedef void* trxClient_opaqueContext_pt;
    typedef void* trxClient_opaqueSession_pt;
    typedef void* trxClient_opaqueCacheSession_pt;
    typedef void* trxClient_opaqueMsg_pt;
    typedef void* trxClient_opaqueContainer_pt;
    typedef void* trxClient_context_timerId_t;

    /* name, value, ..., NULL */
    typedef const char* const* trxClient_propertyArray_pt;

    /* ------------------------------------------------------------------------ */
    /* Last error (per thread)                                                  */
    /* ------------------------------------------------------------------------ */

#define TRXCLIENT_ERRORINFO_STR_SIZE 512
    typedef struct trxClient_errorInfo
    {
        trxClient_subCode_t subCode;
        trxClient_session_responseCode_t responseCode; /* broker's code, 0 if none */
        char errorStr[TRXCLIENT_ERRORINFO_STR_SIZE];
    } trxClient_errorInfo_t, *trxClient_errorInfo_pt;

    /* The calling thread's last error; never NULL. Before a callback of a
 * session event the context thread's last error is set to the event's. */
    TRXCLIENT_EXPORT trxClient_errorInfo_pt trxClient_getLastErrorInfo(void);
    TRXCLIENT_EXPORT void trxClient_resetLastErrorInfo(void);

    /* Constant texts, never NULL ("unknown ..." for numbers not listed). */
    TRXCLIENT_EXPORT const char* trxClient_returnCodeToString(trxClient_returnCode_t rc);
    TRXCLIENT_EXPORT const char* trxClient_subCodeToString(trxClient_subCode_t subCode);

    /* ------------------------------------------------------------------------ */
    /* Logging                                                                  */
    /* ------------------------------------------------------------------------ */

    typedef int trxClient_log_level_t;
#define TRXCLIENT_LOG_EMERGENCY 0
#define TRXCLIENT_LOG_ALERT 1
#define TRXCLIENT_LOG_CRITICAL 2
#define TRXCLIENT_LOG_ERROR 3
#define TRXCLIENT_LOG_WARNING 4
#define TRXCLIENT_LOG_NOTICE 5
#define TRXCLIENT_LOG_INFO 6
#define TRXCLIENT_LOG_DEBUG 7

    typedef int trxClient_log_category_t;
#define TRXCLIENT_LOG_CATEGORY_ALL 0
#define TRXCLIENT_LOG_CATEGORY_API 1 /* the library itself */
#define TRXCLIENT_LOG_CATEGORY_APP 2 /* records an application logs through us */

    typedef struct trxClient_log_callbackInfo
    {
        trxClient_log_category_t category;
        trxClient_log_level_t level;
        const char* msg_p;
    } trxClient_log_callbackInfo_t, *trxClient_log_callbackInfo_pt;

    /* May be called on any thread, concurrently. */
    typedef void (*trxClient_log_callbackFunc_t)(trxClient_log_callbackInfo_pt info_p, void* user_p);

    /* Records at or below the level given to trxClient_initialize (or the last
 * trxClient_log_setFilterLevel) go to the callback; without a callback they go
 * to stderr. Nothing is ever written to stdout. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_log_setCallback(trxClient_log_callbackFunc_t callback_p,
                                                                      void* user_p);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_log_unsetCallback(void);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_log_setFilterLevel(trxClient_log_category_t category,
                                                                         trxClient_log_level_t level);

    /* ------------------------------------------------------------------------ */
    /* Library                                                                  */
    /* ------------------------------------------------------------------------ */

    /* Level 0-7 (TRXCLIENT_LOG_*); larger values are clamped to 7.
 * Global properties: "GLOBAL_NATS_DELIVERY_THREADS" (libnats delivery pool
 * size, default 1). May be called again after trxClient_cleanup(). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_initialize(trxClient_log_level_t level,
                                                                 trxClient_propertyArray_pt props);
    /* Destroys every context (and so every session) still alive. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_cleanup(void);

    typedef struct trxClient_version_info
    {
        const char* version_p;
        const char* dateTime_p;
        const char* variant_p;
    } trxClient_version_info_t, *trxClient_version_info_pt;

    /* *version_p points to library-owned texts valid until the next
 * _trxClient_version_set. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_version_get(trxClient_version_info_pt* version_p);
    /* Replaces the reported version record (texts are copied). */
    TRXCLIENT_EXPORT trxClient_returnCode_t _trxClient_version_set(trxClient_version_info_pt version_p);

    /* 36-character UUID text (random, RFC 4122) into buf of at least 37 bytes. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_generateUUIDString(char* buf_p, size_t size);

    /* ------------------------------------------------------------------------ */
    /* Context                                                                  */
    /* ------------------------------------------------------------------------ */

    /* Context properties:
 *   "CONTEXT_CREATE_THREAD"  "1": the context runs its own thread (default "0")
 */
    typedef struct trxClient_context_createFuncInfo
    {
        void* regFdFunc_p;   /* reserved, must be NULL */
        void* unregFdFunc_p; /* reserved, must be NULL */
        void* user_p;        /* reserved */
    } trxClient_context_createFuncInfo_t;

    /* funcInfoSize is not checked: the record is read by its fields. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_context_create(trxClient_propertyArray_pt props,
                                                                     trxClient_opaqueContext_pt* context_p,
                                                                     trxClient_context_createFuncInfo_t* funcInfo_p,
                                                                     size_t funcInfoSize);
    /* Destroys the context's sessions, stops and joins its thread and clears
 * *context_p. Called from one of the context's own callbacks, the context is
 * freed when that callback returns. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_context_destroy(trxClient_opaqueContext_pt* context_p);

    /* For a context without its own thread: run queued work; wait up to
 * timeoutMs (0 = do not wait) when there is none. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_context_processEvents(trxClient_opaqueContext_pt context,
                                                                            int timeoutMs);

    /* Returns once the context has run everything queued for it before the call
 * (reports of removed dispatch entries, events, deliveries), or fails with
 * sub-code TRXCLIENT_SUBCODE_TIMEOUT after timeoutMs. On the context's own
 * thread it returns at once. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_context_sync(trxClient_opaqueContext_pt context, int timeoutMs);

    typedef int trxClient_context_timerMode_t;
#define TRXCLIENT_CONTEXT_TIMER_ONE_SHOT 0
#define TRXCLIENT_CONTEXT_TIMER_REPEAT 1

    typedef void (*trxClient_context_timerCallbackFunc_t)(trxClient_opaqueContext_pt context, void* user_p);

    /* The callback runs on the context thread after durationMs. A one-shot
 * timer's id is invalid once it has fired. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_context_startTimer(
        trxClient_opaqueContext_pt context, trxClient_context_timerMode_t mode, uint32_t durationMs,
        trxClient_context_timerCallbackFunc_t callback_p, void* user_p, trxClient_context_timerId_t* timerId_p);
    /* Cancels a pending timer and clears *timerId_p; NOT_FOUND if it already
 * fired or was stopped. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_context_stopTimer(trxClient_opaqueContext_pt context,
                                                                        trxClient_context_timerId_t* timerId_p);

    /* ------------------------------------------------------------------------ */
    /* Session                                                                  */
    /* ------------------------------------------------------------------------ */

    /* Session events (trxClient_session_eventCallbackInfo_t.sessionEvent). */
    typedef int trxClient_session_event_t;
#define TRXCLIENT_SESSION_EVENT_UP_NOTICE 0            /* connected */
#define TRXCLIENT_SESSION_EVENT_DOWN_ERROR 1           /* connection lost for good (reconnect gave up) */
#define TRXCLIENT_SESSION_EVENT_CONNECT_FAILED_ERROR 2 /* non-blocking connect failed */
#define TRXCLIENT_SESSION_EVENT_REJECTED_MSG_ERROR                                                                     \
    3 /* broker rejected a publication; error text holds Topic '<topic>' */
#define TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_ERROR 4        /* subscription refused; correlation_p of the request */
#define TRXCLIENT_SESSION_EVENT_RX_MSG_DISCARD_WARNING 5    /* received messages dropped (slow consumer / overflow) */
#define TRXCLIENT_SESSION_EVENT_ACKNOWLEDGEMENT 6           /* reserved, not raised */
#define TRXCLIENT_SESSION_EVENT_RESERVED_7 7                /* not raised */
#define TRXCLIENT_SESSION_EVENT_RESERVED_8 8                /* not raised */
#define TRXCLIENT_SESSION_EVENT_UNSUBSCRIBE_ERROR_WARNING 9 /* broker refused or failed an unsubscribe */
#define TRXCLIENT_SESSION_EVENT_CAN_SEND 10                 /* reserved, not raised */
#define TRXCLIENT_SESSION_EVENT_DISCONNECTED_NOTICE 11      /* trxClient_session_disconnect finished */
#define TRXCLIENT_SESSION_EVENT_RECONNECTING_NOTICE 12      /* connection lost, reconnecting */
#define TRXCLIENT_SESSION_EVENT_RECONNECTED_NOTICE 13       /* reconnected, subscriptions re-applied */
#define TRXCLIENT_SESSION_EVENT_ASYNC_ERROR_WARNING 14      /* broker reported an error not tied to a request */
#define TRXCLIENT_SESSION_EVENT_NODE_DISCOVERED_NOTICE 15   /* broker announced further cluster nodes */
#define TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK 16          /* subscription confirmed; correlation_p of the request */
#define TRXCLIENT_SESSION_EVENT_FLOW_STATE_NOTICE 17        /* session resumed by a reconnect */

    typedef struct trxClient_session_eventCallbackInfo
    {
        trxClient_session_event_t sessionEvent;
        trxClient_session_responseCode_t responseCode;
        const char* info_p;  /* text, never NULL */
        void* correlation_p; /* correlation tag of the request (events 4 and 16), else NULL */
    } trxClient_session_eventCallbackInfo_t, *trxClient_session_eventCallbackInfo_pt;

    TRXCLIENT_EXPORT const char* trxClient_session_eventToString(trxClient_session_event_t event);

    /* Return values of message callbacks. */
    typedef int trxClient_rxMsgCallback_returnCode_t;
#define TRXCLIENT_CALLBACK_OK 0       /* the library frees the message after the callback */
#define TRXCLIENT_CALLBACK_TAKE_MSG 1 /* the application keeps it and frees it with trxClient_msg_free */

    typedef void (*trxClient_session_eventCallbackFunc_t)(trxClient_opaqueSession_pt session,
                                                          trxClient_session_eventCallbackInfo_pt eventInfo_p,
                                                          void* user_p);
    typedef trxClient_rxMsgCallback_returnCode_t (*trxClient_session_rxMsgCallbackFunc_t)(
        trxClient_opaqueSession_pt session, trxClient_opaqueMsg_pt msg, void* user_p);

    /* Six pointers; the first two are reserved and must be NULL. */
    typedef struct trxClient_session_createFuncInfo
    {
        struct
        {
            void* callback_p;
            void* user_p;
        } rxInfo; /* reserved */
        struct
        {
            trxClient_session_eventCallbackFunc_t callback_p;
            void* user_p;
        } eventInfo;
        struct
        {
            trxClient_session_rxMsgCallbackFunc_t callback_p;
            void* user_p;
        } rxMsgInfo;
    } trxClient_session_createFuncInfo_t;

    /*
 * Session properties (values are texts):
 *   SESSION_HOST                   inproc://NAME (default inproc://default) or
 *                                  nats://host:port[,nats://host:port...]
 *                                  (tls://host:port selects TLS for NATS)
 *   SESSION_USERNAME, SESSION_PASSWORD   credentials presented at connect
 *   SESSION_TOKEN                  NATS token
 *   SESSION_NKEY_SEED_FILE         NATS NKey: a file holding a user seed (SU...)
 *   SESSION_CREDS_FILE             NATS JWT credentials file (user JWT and seed)
 *                                  (credentials are sent only when given)
 *   SESSION_CONNECT_BLOCKING       "1" (default): connect blocks until up or
 *                                  failed; "0": connect returns IN_PROGRESS and
 *                                  event 0 or 2 follows
 *   SESSION_CONNECT_TIMEOUT_MS     per connect attempt (default 2000)
 *   SESSION_CONNECT_RETRIES        further attempts of the first connect (default 0)
 *   SESSION_RECONNECT_RETRIES      attempts after a loss before event 1; -1 = forever (default -1)
 *   SESSION_RECONNECT_RETRY_WAIT_MS pause between reconnect rounds (default 100)
 *   SESSION_KEEP_ALIVE_INT_MS      keep-alive interval (default 250)
 *   SESSION_KEEP_ALIVE_LIMIT       unanswered keep-alives before the connection
 *                                  is declared lost (default 3)
 *   SESSION_REAPPLY_SUBSCRIPTIONS  "1" (default): subscriptions survive reconnects;
 *                                  "0": they are dropped at a reconnect (their
 *                                  dispatch entries are reported destroyed)
 *   SESSION_TOPIC_DISPATCH         "1" (default): the *WithDispatch calls are enabled
 *   SESSION_ALWAYS_BUFFER_IN_CONTEXT "1" (default): received messages always pass
 *                                  through the context's thread; "0" (NATS): a
 *                                  message is dispatched on the thread that received
 *                                  it whenever nothing of the session (message or
 *                                  event) is still waiting for the context, so the
 *                                  order stays that of the context; callbacks must
 *                                  then be safe on any thread and must not wait
 *                                  for the context thread
 *   SESSION_BUFFER_MSG_LIMIT       messages held for a suspended session (default 100000)
 *   SESSION_BUFFER_BYTE_LIMIT      bytes held for a suspended session (default 67108864)
 *   SESSION_REQUEST_MSG_LIMIT      most messages one cache request delivers (default 100000)
 *   SESSION_RECONNECT_BUFFER_BYTES NATS: bytes of sends held while the broker
 *                                  is lost, for the reconnect; beyond them a
 *                                  send fails with sub-code 4 (default 8388608)
 *   SESSION_SEND_POLICY            NATS sends: "adaptive" (default: an idle send is
 *                                  written at once, a burst is batched),
 *                                  "batch" (libnats batching), "immediate"
 *   SESSION_TLS_CA_FILE, SESSION_TLS_CERT_FILE, SESSION_TLS_KEY_FILE,
 *   SESSION_TLS_VERIFY_HOSTNAME    TLS for NATS (tls:// hosts, or a CA or client
 *                                  certificate given)
 * Read-only, through trxClient_session_getProperty:
 *   SESSION_REPLY_TO_DEFAULT_DEST  "#P2P/<node>/<session id>//": a point-to-point
 *                                  topic of this session; every topic that starts
 *                                  with "#P2P/<any node>/<session id>/" reaches it
 *   SESSION_REPLY_TO_REFUSED       "1" when the broker refused the session's
 *                                  subscription to those topics (logged as an
 *                                  error): nothing sent to them can arrive;
 *                                  else "0"
 *   SESSION_CLIENT_NAME            the session id (32 hex digits)
 *   SESSION_CONNECTED_HOST         URL of the broker node now connected
 * Any property given at create can be read back as well.
 */
    /* funcInfoSize is not checked: the record is read by its fields. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_create(trxClient_propertyArray_pt props,
                                                                     trxClient_opaqueContext_pt context,
                                                                     trxClient_opaqueSession_pt* session_p,
                                                                     trxClient_session_createFuncInfo_t* funcInfo_p,
                                                                     size_t funcInfoSize);
    /* Blocking (default): returns OK when up (event 0 is also raised), or FAIL
 * with the reason (sub-code 19 for refused credentials, 13 unreachable, ...). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_connect(trxClient_opaqueSession_pt session);
    /* Cancels outstanding cache requests (sub-code 87), closes the connection. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_disconnect(trxClient_opaqueSession_pt session);
    /* Disconnects if needed, reports every remaining topic dispatch entry to the
 * registered destroy callback, and frees the session. No callback of the
 * session runs after it returns. Clears *session_p. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_destroy(trxClient_opaqueSession_pt* session_p);

    /* Suspend: no more message callbacks for this session; messages received
 * meanwhile are held up to SESSION_BUFFER_MSG_LIMIT / _BYTE_LIMIT, further ones
 * are dropped and the next message delivered carries a discard indication.
 * Resume delivers the held messages in order. A reconnect resumes the session
 * (event 17 tells). Suspending twice is not counted: one resume undoes it. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_suspend(trxClient_opaqueSession_pt session);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_resume(trxClient_opaqueSession_pt session);

    /* Copies the property's text (terminated) into buf_p. FAIL with sub-code 4
 * when it does not fit, 22 when the name is unknown. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_getProperty(trxClient_opaqueSession_pt session,
                                                                          const char* propertyName_p, char* buf_p,
                                                                          size_t bufSize);

    /* Sends a message on its topic. The message stays the caller's. Topic
 * problems fail at once (sub-codes 16, 17), and so does a message larger
 * than the broker accepts (33); a publication the broker refuses later is
 * reported by event 3 whose error text contains Topic '<topic>'. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_sendMsg(trxClient_opaqueSession_pt session,
                                                                      trxClient_opaqueMsg_pt msg);

    /* Subscribe flags */
    typedef uint32_t trxClient_subscribeFlags_t;
#define TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM 0x02      /* block until the broker answers; 0 or FAIL */
#define TRXCLIENT_SUBSCRIBE_FLAGS_LOCAL_DISPATCH_ONLY 0x08 /* dispatch entry only, no broker subscription */
#define TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM 0x10     /* return IN_PROGRESS, then event 16 or 4 */

    /* Topic syntax: levels separated by '/'. In subscriptions '*' as a whole
 * level matches any one level, '*' ending a level matches any level that
 * starts with what precedes it, and '>' as the last level matches one or
 * more further levels. Elsewhere '*' and '>' are ordinary characters. */

    /* Plain subscriptions: messages go to the session's message callback. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_topicSubscribeExt(trxClient_opaqueSession_pt session,
                                                                                trxClient_subscribeFlags_t flags,
                                                                                const char* topic_p);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_topicUnsubscribeExt(trxClient_opaqueSession_pt session,
                                                                                  trxClient_subscribeFlags_t flags,
                                                                                  const char* topic_p);

    typedef int trxClient_dispatchType_t;
#define TRXCLIENT_DISPATCH_TYPE_CALLBACK 1

    typedef struct trxClient_session_rxMsgDispatchFuncInfo
    {
        trxClient_dispatchType_t dispatchType; /* TRXCLIENT_DISPATCH_TYPE_CALLBACK */
        trxClient_session_rxMsgCallbackFunc_t callback_p;
        void* user_p;
        void* rfu_p; /* reserved, NULL */
    } trxClient_session_rxMsgDispatchFuncInfo_t;

    /* Adds a topic dispatch entry {topic, callback, user pointer}: a received
 * message is handed to every entry whose topic matches it; a message no entry
 * matches goes to the session's message callback. Unless flag 8 is given the
 * broker subscription is made too (once per topic, counted). flags 2 waits for
 * the broker; flags 16 returns IN_PROGRESS and raises event 16 (or 4) with
 * correlation_p; neither: sent without confirmation. Refusal: sub-code 68.
 * Every flags-16 request is answered exactly once, also when an unsubscribe
 * (event 16) or a disconnect (event 4, sub-code 11) overtakes it. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_topicSubscribeWithDispatch(
        trxClient_opaqueSession_pt session, trxClient_subscribeFlags_t flags, const char* topic_p,
        trxClient_session_rxMsgDispatchFuncInfo_t* dispatch_p, void* correlation_p);
    /* Removes the entry that matches topic, callback and user pointer (and the
 * broker subscription when its count drops to 0). The removal is reported to
 * the topic-dispatch-destroy callback on the context thread, after any
 * message dispatch to the entry in progress has finished. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_topicUnsubscribeWithDispatch(
        trxClient_opaqueSession_pt session, trxClient_subscribeFlags_t flags, const char* topic_p,
        trxClient_session_rxMsgDispatchFuncInfo_t* dispatch_p, void* correlation_p);

    /* Called on the context thread once for each removed topic dispatch entry:
 * after an unsubscribe, and for every remaining entry when the session is
 * destroyed (or the entries are dropped at a reconnect). */
    typedef void (*trxClient_session_topicDispatchDestroyFunc_t)(const char* topic_p,
                                                                 trxClient_session_rxMsgDispatchFuncInfo_t* dispatch_p);
    TRXCLIENT_EXPORT trxClient_returnCode_t _trxClient_session_registerForTopicDispatchDestroy(
        trxClient_opaqueSession_pt session, trxClient_session_topicDispatchDestroyFunc_t callback_p);

    typedef struct trxClient_session_stats
    {
        uint64_t rxMsgs;          /* messages received from the broker */
        uint64_t rxDiscardedMsgs; /* dropped (suspend overflow, slow consumer) */
        uint64_t rxBufferedMsgs;  /* held now for a suspended session */
        uint64_t rxBufferedBytes;
        uint64_t txMsgs;
        uint64_t brokerSubscriptions; /* distinct topics subscribed at the broker */
        uint64_t dispatchEntries;
        uint64_t reconnects;
    } trxClient_session_stats_t;
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_session_getStats(trxClient_opaqueSession_pt session,
                                                                       trxClient_session_stats_t* stats_p);

    /* ------------------------------------------------------------------------ */
    /* Messages                                                                 */
    /* ------------------------------------------------------------------------ */

    typedef int trxClient_destinationType_t;
#define TRXCLIENT_TOPIC_DESTINATION 0

    typedef struct trxClient_destination
    {
        trxClient_destinationType_t destType;
        const char* dest;
    } trxClient_destination_t;

    typedef uint32_t trxClient_deliveryMode_t;
#define TRXCLIENT_DELIVERY_MODE_DIRECT 0x00
/* Both backends deliver at most once; the mode travels with the message so
 * that the receiver sees what the sender asked for. */
#define TRXCLIENT_DELIVERY_MODE_NONPERSISTENT 0x10

    typedef int trxClient_cacheStatus_t;
#define TRXCLIENT_CACHE_MSG_LIVE 0
#define TRXCLIENT_CACHE_MSG_CACHED 1
#define TRXCLIENT_CACHE_MSG_SUSPECT 2

    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_alloc(trxClient_opaqueMsg_pt* msg_p);
    /* Frees the message and clears *msg_p. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_free(trxClient_opaqueMsg_pt* msg_p);
    /* Empties a message for reuse. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_reset(trxClient_opaqueMsg_pt msg);
    /* Deep copy (pointer-set fields are copied too). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_dup(trxClient_opaqueMsg_pt msg,
                                                              trxClient_opaqueMsg_pt* copy_p);

    /* The topic text is referenced, not copied: it must live until the message
 * is sent or freed. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_setTopicPtr(trxClient_opaqueMsg_pt msg, const char* topic_p);
    /* Copies the destination name. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_setDestination(trxClient_opaqueMsg_pt msg,
                                                                         trxClient_destination_t* dest_p,
                                                                         size_t destSize);
    /* dest_p->dest points into the message. FAIL sub-code 25 when there is none. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_getDestination(trxClient_opaqueMsg_pt msg,
                                                                         trxClient_destination_t* dest_p,
                                                                         size_t destSize);
    /* Copies the reply-to name. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_setReplyTo(trxClient_opaqueMsg_pt msg,
                                                                     const trxClient_destination_t* dest_p,
                                                                     size_t destSize);
    /* FAIL sub-code 25 when the message has no reply-to. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_getReplyTo(trxClient_opaqueMsg_pt msg,
                                                                     trxClient_destination_t* dest_p, size_t destSize);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_deleteReplyTo(trxClient_opaqueMsg_pt msg);

    /* The bytes are referenced, not copied (set) / point into the message (get).
 * A zero-length attachment is valid and distinct from none. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_setBinaryAttachmentPtr(trxClient_opaqueMsg_pt msg,
                                                                                 const void* buf_p, uint32_t size);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_setBinaryAttachment(trxClient_opaqueMsg_pt msg,
                                                                              const void* buf_p, uint32_t size);
    /* FAIL sub-code 25 when the message has no attachment. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_getBinaryAttachmentPtr(trxClient_opaqueMsg_pt msg,
                                                                                 const void** buf_p, uint32_t* size_p);

    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_setDeliveryMode(trxClient_opaqueMsg_pt msg,
                                                                          trxClient_deliveryMode_t mode);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_getDeliveryMode(trxClient_opaqueMsg_pt msg,
                                                                          trxClient_deliveryMode_t* mode_p);

    /* Copies the map's fields into the message. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_setUserPropertyMap(trxClient_opaqueMsg_pt msg,
                                                                             trxClient_opaqueContainer_pt map);
    /* *map_p is a read-only map owned by the message. FAIL sub-code 25 if none. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_getUserPropertyMap(trxClient_opaqueMsg_pt msg,
                                                                             trxClient_opaqueContainer_pt* map_p);

    /* 1 when messages were dropped before this one for its session, else 0. */
    TRXCLIENT_EXPORT trxClient_bool_t trxClient_msg_isDiscardIndication(trxClient_opaqueMsg_pt msg);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_setDiscardIndication(trxClient_opaqueMsg_pt msg,
                                                                               trxClient_bool_t discard);
    /* TRXCLIENT_CACHE_MSG_LIVE / _CACHED / _SUSPECT; -1 for a NULL message. */
    TRXCLIENT_EXPORT trxClient_cacheStatus_t trxClient_msg_isCacheMsg(trxClient_opaqueMsg_pt msg);
    /* FAIL sub-code 25 for a live message. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_getCacheRequestId(trxClient_opaqueMsg_pt msg,
                                                                            uint64_t* cacheRequestId_p);

/* Text rendering into buf_p (always terminated; INSUFFICIENT_SPACE sub-code
 * 4 and a truncated text when it does not fit). Flags: 0 everything,
 * TRXCLIENT_MSGDUMP_BRIEF omits the attachment bytes. */
#define TRXCLIENT_MSGDUMP_FULL 0
#define TRXCLIENT_MSGDUMP_BRIEF 1
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_dump(trxClient_opaqueMsg_pt msg, char* buf_p, size_t bufSize);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_msg_dumpExt(trxClient_opaqueMsg_pt msg, char* buf_p,
                                                                  size_t bufSize, uint32_t flags);

/* ------------------------------------------------------------------------ */
/* Map containers                                                           */
/* ------------------------------------------------------------------------ */

/* A map lives in the caller's buffer (nothing is allocated). Keys are texts
 * of at most 255 bytes; adding an existing key adds a second field, reads
 * find the first. FAIL sub-code 4 when the buffer is full. */
#define TRXCLIENT_CONTAINER_MIN_BUFFER 64
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_createMap(trxClient_opaqueContainer_pt* map_p,
                                                                          void* buf_p, size_t bufSize);
    /* Ends use of the map (the buffer is the caller's) and clears *map_p. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_closeMapStream(trxClient_opaqueContainer_pt* map_p);

    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_addString(trxClient_opaqueContainer_pt map,
                                                                          const char* value, const char* key);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_addInt32(trxClient_opaqueContainer_pt map,
                                                                         int32_t value, const char* key);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_addInt64(trxClient_opaqueContainer_pt map,
                                                                         int64_t value, const char* key);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_addBool(trxClient_opaqueContainer_pt map,
                                                                        trxClient_bool_t value, const char* key);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_addDouble(trxClient_opaqueContainer_pt map,
                                                                          double value, const char* key);

    /* Getters: FAIL sub-code 23 (no such key) or 24 (other type). getString
 * copies into buf_p (sub-code 4 when too small). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_getString(trxClient_opaqueContainer_pt map, char* buf_p,
                                                                          size_t bufSize, const char* key);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_getInt32(trxClient_opaqueContainer_pt map,
                                                                         int32_t* value_p, const char* key);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_getInt64(trxClient_opaqueContainer_pt map,
                                                                         int64_t* value_p, const char* key);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_getBool(trxClient_opaqueContainer_pt map,
                                                                        trxClient_bool_t* value_p, const char* key);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_getDouble(trxClient_opaqueContainer_pt map,
                                                                          double* value_p, const char* key);

    typedef int trxClient_fieldType_t;
#define TRXCLIENT_FIELD_STRING 1
#define TRXCLIENT_FIELD_INT32 2
#define TRXCLIENT_FIELD_INT64 3
#define TRXCLIENT_FIELD_BOOL 4
#define TRXCLIENT_FIELD_DOUBLE 5

    typedef struct trxClient_field
    {
        trxClient_fieldType_t type;
        union
        {
            const char* string; /* points into the map */
            int32_t int32;
            int64_t int64;
            trxClient_bool_t boolean;
            double dbl;
        } value;
    } trxClient_field_t;

    /* Iteration in insertion order: OK with the next field, EOS at the end. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_rewind(trxClient_opaqueContainer_pt map);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_container_getNextField(trxClient_opaqueContainer_pt map,
                                                                             trxClient_field_t* field_p,
                                                                             const char** key_p);
    /* Number of fields, or -1 for an invalid map. */
    TRXCLIENT_EXPORT int trxClient_container_getSize(trxClient_opaqueContainer_pt map);

    /* ------------------------------------------------------------------------ */
    /* Cache                                                                    */
    /* ------------------------------------------------------------------------ */

    typedef int trxClient_cacheRequestEvent_t;
#define TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE 0

    typedef struct trxClient_cacheRequestEventCallbackInfo
    {
        trxClient_cacheRequestEvent_t cacheEvent; /* TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE */
        const char* topic;
        trxClient_returnCode_t rc; /* OK, INCOMPLETE (sub-code 51, 52, 55) or FAIL */
        trxClient_subCode_t subCode;
        uint64_t cacheRequestId;
    } trxClient_cacheRequestEventCallbackInfo_t, *trxClient_cacheRequestEventCallbackInfo_pt;

    typedef void (*trxClient_cacheSession_rxCacheRequestCallbackFunc_t)(
        trxClient_opaqueCacheSession_pt cacheSession, trxClient_cacheRequestEventCallbackInfo_pt info_p, void* user_p);

    TRXCLIENT_EXPORT const char* trxClient_cacheSession_eventToString(trxClient_cacheRequestEvent_t event);

    /* Cache request flags */
    typedef uint32_t trxClient_cacheRequestFlags_t;
#define TRXCACHE_REQUEST_FLAGS_NO_SUBSCRIBE 0x01   /* do not also subscribe the topic */
#define TRXCACHE_REQUEST_FLAGS_TOPIC_DISPATCH 0x08 /* deliver through topic dispatch (else the session callback) */
#define TRXCACHE_REQUEST_FLAGS_NOWAIT_REPLY 0x10   /* return IN_PROGRESS; the callback reports completion */

    /* Cache session properties (also read from the session's):
 *   CACHESESSION_REQUEST_TIMEOUT_MS  time allowed for the cache (default 10000) -> sub-code 55
 *   CACHESESSION_MAX_AGE_MS          cached messages older than this are suspect
 *                                    (cache flag 2, sub-code 52); 0 = never (default)
 *   CACHESESSION_STREAM              NATS: JetStream stream name (default "TRXCACHE")
 */
    TRXCLIENT_EXPORT trxClient_returnCode_t
    trxClient_session_createCacheSession(trxClient_propertyArray_pt props, trxClient_opaqueSession_pt session,
                                         trxClient_opaqueCacheSession_pt* cacheSession_p);
    /* Cancels outstanding requests (their callbacks report FAIL, sub-code 87). */
    TRXCLIENT_EXPORT trxClient_returnCode_t
    trxClient_cacheSession_destroy(trxClient_opaqueCacheSession_pt* cacheSession_p);

    /* Asks the cache for the last message of a topic (wildcards allowed: every
 * matching topic, up to SESSION_REQUEST_MSG_LIMIT). The messages are
 * delivered on the context thread as cache messages (trxClient_msg_isCacheMsg
 * 1, or 2 when suspect) carrying cacheRequestId, then the callback is called
 * once: rc OK; INCOMPLETE with sub-code 51 (no data), 52 (suspect) or 55
 * (timeout); FAIL with sub-code 87 (cancelled) or another.
 * With TRXCACHE_REQUEST_FLAGS_NOWAIT_REPLY the call returns IN_PROGRESS;
 * without it, it blocks and returns the outcome (the callback still runs).
 * Without TRXCACHE_REQUEST_FLAGS_NO_SUBSCRIBE the topic is also subscribed
 * (plain subscription with subscribeFlags) before the cache is asked. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClient_cacheSession_sendCacheRequest(
        trxClient_opaqueCacheSession_pt cacheSession, const char* topic_p, uint64_t cacheRequestId,
        trxClient_cacheSession_rxCacheRequestCallbackFunc_t callback_p, void* user_p,
        trxClient_cacheRequestFlags_t cacheFlags, trxClient_subscribeFlags_t subscribeFlags);

#ifdef __cplusplus
}
#endif

#endif /* TRXCLIENT_H */
