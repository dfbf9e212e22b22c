#include "bridgeFunctions.h"
#include "clientLibrary.h"
#include "logging.h"
#include "tarnixBridge.h"
#include "tarnixGenReleaseVersion.h"
#include "transport.h"

#include <mama/integration/mama.h>
#include <mama/version.h>
#include <property.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

constexpr const char* kBridgeName = "tarnix";
constexpr const char* kDefaultQueueName = "TARNIX_DEFAULT_MAMA_QUEUE";
constexpr const char* kQueueMaxSizeProperty = "mama.tarnix.transport.queue_max_size";
constexpr const char* kSubscribeAsyncProperty = "mama.tarnix.transport.subscribe_async";
constexpr const char* kDefaultQueueTimeoutProperty = "mama.tarnix.transport.defaultqueue.timeout";
constexpr const char* kClosureFailure = "Could not get tarnix bridge from closure object";

char* gPayloadNames[] = {const_cast<char*>("tarnixmsg"), nullptr};
char gPayloadIds[] = {'1', '\0'};

/* Process-wide, one copy per loaded plug-in. */
timerHeap gTimerHeap = nullptr;
char gVersionText[TARNIX_VERSION_TEXT_SIZE];

const char* propertyValue(const char* name)
{
    wproperty_t store = mamaInternal_getProperties();
    return store != nullptr ? properties_Get(store, name) : nullptr;
}

/* OpenMAMA frees its own part of a bridge that failed to open or has
 * closed; the closure, and with it the init lock, goes here. */
void dropClosure(mamaBridge bridgeImpl, TarnixBridge* bridge)
{
    mamaBridgeImpl_setClosure(bridgeImpl, nullptr);
    delete bridge;
}

/* The default queue and the timer heap while open sets them up: unless open
 * gets through (keep), what exists of them is undone in reverse when this
 * goes. */
class OpenedResources
{
public:
    OpenedResources() = default;
    OpenedResources(const OpenedResources&) = delete;
    OpenedResources& operator=(const OpenedResources&) = delete;
    ~OpenedResources()
    {
        if (mKept)
            return;
        /* destroyHeap waits for the heap's thread to end, so a heap whose
         * thread never started cannot be destroyed: it is left behind. */
        if (mHeapStarted)
            destroyHeap(gTimerHeap);
        if (mHeapCreated)
            gTimerHeap = nullptr;
        if (mDefaultQueue != nullptr)
            mamaQueue_destroy(mDefaultQueue);
    }

    mama_status createDefaultQueue(mamaBridge bridgeImpl)
    {
        mamaQueue queue = nullptr;
        mama_status status = mamaQueue_create(&queue, bridgeImpl);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Failed to create Tarnix queue: %s", mamaStatus_stringForStatus(status));
            return status;
        }
        mDefaultQueue = queue;
        status = mamaImpl_setDefaultEventQueue(bridgeImpl, queue);
        if (status != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Failed to set Tarnix default queue: %s", mamaStatus_stringForStatus(status));
            return status;
        }
        mamaQueue_setQueueName(queue, kDefaultQueueName);
        return MAMA_STATUS_OK;
    }

    mama_status startTimerHeap()
    {
        if (createTimerHeap(&gTimerHeap) != 0)
        {
            TARNIX_LOG_ERROR("tarnixBridge_open(): Failed to initialize timers.");
            gTimerHeap = nullptr;
            return MAMA_STATUS_PLATFORM;
        }
        mHeapCreated = true;
        if (startDispatchTimerHeap(gTimerHeap) != 0)
        {
            TARNIX_LOG_ERROR("tarnixBridge_open(): Failed to start timer thread.");
            return MAMA_STATUS_PLATFORM;
        }
        mHeapStarted = true;
        return MAMA_STATUS_OK;
    }

    void keep() { mKept = true; }

private:
    mamaQueue mDefaultQueue = nullptr;
    bool mHeapCreated = false;
    bool mHeapStarted = false;
    bool mKept = false;
};

/* What open sets up, in order. On failure the caller drops the bridge. */
mama_status openBridge(mamaBridge bridgeImpl, TarnixBridge* bridge)
{
    bridge->mInitLock = wlock_create();
    if (bridge->mInitLock == nullptr)
    {
        TARNIX_LOG_ERROR("Could not allocate TRXC init lock.");
        return MAMA_STATUS_NOMEM;
    }
    mama_status status = tarnixBridgeImpl_buildVersion(gVersionText, sizeof(gVersionText), false);
    if (status != MAMA_STATUS_OK)
        return status;
    OpenedResources opened;
    status = opened.createDefaultQueue(bridgeImpl);
    /* Sockets need no start-up on this platform (OpenMAMA's
     * wsocketstartup/wsocketcleanup are empty here). */
    if (status == MAMA_STATUS_OK)
        status = opened.startTimerHeap();
    if (status != MAMA_STATUS_OK)
        return status;
    bridge->mTransportList.reset(new (std::nothrow) TarnixTransportList());
    if (bridge->mTransportList == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate memory for transport list");
        return MAMA_STATUS_NOMEM;
    }
    opened.keep();
    return MAMA_STATUS_OK;
}

