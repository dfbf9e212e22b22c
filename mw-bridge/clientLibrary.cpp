#include "clientLibrary.h"

#include "compat.h"
#include "properties.h"
#include "tarnixBridge.h"
#include "tarnixGenReleaseVersion.h"

#include <mama/integration/mama.h>
#include <property.h>

#include <cstdlib>

namespace
{

constexpr const char* kGlobalPrefix = "mama.tarnix.transport.";
constexpr const char* kClientLogLevelProperty = "mama.tarnix.transport.trxClient_log_level";

/* The temporary global property set goes on every exit. */
struct PropertiesGuard
{
    TarnixProperties* mProps = nullptr;
    ~PropertiesGuard()
    {
        if (mProps != nullptr)
            tarnixProperties_destroy(&mProps);
    }
};

trxClient_log_level_t clientLogLevel()
{
    wproperty_t store = mamaInternal_getProperties();
    const char* text = store != nullptr ? properties_Get(store, kClientLogLevelProperty) : nullptr;
    if (text != nullptr)
        return static_cast<trxClient_log_level_t>(std::strtoul(text, nullptr, 10));
    return tarnixLog_mamaToClientLevel(mama_getLogLevel());
}

} // namespace

mama_status tarnixClientLibrary_initialise(TarnixBridge* bridge, char* versionText, size_t versionSize)
{
    trxClient_returnCode_t rc = trxClient_log_setCallback(tarnixLog_clientCallback, nullptr);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_ERROR("Unable to initialize API logging callback - ReturnCode='%s'",
                         trxClient_returnCodeToString(rc));
        return MAMA_STATUS_PLATFORM;
    }

    PropertiesGuard global;
    global.mProps = tarnixProperties_allocate(kGlobalPrefix);
    if (global.mProps == nullptr)
        return MAMA_STATUS_PLATFORM;
    mama_status status = tarnixProperties_collect(global.mProps);
    if (status != MAMA_STATUS_OK)
        return status;
    if (!tarnixProperties_append(global.mProps, "CONTEXT_CREATE_THREAD", "1"))
    {
        TARNIX_LOG_ERROR("Unable to append %s=%s", "CONTEXT_CREATE_THREAD", "1");
        return MAMA_STATUS_PLATFORM;
    }
    trxClient_propertyArray_pt props = tarnixProperties_getTrxClientProps(global.mProps);

    TARNIX_LOG_FINEST("Initializing trxClient...");
    rc = trxClient_initialize(clientLogLevel(), props);
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Unable to initialize trxClient API");
        return MAMA_STATUS_PLATFORM;
    }

    status = tarnixBridgeImpl_buildVersion(versionText, versionSize, true);
    if (status != MAMA_STATUS_OK)
        return status;

    TARNIX_LOG_FINEST("Creating trxClient context ...");
    trxClient_context_createFuncInfo_t funcInfo = {nullptr, nullptr, nullptr};
    rc = trxClient_context_create(props, &bridge->mContext, &funcInfo, sizeof(funcInfo));
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc,
                                "Error in trxClient_context_create() during TRXC initialization");
        trxClient_cleanup();
        bridge->mContext = nullptr;
        return MAMA_STATUS_PLATFORM;
    }

    if (tarnixBridgeImpl_readSettings(bridge) != MAMA_STATUS_OK)
    {
        /* cleanup destroys the context with the library. */
        trxClient_cleanup();
        bridge->mContext = nullptr;
        return MAMA_STATUS_PLATFORM;
    }

    const int osStatus = tarnixCompat_platformInit();
    if (osStatus != 0)
    {
        TARNIX_LOG_ERROR("Error in bridge OS initialization - ReturnCode='%s'", trxClient_returnCodeToString(osStatus));
        trxClient_cleanup();
        bridge->mContext = nullptr;
        return MAMA_STATUS_PLATFORM;
    }
    return MAMA_STATUS_OK;
}

mama_status tarnixClientLibrary_closeContext(TarnixBridge* bridge)
{
    if (bridge->mContext != nullptr)
    {
        /* Timers still pending would be dropped with the context. */
        tarnixThrottledLog_flushPending(bridge->mContext);
        trxClient_returnCode_t rc = trxClient_context_destroy(&bridge->mContext);
        if (rc != TRXCLIENT_OK)
        {
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Unable to destroy trxClient context");
            return MAMA_STATUS_PLATFORM;
        }
        bridge->mContext = nullptr;
    }
    trxClient_returnCode_t rc = trxClient_log_unsetCallback();
    if (rc != TRXCLIENT_OK)
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc,
                                "Unable to revert TRXC API logging callback to default log output "
                                "behaviour for TRXC.");
    return MAMA_STATUS_OK;
}

mama_status tarnixClientLibrary_cleanup(void)
{
    trxClient_returnCode_t rc = trxClient_cleanup();
    if (rc != TRXCLIENT_OK)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Unable to cleanup trxClient API");
        return MAMA_STATUS_PLATFORM;
    }
    const int osStatus = tarnixCompat_platformCleanup();
    if (osStatus != 0)
    {
        TARNIX_LOG_ERROR("Error in bridge OS cleanup - ReturnCode='%s'", trxClient_returnCodeToString(osStatus));
        return MAMA_STATUS_PLATFORM;
    }
    return MAMA_STATUS_OK;
}
