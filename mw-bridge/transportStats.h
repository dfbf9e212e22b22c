/* A transport's counters for operators: the client library's (received,
 * sent, buffered, discarded, reconnects) and the bridge's own (slow-consumer
 * events, cache requests, misses and unanswered ones), logged at NORMAL every
 * interval while they change. */
#ifndef TARNIX_MW_TRANSPORTSTATS_H
#define TARNIX_MW_TRANSPORTSTATS_H

#include <trxClient.h>

#include <cstdint>
#include <string>

struct TarnixTransportStats;

enum class TarnixStat
{
    SlowConsumer,
    CacheRequest,
    CacheMiss,
    CacheUnanswered,
};

/* Starts reporting on the client library's context every intervalMs; null
 * when it cannot (then counting is a no-op). */
TarnixTransportStats* tarnixTransportStats_start(const char* name, trxClient_opaqueSession_pt session,
                                                 trxClient_opaqueContext_pt context, uint32_t intervalMs);
void tarnixTransportStats_count(TarnixTransportStats* stats, TarnixStat which);
/* The line as it would be logged now. */
std::string tarnixTransportStats_line(TarnixTransportStats* stats);
/* Before the session is destroyed: no report runs after this returns;
 * counting still may, until stop. */
void tarnixTransportStats_detach(TarnixTransportStats* stats);
/* Detaches (if not yet) and lets go of the record. */
void tarnixTransportStats_stop(TarnixTransportStats* stats);

#endif
