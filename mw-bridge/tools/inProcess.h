/* What the tools publish is for other processes: a broker living in the
 * tool's own process dies with it. */
#ifndef TARNIX_TOOLS_INPROCESS_H
#define TARNIX_TOOLS_INPROCESS_H

#include <mama/mama.h>

#include <cstring>
#include <string>

/* The in-process broker a tarnix transport uses (SESSION_HOST inproc://...,
 * or none given), or empty when it uses a real one. After mama_open. */
inline std::string tarnixInProcessBroker(const std::string& middleware, const std::string& transport)
{
    if (middleware != "tarnix")
        return "";
    const std::string key = "mama.tarnix.transport." + transport + ".SESSION_HOST";
    const char* host = mama_getProperty(key.c_str());
    if (host == nullptr || *host == '\0')
        return "inproc://default";
    return std::strncmp(host, "inproc://", 9) == 0 ? host : "";
}

#endif
