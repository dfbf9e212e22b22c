#include "bridgeFunctions.h"
#include "compat.h"
#include "logCapture.h"
#include "messaging.h"
#include "tarnixBridge.h"

#include <mama/integration/transport.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

std::string sessionProperty(TarnixTransportBridge* transport, const char* name)
{
    char value[512] = "";
    EXPECT_EQ(trxClient_session_getProperty(transport->mSession.load(), name, value, sizeof(value)), TRXCLIENT_OK)
        << name;
    return value;
}

/* A broker that takes the TCP connection on a loopback port and never says a
 * word: a NATS client's connect waits on it until its time-out, or until the
 * listener closes. */
class SilentBroker
{
public:
    SilentBroker()
    {
        mListener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (mListener < 0 || ::bind(mListener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(mListener, 4) != 0 || ::getsockname(mListener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            ADD_FAILURE() << "no loopback listener: " << std::strerror(errno);
        mPort = ntohs(address.sin_port);
    }
    ~SilentBroker() { close(); }

    std::string url() const { return "nats://127.0.0.1:" + std::to_string(mPort); }

    /* True once a client has connected (and is left waiting). */
    bool waitForClient(int timeoutMs)
    {
        pollfd ready{mListener, POLLIN, 0};
        if (::poll(&ready, 1, timeoutMs) != 1)
            return false;
        mClient = ::accept(mListener, nullptr, nullptr);
        return mClient >= 0;
    }

    /* The waiting client sees the connection end. */
    void close()
    {
        for (int* fd : {&mClient, &mListener})
        {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }

private:
    int mListener = -1;
    int mClient = -1;
    uint16_t mPort = 0;
};

class Transport : public Messaging
{
protected:
    /* A creation expected to fail, made by the bridge directly: OpenMAMA
     * cannot free a transport whose creation failed. The parent is any
     * working transport of this bridge. */
    void ensureParent()
    {
        if (mParent == nullptr)
        {
            configure("parent");
            mParent = createTransport("parent");
        }
    }

    mama_status failedCreate(const std::string& name)
    {
        ensureParent();
        transportBridge result = nullptr;
        mama_status status = tarnixBridgeMamaTransport_create(&result, name.c_str(), mParent);
        EXPECT_NE(status, MAMA_STATUS_OK);
        if (status == MAMA_STATUS_OK)
            tarnixBridgeMamaTransport_destroy(result);
        return status;
    }

    mamaTransport mParent = nullptr;
};

TEST_F(Transport, CreationConnectsReportsConnectAtOnceAndPreparesInboxPrefixes)
{
    TransportEvents seen;
    mamaTransport transport = nullptr;
    ASSERT_EQ(mamaTransport_allocate(&transport), MAMA_STATUS_OK);
    ASSERT_EQ(mamaTransport_setTransportCallback(transport, onTransportEvent, &seen), MAMA_STATUS_OK);
    ASSERT_EQ(mamaTransport_create(transport, "t", mBridge), MAMA_STATUS_OK);
    mTransports.push_back(transport);

    ASSERT_EQ(seen.mEvents, std::vector<mamaTransportEvent>{MAMA_TRANSPORT_CONNECT});
    EXPECT_EQ(seen.mThreads[0], std::this_thread::get_id());

    TarnixTransportBridge* bridge = bridgeOf(transport);
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(tarnixBridgeMamaTransport_isValid(reinterpret_cast<transportBridge>(bridge)), 1);
    void* native = nullptr;
    ASSERT_EQ(mamaTransport_getNativeTransport(transport, 0, &native), MAMA_STATUS_OK);
    EXPECT_EQ(native, bridge);
    EXPECT_EQ(bridge->mName, "t");
    EXPECT_TRUE(bridge->mAllowRecoverGaps);
    EXPECT_TRUE(bridge->mUseTrxCache); /* the default */
    EXPECT_FALSE(bridge->mSendSubReq);
    EXPECT_NE(bridge->mPayloadBridge, nullptr);

    /* "#P2P/<node>/<session>//" loses its last character; the subscription
     * prefix matches that session's reply-to topics on any node. */
    const std::string replyTo = sessionProperty(bridge, "SESSION_REPLY_TO_DEFAULT_DEST");
    const std::string session = sessionProperty(bridge, "SESSION_CLIENT_NAME");
    EXPECT_EQ(std::string(bridge->mInboxTarnixReplyToPrefix), replyTo.substr(0, replyTo.size() - 1));
    EXPECT_EQ(std::string(bridge->mInboxTarnixSubPrefix), "#P2P/*/" + session + "/");
    EXPECT_EQ(bridge->mInboxTarnixSubPrefixLen, std::strlen(bridge->mInboxTarnixSubPrefix));
}

TEST_F(Transport, ANameIsTakenWhileItsTransportIsConnected)
{
    mamaTransport first = createTransport("t");
    LogCapture log;
    EXPECT_EQ(failedCreate("t"), MAMA_STATUS_PLATFORM);
    EXPECT_EQ(log.matching("Cannot create transport name=t. Already have a transport with this name").size(), 1u);
    EXPECT_EQ(tarnixBridgeMamaTransport_isValid(reinterpret_cast<transportBridge>(bridgeOf(first))), 1);

    /* Neither the refused creation nor the destroyed transport keeps the name. */
    destroyTransport(first);
    createTransport("t");
}

TEST_F(Transport, AllowRecoverGapsIsMandatory)
{
    setProperty("mama.tarnix.transport.nogaps.SESSION_HOST", host());
    LogCapture log;
    EXPECT_EQ(failedCreate("nogaps"), MAMA_STATUS_PLATFORM);
    auto lines = log.matching("Error in getting bridge property 'allow_recover_gaps' for transport name=nogaps. "
                              "Property 'mama.tarnix.transport.nogaps.allow_recover_gaps' is mandatory but missing.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_ERROR);
    /* It failed after connecting: the session and the list node are gone. */
    EXPECT_FALSE(log.matching("Connecting trxClient session").empty());
    EXPECT_EQ(mClosure->mTransportList->count(), 1u); /* the parent */

    setProperty("mama.tarnix.transport.nogaps.allow_recover_gaps", "false");
    mamaTransport transport = createTransport("nogaps");
    EXPECT_FALSE(bridgeOf(transport)->mAllowRecoverGaps);
}

/* One transport's connect can take as long as its broker makes it: other
 * transports are created and destroyed meanwhile. */
TEST_F(Transport, AConnectThatHangsHoldsUpNoOtherTransport)
{
    ensureParent();
    SilentBroker silent;
    const std::string prefix = "mama.tarnix.transport.hung.";
    setProperty(prefix + "SESSION_HOST", silent.url());
    setProperty(prefix + "allow_recover_gaps", "true");
    setProperty(prefix + "SESSION_CONNECT_TIMEOUT_MS", std::to_string(3 * kWaitMs));

    std::atomic<bool> hungReturned{false};
    mama_status hungStatus = MAMA_STATUS_OK;
    std::thread hung(
        [&]
        {
            transportBridge result = nullptr;
            hungStatus = tarnixBridgeMamaTransport_create(&result, "hung", mParent);
            if (hungStatus == MAMA_STATUS_OK)
                tarnixBridgeMamaTransport_destroy(result);
            hungReturned = true;
        });
    ASSERT_TRUE(silent.waitForClient(kWaitMs)) << "the hung transport never connected";

    mamaTransport other = createTransport("t");
    destroyTransport(other);
    EXPECT_FALSE(hungReturned.load()) << "the other transport waited for the hung connect";

    silent.close();
    hung.join();
    EXPECT_NE(hungStatus, MAMA_STATUS_OK);
    EXPECT_EQ(mClosure->mTransportList->count(), 1u); /* the parent */
}

/* Everyday configuration mistakes are named at the default log level. */
TEST_F(Transport, AnUnconfiguredTransportIsNamedBeforeTheMandatoryProperty)
{
    LogCapture log;
    EXPECT_EQ(failedCreate("nosuch"), MAMA_STATUS_PLATFORM);
    const auto lines = log.lines();
    auto at = [&](const std::string& text)
    {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].text.find(text) != std::string::npos)
                return i;
        return lines.size();
    };
    const size_t unconfigured = at("Transport 'nosuch' is not configured: mama.properties sets no "
                                   "mama.tarnix.transport.nosuch.* property (at least "
                                   "mama.tarnix.transport.nosuch.SESSION_HOST and "
                                   "mama.tarnix.transport.nosuch.allow_recover_gaps)");
    const size_t mandatory = at("Property 'mama.tarnix.transport.nosuch.allow_recover_gaps' is mandatory but missing.");
    ASSERT_LT(unconfigured, lines.size());
    ASSERT_LT(mandatory, lines.size());
    EXPECT_LT(unconfigured, mandatory);
    EXPECT_EQ(lines[unconfigured].level, MAMA_LOG_LEVEL_ERROR);
}

TEST_F(Transport, AMisspeltKeyIsWarnedAboutWithTheNearestKnownOne)
{
    struct Case
    {
        const char* key;
        const char* suggestion; /* null: nothing near */
    };
    const Case cases[] = {
        {"SESION_HOST", "SESSION_HOST"},
        {"allow_recover_gap", "allow_recover_gaps"},
        {"session_pasword", "SESSION_PASSWORD"},
        {"use_trx_cache", "use_trxcache"},
        {"colour", nullptr},
    };
    configure("typo");
    for (const Case& c : cases)
        setProperty(std::string("mama.tarnix.transport.typo.") + c.key, "x");
    LogCapture log;
    createTransport("typo");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.key);
        std::string expected = std::string("Unknown property mama.tarnix.transport.typo.") + c.key + " is ignored";
        if (c.suggestion != nullptr)
            expected += std::string("; did you mean mama.tarnix.transport.typo.") + c.suggestion + "?";
        auto lines = log.matching(std::string("Unknown property mama.tarnix.transport.typo.") + c.key + " ");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_WARN);
        EXPECT_NE(lines[0].text.find(expected), std::string::npos) << lines[0].text;
        EXPECT_EQ(lines[0].text.substr(lines[0].text.size() - expected.size()), expected);
    }
    EXPECT_TRUE(log.matching("Unknown property mama.tarnix.transport.typo.allow_recover_gaps ").empty());
}

