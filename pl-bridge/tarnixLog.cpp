#include "tarnixLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tarnix
{

bool logEnabled(MamaLogLevel level)
{
    MamaLogLevel current = mama_getLogLevel();
    return current != MAMA_LOG_LEVEL_OFF && current >= level;
}

void logLine(MamaLogLevel level, const char* file, int line, const char* format, ...)
{
    char small[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    const char* text = small;
    std::string large;
    if (static_cast<size_t>(n) >= sizeof small)
    {
        large.resize(static_cast<size_t>(n) + 1);
        va_start(ap, format);
        vsnprintf(&large[0], large.size(), format, ap);
        va_end(ap);
        text = large.c_str();
    }
    mama_log(level, "%s TARNIX-PL-Bridge: (%s:%d): %s", mama_logLevelToString(level), file, line, text);
}

} // namespace tarnix
