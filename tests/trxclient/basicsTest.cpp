#include "trxClient.h"
#include "tarnixVersion.h"

#include <gtest/gtest.h>

#include <string>

TEST(TrxClientTexts, ContractCodesHaveTheirNames)
{
    struct Case
    {
        int code;
        const char* text;
    };
    const Case rcs[] = {{0, "TRXCLIENT_OK"},          {-1, "TRXCLIENT_FAIL"},     {1, "TRXCLIENT_WOULD_BLOCK"},
                        {2, "TRXCLIENT_IN_PROGRESS"}, {3, "TRXCLIENT_NOT_READY"}, {7, "TRXCLIENT_INCOMPLETE"}};
    for (const Case& c : rcs)
        EXPECT_STREQ(c.text, trxClient_returnCodeToString(c.code)) << c.code;
    const Case subs[] = {
        {2, "TRXCLIENT_SUBCODE_PARAM_NULL_PTR"},          {16, "TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX"},
        {17, "TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE"},        {19, "TRXCLIENT_SUBCODE_LOGIN_FAILURE"},
        {33, "TRXCLIENT_SUBCODE_MSG_TOO_LARGE"},          {51, "TRXCLIENT_SUBCODE_NO_CACHED_DATA"},
        {52, "TRXCLIENT_SUBCODE_CACHED_DATA_SUSPECT"},    {55, "TRXCLIENT_SUBCODE_CACHE_REQUEST_TIMEOUT"},
        {68, "TRXCLIENT_SUBCODE_SUBSCRIBE_ACL_DENIED"},   {69, "TRXCLIENT_SUBCODE_PUBLISH_ACL_DENIED"},
        {87, "TRXCLIENT_SUBCODE_CACHE_REQUEST_CANCELLED"}};
    for (const Case& c : subs)
        EXPECT_STREQ(c.text, trxClient_subCodeToString(c.code)) << c.code;
    EXPECT_STREQ("Unknown sub code", trxClient_subCodeToString(9999));
    EXPECT_STREQ("TRXCACHE_EVENT_REQUEST_COMPLETED_NOTICE", trxClient_cacheSession_eventToString(0));
    for (int ev = 0; ev <= 17; ++ev)
        EXPECT_STRNE("Unknown session event", trxClient_session_eventToString(ev)) << ev;
}

#include "harness.h"

#include <cstdlib>
#include <fstream>

#include <cstring>
#include <set>
#include <thread>

TEST(TrxClientMap, BuildsInCallerBufferAndReadsBack)
{
    // Deliberately misaligned: the middleware's buffer is a plain byte array.
    alignas(8) char storage[129];
    char* buf = storage + 1;
    trxClient_opaqueContainer_pt map = nullptr;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_container_createMap(&map, buf, 128));
    EXPECT_EQ(TRXCLIENT_OK, trxClient_container_addString(map, "bob", "U"));
    EXPECT_EQ(TRXCLIENT_OK, trxClient_container_addInt32(map, 4242, "P"));
    EXPECT_EQ(TRXCLIENT_OK, trxClient_container_addDouble(map, 0.25, "D"));
    int32_t pid = 0;
    EXPECT_EQ(TRXCLIENT_OK, trxClient_container_getInt32(map, &pid, "P"));
    EXPECT_EQ(4242, pid);
    char text[8];
    EXPECT_EQ(TRXCLIENT_OK, trxClient_container_getString(map, text, sizeof text, "U"));
    EXPECT_STREQ("bob", text);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_container_getInt32(map, &pid, "U"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_CONTAINER_TYPE_MISMATCH, trxClient_getLastErrorInfo()->subCode);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_container_getInt32(map, &pid, "nope"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_CONTAINER_FIELD_NOT_FOUND, trxClient_getLastErrorInfo()->subCode);
    // The buffer bounds the map.
    std::string big(200, 'x');
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_container_addString(map, big.c_str(), "big"));
    EXPECT_EQ(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, trxClient_getLastErrorInfo()->subCode);
    EXPECT_EQ(3, trxClient_container_getSize(map));
    // A message keeps its own copy: the buffer may be reused afterwards.
    trxClient_opaqueMsg_pt m;
    trxClient_msg_alloc(&m);
    ASSERT_EQ(TRXCLIENT_OK, trxClient_msg_setUserPropertyMap(m, map));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_container_closeMapStream(&map));
    EXPECT_EQ(nullptr, map);
    std::memset(buf, 0, 128);
    trxClient_opaqueContainer_pt copy = nullptr;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_msg_getUserPropertyMap(m, &copy));
    trxClient_field_t f;
    const char* key;
    std::vector<std::string> keys;
    while (trxClient_container_getNextField(copy, &f, &key) == TRXCLIENT_OK)
        keys.push_back(key);
    EXPECT_EQ((std::vector<std::string>{"U", "P", "D"}), keys);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_container_addInt32(copy, 1, "x")) << "received maps are read-only";
    trxClient_msg_free(&m);
    EXPECT_EQ(nullptr, m);
}