TEST_F(Transport, ATransportWithoutHostSaysItIsInProcess)
{
    setProperty("mama.tarnix.transport.local.allow_recover_gaps", "true");
    LogCapture log;
    createTransport("local");
    auto lines = log.matching("Transport 'local' has no mama.tarnix.transport.local.SESSION_HOST: it uses the "
                              "in-process broker inproc://default, which other processes cannot reach");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_NORMAL);
    EXPECT_TRUE(log.matching("Transport 't' has no").empty());
    createTransport("t");
    EXPECT_TRUE(log.matching("Transport 't' has no").empty());
}

/* Nothing goes to the broker as credentials unless configured; the
 * publisher information still names the process's user. */
TEST_F(Transport, NoCredentialsUnlessConfiguredAndSecretsNeverLogged)
{
    TarnixTransportBridge* plain = bridgeOf(createTransport("t"));
    char value[256];
    for (const char* name : {"SESSION_USERNAME", "SESSION_PASSWORD", "SESSION_TOKEN"})
        EXPECT_EQ(trxClient_session_getProperty(plain->mSession.load(), name, value, sizeof(value)), TRXCLIENT_FAIL)
            << name;
    char user[65];
    ASSERT_EQ(tarnixCompat_getUserName(user, sizeof(user)), 0);
    ASSERT_NE(plain->mPubInfoMap, nullptr);
    ASSERT_EQ(trxClient_container_getString(plain->mPubInfoMap, value, sizeof(value), "S"), TRXCLIENT_OK);
    EXPECT_STREQ(value, user);

    configure("secret");
    setProperty("mama.tarnix.transport.secret.SESSION_USERNAME", "alice");
    setProperty("mama.tarnix.transport.secret.SESSION_PASSWORD", "hunter2pw");
    setProperty("mama.tarnix.transport.secret.SESSION_TOKEN", "t0kenvalue");
    LogCapture log;
    mama_setLogLevel(MAMA_LOG_LEVEL_FINEST);
    createTransport("secret");
    EXPECT_FALSE(log.matching("SESSION_PASSWORD = ******** ").empty());
    EXPECT_FALSE(log.matching("SESSION_TOKEN = ******** ").empty());
    EXPECT_FALSE(log.matching("SESSION_USERNAME = alice ").empty());
    EXPECT_TRUE(log.matching("hunter2pw").empty());
    EXPECT_TRUE(log.matching("t0kenvalue").empty());
}

