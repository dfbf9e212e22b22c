// Message object and map container layout.
#pragma once

#include "trxClient.h"

#include <cstdint>
#include <string>
#include <vector>

namespace trx
{

// A map lives in a byte buffer: a header followed by fields
// [type:1][keyLen:1][key][valueLen:4][value], strings stored with their NUL.
struct MapHeader
{
    uint32_t magic;
    uint32_t capacity; // bytes after the header
    uint32_t used;
    uint32_t cursor; // iteration offset
    uint32_t count;
    uint32_t readOnly;
};
constexpr uint32_t kMapMagic = 0x54524d50; // "TRMP"

MapHeader* mapHeader(trxClient_opaqueContainer_pt map); // null if not a map
// Builds a read-only map over the given field bytes into storage.
void makeReadOnlyMap(const uint8_t* fields, uint32_t len, std::vector<uint8_t>& storage);
inline void makeReadOnlyMap(const std::vector<uint8_t>& fields, std::vector<uint8_t>& storage)
{
    makeReadOnlyMap(fields.data(), static_cast<uint32_t>(fields.size()), storage);
}
// Text form for dumps: key=T:value;... with %XX escapes.
std::string mapToText(const std::vector<uint8_t>& fields);
// Field bytes from a map's storage (what makeReadOnlyMap built).
const uint8_t* mapFields(const std::vector<uint8_t>& storage, uint32_t* len);

struct Msg
{
    uint32_t magic = kMagic;
    static constexpr uint32_t kMagic = 0x5452584d; // "TRXM"

    // Topic: by pointer (sender side) or owned (received / setDestination).
    const char* topicPtr = nullptr;
    std::string topicOwned;
    bool hasTopic = false;

    std::string replyTo;
    bool hasReplyTo = false;

    const void* attPtr = nullptr;
    uint32_t attLen = 0;
    std::vector<uint8_t> attOwned;
    bool hasAtt = false;
    // Received through a backend: the attachment (and a map in wire form)
    // point into the backend's own message, which only the backend frees.
    void* backendMsg = nullptr;
    void (*releaseBackendMsg)(void*) = nullptr;

    std::vector<uint8_t> mapStorage; // header + fields, read-only map
    bool hasMap = false;
    // A received map nobody has asked for yet: wire form, inside backendMsg.
    const uint8_t* mapWire = nullptr;
    uint32_t mapWireLen = 0;

    uint32_t deliveryMode = 0;
    bool discard = false;
    int cacheStatus = TRXCLIENT_CACHE_MSG_LIVE;
    uint64_t cacheRequestId = 0;
    bool directToSession = false; // cache answer for the session callback

    ~Msg();
    Msg() = default;
    Msg(const Msg&) = delete;
    Msg& operator=(const Msg&) = delete;
    const char* topic() const { return topicPtr ? topicPtr : topicOwned.c_str(); }
    void setOwnedAttachment(const void* p, uint32_t n);
    void reset();
    void releaseBackend();
    // Turns a map still in wire form into mapStorage.
    void buildMap();
};

Msg* toMsg(trxClient_opaqueMsg_pt p); // null if not a live message
// Deep copy for a receiver: every pointer-set field becomes owned.
Msg* copyForDelivery(const Msg& src);

} // namespace trx
