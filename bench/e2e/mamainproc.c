/* Publisher and subscriber in one process, through OpenMAMA with the tarnix
 * middleware and the tarnixmsg payload: the in-process broker exists only
 * inside one process, and OpenMAMA's stock performance tools each run one
 * end of the data path, so this program puts both ends on it.
 *
 *   mamainproc [-fields N] [-rate R] [-window W] [-warmup S] [-duration S]
 *              [-pubtport NAME] [-subtport NAME] [-broker NAME]
 *
 * A publisher thread sends the market-data update mdgen writes (N fields,
 * 10 by default), stamping the sequence number (fid 10) and the send time
 * (fid 16, CLOCK_REALTIME with nanoseconds) into every message, as
 * mamaproducerc_v2 does. R 0 (the default): as fast as the window allows;
 * otherwise R messages a second, paced on absolute times by spinning on the
 * clock as mamaproducerc_v2 -rt and natsbench do.
 *
 * The subscriber is a basic subscription on a queue with its own dispatcher
 * thread; its callback counts messages, sequence gaps and the messages lost
 * in them, and, S seconds (2) after the first message, fills a latency
 * histogram of 1 us buckets (send time to callback).
 *
 * Both ends use their own transport, so each has its own session on the
 * broker as in a two-process setup. Transports named in mama.properties
 * (WOMBAT_PATH) are taken as they stand; otherwise the program sets
 * SESSION_HOST=inproc://NAME (-broker, "mamainproc") and
 * allow_recover_gaps=true for them.
 *
 * Prints "RATE delivered PUB published GAPS gaps LOST lost" every second
 * (the last two since the start) until SIGINT or SIGTERM, or -duration
 * seconds; then the histogram in mamaconsumerc_v2's bucket format,
 * "SUMMARY published=.. received=.. gaps=.. lost=.. send_failures=.." and
 * "PERCENTILES p50 p99 p99.9" (us, bucket upper bounds). */
#define _GNU_SOURCE
#include "latency.h"

#include "mdMsg.h"
#include "../benchProgram.h"

#include <mama/mama.h>

#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define BUCKETS 100000 /* 1 us each: 100 ms; the last bucket takes the rest */

/* Flat out, the publisher can outrun the subscriber (it does as soon as it
 * has a core of its own): the subscriber's transport suspends its session
 * once the OpenMAMA queue holds queue_max_size events, the session then
 * holds SESSION_BUFFER_MSG_LIMIT messages and discards the rest. Losing
 * most messages measures the discard path, not delivery, and the publisher
 * spends the CPU the subscriber needs. So by default the publisher keeps at
 * most this many messages in flight (published, not yet delivered), well
 * under both limits: it runs at the pace the subscriber sustains, and a loss
 * would still show as a gap. When the window is full it sleeps until half of
 * it has been delivered; spinning would count as CPU per message. -window 0
 * lifts the limit. */
#define DEFAULT_WINDOW 10000

