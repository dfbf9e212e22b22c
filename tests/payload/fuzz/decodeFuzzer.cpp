/* libFuzzer target on the decoder: whatever decodes must encode again and
 * decode to the same fields. */
#include "payloadCompare.h"
#include "tarnixPayload.h"

#include <mama/mama.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

void MAMACALLTYPE discardLog(MamaLogLevel, const char*) {}

/* Decoded into again and again, as the receive path does. */
msgPayload gFirst = nullptr;
msgPayload gSecond = nullptr;

[[noreturn]] void fail(const char* what, const std::string& detail)
{
    fprintf(stderr, "decode/encode mismatch: %s %s\n", what, detail.c_str());
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    /* Log lines are formatted (the boundary message renders the partial
     * message) but not written. */
    mama_setLogCallback2(discardLog);
    mama_setLogLevel(MAMA_LOG_LEVEL_FINEST);
    /* Version 2 carries every decoded date-time exactly. */
    tarnixmsgPayload_setPayloadVersion(2, 1);
    if (tarnixmsgPayload_create(&gFirst) != MAMA_STATUS_OK || tarnixmsgPayload_create(&gSecond) != MAMA_STATUS_OK)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (tarnixmsgPayload_unSerialize(gFirst, data, size) != MAMA_STATUS_OK)
        return 0;

    const void* bytes = nullptr;
    mama_size_t length = 0;
    mama_status status = tarnixmsgPayload_serialize(gFirst, &bytes, &length);
    if (status != MAMA_STATUS_OK)
        fail("encode failed", mamaStatus_stringForStatus(status));
    status = tarnixmsgPayload_unSerialize(gSecond, bytes, length);
    if (status != MAMA_STATUS_OK)
        fail("second decode failed", mamaStatus_stringForStatus(status));
    std::string why;
    if (!samePayload(static_cast<TarnixPayloadImpl*>(gFirst), static_cast<TarnixPayloadImpl*>(gSecond), &why))
        fail("fields differ", why);
    /* The renderer must cope with whatever decoded. */
    if (!tarnixmsgPayload_toString(gFirst))
        fail("no text", "");
    return 0;
}
