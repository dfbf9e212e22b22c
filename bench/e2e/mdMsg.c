#include "mdMsg.h"

#include <stdio.h>

#define TRY(call)                                                                                                      \
    do                                                                                                                 \
    {                                                                                                                  \
        mama_status s_ = (call);                                                                                       \
        if (s_ != MAMA_STATUS_OK)                                                                                      \
            return s_;                                                                                                 \
    } while (0)

static mama_status addPrice(mamaMsg msg, const char* name, mama_fid_t fid, double value)
{
    mamaPrice price = NULL;
    TRY(mamaPrice_create(&price));
    mama_status s = mamaPrice_setValue(price, value);
    if (s == MAMA_STATUS_OK)
        s = mamaPrice_setPrecision(price, MAMA_PRICE_PREC_100);
    if (s == MAMA_STATUS_OK)
        s = mamaMsg_addPrice(msg, name, fid, price);
    mamaPrice_destroy(price);
    return s;
}

/* The ten fields of a quote update: type, status, sequence number, send
 * time, symbol, bid and ask price and size, volume. */
static mama_status addQuote(mamaMsg msg, const char* symbol, mamaDateTime now, int named)
{
#define NM(name) (named ? (name) : NULL)
    TRY(mamaMsg_addU8(msg, NM("MdMsgType"), 1, 0));   /* update */
    TRY(mamaMsg_addU8(msg, NM("MdMsgStatus"), 2, 0)); /* ok */
    TRY(mamaMsg_addU32(msg, NM("MdSeqNum"), MDMSG_SEQNUM_FID, 0));
    TRY(mamaMsg_addDateTime(msg, NM("MamaSendTime"), MDMSG_SENDTIME_FID, now));
    TRY(mamaMsg_addString(msg, NM("wIssueSymbol"), 305, symbol));
    TRY(addPrice(msg, NM("wBidPrice"), 237, 101.25));
    TRY(addPrice(msg, NM("wAskPrice"), 109, 101.27));
    TRY(mamaMsg_addU32(msg, NM("wBidSize"), 238, 1200));
    TRY(mamaMsg_addU32(msg, NM("wAskSize"), 110, 800));
    TRY(mamaMsg_addI64(msg, NM("wTotalVolume"), 475, 123456789));
#undef NM
    return MAMA_STATUS_OK;
}

/* Further fields cycle through the types a depth or trade update carries. */
static mama_status addExtra(mamaMsg msg, int i, mamaDateTime now, int named)
{
    const mama_fid_t fid = (mama_fid_t)(1000 + i);
    char buf[32];
    snprintf(buf, sizeof buf, "wField%d", fid);
    const char* name = named ? buf : NULL;
    switch (i % 5)
    {
        case 0: return addPrice(msg, name, fid, 100.0 + i * 0.01);
        case 1: return mamaMsg_addU32(msg, name, fid, (uint32_t)(100 * i));
        case 2: return mamaMsg_addF64(msg, name, fid, 0.5 * i);
        case 3: return mamaMsg_addI64(msg, name, fid, 1000000LL * i);
        default:
            if (i % 10 == 4)
                return mamaMsg_addString(msg, name, fid, "NYSE");
            return mamaMsg_addDateTime(msg, name, fid, now);
    }
}

mama_status mdmsg_fill(mamaMsg msg, int fields, const char* symbol, mamaDateTime now, int named)
{
    if (fields < 10)
        return MAMA_STATUS_INVALID_ARG;
    TRY(addQuote(msg, symbol, now, named));
    for (int i = 0; i < fields - 10; ++i)
        TRY(addExtra(msg, i, now, named));
    return MAMA_STATUS_OK;
}
