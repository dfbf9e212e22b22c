// How a NATS server is reached and logged in to, shared by the library's NATS
// backend and trxcache: server URLs, credentials and TLS files checked once,
// then applied to libnats options. Each caller names the settings the way its
// user writes them (properties for the library, options for trxcache), so a
// mistake is reported under that name.
#pragma once

#include <nats/nats.h>

#include <string>
#include <vector>

namespace trx
{

struct NatsAccessNames
{
    const char *host, *user, *token, *creds, *seed, *tlsCa, *tlsCert, *tlsKey, *verifyHostname;
};

struct NatsAccess
{
    std::vector<std::string> urls;
    bool tls = false; // a tls:// URL, a CA or a client certificate
    std::string user, password, token, credsFile, seedFile, tlsCa, tlsCert, tlsKey;
    bool verifyHostname = true;
    std::string nkeyPublic; // derived from seedFile by check()

    enum Problem
    {
        Ok,
        BadValue,
        Conflict
    };

    // "nats://h:p[,tls://h:p...]" into urls; BadValue with the reason in err.
    Problem parseUrls(const std::string& text, const NatsAccessNames& names, std::string& err);
    // Files readable, one credential file, a certificate with its key, the
    // seed file holding a user seed; derives the NKey's public key.
    Problem check(const NatsAccessNames& names, std::string& err);
    // Servers, credentials and TLS onto libnats options; false with err
    // naming the setting libnats refused.
    bool apply(natsOptions* o, const NatsAccessNames& names, std::string& err) const;
};

// libnats' status with its detail text.
std::string natsErrorText(natsStatus s);

// The text of an error libnats hands to a connection's error handler.
std::string natsCallbackErrorText(natsConnection* nc, natsStatus err);

// Why the cache stream cannot be used at all, from the answer to a stream
// info request: no JetStream on the server, or no such stream; empty
// otherwise. The texts say what to do about it.
std::string cacheStreamMissing(natsStatus st, const std::string& stream, const std::string& url);

// A JetStream answer that only means "not now": no leader elected yet (the
// stream's or the cluster's), a node lost or restarting. Worth asking again.
bool jetStreamBusy(natsStatus st, jsErrCode jerr);

} // namespace trx
