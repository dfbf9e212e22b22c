/* Initial values from the broker's cache, as OpenMAMA applications see them.
 *
 *   cacheprobe TRANSPORT SOURCE COUNT seed
 *       publishes one initial value for each of the symbols P0..P<COUNT-1>
 *   cacheprobe TRANSPORT SOURCE COUNT ask SECONDS
 *       as mamalistenc does, one subscription at a time to a random symbol,
 *       destroyed once its initial value (or an error) came; for SECONDS.
 *       Prints every answer slower than 200 ms (wall-clock time, ms, status)
 *       and a summary: requests, failed, max and percentiles in ms. OpenMAMA
 *       sends an initial-value request on its throttle's next tick (every
 *       100 ms), whatever the middleware: answers take 0 to 100 ms more.
 *   cacheprobe TRANSPORT SOURCE COUNT sweep SECONDS
 *       subscribes to every symbol at once; prints how many initial values
 *       came, how many errors, and the time to the last answer.
 *
 * OpenMAMA's own re-requests are off (retries 0), so a failure shows as the
 * error the plug-in reported. */
#include "../benchProgram.h"

#include <mama/mama.h>
#include <mama/msgtype.h>
#include <mama/reservedfields.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static mamaBridge gBridge;
static mamaTransport gTransport;
static mamaSource gSource;
static mamaQueue gQueue;
static long gCount;
static double gEnd;

