/* Sample messages shared by the suites and the fuzzer's seed corpus. */
#ifndef TARNIX_PAYLOAD_SAMPLES_H
#define TARNIX_PAYLOAD_SAMPLES_H

#include "tarnixDatabase.h"
#include "tarnixPayload.h"

#include <cstdint>
#include <vector>

/* Adds one field of every type from fid first on (sub-messages included),
 * with names when named is set; returns the next free fid. Aborts if the
 * store refuses one. */
mama_fid_t addEveryType(TarnixMsg* store, mama_fid_t first, bool named);

/* Every fid from 1 to highest in one of the orders a sender may use: the
 * highest first then the rest ascending once made decoding quadratic;
 * alternating takes the highest, the lowest, the next highest and so on. */
enum class FidOrder
{
    Ascending,
    Descending,
    HighestFirst,
    Alternating
};
std::vector<mama_fid_t> everyFid(FidOrder order, mama_fid_t highest = 65535);

/* Wire bytes of a message of I32 fields, each holding its fid, written in
 * the order given (the serializer itself always writes ascending). */
std::vector<uint8_t> int32Message(const std::vector<mama_fid_t>& fids, uint8_t version);

#endif