static uint64_t nowNs(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

/* ---- options -------------------------------------------------------------- */

static int gFields = 10;
static double gRate = 0;
static uint64_t gWindow = DEFAULT_WINDOW;
static double gWarmupS = 2;
static double gDurationS = 0;
static const char* gPubTport = "inproc_pub";
static const char* gSubTport = "inproc_sub";
static const char* gBroker = "mamainproc";

static void usage(void)
{
    fprintf(stderr, "usage: mamainproc [-fields N] [-rate R] [-window W] [-warmup S] [-duration S]\n"
                    "                  [-pubtport NAME] [-subtport NAME] [-broker NAME]\n");
    exit(2);
}

static void parseArgs(int argc, char** argv)
{
    for (int i = 1; i < argc; i += 2)
    {
        if (i + 1 >= argc)
            usage();
        const char *o = argv[i], *v = argv[i + 1];
        char* end = NULL;
        if (strcmp(o, "-fields") == 0)
            gFields = (int)strtol(v, &end, 10);
        else if (strcmp(o, "-rate") == 0)
            gRate = strtod(v, &end);
        else if (strcmp(o, "-window") == 0)
            gWindow = strtoull(v, &end, 10);
        else if (strcmp(o, "-warmup") == 0)
            gWarmupS = strtod(v, &end);
        else if (strcmp(o, "-duration") == 0)
            gDurationS = strtod(v, &end);
        else if (strcmp(o, "-pubtport") == 0)
            gPubTport = v;
        else if (strcmp(o, "-subtport") == 0)
            gSubTport = v;
        else if (strcmp(o, "-broker") == 0)
            gBroker = v;
        else
            usage();
        if (end != NULL && (*end != '\0' || end == v))
            usage();
    }
    if (gFields < 10 || gRate < 0 || gWarmupS < 0 || gDurationS < 0 || strcmp(gPubTport, gSubTport) == 0)
    {
        fprintf(stderr, "mamainproc: need -fields >= 10, -rate, -warmup, -duration >= 0 and two transport names\n");
        exit(2);
    }
}

/* ---- subscriber ----------------------------------------------------------- */

/* The publisher's count, and its wait for room in the window: it sleeps on
 * gRoom while gPubWaiting is set. */
static atomic_ullong gPublished;
static atomic_int gPubWaiting;
static pthread_mutex_t gRoomLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gRoom = PTHREAD_COND_INITIALIZER;

/* Written by the dispatcher thread only; the other threads read the atomics
 * while it runs, everything else once it has stopped. */
static atomic_ullong gReceived;
static atomic_ullong gGaps;
static atomic_ullong gLost;
static atomic_int gSubscribed;
static uint32_t gExpected = 0;
static uint64_t gFirstNs = 0, gMaxUs = 0, gMissingFields = 0;
static uint64_t* gBuckets;
static mamaDateTime gRecvTime;

static void MAMACALLTYPE onCreate(mamaSubscription sub, void* closure)
{
    (void)sub;
    (void)closure;
    atomic_store(&gSubscribed, 1);
}

static void MAMACALLTYPE onError(mamaSubscription sub, mama_status status, void* platformError, const char* subject,
                                 void* closure)
{
    (void)sub;
    (void)platformError;
    (void)closure;
    fprintf(stderr, "mamainproc: subscription error on %s: %s\n", subject ? subject : "?",
            mamaStatus_stringForStatus(status));
}

static void MAMACALLTYPE onMsg(mamaSubscription sub, mamaMsg msg, void* closure, void* itemClosure)
{
    (void)sub;
    (void)closure;
    (void)itemClosure;
    const uint64_t t = nowNs(CLOCK_REALTIME);
    mama_u32_t seq = 0;
    mama_i64_t sec = 0;
    mama_u32_t nsec = 0;
    if (mamaMsg_getU32(msg, NULL, MDMSG_SEQNUM_FID, &seq) != MAMA_STATUS_OK ||
        mamaMsg_getDateTime(msg, NULL, MDMSG_SENDTIME_FID, gRecvTime) != MAMA_STATUS_OK ||
        mamaDateTime_getEpochTimeExt(gRecvTime, &sec, &nsec) != MAMA_STATUS_OK)
    {
        ++gMissingFields;
    }
    else
    {
        if (gExpected != 0 && seq != gExpected)
        {
            atomic_store_explicit(&gGaps, atomic_load_explicit(&gGaps, memory_order_relaxed) + 1, memory_order_relaxed);
            if (seq > gExpected)
                atomic_store_explicit(&gLost, atomic_load_explicit(&gLost, memory_order_relaxed) + (seq - gExpected),
                                      memory_order_relaxed);
        }
        gExpected = seq + 1;
        if (gFirstNs == 0)
            gFirstNs = t;
        if ((double)(t - gFirstNs) >= gWarmupS * 1e9)
        {
            const uint64_t sent = (uint64_t)sec * 1000000000ull + nsec;
            const uint64_t us = t > sent ? (t - sent) / 1000 : 0;
            if (us > gMaxUs)
                gMaxUs = us;
            ++gBuckets[us < BUCKETS ? us : BUCKETS - 1];
        }
    }
    /* Sequentially consistent, as is the publisher's flag: one of the two
     * sees the other's store, so no wake-up is lost. */
    const uint64_t received = atomic_load_explicit(&gReceived, memory_order_relaxed) + 1;
    atomic_store(&gReceived, received);
    if (atomic_load(&gPubWaiting) &&
        atomic_load(&gPublished) - received - atomic_load_explicit(&gLost, memory_order_relaxed) <= gWindow / 2)
    {
        pthread_mutex_lock(&gRoomLock);
        pthread_cond_signal(&gRoom);
        pthread_mutex_unlock(&gRoomLock);
    }
}

/* ---- publisher ------------------------------------------------------------ */

static atomic_ullong gSendFailures;
static atomic_int gStop;

struct pubArgs
{
    mamaPublisher publisher;
    mamaMsg msg;
    mamaDateTime sendTime;
};

static uint64_t inFlight(uint64_t published)
{
    return published - atomic_load(&gReceived) - atomic_load_explicit(&gLost, memory_order_relaxed);
}

/* Sleeps until no more than half the window is in flight. Messages lost at
 * the tail are not known as lost until a later one arrives, so after 100 ms
 * without delivery it returns anyway. */
static void waitForRoom(uint64_t published)
{
    pthread_mutex_lock(&gRoomLock);
    atomic_store(&gPubWaiting, 1);
    uint64_t last = atomic_load(&gReceived), idleMs = 0;
    while (inFlight(published) > gWindow / 2 && idleMs < 100 && !atomic_load(&gStop))
    {
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 10000000L;
        if (until.tv_nsec >= 1000000000L)
        {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        pthread_cond_timedwait(&gRoom, &gRoomLock, &until);
        const uint64_t now = atomic_load(&gReceived);
        idleMs = now == last ? idleMs + 10 : 0;
        last = now;
    }
    atomic_store(&gPubWaiting, 0);
    pthread_mutex_unlock(&gRoomLock);
}

static void* publishLoop(void* arg)
{
    const struct pubArgs* a = arg;
    const uint64_t start = nowNs(CLOCK_MONOTONIC);
    uint64_t seq = 0;
    while (!atomic_load_explicit(&gStop, memory_order_relaxed))
    {
        if (gRate > 0)
        {
            const uint64_t due = start + (uint64_t)((double)seq * 1e9 / gRate);
            while (nowNs(CLOCK_MONOTONIC) < due && !atomic_load_explicit(&gStop, memory_order_relaxed))
                ;
            if (atomic_load_explicit(&gStop, memory_order_relaxed))
                break;
        }
        else if (gWindow > 0 && seq - atomic_load(&gReceived) - atomic_load(&gLost) >= gWindow)
        {
            waitForRoom(seq);
            if (atomic_load_explicit(&gStop, memory_order_relaxed))
                break;
        }
        ++seq;
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        mama_status s = mamaMsg_updateU32(a->msg, NULL, MDMSG_SEQNUM_FID, (mama_u32_t)seq);
        if (s == MAMA_STATUS_OK)
            s = mamaDateTime_setEpochTimeExt(a->sendTime, ts.tv_sec, (mama_u32_t)ts.tv_nsec);
        if (s == MAMA_STATUS_OK)
            s = mamaMsg_updateDateTime(a->msg, NULL, MDMSG_SENDTIME_FID, a->sendTime);
        if (s == MAMA_STATUS_OK)
            s = mamaPublisher_send(a->publisher, a->msg);
        if (s != MAMA_STATUS_OK)
        {
            if (atomic_fetch_add(&gSendFailures, 1) == 0)
                fprintf(stderr, "mamainproc: send failed: %s\n", mamaStatus_stringForStatus(s));
        }
        atomic_store(&gPublished, seq);
    }
    return NULL;
}

/* ---- setup ---------------------------------------------------------------- */

/* Points a transport at the in-process broker unless mama.properties says
 * where it goes. */
static void ensureInproc(const char* tport)
{
    char name[256], value[256];
    snprintf(name, sizeof name, "mama.tarnix.transport.%s.SESSION_HOST", tport);
    if (mama_getProperty(name) == NULL)
    {
        snprintf(value, sizeof value, "inproc://%s", gBroker);
        CHECK(mama_setProperty(name, value));
    }
    snprintf(name, sizeof name, "mama.tarnix.transport.%s.allow_recover_gaps", tport);
    if (mama_getProperty(name) == NULL)
        CHECK(mama_setProperty(name, "true"));
    snprintf(name, sizeof name, "mama.tarnix.transport.%s.SESSION_HOST", tport);
    printf("TRANSPORT %s %s\n", tport, mama_getProperty(name));
}

static void printHistogram(void)
{
    printLatencyHistogram(gBuckets, BUCKETS, gMaxUs);
}

int main(int argc, char** argv)
{
    /* Blocked in every thread (OpenMAMA's included, they inherit the mask),
     * taken by sigtimedwait in this one. */
    sigset_t stop;
    blockStopSignals(&stop);
    setvbuf(stdout, NULL, _IOLBF, 0);
    parseArgs(argc, argv);
    gBuckets = calloc(BUCKETS, sizeof *gBuckets);
    if (gBuckets == NULL)
        return 1;

    mamaBridge bridge = NULL;
    mamaPayloadBridge payload = NULL;
    CHECK(mama_loadBridge(&bridge, "tarnix"));
    CHECK(mama_loadPayloadBridge(&payload, "tarnixmsg"));
    CHECK(mama_open());
    ensureInproc(gPubTport);
    ensureInproc(gSubTport);

    mamaTransport pubTport = NULL, subTport = NULL;
    CHECK(mamaTransport_allocate(&subTport));
    CHECK(mamaTransport_create(subTport, gSubTport, bridge));
    CHECK(mamaTransport_allocate(&pubTport));
    CHECK(mamaTransport_create(pubTport, gPubTport, bridge));

    mamaQueue queue = NULL;
    mamaDispatcher dispatcher = NULL;
    CHECK(mamaQueue_create(&queue, bridge));
    CHECK(mamaDispatcher_create(&dispatcher, queue));
    CHECK(mamaDateTime_create(&gRecvTime));

    mamaMsgCallbacks cb;
    memset(&cb, 0, sizeof cb);
    cb.onCreate = onCreate;
    cb.onError = onError;
    cb.onMsg = onMsg;
    mamaSubscription sub = NULL;
    CHECK(mamaSubscription_allocate(&sub));
    CHECK(mamaSubscription_createBasic(sub, subTport, queue, &cb, "BENCH", NULL));
    for (int i = 0; i < 1000 && !atomic_load(&gSubscribed); ++i)
    {
        struct timespec ms10 = {0, 10000000L};
        nanosleep(&ms10, NULL);
    }
    if (!atomic_load(&gSubscribed))
    {
        fprintf(stderr, "mamainproc: the subscription was not created within 10 s\n");
        return 1;
    }

    struct pubArgs pa;
    memset(&pa, 0, sizeof pa);
    CHECK(mamaPublisher_create(&pa.publisher, pubTport, "BENCH", NULL, NULL));
    CHECK(mamaMsg_createForPayloadBridge(&pa.msg, payload));
    CHECK(mamaDateTime_create(&pa.sendTime));
    CHECK(mamaDateTime_setToNow(pa.sendTime));
    CHECK(mdmsg_fill(pa.msg, gFields, "BENCH", pa.sendTime, 0));
    const void* bytes = NULL;
    mama_size_t size = 0;
    CHECK(mamaMsg_getByteBuffer(pa.msg, &bytes, &size));
    printf("SUBSCRIBED fields=%d bytes=%lu rate=%.0f window=%llu\n", gFields, (unsigned long)size, gRate,
           (unsigned long long)gWindow);

    pthread_t pubThread;
    if (pthread_create(&pubThread, NULL, publishLoop, &pa) != 0)
    {
        fprintf(stderr, "mamainproc: cannot start the publisher thread\n");
        return 1;
    }

    /* One line a second, on absolute times. */
    const uint64_t start = nowNs(CLOCK_MONOTONIC);
    uint64_t next = start + 1000000000ull, lastRecv = 0, lastPub = 0;
    for (;;)
    {
        const uint64_t t = nowNs(CLOCK_MONOTONIC);
        if (gDurationS > 0 && (double)(t - start) >= gDurationS * 1e9)
            break;
        if (t < next)
        {
            struct timespec wait = {(time_t)((next - t) / 1000000000ull), (long)((next - t) % 1000000000ull)};
            const int sig = sigtimedwait(&stop, NULL, &wait);
            if (sig == SIGINT || sig == SIGTERM)
                break;
            continue;
        }
        const unsigned long long recv = atomic_load(&gReceived), pub = atomic_load(&gPublished);
        printf("RATE %llu PUB %llu GAPS %llu LOST %llu\n", recv - lastRecv, pub - lastPub, atomic_load(&gGaps),
               atomic_load(&gLost));
        lastRecv = recv;
        lastPub = pub;
        next += 1000000000ull;
    }

    atomic_store(&gStop, 1);
    pthread_join(pubThread, NULL);
    /* Let what is in flight arrive (a second at most), so that the summary
     * counts the tail as delivered rather than lost. */
    for (int i = 0; i < 100; ++i)
    {
        const unsigned long long before = atomic_load(&gReceived);
        if (before + atomic_load(&gLost) >= atomic_load(&gPublished))
            break;
        struct timespec ms10 = {0, 10000000L};
        nanosleep(&ms10, NULL);
        if (atomic_load(&gReceived) == before && i >= 20)
            break;
    }

    mamaSubscription_destroy(sub);
    mamaDispatcher_destroy(dispatcher);
    mamaSubscription_deallocate(sub);
    mamaPublisher_destroy(pa.publisher);
    mamaQueue_destroyTimedWait(queue, 2000);
    mamaTransport_destroy(pubTport);
    mamaTransport_destroy(subTport);
    mamaMsg_destroy(pa.msg);
    mamaDateTime_destroy(pa.sendTime);
    mamaDateTime_destroy(gRecvTime);

    printHistogram();
    printf("SUMMARY published=%llu received=%llu gaps=%llu lost=%llu send_failures=%llu missing_fields=%llu\n",
           atomic_load(&gPublished), atomic_load(&gReceived), atomic_load(&gGaps), atomic_load(&gLost),
           atomic_load(&gSendFailures), (unsigned long long)gMissingFields);
    mama_close();
    free(gBuckets);
    return 0;
}
