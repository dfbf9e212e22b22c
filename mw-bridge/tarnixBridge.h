/* The bridge closure OpenMAMA keeps for the "tarnix" middleware, the
 * transport list, and the bridge-wide settings. */
#ifndef TARNIX_MW_TARNIXBRIDGE_H
#define TARNIX_MW_TARNIXBRIDGE_H

#include "mamaIntegration.h"
#include <timers.h>
#include <trxClient.h>
#include <wlock.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct TarnixTransportBridge;

/* The bridge's transports, owned here from a successful creation until
 * their final release or the bridge's close. Guarded by the bridge's
 * mTransportListLock. */
class TarnixTransportList
{
public:
    TarnixTransportList();
    ~TarnixTransportList();
    TarnixTransportList(const TarnixTransportList&) = delete;
    TarnixTransportList& operator=(const TarnixTransportList&) = delete;

    /* Takes transport into the list; null, with transport left to the
     * caller, when out of memory. */
    TarnixTransportBridge* add(std::unique_ptr<TarnixTransportBridge>& transport);
    /* Takes transport out of the list and hands it back; null when it is
     * not listed. */
    std::unique_ptr<TarnixTransportBridge> remove(TarnixTransportBridge* transport);
    /* The listed transport named exactly name that has a session, or null. */
    TarnixTransportBridge* findByName(const char* name) const;
    /* Whether transport is listed, has its session and still belongs to
     * parent: a transport event raised for it may still be delivered. */
    bool isLive(const TarnixTransportBridge* transport, mamaTransport parent) const;
    size_t count() const { return mTransports.size(); }
    /* At close: takes out the transports that are (destroyed true) or are
     * not (false) destroyed. */
    std::vector<std::unique_ptr<TarnixTransportBridge>> takeAll(bool destroyed);

private:
    std::vector<std::unique_ptr<TarnixTransportBridge>> mTransports;
};

constexpr uint64_t TARNIX_DEFAULT_MAX_QUEUE_SIZE = 50000;
constexpr uint64_t TARNIX_MAX_QUEUE_SIZE_LIMIT = 2147483647;
constexpr int TARNIX_DEFAULT_QUEUE_TIMEOUT_FALLBACK_MS = 2000;

struct TarnixBridge
{
    TarnixBridge() = default;
    TarnixBridge(const TarnixBridge&) = delete;
    TarnixBridge& operator=(const TarnixBridge&) = delete;
    /* Frees what open made of it, whether open got through or not. */
    ~TarnixBridge();

    std::unique_ptr<TarnixTransportList> mTransportList;
    std::mutex mTransportListLock;
    wLock mInitLock = nullptr;
    bool mInitialised = false; /* guarded by mInitLock */
    trxClient_opaqueContext_pt mContext = nullptr;
    /* Written once under mInitLock before the first transport exists, then
     * read from any thread. */
    std::atomic<uint64_t> mMaxQueueSize{0};
    std::atomic<bool> mSubscribeAsync{false};
};

/* The closure of an OpenMAMA bridge, or null. */
TarnixBridge* tarnixBridgeImpl_getClosure(mamaBridge bridgeImpl);
/* The same for the bridge's entry points: when there is none, an error line
 * (failure, then the status) and the status to return. */
mama_status tarnixBridgeImpl_closureOf(mamaBridge bridgeImpl, const char* failure, TarnixBridge** out);

/* Process-wide timer heap, created by open and destroyed by close. */
timerHeap tarnixBridgeImpl_getTimerHeap(void);

/* Reads queue_max_size and subscribe_async from OpenMAMA's properties. */
mama_status tarnixBridgeImpl_readSettings(TarnixBridge* bridge);
/* Milliseconds close waits for the default queue. */
int tarnixBridgeImpl_getDefaultQueueTimeout(void);

/* Initialises the client library once per bridge; run by transport creation
 * before anything else touches the library. */
mama_status tarnixBridgeImpl_initClientLibrary(TarnixBridge* bridge);

#endif
