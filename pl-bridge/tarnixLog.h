/* Log lines of the payload plug-in: "<LEVEL> TARNIX-PL-Bridge: (<file>:<line>): <message>". */
#ifndef TARNIX_PL_LOG_H
#define TARNIX_PL_LOG_H

#include <mama/log.h>

namespace tarnix
{

constexpr const char* baseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/')
            base = p + 1;
    return base;
}

bool logEnabled(MamaLogLevel level);

void logLine(MamaLogLevel level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

} // namespace tarnix

#define TARNIX_PL_LOG(level, ...)                                                                                      \
    do                                                                                                                 \
    {                                                                                                                  \
        if (::tarnix::logEnabled(level))                                                                               \
            ::tarnix::logLine((level), ::tarnix::baseName(__FILE__), __LINE__, __VA_ARGS__);                           \
    } while (0)

#endif
