#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace testsupport
{

Millis scaled(Millis base)
{
    static const double scale = []
    {
        const char* s = std::getenv("E2E_TIMEOUT_SCALE");
        double v = s ? std::atof(s) : 1.0;
        return v > 0 ? v : 1.0;
    }();
    return Millis(static_cast<long long>(static_cast<double>(base.count()) * scale));
}

bool waitUntil(const std::function<bool()>& cond, Millis timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    for (;;)
    {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return cond();
        std::this_thread::sleep_for(Millis(20));
    }
}

TempDir::TempDir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    mPath = buf.data();
}

TempDir::~TempDir()
{
    if (mKeep)
    {
        std::fprintf(stderr, "kept %s\n", mPath.c_str());
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
}

Process::Process(ProcessOptions options) : mOptions(std::move(options))
{
    // Everything the child needs is built before fork: after it only
    // async-signal-safe calls are made.
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
    {
        const char* eq = std::strchr(*e, '=');
        if (eq != nullptr)
            env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& kv : mOptions.env)
        env[kv.first] = kv.second;
    std::vector<std::string> envStrings;
    for (const auto& kv : env)
        envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& a : mOptions.argv)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    const pid_t parent = ::getpid();
    mPid = ::fork();
    if (mPid < 0)
        throw std::runtime_error("fork failed");
    if (mPid == 0)
    {
        // Dies with the test binary, whatever way that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(126);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            ::dup2(devnull, 0);
        // A shell that started the tests in the background left SIGINT and
        // SIGQUIT ignored, and exec keeps that: the programs get them as a
        // user's terminal would send them.
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
            ::signal(sig, SIG_DFL);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        const char msg[] = "exec failed\n";
        ssize_t ignored = ::write(2, msg, sizeof msg - 1);
        (void)ignored;
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    mFds[Out] = out[0];
    mFds[Err] = err[0];
    mReaders[Out] = std::thread(&Process::reader, this, mFds[Out], Out);
    mReaders[Err] = std::thread(&Process::reader, this, mFds[Err], Err);
}

Process::~Process()
{
    kill();
}

void Process::reader(int fd, Stream s)
{
    std::ofstream copy;
    if (!mOptions.logDir.empty())
        copy.open(mOptions.logDir + "/" + mOptions.name + (s == Out ? ".out" : ".err"));
    const bool paced = s == Out && mOptions.pacedPerSecond > 0 && !mOptions.pacedMarker.empty();
    // Small reads keep the pacing fine-grained: the pipe is the only slack.
    std::vector<char> buf(paced ? 512 : 8192);
    std::string partial;
    uint64_t marked = 0;
    const auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        while (s == Out && mOutputHeld && !mStopping)
            std::this_thread::sleep_for(Millis(10));
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (copy)
            copy.write(buf.data(), n);
        partial.append(buf.data(), static_cast<size_t>(n));
        size_t pos;
        std::vector<std::string> fresh;
        while ((pos = partial.find('\n')) != std::string::npos)
        {
            fresh.push_back(partial.substr(0, pos));
            partial.erase(0, pos + 1);
        }
        if (paced)
            for (const auto& l : fresh)
                if (l.find(mOptions.pacedMarker) != std::string::npos)
                    ++marked;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            for (auto& l : fresh)
                mLines[s].push_back(std::move(l));
        }
        if (paced && !mStopping)
        {
            const auto due =
                start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(marked) / mOptions.pacedPerSecond));
            while (!mStopping && std::chrono::steady_clock::now() < due)
                std::this_thread::sleep_for(
                    std::min<std::chrono::steady_clock::duration>(due - std::chrono::steady_clock::now(), Millis(50)));
        }
    }
    if (!partial.empty())
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mLines[s].push_back(partial);
    }
    ::close(fd);
}

void Process::reap(int status)
{
    mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Process::running()
{
    if (mStatus)
        return false;
    int status = 0;
    pid_t r = ::waitpid(mPid, &status, WNOHANG);
    if (r == mPid)
    {
        reap(status);
        return false;
    }
    return true;
}

std::optional<int> Process::exitStatus()
{
    running();
    return mStatus;
}

bool Process::waitExit(Millis timeout)
{
    return waitUntil([this] { return !running(); }, timeout);
}

void Process::signal(int sig)
{
    if (running())
        ::kill(mPid, sig);
}

void Process::kill()
{
    mStopping = true;
    if (mPid > 0 && !mStatus)
    {
        ::kill(mPid, SIGKILL);
        int status = 0;
        while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR)
        {
        }
        reap(status);
    }
    // The child is gone, so both pipes reach end of file.
    for (auto& t : mReaders)
        if (t.joinable())
            t.join();
}

std::vector<std::string> Process::lines(Stream s) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines[s];
}

size_t Process::lineCount(Stream s) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines[s].size();
}

size_t Process::countLines(Stream s, const std::string& text, size_t from, size_t* end) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    size_t n = 0;
    for (size_t i = from; i < mLines[s].size(); ++i)
        n += mLines[s][i].find(text) != std::string::npos;
    if (end)
        *end = std::max(from, mLines[s].size());
    return n;
}

std::optional<size_t> Process::waitForLine(const std::function<bool(const std::string&)>& pred, Millis timeout,
                                           Stream s, size_t from)
{
    std::optional<size_t> found;
    size_t next = from;
    auto check = [&]
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (; next < mLines[s].size(); ++next)
            if (pred(mLines[s][next]))
            {
                found = next;
                return true;
            }
        return false;
    };
    waitUntil(check, timeout);
    return found;
}

std::optional<size_t> Process::waitForText(const std::string& text, Millis timeout, Stream s, size_t from)
{
    return waitForLine([&](const std::string& l) { return l.find(text) != std::string::npos; }, timeout, s, from);
}

std::string Process::tail(Stream s, size_t n) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    const auto& v = mLines[s];
    std::ostringstream os;
    for (size_t i = v.size() > n ? v.size() - n : 0; i < v.size(); ++i)
        os << "  " << v[i] << "\n";
    return os.str();
}

namespace
{
std::string procField(pid_t pid, const std::string& key)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() && line[key.size()] == ':')
            return line.substr(key.size() + 1);
    return "";
}
} // namespace

long Process::rssKb() const
{
    std::string v = procField(mPid, "VmRSS");
    return v.empty() ? -1 : std::atol(v.c_str());
}

int Process::threads() const
{
    std::string v = procField(mPid, "Threads");
    return v.empty() ? -1 : std::atoi(v.c_str());
}

} // namespace testsupport
