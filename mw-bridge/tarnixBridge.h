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
#include <vector>

struct TarnixTransportBridge;
struct TarnixTransportNode;

/* Singly linked list whose nodes hold the transport records themselves, with
 * a tail sentinel and a pool of free nodes. Guarded by the bridge's
 * mTransportListLock. */
struct TarnixTransportList
{
    TarnixTransportNode* mHead = nullptr;
    TarnixTransportNode* mTail = nullptr;  /* sentinel, holds no transport */
    uint32_t mCount = 0;
    std::vector<TarnixTransportNode*> mPool;
};

TarnixTransportList* tarnixTransportList_create(void);
/* A node's record for a new transport at the front of the list; a node
 * taken from the pool is not cleared. Null when out of memory. */
TarnixTransportBridge* tarnixTransportList_allocateAtFront(TarnixTransportList* list);
void tarnixTransportList_remove(TarnixTransportList* list, TarnixTransportBridge* transport);
/* First transport named exactly name that has a session, or null. */
TarnixTransportBridge* tarnixTransportList_findByName(TarnixTransportList* list, const char* name);
/* At close: frees what the listed transports that are (destroyed true) or
 * are not (false) destroyed still own; their nodes go with the list. */
void tarnixTransportList_freeTransports(TarnixTransportList* list, bool destroyed);
/* Frees every node, including transports still listed. */
void tarnixTransportList_destroy(TarnixTransportList* list);

constexpr uint64_t TARNIX_DEFAULT_MAX_QUEUE_SIZE = 50000;
constexpr uint64_t TARNIX_MAX_QUEUE_SIZE_LIMIT = 2147483647;
constexpr int TARNIX_DEFAULT_QUEUE_TIMEOUT_FALLBACK_MS = 2000;

struct TarnixBridge
{
    TarnixTransportList* mTransportList = nullptr;
    wLock mTransportListLock = nullptr;
    wLock mInitLock = nullptr;
    bool mInitialised = false;           /* guarded by mInitLock */
    trxClient_opaqueContext_pt mContext = nullptr;
    /* Written once under mInitLock before the first transport exists, then
     * read from any thread. */
    std::atomic<uint64_t> mMaxQueueSize{0};
    std::atomic<bool> mSubscribeAsync{false};
};

/* The closure of an OpenMAMA bridge, or null. */
TarnixBridge* tarnixBridgeImpl_getClosure(mamaBridge bridgeImpl);

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
