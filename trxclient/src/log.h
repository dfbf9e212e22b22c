// Library logging through the application's log callback.
#pragma once

#include "trxClient.h"

namespace trx
{

bool logEnabled(trxClient_log_level_t level);
void logMsg(trxClient_log_level_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void setLogLevel(trxClient_log_level_t level);

} // namespace trx

#define TRX_LOG(level, ...)                                                                                            \
    do                                                                                                                 \
    {                                                                                                                  \
        if (::trx::logEnabled(level))                                                                                  \
            ::trx::logMsg(level, __VA_ARGS__);                                                                         \
    } while (0)
