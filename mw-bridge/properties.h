/* Property arrays for the client library: a null-terminated list of owned
 * name, value, name, value, ... texts, filled from OpenMAMA's property
 * store under a name prefix. Later pairs win on lookup. */
#ifndef TARNIX_MW_PROPERTIES_H
#define TARNIX_MW_PROPERTIES_H

#include <mama/mama.h>

#include <cstdint>
#include <string>
#include <vector>

/* Status of a collection attempted before OpenMAMA has a property store. */
constexpr mama_status TARNIX_STATUS_PROPERTIES_UNAVAILABLE = static_cast<mama_status>(5005);

struct TarnixProperties
{
    std::string mPrefix;
    std::vector<char*> mProps; /* 2 * mCount texts, then one null pointer */
    uint32_t mPrefixLen = 0;
    uint32_t mCount = 0;
    uint32_t mCapacity = 0; /* pairs the array has room for */
    bool mError = false;

    TarnixProperties() = default;
    TarnixProperties(const TarnixProperties&) = delete;
    TarnixProperties& operator=(const TarnixProperties&) = delete;
    ~TarnixProperties();
};

TarnixProperties* tarnixProperties_allocate(const char* prefix);
bool tarnixProperties_append(TarnixProperties* props, const char* name, const char* value);
/* The array as the client library takes it; valid until the next append. */
const char** tarnixProperties_getTrxClientProps(TarnixProperties* props);
/* Value of the last pair whose name matches ignoring case, or null. */
const char* tarnixProperties_get(TarnixProperties* props, const char* name);
mama_status tarnixProperties_collect(TarnixProperties* props);
mama_status tarnixProperties_create(TarnixProperties** out, const char* prefix);
void tarnixProperties_destroy(TarnixProperties** props);

/* properties_ForEach callback; closure is the TarnixProperties. */
extern "C" void propertyStoreCallback(const char* name, const char* value, void* closure);

#endif
