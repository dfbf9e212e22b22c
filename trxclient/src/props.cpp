#include "props.h"

#include "errors.h"

#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace trx
{

bool Props::parse(trxClient_propertyArray_pt props, std::string& err)
{
    if (!props)
        return true;
    for (size_t i = 0; props[i]; i += 2)
    {
        if (!props[i + 1])
        {
            err = std::string("property '") + props[i] + "' has no value";
            return false;
        }
        mKv.emplace_back(props[i], props[i + 1]);
    }
    return true;
}

const std::string* Props::get(const char* name) const
{
    for (auto it = mKv.rbegin(); it != mKv.rend(); ++it)
        if (strcasecmp(it->first.c_str(), name) == 0)
            return &it->second;
    return nullptr;
}

std::string Props::getStr(const char* name, const char* def) const
{
    const std::string* v = get(name);
    return v ? *v : def;
}

bool Props::getInt(const char* name, long long def, long long lo, long long hi, long long& out, std::string& err) const
{
    const std::string* v = get(name);
    if (!v)
    {
        out = def;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    long long x = std::strtoll(v->c_str(), &end, 10);
    if (v->empty() || *end || errno || x < lo || x > hi)
    {
        err = std::string("property ") + name + " = '" + *v + "' is not a number from " + std::to_string(lo) + " to " +
              std::to_string(hi);
        return false;
    }
    out = x;
    return true;
}

bool Props::refuse(const char* where, const std::string& err)
{
    if (where)
        fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s: %s", where, err.c_str());
    else
        fail(TRXCLIENT_SUBCODE_INVALID_PROPERTY_VALUE, "%s", err.c_str());
    return false;
}

void Props::set(const std::string& name, const std::string& value)
{
    mKv.emplace_back(name, value);
}

} // namespace trx
