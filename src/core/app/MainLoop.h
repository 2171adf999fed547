#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace tw {

/// The headless mode's main thread: runs posted tasks one after another until told to quit.
/// Posting is safe from any thread; tasks run on the thread that called run().
class MainLoop {
public:
    void post(std::function<void()> task);
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
    bool m_quit = false;
};

} // namespace tw