TEST_F(Transport, AFailedSessionSaysWhy)
{
    struct Case
    {
        const char* name;
        const char* host; /* null: the test's broker, refusing logins */
        mama_status status;
        const char* line;
        MamaLogLevel level;
    };
    const Case cases[] = {
        {"refused", nullptr, MAMA_STATUS_NOT_ENTITLED,
         "Error in trxClient_session_connect() - ReturnCode='TRXCLIENT_FAIL', "
         "SubCode='TRXCLIENT_SUBCODE_LOGIN_FAILURE'",
         MAMA_LOG_LEVEL_WARN},
        {"unreachable", "nats://127.0.0.1:1", MAMA_STATUS_PLATFORM,
         "Error in trxClient_session_connect() - ReturnCode='TRXCLIENT_FAIL'", MAMA_LOG_LEVEL_WARN},
        {"badhost", "bogus://nowhere", MAMA_STATUS_PLATFORM,
         "Error in trxClient_session_create() - ReturnCode='TRXCLIENT_FAIL', "
         "SubCode='TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE'",
         MAMA_LOG_LEVEL_ERROR},
    };
    ensureParent();
    ASSERT_EQ(trxClientTest_inproc_refuseLogin(broker().c_str(), 1), TRXCLIENT_OK);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        configure(c.name);
        if (c.host != nullptr)
            setProperty(std::string("mama.tarnix.transport.") + c.name + ".SESSION_HOST", c.host);
        LogCapture log;
        EXPECT_EQ(failedCreate(c.name), c.status);
        auto lines = log.matching(c.line);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, c.level);
    }
    EXPECT_EQ(mClosure->mTransportList->count(), 1u); /* the parent */
}

