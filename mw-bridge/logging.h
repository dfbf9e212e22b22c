/* Log lines of the middleware bridge, the level tables between OpenMAMA and
 * the client library, and the throttled logger. */
#ifndef TARNIX_MW_LOGGING_H
#define TARNIX_MW_LOGGING_H

#include <mama/mama.h>
#include <mama/log.h>
#include <trxClient.h>

#include <atomic>
#include <cstdint>

/* Give mama_log printf checking so every bridge log statement has its
 * arguments verified at compile time. */
extern "C" void mama_log(MamaLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define TARNIX_STRINGIFY2(x) #x
#define TARNIX_STRINGIFY(x) TARNIX_STRINGIFY2(x)

/* "<Level> TARNIX-MW-Bridge: (<file>:<line>): <message>". The file name is
 * relative to mw-bridge/ (see -fmacro-prefix-map in CMakeLists.txt). */
#define TARNIX_LOG(level, fmt, ...)                                                                                    \
    mama_log((level), "%s TARNIX-MW-Bridge: (" __FILE__ ":" TARNIX_STRINGIFY(__LINE__) "): " fmt,                      \
             mama_logLevelToString(level), ##__VA_ARGS__)

#define TARNIX_LOG_SEVERE(fmt, ...) TARNIX_LOG(MAMA_LOG_LEVEL_SEVERE, fmt, ##__VA_ARGS__)
#define TARNIX_LOG_ERROR(fmt, ...) TARNIX_LOG(MAMA_LOG_LEVEL_ERROR, fmt, ##__VA_ARGS__)
#define TARNIX_LOG_WARN(fmt, ...) TARNIX_LOG(MAMA_LOG_LEVEL_WARN, fmt, ##__VA_ARGS__)
#define TARNIX_LOG_NORMAL(fmt, ...) TARNIX_LOG(MAMA_LOG_LEVEL_NORMAL, fmt, ##__VA_ARGS__)
#define TARNIX_LOG_FINE(fmt, ...) TARNIX_LOG(MAMA_LOG_LEVEL_FINE, fmt, ##__VA_ARGS__)
#define TARNIX_LOG_FINER(fmt, ...) TARNIX_LOG(MAMA_LOG_LEVEL_FINER, fmt, ##__VA_ARGS__)
#define TARNIX_LOG_FINEST(fmt, ...) TARNIX_LOG(MAMA_LOG_LEVEL_FINEST, fmt, ##__VA_ARGS__)

/* Level translation by meaning, both directions. Out-of-range inputs clamp
 * to the table's last column; negative inputs map to 0. */
int tarnixLog_mamaToClientLevel(int mamaLevel);
int tarnixLog_clientToMamaLevel(int clientLevel);

/* "[API] ", "[APP] " or "" for a client-library log category. */
const char* tarnixLog_categoryPrefix(int category);

/* Forwards one client-library log record into OpenMAMA's log. */
void tarnixLog_clientCallback(trxClient_log_callbackInfo_pt info, void* user);

/* Collapses bursts of one kind of message into the first line plus, a
 * second later, the last message with a repeat count. */
struct TarnixThrottledLog
{
    MamaLogLevel mLevel;
    void* mTimerContext; /* client-library context running the flush timer */
    std::atomic<int32_t> mDestroyed;
    std::atomic<int32_t> mRepeatCount;
    std::atomic<char*> mLastText;
};

TarnixThrottledLog* tarnixThrottledLog_create(MamaLogLevel level, void* context);
void tarnixThrottledLog_log(TarnixThrottledLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* A second destroy does nothing; a flush still pending frees the record
 * after its report. */
void tarnixThrottledLog_destroy(TarnixThrottledLog* log);
/* Before context is destroyed: ends every period still waiting for its
 * flush there, so its repeat line is written and its record freed. */
void tarnixThrottledLog_flushPending(void* context);

#endif
