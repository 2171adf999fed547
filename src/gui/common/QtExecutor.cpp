#include "gui/common/QtExecutor.h"

#include <QThread>
#include <QTimer>

namespace tw::gui {

QtExecutor::QtExecutor(QObject* parent) : QObject(parent) {}

QtExecutor::~QtExecutor() {
    close();
}

bool QtExecutor::onOwnThread() const {
    return QThread::currentThread() == thread();
}

void QtExecutor::post(std::function<void()> task) {
    if (m_closed) {
        return;
    }
    // Queued calls to this object are dropped by Qt when it goes; a call that arrives after
    // close() is dropped here.
    QMetaObject::invokeMethod(
        this,
        [this, task = std::move(task)] {
            if (!m_closed) {
                task();
            }
        },
        Qt::QueuedConnection);
}

void QtExecutor::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    // The timer must be started on the thread that runs it.
    post([this, delay, task = std::move(task)] {
        QTimer::singleShot(delay, this, [this, task] {
            if (!m_closed) {
                task();
            }
        });
    });
}

bool QtExecutor::send(const std::function<void()>& task) {
    if (m_closed) {
        return false;
    }
    if (onOwnThread()) {
        task();
        return true;
    }
    auto pending = std::make_shared<PendingSend>();
    pending->task = &task;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            return false;
        }
        m_pending.push_back(pending);
    }
    QMetaObject::invokeMethod(
        this, [this, pending] { runSend(pending); }, Qt::QueuedConnection);

    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return pending->done || pending->refused; });
    m_pending.remove(pending);
    return pending->done;
}

void QtExecutor::runSend(const std::shared_ptr<PendingSend>& pending) {
    {
        std::lock_guard lock(m_mutex);
        if (pending->refused) {
            return;
        }
        // From here on the sender waits for the task even if close() comes meanwhile: the
        // task refers to the sender's data.
        pending->started = true;
    }
    (*pending->task)();
    {
        std::lock_guard lock(m_mutex);
        pending->done = true;
    }
    m_changed.notify_all();
}

void QtExecutor::close() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        for (const auto& pending : m_pending) {
            if (!pending->started) {
                pending->refused = true;
            }
        }
    }
    m_changed.notify_all();
}

int QtExecutor::waitingSenders() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_pending.size());
}

} // namespace tw::gui
