// Library-wide state: what trxClient_initialize set, the version texts, and
// the contexts trxClient_cleanup destroys.
#include "library.h"

#include "errors.h"
#include "log.h"
#include "props.h"
#include "tarnixVersion.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace trx
{

namespace
{
std::mutex gLibMu;
bool gInit = false;
uint32_t gNatsThreads = 1;
std::vector<Context*> gContexts;

std::mutex gVersionMu;
std::string gVersion = TARNIX_VERSION, gDateTime = __DATE__ " " __TIME__, gVariant = "trxclient";
trxClient_version_info_t gVersionInfo{nullptr, nullptr, nullptr};
} // namespace

bool libraryInitialized()
{
    std::lock_guard<std::mutex> g(gLibMu);
    return gInit;
}

uint32_t natsDeliveryThreads()
{
    return gNatsThreads;
}

void addContext(Context* c)
{
    std::lock_guard<std::mutex> g(gLibMu);
    gContexts.push_back(c);
}

void removeContext(Context* c)
{
    std::lock_guard<std::mutex> g(gLibMu);
    gContexts.erase(std::remove(gContexts.begin(), gContexts.end(), c), gContexts.end());
}

} // namespace trx

using namespace trx;

extern "C"
{

    trxClient_returnCode_t trxClient_initialize(trxClient_log_level_t level, trxClient_propertyArray_pt props)
    {
        Props p;
        std::string err;
        if (!p.parse(props, err))
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_initialize: %s", err.c_str());
        uint32_t threads = 1;
        if (!p.readInt("GLOBAL_NATS_DELIVERY_THREADS", 1, 1, 64, threads, "trxClient_initialize"))
            return TRXCLIENT_FAIL;
        if (level < 0)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_initialize: log level %d", level);
        setLogLevel(level);
        std::lock_guard<std::mutex> g(gLibMu);
        gNatsThreads = threads;
        gInit = true;
        TRX_LOG(TRXCLIENT_LOG_INFO, "trxClient initialized, log level %d", level);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_cleanup(void)
    {
        std::vector<Context*> ctxs;
        {
            std::lock_guard<std::mutex> g(gLibMu);
            ctxs.swap(gContexts);
            gInit = false;
        }
        for (Context* c : ctxs)
        {
            trxClient_opaqueContext_pt p = c;
            trxClient_context_destroy(&p);
        }
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_version_get(trxClient_version_info_pt* version_p)
    {
        if (!version_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_version_get: NULL out pointer");
        std::lock_guard<std::mutex> g(gVersionMu);
        gVersionInfo.version_p = gVersion.c_str();
        gVersionInfo.dateTime_p = gDateTime.c_str();
        gVersionInfo.variant_p = gVariant.c_str();
        *version_p = &gVersionInfo;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t _trxClient_version_set(trxClient_version_info_pt version_p)
    {
        if (!version_p || !version_p->version_p || !version_p->dateTime_p || !version_p->variant_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "_trxClient_version_set: NULL record or text");
        std::lock_guard<std::mutex> g(gVersionMu);
        // Copy first: the record may point at the texts we hand out.
        std::string v = version_p->version_p, d = version_p->dateTime_p, r = version_p->variant_p;
        gVersion.swap(v);
        gDateTime.swap(d);
        gVariant.swap(r);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_generateUUIDString(char* buf_p, size_t size)
    {
        if (!buf_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_generateUUIDString: NULL buffer");
        if (size < TRXCLIENT_UUID_STRING_SIZE)
            return fail(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE,
                        "trxClient_generateUUIDString: buffer of %zu bytes, need 37", size);
        uuid_t u;
        uuid_generate_random(u);
        uuid_unparse_lower(u, buf_p);
        return TRXCLIENT_OK;
    }

} // extern "C"
