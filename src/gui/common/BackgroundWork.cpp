#include "gui/common/BackgroundWork.h"

#include <QThread>

namespace tw::gui {

BackgroundWork::BackgroundWork() = default;

BackgroundWork::~BackgroundWork() {
    close();
}

bool BackgroundWork::start(std::function<void()> work, std::function<void()> done) {
    if (closed()) {
        return false;
    }
    const std::uint64_t id = ++m_lastId;
    // Only this thread touches the map, and the end of the new thread is handled here too: it
    // cannot be looked for before it is entered.
    m_threads.emplace(
        id, std::thread([this, id, work = std::move(work), done = std::move(done)]() mutable {
            work();
            // The thread's last act; its join then never waits.
            m_executor.post([this, id, done = std::move(done)] { finish(id, done); });
        }));
    return true;
}

void BackgroundWork::finish(std::uint64_t id, const std::function<void()>& done) {
    if (auto thread = m_threads.find(id); thread != m_threads.end()) {
        thread->second.join();
        m_threads.erase(thread);
    }
    if (done) {
        done();
    }
}

bool BackgroundWork::Relay::onGuiThread() const {
    return QThread::currentThread() == m_executor.thread();
}

void BackgroundWork::Relay::showMessage(const std::string& text, Icon icon) {
    if (onGuiThread()) {
        if (target) {
            target->showMessage(text, icon);
        }
        return;
    }
    m_executor.post([this, text, icon] {
        if (target) {
            target->showMessage(text, icon);
        }
    });
}

bool BackgroundWork::Relay::ask(const std::string& text) {
    bool answer = false;
    const auto run = [&] { answer = target && target->ask(text); };
    if (onGuiThread()) {
        run();
        return answer;
    }
    return m_executor.send(run) && answer;
}

bool BackgroundWork::Relay::authenticate(std::string& userName, std::string& password,
                                         const AuthChallenge& challenge, int autoCloseSeconds) {
    bool confirmed = false;
    const auto run = [&] {
        confirmed = target && target->authenticate(userName, password, challenge, autoCloseSeconds);
    };
    if (onGuiThread()) {
        run();
        return confirmed;
    }
    return m_executor.send(run) && confirmed;
}

void BackgroundWork::close() {
    m_executor.close();
    for (auto& [id, thread] : m_threads) {
        thread.join();
    }
    m_threads.clear();
}

} // namespace tw::gui
