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
    // Integer property; false (and err) when present but not a number in range.
    bool getInt(const char* name, long long def, long long lo, long long hi, long long& out, std::string& err) const;
    void set(const std::string& name, const std::string& value);
    const std::vector<std::pair<std::string, std::string>>& all() const { return mKv; }

private:
    std::vector<std::pair<std::string, std::string>> mKv;
};

} // namespace trx
