// Publishes COUNT messages "0".."COUNT-1" on TOPIC from a process of its own.
#include "trxClient.h"
#include "trxClientTest.h"

#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    const char* ctxProps[] = {"CONTEXT_CREATE_THREAD", "1", nullptr};
    const char* props[] = {"SESSION_HOST", argv[1], "SESSION_USERNAME", "trx", "SESSION_PASSWORD", "secret", nullptr};
    trxClient_opaqueContext_pt ctx;
    trxClient_opaqueSession_pt s;
    trxClient_session_createFuncInfo_t fi{};
    fi.rxMsgInfo.callback_p = [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void*) { return 0; };
    if (trxClient_initialize(TRXCLIENT_LOG_ERROR, nullptr) || trxClient_context_create(ctxProps, &ctx, nullptr, 0) ||
        trxClient_session_create(props, ctx, &s, &fi, sizeof fi) || trxClient_session_connect(s))
        return 1;
    int n = std::atoi(argv[3]);
    for (int i = 0; i < n; ++i)
    {
        trxClient_opaqueMsg_pt m;
        trxClient_msg_alloc(&m);
        trxClient_msg_setTopicPtr(m, argv[2]);
        std::string d = std::to_string(i);
        trxClient_msg_setBinaryAttachmentPtr(m, d.data(), static_cast<uint32_t>(d.size()));
        if (trxClient_session_sendMsg(s, m))
            return 3;
        trxClient_msg_free(&m);
    }
    if (trxClientTest_context_drain(ctx, 5000))
        return 4;
    trxClient_session_destroy(&s);
    trxClient_cleanup();
    return 0;
}
