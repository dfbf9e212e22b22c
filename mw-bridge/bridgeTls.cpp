#include "bridgeTls.h"

#include "logging.h"

#include <cstdlib>
#include <pthread.h>

namespace
{

constexpr size_t kSlotSize = sizeof(void*);
constexpr size_t kSlotAlign = 8;

pthread_key_t gKey;
bool gKeyValid = false;

void freeSlot(void* slot)
{
    std::free(slot);
}

/* The key lives from library load to unload. OpenMAMA unloads the plug-in at
 * mama_close, so the key must go with it: a destructor left registered would
 * be called into unmapped code at the next thread exit. */
__attribute__((constructor)) void tlsAttach()
{
    if (!gKeyValid && pthread_key_create(&gKey, freeSlot) == 0)
        gKeyValid = true;
}

__attribute__((destructor)) void tlsDetach()
{
    if (!gKeyValid)
        return;
    /* pthread_key_delete runs no destructors; free this thread's slot here.
     * Slots of other live threads go with their threads' ends only while the
     * key exists, so they are lost at unload (one pointer each). */
    std::free(pthread_getspecific(gKey));
    pthread_setspecific(gKey, nullptr);
    pthread_key_delete(gKey);
    gKeyValid = false;
}

} // namespace

void** tarnixBridgeTls_get(void)
{
    if (!gKeyValid)
    {
        TARNIX_LOG_ERROR("Invalid TLS key/index=%d", -1);
        return nullptr;
    }
    void* slot = pthread_getspecific(gKey);
    if (slot != nullptr)
        return static_cast<void**>(slot);

    slot = std::aligned_alloc(kSlotAlign, kSlotSize);
    if (slot == nullptr)
    {
        TARNIX_LOG_ERROR("Could not allocate %d bytes for thread storage", static_cast<int>(kSlotSize));
        return nullptr;
    }
    *static_cast<void**>(slot) = nullptr;
    if (pthread_setspecific(gKey, slot) != 0)
    {
        std::free(slot);
        TARNIX_LOG_ERROR("Could not set thread local storage");
        return nullptr;
    }
    return static_cast<void**>(slot);
}
