/* Compiled as C99 so that the public headers stay usable from C. */
#include "trxClient.h"
#include "trxClientTest.h"

int trxclient_header_check(void);
int trxclient_header_check(void)
{
    const char* props[] = {"SESSION_HOST", "inproc://check", NULL};
    trxClient_session_createFuncInfo_t info = {{NULL, NULL}, {NULL, NULL}, {NULL, NULL}};
    (void)info;
    return props[0] != NULL && sizeof(trxClient_session_rxMsgDispatchFuncInfo_t) > 0;
}
