#include "properties.h"

#include "logging.h"
#include "transportConfig.h"

#include <mama/integration/mama.h>
#include <property.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

namespace
{

constexpr uint32_t kInitialCapacity = 4;

/* What a log line may show of a property's value. */
const char* shown(const char* name, const char* value)
{
    if (value == nullptr)
        return "(null)";
    return tarnixTransportConfig_isSecret(name) ? "********" : value;
}

} // namespace

TarnixProperties::~TarnixProperties()
{
    for (char* text : mProps)
        std::free(text);
}

TarnixProperties* tarnixProperties_allocate(const char* prefix)
{
    if (prefix == nullptr)
    {
        TARNIX_LOG_ERROR("tarnixProperties_allocate: NULL prefix");
        return nullptr;
    }
    TarnixProperties* props = new (std::nothrow) TarnixProperties();
    if (props == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate TarnixProperties");
        return nullptr;
    }
    try
    {
        props->mPrefix = prefix;
    }
    catch (const std::bad_alloc&)
    {
        TARNIX_LOG_ERROR("Unable to allocate Property Prefix");
        delete props;
        return nullptr;
    }
    try
    {
        props->mProps.reserve(2 * kInitialCapacity + 1);
        props->mProps.push_back(nullptr);
    }
    catch (const std::bad_alloc&)
    {
        TARNIX_LOG_ERROR("Unable to allocate Property Property Array");
        delete props;
        return nullptr;
    }
    props->mPrefixLen = static_cast<uint32_t>(props->mPrefix.size());
    props->mCapacity = kInitialCapacity;
    return props;
}

bool tarnixProperties_append(TarnixProperties* props, const char* name, const char* value)
{
    if (props == nullptr)
    {
        TARNIX_LOG_ERROR("tarnixProperties_append: NULL TarnixProperties");
        return false;
    }
    if (name == nullptr)
    {
        TARNIX_LOG_ERROR("tarnixProperties_append: NULL property name");
        return false;
    }
    if (value == nullptr)
    {
        TARNIX_LOG_ERROR("tarnixProperties_append: NULL property value");
        return false;
    }

    char* nameCopy = strdup(name);
    if (nameCopy == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate Property Name");
        return false;
    }
    char* valueCopy = strdup(value);
    if (valueCopy == nullptr)
    {
        TARNIX_LOG_ERROR("Unable to allocate Property Value");
        std::free(nameCopy);
        return false;
    }

    if (props->mCount >= props->mCapacity)
    {
        uint32_t newCapacity = props->mCapacity * 2;
        TARNIX_LOG_FINER("Resizing properties array from %u to %u", props->mCapacity, newCapacity);
        try
        {
            props->mProps.reserve(2 * static_cast<size_t>(newCapacity) + 1);
        }
        catch (const std::bad_alloc&)
        {
            TARNIX_LOG_ERROR("Unable to allocate Property Array");
            std::free(nameCopy);
            std::free(valueCopy);
            return false;
        }
        props->mCapacity = newCapacity;
    }

    /* Room is reserved, so these cannot reallocate or throw. */
    props->mProps.back() = nameCopy;
    props->mProps.push_back(valueCopy);
    props->mProps.push_back(nullptr);
    ++props->mCount;
    TARNIX_LOG_FINER("Prop %2u: %s = %s ", props->mCount, nameCopy, shown(nameCopy, valueCopy));
    return true;
}

const char** tarnixProperties_getTrxClientProps(TarnixProperties* props)
{
    if (props == nullptr)
    {
        TARNIX_LOG_ERROR("tarnixProperties_getTrxClientProps: NULL TarnixProperties");
        return nullptr;
    }
    return const_cast<const char**>(props->mProps.data());
}

const char* tarnixProperties_get(TarnixProperties* props, const char* name)
{
    if (props == nullptr)
    {
        TARNIX_LOG_ERROR("tarnixProperties_getTrxClientProps: NULL TarnixProperties");
        return nullptr;
    }
    if (name == nullptr)
        return nullptr;
    for (uint32_t i = props->mCount; i > 0; --i)
    {
        const char* pairName = props->mProps[2 * (i - 1)];
        if (strcasecmp(pairName, name) == 0)
            return props->mProps[2 * (i - 1) + 1];
    }
    return nullptr;
}

extern "C" void propertyStoreCallback(const char* name, const char* value, void* closure)
{
    TarnixProperties* props = static_cast<TarnixProperties*>(closure);
    if (props == nullptr || name == nullptr)
        return;
    if (std::strncmp(name, props->mPrefix.c_str(), props->mPrefixLen) != 0)
        return;

    const char* suffix = name + props->mPrefixLen;
    if (std::strchr(suffix, '.') != nullptr)
    {
        TARNIX_LOG_FINER("propertyStoreCallback: skipping name suffix with '.': (%s)%s=%s", props->mPrefix.c_str(),
                         suffix, shown(suffix, value));
        return;
    }
    if (value == nullptr)
    {
        TARNIX_LOG_ERROR("Empty value is not allowed for property %s", name);
        props->mError = true;
        return;
    }
    TARNIX_LOG_FINER("propertyStoreCallback: appending property %s=%s", name, shown(suffix, value));
    if (!tarnixProperties_append(props, suffix, value))
    {
        TARNIX_LOG_ERROR("Unable to store property %s=%s in object %p", name, shown(suffix, value),
                         static_cast<void*>(props));
        props->mError = true;
    }
}

mama_status tarnixProperties_collect(TarnixProperties* props)
{
    if (props == nullptr)
        return MAMA_STATUS_NULL_ARG;
    wproperty_t store = mamaInternal_getProperties();
    if (store == nullptr)
    {
        TARNIX_LOG_FINE("mama properties not yet available");
        return TARNIX_STATUS_PROPERTIES_UNAVAILABLE;
    }
    props->mError = false;
    properties_ForEach(store, propertyStoreCallback, props);
    if (props->mError)
    {
        TARNIX_LOG_ERROR("Failed to initialize property values");
        return MAMA_STATUS_PLATFORM;
    }
    return MAMA_STATUS_OK;
}

mama_status tarnixProperties_create(TarnixProperties** out, const char* prefix)
{
    if (out == nullptr)
        return MAMA_STATUS_NULL_ARG;
    *out = nullptr;
    TarnixProperties* props = tarnixProperties_allocate(prefix);
    if (props == nullptr)
        return MAMA_STATUS_PLATFORM;
    mama_status status = tarnixProperties_collect(props);
    if (status != MAMA_STATUS_OK)
    {
        tarnixProperties_destroy(&props);
        return status;
    }
    *out = props;
    return MAMA_STATUS_OK;
}

void tarnixProperties_destroy(TarnixProperties** props)
{
    if (props == nullptr || *props == nullptr)
    {
        TARNIX_LOG_ERROR("NULL pointer (trxProps_p: %p)", static_cast<void*>(props));
        return;
    }
    delete *props;
    *props = nullptr;
}
