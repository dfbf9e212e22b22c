// Property arrays (name, value, ..., NULL) as the API takes them.
#pragma once

#include "trxClient.h"

#include <string>
#include <utility>
#include <vector>

namespace trx
{

class Props
{
public:
    // False (with the reason in err) for a dangling name without value.
    bool parse(trxClient_propertyArray_pt props, std::string& err);
    const std::string* get(const char* name) const; // case-insensitive, last wins
    std::string getStr(const char* name, const char* def) const;
    // Integer property into out (def when absent). False, with the last error
    // set (INVALID_PROPERTY_VALUE: "where: what is wrong", or without where),
    // when present but not a number from lo to hi.
    template <class T>
    bool readInt(const char* name, long long def, long long lo, long long hi, T& out, const char* where = nullptr) const
    {
        long long v;
        std::string err;
        if (!getInt(name, def, lo, hi, v, err))
            return refuse(where, err);
        out = static_cast<T>(v);
        return true;
    }
    void set(const std::string& name, const std::string& value);
    const std::vector<std::pair<std::string, std::string>>& all() const { return mKv; }

private:
    bool getInt(const char* name, long long def, long long lo, long long hi, long long& out, std::string& err) const;
    static bool refuse(const char* where, const std::string& err);

    std::vector<std::pair<std::string, std::string>> mKv;
};

} // namespace trx