/* destroyHeap stops the timer thread and joins it itself; joining it a
 * second time here would be undefined. */
mama_status stopTimerHeap()
{
    if (gTimerHeap == nullptr)
        return MAMA_STATUS_OK;
    mama_status status = MAMA_STATUS_OK;
    if (destroyHeap(gTimerHeap) != 0)
    {
        TARNIX_LOG_ERROR("tarnixBridge_close(): Failed to destroy Tarnix timer heap.");
        status = MAMA_STATUS_PLATFORM;
    }
    gTimerHeap = nullptr;
    return status;
}

/* Waits for the default queue to empty, for the configured time at most. */
void destroyDefaultQueue(mamaBridge bridgeImpl)
{
    const int timeout = tarnixBridgeImpl_getDefaultQueueTimeout();
    mamaQueue defaultQueue = nullptr;
    mama_status status = mama_getDefaultEventQueue(bridgeImpl, &defaultQueue);
    if (status != MAMA_STATUS_OK)
        TARNIX_LOG_ERROR("Could not get DefaultEventQueue: %s", mamaStatus_stringForStatus(status));
    status = mamaQueue_destroyTimedWait(defaultQueue, timeout);
    if (status == MAMA_STATUS_OK)
        return;
    MamaLogLevel level = MAMA_LOG_LEVEL_ERROR;
    const char* suffix = "";
    if (status == MAMA_STATUS_TIMEOUT && mamaQueue_destroy(defaultQueue) == MAMA_STATUS_QUEUE_OPEN_OBJECTS)
    {
        level = MAMA_LOG_LEVEL_WARN;
        suffix = " Message: 'cannot destroy queue status MAMA_STATUS_QUEUE_OPEN_OBJECTS. Are "
                 "there any objects (subscriptions, inboxes, timers, etc) that reference the "
                 "queue?'";
    }
    TARNIX_LOG(level, "Could not destroy DefaultEventQueue: %s, after %d ms%s", mamaStatus_stringForStatus(status),
               timeout, suffix);
}

/* Transports still listed: destroyed ones whose subscriptions were never
 * freed are quiescent and go now; ones the application never destroyed
 * still have sessions calling into them, so they go only after the context
 * (and with it every session) has. */
mama_status freeTransports(TarnixBridge* bridge)
{
    bridge->mTransportList->takeAll(true).clear();
    mama_status status = tarnixClientLibrary_closeContext(bridge);
    if (status != MAMA_STATUS_OK)
        return status;
    for (std::unique_ptr<TarnixTransportBridge>& transport : bridge->mTransportList->takeAll(false))
    {
        transport->forgetClientHandles();
        transport.reset();
    }
    bridge->mTransportList.reset();
    return MAMA_STATUS_OK;
}

} // namespace

TarnixBridge::~TarnixBridge()
{
    if (mInitLock != nullptr)
        wlock_destroy(mInitLock);
}

mama_status tarnixBridgeImpl_closureOf(mamaBridge bridgeImpl, const char* failure, TarnixBridge** out)
{
    void* closure = nullptr;
    mama_status status = mamaBridgeImpl_getClosure(bridgeImpl, &closure);
    if (status != MAMA_STATUS_OK)
    {
        TARNIX_LOG_ERROR("%s: %s", failure, mamaStatus_stringForStatus(status));
        return status;
    }
    if (closure == nullptr)
    {
        TARNIX_LOG_ERROR("Could not get tarnix bridge. Closure object is NULL.");
        return MAMA_STATUS_PLATFORM;
    }
    *out = static_cast<TarnixBridge*>(closure);
    return MAMA_STATUS_OK;
}

TarnixBridge* tarnixBridgeImpl_getClosure(mamaBridge bridgeImpl)
{
    void* closure = nullptr;
    if (bridgeImpl == nullptr || mamaBridgeImpl_getClosure(bridgeImpl, &closure) != MAMA_STATUS_OK)
        return nullptr;
    return static_cast<TarnixBridge*>(closure);
}

timerHeap tarnixBridgeImpl_getTimerHeap(void)
{
    return gTimerHeap;
}

