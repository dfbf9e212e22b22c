#include "context.h"

#include "errors.h"
#include "library.h"
#include "log.h"
#include "props.h"
#include "session.h"

#include <algorithm>
#include <new>

namespace trx
{

Context::Context(bool ownThread) : mOwnThread(ownThread)
{
    if (mOwnThread)
        mThread = std::thread([this] { loop(); });
}

Context::~Context()
{
    shutdown();
    magic = 0;
}

void Context::shutdown()
{
    if (mSelfDelete)
        return; // the loop is ending on its own and frees us
    {
        std::lock_guard<std::mutex> g(mMu);
        mStop = true;
    }
    mCv.notify_all();
    if (mThread.joinable())
    {
        if (mThread.get_id() == std::this_thread::get_id())
            mThread.detach(); // destroyed from its own callback: the loop ends on return
        else
            mThread.join();
    }
}

bool Context::onContextThread() const
{
    return mRunner.load() == std::this_thread::get_id();
}

void Context::post(std::function<void()> fn, Session* owner)
{
    {
        std::lock_guard<std::mutex> g(mMu);
        Item it;
        it.fn = std::move(fn);
        it.owner = owner;
        mQueue.push_back(std::move(it));
    }
    mCv.notify_one();
}

void Context::postSessionRx(Session* s)
{
    {
        std::lock_guard<std::mutex> g(mMu);
        Item it;
        it.session = s;
        it.owner = s;
        mQueue.push_back(std::move(it));
    }
    mCv.notify_one();
}

void Context::runAndWait(const std::function<void()>& fn)
{
    if (onContextThread() || (!mOwnThread && !mRunning))
    {
        fn();
        return;
    }
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    post(
        [&]
        {
            fn();
            std::lock_guard<std::mutex> g(m);
            done = true;
            cv.notify_all();
        });
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return done; });
}

void Context::purge(Session* s)
{
    std::lock_guard<std::mutex> g(mMu);
    mQueue.erase(std::remove_if(mQueue.begin(), mQueue.end(), [s](const Item& it) { return it.owner == s; }),
                 mQueue.end());
}

void Context::deferDelete(Session* s)
{
    std::unique_lock<std::mutex> lk(mMu);
    if (onContextThread() && mRunning)
    {
        mDeferred.push_back(s);
        return;
    }
    lk.unlock();
    delete s;
}

void Context::addSession(Session* s)
{
    std::lock_guard<std::mutex> g(mMu);
    mSessions.push_back(s);
}

void Context::removeSession(Session* s)
{
    std::lock_guard<std::mutex> g(mMu);
    mSessions.erase(std::remove(mSessions.begin(), mSessions.end(), s), mSessions.end());
}

std::vector<Session*> Context::sessions()
{
    std::lock_guard<std::mutex> g(mMu);
    return mSessions;
}

bool Context::runOne(std::unique_lock<std::mutex>& lk)
{
    auto now = Clock::now();
    if (!mSchedule.empty() && mSchedule.begin()->first <= now)
    {
        uint64_t id = mSchedule.begin()->second;
        mSchedule.erase(mSchedule.begin());
        auto it = mTimers.find(id);
        if (it == mTimers.end())
            return true;
        Timer t = it->second;
        if (t.periodMs)
        {
            it->second.due = now + std::chrono::milliseconds(t.periodMs);
            mSchedule.emplace(it->second.due, id);
        }
        else
        {
            mTimers.erase(it);
        }
        mRunning = true;
        lk.unlock();
        if (t.fn)
            t.fn();
        else
            t.cb(this, t.user);
        lk.lock();
        mRunning = false;
        return true;
    }
    if (mQueue.empty())
        return false;
    Item it = std::move(mQueue.front());
    mQueue.pop_front();
    mRunning = true;
    lk.unlock();
    if (it.fn)
        it.fn();
    else
        it.session->runRx();
    lk.lock();
    mRunning = false;
    std::vector<Session*> del;
    del.swap(mDeferred);
    if (!del.empty())
    {
        lk.unlock();
        for (Session* s : del)
            delete s;
        lk.lock();
    }
    return true;
}

