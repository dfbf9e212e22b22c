/* Latency histograms of the benchmark's own programs: 1 us buckets, printed
 * in the layout mamaconsumerc_v2 uses for its own (run.sh reads both alike),
 * then "PERCENTILES p50 p99 p99.9" in microseconds. */
#ifndef BENCH_LATENCY_H
#define BENCH_LATENCY_H

#include <stdint.h>

/* buckets[i] counts latencies in [i, i + 1) us; the last one takes the rest,
 * up to maxUs. */
void printLatencyHistogram(const uint64_t* buckets, int count, uint64_t maxUs);

#endif
