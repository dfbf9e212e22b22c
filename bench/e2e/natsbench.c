/* The broker's limit: publish, subscribe and round trips with libnats alone,
 * measured the way OpenMAMA's performance tools measure the middlewares.
 * Every message carries a sequence number and its send time (CLOCK_REALTIME,
 * ns) in its first 16 bytes; the rest is padding up to SIZE bytes.
 *
 *   natsbench pub URL SUBJECT SIZE RATE      RATE 0: as fast as possible, else paced
 *   natsbench sub URL SUBJECT [N]            N > 1: subjects SUBJECT.0 .. SUBJECT.N-1
 *   natsbench pong URL SUBJECT               answers SUBJECT.ping on SUBJECT.pong
 *   natsbench ping URL SUBJECT COUNT SIZE    COUNT round trips, one outstanding
 *
 * pub and sub print "RATE n" every second until SIGINT or SIGTERM. sub starts
 * its latency histogram (1 us buckets) two seconds after the first message
 * and prints it on exit in mamaconsumerc_v2's bucket format, followed by
 * "SUMMARY received=.. gaps=.. dropped=.." and "PERCENTILES p50 p99 p99.9". */
#define _GNU_SOURCE
#include "../benchProgram.h"
#include "latency.h"

#include <nats/nats.h>

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define BUCKETS 100000 /* 1 us each: 100 ms, the last bucket takes the rest */
#define WARMUP_NS 2000000000LL

static uint64_t nowNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

static void die(const char* what, natsStatus s)
{
    fprintf(stderr, "natsbench: %s: %s\n", what, natsStatus_GetText(s));
    exit(1);
}

/* asap: every publish is written at once (round trips); otherwise libnats
 * batches writes (throughput). shared: one delivery thread for all
 * subscriptions instead of one each. */
static natsConnection* connectTo(const char* url, bool asap, bool shared)
{
    natsOptions* o = NULL;
    natsConnection* nc = NULL;
    natsStatus s = natsOptions_Create(&o);
    if (s == NATS_OK)
        s = natsOptions_SetURL(o, url);
    if (s == NATS_OK)
        s = natsOptions_SetSendAsap(o, asap);
    if (s == NATS_OK)
        s = natsOptions_UseGlobalMessageDelivery(o, shared);
    if (s == NATS_OK)
        s = natsConnection_Connect(&nc, o);
    if (s != NATS_OK)
        die("connect", s);
    natsOptions_Destroy(o);
    return nc;
}

/* Waits a second for a stop signal; returns 1 when one came. */
static int stopRequested(const sigset_t* set, long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    int sig = sigtimedwait(set, NULL, &t);
    return sig == SIGINT || sig == SIGTERM;
}

/* ---- pub ---------------------------------------------------------------- */

static int runPub(const char* url, const char* subject, size_t size, double rate, const sigset_t* stop)
{
    /* Paced: each message leaves at once, as a latency-minded application
     * would configure it; flat out: libnats batches. */
    natsConnection* nc = connectTo(url, rate > 0, false);
    if (size < 16)
        size = 16;
    char* buf = calloc(1, size);
    memset(buf + 16, 'A', size - 16);
    uint64_t seq = 0, last = 0;
    uint64_t start = nowNs(), nextReport = start + 1000000000ull;
    for (;;)
    {
        uint64_t t = nowNs();
        if (rate > 0)
        {
            /* Paced on absolute times, spinning on the clock as
             * mamaproducerc_v2 -rt does: both producers burn a core, so the
             * comparison leaves the same CPU to everything else. */
            const uint64_t due = start + (uint64_t)((double)seq * 1e9 / rate);
            while (t < due)
                t = nowNs();
        }
        ++seq;
        memcpy(buf, &seq, 8);
        memcpy(buf + 8, &t, 8);
        natsStatus s = natsConnection_Publish(nc, subject, buf, (int)size);
        if (s != NATS_OK)
            die("publish", s);
        if (t >= nextReport)
        {
            printf("RATE %llu\n", (unsigned long long)(seq - last));
            fflush(stdout);
            last = seq;
            nextReport += 1000000000ull;
            if (stopRequested(stop, 0))
                break;
        }
    }
    natsConnection_Flush(nc);
    printf("published %llu\n", (unsigned long long)seq);
    natsConnection_Destroy(nc);
    free(buf);
    return 0;
}