TEST(TrxClientMsg, FieldsAbsentUntilSetAndDumpNamesTopic)
{
    trxClient_opaqueMsg_pt m;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_msg_alloc(&m));
    trxClient_destination_t d{};
    const void* p;
    uint32_t n;
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_msg_getReplyTo(m, &d, sizeof d));
    EXPECT_EQ(TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT, trxClient_getLastErrorInfo()->subCode);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_msg_getBinaryAttachmentPtr(m, &p, &n));
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_msg_getCacheRequestId(m, nullptr));
    EXPECT_EQ(TRXCLIENT_CACHE_MSG_LIVE, trxClient_msg_isCacheMsg(m));
    EXPECT_EQ(-1, trxClient_msg_isCacheMsg(nullptr));
    const char topic[] = "a/b";
    trxClient_msg_setTopicPtr(m, topic);
    trxClient_msg_setBinaryAttachmentPtr(m, "", 0);
    ASSERT_EQ(TRXCLIENT_OK, trxClient_msg_getBinaryAttachmentPtr(m, &p, &n));
    EXPECT_EQ(0u, n);
    ASSERT_EQ(TRXCLIENT_OK, trxClient_msg_getDestination(m, &d, sizeof d));
    EXPECT_EQ(topic, d.dest) << "set by pointer, not copied";
    char dump[256];
    EXPECT_EQ(TRXCLIENT_OK, trxClient_msg_dumpExt(m, dump, sizeof dump, TRXCLIENT_MSGDUMP_FULL));
    EXPECT_NE(nullptr, std::strstr(dump, "Topic 'a/b'"));
    char small[8];
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_msg_dump(m, small, sizeof small));
    EXPECT_EQ(7u, std::strlen(small)) << "truncated but terminated";
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_msg_setDeliveryMode(m, 99));
    trxClient_msg_free(&m);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_msg_free(nullptr));
    EXPECT_EQ(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, trxClient_getLastErrorInfo()->subCode);
}

