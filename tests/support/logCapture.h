/* Captures OpenMAMA log lines for the duration of a test (one capture at a
 * time); outside a capture lines go to OpenMAMA's default output. */
#ifndef TARNIX_TEST_LOGCAPTURE_H
#define TARNIX_TEST_LOGCAPTURE_H

#include <mama/mama.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

struct LogLine
{
    MamaLogLevel level;
    std::string text;
};

class LogCapture
{
public:
    /* Routes mama_log to this capture at level until destroyed. */
    explicit LogCapture(MamaLogLevel level = MAMA_LOG_LEVEL_FINEST);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    /* Lines whose text contains needle. */
    std::vector<LogLine> matching(const std::string& needle) const;
    bool contains(const std::string& needle) const;
    /* Every line, one a line, for a failure message. */
    std::string all() const;
    void clear();

private:
    static void MAMACALLTYPE onLog(MamaLogLevel level, const char* message);
    static std::atomic<LogCapture*> sActive;
    mutable std::mutex mMutex;
    std::vector<LogLine> mLines;
    MamaLogLevel mPreviousLevel;
};

#endif
