/* Writes a playback file for OpenMAMA's mamaproducerc_v2 (-playback): COUNT
 * copies of one market-data update of FIELDS fields (10 or 50), serialized
 * by the named payload plug-in. The producer stamps fid 10 (sequence number)
 * and fid 16 (send time) into every copy it sends, so both are present here.
 *
 *   mdgen PAYLOAD FIELDS SYMBOL COUNT FILE
 *
 * Prints "bytes=N", the serialized size of one message. */
#include <mama/mama.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CHECK(call)                                                                          \
    do {                                                                                     \
        mama_status s_ = (call);                                                             \
        if (s_ != MAMA_STATUS_OK) {                                                          \
            fprintf(stderr, "mdgen: %s failed: %s\n", #call, mamaStatus_stringForStatus(s_)); \
            exit(1);                                                                         \
        }                                                                                    \
    } while (0)

static void addPrice(mamaMsg msg, mama_fid_t fid, double value)
{
    mamaPrice price = NULL;
    CHECK(mamaPrice_create(&price));
    CHECK(mamaPrice_setValue(price, value));
    CHECK(mamaPrice_setPrecision(price, MAMA_PRICE_PREC_100));
    CHECK(mamaMsg_addPrice(msg, NULL, fid, price));
    mamaPrice_destroy(price);
}

/* The ten fields of a quote update: type, status, sequence number, send
 * time, symbol, bid and ask price and size, volume. */
static void addQuote(mamaMsg msg, const char *symbol, mamaDateTime now)
{
    CHECK(mamaMsg_addU8(msg, NULL, 1, 0));      /* MdMsgType: update */
    CHECK(mamaMsg_addU8(msg, NULL, 2, 0));      /* MdMsgStatus: ok */
    CHECK(mamaMsg_addU32(msg, NULL, 10, 0));    /* MdSeqNum, stamped by the producer */
    CHECK(mamaMsg_addDateTime(msg, NULL, 16, now)); /* send time, stamped by the producer */
    CHECK(mamaMsg_addString(msg, NULL, 305, symbol)); /* wIssueSymbol */
    addPrice(msg, 237, 101.25);                 /* wBidPrice */
    addPrice(msg, 109, 101.27);                 /* wAskPrice */
    CHECK(mamaMsg_addU32(msg, NULL, 238, 1200)); /* wBidSize */
    CHECK(mamaMsg_addU32(msg, NULL, 110, 800));  /* wAskSize */
    CHECK(mamaMsg_addI64(msg, NULL, 475, 123456789)); /* wTotalVolume */
}

/* Further fields cycle through the types a depth or trade update carries. */
static void addExtra(mamaMsg msg, int i, mamaDateTime now)
{
    const mama_fid_t fid = (mama_fid_t)(1000 + i);
    switch (i % 5) {
    case 0: addPrice(msg, fid, 100.0 + i * 0.01); break;
    case 1: CHECK(mamaMsg_addU32(msg, NULL, fid, (uint32_t)(100 * i))); break;
    case 2: CHECK(mamaMsg_addF64(msg, NULL, fid, 0.5 * i)); break;
    case 3: CHECK(mamaMsg_addI64(msg, NULL, fid, 1000000LL * i)); break;
    default:
        if (i % 10 == 4)
            CHECK(mamaMsg_addString(msg, NULL, fid, "NYSE"));
        else
            CHECK(mamaMsg_addDateTime(msg, NULL, fid, now));
        break;
    }
}

int main(int argc, char **argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: mdgen PAYLOAD FIELDS SYMBOL COUNT FILE\n");
        return 2;
    }
    const char *payloadName = argv[1];
    const int fields = atoi(argv[2]);
    const char *symbol = argv[3];
    const long count = atol(argv[4]);
    if (fields < 10 || count < 1) {
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
    addQuote(msg, symbol, now);
    for (int i = 0; i < fields - 10; ++i)
        addExtra(msg, i, now);

    const void *bytes = NULL;
    mama_size_t size = 0;
    CHECK(mamaMsg_getByteBuffer(msg, &bytes, &size));

    FILE *f = fopen(argv[5], "wb");
    if (f == NULL) {
        perror(argv[5]);
        return 1;
    }
    char header[128];
    const int len = snprintf(header, sizeof header, "BENCH:bench:%s:%lu", symbol, (unsigned long)size);
    for (long i = 0; i < count; ++i) {
        fwrite(header, 1, (size_t)len, f);
        fputc(29, f); /* the playback format's record separator */
        fwrite(bytes, 1, size, f);
    }
    if (fclose(f) != 0) {
        perror(argv[5]);
        return 1;
    }
    printf("bytes=%lu\n", (unsigned long)size);
    mamaDateTime_destroy(now);
    mamaMsg_destroy(msg);
    return 0;
}