static double monotonic(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double wall(void)
{
    struct timeval t;
    gettimeofday(&t, NULL);
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

static void symbolOf(long i, char* out, size_t n)
{
    snprintf(out, n, "P%ld", i);
}

/* ---- seed ------------------------------------------------------------------------ */

static void seed(const char* sourceName)
{
    mamaMsg msg;
    CHECK(mamaMsg_create(&msg));
    for (long i = 0; i < gCount; ++i)
    {
        char symbol[32];
        symbolOf(i, symbol, sizeof symbol);
        mamaPublisher pub;
        CHECK(mamaPublisher_create(&pub, gTransport, symbol, sourceName, NULL));
        mamaMsg_clear(msg);
        mamaMsg_addI32(msg, MamaFieldMsgType.mName, MamaFieldMsgType.mFid, MAMA_MSG_TYPE_INITIAL);
        mamaMsg_addI32(msg, MamaFieldMsgStatus.mName, MamaFieldMsgStatus.mFid, MAMA_MSG_STATUS_OK);
        mamaMsg_addU32(msg, MamaFieldSeqNum.mName, MamaFieldSeqNum.mFid, 1);
        mamaMsg_addString(msg, NULL, 305, symbol);
        mamaMsg_addF64(msg, NULL, 237, 100.0 + (double)(i % 1000) / 100.0);
        mamaMsg_addF64(msg, NULL, 109, 100.5 + (double)(i % 1000) / 100.0);
        CHECK(mamaPublisher_send(pub, msg));
        mamaPublisher_destroy(pub);
    }
    mamaMsg_destroy(msg);
    printf("seeded %ld symbols\n", gCount);
}

/* ---- ask ------------------------------------------------------------------------- */

static mamaSubscription gSub;
static double gAsked;
static int gDone;
static long gRequests, gFailed, gSlow;
static double* gLatencies;
static long gLatencyCap;

static void MAMACALLTYPE nextEvent(mamaQueue queue, void* closure);

static void finish(const char* status)
{
    if (gDone)
        return;
    gDone = 1;
    double ms = (monotonic() - gAsked) * 1000.0;
    ++gRequests;
    if (strcmp(status, "OK") != 0)
        ++gFailed;
    if (gRequests <= gLatencyCap)
        gLatencies[gRequests - 1] = ms;
    if (ms > 200.0 || strcmp(status, "OK") != 0)
    {
        ++gSlow;
        printf("slow %.3f %.1f %s\n", wall() - ms / 1000.0, ms, status);
    }
    mamaQueue_enqueueEvent(gQueue, nextEvent, NULL);
}

static void MAMACALLTYPE onMsg(mamaSubscription s, mamaMsg msg, void* closure, void* item)
{
    (void)s;
    (void)closure;
    (void)item;
    mamaMsgType t = mamaMsgType_typeForMsg(msg);
    if (t == MAMA_MSG_TYPE_INITIAL || t == MAMA_MSG_TYPE_RECAP)
        finish("OK");
}

static void MAMACALLTYPE onError(mamaSubscription s, mama_status status, void* platformError, const char* subject,
                                 void* closure)
{
    (void)s;
    (void)platformError;
    (void)subject;
    (void)closure;
    finish(mamaStatus_stringForStatus(status));
}

static void MAMACALLTYPE onCreate(mamaSubscription s, void* closure)
{
    (void)s;
    (void)closure;
}

static mamaMsgCallbacks gCallbacks;

static void askNext(void)
{
    if (gSub)
    {
        mamaSubscription_destroy(gSub);
        mamaSubscription_deallocate(gSub);
        gSub = NULL;
    }
    if (monotonic() >= gEnd)
    {
        mama_stop(gBridge);
        return;
    }
    char symbol[32];
    symbolOf(rand() % gCount, symbol, sizeof symbol);
    CHECK(mamaSubscription_allocate(&gSub));
    mamaSubscription_setRetries(gSub, 0);
    mamaSubscription_setTimeout(gSub, 30.0);
    gDone = 0;
    gAsked = monotonic();
    CHECK(mamaSubscription_create(gSub, gQueue, &gCallbacks, gSource, symbol, NULL));
}

static void MAMACALLTYPE nextEvent(mamaQueue queue, void* closure)
{
    (void)queue;
    (void)closure;
    askNext();
}

static int byValue(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static void askReport(void)
{
    long n = gRequests < gLatencyCap ? gRequests : gLatencyCap;
    qsort(gLatencies, (size_t)n, sizeof(double), byValue);
    double p50 = n ? gLatencies[n / 2] : 0, p99 = n ? gLatencies[n * 99 / 100] : 0, max = n ? gLatencies[n - 1] : 0;
    printf("requests %ld failed %ld max_ms %.1f p50_ms %.2f p99_ms %.2f slow %ld\n", gRequests, gFailed, max, p50, p99,
           gSlow);
}

/* ---- sweep ----------------------------------------------------------------------- */

static long gAnswered, gErrors;
static double gStarted, gLastAnswer;
static char* gSeen;

static void sweepAnswer(long i, int ok)
{
    if (gSeen[i])
        return;
    gSeen[i] = 1;
    ok ? ++gAnswered : ++gErrors;
    gLastAnswer = monotonic();
    if (gAnswered + gErrors == gCount)
        mama_stop(gBridge);
}

static void MAMACALLTYPE sweepMsg(mamaSubscription s, mamaMsg msg, void* closure, void* item)
{
    (void)s;
    (void)item;
    mamaMsgType t = mamaMsgType_typeForMsg(msg);
    if (t == MAMA_MSG_TYPE_INITIAL || t == MAMA_MSG_TYPE_RECAP)
        sweepAnswer((long)(size_t)closure, 1);
}

static void MAMACALLTYPE sweepError(mamaSubscription s, mama_status status, void* platformError, const char* subject,
                                    void* closure)
{
    (void)s;
    (void)status;
    (void)platformError;
    (void)subject;
    sweepAnswer((long)(size_t)closure, 0);
}

static void MAMACALLTYPE stopTimer(mamaTimer timer, void* closure)
{
    (void)timer;
    (void)closure;
    mama_stop(gBridge);
}

int main(int argc, char** argv)
{
    if (argc < 5)
    {
        fprintf(stderr, "usage: cacheprobe TRANSPORT SOURCE COUNT seed|ask SECONDS|sweep SECONDS\n");
        return 2;
    }
    const char *tport = argv[1], *sourceName = argv[2], *mode = argv[4];
    gCount = atol(argv[3]);
    const double seconds = argc > 5 ? atof(argv[5]) : 0;
    srand((unsigned)(getpid() ^ time(NULL)));

    CHECK(mama_loadBridge(&gBridge, "tarnix"));
    CHECK(mama_open());
    CHECK(mama_getDefaultEventQueue(gBridge, &gQueue));
    CHECK(mamaTransport_allocate(&gTransport));
    CHECK(mamaTransport_create(gTransport, tport, gBridge));
    CHECK(mamaSource_create(&gSource));
    CHECK(mamaSource_setId(gSource, sourceName));
    CHECK(mamaSource_setSymbolNamespace(gSource, sourceName));
    CHECK(mamaSource_setTransport(gSource, gTransport));

    if (strcmp(mode, "seed") == 0)
    {
        seed(sourceName);
    }
    else if (strcmp(mode, "ask") == 0)
    {
        gCallbacks.onCreate = onCreate;
        gCallbacks.onError = onError;
        gCallbacks.onMsg = onMsg;
        gLatencyCap = 1000000;
        gLatencies = calloc((size_t)gLatencyCap, sizeof(double));
        gEnd = monotonic() + seconds;
        mamaQueue_enqueueEvent(gQueue, nextEvent, NULL);
        mama_start(gBridge);
        if (gSub)
        {
            mamaSubscription_destroy(gSub);
            mamaSubscription_deallocate(gSub);
        }
        askReport();
    }
    else if (strcmp(mode, "sweep") == 0)
    {
        mamaMsgCallbacks cb = {onCreate, sweepError, sweepMsg, NULL, NULL, NULL, NULL};
        mamaSubscription* subs = calloc((size_t)gCount, sizeof *subs);
        gSeen = calloc((size_t)gCount, 1);
        mamaTimer timer;
        CHECK(mamaTimer_create(&timer, gQueue, stopTimer, seconds, NULL));
        gStarted = monotonic();
        for (long i = 0; i < gCount; ++i)
        {
            char symbol[32];
            symbolOf(i, symbol, sizeof symbol);
            CHECK(mamaSubscription_allocate(&subs[i]));
            mamaSubscription_setRetries(subs[i], 0);
            mamaSubscription_setTimeout(subs[i], seconds);
            CHECK(mamaSubscription_create(subs[i], gQueue, &cb, gSource, symbol, (void*)(size_t)i));
        }
        mama_start(gBridge);
        mamaTimer_destroy(timer);
        printf("answered %ld of %ld errors %ld last_answer_s %.2f\n", gAnswered, gCount, gErrors,
               gLastAnswer > 0 ? gLastAnswer - gStarted : -1.0);
        for (long i = 0; i < gCount; ++i)
        {
            mamaSubscription_destroy(subs[i]);
            mamaSubscription_deallocate(subs[i]);
        }
        free(subs);
    }
    else
    {
        fprintf(stderr, "cacheprobe: unknown mode '%s'\n", mode);
        return 2;
    }
    mamaSource_destroy(gSource);
    mamaTransport_destroy(gTransport);
    mama_close();
    return 0;
}
