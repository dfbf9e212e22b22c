#include "trxClient.h"

#include <gtest/gtest.h>

#include <string>

TEST(TrxClientTexts, ContractCodesHaveTheirNames)
{
    struct Case { int code; const char *text; };
    const Case rcs[] = {{0, "TRXCLIENT_OK"}, {-1, "TRXCLIENT_FAIL"}, {1, "TRXCLIENT_WOULD_BLOCK"},
                        {2, "TRXCLIENT_IN_PROGRESS"}, {3, "TRXCLIENT_NOT_READY"}, {7, "TRXCLIENT_INCOMPLETE"}};
    for (const Case &c : rcs)
        EXPECT_STREQ(c.text, trxClient_returnCodeToString(c.code)) << c.code;
    const Case subs[] = {{2, "TRXCLIENT_SUBCODE_PARAM_NULL_PTR"}, {16, "TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX"},
                         {17, "TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE"}, {19, "TRXCLIENT_SUBCODE_LOGIN_FAILURE"},
                         {33, "TRXCLIENT_SUBCODE_MSG_TOO_LARGE"}, {51, "TRXCLIENT_SUBCODE_NO_CACHED_DATA"},
                         {52, "TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT"}, {55, "TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT"},
                         {68, "TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED"}, {69, "TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED"},
                         {87, "TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED"}};
    for (const Case &c : subs)
        EXPECT_STREQ(c.text, trxClient_subCodeToString(c.code)) << c.code;
    EXPECT_STREQ("Unknown sub code", trxClient_subCodeToString(9999));
    EXPECT_STREQ("TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE", trxClient_cacheSession_eventToString(0));
    for (int ev = 0; ev <= 17; ++ev)
        EXPECT_STRNE("Unknown session event", trxClient_session_eventToString(ev)) << ev;
}
