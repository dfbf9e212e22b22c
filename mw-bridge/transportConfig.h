/* Checks of a transport's configuration that catch everyday mistakes: a
 * transport nobody configured, a misspelt key, no broker named. */
#ifndef TARNIX_MW_TRANSPORTCONFIG_H
#define TARNIX_MW_TRANSPORTCONFIG_H

#include <cstddef>
#include <string>

struct TarnixTransportConfig
{
    size_t mKeys = 0;      /* properties set under the transport's prefix */
    bool mHasHost = false; /* SESSION_HOST among them */
};

/* Walks OpenMAMA's properties under "mama.tarnix.transport.NAME." and warns
 * about each key neither the bridge nor the client library reads, naming
 * the nearest known one. */
TarnixTransportConfig tarnixTransportConfig_check(const char* name);

/* The known key nearest to key (ignoring case) when it is close enough to
 * be a typo of it, else empty. */
std::string tarnixTransportConfig_nearestKey(const char* key);

/* True for keys whose values are secrets: never logged. */
bool tarnixTransportConfig_isSecret(const char* key);

#endif
