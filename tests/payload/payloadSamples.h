/* Sample messages shared by the suites and the fuzzer's seed corpus. */
#ifndef TARNIX_PAYLOAD_SAMPLES_H
#define TARNIX_PAYLOAD_SAMPLES_H

#include "tarnixDatabase.h"
#include "tarnixpayload.h"

/* Adds one field of every type from fid first on (sub-messages included),
 * with names when named is set; returns the next free fid. Aborts if the
 * store refuses one. */
mama_fid_t addEveryType(TarnixMsg* store, mama_fid_t first, bool named);

#endif