/* ---- sub ---------------------------------------------------------------- */

static atomic_ullong gReceived;
static uint64_t gExpected = 0, gGaps = 0, gFirstNs = 0, gMaxUs = 0;
static uint64_t* gBuckets;

static void onMsg(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure)
{
    (void)nc;
    (void)sub;
    (void)closure;
    const uint64_t t = nowNs();
    const char* data = natsMsg_GetData(msg);
    if (natsMsg_GetDataLength(msg) >= 16)
    {
        uint64_t seq, sent;
        memcpy(&seq, data, 8);
        memcpy(&sent, data + 8, 8);
        if (gExpected != 0 && seq != gExpected)
            ++gGaps;
        gExpected = seq + 1;
        if (gFirstNs == 0)
            gFirstNs = t;
        if (t - gFirstNs >= (uint64_t)WARMUP_NS)
        {
            uint64_t us = t > sent ? (t - sent) / 1000 : 0;
            if (us > gMaxUs)
                gMaxUs = us;
            ++gBuckets[us < BUCKETS ? us : BUCKETS - 1];
        }
    }
    atomic_fetch_add(&gReceived, 1);
    natsMsg_Destroy(msg);
}

static void printHistogram(void)
{
    printLatencyHistogram(gBuckets, BUCKETS, gMaxUs);
}

static int runSub(const char* url, const char* subject, int count, const sigset_t* stop)
{
    gBuckets = calloc(BUCKETS, sizeof *gBuckets);
    natsConnection* nc = connectTo(url, false, count > 1);
    natsSubscription** subs = calloc((size_t)count, sizeof *subs);
    const uint64_t t0 = nowNs();
    char name[512];
    for (int i = 0; i < count; ++i)
    {
        if (count > 1)
            snprintf(name, sizeof name, "%s.%d", subject, i);
        else
            snprintf(name, sizeof name, "%s", subject);
        natsStatus s = natsConnection_Subscribe(&subs[i], nc, name, onMsg, NULL);
        if (s != NATS_OK)
            die("subscribe", s);
    }
    /* The round trip makes sure the server has every subscription. */
    natsStatus s = natsConnection_Flush(nc);
    if (s != NATS_OK)
        die("flush", s);
    printf("SUBSCRIBED %d in %.1f ms\n", count, (double)(nowNs() - t0) / 1e6);
    fflush(stdout);
    unsigned long long last = 0;
    while (!stopRequested(stop, 1000))
    {
        unsigned long long n = atomic_load(&gReceived);
        if (n != last || count == 1)
        {
            printf("RATE %llu\n", n - last);
            fflush(stdout);
        }
        last = n;
    }
    int64_t dropped = 0, d = 0;
    for (int i = 0; i < count; ++i)
    {
        natsSubscription_Drain(subs[i]);
        natsSubscription_WaitForDrainCompletion(subs[i], 2000);
        if (natsSubscription_GetDropped(subs[i], &d) == NATS_OK)
            dropped += d;
        natsSubscription_Destroy(subs[i]);
    }
    printHistogram();
    printf("SUMMARY received=%llu gaps=%llu dropped=%lld\n", (unsigned long long)atomic_load(&gReceived),
           (unsigned long long)gGaps, (long long)dropped);
    natsConnection_Destroy(nc);
    return 0;
}

/* ---- ping / pong -------------------------------------------------------- */

static void onPing(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure)
{
    (void)sub;
    natsConnection_Publish(nc, (const char*)closure, natsMsg_GetData(msg), natsMsg_GetDataLength(msg));
    natsMsg_Destroy(msg);
}

