#include "backend.h"

#include "errors.h"

namespace trx
{

trxClient_returnCode_t Backend::notSupported()
{
    return fail(TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION, "fault injection works on inproc sessions only");
}

} // namespace trx
