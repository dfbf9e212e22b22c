/* The market-data update the end-to-end benchmark sends: a quote of ten
 * fields (fid 10 sequence number, fid 16 send time, symbol, bid and ask,
 * volume), widened with further fields of the types depth and trade updates
 * carry. mdgen writes it into playback files for the stock producer; the
 * benchmark's own publishers build it here too, so every row sends the same
 * fields. */
#ifndef BENCH_E2E_MDMSG_H
#define BENCH_E2E_MDMSG_H

#include <mama/mama.h>

#define MDMSG_SEQNUM_FID 10
#define MDMSG_SENDTIME_FID 16

/* Adds FIELDS fields (at least 10) to MSG; NOW fills the send time and the
 * date-time fields. NAMED non-zero gives every field a name as well (stock
 * subscribers print only fields whose name they can get). Returns the first
 * failure. */
mama_status mdmsg_fill(mamaMsg msg, int fields, const char* symbol, mamaDateTime now, int named);

#endif
