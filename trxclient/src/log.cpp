#include "log.h"

#include "errors.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace trx
{
namespace
{
std::atomic<int> gLevel{TRXCLIENT_LOG_NOTICE};
std::mutex gMu;
trxClient_log_callbackFunc_t gCallback = nullptr;
void* gUser = nullptr;
} // namespace

bool logEnabled(trxClient_log_level_t level)
{
    return level <= gLevel.load(std::memory_order_relaxed);
}

void setLogLevel(trxClient_log_level_t level)
{
    gLevel.store(level < 0 ? 0 : (level > TRXCLIENT_LOG_DEBUG ? TRXCLIENT_LOG_DEBUG : level));
}

void logMsg(trxClient_log_level_t level, const char* fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    trxClient_log_callbackFunc_t cb;
    void* user;
    {
        std::lock_guard<std::mutex> g(gMu);
        cb = gCallback;
        user = gUser;
    }
    if (cb)
    {
        trxClient_log_callbackInfo_t info{TRXCLIENT_LOG_CATEGORY_API, level, text};
        cb(&info, user);
    }
    else
    {
        std::fprintf(stderr, "trxclient[%d]: %s\n", level, text);
    }
}

} // namespace trx

extern "C"
{

    trxClient_returnCode_t trxClient_log_setCallback(trxClient_log_callbackFunc_t callback_p, void* user_p)
    {
        if (!callback_p)
            return trx::fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_log_setCallback: NULL callback");
        std::lock_guard<std::mutex> g(trx::gMu);
        trx::gCallback = callback_p;
        trx::gUser = user_p;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_log_unsetCallback(void)
    {
        std::lock_guard<std::mutex> g(trx::gMu);
        trx::gCallback = nullptr;
        trx::gUser = nullptr;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_log_setFilterLevel(trxClient_log_category_t category, trxClient_log_level_t level)
    {
        if (category < TRXCLIENT_LOG_CATEGORY_ALL || category > TRXCLIENT_LOG_CATEGORY_APP)
            return trx::fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_log_setFilterLevel: category %d",
                             category);
        if (level < 0)
            return trx::fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_log_setFilterLevel: level %d", level);
        trx::setLogLevel(level);
        return TRXCLIENT_OK;
    }

} // extern "C"
