#include "tarnixGenReleaseVersion.h"

#include "clientLibrary.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace
{

constexpr int kVersionMajor = 7;
constexpr int kVersionMinor = 5;
constexpr int kVersionRelease = 2;
constexpr int kVersionBuild = 1;
constexpr const char* kVersionMinorSuffix = "";
constexpr const char* kVersionReleaseSuffix = "";
constexpr const char* kVariant = "TRXDEV_VARIANT";

TarnixVersionInfo gInfo = {{0}, {0}, {0}, TARNIX_PRODUCT_NAME};
std::once_flag gInfoOnce;

void buildInfo()
{
    std::snprintf(gInfo.mVersion, sizeof(gInfo.mVersion), "%d.%d%s.%d%s.%d", kVersionMajor, kVersionMinor,
                  kVersionMinorSuffix, kVersionRelease, kVersionReleaseSuffix, kVersionBuild);
    std::snprintf(gInfo.mDateTime, sizeof(gInfo.mDateTime), "%s %s", __DATE__, __TIME__);
    std::snprintf(gInfo.mVariant, sizeof(gInfo.mVariant), "%s", kVariant);
    TARNIX_LOG_FINE("Tarnix OpenMAMA Middleware Bridge version '%s', variant '%s', date/time '%s'", gInfo.mVersion,
                    gInfo.mVariant, gInfo.mDateTime);
}

} // namespace

mama_status trxOpenmama_version_get(const TarnixVersionInfo** out)
{
    if (out == nullptr)
    {
        TARNIX_LOG_WARN("Null version info pointer in trxClient_version_get");
        return MAMA_STATUS_NULL_ARG;
    }
    TARNIX_LOG_FINE("trxClient_version_get called");
    std::call_once(gInfoOnce, buildInfo);
    *out = &gInfo;
    return MAMA_STATUS_OK;
}

mama_status tarnixBridgeImpl_buildVersion(char* text, size_t size, bool customise)
{
    if (text == nullptr || size == 0)
        return MAMA_STATUS_NULL_ARG;

    trxClient_version_info_pt client = nullptr;
    trxClient_returnCode_t rc = trxClient_version_get(&client);
    if (rc != TRXCLIENT_OK || client == nullptr)
    {
        TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error in trxClient_version_get()");
        return MAMA_STATUS_PLATFORM;
    }
    const TarnixVersionInfo* bridge = nullptr;
    mama_status status = trxOpenmama_version_get(&bridge);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("trxOpenmama_version_get() error: %s", mamaStatus_stringForStatus(status));
        return MAMA_STATUS_PLATFORM;
    }

    const char* clientVersion = client->version_p != nullptr ? client->version_p : "";
    if (std::strncmp(clientVersion, TARNIX_PRODUCT_NAME, std::strlen(TARNIX_PRODUCT_NAME)) == 0)
    {
        TARNIX_LOG_FINEST("TRXC version was already customized for bridge from earlier.");
        std::snprintf(text, size, "%s", clientVersion);
        return MAMA_STATUS_OK;
    }

    std::snprintf(text, size, "%s v%s with Tarnix C API v%s", TARNIX_PRODUCT_NAME, bridge->mVersion, clientVersion);
    if (customise)
    {
        trxClient_version_info_t record = {text, bridge->mDateTime, bridge->mVariant};
        rc = _trxClient_version_set(&record);
        if (rc != TRXCLIENT_OK)
        {
            TARNIX_LOG_CLIENT_ERROR(MAMA_LOG_LEVEL_ERROR, rc, "Error in _trxClient_version_set()");
            return MAMA_STATUS_PLATFORM;
        }
    }
    return MAMA_STATUS_OK;
}
