#include "synchronism.h"

#include "logging.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <unordered_map>

/* The creator's record follows the tag in the same allocation, with the
 * room its creator asked for: a subscription has a tag outstanding until the
 * broker confirms it, and there may be very many of those at once. */
struct TarnixCorrelationTag
{
    TarnixSynchronismManager* mManager;
    tarnixSynchronismCallback mCallback;
    uint64_t mId;
    TarnixCorrelationTag* mPrev;
    TarnixCorrelationTag* mNext;
};

struct TarnixSynchronismContext
{
    TarnixCorrelationTag* mTag;
    bool mKeep;
    bool mCancelled;
    int mReturnCode;
};

namespace
{

constexpr size_t kTagDataOffset = (sizeof(TarnixCorrelationTag) + alignof(std::max_align_t) - 1) /
                                  alignof(std::max_align_t) * alignof(std::max_align_t);

TarnixCorrelationTag* allocateTag(size_t dataSize)
{
    void* memory = ::operator new(kTagDataOffset + dataSize, std::nothrow);
    return memory != nullptr ? new (memory) TarnixCorrelationTag : nullptr;
}

void freeTag(TarnixCorrelationTag* tag)
{
    tag->~TarnixCorrelationTag();
    ::operator delete(tag);
}

/* Tags that may still be answered, by correlation. A completion takes its
 * tag out before running the callback, so the tag is "in flight" while the
 * callback runs and neither a second answer nor a cancellation can reach it.
 * Taken inside a manager's lock, never the other way round. */
std::mutex gOutstandingMutex;
std::unordered_map<uint64_t, TarnixCorrelationTag*> gOutstanding;
std::atomic<uint64_t> gNextId{1};

/* Guard every manager's mRemovedCount and wake its destroyer. */
std::mutex gRemovedMutex;
std::condition_variable gRemoved;

bool publish(TarnixCorrelationTag* tag)
{
    std::lock_guard<std::mutex> lock(gOutstandingMutex);
    try
    {
        gOutstanding.emplace(tag->mId, tag);
        return true;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

/* Takes the tag answering to id out of the outstanding set; null when none
 * does (already completed, in flight, cancelled, or never existed). */
TarnixCorrelationTag* take(uint64_t id)
{
    std::lock_guard<std::mutex> lock(gOutstandingMutex);
    auto it = gOutstanding.find(id);
    if (it == gOutstanding.end())
        return nullptr;
    TarnixCorrelationTag* tag = it->second;
    gOutstanding.erase(it);
    return tag;
}

void signalRemoved(TarnixSynchronismManager* manager)
{
    {
        std::lock_guard<std::mutex> lock(gRemovedMutex);
        ++manager->mRemovedCount;
    }
    gRemoved.notify_all();
}

void unlink(TarnixSynchronismManager* manager, TarnixCorrelationTag* tag)
{
    if (tag->mPrev != nullptr)
        tag->mPrev->mNext = tag->mNext;
    else
        manager->mHead = tag->mNext;
    if (tag->mNext != nullptr)
        tag->mNext->mPrev = tag->mPrev;
    else
        manager->mTail = tag->mPrev;
}

/* A tag whose callback kept it goes back to waiting for its answer; a
 * destroyer waiting for it to finish looks again (and cancels it). */
void republish(TarnixCorrelationTag* tag)
{
    if (!publish(tag))
        TARNIX_LOG_ERROR("Unable to keep correlation tag %p outstanding", static_cast<void*>(tag));
    signalRemoved(tag->mManager);
}

} // namespace

bool tarnixSynchronismManager_init(TarnixSynchronismManager* manager)
{
    if (manager == nullptr)
        return false;
    manager->mHead = nullptr;
    manager->mTail = nullptr;
    manager->mLock = wlock_create();
    if (manager->mLock == nullptr)
        return false;
    manager->mRemovedCount = 0;
    manager->mDestroying = false;
    return true;
}

void tarnixSynchronismManager_destroy(TarnixSynchronismManager* manager)
{
    if (manager == nullptr || manager->mLock == nullptr)
        return;
    wlock_lock(manager->mLock);
    if (manager->mDestroying)
    {
        wlock_unlock(manager->mLock);
        return;
    }
    manager->mDestroying = true;

    /* The client library may never answer a request whose topic was
     * unsubscribed or whose session was destroyed, so waiting for such an
     * answer could last forever. Tags still waiting are cancelled; only
     * completions already running are waited for. */
    while (manager->mHead != nullptr)
    {
        TarnixCorrelationTag* cancelled = nullptr;
        for (TarnixCorrelationTag* tag = manager->mHead; tag != nullptr; tag = tag->mNext)
        {
            if (take(tag->mId) != nullptr)
            {
                cancelled = tag;
                break;
            }
        }
        if (cancelled != nullptr)
        {
            wlock_unlock(manager->mLock);
            TarnixSynchronismContext context{cancelled, false, true, -1};
            cancelled->mCallback(true, &context);
            tarnixSynchronismManager_destroyCorrelationTag(manager, cancelled);
            wlock_lock(manager->mLock);
            continue;
        }
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(gRemovedMutex);
            seen = manager->mRemovedCount;
        }
        wlock_unlock(manager->mLock);
        {
            std::unique_lock<std::mutex> lock(gRemovedMutex);
            gRemoved.wait(lock, [&] { return manager->mRemovedCount != seen; });
        }
        wlock_lock(manager->mLock);
    }
    wlock_unlock(manager->mLock);
    wlock_destroy(manager->mLock);
    manager->mLock = nullptr;
}

TarnixCorrelationTag* tarnixSynchronismManager_createCorrelationTag(TarnixSynchronismManager* manager,
                                                                    tarnixSynchronismCallback callback, size_t dataSize)
{
    if (manager == nullptr || callback == nullptr || manager->mLock == nullptr)
        return nullptr;
    wlock_lock(manager->mLock);
    if (manager->mDestroying)
    {
        wlock_unlock(manager->mLock);
        return nullptr;
    }
    TarnixCorrelationTag* tag = allocateTag(dataSize);
    if (tag == nullptr)
    {
        wlock_unlock(manager->mLock);
        return nullptr;
    }
    tag->mManager = manager;
    tag->mCallback = callback;
    tag->mId = gNextId.fetch_add(1);
    tag->mNext = nullptr;
    tag->mPrev = manager->mTail;
    if (!publish(tag))
    {
        wlock_unlock(manager->mLock);
        freeTag(tag);
        return nullptr;
    }
    if (manager->mTail != nullptr)
        manager->mTail->mNext = tag;
    else
        manager->mHead = tag;
    manager->mTail = tag;
    wlock_unlock(manager->mLock);
    return tag;
}

void tarnixSynchronismManager_destroyCorrelationTag(TarnixSynchronismManager* manager, TarnixCorrelationTag* tag)
{
    if (manager == nullptr || manager->mLock == nullptr)
        return;
    wlock_lock(manager->mLock);
    TarnixCorrelationTag* found = manager->mHead;
    while (found != nullptr && found != tag)
        found = found->mNext;
    if (found == nullptr)
    {
        TARNIX_LOG_ERROR("%s: Cannot find correlation tag %p in manager %p",
                         "tarnixSynchronismManager_destroyCorrelationTag", static_cast<void*>(tag),
                         static_cast<void*>(manager));
    }
    else
    {
        unlink(manager, found);
        /* Nothing may answer to it any more. */
        take(found->mId);
        freeTag(found);
    }
    signalRemoved(manager);
    wlock_unlock(manager->mLock);
}

void* tarnixSynchronismManager_getTagData(TarnixCorrelationTag* tag)
{
    return tag != nullptr ? reinterpret_cast<unsigned char*>(tag) + kTagDataOffset : nullptr;
}

void* tarnixSynchronismManager_getCorrelation(TarnixCorrelationTag* tag)
{
    return tag != nullptr ? reinterpret_cast<void*>(static_cast<uintptr_t>(tag->mId)) : nullptr;
}

mama_status tarnixSynchronismManager_processSyncResult(TarnixSynchronismManager* manager, TarnixCorrelationTag* tag,
                                                       int returnCode)
{
    if (manager == nullptr || tag == nullptr)
        return MAMA_STATUS_NULL_ARG;
    if (returnCode == 2)
        return MAMA_STATUS_OK;
    /* Answered now: no session event may complete it as well. */
    if (take(tag->mId) == nullptr)
        return MAMA_STATUS_OK;

    mama_status result = MAMA_STATUS_OK;
    TarnixSynchronismContext context{tag, false, false, returnCode};
    for (;;)
    {
        mama_status status = tag->mCallback(false, &context);
        if (result == MAMA_STATUS_OK)
            result = status;
        if (!context.mKeep)
        {
            if (context.mReturnCode == 2)
                republish(tag);
            else
                tarnixSynchronismManager_destroyCorrelationTag(manager, tag);
            return result;
        }
        if (context.mReturnCode == 2)
        {
            republish(tag);
            return result;
        }
        context.mKeep = false;
    }
}

mama_status tarnixSynchronismManager_processAsyncResult(void* correlation, int returnCode)
{
    TarnixCorrelationTag* tag = take(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(correlation)));
    if (tag == nullptr)
        return MAMA_STATUS_NOT_FOUND;
    TarnixSynchronismContext context{tag, false, false, returnCode};
    mama_status status = tag->mCallback(true, &context);
    if (context.mKeep)
        republish(tag);
    else
        tarnixSynchronismManager_destroyCorrelationTag(tag->mManager, tag);
    return status;
}

void* tarnixSynchronismContext_getTagData(TarnixSynchronismContext* context)
{
    return context != nullptr ? tarnixSynchronismManager_getTagData(context->mTag) : nullptr;
}

int tarnixSynchronismContext_getReturnCode(TarnixSynchronismContext* context)
{
    return context != nullptr ? context->mReturnCode : -1;
}

void tarnixSynchronismContext_setReturnCode(TarnixSynchronismContext* context, int returnCode)
{
    if (context != nullptr)
        context->mReturnCode = returnCode;
}

void tarnixSynchronismContext_setKeep(TarnixSynchronismContext* context, bool keep)
{
    if (context != nullptr)
        context->mKeep = keep;
}

bool tarnixSynchronismContext_isCancelled(TarnixSynchronismContext* context)
{
    return context != nullptr && context->mCancelled;
}
