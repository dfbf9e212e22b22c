#include "topic.h"

#include "transport.h"

#include <cstdlib>
#include <cstring>

namespace
{

constexpr char kEscape = '\\';
constexpr size_t kTopicRoom = TARNIX_TOPIC_BUFFER - 1;
constexpr const char kDictionarySuffix[] = "/DATA_DICT";
constexpr const char kDictionaryRoot[] = "_MDDD/";
constexpr const char kDictionaryTopicPrefix[] = "#MDDD/";

bool isInboxTopic(const char* source, const TarnixTransportBridge* transport)
{
    return transport->mInboxTarnixSubPrefixLen != 0 &&
           std::strncmp(source, transport->mInboxTarnixSubPrefix, transport->mInboxTarnixSubPrefixLen) == 0;
}

bool endsWith(const char* text, size_t length, const char* suffix)
{
    const size_t suffixLength = std::strlen(suffix);
    return length >= suffixLength && std::memcmp(text + length - suffixLength, suffix, suffixLength) == 0;
}

} // namespace

size_t tarnixTopic_escape(const char* part, char* out, size_t room, bool escape)
{
    size_t written = 0;
    for (const char* c = part; *c != '\0' && written < room; ++c)
    {
        if (!escape)
        {
            out[written++] = *c;
            continue;
        }
        switch (*c)
        {
            case '.': out[written++] = '/'; break;
            case '/': out[written++] = '^'; break;
            case '^':
            case kEscape:
                if (room - written < 2)
                    return written;
                out[written++] = kEscape;
                out[written++] = *c;
                break;
            default: out[written++] = *c; break;
        }
    }
    return written;
}

size_t tarnixTopic_toSubject(const char* topic, char* out, size_t room)
{
    if (out == nullptr || room == 0)
        return 0;
    size_t written = 0;
    if (topic != nullptr)
    {
        for (const char* c = topic; *c != '\0' && written < room - 1; ++c)
        {
            if (*c == kEscape)
            {
                if (*++c == '\0')
                    break;
                out[written++] = *c;
            }
            else if (*c == '^')
                out[written++] = '/';
            else if (*c == '/')
                out[written++] = '.';
            else
                out[written++] = *c;
        }
    }
    out[written] = '\0';
    return written + 1;
}

bool tarnixTopic_hasWildcard(const char* text)
{
    if (text == nullptr || *text == '\0')
        return false;
    return std::strchr(text, '*') != nullptr || text[std::strlen(text) - 1] == '>';
}

mama_status tarnixTopic_build(const char* root, const char* source, const char* symbol, bool wildcardAllowed,
                              TarnixTransportBridge* transport, char** result)
{
    if (result == nullptr)
        return MAMA_STATUS_NULL_ARG;
    const bool hasSource = source != nullptr && *source != '\0';
    if (hasSource && transport == nullptr)
        return MAMA_STATUS_NULL_ARG;

    char buffer[kTopicRoom + 1];
    size_t room = kTopicRoom;
    size_t length = 0;
    bool previousWrote = false;
    const struct
    {
        const char* text;
        bool escape;
    } parts[] = {
        {root, true},
        {source, !hasSource || !isInboxTopic(source, transport)},
        {symbol, true},
    };
    for (const auto& part : parts)
    {
        if (part.text == nullptr || *part.text == '\0')
            continue;
        if (previousWrote && room > 0)
        {
            buffer[length++] = '/';
            --room;
        }
        const size_t written = tarnixTopic_escape(part.text, buffer + length, room, part.escape);
        length += written;
        room -= written;
        previousWrote = written > 0;
    }
    buffer[length] = '\0';

    if (!wildcardAllowed && tarnixTopic_hasWildcard(buffer))
        return MAMA_STATUS_INVALID_ARG;

    const bool dictionary = std::strncmp(buffer, kDictionaryRoot, sizeof(kDictionaryRoot) - 1) != 0 && length >= 10 &&
                            endsWith(buffer, length, kDictionarySuffix);
    const size_t prefixLength = dictionary ? sizeof(kDictionaryTopicPrefix) - 1 : 0;
    char* topic = static_cast<char*>(std::malloc(prefixLength + length + 1));
    if (topic == nullptr)
        return MAMA_STATUS_NOMEM;
    std::memcpy(topic, kDictionaryTopicPrefix, prefixLength);
    std::memcpy(topic + prefixLength, buffer, length + 1);
    *result = topic;
    return MAMA_STATUS_OK;
}
