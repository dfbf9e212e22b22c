#include "msg.h"

#include "envelope.h"
#include "errors.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

namespace trx
{

Msg::~Msg()
{
    magic = 0;
    releaseBackend();
}

void Msg::releaseBackend()
{
    if (backendMsg)
        releaseBackendMsg(backendMsg);
    backendMsg = nullptr;
}

void Msg::setOwnedAttachment(const void* p, uint32_t n)
{
    attOwned.assign(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    attPtr = attOwned.data();
    attLen = n;
    hasAtt = true;
}

void Msg::reset()
{
    releaseBackend();
    topicPtr = nullptr;
    topicOwned.clear();
    hasTopic = false;
    replyTo.clear();
    hasReplyTo = false;
    attPtr = nullptr;
    attLen = 0;
    attOwned.clear();
    hasAtt = false;
    mapStorage.clear();
    hasMap = false;
    mapWire = nullptr;
    mapWireLen = 0;
    deliveryMode = 0;
    discard = false;
    cacheStatus = TRXCLIENT_CACHE_MSG_LIVE;
    cacheRequestId = 0;
}

void Msg::buildMap()
{
    if (mapWire)
    {
        mapFromWire(mapWire, mapWireLen, mapStorage);
        mapWire = nullptr;
        mapWireLen = 0;
    }
}

Msg* toMsg(trxClient_opaqueMsg_pt p)
{
    Msg* m = static_cast<Msg*>(p);
    return m && m->magic == Msg::kMagic ? m : nullptr;
}

Msg* copyForDelivery(const Msg& src)
{
    Msg* m = new (std::nothrow) Msg;
    if (!m)
        return nullptr;
    if (src.hasTopic)
    {
        m->topicOwned = src.topic();
        m->hasTopic = true;
    }
    m->replyTo = src.replyTo;
    m->hasReplyTo = src.hasReplyTo;
    if (src.hasAtt)
        m->setOwnedAttachment(src.attPtr, src.attLen);
    if (src.mapWire)
        mapFromWire(src.mapWire, src.mapWireLen, m->mapStorage);
    else
        m->mapStorage = src.mapStorage;
    m->hasMap = src.hasMap;
    m->deliveryMode = src.deliveryMode;
    m->discard = src.discard;
    m->cacheStatus = src.cacheStatus;
    m->cacheRequestId = src.cacheRequestId;
    return m;
}

// ---- maps -------------------------------------------------------------------

MapHeader* mapHeader(trxClient_opaqueContainer_pt map)
{
    if (!map)
        return nullptr;
    MapHeader* h = static_cast<MapHeader*>(map);
    uint32_t magic;
    std::memcpy(&magic, map, sizeof magic);
    return magic == kMapMagic ? h : nullptr;
}

namespace
{

uint8_t* fieldsOf(MapHeader* h)
{
    return reinterpret_cast<uint8_t*>(h) + sizeof(MapHeader);
}

// Caller buffers need not be aligned: headers are only copied in and out.
MapHeader load(const MapHeader* h)
{
    MapHeader v;
    std::memcpy(&v, h, sizeof v);
    return v;
}
void store(MapHeader* h, const MapHeader& v)
{
    std::memcpy(h, &v, sizeof v);
}

struct FieldView
{
    uint8_t type;
    const char* key;
    uint8_t keyLen;
    const uint8_t* value;
    uint32_t valueLen;
    uint32_t next; // offset of the next field
};

bool readField(const uint8_t* base, uint32_t used, uint32_t off, FieldView& f)
{
    if (off + 2 > used)
        return false;
    f.type = base[off];
    f.keyLen = base[off + 1];
    uint32_t p = off + 2;
    if (p + f.keyLen + 4 > used)
        return false;
    f.key = reinterpret_cast<const char*>(base + p);
    p += f.keyLen;
    std::memcpy(&f.valueLen, base + p, 4);
    p += 4;
    if (f.valueLen > used - p)
        return false;
    f.value = base + p;
    f.next = p + f.valueLen;
    return true;
}

trxClient_returnCode_t addField(trxClient_opaqueContainer_pt map, uint8_t type, const void* value, uint32_t len,
                                const char* key)
{
    MapHeader* h = mapHeader(map);
    if (!map || !key)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "container add: NULL %s", map ? "key" : "map");
    if (!h)
        return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "container add: not a map container");
    MapHeader hv = load(h);
    if (hv.readOnly)
        return fail(TRXCLIENT_SUBCODE_INVALID_SESSION_OPERATION, "container add: map is read-only");
    size_t keyLen = std::strlen(key);
    if (keyLen > 255)
        return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "container add: key longer than 255 bytes");
    uint64_t need = 2 + keyLen + 4 + uint64_t(len);
    if (need > hv.capacity - hv.used)
        return fail(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, "container add: no room for key '%s' (%u of %u bytes used)",
                    key, hv.used, hv.capacity);
    uint8_t* p = fieldsOf(h) + hv.used;
    p[0] = type;
    p[1] = static_cast<uint8_t>(keyLen);
    std::memcpy(p + 2, key, keyLen);
    std::memcpy(p + 2 + keyLen, &len, 4);
    if (len)
        std::memcpy(p + 6 + keyLen, value, len);
    hv.used += static_cast<uint32_t>(need);
    hv.count++;
    store(h, hv);
    return TRXCLIENT_OK;
}