void Context::destroyFromOwnThread()
{
    std::lock_guard<std::mutex> g(mMu);
    mStop = true;
    mSelfDelete = true;
    mThread.detach();
}

void Context::loop()
{
    mRunner.store(std::this_thread::get_id());
    std::unique_lock<std::mutex> lk(mMu);
    while (!mStop)
    {
        if (runOne(lk))
            continue;
        if (mSchedule.empty())
        {
            mCv.wait(lk);
        }
        else
        {
            Clock::time_point due = mSchedule.begin()->first; // the node may go while we wait
            mCv.wait_until(lk, due);
        }
    }
    if (mSelfDelete)
    {
        lk.unlock();
        delete this;
    }
}

int Context::processEvents(int timeoutMs)
{
    mRunner.store(std::this_thread::get_id());
    std::unique_lock<std::mutex> lk(mMu);
    int n = 0;
    while (runOne(lk))
        ++n;
    if (n == 0 && timeoutMs > 0)
    {
        auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!mSchedule.empty() && mSchedule.begin()->first < until)
            until = mSchedule.begin()->first;
        mCv.wait_until(lk, until);
        while (runOne(lk))
            ++n;
    }
    return n;
}

bool Context::drain(int timeoutMs)
{
    auto flag = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto done = std::make_shared<bool>(false);
    post(
        [flag, done]
        {
            std::lock_guard<std::mutex> g(flag->first);
            *done = true;
            flag->second.notify_all();
        });
    if (!mOwnThread)
    {
        auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < until)
        {
            processEvents(10);
            std::lock_guard<std::mutex> g(flag->first);
            if (*done)
                return true;
        }
        return false;
    }
    std::unique_lock<std::mutex> lk(flag->first);
    return flag->second.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return *done; });
}

trxClient_returnCode_t Context::startTimer(int mode, uint32_t ms, trxClient_context_timerCallbackFunc_t cb, void* user,
                                           uint64_t& id)
{
    {
        std::lock_guard<std::mutex> g(mMu);
        id = mNextTimer++;
        Timer t;
        t.due = Clock::now() + std::chrono::milliseconds(ms);
        t.periodMs = mode == TRXCLIENT_CONTEXT_TIMER_REPEAT ? std::max<uint32_t>(ms, 1) : 0;
        t.cb = cb;
        t.user = user;
        mSchedule.emplace(t.due, id);
        mTimers.emplace(id, std::move(t));
    }
    mCv.notify_one();
    return TRXCLIENT_OK;
}

uint64_t Context::startInternalTimer(uint32_t ms, std::function<void()> fn)
{
    uint64_t id;
    {
        std::lock_guard<std::mutex> g(mMu);
        id = mNextTimer++;
        Timer t;
        t.due = Clock::now() + std::chrono::milliseconds(ms);
        t.fn = std::move(fn);
        mSchedule.emplace(t.due, id);
        mTimers.emplace(id, std::move(t));
    }
    mCv.notify_one();
    return id;
}

bool Context::stopTimer(uint64_t id)
{
    std::lock_guard<std::mutex> g(mMu);
    auto it = mTimers.find(id);
    if (it == mTimers.end())
        return false;
    auto range = mSchedule.equal_range(it->second.due);
    for (auto s = range.first; s != range.second; ++s)
        if (s->second == id)
        {
            mSchedule.erase(s);
            break;
        }
    mTimers.erase(it);
    return true;
}

Context* toContext(trxClient_opaqueContext_pt p)
{
    Context* c = static_cast<Context*>(p);
    return c && c->magic == Context::kMagic ? c : nullptr;
}

} // namespace trx

using namespace trx;

