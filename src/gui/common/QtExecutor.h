#pragma once

#include "core/ports/Executor.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>

namespace tw::gui {

/// The executor of the window: tasks run on the thread this object lives on (the GUI thread)
/// through queued calls. A send waits on a condition of its own rather than a blocking-queued
/// call, so that close() can release a worker that waits while the GUI thread is joining it.
class QtExecutor : public QObject, public Executor {
    Q_OBJECT
public:
    explicit QtExecutor(QObject* parent = nullptr);
    /// Closes: senders still waiting are released with false.
    ~QtExecutor() override;

    void post(std::function<void()> task) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    [[nodiscard]] bool send(const std::function<void()>& task) override;
    void close() override;
    bool closed() const override { return m_closed; }

    /// Senders waiting for their task to run; for tests that need a worker caught in send().
    int waitingSenders() const;

private:
    struct PendingSend {
        const std::function<void()>* task = nullptr;
        bool started = false;
        bool done = false;
        bool refused = false;
    };

    bool onOwnThread() const;
    void runSend(const std::shared_ptr<PendingSend>& pending);

    std::atomic<bool> m_closed{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::list<std::shared_ptr<PendingSend>> m_pending;
};

} // namespace tw::gui