TEST(TrxClientLibrary, VersionUuidAndTimers)
{
    trxtest::initLibrary();
    trxClient_version_info_pt v = nullptr;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_version_get(&v));
    std::string original = v->version_p;
    EXPECT_EQ(TARNIX_VERSION, original) << "the product's version";
    trxClient_version_info_t custom{"Bridge v1 with Tarnix C API v1.0.0", "Jan 1 2026 00:00:00", "X"};
    ASSERT_EQ(TRXCLIENT_OK, _trxClient_version_set(&custom));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_version_get(&v));
    EXPECT_STREQ(custom.version_p, v->version_p);
    trxClient_version_info_t back{original.c_str(), "d", "v"};
    _trxClient_version_set(&back);

    char uuid[37];
    ASSERT_EQ(TRXCLIENT_OK, trxClient_generateUUIDString(uuid, sizeof uuid));
    EXPECT_EQ(36u, std::strlen(uuid));
    EXPECT_EQ('-', uuid[8]);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_generateUUIDString(uuid, 36));

    // Timers run on the context thread; a stopped one never fires.
    const char* props[] = {"CONTEXT_CREATE_THREAD", "1", nullptr};
    trxClient_opaqueContext_pt ctx;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_context_create(props, &ctx, nullptr, 0));
    struct State
    {
        std::mutex mu;
        std::condition_variable cv;
        std::set<int> fired;
    } st;
    static int one = 1, two = 2;
    static State* sp;
    sp = &st;
    auto cb = [](trxClient_opaqueContext_pt, void* user)
    {
        std::lock_guard<std::mutex> g(sp->mu);
        sp->fired.insert(*static_cast<int*>(user));
        sp->cv.notify_all();
    };
    trxClient_context_timerId_t t1, t2;
    ASSERT_EQ(TRXCLIENT_OK, trxClient_context_startTimer(ctx, TRXCLIENT_CONTEXT_TIMER_ONE_SHOT, 30, cb, &two, &t2));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_context_startTimer(ctx, TRXCLIENT_CONTEXT_TIMER_ONE_SHOT, 10, cb, &one, &t1));
    ASSERT_EQ(TRXCLIENT_OK, trxClient_context_stopTimer(ctx, &t2));
    {
        std::unique_lock<std::mutex> lk(st.mu);
        ASSERT_TRUE(st.cv.wait_for(lk, std::chrono::seconds(5), [&] { return st.fired.count(1) > 0; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ((std::set<int>{1}), st.fired);
    EXPECT_EQ(TRXCLIENT_NOT_FOUND, trxClient_context_stopTimer(ctx, &t1)) << "a fired one-shot is gone";
    trxClient_context_destroy(&ctx);
}

TEST(TrxClientSessionProperties, LastOccurrenceWinsUnknownIgnoredBadHostRefused)
{
    trxtest::Client c({"SESSION_HOST", "inproc://props", "SESSION_USERNAME", "first", "NOT_A_PROPERTY", "x",
                       "session_username", "second"});
    ASSERT_EQ(TRXCLIENT_OK, c.createRc);
    char buf[64];
    ASSERT_EQ(TRXCLIENT_OK, trxClient_session_getProperty(c.session, "SESSION_USERNAME", buf, sizeof buf));
    EXPECT_STREQ("second", buf);
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_getProperty(c.session, "SESSION_USERNAME", buf, 3));
    EXPECT_EQ(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, trxClient_getLastErrorInfo()->subCode);
    std::string dest = c.replyToDefault();
    EXPECT_EQ(0u, dest.rfind("#P2P/inproc-props/", 0)) << dest;
    EXPECT_EQ('/', dest.back());

    for (const char* host : {"tcp://x:1", "inproc://", "nats://"})
    {
        trxtest::Client bad({"SESSION_HOST", host}, false);
        EXPECT_EQ(TRXCLIENT_FAIL, bad.createRc) << host;
    }
    trxtest::Client badNumber({"SESSION_BUFFER_MSG_LIMIT", "lots"}, false);
    EXPECT_EQ(TRXCLIENT_FAIL, badNumber.createRc);
    // No SESSION_HOST at all: the default in-process broker works out of the box.
    trxtest::Client dflt({});
    EXPECT_EQ(TRXCLIENT_OK, dflt.connectRc);
}

// A number that is no number or out of range is refused where it is given,
// naming the property and the range.
TEST(TrxClientSessionProperties, BadNumbersAreRefusedNamingThePropertyAndItsRange)
{
    struct Case
    {
        const char *host, *name, *value, *text;
    } cases[] = {
        {"inproc://numbers", "SESSION_BUFFER_MSG_LIMIT", "lots",
         "trxClient_session_create: property SESSION_BUFFER_MSG_LIMIT = 'lots' is not a number from 1 to "},
        {"inproc://numbers", "SESSION_BUFFER_BYTE_LIMIT", "1023",
         "trxClient_session_create: property SESSION_BUFFER_BYTE_LIMIT = '1023' is not a number from 1024 to "},
        {"inproc://numbers", "SESSION_REQUEST_MSG_LIMIT", "",
         "trxClient_session_create: property SESSION_REQUEST_MSG_LIMIT = '' is not a number from 1 to "},
        // The NATS backend's own, refused before any server is asked.
        {"nats://127.0.0.1:1", "SESSION_KEEP_ALIVE_INT_MS", "9",
         "property SESSION_KEEP_ALIVE_INT_MS = '9' is not a number from 10 to 600000"},
        {"nats://127.0.0.1:1", "SESSION_RECONNECT_RETRIES", "-2",
         "property SESSION_RECONNECT_RETRIES = '-2' is not a number from -1 to 1000000000"},
        {"nats://127.0.0.1:1", "SESSION_RECONNECT_BUFFER_BYTES", "1x",
         "property SESSION_RECONNECT_BUFFER_BYTES = '1x' is not a number from 0 to 1073741824"},
    };
    for (const Case& c : cases)
    {
        trxtest::Client bad({"SESSION_HOST", c.host, c.name, c.value}, false);
        EXPECT_EQ(TRXCLIENT_FAIL, bad.createRc) << c.name;
        const trxClient_errorInfo_t* e = trxClient_getLastErrorInfo();
        EXPECT_EQ(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, e->subCode) << c.name;
        EXPECT_EQ(0u, std::string(e->errorStr).rfind(c.text, 0)) << e->errorStr;
    }
    // A cache session's, and the library's.
    trxtest::Client ok({"SESSION_HOST", "inproc://numbers"}, false);
    trxClient_opaqueCacheSession_pt cache = nullptr;
    const char* cacheProps[] = {"CACHESESSION_MAX_AGE_MS", "-1", nullptr};
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_session_createCacheSession(cacheProps, ok.session, &cache));
    EXPECT_STREQ("trxClient_session_createCacheSession: property CACHESESSION_MAX_AGE_MS = '-1' is not a number from "
                 "0 to 1099511627776",
                 trxClient_getLastErrorInfo()->errorStr);
    EXPECT_EQ(nullptr, cache);
    const char* libProps[] = {"GLOBAL_NATS_DELIVERY_THREADS", "65", nullptr};
    EXPECT_EQ(TRXCLIENT_FAIL, trxClient_initialize(TRXCLIENT_LOG_WARNING, libProps));
    EXPECT_STREQ("trxClient_initialize: property GLOBAL_NATS_DELIVERY_THREADS = '65' is not a number from 1 to 64",
                 trxClient_getLastErrorInfo()->errorStr);
    EXPECT_EQ(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, trxClient_getLastErrorInfo()->subCode);
}

// Credential and TLS files are checked when the session is made, and a
// mistake names its property; no server is needed to see it.
TEST(TrxClientSessionProperties, CredentialFileMistakesAreRefusedNamingTheProperty)
{
    char dir[] = "/tmp/trxcredsXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string d = dir;
    {
        std::ofstream(d + "/empty.nk") << "no seed here\n";
    }
    {
        std::ofstream(d + "/damaged.nk") << "SU" << std::string(56, 'A') << "\n";
    }
    {
        std::ofstream(d + "/any.pem") << "x\n";
    }
    struct Case
    {
        std::vector<std::string> props;
        std::string text;
        trxClient_subCode_t code;
    };
    const std::vector<Case> cases = {
        {{"SESSION_NKEY_SEED_FILE", d + "/missing.nk"},
         "SESSION_NKEY_SEED_FILE '" + d + "/missing.nk': No such file",
         TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE},
        {{"SESSION_NKEY_SEED_FILE", d + "/empty.nk"},
         "no user NKey seed (SU...) in it",
         TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE},
        {{"SESSION_NKEY_SEED_FILE", d + "/damaged.nk"},
         "not an NKey seed (a damaged or cut text)",
         TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE},
        {{"SESSION_CREDS_FILE", d + "/missing.creds"},
         "SESSION_CREDS_FILE '" + d + "/missing.creds'",
         TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE},
        {{"SESSION_CREDS_FILE", d + "/any.pem", "SESSION_NKEY_SEED_FILE", d + "/any.pem"},
         "SESSION_CREDS_FILE and SESSION_NKEY_SEED_FILE: give one of them",
         TRXCLIENT_SUBCODE_PARAM_CONFLICT},
        {{"SESSION_TLS_CERT_FILE", d + "/any.pem"},
         "SESSION_TLS_CERT_FILE and SESSION_TLS_KEY_FILE",
         TRXCLIENT_SUBCODE_PARAM_CONFLICT},
        {{"SESSION_TLS_CA_FILE", d + "/missing.pem"},
         "SESSION_TLS_CA_FILE '" + d + "/missing.pem'",
         TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        std::vector<std::string> props{"SESSION_HOST", "nats://127.0.0.1:1"};
        props.insert(props.end(), c.props.begin(), c.props.end());
        trxtest::Client bad(props, false);
        EXPECT_EQ(TRXCLIENT_FAIL, bad.createRc);
        EXPECT_EQ(c.code, trxClient_getLastErrorInfo()->subCode);
        EXPECT_NE(std::string(trxClient_getLastErrorInfo()->errorStr).find(c.text), std::string::npos)
            << trxClient_getLastErrorInfo()->errorStr;
    }
    std::system(("rm -rf '" + d + "'").c_str());
}
