#include "transportConfig.h"

#include "logging.h"

#include <mama/integration/mama.h>
#include <property.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>
#include <vector>

namespace
{

constexpr const char* kTransportPrefix = "mama.tarnix.transport.";

/* Every per-transport key the bridge or the client library reads. */
constexpr const char* kKnownKeys[] = {
    "allow_recover_gaps",
    "use_trxcache",
    "send_subreq",
    "max_pending_bytes",
    "stats_interval",
    "SESSION_HOST",
    "SESSION_USERNAME",
    "SESSION_PASSWORD",
    "SESSION_TOKEN",
    "SESSION_NKEY_SEED_FILE",
    "SESSION_CREDS_FILE",
    "SESSION_TLS_CA_FILE",
    "SESSION_TLS_CERT_FILE",
    "SESSION_TLS_KEY_FILE",
    "SESSION_TLS_VERIFY_HOSTNAME",
    "SESSION_CONNECT_BLOCKING",
    "SESSION_CONNECT_TIMEOUT_MS",
    "SESSION_CONNECT_RETRIES",
    "SESSION_RECONNECT_RETRIES",
    "SESSION_RECONNECT_RETRY_WAIT_MS",
    "SESSION_KEEP_ALIVE_INT_MS",
    "SESSION_KEEP_ALIVE_LIMIT",
    "SESSION_REAPPLY_SUBSCRIPTIONS",
    "SESSION_TOPIC_DISPATCH",
    "SESSION_ALWAYS_BUFFER_IN_CONTEXT",
    "SESSION_BUFFER_MSG_LIMIT",
    "SESSION_BUFFER_BYTE_LIMIT",
    "SESSION_REQUEST_MSG_LIMIT",
    "SESSION_SEND_POLICY",
    "CACHESESSION_REQUEST_TIMEOUT_MS",
    "CACHESESSION_MAX_AGE_MS",
    "CACHESESSION_STREAM",
};

/* Edit distance ignoring case; keys are short. */
size_t distance(const char* a, const char* b)
{
    const size_t n = std::strlen(a), m = std::strlen(b);
    std::vector<size_t> row(m + 1);
    for (size_t j = 0; j <= m; ++j)
        row[j] = j;
    for (size_t i = 1; i <= n; ++i)
    {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= m; ++j)
        {
            const size_t above = row[j];
            const bool same = std::toupper(static_cast<unsigned char>(a[i - 1])) ==
                              std::toupper(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[m];
}

bool isKnown(const char* key)
{
    for (const char* known : kKnownKeys)
        if (strcasecmp(known, key) == 0)
            return true;
    return false;
}

struct Walk
{
    std::string prefix;
    TarnixTransportConfig result;
};

extern "C" void visit(const char* name, const char* /*value*/, void* closure)
{
    Walk* walk = static_cast<Walk*>(closure);
    if (name == nullptr || std::strncmp(name, walk->prefix.c_str(), walk->prefix.size()) != 0)
        return;
    const char* key = name + walk->prefix.size();
    ++walk->result.mKeys;
    if (strcasecmp(key, "SESSION_HOST") == 0)
        walk->result.mHasHost = true;
    if (isKnown(key))
        return;
    const std::string nearest = tarnixTransportConfig_nearestKey(key);
    if (nearest.empty())
        TARNIX_LOG_WARN("Unknown property %s is ignored", name);
    else
        TARNIX_LOG_WARN("Unknown property %s is ignored; did you mean %s%s?", name, walk->prefix.c_str(),
                        nearest.c_str());
}

} // namespace

std::string tarnixTransportConfig_nearestKey(const char* key)
{
    const char* best = nullptr;
    size_t bestDistance = 0;
    for (const char* known : kKnownKeys)
    {
        const size_t d = distance(key, known);
        if (best == nullptr || d < bestDistance)
        {
            best = known;
            bestDistance = d;
        }
    }
    /* A typo changes a few characters, not a third of the key. */
    const size_t allowed = std::max<size_t>(2, std::strlen(best) / 4);
    return bestDistance <= allowed ? best : std::string();
}

bool tarnixTransportConfig_isSecret(const char* key)
{
    std::string upper(key != nullptr ? key : "");
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const bool file = upper.size() >= 5 && upper.compare(upper.size() - 5, 5, "_FILE") == 0;
    return !file && (upper.find("PASSWORD") != std::string::npos || upper.find("TOKEN") != std::string::npos ||
                     upper.find("SEED") != std::string::npos || upper.find("SECRET") != std::string::npos);
}

TarnixTransportConfig tarnixTransportConfig_check(const char* name)
{
    Walk walk;
    walk.prefix = std::string(kTransportPrefix) + name + ".";
    if (wproperty_t store = mamaInternal_getProperties())
        properties_ForEach(store, visit, &walk);
    return walk.result;
}