trxClient_returnCode_t findField(trxClient_opaqueContainer_pt map, const char* key, uint8_t type, FieldView& f)
{
    MapHeader* h = mapHeader(map);
    if (!map || !key)
        return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "container get: NULL %s", map ? "key" : "map");
    if (!h)
        return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "container get: not a map container");
    size_t keyLen = std::strlen(key);
    const uint8_t* base = fieldsOf(h);
    uint32_t used = load(h).used;
    for (uint32_t off = 0; off < used && readField(base, used, off, f); off = f.next)
    {
        if (f.keyLen == keyLen && std::memcmp(f.key, key, keyLen) == 0)
        {
            if (f.type != type)
                return fail(TRXCLIENT_SUBCODE_CONTAINER_TYPE_MISMATCH, "container get: field '%s' has another type",
                            key);
            return TRXCLIENT_OK;
        }
    }
    return fail(TRXCLIENT_SUBCODE_CONTAINER_FIELD_NOT_FOUND, "container get: no field '%s'", key);
}

const char kHex[] = "0123456789ABCDEF";

void escapeInto(std::string& out, const char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
    {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c <= 0x20 || c >= 0x7f || c == '%' || c == ';' || c == '=' || c == ':')
        {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        else
        {
            out += static_cast<char>(c);
        }
    }
}

} // namespace

void makeReadOnlyMap(const uint8_t* fields, uint32_t len, std::vector<uint8_t>& storage)
{
    storage.assign(sizeof(MapHeader) + len, 0);
    MapHeader h{kMapMagic, len, len, 0, 0, 1};
    FieldView f;
    for (uint32_t off = 0; off < h.used && readField(fields, h.used, off, f); off = f.next)
        h.count++;
    std::memcpy(storage.data(), &h, sizeof h);
    if (len)
        std::memcpy(storage.data() + sizeof h, fields, len);
}

const uint8_t* mapFields(const std::vector<uint8_t>& storage, uint32_t* len)
{
    MapHeader h;
    std::memcpy(&h, storage.data(), sizeof h);
    *len = h.used;
    return storage.data() + sizeof(MapHeader);
}

