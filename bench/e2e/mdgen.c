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

static int gNamed = 0;

/* The field's name when names are wanted, else none. */
static const char *nm(const char *name)
{
    return gNamed ? name : NULL;
}

static void addPrice(mamaMsg msg, const char *name, mama_fid_t fid, double value)
{
    mamaPrice price = NULL;
    CHECK(mamaPrice_create(&price));
    CHECK(mamaPrice_setValue(price, value));
    CHECK(mamaPrice_setPrecision(price, MAMA_PRICE_PREC_100));
    CHECK(mamaMsg_addPrice(msg, nm(name), fid, price));
    mamaPrice_destroy(price);
}

/* The ten fields of a quote update: type, status, sequence number, send
 * time, symbol, bid and ask price and size, volume. */
static void addQuote(mamaMsg msg, const char *symbol, mamaDateTime now)
{
    CHECK(mamaMsg_addU8(msg, nm("MdMsgType"), 1, 0));       /* update */
    CHECK(mamaMsg_addU8(msg, nm("MdMsgStatus"), 2, 0));     /* ok */
    CHECK(mamaMsg_addU32(msg, nm("MdSeqNum"), 10, 0));      /* stamped by the producer */
    CHECK(mamaMsg_addDateTime(msg, nm("MamaSendTime"), 16, now)); /* stamped by the producer */
    CHECK(mamaMsg_addString(msg, nm("wIssueSymbol"), 305, symbol));
    addPrice(msg, "wBidPrice", 237, 101.25);
    addPrice(msg, "wAskPrice", 109, 101.27);
    CHECK(mamaMsg_addU32(msg, nm("wBidSize"), 238, 1200));
    CHECK(mamaMsg_addU32(msg, nm("wAskSize"), 110, 800));
    CHECK(mamaMsg_addI64(msg, nm("wTotalVolume"), 475, 123456789));
}

/* Further fields cycle through the types a depth or trade update carries. */
static void addExtra(mamaMsg msg, int i, mamaDateTime now)
{
    const mama_fid_t fid = (mama_fid_t)(1000 + i);
    char name[32];
    snprintf(name, sizeof name, "wField%d", fid);
    switch (i % 5) {
    case 0: addPrice(msg, name, fid, 100.0 + i * 0.01); break;
    case 1: CHECK(mamaMsg_addU32(msg, nm(name), fid, (uint32_t)(100 * i))); break;
    case 2: CHECK(mamaMsg_addF64(msg, nm(name), fid, 0.5 * i)); break;
    case 3: CHECK(mamaMsg_addI64(msg, nm(name), fid, 1000000LL * i)); break;
    default:
        if (i % 10 == 4)
            CHECK(mamaMsg_addString(msg, nm(name), fid, "NYSE"));
        else
            CHECK(mamaMsg_addDateTime(msg, nm(name), fid, now));
        break;
    }
}

int main(int argc, char **argv)
{
    if (argc != 6 && !(argc == 7 && strcmp(argv[6], "named") == 0)) {
        fprintf(stderr, "usage: mdgen PAYLOAD FIELDS SYMBOL COUNT FILE [named]\n");
        return 2;
    }
    gNamed = argc == 7;
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
