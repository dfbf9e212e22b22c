#include "logCapture.h"

std::atomic<LogCapture*> LogCapture::sActive{nullptr};

namespace
{
/* Held while a line is added, so that a capture going away waits for a line
 * another thread (the client library's) is adding to it. */
std::mutex gGate;
} // namespace

LogCapture::LogCapture(MamaLogLevel level) : mPreviousLevel(mama_getLogLevel())
{
    sActive = this;
    /* Installed once and never taken out: OpenMAMA reads its second-form
     * callback twice without its lock (test, then call), so a logging thread
     * calls through null if the callback is reset while it logs. */
    static const bool installed = (mama_setLogCallback2(onLog), true);
    (void)installed;
    mama_setLogLevel(level);
}

LogCapture::~LogCapture()
{
    {
        std::lock_guard<std::mutex> gate(gGate);
        sActive = nullptr;
    }
    mama_setLogLevel(mPreviousLevel);
}

void MAMACALLTYPE LogCapture::onLog(MamaLogLevel level, const char* message)
{
    std::lock_guard<std::mutex> gate(gGate);
    LogCapture* self = sActive.load();
    if (self == nullptr)
    {
        mama_logDefault2(level, message); /* as if no capture had been made */
        return;
    }
    std::lock_guard<std::mutex> lock(self->mMutex);
    self->mLines.push_back({level, message != nullptr ? message : ""});
}

std::vector<LogLine> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
}

std::vector<LogLine> LogCapture::matching(const std::string& needle) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<LogLine> found;
    for (const LogLine& line : mLines)
        if (line.text.find(needle) != std::string::npos)
            found.push_back(line);
    return found;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.clear();
}

bool LogCapture::contains(const std::string& needle) const
{
    return !matching(needle).empty();
}

std::string LogCapture::all() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::string text;
    for (const LogLine& line : mLines)
        text += line.text + "\n";
    return text;
}
