// Worker threads that wait on a condition variable until told to stop.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace trx
{

// Ends a worker thread that waits on cv for stop (set under mu).
inline void stopWorker(std::mutex& mu, std::condition_variable& cv, bool& stop, std::thread& worker)
{
    {
        std::lock_guard<std::mutex> g(mu);
        stop = true;
    }
    cv.notify_all();
    if (worker.joinable())
        worker.join();
}

} // namespace trx
