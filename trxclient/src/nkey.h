// NATS NKeys: ed25519 keys as base32 texts with a type prefix and a CRC16.
#pragma once

#include <cstdint>
#include <string>

namespace trx
{
namespace nkey
{

enum Type : uint8_t
{
    Operator = 14 << 3,
    Account = 0,
    User = 20 << 3
};

// The public key ("U...") of a seed text ("SU..."); false with the reason in err.
bool publicFromSeed(const std::string& seed, std::string& pub, std::string& err);
// The first seed of a user ("SU...", 58 characters) in a text such as a seed
// or credentials file; empty when there is none.
std::string findUserSeed(const std::string& text);

// Encodings of raw 32-byte keys, as NATS tools write them.
std::string encodePublic(Type type, const uint8_t* key32);
std::string encodeSeed(Type type, const uint8_t* seed32);
// The raw 32-byte seed of a seed text; false when it is not one.
bool decodeSeed(const std::string& seed, uint8_t* seed32, Type* type = nullptr);

std::string base32(const uint8_t* data, size_t n);

} // namespace nkey
} // namespace trx
