// Child processes for end-to-end tests: started with a given environment,
// their output captured line by line (and copied to log files), killed when
// the owner goes away, and also when the test binary dies.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport
{

using Millis = std::chrono::milliseconds;

// Every wait is multiplied by E2E_TIMEOUT_SCALE (default 1): a slower machine
// gets more time without touching the tests.
Millis scaled(Millis base);

// Polls cond every 20 ms until it holds or the (scaled) timeout passes.
bool waitUntil(const std::function<bool()>& cond, Millis timeout);

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class TempDir
{
public:
    explicit TempDir(const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }
    void keep() { mKeep = true; }

private:
    std::string mPath;
    bool mKeep = false;
};

struct ProcessOptions
{
    std::string name;                       // label for logs
    std::vector<std::string> argv;          // argv[0] is the executable path
    std::map<std::string, std::string> env; // added to (or replacing) the test's environment
    std::string logDir;                     // NAME.out / NAME.err copies land here
    // A slow reader of standard output: lines containing pacedMarker are let
    // through at no more than pacedPerSecond per second; the child blocks on
    // its full pipe meanwhile.
    std::string pacedMarker;
    double pacedPerSecond = 0;
};

class Process
{
public:
    enum Stream
    {
        Out = 0,
        Err = 1
    };

    explicit Process(ProcessOptions options);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return mPid; }
    const std::string& name() const { return mOptions.name; }
    bool running();
    // Exit status (or 128 + signal) once the process has ended.
    std::optional<int> exitStatus();
    bool waitExit(Millis timeout);
    void signal(int sig);
    // SIGKILL and reap; safe to call twice.
    void kill();

    std::vector<std::string> lines(Stream s) const;
    size_t lineCount(Stream s) const;
    // Lines at index >= from that contain text, without copying them; *end
    // (when given) receives the index after the last line looked at.
    size_t countLines(Stream s, const std::string& text, size_t from = 0, size_t* end = nullptr) const;
    // First line at index >= from (of stream s) satisfying pred; waits for it.
    std::optional<size_t> waitForLine(const std::function<bool(const std::string&)>& pred, Millis timeout,
                                      Stream s = Out, size_t from = 0);
    std::optional<size_t> waitForText(const std::string& text, Millis timeout, Stream s = Out, size_t from = 0);
    std::string tail(Stream s, size_t n) const;

    // From /proc: resident set in KiB and number of threads; -1 when gone.
    long rssKb() const;
    int threads() const;

    // While held, standard output is not read: the child blocks on its full
    // pipe, as on a terminal nobody scrolls.
    void holdOutput(bool held) { mOutputHeld = held; }

private:
    void reader(int fd, Stream s);
    void reap(int status);

    ProcessOptions mOptions;
    pid_t mPid = -1;
    std::optional<int> mStatus;
    std::atomic<bool> mStopping{false};
    std::atomic<bool> mOutputHeld{false};
    std::thread mReaders[2];
    int mFds[2] = {-1, -1};
    mutable std::mutex mMutex;
    std::vector<std::string> mLines[2];
};

} // namespace testsupport
