// Thread-local last error and the helpers every API function uses to fail.
#pragma once

#include "trxClient.h"

#include <cstdarg>

namespace trx {

// Records the error for the calling thread and returns TRXCLIENT_FAIL.
trxClient_returnCode_t fail(trxClient_subCode_t subCode, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
trxClient_returnCode_t failWith(trxClient_returnCode_t rc, trxClient_subCode_t subCode, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void setLastError(trxClient_subCode_t subCode, int responseCode, const char *text);
void clearLastError();

} // namespace trx