extern "C"
{

    mama_status tarnixBridge_init(mamaBridge bridgeImpl)
    {
        if (bridgeImpl == nullptr)
        {
            TARNIX_LOG_ERROR("Invalid input argument, impl=NULL.");
            return MAMA_STATUS_NULL_ARG;
        }
        TarnixBridge* bridge = new (std::nothrow) TarnixBridge();
        if (bridge == nullptr)
        {
            TARNIX_LOG_ERROR("Could not allocate memory for tarnix middleware bridge implementation.");
            return MAMA_STATUS_NOMEM;
        }

        char name[MAX_INTERNAL_PROP_LEN];
        char value[MAX_INTERNAL_PROP_LEN];
        std::snprintf(name, sizeof(name), "mama.%s.compile_version", kBridgeName);
        std::snprintf(value, sizeof(value), "%d.%d.%s", MAMA_VERSION_MAJOR, MAMA_VERSION_MINOR, MAMA_VERSION_RELEASE);
        mamaInternal_setMetaProperty(name, value);

        mama_status status = mamaBridgeImpl_setClosure(bridgeImpl, bridge);
        if (status != MAMA_STATUS_OK)
        {
            /* OpenMAMA never got the closure, so nobody else will free it. */
            delete bridge;
            return status;
        }
        return mamaBridgeImpl_setReadOnlyProperty(bridgeImpl, MAMA_PROP_BARE_ENT_DEFERRED, "true");
    }

    mama_status tarnixBridge_open(mamaBridge bridgeImpl)
    {
        if (bridgeImpl == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TarnixBridge* bridge = nullptr;
        mama_status status = tarnixBridgeImpl_closureOf(bridgeImpl, kClosureFailure, &bridge);
        if (status != MAMA_STATUS_OK)
            return status;
        status = openBridge(bridgeImpl, bridge);
        /* OpenMAMA never closes a bridge whose open failed; it frees its own
         * part and unloads the library, so the closure must go here. */
        if (status != MAMA_STATUS_OK)
            dropClosure(bridgeImpl, bridge);
        return status;
    }

    mama_status tarnixBridge_start(mamaQueue defaultEventQueue)
    {
        if (defaultEventQueue == nullptr)
            return MAMA_STATUS_NULL_ARG;
        TARNIX_LOG_FINER("Start dispatching on default event queue.");
        return mamaQueue_dispatch(defaultEventQueue);
    }

    mama_status tarnixBridge_stop(mamaQueue defaultEventQueue)
    {
        return mamaQueue_stopDispatch(defaultEventQueue);
    }

    mama_status tarnixBridge_close(mamaBridge bridgeImpl)
    {
        if (bridgeImpl == nullptr)
            return MAMA_STATUS_NULL_ARG;
        const mama_status heapStatus = stopTimerHeap();
        destroyDefaultQueue(bridgeImpl);
        if (heapStatus != MAMA_STATUS_OK)
        {
            TARNIX_LOG_ERROR("Could not destroy Tarnix Timer Heap: %s", mamaStatus_stringForStatus(heapStatus));
            return MAMA_STATUS_PLATFORM;
        }

        TarnixBridge* bridge = nullptr;
        mama_status status = tarnixBridgeImpl_closureOf(bridgeImpl, kClosureFailure, &bridge);
        if (status != MAMA_STATUS_OK)
            return status;
        status = freeTransports(bridge);
        if (status != MAMA_STATUS_OK)
            return status;
        const bool initialised = bridge->mInitialised;
        dropClosure(bridgeImpl, bridge);
        return initialised ? tarnixClientLibrary_cleanup() : MAMA_STATUS_OK;
    }

    const char* tarnixBridge_getName(void)
    {
        return kBridgeName;
    }

    const char* tarnixBridge_getVersion(void)
    {
        return gVersionText;
    }

    mama_status tarnixBridge_getDefaultPayloadId(char*** name, char** id)
    {
        if (name == nullptr || id == nullptr)
            return MAMA_STATUS_NULL_ARG;
        *name = gPayloadNames;
        *id = gPayloadIds;
        return MAMA_STATUS_OK;
    }

} // extern "C"

mama_status tarnixBridgeImpl_readSettings(TarnixBridge* bridge)
{
    if (bridge == nullptr)
        return MAMA_STATUS_NULL_ARG;

    uint64_t maxQueueSize = TARNIX_DEFAULT_MAX_QUEUE_SIZE;
    const char* text = propertyValue(kQueueMaxSizeProperty);
    if (text != nullptr)
    {
        errno = 0;
        /* A leading minus negates modulo 2^64, so a negative number reads as
         * a huge one and is truncated below. */
        uint64_t value = static_cast<uint64_t>(std::strtoumax(text, nullptr, 10));
        if (errno != 0 && value == 0)
        {
            TARNIX_LOG_ERROR("Error converting mama.tarnix.transport.queue_max_size to integer: %s; "
                             "val: %" PRIu64,
                             std::strerror(errno), value);
            return MAMA_STATUS_PLATFORM;
        }
        if (value > TARNIX_MAX_QUEUE_SIZE_LIMIT)
        {
            TARNIX_LOG_WARN("mama.tarnix.transport.queue_max_size too large or negative, truncating "
                            "to %" PRIu64 ".",
                            TARNIX_MAX_QUEUE_SIZE_LIMIT);
            maxQueueSize = TARNIX_MAX_QUEUE_SIZE_LIMIT;
        }
        else if (value == 0)
        {
            TARNIX_LOG_ERROR("Value (%" PRIu64 ") for mama.tarnix.transport.queue_max_size too small", value);
            return MAMA_STATUS_PLATFORM;
        }
        else
        {
            TARNIX_LOG_FINER("Maximum queue size set to %" PRIu64 ".", value);
            maxQueueSize = value;
        }
    }
    bridge->mMaxQueueSize.store(maxQueueSize);

    bool subscribeAsync = true;
    text = propertyValue(kSubscribeAsyncProperty);
    if (text != nullptr)
        subscribeAsync = properties_GetPropertyValueAsBoolean(text) != 0;
    bridge->mSubscribeAsync.store(subscribeAsync);
    TARNIX_LOG_FINER("Asynchronous subscriptions are %s", subscribeAsync ? "enabled" : "disabled");
    return MAMA_STATUS_OK;
}

int tarnixBridgeImpl_getDefaultQueueTimeout(void)
{
    int timeout = mamaBridgeImpl_getDefaultQueueTimeout();
    const char* text = propertyValue(kDefaultQueueTimeoutProperty);
    if (text != nullptr && strnlen(text, 11) != 0)
    {
        /* atoi without its undefined behaviour on overflow. */
        long value = std::strtol(text, nullptr, 10);
        if (value > INT_MAX)
            value = INT_MAX;
        else if (value < INT_MIN)
            value = INT_MIN;
        timeout = static_cast<int>(value);
    }
    if (timeout > 0)
        return timeout;
    TARNIX_LOG_WARN("Tarnix bridge default event queue timeout %d ms is invalid. Using default %d ms.", timeout,
                    TARNIX_DEFAULT_QUEUE_TIMEOUT_FALLBACK_MS);
    return TARNIX_DEFAULT_QUEUE_TIMEOUT_FALLBACK_MS;
}

mama_status tarnixBridgeImpl_initClientLibrary(TarnixBridge* bridge)
{
    if (bridge == nullptr || bridge->mInitLock == nullptr)
        return MAMA_STATUS_NULL_ARG;

    wlock_lock(bridge->mInitLock);
    mama_status status = MAMA_STATUS_OK;
    if (!bridge->mInitialised)
    {
        status = tarnixClientLibrary_initialise(bridge, gVersionText, sizeof(gVersionText));
        if (status == MAMA_STATUS_OK)
            bridge->mInitialised = true;
    }
    wlock_unlock(bridge->mInitLock);
    return status;
}

/* ---- transport list ---------------------------------------------------- */

TarnixTransportList::TarnixTransportList() = default;

TarnixTransportList::~TarnixTransportList() = default;

TarnixTransportBridge* TarnixTransportList::add(std::unique_ptr<TarnixTransportBridge>& transport)
{
    try
    {
        mTransports.push_back(std::move(transport));
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
    return mTransports.back().get();
}

std::unique_ptr<TarnixTransportBridge> TarnixTransportList::remove(TarnixTransportBridge* transport)
{
    for (auto it = mTransports.begin(); it != mTransports.end(); ++it)
    {
        if (it->get() == transport)
        {
            std::unique_ptr<TarnixTransportBridge> removed = std::move(*it);
            mTransports.erase(it);
            return removed;
        }
    }
    return nullptr;
}

TarnixTransportBridge* TarnixTransportList::findByName(const char* name) const
{
    /* A destroyed transport that subscriptions still hold has no session
     * and never blocks its name. */
    for (const auto& transport : mTransports)
        if (transport->mSession.load() != nullptr && transport->mName == name)
            return transport.get();
    return nullptr;
}

bool TarnixTransportList::isLive(const TarnixTransportBridge* transport, mamaTransport parent) const
{
    for (const auto& listed : mTransports)
        if (listed.get() == transport)
            return parent != nullptr && transport->mSession.load() != nullptr && transport->mTransport.load() == parent;
    return false;
}

std::vector<std::unique_ptr<TarnixTransportBridge>> TarnixTransportList::takeAll(bool destroyed)
{
    std::vector<std::unique_ptr<TarnixTransportBridge>> taken;
    for (auto& transport : mTransports)
    {
        if (transport->mDestroyed != destroyed)
            continue;
        /* Growing taken may fail; the transport then stays listed and goes
         * with the list. */
        try
        {
            taken.push_back(std::move(transport));
        }
        catch (const std::bad_alloc&)
        {
            break;
        }
    }
    mTransports.erase(std::remove(mTransports.begin(), mTransports.end(), nullptr), mTransports.end());
    return taken;
}