static int runPong(const char* url, const char* subject, const sigset_t* stop)
{
    natsConnection* nc = connectTo(url, true, false);
    char ping[512], pong[512];
    snprintf(ping, sizeof ping, "%s.ping", subject);
    snprintf(pong, sizeof pong, "%s.pong", subject);
    natsSubscription* sub = NULL;
    natsStatus s = natsConnection_Subscribe(&sub, nc, ping, onPing, pong);
    if (s == NATS_OK)
        s = natsConnection_Flush(nc);
    if (s != NATS_OK)
        die("subscribe", s);
    printf("READY\n");
    fflush(stdout);
    while (!stopRequested(stop, 1000))
    {
    }
    natsSubscription_Destroy(sub);
    natsConnection_Destroy(nc);
    return 0;
}

static int cmpU64(const void* a, const void* b)
{
    uint64_t x = *(const uint64_t*)a, y = *(const uint64_t*)b;
    return x < y ? -1 : x > y;
}

static int runPing(const char* url, const char* subject, long count, size_t size)
{
    natsConnection* nc = connectTo(url, true, false);
    char ping[512], pong[512];
    snprintf(ping, sizeof ping, "%s.ping", subject);
    snprintf(pong, sizeof pong, "%s.pong", subject);
    natsSubscription* sub = NULL;
    natsStatus s = natsConnection_SubscribeSync(&sub, nc, pong);
    if (s == NATS_OK)
        s = natsConnection_Flush(nc);
    if (s != NATS_OK)
        die("subscribe", s);
    if (size < 16)
        size = 16;
    char* buf = calloc(1, size);
    uint64_t* rtt = calloc((size_t)count, sizeof *rtt);
    long done = 0;
    for (long i = 0; i < count; ++i)
    {
        uint64_t t0 = nowNs();
        memcpy(buf, &i, sizeof i);
        s = natsConnection_Publish(nc, ping, buf, (int)size);
        natsMsg* reply = NULL;
        if (s == NATS_OK)
            s = natsSubscription_NextMsg(&reply, sub, 5000);
        if (s != NATS_OK)
            die("round trip", s);
        natsMsg_Destroy(reply);
        rtt[done++] = nowNs() - t0;
    }
    qsort(rtt, (size_t)done, sizeof *rtt, cmpU64);
    double sum = 0;
    for (long i = 0; i < done; ++i)
        sum += (double)rtt[i];
    printf("ROUNDTRIP count=%ld min=%.2f mean=%.2f p50=%.2f p99=%.2f max=%.2f (usec)\n", done, rtt[0] / 1e3,
           sum / (double)done / 1e3, rtt[done / 2] / 1e3, rtt[(long)((double)done * 0.99)] / 1e3, rtt[done - 1] / 1e3);
    natsSubscription_Destroy(sub);
    natsConnection_Destroy(nc);
    return 0;
}

int main(int argc, char** argv)
{
    /* Blocked in every thread, taken by sigtimedwait in the main one. */
    sigset_t stop;
    blockStopSignals(&stop);
    setvbuf(stdout, NULL, _IOLBF, 0);

    if (argc >= 6 && strcmp(argv[1], "pub") == 0)
        return runPub(argv[2], argv[3], (size_t)atol(argv[4]), atof(argv[5]), &stop);
    if (argc >= 4 && strcmp(argv[1], "sub") == 0)
        return runSub(argv[2], argv[3], argc >= 5 ? atoi(argv[4]) : 1, &stop);
    if (argc >= 4 && strcmp(argv[1], "pong") == 0)
        return runPong(argv[2], argv[3], &stop);
    if (argc >= 6 && strcmp(argv[1], "ping") == 0)
        return runPing(argv[2], argv[3], atol(argv[4]), (size_t)atol(argv[5]));
    fprintf(stderr, "usage: natsbench pub URL SUBJECT SIZE RATE | sub URL SUBJECT [N] | pong URL SUBJECT |"
                    " ping URL SUBJECT COUNT SIZE\n");
    return 2;
}
