// The context: the thread (its own, or the application's through
// processEvents) that runs session events, timers and queued messages.
#pragma once

#include "clock.h"
#include "trxClient.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace trx
{

class Session;

class Context
{
public:
    static constexpr uint32_t kMagic = 0x54525843; // "TRXC"
    uint32_t magic = kMagic;

    Context(bool ownThread);
    ~Context();

    // Queue work for the context thread. owner lets a session purge its items.
    void post(std::function<void()> fn, Session* owner = nullptr);
    void postSessionRx(Session* s);
    bool onContextThread() const;
    bool hasOwnThread() const { return mOwnThread; }
    // Runs fn on the context thread and waits for it (inline when already there).
    void runAndWait(const std::function<void()>& fn);
    // Drops queued work owned by s.
    void purge(Session* s);
    // Delete s after the work item now running has finished (or at once).
    void deferDelete(Session* s);

    int processEvents(int timeoutMs);
    bool drain(int timeoutMs);

    trxClient_returnCode_t startTimer(int mode, uint32_t ms, trxClient_context_timerCallbackFunc_t cb, void* user,
                                      uint64_t& id);
    bool stopTimer(uint64_t id);
    // Internal timers (cache request time-outs); the callback runs on the context thread.
    uint64_t startInternalTimer(uint32_t ms, std::function<void()> fn);

    void addSession(Session* s);
    void removeSession(Session* s);
    std::vector<Session*> sessions();
    void shutdown(); // stops and joins the thread
    // Destroy from inside one of its own callbacks: the loop frees the
    // context once the callback has returned.
    void destroyFromOwnThread();

private:
    struct Item
    {
        Session* session = nullptr; // SessionRx when fn is empty
        std::function<void()> fn;
        Session* owner = nullptr;
    };
    struct Timer
    {
        Clock::time_point due;
        uint32_t periodMs = 0;
        trxClient_context_timerCallbackFunc_t cb = nullptr;
        void* user = nullptr;
        std::function<void()> fn;
    };
    void loop();
    // Runs at most one queued item or due timer; lock held on entry and exit.
    bool runOne(std::unique_lock<std::mutex>& lk);

    mutable std::mutex mMu;
    std::condition_variable mCv;
    std::deque<Item> mQueue;
    std::map<uint64_t, Timer> mTimers;
    std::multimap<Clock::time_point, uint64_t> mSchedule;
    uint64_t mNextTimer = 1;
    bool mStop = false;
    bool mOwnThread;
    std::thread mThread;
    std::atomic<std::thread::id> mRunner{};
    std::vector<Session*> mSessions;
    std::vector<Session*> mDeferred;
    bool mRunning = false;
    bool mSelfDelete = false;
};

Context* toContext(trxClient_opaqueContext_pt p);

} // namespace trx
