#include "nkey.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

namespace trx
{
namespace nkey
{
namespace
{

constexpr uint8_t kSeedPrefix = 18 << 3; // 'S'
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

// CRC-16/XMODEM, as NKeys use it.
uint16_t crc16(const uint8_t* p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i)
    {
        crc ^= static_cast<uint16_t>(p[i]) << 8;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

bool unbase32(const std::string& text, std::vector<uint8_t>& out)
{
    out.clear();
    uint32_t buffer = 0;
    int bits = 0;
    for (char c : text)
    {
        const char* at = std::strchr(kAlphabet, c);
        if (c == '\0' || at == nullptr)
            return false;
        buffer = (buffer << 5) | static_cast<uint32_t>(at - kAlphabet);
        bits += 5;
        if (bits >= 8)
        {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(buffer >> bits));
        }
    }
    return true;
}

std::string withCrc(std::vector<uint8_t> raw)
{
    const uint16_t crc = crc16(raw.data(), raw.size());
    raw.push_back(static_cast<uint8_t>(crc & 0xff));
    raw.push_back(static_cast<uint8_t>(crc >> 8));
    return base32(raw.data(), raw.size());
}

} // namespace

std::string base32(const uint8_t* data, size_t n)
{
    std::string out;
    uint32_t buffer = 0;
    int bits = 0;
    for (size_t i = 0; i < n; ++i)
    {
        buffer = (buffer << 8) | data[i];
        bits += 8;
        while (bits >= 5)
        {
            bits -= 5;
            out += kAlphabet[(buffer >> bits) & 31];
        }
    }
    if (bits > 0)
        out += kAlphabet[(buffer << (5 - bits)) & 31];
    return out;
}

std::string encodePublic(Type type, const uint8_t* key32)
{
    std::vector<uint8_t> raw{static_cast<uint8_t>(type)};
    raw.insert(raw.end(), key32, key32 + 32);
    return withCrc(std::move(raw));
}

std::string encodeSeed(Type type, const uint8_t* seed32)
{
    std::vector<uint8_t> raw{static_cast<uint8_t>(kSeedPrefix | (type >> 5)), static_cast<uint8_t>((type & 31) << 3)};
    raw.insert(raw.end(), seed32, seed32 + 32);
    return withCrc(std::move(raw));
}

bool decodeSeed(const std::string& seed, uint8_t* seed32, Type* type)
{
    std::vector<uint8_t> raw;
    if (!unbase32(seed, raw) || raw.size() != 36 || (raw[0] & 0xf8) != kSeedPrefix)
        return false;
    const uint16_t crc = static_cast<uint16_t>(raw[34] | (raw[35] << 8));
    if (crc16(raw.data(), 34) != crc)
        return false;
    if (type)
        *type = static_cast<Type>(((raw[0] & 7) << 5) | ((raw[1] & 0xf8) >> 3));
    std::memcpy(seed32, raw.data() + 2, 32);
    OPENSSL_cleanse(raw.data(), raw.size());
    return true;
}

bool publicFromSeed(const std::string& seed, std::string& pub, std::string& err)
{
    uint8_t raw[32];
    Type type;
    if (!decodeSeed(seed, raw, &type))
    {
        err = "not an NKey seed (a damaged or cut text)";
        return false;
    }
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, raw, sizeof raw), EVP_PKEY_free);
    OPENSSL_cleanse(raw, sizeof raw);
    uint8_t public32[32];
    size_t len = sizeof public32;
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), public32, &len) != 1 || len != 32)
    {
        err = "cannot derive the public key of the seed";
        return false;
    }
    pub = encodePublic(type, public32);
    return true;
}

std::string findUserSeed(const std::string& text)
{
    for (size_t at = text.find("SU"); at != std::string::npos; at = text.find("SU", at + 1))
    {
        if (at > 0 && std::isalnum(static_cast<unsigned char>(text[at - 1])))
            continue;
        size_t end = at;
        while (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end])))
            ++end;
        if (end - at == 58)
            return text.substr(at, 58);
    }
    return "";
}

} // namespace nkey
} // namespace trx
