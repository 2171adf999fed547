#pragma once

#include <chrono>
#include <functional>

namespace tw {

/// The one way a worker thread reaches the thread that owns the front end (the window's GUI
/// thread, the headless main loop, a test's own loop). Safe to call from any thread.
class Executor {
public:
    virtual ~Executor() = default;

    /// Runs `task` on the owner's thread later; returns at once. Dropped once the owner closes.
    virtual void post(std::function<void()> task) = 0;
    /// Like post(), once `delay` has passed.
    virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
    /// Runs `task` on the owner's thread and waits until it has run (a sent message). Returns
    /// false without running it once the owner is closing, so that a worker never waits on an
    /// owner that is joining it. Called on the owner's own thread, it runs the task at once.
    [[nodiscard]] virtual bool send(const std::function<void()>& task) = 0;
    /// From now on send() refuses and waiting sends return false. Called by the owner when it
    /// begins to close, before it joins its workers.
    virtual void close() = 0;
    virtual bool closed() const = 0;
};

} // namespace tw
