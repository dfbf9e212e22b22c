#include "latency.h"

#include <stdio.h>

void printLatencyHistogram(const uint64_t* buckets, int count, uint64_t maxUs)
{
    uint64_t total = 0, run = 0;
    for (int i = 0; i < count; ++i)
        total += buckets[i];
    printf("\n\t=== Transport Latency Count ====\n\n");
    printf("%10s %10s %10s %10s %10s\n", "Lower", "Upper", "# Msgs", "Percentile", "Cumul. %");
    const double want[3] = {50.0, 99.0, 99.9};
    uint64_t at[3] = {0, 0, 0};
    int k = 0;
    for (int i = 0; i < count && run < total; ++i)
    {
        if (buckets[i] == 0)
            continue;
        run += buckets[i];
        const uint64_t upper = i == count - 1 ? (maxUs > (uint64_t)count ? maxUs : (uint64_t)count) : (uint64_t)i + 1;
        printf("%10d %10llu %10llu %10.5f %10.5f\n", i, (unsigned long long)upper, (unsigned long long)buckets[i],
               100.0 * (double)buckets[i] / (double)total, 100.0 * (double)run / (double)total);
        while (k < 3 && (double)run * 100.0 >= want[k] * (double)total)
            at[k++] = upper;
    }
    printf("PERCENTILES %llu %llu %llu\n", (unsigned long long)at[0], (unsigned long long)at[1],
           (unsigned long long)at[2]);
}
