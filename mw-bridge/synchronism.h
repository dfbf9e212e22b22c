/* One completion path for client-library requests that finish either at once
 * or later through a session event. Before a request the caller creates a
 * correlation tag holding its completion callback and its data; the tag's
 * correlation pointer travels with the request, and the callback runs exactly
 * once for it. */
#ifndef TARNIX_MW_SYNCHRONISM_H
#define TARNIX_MW_SYNCHRONISM_H

#include <mama/mama.h>
#include <wlock.h>

#include <cstddef>
#include <cstdint>

struct TarnixCorrelationTag;
struct TarnixSynchronismContext;

/* Room a tag has for its creator's record unless the creator says how much
 * it needs. */
constexpr size_t TARNIX_TAG_DATA_SIZE = 1024;

/* Runs once per completion. asynchronous: called from the session event
 * handler rather than by the requester right after its call. */
typedef mama_status (*tarnixSynchronismCallback)(bool asynchronous, TarnixSynchronismContext* context);

struct TarnixSynchronismManager
{
    TarnixCorrelationTag* mHead = nullptr; /* outstanding tags, oldest first */
    TarnixCorrelationTag* mTail = nullptr;
    bool mDestroying = false;
    wLock mLock = nullptr; /* guards the tag list and mDestroying */
    /* Counts the tags gone; a destroyer waits for it to change. A count
     * rather than a flag, so a waiter never spins on an old signal. Guarded
     * by a mutex all managers share, with one condition variable: there is
     * a manager per subscription, and waiting is rare. */
    uint64_t mRemovedCount = 0;
};

bool tarnixSynchronismManager_init(TarnixSynchronismManager* manager);
/* No new tags from here on. Tags the client library can no longer be relied
 * on to answer are cancelled (their callbacks see
 * tarnixSynchronismContext_isCancelled); a completion already running is
 * waited for. */
void tarnixSynchronismManager_destroy(TarnixSynchronismManager* manager);

TarnixCorrelationTag* tarnixSynchronismManager_createCorrelationTag(TarnixSynchronismManager* manager,
                                                                    tarnixSynchronismCallback callback,
                                                                    size_t dataSize = TARNIX_TAG_DATA_SIZE);
void tarnixSynchronismManager_destroyCorrelationTag(TarnixSynchronismManager* manager, TarnixCorrelationTag* tag);
void* tarnixSynchronismManager_getTagData(TarnixCorrelationTag* tag);

/* The value handed to the client library with a request. It identifies the
 * tag without being its address, so an answer that comes after the tag is
 * gone finds nothing instead of someone else's tag. */
void* tarnixSynchronismManager_getCorrelation(TarnixCorrelationTag* tag);

/* Requester, right after the client-library call, with its return code:
 * 2 (in progress) leaves the tag for the session event; anything else runs
 * the callback now. */
mama_status tarnixSynchronismManager_processSyncResult(TarnixSynchronismManager* manager, TarnixCorrelationTag* tag,
                                                       int returnCode);
/* Session event handler, with the event's correlation pointer: 0 for a
 * confirmation, -1 for a failure. A correlation no tag answers to any more
 * gives MAMA_STATUS_NOT_FOUND. */
mama_status tarnixSynchronismManager_processAsyncResult(void* correlation, int returnCode);

void* tarnixSynchronismContext_getTagData(TarnixSynchronismContext* context);
int tarnixSynchronismContext_getReturnCode(TarnixSynchronismContext* context);
void tarnixSynchronismContext_setReturnCode(TarnixSynchronismContext* context, int returnCode);
/* A callback that sets keep is called again (or, with return code 2,
 * stays for the session event). */
void tarnixSynchronismContext_setKeep(TarnixSynchronismContext* context, bool keep);
/* The request will not be answered: only clean up. */
bool tarnixSynchronismContext_isCancelled(TarnixSynchronismContext* context);

#endif