extern "C"
{

    trxClient_returnCode_t trxClient_context_create(trxClient_propertyArray_pt props,
                                                    trxClient_opaqueContext_pt* context_p,
                                                    trxClient_context_createFuncInfo_t* funcInfo_p, size_t)
    {
        if (!context_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_context_create: NULL out pointer");
        if (!libraryInitialized())
            return fail(TRXCLIENT_SUBCODE_INIT_NOT_CALLED, "trxClient_context_create: trxClient_initialize not called");
        if (funcInfo_p && (funcInfo_p->regFdFunc_p || funcInfo_p->unregFdFunc_p))
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE,
                        "trxClient_context_create: file descriptor callbacks are not supported");
        Props p;
        std::string err;
        if (!p.parse(props, err))
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_context_create: %s", err.c_str());
        bool own = p.getStr("CONTEXT_CREATE_THREAD", "0") == "1";
        Context* c = new (std::nothrow) Context(own);
        if (!c)
            return fail(TRXCLIENT_SUBCODE_OUT_OF_MEMORY, "trxClient_context_create: out of memory");
        addContext(c);
        TRX_LOG(TRXCLIENT_LOG_INFO, "context %p created%s", static_cast<void*>(c), own ? " with its own thread" : "");
        *context_p = c;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_context_destroy(trxClient_opaqueContext_pt* context_p)
    {
        if (!context_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_context_destroy: NULL pointer");
        Context* c = toContext(*context_p);
        if (!c)
            return fail(*context_p ? TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE : TRXCLIENT_SUBCODE_PARAM_NULL_PTR,
                        "trxClient_context_destroy: not a context");
        removeContext(c);
        for (Session* s : c->sessions())
        {
            trxClient_opaqueSession_pt sp = s;
            trxClient_session_destroy(&sp);
        }
        c->magic = 0;
        if (c->onContextThread() && c->hasOwnThread())
            c->destroyFromOwnThread();
        else
            delete c;
        *context_p = nullptr;
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_context_sync(trxClient_opaqueContext_pt context, int timeoutMs)
    {
        Context* c = toContext(context);
        if (!c)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_context_sync: not a context");
        if (c->onContextThread())
            return TRXCLIENT_OK;
        if (!c->drain(std::max(0, timeoutMs)))
            return fail(TRXCLIENT_SUBCODE_TIMEOUT, "trxClient_context_sync: the context did not catch up in %d ms",
                        timeoutMs);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_context_processEvents(trxClient_opaqueContext_pt context, int timeoutMs)
    {
        Context* c = toContext(context);
        if (!c)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_context_processEvents: not a context");
        c->processEvents(timeoutMs);
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_context_startTimer(trxClient_opaqueContext_pt context,
                                                        trxClient_context_timerMode_t mode, uint32_t durationMs,
                                                        trxClient_context_timerCallbackFunc_t callback_p, void* user_p,
                                                        trxClient_context_timerId_t* timerId_p)
    {
        Context* c = toContext(context);
        if (!c || !callback_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_context_startTimer: NULL %s",
                        c ? "callback" : "context");
        if (mode != TRXCLIENT_CONTEXT_TIMER_ONE_SHOT && mode != TRXCLIENT_CONTEXT_TIMER_REPEAT)
            return fail(TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE, "trxClient_context_startTimer: mode %d", mode);
        uint64_t id;
        c->startTimer(mode, durationMs, callback_p, user_p, id);
        if (timerId_p)
            *timerId_p = reinterpret_cast<trxClient_context_timerId_t>(static_cast<uintptr_t>(id));
        return TRXCLIENT_OK;
    }

    trxClient_returnCode_t trxClient_context_stopTimer(trxClient_opaqueContext_pt context,
                                                       trxClient_context_timerId_t* timerId_p)
    {
        Context* c = toContext(context);
        if (!c || !timerId_p)
            return fail(TRXCLIENT_SUBCODE_PARAM_NULL_PTR, "trxClient_context_stopTimer: NULL %s",
                        c ? "timer id" : "context");
        uint64_t id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(*timerId_p));
        if (!c->stopTimer(id))
            return failWith(TRXCLIENT_NOT_FOUND, TRXCLIENT_SUBCODE_PARAM_OUT_OF_RANGE,
                            "trxClient_context_stopTimer: timer already fired or stopped");
        *timerId_p = nullptr;
        return TRXCLIENT_OK;
    }

} // extern "C"
