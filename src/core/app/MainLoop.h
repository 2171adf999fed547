#pragma once

#include "core/platform/Clock.h"
#include "core/ports/Executor.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace tw {

/// The headless mode's main thread: runs posted tasks one after another until told to quit.
/// Posting is safe from any thread; tasks run on the thread that called run() (before run(),
/// the thread that made the loop counts as its own). Delays are measured on the clock's steady
/// time; a loop on a test's clock sees time pass when the clock is advanced and a task is posted.
class MainLoop : public Executor {
public:
    explicit MainLoop(const Clock& clock = SystemClock::instance());

    void post(std::function<void()> task) override;
    /// Posts the task to run once `delay` has passed, after the tasks waiting at that moment.
    /// Dropped when the loop quits before.
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    /// Runs the task on the loop's thread and waits until it has run. False, without running
    /// it, once the loop is closed, also for a sender already waiting when close() comes.
    [[nodiscard]] bool send(const std::function<void()>& task) override;
    /// Ends run() and refuses every send from now on; tasks still waiting are dropped.
    void close() override;
    bool closed() const override;

    /// Ends run() after the task that is running; tasks keep queueing and senders keep waiting
    /// until close().
    void quit();
    void run();
    bool quitting() const;

private:
    enum class SendState { Waiting, Running, Done, Refused };

    const Clock& m_clock;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_sendDone;
    std::deque<std::function<void()>> m_tasks;
    std::multimap<Clock::Steady::time_point, std::function<void()>> m_timed;
    std::thread::id m_owner;
    bool m_quit = false;
    bool m_closed = false;
};

} // namespace tw
