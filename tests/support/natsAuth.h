// Credentials made by the test itself for nats-servers configured for each
// NATS authentication form: NKeys, an operator/account/user JWT chain with a
// credentials file, and a certificate authority with server and client
// certificates (openssl). Nothing here is ever committed.
#pragma once

#include <string>

namespace testsupport
{

struct NKeyPair
{
    std::string seed; // "S..."
    std::string pub;  // "U...", "A...", "O..."
};

NKeyPair makeUserNKey();

// A server configuration block trusting one operator with one account, and
// the credentials file (user JWT and seed) of a user of that account.
struct JwtChain
{
    std::string serverConfig;
    std::string credsFile;
};
JwtChain makeJwtChain(const std::string& dir);

// ca.pem, server.pem/key (for 127.0.0.1), client.pem/key in dir; false when
// openssl failed.
bool makeTlsFiles(const std::string& dir);

// Writes text to path (mode 0600).
void writeFile(const std::string& path, const std::string& text);

} // namespace testsupport
