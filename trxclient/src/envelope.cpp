#include "envelope.h"

#include "msg.h"

#include <cstring>

namespace trx
{
namespace
{

constexpr uint8_t kMagic[4] = {0xFE, 'T', 'R', 'X'};
constexpr uint8_t kVersion = 1;
constexpr uint8_t kHasMap = 1, kHasMode = 2, kNoAtt = 4;
constexpr size_t kFixed = 6; // magic, version, flags

void putU32(std::vector<uint8_t>& out, uint32_t v)
{
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    out.insert(out.end(), b, b + 4);
}

uint32_t getU32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Copies n bytes reversing their order on a little-endian host: numbers
// travel big-endian, map values are stored natively.
void copyNumber(uint8_t* dst, const uint8_t* src, uint32_t n)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
    {
        for (uint32_t i = 0; i < n; ++i)
            dst[i] = src[n - 1 - i];
    }
    else
    {
        std::memcpy(dst, src, n);
    }
}

// Value length a field type must have; 0: any length (strings).
bool knownType(uint8_t type, uint32_t& fixedLen)
{
    switch (type)
    {
        case TRXCLIENT_FIELD_STRING: fixedLen = 0; return true;
        case TRXCLIENT_FIELD_INT32: fixedLen = 4; return true;
        case TRXCLIENT_FIELD_INT64: fixedLen = 8; return true;
        case TRXCLIENT_FIELD_BOOL: fixedLen = 1; return true;
        case TRXCLIENT_FIELD_DOUBLE: fixedLen = 8; return true;
        default: return false;
    }
}

// Map fields as stored (native) to wire (big-endian), or back: the two
// differ only in the byte order of lengths and numbers. Checks every field
// of what it reads; false on anything out of shape. A null out only checks.
bool convertFields(const uint8_t* in, uint32_t len, uint8_t* out, bool fromWire)
{
    uint32_t off = 0;
    while (off < len)
    {
        if (len - off < 2)
            return false;
        uint8_t type = in[off], keyLen = in[off + 1];
        uint32_t fixedLen;
        if (!knownType(type, fixedLen) || len - off - 2 < uint32_t(keyLen) + 4)
            return false;
        uint32_t valueLen;
        if (fromWire)
        {
            valueLen = getU32(in + off + 2 + keyLen);
        }
        else
        {
            std::memcpy(&valueLen, in + off + 2 + keyLen, 4);
        }
        uint32_t at = off + 2u + keyLen + 4;
        if (valueLen > len - at || (fixedLen && valueLen != fixedLen) ||
            (!fixedLen && (valueLen == 0 || in[at + valueLen - 1] != 0)))
            return false;
        if (out)
        {
            std::memcpy(out + off, in + off, 2u + keyLen);
            if (fromWire)
            {
                std::memcpy(out + off + 2 + keyLen, &valueLen, 4);
            }
            else
            {
                const uint8_t b[4] = {uint8_t(valueLen >> 24), uint8_t(valueLen >> 16), uint8_t(valueLen >> 8),
                                      uint8_t(valueLen)};
                std::memcpy(out + off + 2 + keyLen, b, 4);
            }
            if (fixedLen > 1)
                copyNumber(out + at, in + at, valueLen);
            else
                std::memcpy(out + at, in + at, valueLen);
        }
        off = at + valueLen;
    }
    return true;
}

} // namespace

void mapFromWire(const uint8_t* wire, uint32_t len, std::vector<uint8_t>& storage)
{
    thread_local std::vector<uint8_t> fields;
    fields.resize(len);
    if (!convertFields(wire, len, fields.data(), true))
        len = 0; // checked when it arrived; cannot happen
    makeReadOnlyMap(fields.data(), len, storage);
}

bool encodeEnvelope(const Msg& m, std::vector<uint8_t>& out)
{
    uint8_t flags = (m.hasMap ? kHasMap : 0) | (m.deliveryMode ? kHasMode : 0) | (m.hasAtt ? 0 : kNoAtt);
    if (!flags && !(m.attLen >= sizeof kMagic && std::memcmp(m.attPtr, kMagic, sizeof kMagic) == 0))
        return false;
    out.insert(out.end(), kMagic, kMagic + sizeof kMagic);
    out.push_back(kVersion);
    out.push_back(flags);
    if (m.hasMap && m.mapWire)
    {
        putU32(out, m.mapWireLen); // received and not looked at: still in wire form
        out.insert(out.end(), m.mapWire, m.mapWire + m.mapWireLen);
    }
    else if (m.hasMap)
    {
        uint32_t n;
        const uint8_t* f = mapFields(m.mapStorage, &n);
        size_t at = out.size();
        putU32(out, n);
        out.resize(at + 4 + n);
        // Maps built through the container API always convert; anything else goes empty.
        if (!convertFields(f, n, out.data() + at + 4, false))
        {
            out.resize(at);
            putU32(out, 0);
        }
    }
    if (m.deliveryMode)
        putU32(out, m.deliveryMode);
    return true;
}

EnvelopeResult decodeEnvelope(const uint8_t* data, size_t len, Msg& m)
{
    m.attPtr = data;
    m.attLen = static_cast<uint32_t>(len);
    m.hasAtt = true;
    if (len < kFixed || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        return EnvelopeResult::Bare;
    uint8_t version = data[4], flags = data[5];
    if (version != kVersion || (flags & ~(kHasMap | kHasMode | kNoAtt)))
        return EnvelopeResult::Malformed;
    size_t off = kFixed;
    // The next 4-byte length or mode, if the bytes are there.
    auto nextU32 = [&](uint32_t& v)
    {
        if (len - off < 4)
            return false;
        v = getU32(data + off);
        off += 4;
        return true;
    };
    const uint8_t* map = nullptr;
    uint32_t mapLen = 0;
    if (flags & kHasMap)
    {
        if (!nextU32(mapLen) || mapLen > len - off)
            return EnvelopeResult::Malformed;
        map = data + off;
        if (!convertFields(map, mapLen, nullptr, true))
            return EnvelopeResult::Malformed;
        off += mapLen;
    }
    uint32_t mode = 0;
    if ((flags & kHasMode) && !nextU32(mode))
        return EnvelopeResult::Malformed;
    if ((flags & kNoAtt) && off != len)
        return EnvelopeResult::Malformed;
    if (flags & kHasMap)
    {
        // Built into a map only when someone asks for it (mapFromWire).
        m.mapWire = map;
        m.mapWireLen = mapLen;
        m.hasMap = true;
    }
    m.deliveryMode = mode;
    m.hasAtt = !(flags & kNoAtt);
    m.attPtr = m.hasAtt ? data + off : nullptr;
    m.attLen = m.hasAtt ? static_cast<uint32_t>(len - off) : 0;
    return EnvelopeResult::Ok;
}

} // namespace trx