std::string mapToText(const std::vector<uint8_t>& fields)
{
    std::string out;
    FieldView f;
    uint32_t used = static_cast<uint32_t>(fields.size());
    for (uint32_t off = 0; off < used && readField(fields.data(), used, off, f); off = f.next)
    {
        if (!out.empty())
            out += ';';
        escapeInto(out, f.key, f.keyLen);
        out += '=';
        char num[40];
        switch (f.type)
        {
            case TRXCLIENT_FIELD_STRING:
                out += "s:";
                escapeInto(out, reinterpret_cast<const char*>(f.value), f.valueLen ? f.valueLen - 1 : 0);
                break;
            case TRXCLIENT_FIELD_INT32:
            {
                int32_t v;
                std::memcpy(&v, f.value, 4);
                std::snprintf(num, sizeof num, "i:%" PRId32, v);
                out += num;
                break;
            }
            case TRXCLIENT_FIELD_INT64:
            {
                int64_t v;
                std::memcpy(&v, f.value, 8);
                std::snprintf(num, sizeof num, "l:%" PRId64, v);
                out += num;
                break;
            }
            case TRXCLIENT_FIELD_BOOL: out += f.value[0] ? "b:1" : "b:0"; break;
            case TRXCLIENT_FIELD_DOUBLE:
            {
                double v;
                std::memcpy(&v, f.value, 8);
                std::snprintf(num, sizeof num, "d:%.17g", v);
                out += num;
                break;
            }
            default: break;
        }
    }
    return out;
}

} // namespace trx

using namespace trx;

#define MSG_OR_FAIL(m, p) TRX_HANDLE_OR_FAIL(Msg, m, toMsg, p, "message")

