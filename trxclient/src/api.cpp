// C entry points of sessions and cache sessions.
#include "backend.h"
#include "cacheSession.h"
#include "clock.h"
#include "context.h"
#include "errors.h"
#include "log.h"
#include "msg.h"
#include "props.h"
#include "session.h"
#include "trxClientTest.h"

#include <algorithm>
#include <chrono>
#include <new>

using namespace trx;

#define SESSION_OR_FAIL(s, p) TRX_HANDLE_OR_FAIL(Session, s, toSession, p, "session")

extern "C"
{

    trxClient_returnCode_t trxClient_session_create(trxClient_propertyArray_pt props,
                                                    trxClient_opaqueContext_pt context,
                                                    trxClient_opaqueSession_pt* session_p,
                                                    trxClient_session_createFuncInfo_t* funcInfo_p, size_t)
    {
        if (!session_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_create: NULL out pointer");
        Context* c = toContext(context);
        if (!c)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_create: NULL or invalid context");
        if (!funcInfo_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_create: NULL function information");
        if (funcInfo_p->rxInfo.callback_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE,
                        "trxClient_session_create: rxInfo is reserved, use rxMsgInfo");
        if (!funcInfo_p->rxMsgInfo.callback_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_create: NULL message callback");
        Props p;
        std::string err;
        if (!p.parse(props, err))
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_create: %s", err.c_str());
        Session* s = new (std::nothrow) Session(c, std::move(p));
        if (!s)
            return fail(TRXCLIENT_SUBCODE_OUT_OF_MEMORY, "trxClient_session_create: out of memory");
        trxClient_returnCode_t rc = s->init(funcInfo_p);
        if (rc != TRXCLIENT_OK)
        {
            trxClient_errorInfo_t e = *trxClient_getLastErrorInfo();
            delete s;
            *trxClient_getLastErrorInfo() = e;
            return rc;
        }
        c->addSession(s);
        TRX_LOG(TRXCLIENT_LOG_INFO, "session %s created for %s", s->id().c_str(),
                s->props().getStr("SESSION_HOST", "inproc://default").c_str());
        *session_p = s;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_session_connect(trxClient_opaqueSession_pt session)
    {
        SESSION_OR_FAIL(s, session);
        return s->connect();
    }

    trxClient_returnCode_t trxClient_session_disconnect(trxClient_opaqueSession_pt session)
    {
        SESSION_OR_FAIL(s, session);
        return s->disconnect();
    }

    trxClient_returnCode_t trxClient_session_destroy(trxClient_opaqueSession_pt* session_p)
    {
        if (!session_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_destroy: NULL pointer");
        SESSION_OR_FAIL(s, *session_p);
        s->destroy();
        *session_p = nullptr;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_session_suspend(trxClient_opaqueSession_pt session)
    {
        SESSION_OR_FAIL(s, session);
        return s->suspend();
    }

    trxClient_returnCode_t trxClient_session_resume(trxClient_opaqueSession_pt session)
    {
        SESSION_OR_FAIL(s, session);
        return s->resume();
    }

    trxClient_returnCode_t trxClient_session_getProperty(trxClient_opaqueSession_pt session, const char* propertyName_p,
                                                         char* buf_p, size_t bufSize)
    {
        SESSION_OR_FAIL(s, session);
        return s->getProperty(propertyName_p, buf_p, bufSize);
    }

    trxClient_returnCode_t trxClient_session_sendMsg(trxClient_opaqueSession_pt session, trxClient_opaqueMsg_pt msg)
    {
        SESSION_OR_FAIL(s, session);
        Msg* m = toMsg(msg);
        if (!m)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_sendMsg: NULL or invalid message");
        return s->send(m);
    }

    trxClient_returnCode_t trxClient_session_topicSubscribeExt(trxClient_opaqueSession_pt session,
                                                               trxClient_subscribeFlags_t flags, const char* topic_p)
    {
        SESSION_OR_FAIL(s, session);
        return s->subscribe(flags, topic_p, nullptr, nullptr, true);
    }

    trxClient_returnCode_t trxClient_session_topicUnsubscribeExt(trxClient_opaqueSession_pt session,
                                                                 trxClient_subscribeFlags_t flags, const char* topic_p)
    {
        SESSION_OR_FAIL(s, session);
        return s->unsubscribe(flags, topic_p, nullptr, nullptr, true);
    }

    trxClient_returnCode_t trxClient_session_topicSubscribeWithDispatch(
        trxClient_opaqueSession_pt session, trxClient_subscribeFlags_t flags, const char* topic_p,
        trxClient_session_rxMsgDispatchFuncInfo_t* dispatch_p, void* correlation_p)
    {
        SESSION_OR_FAIL(s, session);
        return s->subscribe(flags, topic_p, dispatch_p, correlation_p, false);
    }

    trxClient_returnCode_t trxClient_session_topicUnsubscribeWithDispatch(
        trxClient_opaqueSession_pt session, trxClient_subscribeFlags_t flags, const char* topic_p,
        trxClient_session_rxMsgDispatchFuncInfo_t* dispatch_p, void* correlation_p)
    {
        SESSION_OR_FAIL(s, session);
        return s->unsubscribe(flags, topic_p, dispatch_p, correlation_p, false);
    }

    trxClient_returnCode_t
    _trxClient_session_registerForTopicDispatchDestroy(trxClient_opaqueSession_pt session,
                                                       trxClient_session_topicDispatchDestroyFunc_t callback_p)
    {
        SESSION_OR_FAIL(s, session);
        s->setDispatchDestroy(callback_p);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_session_getStats(trxClient_opaqueSession_pt session,
                                                      trxClient_session_stats_t* stats_p)
    {
        SESSION_OR_FAIL(s, session);
        if (!stats_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_getStats: NULL out pointer");
        s->stats(*stats_p);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_session_createCacheSession(trxClient_propertyArray_pt props,
                                                                trxClient_opaqueSession_pt session,
                                                                trxClient_opaqueCacheSession_pt* cacheSession_p)
    {
        SESSION_OR_FAIL(s, session);
        if (!cacheSession_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_createCacheSession: NULL out pointer");
        Props p;
        std::string err;
        if (!p.parse(props, err))
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_session_createCacheSession: %s", err.c_str());
        CacheSession* c = new (std::nothrow) CacheSession(s, std::move(p));
        if (!c)
            return fail(TRXCLIENT_SUBCODE_OUT_OF_MEMORY, "trxClient_session_createCacheSession: out of memory");
        trxClient_returnCode_t rc = c->init();
        if (rc != TRXCLIENT_OK)
        {
            trxClient_errorInfo_t e = *trxClient_getLastErrorInfo();
            delete c;
            *trxClient_getLastErrorInfo() = e;
            return rc;
        }
        s->addCacheSession(c);
        *cacheSession_p = c;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_cacheSession_destroy(trxClient_opaqueCacheSession_pt* cacheSession_p)
    {
        if (!cacheSession_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_cacheSession_destroy: NULL pointer");
        CacheSession* c = toCacheSession(*cacheSession_p);
        if (!c)
            return fail(*cacheSession_p ? TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE : TRXCLIENT_SUBCODE_PARAM_NULL_PTR,
                        "trxClient_cacheSession_destroy: not a cache session");
        if (Session* s = c->session)
        {
            s->removeCacheSession(c);
            s->backend()->cacheForget(c);
        }
        c->cancelAll();
        // Let a time-out timer that is running right now finish before the memory goes.
        c->ctx->runAndWait([] {});
        c->magic = 0;
        delete c;
        *cacheSession_p = nullptr;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_cacheSession_sendCacheRequest(
        trxClient_opaqueCacheSession_pt cacheSession, const char* topic_p, uint64_t cacheRequestId,
        trxClient_cacheSession_rxCacheRequestCallbackFunc_t callback_p, void* user_p,
        trxClient_cacheRequestFlags_t cacheFlags, trxClient_subscribeFlags_t subscribeFlags)
    {
        CacheSession* c = toCacheSession(cacheSession);
        if (!c)
            return fail(cacheSession ? TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE : TRXCLIENT_SUBCODE_PARAM_NULL_PTR,
                        "trxClient_cacheSession_sendCacheRequest: not a cache session");
        return c->request(topic_p, cacheRequestId, callback_p, user_p, cacheFlags, subscribeFlags);
    }

    trxClient_returnCode_t trxClientTest_session_dropConnection(trxClient_opaqueSession_pt session)
    {
        SESSION_OR_FAIL(s, session);
        return s->backend()->testDrop();
    }

    trxClient_returnCode_t trxClientTest_session_restoreConnection(trxClient_opaqueSession_pt session)
    {
        SESSION_OR_FAIL(s, session);
        return s->backend()->testRestore();
    }

    trxClient_returnCode_t trxClientTest_session_failConnection(trxClient_opaqueSession_pt session)
    {
        SESSION_OR_FAIL(s, session);
        return s->backend()->testFail();
    }

    trxClient_returnCode_t trxClientTest_session_failSuspend(trxClient_opaqueSession_pt session, int count)
    {
        SESSION_OR_FAIL(s, session);
        s->failSuspend = count;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_session_failResume(trxClient_opaqueSession_pt session, int count)
    {
        SESSION_OR_FAIL(s, session);
        s->failResume = count;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_session_unsentBytes(trxClient_opaqueSession_pt session, int64_t* bytes)
    {
        SESSION_OR_FAIL(s, session);
        if (!bytes)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClientTest_session_unsentBytes: NULL out pointer");
        return s->backend()->testUnsent(*bytes);
    }

    trxClient_returnCode_t trxClientTest_session_markDiscard(trxClient_opaqueSession_pt session)
    {
        SESSION_OR_FAIL(s, session);
        s->markDiscard = true;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClientTest_context_drain(trxClient_opaqueContext_pt context, int timeoutMs)
    {
        Context* c = toContext(context);
        if (!c)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClientTest_context_drain: not a context");
        auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (Session* s : c->sessions())
        {
            int left =
                static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
            if (left <= 0 || !s->backend()->drain(left))
                return fail(TRXCLIENT_SUBCODE_TIMEOUT,
                            "trxClientTest_context_drain: broker traffic not settled in time");
        }
        int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
        // Repeat while work queued by earlier rounds (long receive queues, dispatch
        // destroy reports, events) is still outstanding.
        for (;;)
        {
            left =
                static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
            if (left <= 0 || !c->drain(left) || !c->drain(std::max(1, left)))
                return fail(TRXCLIENT_SUBCODE_TIMEOUT, "trxClientTest_context_drain: context still busy");
            bool busy = false;
            for (Session* s : c->sessions())
                busy = busy || s->rxBusy();
            if (!busy)
                return TRXCLIENT_OK;
        }
    }

} // extern "C"
