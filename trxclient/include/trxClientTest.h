/*
 * trxClientTest.h - fault injection and test helpers for libtrxclient.
 *
 * Broker-wide controls act on the in-process broker named NAME (the NAME of
 * SESSION_HOST inproc://NAME); the broker is created on first use, so they may
 * be called before any session exists. Session controls work on inproc
 * sessions; on other sessions they fail with sub-code 12.
 *
 * Topic patterns use the subscription syntax of trxClient.h.
 */
#ifndef TRXCLIENT_TEST_H
#define TRXCLIENT_TEST_H

#include "trxClient.h"

#ifdef __cplusplus
extern "C"
{
#endif

    /* --- broker-wide (inproc) ------------------------------------------------ */

    /* Adds (or replaces the password of) an account. Once a broker has any
 * account, a login must present one of them, else sub-code 19. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_addUser(const char* broker, const char* username,
                                                                         const char* password);
    /* 1: every login is refused with sub-code 19; 0: back to normal. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_refuseLogin(const char* broker, int refuse);

    /* Subscriptions whose topic matches pattern are refused (sub-code 68);
 * publications to matching topics are rejected (event 3, sub-code 69). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_denySubscribe(const char* broker, const char* pattern);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_denyPublish(const char* broker, const char* pattern);
    /* Removes every deny rule, account and login refusal. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_clearRules(const char* broker);

    /* Largest attachment (bytes) the broker accepts; 0 = no limit (default). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_setMaxMsgSize(const char* broker, uint32_t bytes);

    /* Stores msg (its topic, attachment, map) as the last value of its topic.
 * suspect != 0 marks it suspect. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_seedCache(const char* broker,
                                                                           trxClient_opaqueMsg_pt msg, int suspect);
    /* Removes cached values of topics matching pattern (NULL: all). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_clearCache(const char* broker, const char* pattern);
    /* 0: the cache keeps the last message of every published topic (default);
 * 1: the cache stops answering (requests time out with sub-code 55). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_inproc_setCacheSilent(const char* broker, int silent);

    /* --- per session --------------------------------------------------------- */

    /* Connection lost: event 12; the session receives nothing until it is
 * restored (event 13, subscriptions re-applied) or failed (event 1). */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_session_dropConnection(trxClient_opaqueSession_pt session);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_session_restoreConnection(trxClient_opaqueSession_pt session);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_session_failConnection(trxClient_opaqueSession_pt session);

    /* The next count suspend (resume) calls fail with sub-code 6. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_session_failSuspend(trxClient_opaqueSession_pt session,
                                                                              int count);
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_session_failResume(trxClient_opaqueSession_pt session,
                                                                             int count);

    /* Bytes this session has sent that still wait in the broker client's write
 * buffers, not yet handed to the socket. NATS sessions only. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_session_unsentBytes(trxClient_opaqueSession_pt session,
                                                                              int64_t* bytes);

    /* The next message delivered to the session carries a discard indication. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_session_markDiscard(trxClient_opaqueSession_pt session);

    /* --- any backend ---------------------------------------------------------- */

    /* Waits until the context has run everything queued so far (callbacks
 * included) and the session's broker traffic sent so far has been handled.
 * OK, or FAIL sub-code 8 after timeoutMs. Not from the context thread. */
    TRXCLIENT_EXPORT trxClient_returnCode_t trxClientTest_context_drain(trxClient_opaqueContext_pt context,
                                                                        int timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* TRXCLIENT_TEST_H */
