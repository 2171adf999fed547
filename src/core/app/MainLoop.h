#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace tw {

/// The headless mode's main thread: runs posted tasks one after another until told to quit.
/// Posting is safe from any thread; tasks run on the thread that called run().
class MainLoop {
public:
    void post(std::function<void()> task);
    /// Posts the task to run once `delay` has passed, after the tasks waiting at that moment.
    /// Dropped when the loop quits before.
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task);
    /// Posts the task and waits until it has run (a sent message). Must not be called from
    /// the loop's own thread.
    void send(const std::function<void()>& task);
    void quit();
    void run();
    bool quitting() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> m_timed;
    bool m_quit = false;
};

} // namespace tw
