/* Writes a playback file for OpenMAMA's mamaproducerc_v2 (-playback): COUNT
 * copies of one market-data update of FIELDS fields (10 or 50), serialized
 * by the named payload plug-in. The producer stamps fid 10 (sequence number)
 * and fid 16 (send time) into every copy it sends, so both are present here.
 *
 *   mdgen PAYLOAD FIELDS SYMBOL COUNT FILE [named]
 *
 * Fields travel by fid only, as market data usually does; "named" adds a
 * name to each (stock subscribers print only fields whose name they can
 * get). Prints "bytes=N", the serialized size of one message. */
#include "../benchProgram.h"

#include "mdMsg.h"

#include <mama/mama.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 6 && !(argc == 7 && strcmp(argv[6], "named") == 0))
    {
        fprintf(stderr, "usage: mdgen PAYLOAD FIELDS SYMBOL COUNT FILE [named]\n");
        return 2;
    }
    const int named = argc == 7;
    const char* payloadName = argv[1];
    const int fields = atoi(argv[2]);
    const char* symbol = argv[3];
    const long count = atol(argv[4]);
    if (fields < 10 || count < 1)
    {
        fprintf(stderr, "mdgen: FIELDS must be at least 10 and COUNT at least 1\n");
        return 2;
    }

    mamaPayloadBridge payload = NULL;
    CHECK(mama_loadPayloadBridge(&payload, payloadName));
    mamaMsg msg = NULL;
    CHECK(mamaMsg_createForPayloadBridge(&msg, payload));
    mamaDateTime now = NULL;
    CHECK(mamaDateTime_create(&now));
    CHECK(mamaDateTime_setToNow(now));
    CHECK(mdmsg_fill(msg, fields, symbol, now, named));

    const void* bytes = NULL;
    mama_size_t size = 0;
    CHECK(mamaMsg_getByteBuffer(msg, &bytes, &size));

    FILE* f = fopen(argv[5], "wb");
    if (f == NULL)
    {
        perror(argv[5]);
        return 1;
    }
    char header[128];
    const int len = snprintf(header, sizeof header, "BENCH:bench:%s:%lu", symbol, (unsigned long)size);
    for (long i = 0; i < count; ++i)
    {
        fwrite(header, 1, (size_t)len, f);
        fputc(29, f); /* the playback format's record separator */
        fwrite(bytes, 1, size, f);
    }
    if (fclose(f) != 0)
    {
        perror(argv[5]);
        return 1;
    }
    printf("bytes=%lu\n", (unsigned long)size);
    mamaDateTime_destroy(now);
    mamaMsg_destroy(msg);
    return 0;
}
