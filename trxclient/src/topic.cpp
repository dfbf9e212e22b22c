#include "topic.h"

#include <cstring>

namespace trx
{

trxClient_subCode_t checkTopic(const char* topic)
{
    if (!topic)
        return TRXCLIENT_SUBCODE_PARAM_NULL_PTR;
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(topic); *p; ++p, ++n)
    {
        if (*p < 0x20 || *p == 0x7f)
            return TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX;
        if (n >= TRXCLIENT_MAX_TOPIC_LEN)
            return TRXCLIENT_SUBCODE_TOPIC_TOO_LARGE;
    }
    return n == 0 ? TRXCLIENT_SUBCODE_INVALID_TOPIC_SYNTAX : TRXCLIENT_SUBCODE_OK;
}

bool topicMatches(std::string_view pattern, std::string_view topic)
{
    size_t pp = 0, tp = 0;
    for (;;)
    {
        size_t pe = pattern.find('/', pp);
        bool plast = pe == std::string_view::npos;
        std::string_view pl = pattern.substr(pp, plast ? std::string_view::npos : pe - pp);
        if (plast && pl == ">")
            return tp != std::string_view::npos && tp <= topic.size();
        if (tp == std::string_view::npos)
            return false;
        size_t te = topic.find('/', tp);
        bool tlast = te == std::string_view::npos;
        std::string_view tl = topic.substr(tp, tlast ? std::string_view::npos : te - tp);
        if (pl == "*")
        {
            // any one level
        }
        else if (!pl.empty() && pl.back() == '*')
        {
            if (tl.substr(0, pl.size() - 1) != pl.substr(0, pl.size() - 1))
                return false;
        }
        else if (pl != tl)
        {
            return false;
        }
        if (plast || tlast)
            return plast && tlast;
        pp = pe + 1;
        tp = te + 1;
    }
}

namespace
{
bool needsEscape(unsigned char c)
{
    return c <= 0x20 || c >= 0x7f || c == '.' || c == '%' || c == '*' || c == '>';
}
const char hexDigits[] = "0123456789ABCDEF";
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
} // namespace

void topicToSubject(std::string_view topic, bool pattern, std::string& out)
{
    out.clear();
    out.reserve(topic.size() + 8);
    size_t pos = 0;
    for (;;)
    {
        size_t end = topic.find('/', pos);
        bool last = end == std::string_view::npos;
        std::string_view level = topic.substr(pos, last ? std::string_view::npos : end - pos);
        if (pattern && (level == "*" || (!level.empty() && level.back() == '*')))
        {
            out += '*';
        }
        else if (pattern && last && level == ">")
        {
            out += '>';
        }
        else if (level.empty())
        {
            out += '%';
        }
        else
        {
            for (unsigned char c : level)
            {
                if (needsEscape(c))
                {
                    out += '%';
                    out += hexDigits[c >> 4];
                    out += hexDigits[c & 15];
                }
                else
                {
                    out += static_cast<char>(c);
                }
            }
        }
        if (last)
            break;
        out += '.';
        pos = end + 1;
    }
}

bool subjectToTopic(std::string_view subject, std::string& out)
{
    bool clean = true;
    out.clear();
    out.reserve(subject.size());
    size_t pos = 0;
    for (;;)
    {
        size_t end = subject.find('.', pos);
        bool last = end == std::string_view::npos;
        std::string_view tok = subject.substr(pos, last ? std::string_view::npos : end - pos);
        if (tok != "%")
        {
            for (size_t i = 0; i < tok.size(); ++i)
            {
                bool escaped = tok[i] == '%' && tok.size() - i >= 3;
                int hi = escaped ? hexValue(tok[i + 1]) : -1;
                int lo = escaped ? hexValue(tok[i + 2]) : -1;
                if (hi >= 0 && lo >= 0)
                {
                    clean = clean && (hi | lo) != 0;
                    out += static_cast<char>(hi * 16 + lo);
                    i += 2;
                }
                else
                {
                    out += tok[i]; // not ours: keep foreign subjects readable
                }
            }
        }
        if (last)
            break;
        out += '/';
        pos = end + 1;
    }
    return clean;
}

} // namespace trx
