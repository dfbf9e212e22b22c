#include "natsAuth.h"

#include "nkey.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace testsupport
{
namespace
{

using trx::nkey::Type;

struct Key
{
    std::string seed, pub;
};

Key makeKey(Type type)
{
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr),
                                                                    EVP_PKEY_CTX_free);
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1)
        throw std::runtime_error("ed25519 key generation failed");
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(raw, EVP_PKEY_free);
    uint8_t seed[32], pub[32];
    size_t n = 32, m = 32;
    if (EVP_PKEY_get_raw_private_key(key.get(), seed, &n) != 1 || EVP_PKEY_get_raw_public_key(key.get(), pub, &m) != 1)
        throw std::runtime_error("ed25519 key export failed");
    return {trx::nkey::encodeSeed(type, seed), trx::nkey::encodePublic(type, pub)};
}

std::string base64url(const std::string& in)
{
    static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    uint32_t buf = 0;
    int bits = 0;
    for (unsigned char c : in)
    {
        buf = (buf << 8) | c;
        bits += 8;
        while (bits >= 6)
        {
            bits -= 6;
            out += t[(buf >> bits) & 63];
        }
    }
    if (bits > 0)
        out += t[(buf << (6 - bits)) & 63];
    return out;
}

std::string sign(const std::string& seed, const std::string& data)
{
    uint8_t raw[32];
    if (!trx::nkey::decodeSeed(seed, raw))
        throw std::runtime_error("bad seed");
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, raw, sizeof raw), EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char sig[64];
    size_t len = sizeof sig;
    if (!key || !md || EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(md.get(), sig, &len, reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
        throw std::runtime_error("ed25519 signing failed");
    return std::string(reinterpret_cast<char*>(sig), len);
}

// A NATS JWT: the claims with an id and the issue time, signed by issuer.
std::string jwt(const Key& issuer, const std::string& subject, const std::string& name, const std::string& nats)
{
    const std::string header = base64url(R"({"typ":"JWT","alg":"ed25519-nkey"})");
    const std::string iat = std::to_string(std::time(nullptr));
    const std::string body = R"("iat":)" + iat + R"(,"iss":")" + issuer.pub + R"(","name":")" + name + R"(","sub":")" +
                             subject + R"(","nats":)" + nats + "}";
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    const std::string claims = base64url(R"({"jti":")" + trx::nkey::base32(digest, sizeof digest) + R"(",)" + body);
    return header + "." + claims + "." + base64url(sign(issuer.seed, header + "." + claims));
}

} // namespace

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f.close();
    ::chmod(path.c_str(), 0600);
}

NKeyPair makeUserNKey()
{
    Key k = makeKey(Type::User);
    return {k.seed, k.pub};
}

JwtChain makeJwtChain(const std::string& dir)
{
    const Key op = makeKey(Type::Operator), account = makeKey(Type::Account), user = makeKey(Type::User);
    const std::string opJwt = jwt(op, op.pub, "e2e-operator", R"({"type":"operator","version":2})");
    const std::string accountJwt =
        jwt(op, account.pub, "e2e-account",
            R"({"limits":{"subs":-1,"data":-1,"payload":-1,"imports":-1,"exports":-1,"wildcards":true,)"
            R"("conn":-1,"leaf":-1},"default_permissions":{"pub":{},"sub":{}},"type":"account","version":2})");
    const std::string userJwt =
        jwt(account, user.pub, "e2e-user",
            R"({"pub":{},"sub":{},"subs":-1,"data":-1,"payload":-1,"type":"user","version":2})");
    JwtChain chain;
    chain.serverConfig = "operator: \"" + opJwt + "\"\nresolver: MEMORY\nresolver_preload: {\n  " + account.pub +
                         ": \"" + accountJwt + "\"\n}\n";
    chain.credsFile = dir + "/user.creds";
    writeFile(chain.credsFile, "-----BEGIN NATS USER JWT-----\n" + userJwt +
                                   "\n------END NATS USER JWT------\n\n"
                                   "************************* IMPORTANT *************************\n"
                                   "NKEY Seed printed below can be used to sign and prove identity.\n\n"
                                   "-----BEGIN USER NKEY SEED-----\n" +
                                   user.seed + "\n------END USER NKEY SEED------\n");
    return chain;
}

bool makeTlsFiles(const std::string& dir)
{
    writeFile(dir + "/server.ext", "subjectAltName=IP:127.0.0.1\n");
    writeFile(dir + "/client.ext", "extendedKeyUsage=clientAuth\n");
    const std::string d = "'" + dir + "'";
    const std::string quiet = " >/dev/null 2>&1";
    const std::string key = "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ";
    const std::string cmds[] = {
        key + d + "/ca.key",
        "openssl req -x509 -new -key " + d + "/ca.key -subj /CN=e2e-ca -days 2 -out " + d + "/ca.pem",
        key + d + "/server.key",
        "openssl req -new -key " + d + "/server.key -subj /CN=127.0.0.1 -out " + d + "/server.csr",
        "openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
            "/ca.key -CAcreateserial -days 2 -extfile " + d + "/server.ext -out " + d + "/server.pem",
        key + d + "/client.key",
        "openssl req -new -key " + d + "/client.key -subj /CN=e2e-client -out " + d + "/client.csr",
        "openssl x509 -req -in " + d + "/client.csr -CA " + d + "/ca.pem -CAkey " + d +
            "/ca.key -CAcreateserial -days 2 -extfile " + d + "/client.ext -out " + d + "/client.pem",
    };
    for (const std::string& c : cmds)
        if (std::system((c + quiet).c_str()) != 0)
            return false;
    return true;
}

} // namespace testsupport
