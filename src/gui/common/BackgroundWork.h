#pragma once

#include "core/ports/Prompter.h"
#include "gui/common/QtExecutor.h"

#include <cstdint>
#include <functional>
#include <map>
#include <thread>

namespace tw::gui {

/// The work a dialog or page does in the background. Each task runs on a thread of its own and
/// reaches the GUI thread only through executor(), which belongs to this object alone: a worker
/// posts its steps there, sends what needs an answer, and its end comes back there as `done`.
/// close(), at the latest in the destructor, refuses the workers' sends and drops what they post
/// (their `done` too), then waits for every thread: a worker never waits on an owner that is
/// going away, and the owner only waits for workers that no longer wait on it. Made, used and
/// closed on the GUI thread.
class BackgroundWork {
public:
    BackgroundWork();
    /// close().
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    /// Runs `work` on a new thread; once it has returned, its thread is joined and `done` runs
    /// on the GUI thread, unless closed first. False, starting nothing, once closed.
    bool start(std::function<void()> work, std::function<void()> done = {});

    /// The workers' one way to the GUI thread, also for a core worker the owner starts.
    Executor& executor() { return m_executor; }
    /// The prompter for the workers: from a worker it reaches `target` on the GUI thread through
    /// executor(), so that a question is refused (no, cancel) once closed; on the GUI thread it
    /// is `target` itself. Set on the GUI thread; null refuses.
    void setPrompter(Prompter* target) { m_prompter.target = target; }
    Prompter& prompter() { return m_prompter; }
    /// Tasks started whose end has not been handled yet (`done` not yet run).
    int running() const { return static_cast<int>(m_threads.size()); }
    bool closed() const { return m_executor.closed(); }

    /// From now on sends are refused, posts dropped and nothing starts; returns once every
    /// thread has ended.
    void close();

private:
    class Relay : public Prompter {
    public:
        explicit Relay(QtExecutor& executor) : m_executor(executor) {}
        void showMessage(const std::string& text, Icon icon) override;
        bool ask(const std::string& text) override;
        bool authenticate(std::string& userName, std::string& password,
                          const AuthChallenge& challenge, int autoCloseSeconds) override;
        /// Read on the GUI thread only.
        Prompter* target = nullptr;

    private:
        bool onGuiThread() const;

        QtExecutor& m_executor;
    };

    void finish(std::uint64_t id, const std::function<void()>& done);

    QtExecutor m_executor;
    Relay m_prompter{m_executor};
    std::map<std::uint64_t, std::thread> m_threads;
    std::uint64_t m_lastId = 0;
};

} // namespace tw::gui