TEST_F(Transport, SessionPropertiesAreDefaultsThenConfigurationThenWhatTheBridgeNeeds)
{
    const std::string prefix = "mama.tarnix.transport.t.";
    setProperty(prefix + "SESSION_USERNAME", "alice");
    setProperty(prefix + "SESSION_CONNECT_BLOCKING", "0");
    setProperty(prefix + "SESSION_REQUEST_MSG_LIMIT", "7");
    setProperty(prefix + "use_trxcache", "false");
    setProperty(prefix + "send_subreq", "false");
    TarnixTransportBridge* transport = bridgeOf(createTransport());

    EXPECT_EQ(sessionProperty(transport, "SESSION_USERNAME"), "alice");
    EXPECT_EQ(sessionProperty(transport, "SESSION_REQUEST_MSG_LIMIT"), "7");
    EXPECT_EQ(sessionProperty(transport, "SESSION_CONNECT_BLOCKING"), "1");
    EXPECT_EQ(sessionProperty(transport, "SESSION_TOPIC_DISPATCH"), "1");
    EXPECT_EQ(sessionProperty(transport, "SESSION_REAPPLY_SUBSCRIPTIONS"), "1");
    EXPECT_FALSE(transport->mUseTrxCache);
    EXPECT_TRUE(transport->mSendSubReq); /* ignored without the cache */

    /* "U" is the process's own user, "S" the session's. */
    char user[65];
    ASSERT_EQ(tarnixCompat_getUserName(user, sizeof(user)), 0);
    char host[260];
    ASSERT_EQ(tarnixCompat_getComputerName(host, sizeof(host)), 0);
    ASSERT_NE(transport->mPubInfoMap, nullptr);
    char text[260];
    ASSERT_EQ(trxClient_container_getString(transport->mPubInfoMap, text, sizeof(text), "U"), TRXCLIENT_OK);
    EXPECT_STREQ(text, user);
    ASSERT_EQ(trxClient_container_getString(transport->mPubInfoMap, text, sizeof(text), "H"), TRXCLIENT_OK);
    EXPECT_STREQ(text, host);
    ASSERT_EQ(trxClient_container_getString(transport->mPubInfoMap, text, sizeof(text), "S"), TRXCLIENT_OK);
    EXPECT_STREQ(text, "alice");
    int32_t pid = 0;
    ASSERT_EQ(trxClient_container_getInt32(transport->mPubInfoMap, &pid, "P"), TRXCLIENT_OK);
    EXPECT_EQ(pid, static_cast<int32_t>(getpid()));
}

