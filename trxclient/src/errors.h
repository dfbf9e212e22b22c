// Thread-local last error and the helpers every API function uses to fail.
#pragma once

#include "trxClient.h"

#include <cstdarg>

namespace trx
{

// Records the error for the calling thread and returns TRXCLIENT_FAIL.
trxClient_returnCode_t fail(trxClient_subCode_t subCode, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
trxClient_returnCode_t failWith(trxClient_returnCode_t rc, trxClient_subCode_t subCode, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void setLastError(trxClient_subCode_t subCode, int responseCode, const char* text);
void clearLastError();

} // namespace trx

// In a C entry point: Type *var from handle p through conv, or return the
// error for a null handle or one that is not a live `what`.
#define TRX_HANDLE_OR_FAIL(Type, var, conv, p, what)                                                                   \
    Type* var = conv(p);                                                                                               \
    if (!var)                                                                                                          \
        return p ? trx::fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "%s: not a " what " handle", __func__)              \
                 : trx::fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "%s: NULL " what, __func__);
