/* Helpers shared by the payload suites. */
#ifndef TARNIX_PAYLOAD_TEST_SUPPORT_H
#define TARNIX_PAYLOAD_TEST_SUPPORT_H

#include "logCapture.h"
#include "payloadSamples.h"
#include "tarnixCodec.h"
#include "tarnixDatabase.h"
#include "tarnixPayload.h"

#include <mama/mama.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

/* "31 02 2F" -> {0x31, 0x02, 0x2F}; blanks are ignored. */
Bytes hexBytes(const std::string& text);
std::string hexText(const uint8_t* data, size_t size);
inline std::string hexText(const Bytes& bytes)
{
    return hexText(bytes.data(), bytes.size());
}

/* One payload object, destroyed with the scope. */
class Payload
{
public:
    Payload();
    ~Payload();
    Payload(const Payload&) = delete;
    Payload& operator=(const Payload&) = delete;

    msgPayload get() const { return mPayload; }
    TarnixPayloadImpl* impl() const { return static_cast<TarnixPayloadImpl*>(mPayload); }
    TarnixMsg* store() const { return impl()->mFields; }
    operator msgPayload() const { return mPayload; }

    Bytes serialize() const;
    mama_status decode(const Bytes& bytes) const;
    std::string text() const;
    size_t fields() const;
    std::vector<mama_fid_t> fids() const;

private:
    msgPayload mPayload = nullptr;
};

/* Sets the process-wide payload version for a scope. */
class VersionScope
{
public:
    explicit VersionScope(uint8_t version);
    ~VersionScope();

private:
    uint8_t mPrevious;
};

/* OpenMAMA with the tarnixmsg and qpidmsg payload bridges loaded. */
mamaPayloadBridge tarnixBridge();
mamaPayloadBridge qpidBridge();

/* An OpenMAMA message held in the given payload format. */
class MamaMsg
{
public:
    explicit MamaMsg(mamaPayloadBridge bridge);
    ~MamaMsg();
    MamaMsg(const MamaMsg&) = delete;
    MamaMsg& operator=(const MamaMsg&) = delete;
    mamaMsg get() const { return mMsg; }
    msgPayload payload() const;

private:
    mamaMsg mMsg = nullptr;
};

#endif