/* max_pending_bytes bounds what a slow consumer makes the transport hold;
 * half of it is the session's receive buffer. */
TEST_F(Transport, MaxPendingBytesIsCheckedAndGivesTheReceiveBufferHalf)
{
    const char* const bad[] = {"lots", "-1", "0", "2047", "+4096", "4096 ", "4398046511105", "99999999999999999999999"};
    for (const char* value : bad)
    {
        SCOPED_TRACE(value);
        configure("budget");
        setProperty("mama.tarnix.transport.budget.max_pending_bytes", value);
        LogCapture log;
        EXPECT_EQ(failedCreate("budget"), MAMA_STATUS_INVALID_ARG);
        auto lines = log.matching(std::string("Invalid value '") + value +
                                  "' for mama.tarnix.transport.budget.max_pending_bytes: expected a number of "
                                  "bytes from 2048 to 4398046511104");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, MAMA_LOG_LEVEL_ERROR);
    }

    TarnixTransportBridge* standard = bridgeOf(createTransport());
    EXPECT_EQ(standard->mMaxPendingBytes, 128u << 20);
    EXPECT_EQ(sessionProperty(standard, "SESSION_BUFFER_BYTE_LIMIT"), "67108864");

    /* A buffer limit of its own would let the sum exceed the budget. */
    configure("own");
    setProperty("mama.tarnix.transport.own.max_pending_bytes", "2048");
    setProperty("mama.tarnix.transport.own.SESSION_BUFFER_BYTE_LIMIT", "1000000");
    LogCapture log;
    TarnixTransportBridge* own = bridgeOf(createTransport("own"));
    EXPECT_EQ(own->mMaxPendingBytes, 2048u);
    EXPECT_EQ(sessionProperty(own, "SESSION_BUFFER_BYTE_LIMIT"), "1024");
    EXPECT_EQ(log.matching("mama.tarnix.transport.own.SESSION_BUFFER_BYTE_LIMIT is ignored: the receive buffer "
                           "takes half of mama.tarnix.transport.own.max_pending_bytes (2048 bytes)")
                  .size(),
              1u);
}

TEST_F(Transport, PublisherInformationCanBeSwitchedOff)
{
    setProperty("mama.tarnix.transport.send_publisher_info", "false");
    LogCapture log;
    mamaTransport transport = createTransport();
    EXPECT_EQ(bridgeOf(transport)->mPubInfoMap, nullptr);
    EXPECT_EQ(log.matching("pubinfo disabled.").size(), 1u);
    destroyTransport(transport);
    EXPECT_TRUE(log.matching("Destroyed pub info map.").empty());
}

