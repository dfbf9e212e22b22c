#include "payloadTestSupport.h"

#include <mama/integration/msg.h>

#include <cctype>
#include <dlfcn.h>
#include <cstdio>

Bytes hexBytes(const std::string& text)
{
    Bytes out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hexText(const uint8_t* data, size_t size)
{
    std::string out;
    char piece[4];
    for (size_t i = 0; i < size; ++i)
    {
        snprintf(piece, sizeof piece, i ? " %02X" : "%02X", data[i]);
        out += piece;
    }
    return out;
}

Payload::Payload()
{
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_create(&mPayload));
}

Payload::~Payload()
{
    tarnixmsgPayload_destroy(mPayload);
}

Bytes Payload::serialize() const
{
    const void* buffer = nullptr;
    mama_size_t size = 0;
    mama_status status = tarnixmsgPayload_serialize(mPayload, &buffer, &size);
    EXPECT_EQ(MAMA_STATUS_OK, status);
    if (status != MAMA_STATUS_OK)
        return {};
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    return Bytes(bytes, bytes + size);
}

mama_status Payload::decode(const Bytes& bytes) const
{
    return tarnixmsgPayload_unSerialize(mPayload, bytes.data(), bytes.size());
}

std::string Payload::text() const
{
    const char* text = tarnixmsgPayload_toString(mPayload);
    return text ? text : "(null)";
}

size_t Payload::fields() const
{
    mama_size_t count = 0;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getNumFields(mPayload, &count));
    return count;
}

std::vector<mama_fid_t> Payload::fids() const
{
    std::vector<mama_fid_t> out;
    for (TarnixFieldNode* n = store()->head; n != store()->tail; n = n->next)
        out.push_back(n->field.fid);
    return out;
}

VersionScope::VersionScope(uint8_t version) : mPrevious(tarnixmsgPayload_getPayloadVersion())
{
    tarnixmsgPayload_setPayloadVersion(version, 1);
}

VersionScope::~VersionScope()
{
    tarnixmsgPayload_setPayloadVersion(mPrevious, 1);
}

namespace
{

mamaPayloadBridge loadBridge(const char* name)
{
    mamaPayloadBridge bridge = nullptr;
    mama_status status = mama_loadPayloadBridge(&bridge, name);
    EXPECT_EQ(MAMA_STATUS_OK, status) << "loading payload " << name;
    return bridge;
}

} // namespace

mamaPayloadBridge tarnixBridge()
{
    /* OpenMAMA opens "libmamatarnixmsgimpl.so" by bare name; once the built
     * plug-in is loaded from its path, that name resolves to it. */
    static void* plugin = dlopen(TARNIX_PAYLOAD_PLUGIN, RTLD_NOW | RTLD_GLOBAL);
    EXPECT_NE(nullptr, plugin) << dlerror();
    static mamaPayloadBridge bridge = loadBridge("tarnixmsg");
    return bridge;
}

mamaPayloadBridge qpidBridge()
{
    static mamaPayloadBridge bridge = loadBridge("qpidmsg");
    return bridge;
}

MamaMsg::MamaMsg(mamaPayloadBridge bridge)
{
    EXPECT_EQ(MAMA_STATUS_OK, mamaMsg_createForPayloadBridge(&mMsg, bridge));
}

MamaMsg::~MamaMsg()
{
    if (mMsg)
        mamaMsg_destroy(mMsg);
}

msgPayload MamaMsg::payload() const
{
    msgPayload payload = nullptr;
    EXPECT_EQ(MAMA_STATUS_OK, mamaMsgImpl_getPayload(mMsg, &payload));
    return payload;
}
