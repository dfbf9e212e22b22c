#include "natsAccess.h"
#include "nkey.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace trx
{

std::string natsErrorText(natsStatus s)
{
    const char* t = nats_GetLastError(nullptr);
    return std::string(natsStatus_GetText(s)) + (t && *t ? std::string(": ") + t : "");
}

NatsAccess::Problem NatsAccess::parseUrls(const std::string& text, const NatsAccessNames& names, std::string& err)
{
    urls.clear();
    std::stringstream ss(text);
    std::string u;
    while (std::getline(ss, u, ','))
    {
        u.erase(0, u.find_first_not_of(" \t"));
        u.erase(u.find_last_not_of(" \t") + 1);
        size_t scheme = u.find("://");
        if ((u.rfind("nats://", 0) != 0 && u.rfind("tls://", 0) != 0) || scheme + 3 >= u.size())
        {
            err = std::string(names.host) + ": '" + u + "' is not a nats://host:port or tls://host:port URL";
            return BadValue;
        }
        if (u.rfind("tls://", 0) == 0)
            tls = true;
        urls.push_back(u);
    }
    if (urls.empty())
    {
        err = std::string(names.host) + ": no server URL";
        return BadValue;
    }
    return Ok;
}

NatsAccess::Problem NatsAccess::check(const NatsAccessNames& names, std::string& err)
{
    for (auto f : {std::make_pair(names.creds, &credsFile), std::make_pair(names.seed, &seedFile),
                   std::make_pair(names.tlsCa, &tlsCa), std::make_pair(names.tlsCert, &tlsCert),
                   std::make_pair(names.tlsKey, &tlsKey)})
    {
        if (f.second->empty())
            continue;
        FILE* file = std::fopen(f.second->c_str(), "r");
        if (!file)
        {
            err = std::string(f.first) + " '" + *f.second + "': " + std::strerror(errno);
            return BadValue;
        }
        std::fclose(file);
    }
    if (!credsFile.empty() && !seedFile.empty())
    {
        err = std::string(names.creds) + " and " + names.seed +
              ": give one of them (a credentials file holds its own seed)";
        return Conflict;
    }
    if (tlsCert.empty() != tlsKey.empty())
    {
        err = std::string(names.tlsCert) + " and " + names.tlsKey + ": a client certificate needs both";
        return Conflict;
    }
    if (!seedFile.empty())
    {
        std::string text, why;
        if (FILE* f = std::fopen(seedFile.c_str(), "r"))
        {
            char buf[4096];
            size_t n = std::fread(buf, 1, sizeof buf, f);
            std::fclose(f);
            text.assign(buf, n);
            OPENSSL_cleanse(buf, sizeof buf);
        }
        std::string seed = nkey::findUserSeed(text);
        OPENSSL_cleanse(&text[0], text.size());
        if (seed.empty())
        {
            err = std::string(names.seed) + " '" + seedFile + "': no user NKey seed (SU...) in it";
            return BadValue;
        }
        bool ok = nkey::publicFromSeed(seed, nkeyPublic, why);
        OPENSSL_cleanse(&seed[0], seed.size());
        if (!ok)
        {
            err = std::string(names.seed) + " '" + seedFile + "': " + why;
            return BadValue;
        }
    }
    tls = tls || !tlsCa.empty() || !tlsCert.empty();
    return Ok;
}

std::string natsCallbackErrorText(natsConnection* nc, natsStatus err)
{
    // libnats hands each error callback its own text as this thread's last
    // error; the connection's holds only the newest, so refusals arriving
    // together would all read the last one.
    const char* t = nats_GetLastError(nullptr);
    if (!t || !*t)
        natsConnection_GetLastError(nc, &t);
    return t && *t ? t : natsStatus_GetText(err);
}

bool NatsAccess::apply(natsOptions* o, const NatsAccessNames& names, std::string& err) const
{
    natsStatus st = NATS_OK;
    std::string what;
    auto check = [&](natsStatus s, const std::string& name)
    {
        if (st == NATS_OK && s != NATS_OK)
        {
            st = s;
            what = name;
        }
    };
    std::vector<const char*> servers;
    for (auto& u : urls)
        servers.push_back(u.c_str());
    check(natsOptions_SetServers(o, servers.data(), static_cast<int>(servers.size())), names.host);
    // Only what is configured goes out: a server with no_auth_user or
    // per-user accounts refuses credentials it does not know.
    if (!user.empty())
        check(natsOptions_SetUserInfo(o, user.c_str(), password.c_str()), names.user);
    if (!token.empty())
        check(natsOptions_SetToken(o, token.c_str()), names.token);
    if (!credsFile.empty())
        check(natsOptions_SetUserCredentialsFromFiles(o, credsFile.c_str(), nullptr), names.creds);
    if (!seedFile.empty())
        check(natsOptions_SetNKeyFromSeed(o, nkeyPublic.c_str(), seedFile.c_str()), names.seed);
    if (tls)
    {
        check(natsOptions_SetSecure(o, true), names.host);
        if (!tlsCa.empty())
            check(natsOptions_LoadCATrustedCertificates(o, tlsCa.c_str()), names.tlsCa);
        if (!tlsCert.empty())
            check(natsOptions_LoadCertificatesChain(o, tlsCert.c_str(), tlsKey.c_str()),
                  std::string(names.tlsCert) + "/" + names.tlsKey);
        if (!verifyHostname)
            check(natsOptions_SkipServerVerification(o, true), names.verifyHostname);
    }
    if (st == NATS_OK)
        return true;
    err = what + ": " + natsErrorText(st);
    return false;
}

std::string cacheStreamMissing(natsStatus st, const std::string& stream, const std::string& url)
{
    if (st == NATS_NOT_FOUND)
        return "no cache stream " + stream + " on " + url + "; create it with: trxcache create PATTERN";
    if (st == NATS_NO_RESPONDERS)
        return "JetStream is not enabled on " + url +
               "; the cache needs a nats-server started with -js, then: trxcache create PATTERN";
    return "";
}

bool jetStreamBusy(natsStatus st, jsErrCode jerr)
{
    if (st == NATS_TIMEOUT || st == NATS_CONNECTION_DISCONNECTED)
        return true;
    switch (static_cast<int>(jerr))
    {
        case JSClusterNotAvailErr:  // no meta leader yet
        case JSClusterNotLeaderErr: // asked a node that just lost its leadership
        case JSClusterIncompleteErr:
        case JSStreamOfflineErr: // the stream's group has no leader
            return true;
        default: return false;
    }
}

} // namespace trx