TEST_F(Transport, DestroyTakesTheSessionAwayAndReleasesAnUnusedTransport)
{
    mamaTransport transport = createTransport();
    LogCapture log;
    destroyTransport(transport);
    EXPECT_EQ(log.matching("Destroyed trxClient session in transport name=t").size(), 1u);
    EXPECT_EQ(log.matching("Destroyed pub info map.").size(), 1u);
    /* Released at once: nothing is left of it and its name is free. */
    createTransport("t");
    EXPECT_EQ(tarnixBridgeMamaTransport_destroy(nullptr), MAMA_STATUS_NULL_ARG);
    EXPECT_EQ(tarnixBridgeMamaTransport_isValid(nullptr), 0);
}

TEST_F(Transport, ConnectionManagementIsNotOffered)
{
    LogCapture log;
    const mama_status notSupported[] = {
        tarnixBridgeMamaTransport_findConnection(nullptr, 0, nullptr, nullptr, 0),
        tarnixBridgeMamaTransport_forceClientDisconnect(nullptr, 0, nullptr, 0),
        tarnixBridgeMamaTransport_freeAllConnections(nullptr, 0, nullptr, 0),
        tarnixBridgeMamaTransport_freeAllServerConnections(nullptr, 0, nullptr, 0),
        tarnixBridgeMamaTransport_getAllConnections(nullptr, 0, nullptr, nullptr),
        tarnixBridgeMamaTransport_getAllConnectionsForTopic(nullptr, 0, nullptr, nullptr, nullptr),
        tarnixBridgeMamaTransport_getAllServerConnections(nullptr, 0, nullptr, nullptr),
        tarnixBridgeMamaTransport_getNativeTransportNamingCtx(nullptr, nullptr),
        tarnixBridgeMamaTransport_installConnectConflateMgr(nullptr, nullptr, nullptr, nullptr, nullptr),
        tarnixBridgeMamaTransport_uninstallConnectConflateMgr(nullptr, nullptr, nullptr),
        tarnixBridgeMamaTransport_requestConflation(nullptr, 0),
        tarnixBridgeMamaTransport_requestEndConflation(nullptr, 0),
        tarnixBridgeMamaTransport_sendMsgToConnection(nullptr, nullptr, nullptr, nullptr),
        tarnixBridgeMamaTransport_startConnectionConflation(nullptr, nullptr, nullptr),
    };
    for (mama_status status : notSupported)
        EXPECT_EQ(status, MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(log.matching("conflation and load balancing are not supported by this bridge.").size(),
              std::size(notSupported));

    uint8_t intercepted = 7;
    EXPECT_EQ(tarnixBridgeMamaTransport_isConnectionIntercepted(nullptr, &intercepted), MAMA_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(intercepted, 0);
    EXPECT_EQ(tarnixBridgeMamaTransport_isConnectionIntercepted(nullptr, nullptr), MAMA_STATUS_NULL_ARG);

    tportLbScheme scheme = TPORT_LB_SCHEME_API;
    EXPECT_EQ(tarnixBridgeMamaTransport_getLoadBalanceScheme("t", &scheme), MAMA_STATUS_OK);
    EXPECT_EQ(scheme, TPORT_LB_SCHEME_STATIC);
    const char* name = "x";
    EXPECT_EQ(tarnixBridgeMamaTransport_getLoadBalanceSharedObjectName("t", &name), MAMA_STATUS_OK);
    EXPECT_EQ(name, nullptr);
    int count = 5;
    EXPECT_EQ(tarnixBridgeMamaTransport_getNumLoadBalanceAttributes("t", &count), MAMA_STATUS_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(tarnixBridgeMamaTransport_getNumLoadBalanceAttributes(nullptr, &count), MAMA_STATUS_NULL_ARG);
    void* native = nullptr;
    EXPECT_EQ(tarnixBridgeMamaTransport_getNativeTransport(nullptr, &native), MAMA_STATUS_NULL_ARG);
}

} // namespace