extern "C"
{

    trxClient_returnCode_t trxClient_msg_alloc(trxClient_opaqueMsg_pt* msg_p)
    {
        if (!msg_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_alloc: NULL out pointer");
        Msg* m = new (std::nothrow) Msg;
        if (!m)
            return fail(TRXCLIENT_SUBCODE_OUT_OF_MEMORY, "trxClient_msg_alloc: out of memory");
        *msg_p = m;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_free(trxClient_opaqueMsg_pt* msg_p)
    {
        if (!msg_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_free: NULL pointer");
        MSG_OR_FAIL(m, *msg_p);
        delete m;
        *msg_p = nullptr;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_reset(trxClient_opaqueMsg_pt msg)
    {
        MSG_OR_FAIL(m, msg);
        m->reset();
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_dup(trxClient_opaqueMsg_pt msg, trxClient_opaqueMsg_pt* copy_p)
    {
        MSG_OR_FAIL(m, msg);
        if (!copy_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_dup: NULL out pointer");
        Msg* c = copyForDelivery(*m);
        if (!c)
            return fail(TRXCLIENT_SUBCODE_OUT_OF_MEMORY, "trxClient_msg_dup: out of memory");
        *copy_p = c;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_setTopicPtr(trxClient_opaqueMsg_pt msg, const char* topic_p)
    {
        MSG_OR_FAIL(m, msg);
        if (!topic_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_setTopicPtr: NULL topic");
        m->topicPtr = topic_p;
        m->topicOwned.clear();
        m->hasTopic = true;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_setDestination(trxClient_opaqueMsg_pt msg, trxClient_destination_t* dest_p,
                                                        size_t)
    {
        MSG_OR_FAIL(m, msg);
        if (!dest_p || !dest_p->dest)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_setDestination: NULL destination");
        if (dest_p->destType != TRXCLIENT_TOPIC_DESTINATION)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_msg_setDestination: destination type %d",
                        dest_p->destType);
        m->topicOwned = dest_p->dest;
        m->topicPtr = nullptr;
        m->hasTopic = true;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_getDestination(trxClient_opaqueMsg_pt msg, trxClient_destination_t* dest_p,
                                                        size_t)
    {
        MSG_OR_FAIL(m, msg);
        if (!dest_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_getDestination: NULL destination");
        if (!m->hasTopic)
            return fail(TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT, "trxClient_msg_getDestination: message has no topic");
        dest_p->destType = TRXCLIENT_TOPIC_DESTINATION;
        dest_p->dest = m->topic();
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_setReplyTo(trxClient_opaqueMsg_pt msg, const trxClient_destination_t* dest_p,
                                                    size_t)
    {
        MSG_OR_FAIL(m, msg);
        if (!dest_p || !dest_p->dest)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_setReplyTo: NULL destination");
        if (dest_p->destType != TRXCLIENT_TOPIC_DESTINATION)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_msg_setReplyTo: destination type %d",
                        dest_p->destType);
        m->replyTo = dest_p->dest;
        m->hasReplyTo = true;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_getReplyTo(trxClient_opaqueMsg_pt msg, trxClient_destination_t* dest_p, size_t)
    {
        MSG_OR_FAIL(m, msg);
        if (!dest_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_getReplyTo: NULL destination");
        if (!m->hasReplyTo)
            return fail(TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT, "trxClient_msg_getReplyTo: message has no reply-to");
        dest_p->destType = TRXCLIENT_TOPIC_DESTINATION;
        dest_p->dest = m->replyTo.c_str();
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_deleteReplyTo(trxClient_opaqueMsg_pt msg)
    {
        MSG_OR_FAIL(m, msg);
        m->replyTo.clear();
        m->hasReplyTo = false;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_setBinaryAttachmentPtr(trxClient_opaqueMsg_pt msg, const void* buf_p,
                                                                uint32_t size)
    {
        MSG_OR_FAIL(m, msg);
        if (!buf_p && size)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_setBinaryAttachmentPtr: NULL buffer");
        m->attOwned.clear();
        m->attPtr = buf_p;
        m->attLen = size;
        m->hasAtt = true;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_setBinaryAttachment(trxClient_opaqueMsg_pt msg, const void* buf_p,
                                                             uint32_t size)
    {
        MSG_OR_FAIL(m, msg);
        if (!buf_p && size)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_setBinaryAttachment: NULL buffer");
        m->setOwnedAttachment(buf_p, size);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_getBinaryAttachmentPtr(trxClient_opaqueMsg_pt msg, const void** buf_p,
                                                                uint32_t* size_p)
    {
        MSG_OR_FAIL(m, msg);
        if (!buf_p || !size_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_getBinaryAttachmentPtr: NULL out pointer");
        if (!m->hasAtt)
            return fail(TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT,
                        "trxClient_msg_getBinaryAttachmentPtr: message has no binary attachment");
        static const uint8_t empty = 0;
        *buf_p = m->attLen ? m->attPtr : &empty;
        *size_p = m->attLen;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_setDeliveryMode(trxClient_opaqueMsg_pt msg, trxClient_deliveryMode_t mode)
    {
        MSG_OR_FAIL(m, msg);
        if (mode != TRXCLIENT_DELIVERY_MODE_DIRECT && mode != TRXCLIENT_DELIVERY_MODE_NONPERSISTENT)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_msg_setDeliveryMode: unknown mode %u", mode);
        m->deliveryMode = mode;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_getDeliveryMode(trxClient_opaqueMsg_pt msg, trxClient_deliveryMode_t* mode_p)
    {
        MSG_OR_FAIL(m, msg);
        if (!mode_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_getDeliveryMode: NULL out pointer");
        *mode_p = m->deliveryMode;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_setUserPropertyMap(trxClient_opaqueMsg_pt msg,
                                                            trxClient_opaqueContainer_pt map)
    {
        MSG_OR_FAIL(m, msg);
        if (!map)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_setUserPropertyMap: NULL map");
        MapHeader* h = mapHeader(map);
        if (!h)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_msg_setUserPropertyMap: not a map container");
        makeReadOnlyMap(fieldsOf(h), load(h).used, m->mapStorage);
        m->mapWire = nullptr;
        m->mapWireLen = 0;
        m->hasMap = true;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_getUserPropertyMap(trxClient_opaqueMsg_pt msg,
                                                            trxClient_opaqueContainer_pt* map_p)
    {
        MSG_OR_FAIL(m, msg);
        if (!map_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_getUserPropertyMap: NULL out pointer");
        if (!m->hasMap)
            return fail(TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT,
                        "trxClient_msg_getUserPropertyMap: no user property map");
        m->buildMap();
        MapHeader h;
        std::memcpy(&h, m->mapStorage.data(), sizeof h);
        h.cursor = 0;
        std::memcpy(m->mapStorage.data(), &h, sizeof h);
        *map_p = m->mapStorage.data();
        return TRXCLIENT_OK;
    }

    trxClient_bool_t trxClient_msg_isDiscardIndication(trxClient_opaqueMsg_pt msg)
    {
        Msg* m = toMsg(msg);
        return m && m->discard ? 1 : 0;
    }

    trxClient_returnCode_t trxClient_msg_setDiscardIndication(trxClient_opaqueMsg_pt msg, trxClient_bool_t discard)
    {
        MSG_OR_FAIL(m, msg);
        m->discard = discard != 0;
        return TRXCLIENT_OK;
    }

    trxClient_cacheStatus_t trxClient_msg_isCacheMsg(trxClient_opaqueMsg_pt msg)
    {
        Msg* m = toMsg(msg);
        if (!m)
        {
            fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_isCacheMsg: NULL message");
            return -1;
        }
        return m->cacheStatus;
    }

    trxClient_returnCode_t trxClient_msg_getCacheRequestId(trxClient_opaqueMsg_pt msg, uint64_t* cacheRequestId_p)
    {
        MSG_OR_FAIL(m, msg);
        if (!cacheRequestId_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_getCacheRequestId: NULL out pointer");
        if (m->cacheStatus == TRXCLIENT_CACHE_MSG_LIVE)
            return fail(TRXCLIENT_SUBCODE_MSG_FIELD_NOT_PRESENT,
                        "trxClient_msg_getCacheRequestId: not a cache message");
        *cacheRequestId_p = m->cacheRequestId;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_msg_dump(trxClient_opaqueMsg_pt msg, char* buf_p, size_t bufSize)
    {
        return trxClient_msg_dumpExt(msg, buf_p, bufSize, TRXCLIENT_MSGDUMP_FULL);
    }

    trxClient_returnCode_t trxClient_msg_dumpExt(trxClient_opaqueMsg_pt msg, char* buf_p, size_t bufSize,
                                                 uint32_t flags)
    {
        MSG_OR_FAIL(m, msg);
        if (!buf_p || bufSize == 0)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_msg_dumpExt: no buffer");
        std::string s;
        char line[128];
        auto add = [&](const char* name, const std::string& value)
        {
            s += name;
            s.append(name[0] ? 24 - std::min<size_t>(24, std::strlen(name)) : 0, ' ');
            s += value;
            s += '\n';
        };
        if (m->hasTopic)
            add("Destination:", std::string("Topic '") + m->topic() + "'");
        if (m->hasReplyTo)
            add("ReplyTo:", std::string("Topic '") + m->replyTo + "'");
        add("DeliveryMode:", m->deliveryMode == TRXCLIENT_DELIVERY_MODE_DIRECT ? "DIRECT" : "NONPERSISTENT");
        if (m->discard)
            add("DiscardIndication:", "true");
        if (m->cacheStatus != TRXCLIENT_CACHE_MSG_LIVE)
        {
            std::snprintf(line, sizeof line, "%s, request id %" PRIu64,
                          m->cacheStatus == TRXCLIENT_CACHE_MSG_SUSPECT ? "suspect" : "cached", m->cacheRequestId);
            add("CacheMessage:", line);
        }
        if (m->hasMap)
        {
            m->buildMap();
            uint32_t len;
            const uint8_t* f = mapFields(m->mapStorage, &len);
            add("User Property Map:", mapToText(std::vector<uint8_t>(f, f + len)));
        }
        if (m->hasAtt)
        {
            std::snprintf(line, sizeof line, "len=%u", m->attLen);
            add("Binary Attachment:", line);
            if (!(flags & TRXCLIENT_MSGDUMP_BRIEF))
            {
                const uint8_t* p = static_cast<const uint8_t*>(m->attPtr);
                for (uint32_t off = 0; off < m->attLen; off += 16)
                {
                    int n = std::snprintf(line, sizeof line, "  %04x:", off);
                    std::string ascii;
                    for (uint32_t i = off; i < off + 16 && i < m->attLen; ++i)
                    {
                        n += std::snprintf(line + n, sizeof line - n, " %02x", p[i]);
                        ascii += (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '.';
                    }
                    s += line;
                    s.append(size_t(7 + 16 * 3 + 2) > size_t(n) ? size_t(7 + 16 * 3 + 2) - n : 1, ' ');
                    s += ascii;
                    s += '\n';
                }
            }
        }
        std::snprintf(buf_p, bufSize, "%s", s.c_str());
        if (s.size() >= bufSize)
            return fail(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE,
                        "trxClient_msg_dumpExt: dump of %zu bytes truncated to %zu", s.size(), bufSize - 1);
        return TRXCLIENT_OK;
    }

    // ---- containers ---------------------------------------------------------------

    trxClient_returnCode_t trxClient_container_createMap(trxClient_opaqueContainer_pt* map_p, void* buf_p,
                                                         size_t bufSize)
    {
        if (!map_p || !buf_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_container_createMap: NULL %s",
                        map_p ? "buffer" : "out pointer");
        if (bufSize < TRXCLIENT_CONTAINER_MIN_BUFFER || bufSize > UINT32_MAX)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_container_createMap: buffer of %zu bytes",
                        bufSize);
        MapHeader h{kMapMagic, static_cast<uint32_t>(bufSize - sizeof(MapHeader)), 0, 0, 0, 0};
        std::memcpy(buf_p, &h, sizeof h);
        *map_p = buf_p;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_container_closeMapStream(trxClient_opaqueContainer_pt* map_p)
    {
        if (!map_p || !*map_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_container_closeMapStream: NULL map");
        MapHeader* h = mapHeader(*map_p);
        if (!h)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE,
                        "trxClient_container_closeMapStream: not a map container");
        MapHeader hv = load(h);
        if (!hv.readOnly)
        {
            hv.magic = 0; // the caller's buffer no longer holds a map
            store(h, hv);
        }
        *map_p = nullptr;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_container_addString(trxClient_opaqueContainer_pt map, const char* value,
                                                         const char* key)
    {
        if (!value)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_container_addString: NULL value");
        return addField(map, TRXCLIENT_FIELD_STRING, value, static_cast<uint32_t>(std::strlen(value) + 1), key);
    }

    trxClient_returnCode_t trxClient_container_addInt32(trxClient_opaqueContainer_pt map, int32_t value,
                                                        const char* key)
    {
        return addField(map, TRXCLIENT_FIELD_INT32, &value, 4, key);
    }

    trxClient_returnCode_t trxClient_container_addInt64(trxClient_opaqueContainer_pt map, int64_t value,
                                                        const char* key)
    {
        return addField(map, TRXCLIENT_FIELD_INT64, &value, 8, key);
    }

    trxClient_returnCode_t trxClient_container_addBool(trxClient_opaqueContainer_pt map, trxClient_bool_t value,
                                                       const char* key)
    {
        uint8_t b = value ? 1 : 0;
        return addField(map, TRXCLIENT_FIELD_BOOL, &b, 1, key);
    }

    trxClient_returnCode_t trxClient_container_addDouble(trxClient_opaqueContainer_pt map, double value,
                                                         const char* key)
    {
        return addField(map, TRXCLIENT_FIELD_DOUBLE, &value, 8, key);
    }

    trxClient_returnCode_t trxClient_container_getString(trxClient_opaqueContainer_pt map, char* buf_p, size_t bufSize,
                                                         const char* key)
    {
        if (!buf_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_container_getString: NULL buffer");
        FieldView f;
        trxClient_returnCode_t rc = findField(map, key, TRXCLIENT_FIELD_STRING, f);
        if (rc != TRXCLIENT_OK)
            return rc;
        if (f.valueLen > bufSize)
            return fail(TRXCLIENT_SUBCODE_INSUFFICIENT_SPACE, "trxClient_container_getString: '%s' needs %u bytes", key,
                        f.valueLen);
        std::memcpy(buf_p, f.value, f.valueLen);
        return TRXCLIENT_OK;
    }

#define GETTER(Name, T, Type, Len)                                                                                     \
    trxClient_returnCode_t trxClient_container_get##Name(trxClient_opaqueContainer_pt map, T* value_p,                 \
                                                         const char* key)                                              \
    {                                                                                                                  \
        if (!value_p)                                                                                                  \
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_container_get" #Name ": NULL out pointer");       \
        FieldView f;                                                                                                   \
        trxClient_returnCode_t rc = findField(map, key, Type, f);                                                      \
        if (rc != TRXCLIENT_OK)                                                                                        \
            return rc;                                                                                                 \
        if (f.valueLen != Len)                                                                                         \
            return fail(TRXCLIENT_SUBCODE_CONTAINER_TYPE_MISMATCH, "trxClient_container_get" #Name ": bad field");     \
        std::memcpy(value_p, f.value, Len);                                                                            \
        return TRXCLIENT_OK;                                                                                           \
    }

    GETTER(Int32, int32_t, TRXCLIENT_FIELD_INT32, 4)
    GETTER(Int64, int64_t, TRXCLIENT_FIELD_INT64, 8)
    GETTER(Bool, trxClient_bool_t, TRXCLIENT_FIELD_BOOL, 1)
    GETTER(Double, double, TRXCLIENT_FIELD_DOUBLE, 8)

    trxClient_returnCode_t trxClient_container_rewind(trxClient_opaqueContainer_pt map)
    {
        MapHeader* h = mapHeader(map);
        if (!h)
            return fail(map ? TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE : TRXCLIENT_SUBCODE_PARAM_NULL_PTR,
                        "trxClient_container_rewind: not a map container");
        MapHeader hv = load(h);
        hv.cursor = 0;
        store(h, hv);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_container_getNextField(trxClient_opaqueContainer_pt map,
                                                            trxClient_field_t* field_p, const char** key_p)
    {
        MapHeader* h = mapHeader(map);
        if (!h || !field_p || !key_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_container_getNextField: NULL argument or no map");
        FieldView f;
        MapHeader hv = load(h);
        if (hv.cursor >= hv.used || !readField(fieldsOf(h), hv.used, hv.cursor, f))
            return TRXCLIENT_EOS;
        hv.cursor = f.next;
        store(h, hv);
        // Keys are stored without a terminator; hand out a copy in thread storage.
        static thread_local char key[256];
        std::memcpy(key, f.key, f.keyLen);
        key[f.keyLen] = '\0';
        *key_p = key;
        field_p->type = f.type;
        switch (f.type)
        {
            case TRXCLIENT_FIELD_STRING: field_p->value.string = reinterpret_cast<const char*>(f.value); break;
            case TRXCLIENT_FIELD_INT32: std::memcpy(&field_p->value.int32, f.value, 4); break;
            case TRXCLIENT_FIELD_INT64: std::memcpy(&field_p->value.int64, f.value, 8); break;
            case TRXCLIENT_FIELD_BOOL: field_p->value.boolean = f.value[0]; break;
            case TRXCLIENT_FIELD_DOUBLE: std::memcpy(&field_p->value.dbl, f.value, 8); break;
            default: break;
        }
        return TRXCLIENT_OK;
    }

    int trxClient_container_getSize(trxClient_opaqueContainer_pt map)
    {
        MapHeader* h = mapHeader(map);
        return h ? static_cast<int>(load(h).count) : -1;
    }

} // extern "C"
